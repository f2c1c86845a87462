// A Connect whose pairing the sink or the link cuts into, on a first connection: the bond, and the lost link.
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

constexpr uint64_t kAddress = 0xA0B0C0D00001;

class PairingSink : public RadioFixture<1> {
 protected:
  const std::string id_ = Id(kAddress);
};

// The sink's PairingRequest answers the PIN and disconnects (the user closed the dialog after typing the PIN,
// say). Connect is cut short (608), and the bond that its pairing made is the library's: it must be gone once the
// client has no connection any more.
struct DisconnectingPairer {
  VelmoraBLE_BLEClient* handle = nullptr;
  std::atomic<int> disconnected_rc{-1};
  std::mutex mutex;
  std::vector<std::string> events;
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<DisconnectingPairer*>(raw);
    {
      std::lock_guard lock(self->mutex);
      self->events.push_back(std::to_string(id) + (id == VELMORABLE_EVENT_CONNECTED || id == VELMORABLE_EVENT_DISCONNECTED
                                                       ? std::string(":") + std::to_string(params[0])
                                                       : std::string()));
    }
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) {
      AnswerPin(params);
      self->disconnected_rc = Do(self->handle, VELMORABLE_METHOD_DISCONNECT);
    }
    return 0;
  }
  std::string Events() {
    std::lock_guard lock(mutex);
    std::string all;
    for (const std::string& e : events) all += e + " ";
    return all;
  }
};

TEST_F(PairingSink, ABondMadeByAConnectWhosePairingSinkDisconnectedIsRemoved) {
  radio_->AddPeripheral(BusyPeripheral(kAddress));
  DisconnectingPairer pairer;
  Client client(&DisconnectingPairer::Call, &pairer);
  pairer.handle = client;
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  const int rc = Do(client, VELMORABLE_METHOD_CONNECT, id_.c_str());
  radio_->WaitIdle();
  EXPECT_EQ(pairer.disconnected_rc.load(), 0);
  EXPECT_EQ(rc, 608);  // cut short by the sink's Disconnect
  const intptr_t server = VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVER_ID, 0);
  const std::string connected = server != 0 ? reinterpret_cast<const char*>(server) : "(null)";
  // Whatever state the client is in, ending it must not leave the library's bond behind.
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
  radio_->WaitIdle();
  EXPECT_FALSE(radio_->IsPaired(kAddress))
      << "Connect gave " << rc << ", server id \"" << connected << "\", events " << pairer.Events();
}


// The device drops the link while its pairing completes (a peripheral that disconnects as it bonds, or goes out
// of range while the user types the PIN), on a first connection to it (a device object no Connect held before).
// Connect returns 0 with Connected "OK"; the link is down, so Disconnected "Offline" must follow, as it does for
// a link lost inside the Connected sink, and the link's return must be told "Online".
struct PairerThatLosesTheLink {
  std::shared_ptr<SimRadio> radio;
  std::mutex mutex;
  std::vector<std::string> links;
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<PairerThatLosesTheLink*>(raw);
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) {
      AnswerPin(params);
      self->radio->SetLink(kAddress, false);
    }
    if (id == VELMORABLE_EVENT_CONNECTED || id == VELMORABLE_EVENT_DISCONNECTED) {
      std::lock_guard lock(self->mutex);
      self->links.push_back(std::string(id == VELMORABLE_EVENT_CONNECTED ? "C " : "D ") +
                            reinterpret_cast<const char*>(params[1]));
    }
    return 0;
  }
  std::vector<std::string> Links() {
    std::lock_guard lock(mutex);
    return links;
  }
};

TEST_F(PairingSink, ALinkLostAsTheFirstConnectsPairingCompletesIsReported) {
  radio_->AddPeripheral(BusyPeripheral(kAddress));
  PairerThatLosesTheLink sink;
  sink.radio = radio_;
  Client client(&PairerThatLosesTheLink::Call, &sink);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, id_.c_str()), 0) << LastError(client);
  radio_->WaitIdle();
  EXPECT_EQ(sink.Links(), (std::vector<std::string>{"C OK", "D Offline"}));
  radio_->SetLink(kAddress, true);
  radio_->WaitIdle();
  EXPECT_EQ(sink.Links(), (std::vector<std::string>{"C OK", "D Offline", "C Online"}));
}

// The platform's event thread is busy (another client's slow ServerUpdate sink), so the first Connect's PIN
// request does not come before its wait stops (301). The application connects again at once, pairing through
// the same pairing object: the first pairing's request comes now and the sink answers it, which is taken for
// the second Connect's (the device bonds); the second Connect's wait stops too, before its own pairing reports
// the device already paired. That answer was this second Connect's, and no Disconnect follows a failed
// Connect: the bond goes once no connection uses the device, as it would had the second Connect seen the
// report in time.
TEST_F(PairingSink, ABondThatAnAnswerOfASecondStoppedPairingMadeGoesWithTheLastConnection) {
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
  const int held = radio_->AddFault({.op = bt::sim::SimOp::kPair, .address = kAddress, .hold = true});
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, id_.c_str()), 301) << LastError(client);
  EXPECT_EQ(answers.load(), 1);
  EXPECT_TRUE(radio_->IsPaired(kAddress));  // the answer bonded the device
  radio_->Release(held);
  radio_->WaitIdle();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Do(holder, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(holder);
  radio_->WaitIdle();
  EXPECT_TRUE(Eventually([&] { return !radio_->IsPaired(kAddress); }))
      << "the bond that the sink's answer made stays after every connection ended";
}

}  // namespace
}  // namespace velmora::ble::testing
