// Calls that a sink makes inside the events of another call (its Connected, its Log lines): what the sink is
// told after them.
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
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

constexpr uint64_t kX = 0xA0B0C0D000A1;
constexpr uint64_t kUnknown = 0xA0B0C0D000AF;

class FailedConnectEvents : public RadioFixture<1> {};

std::string Told(Sink& sink) {
  std::string told;
  for (const Event& event : sink.Events()) {
    if (event.id == VELMORABLE_EVENT_CONNECTED || event.id == VELMORABLE_EVENT_DISCONNECTED) {
      told += std::string(event.id == VELMORABLE_EVENT_CONNECTED ? "Connected " : "Disconnected ") +
              std::to_string(event.Int(0)) + " " + event.Text(1) + "; ";
    }
  }
  return told;
}

// DisconnectOnFailedConnect is a sink's `inside` that disconnects *handle in a Connected with a failure status and
// keeps what Disconnect returned in `rc`.
std::function<void(const Event&)> DisconnectOnFailedConnect(VelmoraBLE_BLEClient* const& handle,
                                                            std::atomic<int>& rc) {
  return [&handle, &rc](const Event& event) {
    if (event.id == VELMORABLE_EVENT_CONNECTED && event.Int(0) != 0) rc = Do(handle, VELMORABLE_METHOD_DISCONNECT);
  };
}

// A program cleans up after a failed Connect from its Connected sink: Connected with a failure status, then
// Disconnect (as it does after every connection attempt). The Connect failed: there is no connection to end, and
// Disconnect outside the sink raises nothing then. Inside the sink it must not tell the end of a connection that
// never was.
TEST_F(FailedConnectEvents, ADisconnectInTheConnectedOfAFailedConnectTellsNoDisconnected) {
  Sink events;
  VelmoraBLE_BLEClient* handle = nullptr;
  std::atomic<int> disconnect_rc{-1};
  events.inside = DisconnectOnFailedConnect(handle, disconnect_rc);
  Client client(&Sink::Call, &events);
  handle = client;
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kUnknown).c_str()), 604) << LastError(client);
  EXPECT_EQ(disconnect_rc.load(), 0);
  radio_->WaitIdle();
  EXPECT_EQ(Told(events), "Connected 604 Connection to server ID " + Id(kUnknown) + " was unsuccessful.; ")
      << "a Connect that failed was followed by the Disconnected of a connection that never was";
}

// The same with a pairing that the sink refuses.
TEST_F(FailedConnectEvents, ADisconnectInTheConnectedOfARefusedPairingTellsNoDisconnected) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  Sink events;
  VelmoraBLE_BLEClient* handle = nullptr;
  std::atomic<int> disconnect_rc{-1};
  events.inside = DisconnectOnFailedConnect(handle, disconnect_rc);
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()), 604) << LastError(client);
  EXPECT_EQ(disconnect_rc.load(), 0);
  radio_->WaitIdle();
  const std::string told = Told(events);
  EXPECT_EQ(told.find("Disconnected"), std::string::npos)
      << told << ": a Connect that failed was followed by the Disconnected of a connection that never was";
}

}  // namespace
}  // namespace velmora::ble::testing

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kY = 0xA0B0C0D000B1;
constexpr uint64_t kW = 0xA0B0C0D000B3;

class ConnectDuringDisconnect : public RadioFixture<1> {};

// A watchdog (another client's sink, on a platform thread) makes sure the client is connected to its server:
// Connect with that server's id. It does so while the application's Disconnect of that server is under way. The
// Connect returns 0, which says that the client is connected as asked; the client must then be connected, or
// the Connect must say that it did not connect.
TEST_F(ConnectDuringDisconnect, AConnectToTheServerBeingDisconnectedThatReturns0LeavesItConnected) {
  radio_->AddPeripheral(BusyPeripheral(kY));
  radio_->AddPeripheral(BusyPeripheral(kW));
  OnServerUpdate watchdog;
  Sink events;
  Client client(&Sink::Call, &events);
  watchdog.call = [&client] { return Do(client, VELMORABLE_METHOD_CONNECT, Id(kY).c_str()); };
  Client other(&OnServerUpdate::Call, &watchdog);
  ASSERT_EQ(Do(other, VELMORABLE_METHOD_CONNECT, Id(kW).c_str()), 0) << LastError(other);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kY).c_str()), 0) << LastError(client);
  radio_->WaitIdle();
  events.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Disconnecting from server ID", 0) == 0) {
      // The watchdog runs while this Disconnect is under way.
      watchdog.armed = true;
      radio_->SetName(kW, u"Tick");
      (void)Eventually([&] { return watchdog.rc.load() != -1; });
    }
  };
  events.Clear();
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
  events.inside = nullptr;
  ASSERT_TRUE(Eventually([&] { return watchdog.rc.load() != -1; }));
  radio_->WaitIdle();
  if (watchdog.rc.load() == 0) {
    const std::string server(
        reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVER_ID, 0)));
    EXPECT_EQ(server, Id(kY)) << "the watchdog's Connect returned 0, and the client is not connected";
    EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCOVER_SERVICES), 0)
        << "the watchdog's Connect returned 0, and the client is not connected: " << LastError(client);
  }
}

