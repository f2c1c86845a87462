// A WriteValue of a CCCD whose sink disconnects (or reconnects) while the write tells its success: the events the
// program reads afterwards.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "component/socket_base.h"
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

class CccdWriteAcrossDisconnect : public RadioFixture<1> {};

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

// The program's sink disconnects in the Log line with which a WriteValue of the CCCD tells that it subscribed (a
// sink that acts on its Log lines; the user pressed Disconnect). Disconnect returns 0 and raises Disconnected:
// the connection is over, and a Subscribed after it tells the program of a subscription that no connection holds
// (the same call through Subscribe raises none).
TEST_F(CccdWriteAcrossDisconnect, NoSubscribedFollowsTheDisconnectedOfADisconnectMadeInItsLogLine) {
  constexpr uint64_t kA = 0xA0B0C0D00E01;
  radio_->AddPeripheral(BusyPeripheral(kA));
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kA).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverWithDescriptors(client), 0) << LastError(client);
  std::atomic<int> disconnected{-1};
  events.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Successfully subscribed", 0) == 0 &&
        disconnected.load() == -1) {
      disconnected = Do(client, VELMORABLE_METHOD_DISCONNECT);
    }
  };
  events.Clear();
  const int rc = WriteCccd(client, 1);
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  std::string told;
  bool after = false;
  int subscribed_after = 0;
  for (const Event& event : events.Events()) {
    if (event.id == VELMORABLE_EVENT_DISCONNECTED) after = true, told += "Disconnected; ";
    if (event.id == VELMORABLE_EVENT_SUBSCRIBED) subscribed_after += after ? 1 : 0, told += "Subscribed; ";
    if (event.id == VELMORABLE_EVENT_WRITE_RESPONSE) told += "WriteResponse; ";
  }
  EXPECT_EQ(subscribed_after, 0) << "WriteValue returned " << rc << ", the events told: " << told
                                 << "a Subscribed came after the Disconnected of the connection it was made in";
}

// The same with the Disconnect made on a platform thread (another client's sink: the user's cancel, a watchdog)
// while the application's Log handler takes its time (it writes the line to a file) with the write's success line.
TEST_F(CccdWriteAcrossDisconnect, NoSubscribedFollowsTheDisconnectedOfASinksDisconnectOnAnotherThread) {
  constexpr uint64_t kF = 0xA0B0C0D00E0B;
  constexpr uint64_t kOther = 0xA0B0C0D00E0D;
  radio_->AddPeripheral(BusyPeripheral(kF));
  radio_->AddPeripheral(BusyPeripheral(kOther));
  struct Canceller {
    VelmoraBLE_BLEClient* other = nullptr;
    std::atomic<bool> armed{false};
    std::atomic<int> rc{-1};
    static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
      auto* self = static_cast<Canceller*>(raw);
      if (id == VELMORABLE_EVENT_SERVER_UPDATE && self->armed.exchange(false)) {
        self->rc = Do(self->other, VELMORABLE_METHOD_DISCONNECT);
      }
      return 0;
    }
  } cancel;
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  cancel.other = client;
  Client canceller(&Canceller::Call, &cancel);
  ASSERT_EQ(Do(canceller, VELMORABLE_METHOD_CONNECT, Id(kOther).c_str()), 0) << LastError(canceller);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kF).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverWithDescriptors(client), 0) << LastError(client);
  radio_->WaitIdle();
  events.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Successfully subscribed", 0) == 0) {
      cancel.armed = true;
      radio_->SetName(kOther, u"Cancel");  // the user cancels meanwhile, on the platform's thread
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the Log handler's own work
    }
  };
  events.Clear();
  const int rc = WriteCccd(client, 1);
  ASSERT_TRUE(Eventually([&] { return cancel.rc.load() != -1; }));
  ASSERT_EQ(cancel.rc.load(), 0) << LastError(client);
  radio_->WaitIdle();
  std::string told;
  bool after = false;
  int subscribed_after = 0;
  for (const Event& event : events.Events()) {
    if (event.id == VELMORABLE_EVENT_DISCONNECTED) after = true, told += "Disconnected; ";
    if (event.id == VELMORABLE_EVENT_SUBSCRIBED) subscribed_after += after ? 1 : 0, told += "Subscribed; ";
  }
  EXPECT_EQ(subscribed_after, 0) << "WriteValue returned " << rc << ", the events told: " << told
                                 << "a Subscribed came after the Disconnected of the connection it was made in";
}

