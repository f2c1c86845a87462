// A WriteValue of a CCCD whose sink subscribes or unsubscribes in the Log line with which the write tells that the
// device took it: the state QuerySubscriptionState reads afterwards.
#include <atomic>
#include <string>

#include <gtest/gtest.h>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/sink_calls_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

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
  ASSERT_EQ(ConnectWithDescriptors(client, kA), 0) << LastError(client);
  std::atomic<int> unsubscribed{-1};
  events.inside = InFirstLogLine("Successfully wrote value to descriptor", unsubscribed,
                                 [&] { return OnMeasurement(client, VELMORABLE_METHOD_UNSUBSCRIBE); });
  events.Clear();
  const int rc = WriteCccd(client, 1);
  ASSERT_EQ(unsubscribed.load(), 0) << LastError(client);
  radio_->WaitIdle();
  const std::string told = NamesOf(events.Events(), {VELMORABLE_EVENT_SUBSCRIBED, VELMORABLE_EVENT_UNSUBSCRIBED});
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
  ASSERT_EQ(ConnectWithDescriptors(client, kC), 0) << LastError(client);
  std::atomic<int> nested{-1};
  events.inside = InFirstLogLine("Subscribing to characteristic", nested,
                                 [&] { return OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE); });
  events.Clear();
  const int rc = OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE);
  ASSERT_EQ(rc, 0) << LastError(client);
  ASSERT_EQ(nested.load(), 0) << LastError(client);
  radio_->WaitIdle();
  const std::string told = NamesOf(events.Events(), {VELMORABLE_EVENT_SUBSCRIBED, VELMORABLE_EVENT_UNSUBSCRIBED});
  EXPECT_EQ(told, "Subscribed; ") << "one subscription (state " << StateOfMeasurement(client) << ") told twice";
}

}  // namespace
}  // namespace velmora::ble::testing
