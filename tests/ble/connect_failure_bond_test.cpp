// A Connect that pairs and then fails on a platform error: what it leaves of the bond its pairing made.
#include <atomic>
#include <chrono>
#include <thread>
#include <string>

#include <gtest/gtest.h>

#include "component/socket_base.h"
#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kAddress = 0xA0B0C0D00031;

class ConnectFailureBond : public RadioFixture<1> {
 protected:
  const std::string id_ = Id(kAddress);
};

// The sink answers the PIN request and the device bonds, but the platform's pairing result cannot be fetched
// (a platform error). Connect fails, and no Disconnect follows a failed Connect: the bond that the sink's answer
// made for this Connect must not stay behind once the client has no connection.
TEST_F(ConnectFailureBond, ABondThatTheAnswerMadeGoesWhenThePairingResultFails) {
  radio_->AddPeripheral(BusyPeripheral(kAddress));
  std::atomic<int> answers{0};
  auto answering = [](void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) {
      AnswerPin(params);
      ++*static_cast<std::atomic<int>*>(raw);
    }
    return 0;
  };
  Client client(answering, &answers);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  (void)radio_->AddFault(
      {.op = bt::sim::SimOp::kPair, .address = kAddress, .results_hresult = static_cast<int32_t>(0x80070005u)});
  const int rc = Do(client, VELMORABLE_METHOD_CONNECT, id_.c_str());
  EXPECT_NE(rc, 0);
  EXPECT_EQ(answers.load(), 1);
  const intptr_t server = VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVER_ID, 0);
  EXPECT_STREQ(server != 0 ? reinterpret_cast<const char*>(server) : "", "");
  radio_->WaitIdle();
  EXPECT_TRUE(Eventually([&] { return !radio_->IsPaired(kAddress); }))
      << "Connect gave " << rc << " (" << LastError(client) << "); the bond its pairing made stays";
}

// The platform's event thread is busy (another client's slow ServerUpdate sink), so the first Connect's PIN
// request does not come before its wait stops (301). The application connects again through the same pairing
// object: the first pairing's request comes while this second Connect waits and the sink answers it, which is
// taken for the second Connect's (the device bonds). The second pairing then fails on its own (status Failed):
// Connect fails with 604 and no Disconnect follows, so the bond that its answer made must go.
TEST_F(ConnectFailureBond, ABondThatTheAnswerOfAFailedConnectMadeGoes) {
  radio_->AddPeripheral(BusyPeripheral(kAddress));
  struct Slow {
    std::atomic<bool> armed{false};
    static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
      auto* self = static_cast<Slow*>(raw);
      if (id == VELMORABLE_EVENT_SERVER_UPDATE && self->armed.exchange(false)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      }
      return 0;
    }
  } slow;
  std::atomic<int> answers{0};
  auto answering = [](void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) {
      AnswerPin(params);
      ++*static_cast<std::atomic<int>*>(raw);
    }
    return 0;
  };
  Client holder(&Slow::Call, &slow);
  Client client(answering, &answers);
  ASSERT_EQ(Do(holder, VELMORABLE_METHOD_CONNECT, id_.c_str()), 0) << LastError(holder);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  slow.armed = true;
  radio_->SetName(kAddress, u"Renamed");  // the holder's sink holds the event thread for 1.5 s
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, id_.c_str()), 301) << LastError(client);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 10), 0);
  (void)radio_->AddFault({.op = bt::sim::SimOp::kPair, .address = kAddress, .delay_ms = 2000, .status = 19});
  const int rc = Do(client, VELMORABLE_METHOD_CONNECT, id_.c_str());
  EXPECT_EQ(rc, 604) << LastError(client);
  EXPECT_EQ(answers.load(), 1);
  EXPECT_TRUE(radio_->IsPaired(kAddress));  // the answer bonded the device
  radio_->WaitIdle();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Do(holder, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(holder);
  radio_->WaitIdle();
  EXPECT_TRUE(Eventually([&] { return !radio_->IsPaired(kAddress); }))
      << "the bond that the answer of the failed Connect made stays after every connection ended";
}

}  // namespace
}  // namespace velmora::ble::testing
