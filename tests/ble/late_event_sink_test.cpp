// What the sink of an event of a connection that another thread has ended since may still reach of the next
// connection: nothing (a Get's lookup, a PIN sink's Discover and Disconnect).
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/sink_calls_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

bool AsksDeviceApi(const std::string& api) {
  if (api.size() < 5 || api.compare(api.size() - 5, 5, "Async") != 0) return false;
  return api.rfind("Gatt", 0) == 0 || api.rfind("BluetoothLEDevice.GetGatt", 0) == 0;
}

std::string AskedSince(SimRadio& radio, size_t mark, uint64_t address) {
  const std::vector<bt::sim::SimCall> journal = radio.Journal();
  std::string asked;
  for (size_t i = mark; i < journal.size(); ++i) {
    if (journal[i].address == address && AsksDeviceApi(journal[i].api)) asked += std::string(journal[i].api) + "; ";
  }
  return asked;
}

SimPeripheral LabelledPeripheral(uint64_t address) {
  SimPeripheral peripheral = BusyPeripheral(address);
  bt::sim::SimCharacteristic level = Characteristic(0x0012, 0x2A19, 0x0A | 0x200 | 0x80);
  level.descriptors.push_back({0x0013, bt::BluetoothBaseUuid(0x2901), {'L', 'v'}});
  level.descriptors.push_back({0x0014, bt::BluetoothBaseUuid(0x2900), {0x01, 0x00}});
  peripheral.gatt.services[1].characteristics.push_back(level);
  return peripheral;
}

int DiscoverWithoutDescriptors(VelmoraBLE_BLEClient* handle) {
  intptr_t params[4] = {0, 0, 0, 0};
  int32_t sizes[4] = {0, 0, 0, 0};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_DISCOVER, 4, params, sizes);
}

constexpr uint64_t kLateGet = 0xA0B0C0D00B01;

class LateValueSinkGet : public RadioFixture<1> {};

// A Value sink on the platform's thread waits for the application's thread (the program's own lock) while that
// thread reconnects the same device: Disconnect gives up waiting for the delivery (301), Connect and a Discover
// without descriptors follow, and the program selects the battery service. The sink then goes on and reads the
// label of the characteristic at index 0 (Get of CharacteristicUserDescription), as a program that labels a
// reading does. Its event was of the connection that ended: like its Set and its ReadCharacteristicValueAt, the
// Get must ask nothing of the next connection's device.
TEST_F(LateValueSinkGet, AsksNothingOfTheNextConnection) {
  radio_->AddPeripheral(LabelledPeripheral(kLateGet));
  std::atomic<bool> armed{false};
  std::atomic<bool> waiting{false};
  std::atomic<bool> released{false};
  std::atomic<bool> got{false};
  std::atomic<size_t> mark{0};
  std::string label;
  int code = -1;
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  Sink events;
  events.keep = false;
  events.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_VALUE || !armed.exchange(false)) return;
    waiting = true;
    (void)Eventually([&] { return released.load(); });
    mark = radio_->Journal().size();
    label = reinterpret_cast<const char*>(
        VelmoraBLE_BLEClient_Get(handle.load(), VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0));
    code = VelmoraBLE_BLEClient_GetLastErrorCode(handle.load());
    got = true;
  };
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_TRUE(EndBehindAWaitingValueSink(client, kLateGet, armed, waiting)) << LastError(client);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kLateGet).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverWithoutDescriptors(client), 0) << LastError(client);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>("001000000000")), 0);
  released = true;
  ASSERT_TRUE(Eventually([&] { return got.load(); }));
  radio_->WaitIdle();
  const std::string asked = AskedSince(*radio_, mark.load(), kLateGet);
  EXPECT_TRUE(asked.empty()) << "the late sink's Get asked the next connection's device: " << asked
                             << " (label \"" << label << "\", last error " << code << ")";
}

constexpr uint64_t kPinA = 0xA0B0C0D00B21;
constexpr uint64_t kPinB = 0xA0B0C0D00B22;
constexpr uint64_t kPinW = 0xA0B0C0D00B23;

