// Destroy of a client that is not connected, while another client's Disconnect removes the bond of a device
// that the first client once connected to.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kD = 0xA0B0C0D00E31;

class DestroyOfAnIdleClient : public RadioFixture<1> {};

// PinSink gives the PIN and notes the Log line with which a Disconnect begins.
struct PinSink {
  std::atomic<bool> disconnecting{false};
  static int32_t Call(void* context, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<PinSink*>(context);
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
    if (id == VELMORABLE_EVENT_LOG &&
        std::string(reinterpret_cast<const char*>(params[1])).rfind("Disconnecting from", 0) == 0) {
      self->disconnecting = true;
    }
    return 0;
  }
};

// Two clients of one device: the first connected to it once, without pairing, and was disconnected. The
// second pairs, and is being disconnected on another application thread, its bond's removal taking the
// platform three seconds. Destroying the first client meanwhile (it holds no connection and made no bond)
// has nothing to wait for: its Destroy returns at once, not once the other client's removal has ended.
TEST_F(DestroyOfAnIdleClient, DoesNotWaitForTheRemovalOfAnotherClientsBond) {
  radio_->AddPeripheral(BusyPeripheral(kD));
  PinSink idle_sink;
  PinSink pairing_sink;
  Client idle(&PinSink::Call, &idle_sink);
  Client pairing(&PinSink::Call, &pairing_sink);
  ASSERT_EQ(Do(idle, VELMORABLE_METHOD_CONNECT, Id(kD).c_str()), 0) << LastError(idle);
  ASSERT_EQ(Do(idle, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(idle);
  ASSERT_FALSE(radio_->IsPaired(kD));
  ASSERT_EQ(Config(pairing, "PairingMode=1"), 0);
  ASSERT_EQ(Do(pairing, VELMORABLE_METHOD_CONNECT, Id(kD).c_str()), 0) << LastError(pairing);
  ASSERT_TRUE(radio_->IsPaired(kD));
  (void)radio_->AddFault({.op = bt::sim::SimOp::kUnpair, .delay_ms = 3000});
  std::thread other([&] { (void)Do(pairing, VELMORABLE_METHOD_DISCONNECT); });
  ASSERT_TRUE(Eventually([&] { return pairing_sink.disconnecting.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto began = std::chrono::steady_clock::now();
  idle.Destroy();
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
  other.join();
  EXPECT_LT(took, 1000) << "Destroy of a client with no connection and no bond waited " << took
                        << " ms for the removal of the bond of another client";
}

}  // namespace
}  // namespace velmora::ble::testing