// A program that reconnects (Disconnect, Connect, Discover) from the Log line with which a WriteValue of the CCCD
// tells that the device took the write. The subscription was the old connection's: the WriteValue is cut short
// (608) and raises no Subscribed for the next connection, in which this client holds no subscription.
TEST_F(CccdWriteAcrossDisconnect, NoSubscribedForTheNextConnectionOfAReconnectMadeInItsLogLine) {
  constexpr uint64_t kB = 0xA0B0C0D00E03;
  radio_->AddPeripheral(BusyPeripheral(kB));
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kB).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverWithDescriptors(client), 0) << LastError(client);
  std::atomic<int> reconnected{-1};
  events.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Successfully wrote value to descriptor", 0) == 0 &&
        reconnected.load() == -1) {
      int rc = Do(client, VELMORABLE_METHOD_DISCONNECT);
      if (rc == 0) rc = Do(client, VELMORABLE_METHOD_CONNECT, Id(kB).c_str());
      if (rc == 0) rc = DiscoverWithDescriptors(client);
      reconnected = rc;
    }
  };
  events.Clear();
  const int rc = WriteCccd(client, 1);
  ASSERT_EQ(reconnected.load(), 0) << LastError(client);
  std::string told;
  int connected = 0;
  int subscribed_in_next = 0;
  for (const Event& event : events.Events()) {
    if (event.id == VELMORABLE_EVENT_CONNECTED) ++connected, told += "Connected; ";
    if (event.id == VELMORABLE_EVENT_DISCONNECTED) told += "Disconnected; ";
    if (event.id == VELMORABLE_EVENT_SUBSCRIBED) subscribed_in_next += connected > 0 ? 1 : 0, told += "Subscribed; ";
    if (event.id == VELMORABLE_EVENT_WRITE_RESPONSE) told += "WriteResponse; ";
  }
  EXPECT_EQ(subscribed_in_next, 0) << "WriteValue returned " << rc << ", the events told: " << told
                                   << "a Subscribed of the old connection's write came in the next connection";
  EXPECT_EQ(rc, 608) << told;
}


int UnsubscribeMeasurement(VelmoraBLE_BLEClient* handle) {
  intptr_t params[2] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement)};
  int32_t sizes[2] = {0, 0};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_UNSUBSCRIBE, 2, params, sizes);
}

int32_t StateOfMeasurement(VelmoraBLE_BLEClient* handle) {
  (void)VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>(kHeartRate));
  intptr_t params[2] = {0, 0};
  int32_t sizes[2] = {0, 0};
  (void)VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, params, sizes);
  return static_cast<int32_t>(params[1]);
}

class CccdWriteEventOrder : public RadioFixture<1> {};

// The program unsubscribes from inside the Log line with which a WriteValue of the CCCD tells that it subscribed.
// Unsubscribe returns 0 and raises Unsubscribed; the subscription is over (state 0). The last word the sink reads
// must then not be a Subscribed (as it is not when the subscription was made by Subscribe).
TEST_F(CccdWriteEventOrder, AnUnsubscribeFromTheWritesLogLineIsTheLastWord) {
  constexpr uint64_t kD = 0xA0B0C0D00E07;
  radio_->AddPeripheral(BusyPeripheral(kD));
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kD).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverWithDescriptors(client), 0) << LastError(client);
  std::atomic<int> unsubscribed{-1};
  events.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Successfully subscribed", 0) == 0 &&
        unsubscribed.load() == -1) {
      unsubscribed = UnsubscribeMeasurement(client);
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
  EXPECT_EQ(StateOfMeasurement(client), 0);
  EXPECT_TRUE(told.empty() || told.rfind("Unsubscribed; ") == told.size() - 14)
      << "WriteValue returned " << rc << ", the events told: " << told
      << "but the subscription is over (state 0): the sink takes itself for subscribed";
}


