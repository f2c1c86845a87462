// A WriteValue of a CCCD whose sink disconnects (or reconnects) while the write tells its success: the events the
// program reads afterwards.
#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "component/socket_base.h"
#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/sink_calls_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

class CccdWriteAcrossDisconnect : public RadioFixture<1> {};

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
  ASSERT_EQ(ConnectWithDescriptors(client, kA), 0) << LastError(client);
  std::atomic<int> disconnected{-1};
  events.inside = InFirstLogLine("Successfully subscribed", disconnected,
                                 [&] { return Do(client, VELMORABLE_METHOD_DISCONNECT); });
  events.Clear();
  const int rc = WriteCccd(client, 1);
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  const std::vector<Event> read = events.Events();
  EXPECT_EQ(CountAfter(read, VELMORABLE_EVENT_DISCONNECTED, VELMORABLE_EVENT_SUBSCRIBED), 0)
      << "WriteValue returned " << rc << ", the events told: "
      << NamesOf(read, {VELMORABLE_EVENT_DISCONNECTED, VELMORABLE_EVENT_SUBSCRIBED, VELMORABLE_EVENT_WRITE_RESPONSE})
      << "a Subscribed came after the Disconnected of the connection it was made in";
}

// The same with the Disconnect made on a platform thread (another client's sink: the user's cancel, a watchdog)
// while the application's Log handler takes its time (it writes the line to a file) with the write's success line.
TEST_F(CccdWriteAcrossDisconnect, NoSubscribedFollowsTheDisconnectedOfASinksDisconnectOnAnotherThread) {
  constexpr uint64_t kF = 0xA0B0C0D00E0B;
  constexpr uint64_t kOther = 0xA0B0C0D00E0D;
  radio_->AddPeripheral(BusyPeripheral(kF));
  radio_->AddPeripheral(BusyPeripheral(kOther));
  OnServerUpdate cancel;
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  cancel.call = [&client] { return Do(client, VELMORABLE_METHOD_DISCONNECT); };
  Client canceller(&OnServerUpdate::Call, &cancel);
  ASSERT_EQ(Do(canceller, VELMORABLE_METHOD_CONNECT, Id(kOther).c_str()), 0) << LastError(canceller);
  ASSERT_EQ(ConnectWithDescriptors(client, kF), 0) << LastError(client);
  radio_->WaitIdle();
  events.inside = SlowInLogLine("Successfully subscribed", cancel, *radio_, kOther);
  events.Clear();
  const int rc = WriteCccd(client, 1);
  ASSERT_TRUE(Eventually([&] { return cancel.rc.load() != -1; }));
  ASSERT_EQ(cancel.rc.load(), 0) << LastError(client);
  radio_->WaitIdle();
  const std::vector<Event> read = events.Events();
  EXPECT_EQ(CountAfter(read, VELMORABLE_EVENT_DISCONNECTED, VELMORABLE_EVENT_SUBSCRIBED), 0)
      << "WriteValue returned " << rc << ", the events told: "
      << NamesOf(read, {VELMORABLE_EVENT_DISCONNECTED, VELMORABLE_EVENT_SUBSCRIBED})
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
  ASSERT_EQ(ConnectWithDescriptors(client, kB), 0) << LastError(client);
  std::atomic<int> reconnected{-1};
  events.inside = InFirstLogLine("Successfully wrote value to descriptor", reconnected, [&] {
    const int rc = Do(client, VELMORABLE_METHOD_DISCONNECT);
    return rc != 0 ? rc : ConnectWithDescriptors(client, kB);
  });
  events.Clear();
  const int rc = WriteCccd(client, 1);
  ASSERT_EQ(reconnected.load(), 0) << LastError(client);
  const std::vector<Event> read = events.Events();
  const std::string told = NamesOf(read, {VELMORABLE_EVENT_CONNECTED, VELMORABLE_EVENT_DISCONNECTED,
                                          VELMORABLE_EVENT_SUBSCRIBED, VELMORABLE_EVENT_WRITE_RESPONSE});
  EXPECT_EQ(CountAfter(read, VELMORABLE_EVENT_CONNECTED, VELMORABLE_EVENT_SUBSCRIBED), 0)
      << "WriteValue returned " << rc << ", the events told: " << told
      << "a Subscribed of the old connection's write came in the next connection";
  EXPECT_EQ(rc, 608) << told;
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
  ASSERT_EQ(ConnectWithDescriptors(client, kD), 0) << LastError(client);
  std::atomic<int> unsubscribed{-1};
  events.inside = InFirstLogLine("Successfully subscribed", unsubscribed,
                                 [&] { return OnMeasurement(client, VELMORABLE_METHOD_UNSUBSCRIBE); });
  events.Clear();
  const int rc = WriteCccd(client, 1);
  ASSERT_EQ(unsubscribed.load(), 0) << LastError(client);
  radio_->WaitIdle();
  const std::string told = NamesOf(events.Events(), {VELMORABLE_EVENT_SUBSCRIBED, VELMORABLE_EVENT_UNSUBSCRIBED});
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
  ASSERT_EQ(ConnectWithDescriptors(client, kG), 0) << LastError(client);
  std::atomic<int> written{-1};
  events.inside = InFirstLogLine("Successfully subscribed", written, [&] { return WriteCccd(client, 1); });
  events.Clear();
  ASSERT_EQ(OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(client);
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
  ASSERT_EQ(ConnectWithDescriptors(client, kH), 0) << LastError(client);
  events.inside = InFirstLogLine("Successfully subscribed", unsubscribed, [&] {
    // The device refuses the next CCCD write (Unlikely Error).
    (void)radio_->AddFault({.op = bt::sim::SimOp::kWriteCccd, .address = kH, .protocol_error = 0x0E});
    return OnMeasurement(client, VELMORABLE_METHOD_UNSUBSCRIBE);
  });
  events.Clear();
  ASSERT_EQ(OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(client);
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
