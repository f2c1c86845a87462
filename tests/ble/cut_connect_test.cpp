// A Disconnect that a sink makes on a platform thread while the application's Connect pairs.
#include <atomic>
#include <chrono>
#include <random>
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

constexpr uint64_t kX = 0xA0B0C0D00061;
constexpr uint64_t kZ = 0xA0B0C0D00063;

class CutConnect : public RadioFixture<1> {};

// Canceller is the sink of another client: at its next ServerUpdate (a platform thread) it disconnects the
// application's client (the user cancelled the connect from another part of the program).
struct Canceller {
  VelmoraBLE_BLEClient* other = nullptr;
  std::atomic<bool> armed{false};
  std::atomic<int> rc{-1};
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
    auto* self = static_cast<Canceller*>(raw);
    if (id == VELMORABLE_EVENT_SERVER_UPDATE && self->armed.exchange(false)) {
      self->rc = Do(self->other, VELMORABLE_METHOD_DISCONNECT);
    }
    return 0;
  }
};

// The application connects with pairing, and its sink gives the PIN that the device asks for; a sink elsewhere
// cancels with Disconnect at some moment of the Connect. After each round the application disconnects as well:
// the client has no connection, no other connection of the process uses the device, so no bond that the
// library's pairing made may stay, whenever the cancel came.
TEST_F(CutConnect, NoBondStaysWhereverADisconnectCutsAPairingConnect) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  radio_->AddPeripheral(BusyPeripheral(kZ));
  auto answering = [](void*, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
    return 0;
  };
  Client first(answering, nullptr);
  Canceller cancel;
  cancel.other = first;
  Client second(&Canceller::Call, &cancel);
  ASSERT_EQ(Do(second, VELMORABLE_METHOD_CONNECT, Id(kZ).c_str()), 0) << LastError(second);
  ASSERT_EQ(Config(first, "PairingMode=1"), 0);
  std::mt19937 random(12345);
  for (int round = 0; round < 300; ++round) {
    std::atomic<int> rc{-1};
    std::thread application([&] { rc = Do(first, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()); });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 6000));
    cancel.rc = -1;
    cancel.armed = true;
    radio_->SetName(kZ, round % 2 ? u"A" : u"B");  // the canceller's sink disconnects the first client
    application.join();
    ASSERT_TRUE(Eventually([&] { return cancel.rc.load() != -1; }));
    ASSERT_TRUE(rc.load() == 0 || rc.load() == 608) << rc.load() << " " << LastError(first);
    ASSERT_EQ(Do(first, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(first);
    radio_->WaitIdle();
    ASSERT_TRUE(Eventually([&] { return !radio_->IsPaired(kX); }))
        << "round " << round << ": Connect gave " << rc.load()
        << "; no connection of the process uses the device, and the bond that the pairing made stays";
  }
}

}  // namespace
}  // namespace velmora::ble::testing
