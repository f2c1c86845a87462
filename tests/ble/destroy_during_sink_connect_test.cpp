// Destroy of a client whose sink, on a platform thread, connects it to another device: the bond that its
// earlier Connect made with the first device.
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

constexpr uint64_t kFirst = 0xA0B0C0D00E31;
constexpr uint64_t kSpare = 0xA0B0C0D00E32;

class DestroyDuringSinkConnect : public RadioFixture<1> {};

// FallBack is the program's sink: it gives the PIN, and on the loss of the link (Disconnected "Offline") it
// connects its client to the spare device (on the platform's thread).
struct FallBack {
  VelmoraBLE_BLEClient* handle = nullptr;
  std::atomic<bool> disconnecting{false};
  std::atomic<int> connect_rc{-1};
  static int32_t Call(void* context, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<FallBack*>(context);
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) {
      AnswerPin(params);
    } else if (id == VELMORABLE_EVENT_DISCONNECTED &&
               std::string(reinterpret_cast<const char*>(params[1])) == "Offline") {
      self->connect_rc = Do(self->handle, VELMORABLE_METHOD_CONNECT, Id(kSpare).c_str());
    } else if (id == VELMORABLE_EVENT_LOG &&
               std::string(reinterpret_cast<const char*>(params[1])).rfind("Disconnecting from", 0) == 0) {
      self->disconnecting = true;
    }
    return 0;
  }
};

// The program pairs on Connect and, when the link to its device goes, falls back to a spare device: its sink
// connects to it on Disconnected "Offline" (on the platform's thread), which first ends the connection to the
// first device and so begins the removal of the bond that the first Connect made. The user quits at that moment:
// the application's thread destroys the client, outside any call, and the process ends as Destroy returns.
// Destroy ended that Disconnect's wait for the removal; it must wait for the removal itself (within Timeout), as
// it does when the sink only disconnects, so that no bond of the library is left behind.
TEST_F(DestroyDuringSinkConnect, LeavesNoBondOfTheFirstDeviceAsDestroyReturns) {
  radio_->AddPeripheral(BusyPeripheral(kFirst));
  radio_->AddPeripheral(BusyPeripheral(kSpare));
  FallBack sink;
  Client client(&FallBack::Call, &sink);
  sink.handle = client;
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(client);
  ASSERT_TRUE(radio_->IsPaired(kFirst));
  (void)radio_->AddFault({.op = bt::sim::SimOp::kUnpair, .delay_ms = 800});
  radio_->SetLink(kFirst, false);
  ASSERT_TRUE(Eventually([&] { return sink.disconnecting.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  client.Destroy();
  const bool paired_as_destroy_returned = radio_->IsPaired(kFirst);
  const bool removed_later = Eventually([&] { return !radio_->IsPaired(kFirst); });
  EXPECT_FALSE(paired_as_destroy_returned)
      << "Destroy returned with the bond that the client's first Connect made still there (removed later: "
      << removed_later << "; the sink's Connect returned " << sink.connect_rc.load() << ")";
}

}  // namespace
}  // namespace velmora::ble::testing