// The same Connect made by the client's own sink, in the Log line with which its Disconnect begins (a program that
// reconnects from its Log handler, or a sink that runs whatever the user asked for meanwhile).
TEST_F(ConnectDuringDisconnect, AConnectFromTheDisconnectsOwnLogLineThatReturns0LeavesItConnected) {
  radio_->AddPeripheral(BusyPeripheral(kY));
  Sink events;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kY).c_str()), 0) << LastError(client);
  radio_->WaitIdle();
  std::atomic<int> rc{-1};
  events.inside = InFirstLogLine("Disconnecting from server ID", rc,
                                 [&] { return Do(client, VELMORABLE_METHOD_CONNECT, Id(kY).c_str()); });
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
  events.inside = nullptr;
  radio_->WaitIdle();
  if (rc.load() == 0) {
    const std::string server(
        reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVER_ID, 0)));
    EXPECT_EQ(server, Id(kY)) << "the sink's Connect returned 0, and the client is not connected";
  }
}

}  // namespace
}  // namespace velmora::ble::testing

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kV = 0xA0B0C0D000C1;

class SubscriptionEventOrder : public RadioFixture<1> {};

// The program unsubscribes from inside the Log line that tells that its Subscribe succeeded (a sink that acts on
// what it logs, or one that runs whatever the user asked for meanwhile). Unsubscribe returns 0 and raises
// Unsubscribed; the subscription is over (its state reads 0, no Value comes). The last word the sink reads must
// then not be a Subscribed.
TEST_F(SubscriptionEventOrder, AnUnsubscribeFromTheSubscribesLogLineIsTheLastWord) {
  radio_->AddPeripheral(BusyPeripheral(kV));
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kV).c_str()), 0) << LastError(client);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_DISCOVER), 0) << LastError(client);
  std::atomic<int> unsubscribed{-1};
  events.inside = InFirstLogLine("Successfully subscribed", unsubscribed,
                                 [&] { return OnMeasurement(client, VELMORABLE_METHOD_UNSUBSCRIBE); });
  events.Clear();
  const int subscribed = OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE);
  events.inside = nullptr;
  ASSERT_EQ(unsubscribed.load(), 0) << LastError(client);
  radio_->WaitIdle();
  const std::string told = NamesOf(events.Events(), {VELMORABLE_EVENT_SUBSCRIBED, VELMORABLE_EVENT_UNSUBSCRIBED});
  EXPECT_EQ(StateOfMeasurement(client), 0);
  EXPECT_TRUE(told.empty() || told.rfind("Unsubscribed; ") == told.size() - 14)
      << "Subscribe returned " << subscribed << ", the events told: " << told
      << "but the subscription is over (state 0): the sink takes itself for subscribed";
}

