// Events of a connection that a Disconnect made in one of their own sinks ended: none comes after its
// Disconnected (an Unsubscribed of a subscription that the platform or a late answer ended, a Connected "Online").
#include <atomic>
#include <optional>
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


constexpr uint64_t kE = 0xA0B0C0D00E51;

class EndedNotificationsDisconnect : public RadioFixture<1> {};

// The program is subscribed to the measurement; the device's services change, which ends the subscription: Error
// 610 "Notifications of characteristic ID ... ended" comes on the platform's thread. The program's sink takes
// an error as the end of the session and disconnects there. Disconnect returns 0 and raises Disconnected: that
// connection, with its subscriptions, is over (Disconnected ends them all, without Unsubscribed). An Unsubscribed
// after that Disconnected is an event of a connection that is gone (a program that subscribes again on
// Unsubscribed, or shows the state, acts on the next connection, or on none).
TEST_F(EndedNotificationsDisconnect, NoUnsubscribedFollowsTheDisconnectedOfADisconnectMadeInTheError) {
  radio_->AddPeripheral(BusyPeripheral(kE));
  Sink events;
  events.on_entry = true;
  std::atomic<int> disconnected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  events.inside = [&](const Event& event) {
    int unmade = -1;
    if (event.id == VELMORABLE_EVENT_ERROR && disconnected.compare_exchange_strong(unmade, -2)) {
      disconnected = Do(handle.load(), VELMORABLE_METHOD_DISCONNECT);
    }
  };
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(ConnectWithDescriptors(client, kE), 0) << LastError(client);
  ASSERT_EQ(OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(client);
  events.Clear();
  radio_->ReplaceDatabase(kE, BusyPeripheral(kE).gatt);
  ASSERT_TRUE(Eventually([&] { return disconnected.load() >= 0; }));
  radio_->WaitIdle();
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  const std::string told =
      NamesOf(events.Events(), {VELMORABLE_EVENT_ERROR, VELMORABLE_EVENT_DISCONNECTED, VELMORABLE_EVENT_UNSUBSCRIBED});
  EXPECT_EQ(told.find("Disconnected; Unsubscribed"), std::string::npos)
      << "the events told: " << told << "an Unsubscribed of the connection that its Disconnected ended";
}


constexpr uint64_t kL = 0xA0B0C0D00E61;

class LateUnsubscribeDisconnect : public RadioFixture<1> {};

// The program unsubscribes with a Timeout of 1 s; the device answers the write only after 1.5 s, so Unsubscribe
// returns 301, and the device's late acceptance ends the subscription on the platform's thread: the Log line
// "Successfully unsubscribed ..." and then Unsubscribed. The program's sink acts on its Log lines and disconnects
// in that line (the user pressed Disconnect). Disconnect returns 0 and raises Disconnected: the connection is
// over with its subscriptions (Disconnected ends them all, without Unsubscribed), and an Unsubscribed after it
// is an event of a connection that is gone.
TEST_F(LateUnsubscribeDisconnect, NoUnsubscribedFollowsTheDisconnectedOfADisconnectMadeInItsLogLine) {
  radio_->AddPeripheral(BusyPeripheral(kL));
  Sink events;
  events.on_entry = true;
  std::atomic<int> disconnected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  events.inside = InFirstLogLine("Successfully unsubscribed", disconnected,
                                 [&] { return Do(handle.load(), VELMORABLE_METHOD_DISCONNECT); });
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(ConnectWithDescriptors(client, kL), 0) << LastError(client);
  ASSERT_EQ(OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(client);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  (void)radio_->AddFault({.op = bt::sim::SimOp::kWriteCccd, .delay_ms = 1500});
  events.Clear();
  ASSERT_EQ(OnMeasurement(client, VELMORABLE_METHOD_UNSUBSCRIBE), 301) << LastError(client);
  ASSERT_TRUE(Eventually([&] { return disconnected.load() >= 0; }));
  radio_->WaitIdle();
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  const std::string told = NamesOf(events.Events(), {VELMORABLE_EVENT_DISCONNECTED, VELMORABLE_EVENT_UNSUBSCRIBED});
  EXPECT_EQ(told.find("Disconnected; Unsubscribed"), std::string::npos)
      << "the events told: " << told << "an Unsubscribed of the connection that its Disconnected ended";
}


constexpr uint64_t kO = 0xA0B0C0D00E71;

class OnlineAfterDisconnect : public RadioFixture<1> {};

// The link to the connected device drops (Disconnected "Offline") and comes back. With LogLevel 3 the client logs
// "System updated device connection status to ..." on the platform's thread before it tells the return; the
// program's sink acts on its Log lines and disconnects there (the user pressed Disconnect). Disconnect returns 0
// and raises Disconnected: the client holds no connection any more. A Connected "Online" after that Disconnected
// tells the program that it is connected again, with no connection behind it.
TEST_F(OnlineAfterDisconnect, NoOnlineFollowsTheDisconnectedOfADisconnectMadeInTheStatusLogLine) {
  radio_->AddPeripheral(BusyPeripheral(kO));
  Sink events;
  events.on_entry = true;
  std::atomic<int> disconnected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  events.inside = InFirstLogLine("System updated device connection status", disconnected,
                                 [&] { return Do(handle.load(), VELMORABLE_METHOD_DISCONNECT); });
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kO).c_str()), 0) << LastError(client);
  radio_->SetLink(kO, false);
  radio_->WaitIdle();
  ASSERT_EQ(Config(client, "LogLevel=3"), 0);
  events.Clear();
  radio_->SetLink(kO, true);
  ASSERT_TRUE(Eventually([&] { return disconnected.load() >= 0; }));
  radio_->WaitIdle();
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  const std::string told = NamesOf(events.Events(), {VELMORABLE_EVENT_CONNECTED, VELMORABLE_EVENT_DISCONNECTED});
  EXPECT_EQ(told.find("Disconnected; Connected"), std::string::npos)
      << "the events told: " << told << "a Connected after the Disconnected of the client's own Disconnect";
}


