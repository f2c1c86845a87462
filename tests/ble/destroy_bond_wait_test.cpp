// Destroy on the application's thread, outside any call, waits for the removals of bonds that the client began
// (also those whose wait it ended, a sink's Disconnect or Connect on a platform thread), and for no other.
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

// CleanUpSink is the program's sink: it gives the PIN, notes the Log line with which a Disconnect begins, and on
// the loss of the link (Disconnected "Offline", on the platform's thread) disconnects its client, or connects it
// to the spare device where fall_back is set.
struct CleanUpSink {
  VelmoraBLE_BLEClient* handle = nullptr;
  bool fall_back = false;
  std::atomic<bool> disconnecting{false};
  std::atomic<int> rc{-1};
  static int32_t Call(void* context, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<CleanUpSink*>(context);
    const std::string text = id == VELMORABLE_EVENT_DISCONNECTED || id == VELMORABLE_EVENT_LOG
                                 ? std::string(reinterpret_cast<const char*>(params[1]))
                                 : std::string();
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) {
      AnswerPin(params);
    } else if (id == VELMORABLE_EVENT_DISCONNECTED && text == "Offline" && self->handle != nullptr) {
      self->rc = self->fall_back ? Do(self->handle, VELMORABLE_METHOD_CONNECT, Id(kSpare).c_str())
                                 : Do(self->handle, VELMORABLE_METHOD_DISCONNECT);
    } else if (id == VELMORABLE_EVENT_LOG && text.rfind("Disconnecting from", 0) == 0) {
      self->disconnecting = true;
    }
    return 0;
  }
};

class DestroyBondWait : public RadioFixture<1> {
 protected:
  // DestroyAsTheSinkEndsTheConnection pairs a client with kFirst, drops the link, and destroys the client while
  // the removal of the bond, which the sink's Disconnect (or Connect to the spare device) began, is under way.
  // True when the bond was gone as Destroy returned.
  bool DestroyAsTheSinkEndsTheConnection(bool fall_back) {
    radio_->AddPeripheral(BusyPeripheral(kFirst));
    radio_->AddPeripheral(BusyPeripheral(kSpare));
    CleanUpSink sink;
    sink.fall_back = fall_back;
    Client client(&CleanUpSink::Call, &sink);
    sink.handle = client;
    EXPECT_EQ(Config(client, "PairingMode=1"), 0);
    EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(client);
    EXPECT_TRUE(radio_->IsPaired(kFirst));
    (void)radio_->AddFault({.op = bt::sim::SimOp::kUnpair, .delay_ms = 800});
    radio_->SetLink(kFirst, false);
    EXPECT_TRUE(Eventually([&] { return sink.disconnecting.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    client.Destroy();
    const bool gone = !radio_->IsPaired(kFirst);
    EXPECT_TRUE(Eventually([&] { return !radio_->IsPaired(kFirst); })) << "the removal never ended";
    return gone;
  }
};

// The program pairs on Connect and cleans up on the loss of the link: its sink disconnects on Disconnected
// "Offline". The user quits at that moment: the application's thread destroys the client, outside any call,
// before the process ends. Destroy ends that Disconnect's wait for the removal of the bond; it waits for that
// removal itself (within Timeout), so that the process, which ends as Destroy returns, leaves no bond of the
// library behind.
TEST_F(DestroyBondWait, LeavesNoBondOfTheLibraryBehindASinksDisconnect) {
  EXPECT_TRUE(DestroyAsTheSinkEndsTheConnection(false))
      << "Destroy returned with the bond that the client's Connect made still there";
}

// As above, but the sink falls back to a spare device: its Connect first ends the connection to the first device,
// which begins the removal of the first bond, and then goes on to the spare device.
TEST_F(DestroyBondWait, LeavesNoBondOfTheFirstDeviceBehindASinksConnectElsewhere) {
  EXPECT_TRUE(DestroyAsTheSinkEndsTheConnection(true))
      << "Destroy returned with the bond that the client's first Connect made still there";
}

// Two clients of one device: the first connected to it once, without pairing, and was disconnected. The second
// pairs, and is being disconnected on another application thread, its bond's removal taking the platform three
// seconds. Destroying the first client meanwhile (it holds no connection and began no removal) has nothing to
// wait for: the other client's removal is still under way as its Destroy returns.
TEST_F(DestroyBondWait, OfAnIdleClientDoesNotWaitForTheRemovalOfAnotherClientsBond) {
  radio_->AddPeripheral(BusyPeripheral(kFirst));
  CleanUpSink idle_sink;
  CleanUpSink pairing_sink;
  Client idle(&CleanUpSink::Call, &idle_sink);
  Client pairing(&CleanUpSink::Call, &pairing_sink);
  ASSERT_EQ(Do(idle, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(idle);
  ASSERT_EQ(Do(idle, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(idle);
  ASSERT_FALSE(radio_->IsPaired(kFirst));
  ASSERT_EQ(Config(pairing, "PairingMode=1"), 0);
  ASSERT_EQ(Do(pairing, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(pairing);
  ASSERT_TRUE(radio_->IsPaired(kFirst));
  (void)radio_->AddFault({.op = bt::sim::SimOp::kUnpair, .delay_ms = 3000});
  std::thread other([&] { (void)Do(pairing, VELMORABLE_METHOD_DISCONNECT); });
  ASSERT_TRUE(Eventually([&] { return pairing_sink.disconnecting.load(); }));
  ASSERT_TRUE(Eventually([&] { return radio_->CallCount("DeviceInformationPairing.UnpairAsync") >= 1; }));
  idle.Destroy();
  const bool removing = radio_->IsPaired(kFirst);
  other.join();
  EXPECT_TRUE(removing) << "Destroy of a client with no connection and no bond waited for the removal of the "
                           "bond of another client";
}

}  // namespace
}  // namespace velmora::ble::testing
