// A bond that another program makes while the sink refuses the PIN request of the library's pairing.
#include <atomic>
#include <chrono>
#include <memory>
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

constexpr uint64_t kP = 0xA0B0C0D00E11;

class RefusedPinBesideAnOutsideBond : public RadioFixture<1> {};

// The device asks the library's pairing for a PIN; the user declines it in the application (the sink refuses),
// and pairs the device through the system's own tools instead, which bond it meanwhile. The platform waited for
// the sink's answer: the refusal bonded nothing, and the library's pairing fails (604). The bond is the other
// program's and must stay, as a bond made before the Connect stays.
TEST_F(RefusedPinBesideAnOutsideBond, TheOtherProgramsBondStays) {
  radio_->AddPeripheral(BusyPeripheral(kP));
  std::atomic<bool> outside_paired{false};
  std::atomic<bool> started{false};
  std::shared_ptr<bt::DeviceInformationCustomPairing> outside_pairing;
  bt::AsyncOp<bt::DevicePairingResult> outside;
  Sink events;
  events.inside = [&](const Event& event) {
    // Once: the other program's request (on the same platform object here) reaches this sink too, unanswered.
    if (event.id != VELMORABLE_EVENT_PAIRING_REQUEST || started.exchange(true)) return;
    // The other program pairs the device through the platform, with the PIN the device expects.
    const bt::AsyncOp<bt::BluetoothLEDevice> lookup = radio_->FromBluetoothAddressAsync(kP);
    if (!Eventually([&] { return lookup->Status() != bt::AsyncStatus::Started; })) return;
    const std::shared_ptr<bt::BluetoothLEDevice> device = lookup->GetResults();
    if (device == nullptr) return;
    outside_pairing = device->DeviceInformation()->Pairing()->Custom();
    (void)outside_pairing->AddPairingRequested(
        [](std::shared_ptr<bt::DeviceInformationCustomPairing>,
           std::shared_ptr<bt::DevicePairingRequestedEventArgs> args) {
          args->AcceptWithPin(u"123456");
        });
    outside = outside_pairing->PairAsync(bt::DevicePairingKinds::ProvidePin);
    if (!Eventually([&] { return outside->Status() != bt::AsyncStatus::Started; })) return;
    outside_paired = outside->GetResults() != nullptr &&
                     outside->GetResults()->Status() == bt::DevicePairingResultStatus::Paired;
    // The sink leaves the request unaccepted: it refuses the library's pairing.
  };
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  const int rc = Do(client, VELMORABLE_METHOD_CONNECT, Id(kP).c_str());
  events.inside = nullptr;
  ASSERT_TRUE(outside_paired.load()) << "the other program's pairing did not bond the device";
  EXPECT_EQ(rc, 604) << LastError(client);
  radio_->WaitIdle();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  radio_->WaitIdle();
  EXPECT_EQ(radio_->CallCount("DeviceInformationPairing.UnpairAsync"), 0u);
  EXPECT_TRUE(radio_->IsPaired(kP)) << "Connect gave " << rc << " (" << LastError(client)
                                    << "); the library removed a bond that another program made";
}

}  // namespace
}  // namespace velmora::ble::testing