// The other way round: the program subscribes again from inside the Log line that tells that its Unsubscribe
// succeeded. That Subscribe returns 0 and raises Subscribed, and Values come (state 1); the last word the sink
// reads must then not be an Unsubscribed.
TEST_F(SubscriptionEventOrder, ASubscribeFromTheUnsubscribesLogLineIsTheLastWord) {
  radio_->AddPeripheral(BusyPeripheral(kV));
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kV).c_str()), 0) << LastError(client);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_DISCOVER), 0) << LastError(client);
  std::atomic<int> subscribed{-1};
  std::atomic<bool> armed{false};
  // Set before the first Subscribe: Values reach the sink on the platform's thread from then on.
  events.inside = [&](const Event& event) {
    if (armed.load() && event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Successfully unsubscribed", 0) == 0 &&
        subscribed.load() == -1) {
      subscribed = OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE);
    }
  };
  ASSERT_EQ(OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(client);
  armed = true;
  events.Clear();
  const int unsubscribed = OnMeasurement(client, VELMORABLE_METHOD_UNSUBSCRIBE);
  armed = false;
  ASSERT_EQ(subscribed.load(), 0) << LastError(client);
  radio_->WaitIdle();
  const std::string told = NamesOf(events.Events(), {VELMORABLE_EVENT_SUBSCRIBED, VELMORABLE_EVENT_UNSUBSCRIBED});
  EXPECT_EQ(StateOfMeasurement(client), 1);
  events.Clear();
  EXPECT_TRUE(events.WaitFor(VELMORABLE_EVENT_VALUE)) << "the subscription that the sink made brings no Value";
  EXPECT_TRUE(told.empty() || told == "Subscribed; " || told.ends_with("; Subscribed; "))
      << "Unsubscribe returned " << unsubscribed << ", the events told: " << told
      << "but the client is subscribed (state 1, Values come): the sink takes itself for unsubscribed";
}

}  // namespace
}  // namespace velmora::ble::testing

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kR = 0xA0B0C0D000D1;

class ReadAcrossDisconnect : public RadioFixture<1> {};

// ReadablePeripheral is a BusyPeripheral at `address` whose battery service has a readable level (0x0012).
SimPeripheral ReadablePeripheral(uint64_t address) {
  SimPeripheral peripheral = BusyPeripheral(address);
  bt::sim::SimService battery = Service(0x0010, 0x180F);
  battery.characteristics.push_back(Characteristic(0x0012, 0x2A19, 0x02));
  peripheral.gatt.services[1] = battery;
  return peripheral;
}

// ReadBatteryLevel reads ReadablePeripheral's battery level with ReadValue.
int ReadBatteryLevel(VelmoraBLE_BLEClient* handle) {
  intptr_t read[4] = {reinterpret_cast<intptr_t>("001000000000"), reinterpret_cast<intptr_t>("001000120000"), 0, 0};
  int32_t sizes[4] = {0, 0, 0, 0};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_READ_VALUE, 4, read, sizes);
}

// The program's sink disconnects (the user pressed Disconnect, a sink that acts on its Log lines) in the Log line
// with which a ReadValue tells its success. Disconnect returns 0 and raises Disconnected: that connection is
// over, and no event of it may reach the sink after its Disconnected, least of all the Value of the read, which
// the program would take for a value of the next connection or act on as if still connected.
TEST_F(ReadAcrossDisconnect, NoValueOfTheReadFollowsTheDisconnectedOfADisconnectMadeInItsLogLine) {
  radio_->AddPeripheral(ReadablePeripheral(kR));
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kR).c_str()), 0) << LastError(client);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_DISCOVER), 0) << LastError(client);
  std::atomic<int> disconnected{-1};
  events.inside = InFirstLogLine("Successfully read value", disconnected,
                                 [&] { return Do(client, VELMORABLE_METHOD_DISCONNECT); });
  events.Clear();
  const int rc = ReadBatteryLevel(client);
  events.inside = nullptr;
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  EXPECT_EQ(CountAfter(events.Events(), VELMORABLE_EVENT_DISCONNECTED, VELMORABLE_EVENT_VALUE), 0)
      << "ReadValue returned " << rc
      << ": the Value of a read of a connection came after that connection's Disconnected";
}

// The same with the Disconnect made on a platform thread (another client's sink: the user's cancel, a watchdog),
// while the application's Log handler takes its time (it writes the line to a file) with the read's Log line.
TEST_F(ReadAcrossDisconnect, NoValueOfTheReadFollowsTheDisconnectedOfASinksDisconnectOnAnotherThread) {
  constexpr uint64_t kOther = 0xA0B0C0D000D3;
  radio_->AddPeripheral(ReadablePeripheral(kR));
  radio_->AddPeripheral(BusyPeripheral(kOther));
  OnServerUpdate cancel;
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  cancel.call = [&client] { return Do(client, VELMORABLE_METHOD_DISCONNECT); };
  Client canceller(&OnServerUpdate::Call, &cancel);
  ASSERT_EQ(Do(canceller, VELMORABLE_METHOD_CONNECT, Id(kOther).c_str()), 0) << LastError(canceller);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kR).c_str()), 0) << LastError(client);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_DISCOVER), 0) << LastError(client);
  radio_->WaitIdle();
  events.inside = SlowInLogLine("Successfully read value", cancel, *radio_, kOther);
  events.Clear();
  const int rc = ReadBatteryLevel(client);
  events.inside = nullptr;
  ASSERT_TRUE(Eventually([&] { return cancel.rc.load() != -1; }));
  ASSERT_EQ(cancel.rc.load(), 0) << LastError(client);
  radio_->WaitIdle();
  EXPECT_EQ(CountAfter(events.Events(), VELMORABLE_EVENT_DISCONNECTED, VELMORABLE_EVENT_VALUE), 0)
      << "ReadValue returned " << rc
      << ": the Value of a read of a connection came after that connection's Disconnected";
}

}  // namespace
}  // namespace velmora::ble::testing

