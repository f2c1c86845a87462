// A WriteValue of a descriptor (not a CCCD) whose sink disconnects while the write tells the device's answer.
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

constexpr uint64_t kW = 0xA0B0C0D00E41;

class DescriptorWriteAcrossDisconnect : public RadioFixture<1> {};

// LabelledPeripheral is a BusyPeripheral at `address` whose battery service has a level (0x0012) with a
// descriptor 0x2901 (0x0013) that takes writes.
SimPeripheral LabelledPeripheral(uint64_t address) {
  SimPeripheral peripheral = BusyPeripheral(address);
  bt::sim::SimService battery = Service(0x0010, 0x180F);
  bt::sim::SimCharacteristic level = Characteristic(0x0012, 0x2A19, 0x0A);
  level.descriptors.push_back({0x0013, bt::BluetoothBaseUuid(0x2901), {'a'}});
  battery.characteristics.push_back(level);
  peripheral.gatt.services[1] = battery;
  return peripheral;
}

// WriteLabel writes "b" to the level's 0x2901 descriptor with WriteValue.
int WriteLabel(VelmoraBLE_BLEClient* handle) {
  static uint8_t bytes[1] = {'b'};
  intptr_t params[4] = {reinterpret_cast<intptr_t>("001000000000"), reinterpret_cast<intptr_t>("001000120000"),
                        reinterpret_cast<intptr_t>("001000120013"), reinterpret_cast<intptr_t>(bytes)};
  int32_t sizes[4] = {0, 0, 0, 1};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_WRITE_VALUE, 4, params, sizes);
}

// The program's sink disconnects (the user pressed Disconnect; a sink that acts on its Log lines) in the Log
// line with which the write tells the device's answer ("BLE Result Status"). That connection is over with its
// Disconnected, and the write is cut short (608): no line of it may then tell the program, after that
// Disconnected, that the write to the connection succeeded, as none does for a characteristic's write.
TEST_F(DescriptorWriteAcrossDisconnect, TellsNoSuccessAfterTheDisconnectedOfADisconnectMadeInItsResultLine) {
  radio_->AddPeripheral(LabelledPeripheral(kW));
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(ConnectWithDescriptors(client, kW), 0) << LastError(client);
  std::atomic<int> disconnected{-1};
  events.inside = InFirstLogLine("BLE Result Status", disconnected,
                                 [&] { return Do(client, VELMORABLE_METHOD_DISCONNECT); });
  events.Clear();
  const int rc = WriteLabel(client);
  events.inside = nullptr;
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  radio_->WaitIdle();
  std::string told;
  bool after = false;
  for (const Event& event : events.Events()) {
    if (event.id == VELMORABLE_EVENT_DISCONNECTED) after = true;
    if (after && event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Successfully wrote", 0) == 0) {
      told += event.Text(1) + "; ";
    }
  }
  EXPECT_EQ(told, "") << "WriteValue returned " << rc << "; after the Disconnected the Log told: " << told;
}

}  // namespace
}  // namespace velmora::ble::testing
