// A Disconnect that finds the client holding no device yet: what the sink is told, and in which order.
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

constexpr uint64_t kX = 0xA0B0C0D00051;
constexpr uint64_t kZ = 0xA0B0C0D00053;

class UnheldDisconnect : public RadioFixture<1> {};

// Told lists the Connected and Disconnected events in the order they reached the sink.
std::string Told(Sink& sink) {
  std::string told;
  for (const Event& event : sink.Events()) {
    if (event.id == VELMORABLE_EVENT_CONNECTED || event.id == VELMORABLE_EVENT_DISCONNECTED) {
      told += std::string(event.id == VELMORABLE_EVENT_CONNECTED ? "Connected " : "Disconnected ") +
              std::to_string(event.Int(0)) + " " + event.Text(1) + "; ";
    }
  }
  return told;
}

// DisconnectingOther disconnects another client from its first ServerUpdate (a platform thread).
struct DisconnectingOther {
  VelmoraBLE_BLEClient* other = nullptr;
  std::atomic<int> rc{-1};
  std::atomic<bool> done{false};
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
    auto* self = static_cast<DisconnectingOther*>(raw);
    if (id == VELMORABLE_EVENT_SERVER_UPDATE && !self->done.exchange(true)) {
      self->rc = Do(self->other, VELMORABLE_METHOD_DISCONNECT);
    }
    return 0;
  }
};

// A sink's Disconnect (on a platform thread) ends the application's Connect while it waits for the device; the
// sink is a little slow with that Disconnect's Log line. The application's Connect returns 608 and the
// application connects again at once: the new connection's Connected must not come before the Disconnected of
// the connection that was ended, or the program, which reads the last word, takes itself for disconnected
// while it is connected.
TEST_F(UnheldDisconnect, AConnectMadeAfterItIsToldAfterItsDisconnected) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  radio_->AddPeripheral(BusyPeripheral(kZ));
  std::atomic<bool> reconnected{false};
  std::atomic<bool> slow_log{false};
  Sink events;
  events.on_entry = true;
  events.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Disconnected from server ID", 0) == 0) {
      slow_log = true;
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(3);
      while (!reconnected.load() && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  };
  Client first(&Sink::Call, &events);
  DisconnectingOther disconnecting;
  disconnecting.other = first;
  Client second(&DisconnectingOther::Call, &disconnecting);
  ASSERT_EQ(Do(second, VELMORABLE_METHOD_CONNECT, Id(kZ).c_str()), 0) << LastError(second);
  const int rule = radio_->AddFault({.op = bt::sim::SimOp::kFromAddress, .address = kX, .hold = true});
  const size_t lookups = radio_->CallCount("BluetoothLEDevice.FromBluetoothAddressAsync");
  std::atomic<int> first_rc{-1};
  std::thread application([&] { first_rc = Do(first, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()); });
  ASSERT_TRUE(Eventually([&] { return radio_->CallCount("BluetoothLEDevice.FromBluetoothAddressAsync") > lookups; }));
  radio_->SetName(kZ, u"Renamed");  // the second client's sink disconnects the first one
  ASSERT_TRUE(Eventually([&] { return slow_log.load(); }));
  radio_->Release(rule);
  application.join();
  EXPECT_EQ(first_rc.load(), 608);
  const int again = Do(first, VELMORABLE_METHOD_CONNECT, Id(kX).c_str());
  reconnected = true;
  EXPECT_EQ(again, 0) << LastError(first);
  ASSERT_TRUE(Eventually([&] { return disconnecting.rc.load() != -1; }));
  radio_->WaitIdle();
  EXPECT_EQ(Told(events), "Disconnected 0 OK; Connected 0 OK; ")
      << "the application is connected, but the sink's last word is Disconnected";
}

// WrongPin answers every PairingRequest with a PIN the device does not expect.
struct WrongPin {
  static int32_t Call(void*, int32_t id, int32_t, intptr_t* params, int32_t*) {
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) {
      VelmoraBLE_EvtStr(reinterpret_cast<VelmoraBLE_EventString*>(params[2]), VELMORABLE_EVTSTR_SET_BY_COPY, "654321",
                        VELMORABLE_EVTSTR_NARROW);
      params[3] = 1;
    }
    return 0;
  }
};

// Another client of the process is connected to the device without pairing. The application's Connect pairs,
// its sink gives a wrong PIN and the pairing fails (604): the device is not bonded. While the other client
// stays connected the user pairs the device outside the library (the system's settings), and the application
// connects again: a device already paired connects as it is and its bond stays. Once both connections have
// ended, the bond that the user made must still be there.
TEST_F(UnheldDisconnect, ABondMadeOutsideAfterAFailedPairingStays) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  Sink holder_events;
  Client holder(&Sink::Call, &holder_events);
  ASSERT_EQ(Do(holder, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()), 0) << LastError(holder);
  Client client(&WrongPin::Call, nullptr);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()), 604) << LastError(client);
  radio_->WaitIdle();
  ASSERT_FALSE(radio_->IsPaired(kX)) << "the wrong PIN bonded nothing";
  // The user pairs the device in the system's settings.
  SimPeripheral bonded = BusyPeripheral(kX);
  bonded.paired = true;
  radio_->AddPeripheral(bonded);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()), 0) << LastError(client);
  EXPECT_EQ(Do(holder, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(holder);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
  radio_->WaitIdle();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  radio_->WaitIdle();
  EXPECT_TRUE(radio_->IsPaired(kX)) << "a bond the library did not make was removed";
}

// The sink answers the PIN request and then disconnects its client (the user gave the PIN, then cancelled),
// while the pairing goes on and bonds the device; the platform's pairing result then cannot be fetched (a
// platform error). The Connect was ended by the sink's Disconnect and no other connection uses the device: the
// bond that the sink's answer made must go, as it goes when such a pairing reports its result.
TEST_F(UnheldDisconnect, ABondOfAnAnsweredPairingWhoseSinkDisconnectedGoesWhenItsResultFails) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  std::atomic<int> disconnect_rc{-1};
  VelmoraBLE_BLEClient* handle = nullptr;
  Sink events;
  events.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_PAIRING_REQUEST) disconnect_rc = Do(handle, VELMORABLE_METHOD_DISCONNECT);
  };
  struct Answering {
    Sink* sink;
    static int32_t Call(void* raw, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
      if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
      return Sink::Call(static_cast<Answering*>(raw)->sink, id, count, params, cbparams);
    }
  } answering{&events};
  Client client(&Answering::Call, &answering);
  handle = client;
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  (void)radio_->AddFault(
      {.op = bt::sim::SimOp::kPair, .address = kX, .results_hresult = static_cast<int32_t>(0x80070005u)});
  const int rc = Do(client, VELMORABLE_METHOD_CONNECT, Id(kX).c_str());
  EXPECT_NE(rc, 0);
  EXPECT_EQ(disconnect_rc.load(), 0);
  radio_->WaitIdle();
  EXPECT_TRUE(Eventually([&] { return !radio_->IsPaired(kX); }))
      << "Connect gave " << rc << " (" << LastError(client) << "); the bond its answered pairing made stays";
}

}  // namespace
}  // namespace velmora::ble::testing