// The program writes the CCCD on (01 00, as it does after every Subscribe for a device that forgets it) from
// inside the Log line with which its Subscribe tells that it subscribed. Both calls return 0, the client is
// subscribed (state 1) and Values come: the sink must have been told Subscribed once.
TEST_F(CccdWriteEventOrder, ACccdWriteOnFromTheSubscribesLogLineLeavesTheSubscriptionTold) {
  constexpr uint64_t kG = 0xA0B0C0D00E0F;
  radio_->AddPeripheral(BusyPeripheral(kG));
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kG).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverWithDescriptors(client), 0) << LastError(client);
  std::atomic<int> written{-1};
  events.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Successfully subscribed", 0) == 0 &&
        written.load() == -1) {
      written = WriteCccd(client, 1);
    }
  };
  events.Clear();
  intptr_t params[2] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement)};
  int32_t sizes[2] = {0, 0};
  const int rc = VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_SUBSCRIBE, 2, params, sizes);
  ASSERT_EQ(rc, 0) << LastError(client);
  ASSERT_EQ(written.load(), 0) << LastError(client);
  radio_->WaitIdle();
  EXPECT_EQ(StateOfMeasurement(client), 1);
  const size_t subscribed = events.Of(VELMORABLE_EVENT_SUBSCRIBED).size();
  events.Clear();
  EXPECT_TRUE(events.WaitFor(VELMORABLE_EVENT_VALUE));
  EXPECT_EQ(subscribed, 1u) << "the client is subscribed (state 1, Values come), and the sink was told no Subscribed";
}


// The program's sink unsubscribes from inside the Log line with which its Subscribe tells that it subscribed, and
// the device refuses that Unsubscribe's write (an ATT error): Unsubscribe fails, the subscription stays the
// client's (state 1, Values come). The sink must have been told Subscribed: the refused write told no last word.
TEST_F(CccdWriteEventOrder, ARefusedUnsubscribeFromTheSubscribesLogLineLeavesTheSubscriptionTold) {
  constexpr uint64_t kH = 0xA0B0C0D00E13;
  radio_->AddPeripheral(BusyPeripheral(kH));
  std::atomic<int> unsubscribed{-1};
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kH).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverWithDescriptors(client), 0) << LastError(client);
  events.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Successfully subscribed", 0) == 0 &&
        unsubscribed.load() == -1) {
      // The device refuses the next CCCD write (Unlikely Error).
      (void)radio_->AddFault({.op = bt::sim::SimOp::kWriteCccd, .address = kH, .protocol_error = 0x0E});
      unsubscribed = UnsubscribeMeasurement(client);
    }
  };
  events.Clear();
  intptr_t params[2] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement)};
  int32_t sizes[2] = {0, 0};
  const int rc = VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_SUBSCRIBE, 2, params, sizes);
  ASSERT_EQ(rc, 0) << LastError(client);
  ASSERT_NE(unsubscribed.load(), 0) << "the device took the Unsubscribe";
  radio_->WaitIdle();
  const size_t subscribed = events.Of(VELMORABLE_EVENT_SUBSCRIBED).size();
  events.Clear();
  EXPECT_TRUE(events.WaitFor(VELMORABLE_EVENT_VALUE)) << "the subscription did not stay";
  EXPECT_EQ(subscribed, 1u) << "Subscribe returned 0, its subscription stays (Values come, the Unsubscribe failed "
                            << "with " << unsubscribed.load() << "), and the sink was told no Subscribed";
}

}  // namespace
}  // namespace velmora::ble::testing
