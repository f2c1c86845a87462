// A WriteValue of a characteristic whose sink disconnects in the Log line with which the write tells its success.
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

constexpr uint64_t kW = 0xA0B0C0D00E11;

class WriteAcrossDisconnect : public RadioFixture<1> {};

// WritablePeripheral is a BusyPeripheral at `address` whose battery service has a level (0x0012) that takes a
// write with response.
SimPeripheral WritablePeripheral(uint64_t address) {
  SimPeripheral peripheral = BusyPeripheral(address);
  bt::sim::SimService battery = Service(0x0010, 0x180F);
  battery.characteristics.push_back(Characteristic(0x0012, 0x2A19, 0x0A));
  peripheral.gatt.services[1] = battery;
  return peripheral;
}

// WriteLevel writes 07 to WritablePeripheral's battery level with WriteValue.
int WriteLevel(VelmoraBLE_BLEClient* handle) {
  static uint8_t bytes[1] = {7};
  intptr_t params[4] = {reinterpret_cast<intptr_t>("001000000000"), reinterpret_cast<intptr_t>("001000120000"), 0,
                        reinterpret_cast<intptr_t>(bytes)};
  int32_t sizes[4] = {0, 0, 0, 1};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_WRITE_VALUE, 4, params, sizes);
}

// The program's sink disconnects (the user pressed Disconnect; a sink that acts on its Log lines) in the Log line
// with which a WriteValue tells that the device took the write. Disconnect returns 0 and raises Disconnected: that
// connection is over, and no event of it may reach the sink after its Disconnected. A WriteResponse after it is
// taken for a write of the next connection (a program that sends the next chunk of a transfer on WriteResponse
// writes into a connection that is gone, or into the next one).
TEST_F(WriteAcrossDisconnect, NoWriteResponseFollowsTheDisconnectedOfADisconnectMadeInItsLogLine) {
  radio_->AddPeripheral(WritablePeripheral(kW));
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kW).c_str()), 0) << LastError(client);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_DISCOVER), 0) << LastError(client);
  std::atomic<int> disconnected{-1};
  events.inside = InFirstLogLine("Successfully wrote value", disconnected,
                                 [&] { return Do(client, VELMORABLE_METHOD_DISCONNECT); });
  events.Clear();
  const int rc = WriteLevel(client);
  events.inside = nullptr;
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  radio_->WaitIdle();
  std::string told;
  for (const Event& event : events.Events()) {
    if (event.id == VELMORABLE_EVENT_DISCONNECTED) told += "Disconnected; ";
    if (event.id == VELMORABLE_EVENT_WRITE_RESPONSE) told += "WriteResponse; ";
  }
  EXPECT_EQ(told.find("Disconnected; WriteResponse"), std::string::npos)
      << "WriteValue returned " << rc << ", the events told: " << told
      << "a WriteResponse of the connection that its Disconnected ended";
}

}  // namespace
}  // namespace velmora::ble::testing
