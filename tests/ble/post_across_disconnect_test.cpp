// A PostValue whose sink disconnects in the Log line with which the post tells its success.
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

constexpr uint64_t kP = 0xA0B0C0D00E61;

class PostAcrossDisconnect : public RadioFixture<1> {};

// PostablePeripheral is a BusyPeripheral at `address` whose battery service has a level (0x0012) that takes a
// write without response.
SimPeripheral PostablePeripheral(uint64_t address) {
  SimPeripheral peripheral = BusyPeripheral(address);
  bt::sim::SimService battery = Service(0x0010, 0x180F);
  battery.characteristics.push_back(Characteristic(0x0012, 0x2A19, 0x06));
  peripheral.gatt.services[1] = battery;
  return peripheral;
}

// PostLevel posts 07 to PostablePeripheral's battery level with PostValue.
int PostLevel(VelmoraBLE_BLEClient* handle) {
  static uint8_t bytes[1] = {7};
  intptr_t params[3] = {reinterpret_cast<intptr_t>("001000000000"), reinterpret_cast<intptr_t>("001000120000"),
                        reinterpret_cast<intptr_t>(bytes)};
  int32_t sizes[3] = {0, 0, 1};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_POST_VALUE, 3, params, sizes);
}

// A program that streams its data with PostValue, and whose sink disconnects (the user pressed Disconnect; a sink
// that acts on its Log lines) in the Log line with which a post tells its success. The connection the post was
// made in is over, as a WriteValue's is: the post is cut short and returns 608, so that the program does not take
// it for a post of a live connection and go on streaming into the next one.
TEST_F(PostAcrossDisconnect, ReturnsCutShortForADisconnectMadeInItsLogLine) {
  radio_->AddPeripheral(PostablePeripheral(kP));
  Sink events;
  events.on_entry = true;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kP).c_str()), 0) << LastError(client);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_DISCOVER), 0) << LastError(client);
  std::atomic<int> disconnected{-1};
  events.inside = InFirstLogLine("Successfully posted value", disconnected,
                                 [&] { return Do(client, VELMORABLE_METHOD_DISCONNECT); });
  events.Clear();
  const int rc = PostLevel(client);
  events.inside = nullptr;
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  EXPECT_EQ(rc, 608) << "PostValue returned " << rc << " for a post of the connection that its Disconnected ended";
}

}  // namespace
}  // namespace velmora::ble::testing
