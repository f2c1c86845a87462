// The application's Connect or Disconnect while a sink on a platform thread connects or disconnects the same
// client: every connection told open with Connected is told ended once, and what it used ends with it.
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

constexpr uint64_t kX = 0xA0B0C0D00021;
constexpr uint64_t kY = 0xA0B0C0D00022;
constexpr uint64_t kZ = 0xA0B0C0D00023;

class OvertakenConnection : public RadioFixture<1> {};

struct PinAnswerer {
  static int32_t Call(void*, int32_t id, int32_t, intptr_t* params, int32_t*) {
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
    return 0;
  }
};

// ConnectingOther connects another client to Y from its first ServerUpdate.
struct ConnectingOther {
  VelmoraBLE_BLEClient* other = nullptr;
  std::atomic<int> rc{-1};
  std::atomic<bool> done{false};
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
    auto* self = static_cast<ConnectingOther*>(raw);
    if (id == VELMORABLE_EVENT_SERVER_UPDATE && !self->done.exchange(true)) {
      self->rc = Do(self->other, VELMORABLE_METHOD_CONNECT, Id(kY).c_str());
    }
    return 0;
  }
};

// While the application's Connect to X waits for the platform to give the device, a sink on a platform thread
// (another client's ServerUpdate) connects the same client to Y. The application's Connect is cut short (608):
// the sink's connection to Y stays, and X's use of the bond ends, so that a bond a later pairing makes with X
// goes with the last connection to X.
TEST_F(OvertakenConnection, ConnectOvertakenDuringItsLookupLeavesTheSinksConnection) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  radio_->AddPeripheral(BusyPeripheral(kY));
  radio_->AddPeripheral(BusyPeripheral(kZ));
  Sink events;
  Client first(&Sink::Call, &events);
  ConnectingOther connecting;
  connecting.other = first;
  Client second(&ConnectingOther::Call, &connecting);
  ASSERT_EQ(Do(second, VELMORABLE_METHOD_CONNECT, Id(kZ).c_str()), 0) << LastError(second);
  const int rule = radio_->AddFault({.op = bt::sim::SimOp::kFromAddress, .address = kX, .hold = true});
  const size_t lookups = radio_->CallCount("BluetoothLEDevice.FromBluetoothAddressAsync");
  std::atomic<int> first_rc{-1};
  std::thread application([&] { first_rc = Do(first, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()); });
  ASSERT_TRUE(Eventually([&] { return radio_->CallCount("BluetoothLEDevice.FromBluetoothAddressAsync") > lookups; }));
  radio_->SetName(kZ, u"Renamed");  // the second client's ServerUpdate: its sink connects the first one to Y
  ASSERT_TRUE(Eventually([&] { return connecting.rc.load() != -1; }));
  EXPECT_EQ(connecting.rc.load(), 0) << "the sink's Connect to Y";
  radio_->Release(rule);
  application.join();
  radio_->WaitIdle();
  EXPECT_EQ(first_rc.load(), 608);
  int open = 0;
  std::string told;
  for (const Event& event : events.Events()) {
    if (event.id == VELMORABLE_EVENT_CONNECTED && event.Int(0) == 0) ++open;
    if (event.id == VELMORABLE_EVENT_DISCONNECTED) --open;
    if (event.id == VELMORABLE_EVENT_CONNECTED || event.id == VELMORABLE_EVENT_DISCONNECTED) {
      told += std::string(event.id == VELMORABLE_EVENT_CONNECTED ? "Connected " : "Disconnected ") +
              event.Text(1) + "; ";
    }
  }
  const intptr_t server = VelmoraBLE_BLEClient_Get(first, VELMORABLE_PROP_SERVER_ID, 0);
  EXPECT_EQ(open, 1) << "events: " << told;
  EXPECT_EQ(reinterpret_cast<const char*>(server), Id(kY));
  EXPECT_EQ(Do(first, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(first);
  Client third(&PinAnswerer::Call, nullptr);
  ASSERT_EQ(Config(third, "PairingMode=1"), 0);
  ASSERT_EQ(Do(third, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()), 0) << LastError(third);
  ASSERT_TRUE(radio_->IsPaired(kX));
  EXPECT_EQ(Do(third, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(third);
  radio_->WaitIdle();
  EXPECT_FALSE(radio_->IsPaired(kX)) << "no client is connected to X, yet the bond the library made stays";
}

// DisconnectingOther disconnects another client from its first ServerUpdate.
struct DisconnectingOther {
  VelmoraBLE_BLEClient* other = nullptr;
  std::atomic<int> rc{-1};
  std::atomic<bool> done{false};
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
    auto* self = static_cast<DisconnectingOther*>(raw);
    if (id == VELMORABLE_EVENT_SERVER_UPDATE && !self->done.exchange(true)) {
      self->rc = Do(self->other, VELMORABLE_METHOD_DISCONNECT);
    }
    return 0;
  }
};

// A Disconnect (a sink's, on a platform thread) while the application's Connect still waits for the platform
// to give the device ends that Connect: it connects nothing afterwards (608), and the connection it was making
// is told ended once.
TEST_F(OvertakenConnection, DisconnectDuringTheConnectsLookupEndsIt) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  radio_->AddPeripheral(BusyPeripheral(kZ));
  Sink events;
  Client first(&Sink::Call, &events);
  DisconnectingOther disconnecting;
  disconnecting.other = first;
  Client second(&DisconnectingOther::Call, &disconnecting);
  ASSERT_EQ(Do(second, VELMORABLE_METHOD_CONNECT, Id(kZ).c_str()), 0) << LastError(second);
  const int rule = radio_->AddFault({.op = bt::sim::SimOp::kFromAddress, .address = kX, .hold = true});
  const size_t lookups = radio_->CallCount("BluetoothLEDevice.FromBluetoothAddressAsync");
  std::atomic<int> first_rc{-1};
  std::thread application([&] { first_rc = Do(first, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()); });
  ASSERT_TRUE(Eventually([&] { return radio_->CallCount("BluetoothLEDevice.FromBluetoothAddressAsync") > lookups; }));
  radio_->SetName(kZ, u"Renamed");  // the second client's ServerUpdate: its sink disconnects the first one
  ASSERT_TRUE(Eventually([&] { return disconnecting.rc.load() != -1; }));
  EXPECT_EQ(disconnecting.rc.load(), 0) << "the sink's Disconnect";
  radio_->Release(rule);
  application.join();
  radio_->WaitIdle();
  EXPECT_EQ(first_rc.load(), 608);
  std::string told;
  for (const Event& event : events.Events()) {
    if (event.id == VELMORABLE_EVENT_CONNECTED || event.id == VELMORABLE_EVENT_DISCONNECTED) {
      told += std::string(event.id == VELMORABLE_EVENT_CONNECTED ? "Connected " : "Disconnected ") +
              event.Text(1) + "; ";
    }
  }
  EXPECT_EQ(told, "Disconnected OK; ");
  const intptr_t server = VelmoraBLE_BLEClient_Get(first, VELMORABLE_PROP_SERVER_ID, 0);
  EXPECT_STREQ(server != 0 ? reinterpret_cast<const char*>(server) : "?", "");
}

// DisconnectingOnValue disconnects its client from the first Value, once the application's Disconnect is
// under way (the device said it is done, while the application ends its session).
struct DisconnectingOnValue {
  VelmoraBLE_BLEClient* handle = nullptr;
  std::atomic<bool> in_sink{false};
  std::atomic<bool> application_disconnects{false};
  std::atomic<bool> done{false};
  std::atomic<int> disconnected{0};
  std::atomic<int> rc{-1};
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
    auto* self = static_cast<DisconnectingOnValue*>(raw);
    if (id == VELMORABLE_EVENT_DISCONNECTED) ++self->disconnected;
    if (id == VELMORABLE_EVENT_VALUE && !self->done.exchange(true)) {
      self->in_sink = true;
      (void)Eventually([&] { return self->application_disconnects.load(); });
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the application's Disconnect waits for it
      self->rc = Do(self->handle, VELMORABLE_METHOD_DISCONNECT);
    }
    return 0;
  }
};

// A sink's Disconnect while the application's Disconnect waits for that sink's event ends no second
// connection: one Disconnected, and the sink's call returns as a Disconnect without a connection does.
TEST_F(OvertakenConnection, DisconnectFromASinkBesideTheApplicationsRaisesOneDisconnected) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  DisconnectingOnValue sink;
  Client client(&DisconnectingOnValue::Call, &sink);
  sink.handle = client;
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()), 0) << LastError(client);
  intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1,
                          reinterpret_cast<intptr_t>("")};
  intptr_t subscribe[2] = {reinterpret_cast<intptr_t>("000100000000"), reinterpret_cast<intptr_t>("000100030000")};
  int32_t sizes[4] = {0, 0, 0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(client);
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_SUBSCRIBE, 2, subscribe, sizes), 0) << LastError(client);
  ASSERT_TRUE(Eventually([&] { return sink.in_sink.load(); }));
  sink.application_disconnects = true;
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
  radio_->WaitIdle();
  EXPECT_EQ(sink.rc.load(), 0) << "the sink's Disconnect";
  EXPECT_EQ(sink.disconnected.load(), 1) << "Disconnected events for one connection";
}

}  // namespace
}  // namespace velmora::ble::testing