constexpr uint64_t kR = 0xA0B0C0D00E81;

class OfflineAfterReconnect : public RadioFixture<1> {};

// The link to the connected device drops. With LogLevel 3 the client logs "System updated device connection status
// to ..." on the platform's thread before it tells the loss; the program's sink acts on its Log lines: it
// disconnects there and, the device being back in range, connects to it again (a program that reconnects on a
// drop). Disconnect raises Disconnected "OK", Connect returns 0 and raises Connected "OK": the client holds a new
// connection with its link up. A Disconnected "Offline" after that Connected is the old connection's loss told of
// the new one: the program takes its new connection for lost (and IsConnected reads 0 for a moment).
TEST_F(OfflineAfterReconnect, NoOfflineOfTheOldLinkFollowsTheConnectedOfAReconnectMadeInTheStatusLogLine) {
  radio_->AddPeripheral(BusyPeripheral(kR));
  Sink events;
  events.on_entry = true;
  std::atomic<int> reconnected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  const std::string id = Id(kR);
  events.inside = InFirstLogLine("System updated device connection status", reconnected, [&] {
    const int rc = Do(handle.load(), VELMORABLE_METHOD_DISCONNECT);
    if (rc != 0) return 1000 + rc;
    radio_->SetLink(kR, true);
    return Do(handle.load(), VELMORABLE_METHOD_CONNECT, id.c_str());
  });
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, id.c_str()), 0) << LastError(client);
  ASSERT_EQ(Config(client, "LogLevel=3"), 0);
  events.Clear();
  radio_->SetLink(kR, false);
  ASSERT_TRUE(Eventually([&] { return reconnected.load() >= 0; }));
  radio_->WaitIdle();
  ASSERT_EQ(reconnected.load(), 0) << LastError(client);
  std::string told;
  for (const Event& event : events.Events()) {
    if (event.id == VELMORABLE_EVENT_CONNECTED) told += "Connected " + event.Text(1) + "; ";
    if (event.id == VELMORABLE_EVENT_DISCONNECTED) told += "Disconnected " + event.Text(1) + "; ";
  }
  EXPECT_EQ(told.find("Connected OK; Disconnected Offline"), std::string::npos)
      << "the events told: " << told << "the old link's loss after the Connected of the new connection";
}


constexpr uint64_t kLate = 0xA0B0C0D00E58;

class LateValueSinkCalls : public RadioFixture<1> {};

// A Value sink on the platform's thread waits for the application's thread (the program's own lock), while that
// thread reconnects the same device: Disconnect gives up waiting for the delivery after Timeout (301), Connect
// and Discover follow. The sink then goes on and subscribes and writes, as a program that reacts to a reading
// does, and then disconnects. Its event was of the connection that ended: its calls are cut short (608), and
// nothing of them reaches the next connection (no subscription, no write on the device, the connection stays).
TEST_F(LateValueSinkCalls, ReachNothingOfTheNextConnection) {
  bt::sim::SimPeripheral peripheral = BusyPeripheral(kLate);
  peripheral.gatt.services[1].characteristics.push_back(Characteristic(0x0012, 0x2A19, 0x0A));
  radio_->AddPeripheral(peripheral);
  static uint8_t value[1] = {0x55};
  std::atomic<bool> armed{false};
  std::atomic<bool> waiting{false};
  std::atomic<bool> released{false};
  std::atomic<int> subscribed{-1};
  std::atomic<int> written{-1};
  std::atomic<int> disconnected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  Sink events;
  events.keep = false;
  events.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_VALUE || !armed.exchange(false)) return;
    waiting = true;
    (void)Eventually([&] { return released.load(); });
    subscribed = OnMeasurement(handle.load(), VELMORABLE_METHOD_SUBSCRIBE);
    intptr_t params[4] = {reinterpret_cast<intptr_t>("001000000000"), reinterpret_cast<intptr_t>("001000120000"), 0,
                          reinterpret_cast<intptr_t>(value)};
    int32_t sizes[4] = {0, 0, 0, 1};
    written = VelmoraBLE_BLEClient_Do(handle.load(), VELMORABLE_METHOD_WRITE_VALUE, 4, params, sizes);
    disconnected = Do(handle.load(), VELMORABLE_METHOD_DISCONNECT);
  };
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_TRUE(EndBehindAWaitingValueSink(client, kLate, armed, waiting)) << LastError(client);
  ASSERT_EQ(ConnectWithDescriptors(client, kLate), 0) << LastError(client);
  released = true;
  ASSERT_TRUE(Eventually([&] { return disconnected.load() != -1; }));
  EXPECT_EQ(subscribed.load(), 608);
  EXPECT_EQ(written.load(), 608);
  EXPECT_EQ(disconnected.load(), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVER_ID, 0)),
               Id(kLate).c_str())
      << "the late sink's Disconnect ended the next connection";
  EXPECT_EQ(StateOfMeasurement(client), 0) << "the late sink's Subscribe subscribed the next connection";
  const std::optional<bt::Bytes> level = radio_->DeviceValue(kLate, 0x0012);
  ASSERT_TRUE(level.has_value());
  EXPECT_NE(*level, bt::Bytes{0x55}) << "the late sink's write reached the next connection";
}

}  // namespace
}  // namespace velmora::ble::testing
