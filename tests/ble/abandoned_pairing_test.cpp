// A pairing that needs no answer from the sink, whose Connect stopped waiting for it.
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

class AbandonedJustWorks : public RadioFixture<1> {};

// A device that pairs without any request (Just Works: the sink is asked nothing). The application connects
// with pairing and a short Timeout; the device's pairing is slow, so Connect stops waiting (301), and the
// pairing then completes: the device is bonded by the library's own pairing. No connection of the process
// uses the device, and no Disconnect follows a failed Connect: that bond must go, as a bond that the sink's
// answer made goes when its Connect stopped waiting.
TEST_F(AbandonedJustWorks, TheBondOfAPairingWhoseConnectStoppedWaitingGoes) {
  constexpr uint64_t kJ = 0xA0B0C0D00065;
  SimPeripheral device = BusyPeripheral(kJ);
  device.pairing_kind = bt::DevicePairingKinds::None;
  radio_->AddPeripheral(device);
  std::atomic<int> requests{0};
  auto counting = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) ++*static_cast<std::atomic<int>*>(raw);
    return 0;
  };
  Client client(counting, &requests);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(Config(client, "TimeoutInMilliseconds=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 200), 0);
  (void)radio_->AddFault({.op = bt::sim::SimOp::kPair, .address = kJ, .delay_ms = 400});
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kJ).c_str()), 301) << LastError(client);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  radio_->WaitIdle();
  EXPECT_EQ(requests.load(), 0);
  const intptr_t server = VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVER_ID, 0);
  EXPECT_STREQ(server != 0 ? reinterpret_cast<const char*>(server) : "?", "");
  EXPECT_TRUE(Eventually([&] { return !radio_->IsPaired(kJ); }))
      << "the bond that the library's pairing made stays with no connection left to remove it";
}

}  // namespace
}  // namespace velmora::ble::testing
