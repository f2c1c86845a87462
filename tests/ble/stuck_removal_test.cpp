// A bond removal that a cut pairing Connect starts, when the device cannot give its pairing object then.
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

constexpr uint64_t kV = 0xA0B0C0D00077;

class StuckRemoval : public RadioFixture<1> {};

// The sink gives the PIN and then disconnects its client (the user cancelled); the pairing bonds the device.
// When the Connect then asks for the device's pairing object to remove that bond, the platform fails once.
// Whatever becomes of that bond, a later Connect of the device must not wait for a removal that nobody is
// making: with Timeout 2 s it must not end in 301.
TEST_F(StuckRemoval, ALaterConnectDoesNotWaitForARemovalThatNeverStarted) {
  radio_->AddPeripheral(BusyPeripheral(kV));
  struct Cancel {
    VelmoraBLE_BLEClient* client = nullptr;
    SimRadio* radio = nullptr;
    static int32_t Call(void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) {
      auto* self = static_cast<Cancel*>(raw);
      if (id == VELMORABLE_EVENT_PAIRING_REQUEST) {
        AnswerPin(params);
        (void)Do(self->client, VELMORABLE_METHOD_DISCONNECT);
        self->radio->FailCall("DeviceInformation.Pairing", bt::kEFail);
      }
      return 0;
    }
  } cancel;
  cancel.radio = radio_.get();
  Client client(&Cancel::Call, &cancel);
  cancel.client = client;
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 2), 0);
  const int first = Do(client, VELMORABLE_METHOD_CONNECT, Id(kV).c_str());
  EXPECT_NE(first, 0) << LastError(client);
  radio_->WaitIdle();
  Client later(nullptr, nullptr);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(later, VELMORABLE_PROP_TIMEOUT, 0, 2), 0);
  const int rc = Do(later, VELMORABLE_METHOD_CONNECT, Id(kV).c_str());
  EXPECT_EQ(rc, 0) << "first Connect gave " << first << "; " << LastError(later);
  (void)Do(later, VELMORABLE_METHOD_DISCONNECT);
}

}  // namespace
}  // namespace velmora::ble::testing