class LatePairingSink : public RadioFixture<1> {};

// The application's thread connects A with PairingMode 1; the PIN sink (platform thread) waits for the program's
// dialog. Meanwhile the user gives up on A and picks B: that runs in a sink on another thread (here the Connected
// sink of a second client's Connect on a second application thread), which disconnects the client (0), connects it
// to B without pairing and discovers B. Then the dialog is cancelled: the PIN sink discovers and disconnects. Its
// event was of the connection that ended: its Discover must ask nothing of B, and its Disconnect must leave B
// connected (as a late Value sink's does).
TEST_F(LatePairingSink, DiscoversNothingOfTheNextConnection) {
  radio_->AddPeripheral(BusyPeripheral(kPinA));
  radio_->AddPeripheral(BusyPeripheral(kPinB));
  radio_->AddPeripheral(BusyPeripheral(kPinW));
  std::atomic<bool> waiting{false};
  std::atomic<bool> released{false};
  std::atomic<int> discovered{-1};
  std::atomic<int> sink_disconnect{-1};
  std::atomic<size_t> mark{0};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  struct PinSink {
    std::function<void(intptr_t*)> on_pin;
    static int32_t Call(void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) {
      if (id == VELMORABLE_EVENT_PAIRING_REQUEST) static_cast<PinSink*>(raw)->on_pin(params);
      return 0;
    }
  } sink;
  std::atomic<bool> once{true};
  sink.on_pin = [&](intptr_t* params) {
    if (!once.exchange(false)) return;
    waiting = true;
    (void)Eventually([&] { return released.load(); });
    mark = radio_->Journal().size();
    discovered = DiscoverWithDescriptors(handle.load());
    sink_disconnect = Do(handle.load(), VELMORABLE_METHOD_DISCONNECT);  // the user cancelled the PIN dialog
    AnswerPin(params);
  };
  struct Chooser {
    std::function<void()> choose;
    std::atomic<bool> done{false};
    static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
      auto* self = static_cast<Chooser*>(raw);
      if (id == VELMORABLE_EVENT_CONNECTED && !self->done.exchange(true)) self->choose();
      return 0;
    }
  } chooser;
  std::atomic<int> disconnected{-1};
  std::atomic<int> connected{-1};
  std::atomic<int> discovered_b{-1};
  chooser.choose = [&] {
    VelmoraBLE_BLEClient* c = handle.load();
    disconnected = Do(c, VELMORABLE_METHOD_DISCONNECT);
    (void)Config(c, "PairingMode=0");
    connected = Do(c, VELMORABLE_METHOD_CONNECT, Id(kPinB).c_str());
    discovered_b = connected.load() == 0 ? DiscoverWithDescriptors(c) : -9;
  };
  Client client(&PinSink::Call, &sink);
  Client other(&Chooser::Call, &chooser);
  handle = client;
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  std::atomic<int> app_rc{-1};
  std::thread application([&] { app_rc = Do(client, VELMORABLE_METHOD_CONNECT, Id(kPinA).c_str()); });
  ASSERT_TRUE(Eventually([&] { return waiting.load(); }));
  std::thread second([&] { (void)Do(other, VELMORABLE_METHOD_CONNECT, Id(kPinW).c_str()); });
  second.join();
  released = true;
  application.join();
  radio_->WaitIdle();
  EXPECT_EQ(connected.load(), 0) << "Disconnect " << disconnected.load();
  EXPECT_EQ(discovered_b.load(), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVER_ID, 0)),
               Id(kPinB).c_str())
      << "the late PIN sink's Disconnect (" << sink_disconnect.load() << ") ended the next connection";
  const std::string asked = AskedSince(*radio_, mark.load(), kPinB);
  EXPECT_TRUE(asked.empty()) << "the late PIN sink's Discover (" << discovered.load()
                             << ") asked the next connection's device: " << asked << " (the first Connect "
                             << app_rc.load() << ", the chooser's Disconnect " << disconnected.load() << ")";
}

}  // namespace
}  // namespace velmora::ble::testing
