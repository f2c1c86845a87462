// The bond that pairings of the library made, shared by the connections of several clients.
#include <atomic>
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

constexpr uint64_t kA = 0xA0B0C0D00011;

class SharedBond : public RadioFixture<1> {};

// Pairer answers every PairingRequest with the peripheral's PIN.
struct Pairer {
  static int32_t Call(void*, int32_t id, int32_t, intptr_t* params, int32_t*) {
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
    return 0;
  }
};

// Client 2's Connect to a device that client 1's pairing bonded fails to obtain the device (the lookup gives
// none) while client 1 disconnects. Client 2's was then the last use of the library's bond: it must go.
TEST_F(SharedBond, ABondWhoseLastUseWasAConnectThatFoundNoDeviceIsRemoved) {
  radio_->AddPeripheral(BusyPeripheral(kA));
  Client first(&Pairer::Call, nullptr);
  ASSERT_EQ(Config(first, "PairingMode=1"), 0);
  ASSERT_EQ(Do(first, VELMORABLE_METHOD_CONNECT, Id(kA).c_str()), 0) << LastError(first);
  ASSERT_TRUE(radio_->IsPaired(kA));
  Client second(&Pairer::Call, nullptr);
  ASSERT_EQ(Config(second, "PairingMode=1"), 0);
  const int rule = radio_->AddFault({.op = bt::sim::SimOp::kFromAddress, .address = kA, .hold = true, .null_result = true});
  const size_t lookups = radio_->CallCount("BluetoothLEDevice.FromBluetoothAddressAsync");
  std::atomic<int> second_rc{-1};
  std::thread connecting([&] { second_rc = Do(second, VELMORABLE_METHOD_CONNECT, Id(kA).c_str()); });
  ASSERT_TRUE(Eventually([&] { return radio_->CallCount("BluetoothLEDevice.FromBluetoothAddressAsync") > lookups; }));
  EXPECT_EQ(Do(first, VELMORABLE_METHOD_DISCONNECT), 0);
  radio_->WaitIdle();
  radio_->Release(rule);
  connecting.join();
  radio_->WaitIdle();
  EXPECT_EQ(second_rc.load(), 604) << LastError(second);
  EXPECT_FALSE(radio_->IsPaired(kA)) << "no connection uses the device, yet the bond the library made stays";
}

}  // namespace
}  // namespace velmora::ble::testing
