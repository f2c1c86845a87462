// A Connect whose pairing the sink or the link cuts into, on a first connection: the bond, and the lost link.
#include <atomic>
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

}  // namespace
}  // namespace velmora::ble::testing
