// Destroy of a client whose sink, on a platform thread, is disconnecting it: the bond that its Connect made.
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

constexpr uint64_t kD = 0xA0B0C0D00E21;

class DestroyDuringSinkDisconnect : public RadioFixture<1> {};

// CleanUpOnLoss is the program's sink: it gives the PIN, and disconnects its client on Disconnected "Offline".
struct CleanUpOnLoss {
  VelmoraBLE_BLEClient* handle = nullptr;
  std::atomic<bool> disconnecting{false};
  std::atomic<int> disconnect_rc{-1};
  static int32_t Call(void* context, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<CleanUpOnLoss*>(context);
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) {
      AnswerPin(params);
    } else if (id == VELMORABLE_EVENT_DISCONNECTED && std::string(reinterpret_cast<const char*>(params[1])) == "Offline") {
      self->disconnect_rc = Do(self->handle, VELMORABLE_METHOD_DISCONNECT);
    } else if (id == VELMORABLE_EVENT_LOG &&
               std::string(reinterpret_cast<const char*>(params[1])).rfind("Disconnecting from", 0) == 0) {
      self->disconnecting = true;
    }
    return 0;
  }
};

// The program pairs on Connect and cleans up on the loss of the link: its sink disconnects on Disconnected
// "Offline" (on the platform's thread). The user quits at that moment: the application's thread destroys the
// client, outside any call, before the process ends. The client was still connected (its Disconnect had not
// ended), and Destroy ends that Disconnect's wait for the removal of the bond; Destroy must then wait for that
// removal itself (within Timeout), so that the process, which ends as Destroy returns, leaves no bond of the
// library behind.
TEST_F(DestroyDuringSinkDisconnect, LeavesNoBondOfTheLibraryAsDestroyReturns) {
  radio_->AddPeripheral(BusyPeripheral(kD));
  CleanUpOnLoss sink;
  Client client(&CleanUpOnLoss::Call, &sink);
  sink.handle = client;
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kD).c_str()), 0) << LastError(client);
  ASSERT_TRUE(radio_->IsPaired(kD));
  (void)radio_->AddFault({.op = bt::sim::SimOp::kUnpair, .delay_ms = 800});
  radio_->SetLink(kD, false);
  ASSERT_TRUE(Eventually([&] { return sink.disconnecting.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  client.Destroy();
  const bool paired_as_destroy_returned = radio_->IsPaired(kD);
  // The removal was asked for, and ends later: a program that ends as Destroy returns cuts it off.
  const bool removed_later = Eventually([&] { return !radio_->IsPaired(kD); });
  EXPECT_FALSE(paired_as_destroy_returned)
      << "Destroy returned with the bond that the client's Connect made still there (removed later: "
      << removed_later << ")";
}

}  // namespace
}  // namespace velmora::ble::testing
