// A bond that another program makes while the library's pairing of the same device fails.
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

constexpr uint64_t kW = 0xA0B0C0D00075;

class OutsideBond : public RadioFixture<1> {};

// The application connects with pairing; the platform refuses the library's pairing because another pairing
// of the device is under way (OperationAlreadyInProgress: the system's own agent, or another program, pairs the
// device). That other pairing bonds the device. Connect fails with 604; the bond is not the library's (its
// pairing made nothing) and must stay, as a bond made before the Connect stays.
TEST_F(OutsideBond, ABondThatAnotherProgramMadeWhileTheLibrarysPairingFailedStays) {
  SimPeripheral peripheral = BusyPeripheral(kW);
  peripheral.pairing_kind = bt::DevicePairingKinds::None;
  radio_->AddPeripheral(peripheral);
  Client client(nullptr, nullptr);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  // The library's pairing: refused as one under way, its answer coming a little later.
  (void)radio_->AddFault({.op = bt::sim::SimOp::kPair, .address = kW, .delay_ms = 400, .status = 15});
  std::atomic<int> rc{-1};
  std::thread application([&] { rc = Do(client, VELMORABLE_METHOD_CONNECT, Id(kW).c_str()); });
  ASSERT_TRUE(Eventually([&] { return radio_->CallCount("DeviceInformationCustomPairing.PairAsync") > 0; }));
  // Another program pairs the device through the platform meanwhile.
  const bt::AsyncOp<bt::BluetoothLEDevice> lookup = radio_->FromBluetoothAddressAsync(kW);
  ASSERT_TRUE(Eventually([&] { return lookup->Status() != bt::AsyncStatus::Started; }));
  const std::shared_ptr<bt::BluetoothLEDevice> device = lookup->GetResults();
  ASSERT_NE(device, nullptr);
  const bt::AsyncOp<bt::DevicePairingResult> outside =
      device->DeviceInformation()->Pairing()->Custom()->PairAsync(bt::DevicePairingKinds::ConfirmOnly);
  ASSERT_TRUE(Eventually([&] { return outside->Status() != bt::AsyncStatus::Started; }));
  ASSERT_EQ(outside->GetResults()->Status(), bt::DevicePairingResultStatus::Paired);
  application.join();
  EXPECT_EQ(rc.load(), 604) << LastError(client);
  radio_->WaitIdle();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  radio_->WaitIdle();
  EXPECT_TRUE(radio_->IsPaired(kW)) << "Connect gave " << rc.load() << " (" << LastError(client)
                                    << "); the library removed a bond that another program made";
}

}  // namespace
}  // namespace velmora::ble::testing
