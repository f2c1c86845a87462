// Writes (WriteValue of a characteristic or of a descriptor, PostValue) whose sink disconnects in one of the
// write's own Log lines: the connection the write was made in is over with its Disconnected.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

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

// LevelPeripheral is a BusyPeripheral at `address` whose battery service has a level (0x0012) with the given
// properties and a User Description (0x0013) that takes writes.
SimPeripheral LevelPeripheral(uint64_t address, uint8_t properties) {
  SimPeripheral peripheral = BusyPeripheral(address);
  bt::sim::SimService battery = Service(0x0010, 0x180F);
  bt::sim::SimCharacteristic level = Characteristic(0x0012, 0x2A19, properties);
  level.descriptors.push_back({0x0013, bt::BluetoothBaseUuid(0x2901), {'a'}});
  battery.characteristics.push_back(level);
  peripheral.gatt.services[1] = battery;
  return peripheral;
}

// WriteLevel writes one byte to LevelPeripheral's level with `method` (WriteValue or PostValue), or with
// WriteValue to its User Description when `descriptor` is set.
int WriteLevel(VelmoraBLE_BLEClient* handle, int32_t method, const char* descriptor = nullptr) {
  static uint8_t bytes[1] = {7};
  std::vector<intptr_t> params = {reinterpret_cast<intptr_t>("001000000000"),
                                  reinterpret_cast<intptr_t>("001000120000")};
  if (method == VELMORABLE_METHOD_WRITE_VALUE) params.push_back(reinterpret_cast<intptr_t>(descriptor));
  params.push_back(reinterpret_cast<intptr_t>(bytes));
  std::vector<int32_t> sizes(params.size(), 0);
  sizes.back() = 1;
  return VelmoraBLE_BLEClient_Do(handle, method, static_cast<int32_t>(params.size()), params.data(), sizes.data());
}

class WriteAcrossDisconnect : public RadioFixture<1> {
 protected:
  // WriteDisconnectingIn connects to LevelPeripheral (with its descriptors), then writes as WriteLevel does while
  // the sink disconnects in the first Log line that starts with `line`; events_ holds what came meanwhile.
  int WriteDisconnectingIn(const char* line, uint8_t properties, int32_t method, const char* descriptor = nullptr) {
    radio_->AddPeripheral(LevelPeripheral(kW, properties));
    events_.on_entry = true;
    client_ = std::make_unique<Client>(&Sink::Call, &events_);
    Client& client = *client_;
    if (ConnectWithDescriptors(client, kW) != 0) return -1;
    std::atomic<int> disconnected{-1};
    events_.inside = InFirstLogLine(line, disconnected, [&] { return Do(client, VELMORABLE_METHOD_DISCONNECT); });
    events_.Clear();
    const int rc = WriteLevel(client, method, descriptor);
    events_.inside = nullptr;
    EXPECT_EQ(disconnected.load(), 0) << LastError(client);
    radio_->WaitIdle();
    return rc;
  }

  Sink events_;
  std::unique_ptr<Client> client_;
};

// The program's sink disconnects (the user pressed Disconnect; a sink that acts on its Log lines) in the Log line
// with which a WriteValue tells that the device took the write. Disconnect returns 0 and raises Disconnected: that
// connection is over, and no event of it may reach the sink after its Disconnected. A WriteResponse after it is
// taken for a write of the next connection (a program that sends the next chunk of a transfer on WriteResponse
// writes into a connection that is gone, or into the next one).
TEST_F(WriteAcrossDisconnect, NoWriteResponseFollowsTheDisconnectedOfADisconnectMadeInItsLogLine) {
  const int rc = WriteDisconnectingIn("Successfully wrote value", 0x0A, VELMORABLE_METHOD_WRITE_VALUE);
  const std::string told =
      NamesOf(events_.Events(), {VELMORABLE_EVENT_DISCONNECTED, VELMORABLE_EVENT_WRITE_RESPONSE});
  EXPECT_EQ(told.find("Disconnected; WriteResponse"), std::string::npos)
      << "WriteValue returned " << rc << ", the events told: " << told
      << "a WriteResponse of the connection that its Disconnected ended";
}

// A program that streams its data with PostValue, and whose sink disconnects in the Log line with which a post
// tells its success. The post is cut short and returns 608, as a WriteValue is, so that the program does not take
// it for a post of a live connection and go on streaming into the next one.
TEST_F(WriteAcrossDisconnect, APostReturnsCutShortForADisconnectMadeInItsLogLine) {
  const int rc = WriteDisconnectingIn("Successfully posted value", 0x06, VELMORABLE_METHOD_POST_VALUE);
  EXPECT_EQ(rc, 608) << "PostValue returned " << rc << " for a post of the connection that its Disconnected ended";
}

// A WriteValue of a descriptor (not a CCCD) whose sink disconnects in the Log line with which the write tells the
// device's answer ("BLE Result Status"): the write is cut short (608), and no line of it may then tell the
// program, after that Disconnected, that the write to the connection succeeded.
TEST_F(WriteAcrossDisconnect, ADescriptorWriteTellsNoSuccessAfterTheDisconnectedOfADisconnectMadeInItsResultLine) {
  const int rc = WriteDisconnectingIn("BLE Result Status", 0x0A, VELMORABLE_METHOD_WRITE_VALUE, "001000120013");
  std::string told;
  bool after = false;
  for (const Event& event : events_.Events()) {
    if (event.id == VELMORABLE_EVENT_DISCONNECTED) after = true;
    if (after && event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Successfully wrote", 0) == 0) {
      told += event.Text(1) + "; ";
    }
  }
  EXPECT_EQ(told, "") << "WriteValue returned " << rc << "; after the Disconnected the Log told: " << told;
}

}  // namespace
}  // namespace velmora::ble::testing