namespace velmora::ble::testing {
namespace {

class SubscribeAcrossDisconnect : public RadioFixture<1> {};

// A Disconnect made in the Log line with which Subscribe tells its success: the header's rule for a Subscribe cut
// short by a Disconnect (608, no Subscribed) must hold there too; a Subscribed after the Disconnected tells the
// program of a subscription that no connection holds.
TEST_F(SubscribeAcrossDisconnect, NoSubscribedFollowsTheDisconnectedOfADisconnectMadeInItsLogLine) {
  constexpr uint64_t kS = 0xA0B0C0D000E1;
  radio_->AddPeripheral(BusyPeripheral(kS));
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kS).c_str()), 0) << LastError(client);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_DISCOVER), 0) << LastError(client);
  std::atomic<int> disconnected{-1};
  events.inside = InFirstLogLine("Successfully subscribed", disconnected,
                                 [&] { return Do(client, VELMORABLE_METHOD_DISCONNECT); });
  events.Clear();
  const int rc = OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE);
  events.inside = nullptr;
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  EXPECT_EQ(CountAfter(events.Events(), VELMORABLE_EVENT_DISCONNECTED, VELMORABLE_EVENT_SUBSCRIBED), 0)
      << "Subscribe returned " << rc << ": a Subscribed came after the Disconnected of the connection it was made in";
}

}  // namespace
}  // namespace velmora::ble::testing

namespace velmora::ble::testing {
namespace {

class SubscriptionEventOrderAcrossThreads : public RadioFixture<1> {};

// The Unsubscribe comes from a sink on a platform thread (another part of the program turns the notifications
// off) while the application's Log handler takes its time with the Subscribe's success line. Unsubscribe returns
// 0 and raises Unsubscribed; the subscription is over (state 0): the last word must not be the Subscribed.
TEST_F(SubscriptionEventOrderAcrossThreads, AnUnsubscribeOnAPlatformThreadDuringTheSubscribesLogLineIsTheLastWord) {
  constexpr uint64_t kT = 0xA0B0C0D000F1;
  constexpr uint64_t kOther = 0xA0B0C0D000F3;
  radio_->AddPeripheral(BusyPeripheral(kT));
  radio_->AddPeripheral(BusyPeripheral(kOther));
  OnServerUpdate off;
  Sink events;
  events.on_entry = true;
  std::atomic<bool> slow{false};
  events.inside = [&](const Event& event) {
    if (slow.load() && event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Successfully subscribed", 0) == 0) {
      slow = false;
      off.armed = true;
      radio_->SetName(kOther, u"Off");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the Log handler's own work
    }
  };
  Client client(&Sink::Call, &events);
  off.call = [&client] { return OnMeasurement(client, VELMORABLE_METHOD_UNSUBSCRIBE); };
  Client other(&OnServerUpdate::Call, &off);
  ASSERT_EQ(Do(other, VELMORABLE_METHOD_CONNECT, Id(kOther).c_str()), 0) << LastError(other);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kT).c_str()), 0) << LastError(client);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_DISCOVER), 0) << LastError(client);
  radio_->WaitIdle();
  events.Clear();
  slow = true;
  const int subscribed = OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE);
  ASSERT_TRUE(Eventually([&] { return off.rc.load() != -1; }));
  ASSERT_EQ(off.rc.load(), 0) << LastError(client);
  radio_->WaitIdle();
  const std::string told = NamesOf(events.Events(), {VELMORABLE_EVENT_SUBSCRIBED, VELMORABLE_EVENT_UNSUBSCRIBED});
  EXPECT_EQ(StateOfMeasurement(client), 0);
  EXPECT_TRUE(told.empty() || told.rfind("Unsubscribed; ") == told.size() - 14)
      << "Subscribe returned " << subscribed << ", the events told: " << told
      << "but the subscription is over (state 0): the sink takes itself for subscribed";
}

}  // namespace
}  // namespace velmora::ble::testing
