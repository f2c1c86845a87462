// A Disconnect made while the application's Connect pairs, before the device's request has come.
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "component/socket_base.h"
#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kX = 0xA0B0C0D00071;
constexpr uint64_t kZ = 0xA0B0C0D00073;
constexpr uint64_t kW = 0xA0B0C0D00074;

class PairingAfterDisconnect : public RadioFixture<1> {};

// The user cancels a Connect that pairs (Disconnect from a sink on another thread of the application) while the
// platform's event thread is still busy with another client's slow sink, so the device's PIN request has not
// come yet. Disconnect returns 0 and raises Disconnected: no later event of that connection may reach the sink,
// least of all a PairingRequest that asks the user for a PIN of a connection already cancelled (and whose answer
// bonds the device).
TEST_F(PairingAfterDisconnect, NoPairingRequestReachesTheSinkAfterDisconnectReturned) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  radio_->AddPeripheral(BusyPeripheral(kZ));
  struct Slow {
    std::atomic<bool> armed{false};
    static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
      auto* self = static_cast<Slow*>(raw);
      if (id == VELMORABLE_EVENT_SERVER_UPDATE && self->armed.exchange(false)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
      }
      return 0;
    }
  } slow;
  struct Record {
    std::mutex mutex;
    std::vector<int32_t> events;
    std::atomic<bool> disconnect_returned{false};
    std::atomic<int> requests_after{0};
    static int32_t Call(void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) {
      auto* self = static_cast<Record*>(raw);
      {
        std::lock_guard lock(self->mutex);
        self->events.push_back(id);
      }
      if (id == VELMORABLE_EVENT_PAIRING_REQUEST) {
        if (self->disconnect_returned.load()) ++self->requests_after;
        AnswerPin(params);
      }
      return 0;
    }
  } record;
  // Canceller disconnects the client from the Connected of its own client's Connect, on another application
  // thread.
  struct Canceller {
    VelmoraBLE_BLEClient* other = nullptr;
    std::atomic<int> rc{-1};
    static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
      auto* self = static_cast<Canceller*>(raw);
      if (id == VELMORABLE_EVENT_CONNECTED && self->rc.load() == -1) {
        self->rc = Do(self->other, VELMORABLE_METHOD_DISCONNECT);
      }
      return 0;
    }
  } cancel;
  radio_->AddPeripheral(BusyPeripheral(kW));
  Client holder(&Slow::Call, &slow);
  Client client(&Record::Call, &record);
  cancel.other = client;
  Client canceller(&Canceller::Call, &cancel);
  ASSERT_EQ(Do(holder, VELMORABLE_METHOD_CONNECT, Id(kZ).c_str()), 0) << LastError(holder);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 10), 0);
  slow.armed = true;
  radio_->SetName(kZ, u"Renamed");  // the holder's sink holds the event thread for 0.6 s
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const size_t pairs_before = radio_->CallCount("DeviceInformationCustomPairing.PairAsync");
  std::atomic<int> connect_rc{-1};
  std::thread application([&] { connect_rc = Do(client, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()); });
  ASSERT_TRUE(Eventually(
      [&] { return radio_->CallCount("DeviceInformationCustomPairing.PairAsync") > pairs_before; }));
  std::thread cancelling([&] { (void)Do(canceller, VELMORABLE_METHOD_CONNECT, Id(kW).c_str()); });
  cancelling.join();
  const int disconnect_rc = cancel.rc.load();
  record.disconnect_returned = true;
  application.join();
  radio_->WaitIdle();
  EXPECT_EQ(disconnect_rc, 0);
  EXPECT_EQ(connect_rc.load(), 608) << LastError(client);
  EXPECT_EQ(record.requests_after.load(), 0)
      << "the sink was asked for the PIN of a connection that Disconnect had already ended";
  EXPECT_TRUE(Eventually([&] { return !radio_->IsPaired(kX); }));
}

}  // namespace
}  // namespace velmora::ble::testing
