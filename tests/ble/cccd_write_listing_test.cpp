// A WriteValue of a CCCD whose sink subscribes or unsubscribes in the Log line with which the write tells that the
// device took it: the state QuerySubscriptionState reads afterwards.
#include <atomic>
#include <string>

#include <gtest/gtest.h>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

constexpr char kHeartRate[] = "000100000000";
constexpr char kMeasurement[] = "000100030000";
constexpr char kMeasurementCccd[] = "000100030004";

int DiscoverWithDescriptors(VelmoraBLE_BLEClient* handle) {
  intptr_t params[4] = {0, 0, 1, 0};
  int32_t sizes[4] = {0, 0, 0, 0};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_DISCOVER, 4, params, sizes);
}

int WriteCccd(VelmoraBLE_BLEClient* handle, uint8_t value) {
  static uint8_t bytes[2];
  bytes[0] = value;
  bytes[1] = 0;
  intptr_t params[4] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement),
                        reinterpret_cast<intptr_t>(kMeasurementCccd), reinterpret_cast<intptr_t>(bytes)};
  int32_t sizes[4] = {0, 0, 0, 2};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_WRITE_VALUE, 4, params, sizes);
}

int SetMeasurement(VelmoraBLE_BLEClient* handle, int method) {
  intptr_t params[2] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement)};
  int32_t sizes[2] = {0, 0};
  return VelmoraBLE_BLEClient_Do(handle, method, 2, params, sizes);
}

int32_t StateOfMeasurement(VelmoraBLE_BLEClient* handle) {
  (void)VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>(kHeartRate));
  intptr_t params[2] = {0, 0};
  int32_t sizes[2] = {0, 0};
  (void)VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, params, sizes);
  return static_cast<int32_t>(params[1]);
}

class CccdWriteListing : public RadioFixture<1> {};

// The program writes the CCCD on (01 00) and its sink, on the write's "Successfully wrote value to descriptor" Log
// line, unsubscribes (the user pressed Stop). Unsubscribe returns 0 and raises Unsubscribed; the device's CCCD is
// off and no Value comes. QuerySubscriptionState must read 0: the program that reads 1 takes itself for
// subscribed and waits for Values that never come.
TEST_F(CccdWriteListing, AnUnsubscribeInTheWritesFirstLogLineIsWhatTheStateReads) {
  constexpr uint64_t kA = 0xA0B0C0D00F01;
  radio_->AddPeripheral(BusyPeripheral(kA));
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kA).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverWithDescriptors(client), 0) << LastError(client);
  std::atomic<int> unsubscribed{-1};
  events.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Successfully wrote value to descriptor", 0) == 0 &&
        unsubscribed.load() == -1) {
      unsubscribed = SetMeasurement(client, VELMORABLE_METHOD_UNSUBSCRIBE);
    }
  };
  events.Clear();
  const int rc = WriteCccd(client, 1);
  ASSERT_EQ(unsubscribed.load(), 0) << LastError(client);
  radio_->WaitIdle();
  std::string told;
  for (const Event& event : events.Events()) {
    if (event.id == VELMORABLE_EVENT_SUBSCRIBED) told += "Subscribed; ";
    if (event.id == VELMORABLE_EVENT_UNSUBSCRIBED) told += "Unsubscribed; ";
  }
  EXPECT_EQ(StateOfMeasurement(client), 0)
      << "WriteValue returned " << rc << ", the events told: " << told
      << "the CCCD is off, yet the client lists itself subscribed";
}

// The program's sink subscribes from the "Subscribing to characteristic ID ..." Log line of its own Subscribe (a
// sink that reacts to Log lines; a second button press). Both calls return 0 and one subscription is held, made by
// the first write to reach the device; the second write changes nothing. The sink must read one Subscribed, as
// it does when the second Subscribe comes after the first (spared) or from a WriteValue of the CCCD's Log line.
TEST_F(CccdWriteListing, ASubscribeInTheSubscribingLogLineTellsOneSubscribed) {
  constexpr uint64_t kC = 0xA0B0C0D00F05;
  radio_->AddPeripheral(BusyPeripheral(kC));
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kC).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverWithDescriptors(client), 0) << LastError(client);
  std::atomic<int> nested{-1};
  events.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Subscribing to characteristic", 0) == 0 &&
        nested.load() == -1) {
      nested = 0;
      nested = SetMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE);
    }
  };
  events.Clear();
  const int rc = SetMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE);
  ASSERT_EQ(rc, 0) << LastError(client);
  ASSERT_EQ(nested.load(), 0) << LastError(client);
  radio_->WaitIdle();
  std::string told;
  for (const Event& event : events.Events()) {
    if (event.id == VELMORABLE_EVENT_SUBSCRIBED) told += "Subscribed; ";
    if (event.id == VELMORABLE_EVENT_UNSUBSCRIBED) told += "Unsubscribed; ";
  }
  EXPECT_EQ(told, "Subscribed; ") << "one subscription (state " << StateOfMeasurement(client) << ") told twice";
}

}  // namespace
}  // namespace velmora::ble::testing
