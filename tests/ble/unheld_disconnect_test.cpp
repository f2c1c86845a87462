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
// while it is connected; and the connection that the second Connect made and told must be usable, its loss told.
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
  EXPECT_EQ(Do(first, VELMORABLE_METHOD_DISCOVER_SERVICES), 0)
      << LastError(first) << ": the connection that Connect made and told is not usable";
  radio_->SetLink(kX, false);  // the device goes out of range
  EXPECT_TRUE(Eventually([&] { return Told(events).find("Disconnected 0 Offline") != std::string::npos; }))
      << "the loss of the link is not told: " << Told(events);
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
  EXPECT_EQ(rc, 608) << LastError(client);  // cut short by its sink's Disconnect, as when the result comes
  EXPECT_EQ(disconnect_rc.load(), 0);
  radio_->WaitIdle();
  EXPECT_TRUE(Eventually([&] { return !radio_->IsPaired(kX); }))
      << "Connect gave " << rc << " (" << LastError(client) << "); the bond its answered pairing made stays";
}

// As above, but the platform finishes the pairing without a result object (the result cannot be had, with no
// error): the device is bonded by the sink's answer, the sink's Disconnect ended the Connect, and no connection
// uses the device. The bond must go.
TEST_F(UnheldDisconnect, ABondOfAnAnsweredPairingWhoseSinkDisconnectedGoesWithoutAResult) {
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
  (void)radio_->AddFault({.op = bt::sim::SimOp::kPair, .address = kX, .null_result = true});
  const int rc = Do(client, VELMORABLE_METHOD_CONNECT, Id(kX).c_str());
  EXPECT_NE(rc, 0);
  EXPECT_EQ(disconnect_rc.load(), 0);
  radio_->WaitIdle();
  EXPECT_TRUE(Eventually([&] { return !radio_->IsPaired(kX); }))
      << "Connect gave " << rc << " (" << LastError(client) << "); the bond its answered pairing made stays";
}

// Connect with pairing stops waiting (301, Timeout) after the sink gave the PIN; the platform's pairing result
// then fails although the device bonded. No connection of the process uses the device: that bond must go.
TEST_F(UnheldDisconnect, ABondOfAnAnsweredPairingWhoseLateResultFailsGoes) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  struct Answering {
    static int32_t Call(void*, int32_t id, int32_t, intptr_t* params, int32_t*) {
      if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
      return 0;
    }
  };
  Client client(&Answering::Call, nullptr);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(Config(client, "TimeoutInMilliseconds=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 200), 0);
  (void)radio_->AddFault({.op = bt::sim::SimOp::kPair,
                          .address = kX,
                          .delay_ms = 400,
                          .results_hresult = static_cast<int32_t>(0x80070005u)});
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()), 301) << LastError(client);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  radio_->WaitIdle();
  EXPECT_TRUE(Eventually([&] { return !radio_->IsPaired(kX); })) << "the bond the answered pairing made stays";
}

// SlowValue holds the platform thread in its client's first Value for 400 ms.
struct SlowValue {
  std::atomic<bool> inside{false};
  static int32_t Call(void* raw, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
    auto* self = static_cast<SlowValue*>(raw);
    if (id == VELMORABLE_EVENT_VALUE && !self->inside.exchange(true)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
    (void)count;
    (void)params;
    (void)cbparams;
    return 0;
  }
};

// The application switches its client from X to Y; Connect's disconnect from X first waits for the Value that the
// client's sink is still handling. Meanwhile another part of the program (a sink on a platform thread) cancels
// with Disconnect: that Disconnect ends the Connect too, which connects nothing (608), and the client is not
// connected when Connect returns.
// Two event threads: the cancel runs while the other one is in the slow Value sink.
class UnheldDisconnectBesideASlowSink : public RadioFixture<2> {};

TEST_F(UnheldDisconnectBesideASlowSink, ADisconnectWhileConnectEndsTheOldConnectionEndsTheConnect) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  radio_->AddPeripheral(BusyPeripheral(kZ));
  constexpr uint64_t kY = 0xA0B0C0D00052;
  radio_->AddPeripheral(BusyPeripheral(kY));
  SlowValue slow;
  Client first(&SlowValue::Call, &slow);
  DisconnectingOther disconnecting;
  disconnecting.other = first;
  Client second(&DisconnectingOther::Call, &disconnecting);
  ASSERT_EQ(Do(second, VELMORABLE_METHOD_CONNECT, Id(kZ).c_str()), 0) << LastError(second);
  ASSERT_EQ(Do(first, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()), 0) << LastError(first);
  intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1,
                          reinterpret_cast<intptr_t>("")};
  intptr_t subscribe[2] = {reinterpret_cast<intptr_t>("000100000000"), reinterpret_cast<intptr_t>("000100030000")};
  int32_t sizes[4] = {0, 0, 0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(first, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(first);
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(first, VELMORABLE_METHOD_SUBSCRIBE, 2, subscribe, sizes), 0) << LastError(first);
  (void)radio_->Notify(kX, 0x0003, {0x01, 0x02});
  ASSERT_TRUE(Eventually([&] { return slow.inside.load(); }));
  std::atomic<int> switched{-1};
  std::thread application([&] { switched = Do(first, VELMORABLE_METHOD_CONNECT, Id(kY).c_str()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  radio_->SetName(kZ, u"Renamed");  // the second client's sink disconnects the first one
  application.join();
  ASSERT_TRUE(Eventually([&] { return disconnecting.rc.load() != -1; }));
  EXPECT_EQ(disconnecting.rc.load(), 0);
  EXPECT_EQ(switched.load(), 608) << LastError(first);
  const intptr_t server = VelmoraBLE_BLEClient_Get(first, VELMORABLE_PROP_SERVER_ID, 0);
  EXPECT_STREQ(server != 0 ? reinterpret_cast<const char*>(server) : "?", "")
      << "the Disconnect made during the Connect was undone";
}

}  // namespace
}  // namespace velmora::ble::testing
