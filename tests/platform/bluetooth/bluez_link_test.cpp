// Pairing through the agent, links opened and closed, link loss, vanishing devices and service changes,
// over the scripted bluetoothd.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/bluetooth/bluez_test_util.h"

namespace velmora::ble::testing {
namespace {

using Kinds = bt::DevicePairingKinds;
using PairStatus = bt::DevicePairingResultStatus;

// AcceptingSink accepts every pairing request (the PIN as offered) and records like Sink.
int32_t AcceptingSink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
  if (id == VELMORABLE_EVENT_PAIRING_REQUEST && count >= 4) params[3] = 1;
  return Sink::Call(context, id, count, params, cbparams);
}

// ConnectAndDiscoverOther connects a second client to the sensor and discovers its services with their
// characteristics and descriptors: a connection of the device that the test's own client did not open.
int ConnectAndDiscoverOther(VelmoraBLE_BLEClient* other) {
  std::vector<intptr_t> params = {reinterpret_cast<intptr_t>(kSensor)};
  std::vector<int32_t> sizes = {0};
  const int rc = VelmoraBLE_BLEClient_Do(other, VELMORABLE_METHOD_CONNECT, 1, params.data(), sizes.data());
  if (rc != 0) return rc;
  std::vector<intptr_t> discover = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1,
                                    reinterpret_cast<intptr_t>("")};
  std::vector<int32_t> discover_sizes(4, 0);
  return VelmoraBLE_BLEClient_Do(other, VELMORABLE_METHOD_DISCOVER, 4, discover.data(), discover_sizes.data());
}

class BluezLink : public BluezFixture {
 protected:
  // Settle makes sure that everything the backend sent before has reached the mock: a later call on the
  // same connection is answered after it.
  void Settle() { ASSERT_NE(Await(platform_->GetDefaultAdapterAsync()), nullptr); }

  // PinSink answers every pairing request with pin_ and records like Sink; its context is the fixture.
  static int32_t PinSink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
    auto* self = static_cast<BluezLink*>(context);
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST && count >= 4) {
      VelmoraBLE_EvtStr(reinterpret_cast<VelmoraBLE_EventString*>(params[2]), VELMORABLE_EVTSTR_SET_BY_COPY,
                        self->pin_.c_str(), VELMORABLE_EVTSTR_NARROW);
      params[3] = 1;
    }
    return Sink::Call(&self->sink_, id, count, params, cbparams);
  }

  std::string pin_;  // changed only while no Connect runs
};

// Every kind of agent request reaches the application with its kind and PIN; the answers map to statuses.
TEST_F(BluezLink, PairingThroughTheAgent) {
  struct Case {
    const char* pairing;  // the device's method
    const char* answer;   // "accept", "refuse" or a PIN to give
    PairStatus status;
    uint32_t kind;
    const char16_t* pin;
  };
  const Case cases[] = {
      {"'confirm'", "accept", PairStatus::Paired, Kinds::ConfirmPinMatch, u"012345"},
      {"'confirm'", "refuse", PairStatus::RejectedByHandler, Kinds::ConfirmPinMatch, u"012345"},
      // No pairing kind covers an authorization: it is refused without asking.
      {"'authorize'", "accept", PairStatus::RejectedByHandler, 0, u""},
      {"'display'", "accept", PairStatus::Paired, Kinds::DisplayPin, u"012345"},
      {"'display'", "refuse", PairStatus::PairingCanceled, Kinds::DisplayPin, u"012345"},
      {"'passkey'", "012345", PairStatus::Paired, Kinds::ProvidePin, u""},
      {"'passkey'", "999999", PairStatus::AuthenticationFailure, Kinds::ProvidePin, u""},
      {"None", "accept", PairStatus::Paired, 0, u""},
      // The request is cancelled while the application answers: the late answer goes nowhere.
      {"'timeout'", "accept", PairStatus::AuthenticationTimeout, Kinds::ConfirmPinMatch, u"012345"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pairing) + " " + c.answer);
    Script(std::string("reset(); add_device('C0:FF:EE:00:00:01', name='lock', pairing=") + c.pairing +
           ", passkey=12345)");
    auto device = DeviceWhenKnown();
    ASSERT_NE(device, nullptr);
    auto pairing = device->DeviceInformation()->Pairing();
    EXPECT_TRUE(pairing->CanPair());
    auto custom = pairing->Custom();
    // The handler runs on a platform thread and may still be running when the result arrives (the timeout
    // case cancels the request while the application answers), so what it records outlives this iteration.
    struct Seen {
      std::mutex mutex;
      std::condition_variable changed;
      std::vector<std::pair<uint32_t, std::u16string>> requests;
    };
    auto seen = std::make_shared<Seen>();
    const std::string answer = c.answer;
    custom->AddPairingRequested([seen, answer](const auto&, const auto& args) {
      {
        std::lock_guard lock(seen->mutex);
        seen->requests.emplace_back(args->PairingKind(), args->Pin());
      }
      seen->changed.notify_all();
      if (answer == "accept") {
        args->Accept();
      } else if (answer != "refuse") {
        args->AcceptWithPin(std::u16string(answer.begin(), answer.end()));
      }
    });
    auto result =
        Await(custom->PairAsync(Kinds::ConfirmOnly | Kinds::DisplayPin | Kinds::ProvidePin | Kinds::ConfirmPinMatch));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->Status(), c.status);
    {
      std::unique_lock lock(seen->mutex);
      if (c.kind == 0) {
        EXPECT_TRUE(seen->requests.empty());
      } else {
        seen->changed.wait_for(lock, std::chrono::seconds(5), [&] { return !seen->requests.empty(); });
        ASSERT_EQ(seen->requests.size(), 1u);
        EXPECT_EQ(seen->requests[0].first, c.kind);
        EXPECT_EQ(seen->requests[0].second, c.pin);
      }
    }
    const auto registered = mock_->CallsOf("RegisterAgent");
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_NE(registered[0].find(" KeyboardDisplay"), std::string::npos) << registered[0];
    EXPECT_TRUE(WaitForCall("UnregisterAgent"));
    EXPECT_EQ(pairing->CanPair(), c.status != PairStatus::Paired);
  }
}

// A passkey answer is one to six decimal digits: bluetoothd gets that number, and anything else is refused
// and named in Connect's failure; it never reaches bluetoothd as some other number.
TEST_F(BluezLink, OnlyDecimalPasskeysOfUpToSixDigitsAreSent) {
  struct Case {
    const char* pin;
    const char* sent;  // the passkey bluetoothd receives; null: the request is refused
    int connect;
  };
  const Case cases[] = {
      {"123456", "123456", 0},
      {"000042", "42", 604},  // sent as 42, which is not the device's passkey
      {"12a456", nullptr, 604},  {"999999x", nullptr, 604}, {"1234567", nullptr, 604},
      {" 123456", nullptr, 604}, {"-1", nullptr, 604},
  };
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = VelmoraBLE_BLEClient_Create(&PinSink, this, 0);
  ASSERT_NE(handle_, nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  const std::string request = std::string("RequestPasskey ") + kSensorPath;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.pin + "\"");
    Script("reset(); add_device(HEART_RATE_ADDRESS, name='lock', pairing='passkey', passkey=123456)");
    ASSERT_NE(DeviceWhenKnown(), nullptr);
    pin_ = c.pin;
    EXPECT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), c.connect) << LastError();
    const std::string replies = Script("'\\n'.join(pair_replies)");
    if (c.sent != nullptr) {
      EXPECT_EQ(replies, request + " ok " + c.sent);
    } else {
      EXPECT_EQ(replies, request + " error org.bluez.Error.Rejected");
      EXPECT_EQ(LastError(),
                "Connection to server ID C0FFEE000001 was unsuccessful, status RejectedByHandler: the PIN given is "
                "not a passkey (one to six decimal digits).");
    }
    EXPECT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
  }
}

// Connecting with pairing from the Advertisement sink: the agent's request must reach the application on a
// thread other than the one the sink holds while it waits for the pairing.
TEST_F(BluezLink, PairingFromTheAdvertisementSinkDoesNotWaitForItsOwnThread) {
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = VelmoraBLE_BLEClient_Create(&AcceptingSink, &sink_, 0);
  ASSERT_NE(handle_, nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  // A pairing that waited for the sink's own thread would give up after this Timeout with 301.
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 3), 0);
  int result = -1;
  std::string text;
  sink_.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_ADVERTISEMENT || result != -1) return;
    result = testing::Do(handle_, VELMORABLE_METHOD_CONNECT, event.Text(0).c_str());
    text = LastError();
  };
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
  Script("add_device('C0:FF:EE:00:00:01', name='lock', rssi=-50, pairing='confirm', passkey=12345)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  // No event reaches the sink (and its references to this frame) once Destroy has returned.
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = nullptr;
  EXPECT_EQ(result, 0) << text;
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_PAIRING_REQUEST).size(), 1u);
}

TEST_F(BluezLink, PairingCapabilityAndFailuresOfPair) {
  Script("add_device('C0:FF:EE:00:00:01', name='lock', pairing='authorize')");
  auto device = DeviceWhenKnown();
  ASSERT_NE(device, nullptr);
  auto custom = device->DeviceInformation()->Pairing()->Custom();
  custom->AddPairingRequested([](const auto&, const auto& args) { args->Accept(); });
  // ConfirmOnly alone registers NoInputNoOutput; a kind not accepted is refused without asking.
  Script("devices[HEART_RATE_ADDRESS].pairing = 'confirm'");
  auto result = Await(custom->PairAsync(Kinds::ConfirmOnly));
  EXPECT_EQ(result->Status(), PairStatus::RejectedByHandler);
  EXPECT_NE(mock_->CallsOf("RegisterAgent")[0].find(" NoInputNoOutput"), std::string::npos);
  result = Await(custom->PairAsync(Kinds::ConfirmPinMatch | Kinds::DisplayPin));
  EXPECT_NE(mock_->CallsOf("RegisterAgent")[1].find(" DisplayYesNo"), std::string::npos);
  EXPECT_EQ(result->Status(), PairStatus::Paired);
  result = Await(custom->PairAsync(Kinds::ConfirmOnly));
  EXPECT_EQ(result->Status(), PairStatus::AlreadyPaired);

  struct Row {
    const char* name;
    PairStatus status;
  };
  const Row rows[] = {
      {"org.bluez.Error.AlreadyExists", PairStatus::AlreadyPaired},
      {"org.bluez.Error.AuthenticationCanceled", PairStatus::PairingCanceled},
      {"org.bluez.Error.AuthenticationRejected", PairStatus::RejectedByHandler},
      {"org.bluez.Error.AuthenticationFailed", PairStatus::AuthenticationFailure},
      {"org.bluez.Error.AuthenticationTimeout", PairStatus::AuthenticationTimeout},
      {"org.freedesktop.DBus.Error.NoReply", PairStatus::AuthenticationTimeout},
      {"org.bluez.Error.ConnectionAttemptFailed", PairStatus::ConnectionRejected},
      {"org.bluez.Error.DoesNotExist", PairStatus::NotReadyToPair},
      {"org.freedesktop.DBus.Error.UnknownObject", PairStatus::NotReadyToPair},
      {"org.bluez.Error.Failed", PairStatus::Failed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Script(std::string("changed(devices[HEART_RATE_ADDRESS].path, DEVICE_IFACE, {'Paired': dbus.Boolean(False)}); "
                       "devices[HEART_RATE_ADDRESS].pair_error = ('") +
           row.name + "', 'scripted')");
    result = Await(custom->PairAsync(Kinds::ConfirmOnly));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->Status(), row.status);
  }
  // InProgress is another Connect or pairing of the device under way, which Pair waits out
  // (APairingBesideAnotherProgramsConnectUnderWayIsWaitedForNotFailed); a newer pairing of the device ends the
  // wait, which would take its requests, with the refusal's status.
  Script("changed(devices[HEART_RATE_ADDRESS].path, DEVICE_IFACE, {'Paired': dbus.Boolean(False)}); "
         "devices[HEART_RATE_ADDRESS].pair_error = ('org.bluez.Error.InProgress', 'scripted')");
  const size_t asked = mock_->CallsOf("Pair").size();
  auto overtaken = custom->PairAsync(Kinds::ConfirmOnly);
  ASSERT_TRUE(WaitForCall("Pair", asked + 2));
  auto newer = custom->PairAsync(Kinds::ConfirmPinMatch);
  result = Await(overtaken);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Status(), PairStatus::OperationAlreadyInProgress);
  Script("devices[HEART_RATE_ADDRESS].pair_error = None");
  result = Await(newer);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Status(), PairStatus::Paired);
}

// Connect with pairing: a characteristic that refused "Not paired" reads afterwards; Disconnect removes
// the bond made here (RemoveDevice), and a bond made elsewhere stays.
TEST_F(BluezLink, PairingMadeHereIsRemovedOnDisconnect) {
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = VelmoraBLE_BLEClient_Create(&AcceptingSink, &sink_, 0);
  Script(
      "heart_rate_sensor(); devices[HEART_RATE_ADDRESS].pairing = 'confirm'; "
      "devices[HEART_RATE_ADDRESS].database[0]['chars'][1]['encrypted'] = True");
  auto device = DeviceWhenKnown();
  ASSERT_NE(device, nullptr);
  auto services = Await(device->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  auto characteristics =
      Await(services->Services()[0]->GetCharacteristicsWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  auto location = characteristics->Characteristics()[1];
  auto refused = Await(location->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  EXPECT_EQ(refused->Status(), bt::GattCommunicationStatus::ProtocolError);
  EXPECT_EQ(refused->ProtocolError(), 0x05);

  ASSERT_EQ(Config("PairingMode=1"), 0);
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  const auto requests = sink_.Of(VELMORABLE_EVENT_PAIRING_REQUEST);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Text(0), kSensor);
  EXPECT_EQ(requests[0].Int(1), static_cast<int32_t>(Kinds::ConfirmPinMatch));
  auto read = Await(location->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  EXPECT_EQ(read->Status(), bt::GattCommunicationStatus::Success);
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
  EXPECT_EQ(mock_->CallsOf("RemoveDevice").size(), 1u);

  // Paired elsewhere: nothing is removed.
  Script(
      "reset(); heart_rate_sensor(); changed(devices[HEART_RATE_ADDRESS].path, DEVICE_IFACE, "
      "{'Paired': dbus.Boolean(True)})");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
  Settle();
  EXPECT_TRUE(mock_->CallsOf("RemoveDevice").empty());
  EXPECT_TRUE(mock_->CallsOf("Pair").empty());
}

// bluetoothd takes one agent per program: two pairings at once share the process's agent, and each device's
// request reaches the application through its own pairing. The agent goes when the last pairing ends.
TEST_F(BluezLink, TwoPairingsAtOnceShareOneAgent) {
  Script("behaviour['agent_per_client'] = True; held.add('Pair')");
  Script("add_device('C0:FF:EE:00:00:01', name='one', pairing='confirm', passkey=111111)");
  Script("add_device('C0:FF:EE:00:00:02', name='two', pairing='confirm', passkey=222222)");
  struct Asked {
    std::mutex mutex;
    std::vector<std::u16string> pins;
  };
  auto asked = std::make_shared<Asked>();
  std::vector<bt::AsyncOp<bt::DevicePairingResult>> pairings;
  for (const uint64_t address : {0xC0FFEE000001ull, 0xC0FFEE000002ull}) {
    auto device = DeviceWhenKnown(address);
    ASSERT_NE(device, nullptr);
    auto custom = device->DeviceInformation()->Pairing()->Custom();
    custom->AddPairingRequested([asked](const auto&, const auto& args) {
      {
        std::lock_guard lock(asked->mutex);
        asked->pins.push_back(args->Pin());
      }
      args->Accept();
    });
    pairings.push_back(custom->PairAsync(Kinds::ConfirmPinMatch));
    // The second pairing starts while the first one's Pair still runs (its request answered).
    ASSERT_TRUE(WaitForScript("len(pair_replies)", std::to_string(pairings.size())));
  }
  EXPECT_EQ(Script("release('Pair')"), "2");
  for (const auto& pairing : pairings) {
    auto result = Await(pairing);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->Status(), PairStatus::Paired);
  }
  {
    std::lock_guard lock(asked->mutex);
    EXPECT_EQ(asked->pins, (std::vector<std::u16string>{u"111111", u"222222"}));
  }
  EXPECT_EQ(mock_->CallsOf("RegisterAgent").size(), 1u);
  EXPECT_TRUE(WaitForScript("agents", "{}"));
  EXPECT_EQ(mock_->CallsOf("UnregisterAgent").size(), 1u);
}

// A text of the tree that the program read (to show it) stays its own, but not the item it came from, whose
// object holds the device's link: Disconnect closes the link at once.
TEST_F(BluezLink, ADisconnectAfterAGetOfACharacteristicsTextClosesTheLink) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_SERVICE, 0, Text("000100000000")), 0);
  const char* uuid =
      reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_CHARACTERISTIC_UUID, 0));
  ASSERT_STREQ(uuid, "00002A37-0000-1000-8000-00805F9B34FB");
  Script("calls.clear()");
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0) << LastError();
  EXPECT_TRUE(WaitForCall("Disconnect")) << "bluetoothd was not asked to disconnect";
  EXPECT_STREQ(uuid, "00002A37-0000-1000-8000-00805F9B34FB");
}

// A pairing that fails closes the link that its Pair opened (bluetoothd connects to pair), quietly.
TEST_F(BluezLink, AFailedPairingClosesTheLinkItsPairOpened) {
  Script("behaviour['pair_connects'] = True; add_device(HEART_RATE_ADDRESS, name='lock', pairing='confirm')");
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  // The sink leaves the request unaccepted: the pairing is refused.
  EXPECT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 604);
  EXPECT_NE(LastError().find("RejectedByHandler"), std::string::npos) << LastError();
  EXPECT_TRUE(WaitForCall("Disconnect"));
  EXPECT_TRUE(WaitForScript("devices[HEART_RATE_ADDRESS].props()['Connected']", "0"));
  Settle();
  EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_DISCONNECTED).empty());
}

// A failed pairing drops only its own hold on the link its Pair opened: another client connected to the
// device meanwhile keeps the link, which is closed once that client disconnects.
TEST_F(BluezLink, AFailedPairingLeavesALinkAnotherClientHolds) {
  Script("behaviour['pair_connects'] = True; held.add('Pair'); heart_rate_sensor(); "
         "devices[HEART_RATE_ADDRESS].pairing = 'confirm'");
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  // The sink leaves the request unaccepted: the pairing is refused, and bluetoothd's answer held.
  std::atomic<int> pairing_rc{-1};
  std::thread pairing([this, &pairing_rc] { pairing_rc = Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}); });
  const bool refused = WaitForScript("len(pair_replies)", "1");
  Sink other_sink;
  ClientHandle other(VelmoraBLE_BLEClient_Create(&Sink::Call, &other_sink, 0));
  std::vector<intptr_t> params = {Text(kSensor)};
  std::vector<int32_t> sizes = {0};
  const int other_rc = refused ? VelmoraBLE_BLEClient_Do(other.get(), VELMORABLE_METHOD_CONNECT, 1, params.data(),
                                                         sizes.data())
                               : -1;
  EXPECT_EQ(Script("release('Pair')"), "1");
  pairing.join();
  ASSERT_TRUE(refused);
  ASSERT_EQ(other_rc, 0) << testing::LastError(other.get());
  EXPECT_EQ(pairing_rc.load(), 604);
  Settle();
  EXPECT_TRUE(mock_->CallsOf("Disconnect").empty());
  EXPECT_EQ(Script("devices[HEART_RATE_ADDRESS].props()['Connected']"), "1");
  EXPECT_TRUE(other_sink.Of(VELMORABLE_EVENT_DISCONNECTED).empty());
  ASSERT_EQ(testing::Do(other.get(), VELMORABLE_METHOD_DISCONNECT), 0);
  EXPECT_TRUE(WaitForCall("Disconnect"));
  EXPECT_TRUE(WaitForScript("devices[HEART_RATE_ADDRESS].props()['Connected']", "0"));
}

// Pair connects the device first and answers once bonded; a link it opened for a Connect that gave up
// meanwhile is closed when it answers, as nothing else of bluetoothd closes it, and the bond that the pairing
// made for that Connect goes with it.
TEST_F(BluezLink, ALinkPairOpenedForAConnectThatGaveUpIsClosed) {
  Script("behaviour['pair_connects'] = True; held.add('Pair'); add_device(HEART_RATE_ADDRESS, name='lock')");
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 301) << LastError();
  ASSERT_TRUE(WaitForCall("Pair"));
  EXPECT_EQ(Script("devices[HEART_RATE_ADDRESS].props()['Connected']"), "1");
  EXPECT_EQ(Script("release('Pair')"), "1");
  EXPECT_TRUE(WaitForCall("RemoveDevice"));
  EXPECT_TRUE(WaitForScript(
      "HEART_RATE_ADDRESS not in devices or not devices[HEART_RATE_ADDRESS].props()['Connected']", "True"));
}

// A Connect that gave up waiting for its pairing after the sink answered leaves the bond to bluetoothd's late
// answer. The next Connect finds the device paired, where bluetoothd offers no pairing: it takes the bond over,
// so that the late answer removes nothing under its connection, and its Disconnect removes the bond.
TEST_F(BluezLink, ABondLeftToALateAnswerIsTakenOverByAConnectThatFindsTheDevicePaired) {
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = VelmoraBLE_BLEClient_Create(&AcceptingSink, &sink_, 0);
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].pairing = 'confirm'; held.add('Pair')");
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 301) << LastError();
  ASSERT_EQ(sink_.Of(VELMORABLE_EVENT_PAIRING_REQUEST).size(), 1u);
  ASSERT_TRUE(WaitForScript("devices[HEART_RATE_ADDRESS].props()['Paired']", "1"));
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 10), 0);
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  EXPECT_EQ(Script("release('Pair')"), "1");
  Settle();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(mock_->CallsOf("RemoveDevice").empty()) << "the late answer removed the bond under the connection";
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0) << LastError();
  EXPECT_EQ(mock_->CallsOf("RemoveDevice").size(), 1u);
}

// bluetoothd shows a passkey again each time the remote side types a digit: one PairingRequest per pairing.
TEST_F(BluezLink, APasskeyShownAgainIsNoNewRequest) {
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = VelmoraBLE_BLEClient_Create(&AcceptingSink, &sink_, 0);
  ASSERT_NE(handle_, nullptr);
  Script("add_device(HEART_RATE_ADDRESS, name='lock', pairing='display', passkey=123456); "
         "devices[HEART_RATE_ADDRESS].display_updates = 5");
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  EXPECT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 0) << LastError();
  EXPECT_EQ(Script("len([r for r in pair_replies if r.startswith('DisplayPasskey')])"), "6");
  const std::vector<Event> requests = sink_.Of(VELMORABLE_EVENT_PAIRING_REQUEST);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Int(1), static_cast<int32_t>(Kinds::DisplayPin));
  EXPECT_TRUE(mock_->CallsOf("CancelPairing").empty());
  EXPECT_EQ(Script("devices[HEART_RATE_ADDRESS].props()['Paired']"), "1");
}

// A device that bluetoothd forgot after a scan is found again by Connect while it advertises; the
// discovery that found it ends with it.
TEST_F(BluezLink, ConnectFindsADeviceBluetoothdForgot) {
  Script("behaviour['sessions'] = True; heart_rate_sensor(); advertise_every(HEART_RATE_ADDRESS, 50)");
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  Script("forget_unpaired()");
  ASSERT_TRUE(WaitForScript("HEART_RATE_ADDRESS in devices", "False"));
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  std::string value;
  EXPECT_EQ(Read("001000000000", "001000120000", "", &value), 0) << LastError();
  EXPECT_EQ(value, "\x5a");
  EXPECT_EQ(mock_->CallsOf("StartDiscovery").size(), 1u);
  EXPECT_TRUE(WaitForScript("sessions()", "[]"));
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
}

// The engine's Disconnect closes a link this backend opened, and only such a link.
TEST_F(BluezLink, DisconnectClosesOnlyLinksOpenedHere) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
  EXPECT_TRUE(WaitForCall("Disconnect"));

  Script("reset(); heart_rate_sensor(); connect_elsewhere(HEART_RATE_ADDRESS)");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
  Settle();
  EXPECT_TRUE(mock_->CallsOf("Connect").empty());
  EXPECT_TRUE(mock_->CallsOf("Disconnect").empty());
}

// One client's Disconnect closes the link; bluetoothd does so only after its disconnect timer, the device still
// connected meanwhile. Another client of the process that connects to the device in that time gets a link that
// then goes: it is told Disconnected (0, "Offline") like any link it loses.
TEST_F(BluezLink, ALinkClosedUnderAnotherClientThatConnectedMeanwhileIsToldOffline) {
  Script("heart_rate_sensor(); disconnect_on_timer(HEART_RATE_ADDRESS)");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  std::atomic<int> disconnect_rc{-1};
  std::thread disconnecting([this, &disconnect_rc] { disconnect_rc = Do(VELMORABLE_METHOD_DISCONNECT); });
  const bool asked = WaitForCall("Disconnect");
  Sink other_sink;
  ClientHandle other(VelmoraBLE_BLEClient_Create(&Sink::Call, &other_sink, 0));
  std::vector<intptr_t> params = {Text(kSensor)};
  std::vector<int32_t> sizes = {0};
  const int other_rc =
      asked ? VelmoraBLE_BLEClient_Do(other.get(), VELMORABLE_METHOD_CONNECT, 1, params.data(), sizes.data()) : -1;
  std::vector<intptr_t> discover = {Text(""), Text(""), 1, Text("")};
  std::vector<int32_t> discover_sizes(4, 0);
  const int discover_rc = other_rc == 0 ? VelmoraBLE_BLEClient_Do(other.get(), VELMORABLE_METHOD_DISCOVER, 4,
                                                                  discover.data(), discover_sizes.data())
                                        : -1;
  disconnecting.join();
  ASSERT_TRUE(asked);
  EXPECT_EQ(disconnect_rc.load(), 0);
  ASSERT_EQ(other_rc, 0) << testing::LastError(other.get());
  EXPECT_EQ(discover_rc, 0) << testing::LastError(other.get());
  // The link went under the other client.
  ASSERT_EQ(Script("devices[HEART_RATE_ADDRESS].props()['Connected']"), "0");
  Settle();
  EXPECT_TRUE(other_sink.WaitFor(VELMORABLE_EVENT_DISCONNECTED)) << "the other client was never told";
  std::vector<intptr_t> read_params = {Text("001000000000"), Text("001000120000"), Text(""), 0};
  std::vector<int32_t> read_sizes(4, 0);
  const int read_rc = VelmoraBLE_BLEClient_Do(other.get(), VELMORABLE_METHOD_READ_VALUE, 4, read_params.data(),
                                              read_sizes.data());
  EXPECT_EQ(read_rc, 605) << testing::LastError(other.get());
}

// A dropped link tells the application "Offline"; reads on the old objects fail without hanging.
TEST_F(BluezLink, LinkLossIsOfflineAndOldObjectsAreUnreachable) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  auto device = DeviceWhenKnown();
  auto services = Await(device->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  auto characteristics =
      Await(services->Services()[1]->GetCharacteristicsWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  auto level = characteristics->Characteristics()[0];
  Script("link_drop(HEART_RATE_ADDRESS)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
  const Event dropped = sink_.Of(VELMORABLE_EVENT_DISCONNECTED)[0];
  EXPECT_EQ(dropped.Text(1), "Offline");
  EXPECT_EQ(device->ConnectionStatus(), bt::BluetoothConnectionStatus::Disconnected);
  std::string value;
  EXPECT_NE(Read("001000000000", "001000120000", "", &value), 0);
  auto read = Await(level->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  EXPECT_EQ(read->Status(), bt::GattCommunicationStatus::Unreachable);
  EXPECT_FALSE(read->ProtocolError().has_value());
  auto written = Await(level->WriteClientCharacteristicConfigurationDescriptorWithResultAsync(
      bt::GattClientCharacteristicConfigurationDescriptorValue::Notify));
  EXPECT_EQ(written->Status(), bt::GattCommunicationStatus::Unreachable);
}

// A device that bluetoothd forgets reads as disconnected; connecting to it again looks for it, within
// Timeout, and fails while it does not advertise.
TEST_F(BluezLink, VanishedDeviceIsDisconnectedAndCannotBeConnected) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  Script("vanish(HEART_RATE_ADDRESS)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 301) << LastError();
}

// A new name from bluetoothd (Name, never Alias) reaches the application as a ServerUpdate.
TEST_F(BluezLink, NameChangeIsAServerUpdate) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  Script("advertise(HEART_RATE_ADDRESS, name='Velmora HR 2')");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_SERVER_UPDATE));
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_SERVER_UPDATE)[0].Text(0), "Velmora HR 2");
}

// Services added or removed under a connected device give one ServerUpdate per burst.
TEST_F(BluezLink, ServiceChangesGiveOneServerUpdatePerBurst) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  Script(
      "services_changed(HEART_RATE_ADDRESS, removed=[0x0020], added=[dict(handle=0x0030, uuid=0x1809, "
      "chars=[dict(handle=0x0032, uuid=0x2A1C)]), dict(handle=0x0040, uuid=0x181A)])");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_SERVER_UPDATE));
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_SERVER_UPDATE)[0].Text(1), "GattServicesChanged");
  Script("services_changed(HEART_RATE_ADDRESS, removed=[0x0030, 0x0040])");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_SERVER_UPDATE, 2));
  // A burst that had given two events would have given them before the second burst's one.
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_SERVER_UPDATE).size(), 2u);
}

// bluetoothd does not wait for the answer to a displayed passkey: the device's user types it and the pairing
// completes while the sink still holds the request. A sink that then leaves the request unaccepted has refused
// the pairing, which must leave neither a successful Connect nor a bond behind.
TEST_F(BluezLink, ADisplayedPinLeftUnacceptedAfterTheDeviceTypedItBondsNothing) {
  Script("add_device(HEART_RATE_ADDRESS, name='lock', pairing='display_unanswered', passkey=123456)");
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  sink_.inside = [](const Event& event) {
    if (event.id == VELMORABLE_EVENT_PAIRING_REQUEST) std::this_thread::sleep_for(std::chrono::milliseconds(800));
  };
  const int rc = Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)});
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_PAIRING_REQUEST));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  Settle();
  EXPECT_EQ(rc, 604) << LastError();
  EXPECT_EQ(Script("devices[HEART_RATE_ADDRESS].props()['Paired'] if HEART_RATE_ADDRESS in devices else 0"), "0")
      << "the refused pairing left the device bonded";
}

// A client connected to the device, then another client pairs with it: bluetoothd raises the security of that
// link (device.c, pair_device: bt_att_set_security on a connected device) and shows a passkey that the device's
// user types at once. The pairing client's sink leaves the request unaccepted after the bond: its Connect fails,
// but the first client's connection, which the pairing did not open, is in use and stays, as it does for any
// failed pairing.
TEST_F(BluezLink, ALateRefusalOfADisplayedPinLeavesAnotherClientsConnection) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].pairing = 'display_unanswered'");
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  Sink other_sink;
  ClientHandle other(VelmoraBLE_BLEClient_Create(&Sink::Call, &other_sink, 0));
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(ConnectAndDiscoverOther(other.get()), 0) << testing::LastError(other.get());
  ASSERT_EQ(Script("devices[HEART_RATE_ADDRESS].props()['Connected']"), "1");
  ASSERT_EQ(Config("PairingMode=1"), 0);
  sink_.inside = [](const Event& event) {
    if (event.id == VELMORABLE_EVENT_PAIRING_REQUEST) std::this_thread::sleep_for(std::chrono::milliseconds(800));
  };
  const int rc = Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)});
  EXPECT_EQ(rc, 604) << LastError();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Settle();
  EXPECT_TRUE(other_sink.Of(VELMORABLE_EVENT_DISCONNECTED).empty())
      << "the other client's connection was dropped; RemoveDevice calls: "
      << ::testing::PrintToString(mock_->CallsOf("RemoveDevice"));
  EXPECT_EQ(Script("devices[HEART_RATE_ADDRESS].props()['Connected'] if HEART_RATE_ADDRESS in devices else 'gone'"),
            "1");
}

// Only for the test that uses it: bluetoothd's Pair of a device that is connected already. It raises the security
// of the link it has instead of asking the kernel to pair (device.c, pair_device: "else if (!state->connected ||
// !bt_att_set_security(device->att, BT_ATT_SECURITY_MEDIUM)) err = adapter_create_bonding(...); else err = 0;"),
// and the kernel's SMP shows the passkey (DisplayPasskey, no reply awaited) and bonds once the device's user has
// typed it. CancelPairing answers the Pair at once (cancel_pairing: device_cancel_bonding, which for a shown
// passkey sends the kernel nothing: cancel_authentication, "case AUTH_TYPE_NOTIFY_PASSKEY: User Notify doesn't
// require any reply"), and its Cancel Pair Device reaches no pairing of the kernel: that command cancels a
// preceding Pair Device command (doc/mgmt-protocol.rst), and there was none. The SMP pairing goes on, and the
// typed passkey bonds the device all the same (adapter.c, new_long_term_key_callback: device_set_bonded; then
// device_bonding_complete with no bonding request: device_set_paired). Here the user types 1.6 s after the Pair.
constexpr const char kSecurityRaisedOnTheLink[] = R"(
kernel_bonded = []
bonding_request = []
@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='', sender_keyword='sender',
                     async_callbacks=('answer_ok', 'answer_err'))
def security_raised(self, sender=None, answer_ok=None, answer_err=None):
    log('Pair', self.path)
    device = device_at(self.path)
    to = agent_for(sender)
    bonding_request[:] = [answer_ok, answer_err]
    message = dbus.lowlevel.MethodCallMessage(to['sender'], to['path'], AGENT_IFACE, 'DisplayPasskey')
    message.append(dbus.ObjectPath(device.path), dbus.UInt32(device.passkey), dbus.UInt16(0), signature='ouq')
    message.set_no_reply(True)
    manager().connection.send_message(message)
    def typed():
        kernel_bonded.append(device.path)
        if device.path in mockobject.objects:
            changed(device.path, DEVICE_IFACE, {'Bonded': dbus.Boolean(True), 'Paired': dbus.Boolean(True)})
        if bonding_request:
            bonding_request.pop(1)
            bonding_request.pop(0)()
        return False
    GLib.timeout_add(1600, typed)
security_raised.__name__ = 'Pair'
export(mockobject.objects[d.path], DEVICE_IFACE, security_raised)

@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='')
def cancel_bonding_request(self):
    log('CancelPairing', self.path)
    if not bonding_request:
        fail('org.bluez.Error.DoesNotExist', 'Does Not Exist')
    answer_err = bonding_request.pop(1)
    bonding_request.pop(0)
    answer_err(dbus.exceptions.DBusException('Authentication Canceled', name='org.bluez.Error.AuthenticationCanceled'))
cancel_bonding_request.__name__ = 'CancelPairing'
export(mockobject.objects[d.path], DEVICE_IFACE, cancel_bonding_request)
)";

// Another client is connected to the device when a Connect pairs with it; the device asks its user to type the
// passkey that the sink shows. The sink accepts only after the Connect's Timeout ran out (301), so the pairing
// is refused, and the device's user, who saw the passkey, types it. The bond that this pairing leaves must not
// stay: the refused pairing bonds nothing, and a bond made for a Connect that gave up is removed, with the
// last connection to the device (the other client's).
TEST_F(BluezLink, APairingOfAConnectedDeviceRefusedAfterItsTimeoutLeavesNoBond) {
  Script("heart_rate_sensor(); d = devices[HEART_RATE_ADDRESS]; d.pairing = 'display_unanswered'");
  Script(kSecurityRaisedOnTheLink);
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  Sink other_sink;
  ClientHandle other(VelmoraBLE_BLEClient_Create(&Sink::Call, &other_sink, 0));
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(ConnectAndDiscoverOther(other.get()), 0) << testing::LastError(other.get());
  ASSERT_EQ(Script("d.props()['Connected']"), "1");
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = VelmoraBLE_BLEClient_Create(
      [](void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) -> int32_t {
        if (id == VELMORABLE_EVENT_PAIRING_REQUEST && count >= 4) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1300));
          params[3] = 1;
        }
        return Sink::Call(context, id, count, params, cbparams);
      },
      &sink_, 0);
  ASSERT_NE(handle_, nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 301) << LastError();
  ASSERT_TRUE(WaitForScript("kernel_bonded", "['" + std::string(kSensorPath) + "']"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_EQ(Script("d.props()['Connected']"), "1") << "the other client's connection was dropped";
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(other.get(), VELMORABLE_METHOD_DISCONNECT, 0, nullptr, nullptr), 0)
      << testing::LastError(other.get());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Settle();
  EXPECT_NE(Script("d.props()['Paired'] if d.path in mockobject.objects else 'removed'"), "1")
      << "the refused pairing left the device bonded; CancelPairing calls: "
      << ::testing::PrintToString(mock_->CallsOf("CancelPairing"))
      << ", RemoveDevice calls: " << ::testing::PrintToString(mock_->CallsOf("RemoveDevice"));
}

// Only for the test that uses it: bluetoothd's Pair of a device whose services are not known yet, Just Works.
// Once the kernel reports the device bonded, bluetoothd tells Bonded, frees the bonding request and discovers
// the services with the Pair's message, answering it (and telling Paired) only when that discovery ends
// (device.c, device_bonding_complete: device_set_paired, "dev->pending_paired = true" while the services are not
// resolved; device_discover_services(device, bdaddr_type, bonding->msg)). A Disconnect of another program
// meanwhile cancels that discovery and drops the Pair's message unanswered (device.c, device_request_disconnect:
// "if (device->browse) browse_request_cancel(device->browse)"; browse_request_free: "if (req->msg)
// dbus_message_unref(req->msg)"), and Paired is not told either (only device_svc_resolved or
// browse_request_complete tell it). The keys stay: the device is bonded.
constexpr const char kPairDroppedByAnotherProgramsDisconnect[] = R"(
pair_state = {'dropped': False}
@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='', async_callbacks=('answer_ok', 'answer_err'))
def bonded_then_discovering(self, answer_ok=None, answer_err=None):
    log('Pair', self.path)
    device = device_at(self.path)
    changed(device.path, DEVICE_IFACE, {'Connected': dbus.Boolean(True)})
    def bonded():
        changed(device.path, DEVICE_IFACE, {'Bonded': dbus.Boolean(True)})
        GLib.timeout_add(5000, discovered)
        return False
    def discovered():
        if pair_state['dropped']:
            return False
        device.export()
        changed(device.path, DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(True), 'Paired': dbus.Boolean(True)})
        answer_ok()
        return False
    GLib.timeout_add(200, bonded)
bonded_then_discovering.__name__ = 'Pair'
export(mockobject.objects[d.path], DEVICE_IFACE, bonded_then_discovering)

def another_program_disconnects():
    pair_state['dropped'] = True
    changed(d.path, DEVICE_IFACE, {'Connected': dbus.Boolean(False)})
)";

// A Connect pairs with a device (Just Works); bluetoothd has bonded the device and discovers its services when
// another program disconnects the device, and bluetoothd never answers the Pair. The pairing made the bond: it
// is the Connect's, and goes with its connection (at once where the Connect failed), not 120 s later, nor never
// on a device that bluetoothd still calls unpaired.
TEST_F(BluezLink, ABondWhosePairBluetoothdDroppedAtAnotherProgramsDisconnectIsRemoved) {
  Script("heart_rate_sensor(); d = devices[HEART_RATE_ADDRESS]");
  Script(kPairDroppedByAnotherProgramsDisconnect);
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 3), 0);
  std::atomic<int> rc{-1};
  std::thread connect([&] { rc = Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}); });
  const bool paired = WaitForCall("Pair");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  Script("another_program_disconnects()");
  connect.join();
  ASSERT_TRUE(paired);
  if (rc.load() == 0) {
    EXPECT_EQ(Call(VELMORABLE_METHOD_DISCONNECT, {}), 0) << LastError();
  }
  std::string bonded;
  for (int i = 0; i < 10; ++i) {
    bonded = mock_->Run("d.props()['Bonded'] if d.path in mockobject.objects else 'removed'");
    if (bonded != "1") break;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  EXPECT_NE(bonded, "1") << "the bond that the given-up Connect's pairing made stays; Paired reads "
                         << mock_->Run("d.props()['Paired']") << ", RemoveDevice calls: "
                         << ::testing::PrintToString(mock_->CallsOf("RemoveDevice"));
}

// Only for the test that uses it: bluetoothd refuses a Pair while a Connect of the device is under way, as it
// refuses a second Connect (device.c, pair_device: "if (device->bonding || device->connect) return
// btd_error_in_progress(msg);"); see connect_elsewhere_slowly.
constexpr const char kPairRefusedWhileConnecting[] = R"(
scripted_pair = Pair
@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='', sender_keyword='sender',
                     async_callbacks=('answer_ok', 'answer_err'))
def pair_unless_connecting(self, sender=None, answer_ok=None, answer_err=None):
    if device_at(self.path).connecting_elsewhere:
        log('Pair', self.path)
        answer_err(dbus.exceptions.DBusException('In Progress', name='org.bluez.Error.InProgress'))
        return
    scripted_pair(self, sender, answer_ok, answer_err)
pair_unless_connecting.__name__ = 'Pair'
export(mockobject.objects[devices[HEART_RATE_ADDRESS].path], DEVICE_IFACE, pair_unless_connecting)
)";

// Another program's Connect of the device is under way (a settings panel, a second application) when a Connect
// that pairs asks bluetoothd to pair: bluetoothd refuses the Pair as in progress until that Connect is answered.
// The device is being connected, not unreachable: as Discover does (AConnectAnotherProgramHasUnderWayIsWaitedFor
// NotFailed), the Connect waits for that link and pairs over it, within its Timeout, instead of failing at once.
TEST_F(BluezLink, APairingBesideAnotherProgramsConnectUnderWayIsWaitedForNotFailed) {
  Script("heart_rate_sensor()");
  Script(kPairRefusedWhileConnecting);
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 10), 0);
  Script("connect_elsewhere_slowly(HEART_RATE_ADDRESS, 1500)");
  EXPECT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 0)
      << LastError() << "; Pair calls: " << ::testing::PrintToString(mock_->CallsOf("Pair"));
}

// As above, and bluetoothd refuses the Pair as in progress also once the link is up (the other program's Connect
// is answered after the device's services are resolved). The sink refuses the pairing: the Connect fails for
// that refusal, and the link, which is the other program's, stays open.
TEST_F(BluezLink, ARefusedPairingBesideAnotherProgramsConnectLeavesItsLink) {
  for (const bool link_up_early : {false, true}) {
    SCOPED_TRACE(link_up_early ? "the link up before the Connect is answered" : "the link up as it is answered");
    Script("reset(); heart_rate_sensor(); devices[HEART_RATE_ADDRESS].pairing = 'confirm'");
    Script(kPairRefusedWhileConnecting);
    ASSERT_NE(DeviceWhenKnown(), nullptr);
    ASSERT_EQ(Config("PairingMode=1"), 0);
    ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 10), 0);
    Script("connect_elsewhere_slowly(HEART_RATE_ADDRESS, 1500)");
    if (link_up_early) {
      Script("changed(devices[HEART_RATE_ADDRESS].path, DEVICE_IFACE, {'Connected': dbus.Boolean(True)})");
    }
    EXPECT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 604);
    EXPECT_NE(LastError().find("RejectedByHandler"), std::string::npos) << LastError();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Settle();
    EXPECT_TRUE(mock_->CallsOf("Disconnect").empty()) << ::testing::PrintToString(mock_->Run("calls"));
    EXPECT_EQ(Script("devices[HEART_RATE_ADDRESS].props()['Connected']"), "1");
  }
}

// A Connect gave up (its Timeout) while its pairing waited for another program's Connect of the device; the
// application destroys that client and connects with a new one. The pairing nobody waits for any more asks
// bluetoothd no more: the device sees one pairing, the new client's, whose requests are its own.
TEST_F(BluezLink, APairingWhoseConnectGaveUpLeavesTheNextClientsPairingAlone) {
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = VelmoraBLE_BLEClient_Create(&Sink::Call, &sink_, 0);
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].pairing = 'confirm'");
  Script(kPairRefusedWhileConnecting);
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 2), 0);
  Script("connect_elsewhere_slowly(HEART_RATE_ADDRESS, 3500)");
  EXPECT_NE(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 0);
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = VelmoraBLE_BLEClient_Create(&AcceptingSink, &sink_, 0);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 10), 0);
  EXPECT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 0) << LastError();
  EXPECT_EQ(Script("[reply.split(' ')[0] + ' ' + reply.split(' ')[2] for reply in pair_replies]"),
            "['RequestConfirmation ok']");
  EXPECT_EQ(Script("devices[HEART_RATE_ADDRESS].props()['Paired']"), "1");
}

// bluetoothd restarts while a pairing waits to ask again: the new bluetoothd has no agent of the process, and a
// Pair asked without one would bond the device without asking the application (Just Works).
TEST_F(BluezLink, APairingAskedAgainAfterBluetoothdRestartedAsksTheApplication) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].pairing = 'confirm'");
  Script(kPairRefusedWhileConnecting);
  auto device = DeviceWhenKnown();
  ASSERT_NE(device, nullptr);
  auto custom = device->DeviceInformation()->Pairing()->Custom();
  std::atomic<int> requests{0};
  custom->AddPairingRequested([&requests](const auto&, const auto& args) {
    ++requests;
    args->Accept();
  });
  Script("connect_elsewhere_slowly(HEART_RATE_ADDRESS, 60000)");
  auto pairing = custom->PairAsync(Kinds::ConfirmPinMatch);
  ASSERT_TRUE(WaitForCall("Pair"));
  Script("bluetoothd_exit(); bluetoothd_start(); heart_rate_sensor(); devices[HEART_RATE_ADDRESS].pairing = 'confirm'");
  auto result = Await(pairing);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Status(), PairStatus::Paired);
  EXPECT_EQ(requests.load(), 1) << "RegisterAgent calls: " << ::testing::PrintToString(mock_->CallsOf("RegisterAgent"));
}

// A pairing whose Connect gave up waits to ask bluetoothd again (another program's Connect of the device was
// under way); that Connect ends, and the application's next Connect, through a device object of its own, pairs
// at once. bluetoothd sends the agent requests of that Pair, the only one it runs (device.c, pair_device:
// bonding_request_new with agent_get(sender)); the earlier pairing, which asks nothing any more, must not take
// them: the application that accepts is asked and the device is paired.
TEST_F(BluezLink, ANewerPairingTakenAtOnceGetsTheRequestsOfItsPairNotTheWaitingEarlierOne) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].pairing = 'confirm'; "
         "devices[HEART_RATE_ADDRESS].pair_error = ('org.bluez.Error.InProgress', 'In Progress')");
  // The earlier Connect's device object: its client has gone, and with it the handler.
  auto earlier_device = DeviceWhenKnown();
  ASSERT_NE(earlier_device, nullptr);
  auto earlier = earlier_device->DeviceInformation()->Pairing()->Custom();
  auto newer_device = DeviceWhenKnown();
  ASSERT_NE(newer_device, nullptr);
  auto newer = newer_device->DeviceInformation()->Pairing()->Custom();
  std::atomic<int> asked{0};
  newer->AddPairingRequested([&asked](const auto&, const auto& args) {
    ++asked;
    args->Accept();
  });
  const size_t pairs = mock_->CallsOf("Pair").size();
  auto waiting = earlier->PairAsync(Kinds::ConfirmOnly | Kinds::ConfirmPinMatch);
  ASSERT_TRUE(WaitForCall("Pair", pairs + 1));
  // The other program's Connect is answered: bluetoothd takes the next Pair.
  Script("devices[HEART_RATE_ADDRESS].pair_error = None");
  auto result = Await(newer->PairAsync(Kinds::ConfirmOnly | Kinds::ConfirmPinMatch));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Status(), PairStatus::Paired)
      << "application asked " << asked.load() << " times; agent replies: " << Script("pair_replies");
  EXPECT_EQ(asked.load(), 1);
  (void)Await(waiting);
}

// Only for the test that uses it: another program (a settings panel) pairs the device while a Connect that
// pairs runs. bluetoothd refuses this process's Pair as in progress while that pairing, and then that program's
// Connect, is under way (device.c, pair_device: "if (device->bonding || device->connect) return
// btd_error_in_progress(msg);"), and as already bonded once neither is (pair_device: "if (state->bonded) return
// btd_error_already_exists(msg);"). The device drops the link right after the bond (Bonded is told as the keys
// are stored, device_set_bonded; Paired waits for the services, device_set_paired: pending_paired), and the
// other program connects it again.
constexpr const char kPairedByAnotherProgram[] = R"(
scripted_pair = Pair
other_program = {'bonding': False}
@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='', sender_keyword='sender',
                     async_callbacks=('answer_ok', 'answer_err'))
def pair_beside_another_program(self, sender=None, answer_ok=None, answer_err=None):
    device = device_at(self.path)
    if other_program['bonding'] or device.connecting_elsewhere:
        log('Pair', self.path)
        answer_err(dbus.exceptions.DBusException('In Progress', name='org.bluez.Error.InProgress'))
        return
    if device.props().get('Bonded'):
        log('Pair', self.path)
        answer_err(dbus.exceptions.DBusException('Already Exists', name='org.bluez.Error.AlreadyExists'))
        return
    scripted_pair(self, sender, answer_ok, answer_err)
pair_beside_another_program.__name__ = 'Pair'
export(mockobject.objects[devices[HEART_RATE_ADDRESS].path], DEVICE_IFACE, pair_beside_another_program)

def another_program_pairs(address):
    device = devices[address]
    other_program['bonding'] = True
    def link_up():
        changed(device.path, DEVICE_IFACE, {'Connected': dbus.Boolean(True)})
        return False
    def bonded_and_dropped():
        other_program['bonding'] = False
        changed(device.path, DEVICE_IFACE, {'Bonded': dbus.Boolean(True)})
        changed(device.path, DEVICE_IFACE, {'Connected': dbus.Boolean(False)})
        connect_elsewhere_slowly(address, 2000)
        return False
    GLib.timeout_add(400, link_up)
    GLib.timeout_add(1000, bonded_and_dropped)
)";

// The user pairs the device in another program while the application's Connect with pairing waits to ask
// bluetoothd again. That bond is not the library's: the Connect finds the device bonded, and its Disconnect
// leaves the bond (no RemoveDevice), as it leaves any bond made elsewhere.
TEST_F(BluezLink, ABondAnotherProgramMadeWhileAPairingWaitedToAskAgainStaysAtDisconnect) {
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = VelmoraBLE_BLEClient_Create(&AcceptingSink, &sink_, 0);
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].pairing = 'confirm'");
  Script(kPairedByAnotherProgram);
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 10), 0);
  Script("another_program_pairs(HEART_RATE_ADDRESS)");
  ASSERT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 0) << LastError();
  EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_PAIRING_REQUEST).empty());
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Settle();
  EXPECT_TRUE(mock_->CallsOf("RemoveDevice").empty())
      << "the bond that the other program made was removed; Pair calls: "
      << ::testing::PrintToString(mock_->CallsOf("Pair"));
  EXPECT_EQ(Script("int(HEART_RATE_ADDRESS in devices)"), "1");
}

// A pairing waits to ask bluetoothd again (another program's Connect of the device is under way); that Connect
// brings the link up, and a newer pairing of the device begins, which ends the waiting one. The waiting pairing
// never had a Pair that bluetoothd took, so it opened no link: the link is the other program's, and it stays when
// the process lets the device go (no Disconnect), as a link that another program opened always does.
TEST_F(BluezLink, APairingEndedWhileWaitingToAskAgainTakesNoLinkForItsOwn) {
  Script("heart_rate_sensor()");
  Script(kPairRefusedWhileConnecting);
  auto earlier_device = DeviceWhenKnown();
  ASSERT_NE(earlier_device, nullptr);
  auto newer_device = DeviceWhenKnown();
  ASSERT_NE(newer_device, nullptr);
  Script("devices[HEART_RATE_ADDRESS].connecting_elsewhere = True");
  const size_t pairs = mock_->CallsOf("Pair").size();
  auto waiting = earlier_device->DeviceInformation()->Pairing()->Custom()->PairAsync(Kinds::ConfirmPinMatch);
  ASSERT_TRUE(WaitForCall("Pair", pairs + 1));
  // The other program's Connect is answered: its link is up.
  Script("devices[HEART_RATE_ADDRESS].connecting_elsewhere = False; connect_elsewhere(HEART_RATE_ADDRESS)");
  ASSERT_TRUE(WaitForScript("devices[HEART_RATE_ADDRESS].props()['Connected']", "1"));
  for (int i = 0; i < 100 && newer_device->ConnectionStatus() != bt::BluetoothConnectionStatus::Connected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  auto result = Await(newer_device->DeviceInformation()->Pairing()->Custom()->PairAsync(Kinds::ConfirmPinMatch));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Status(), PairStatus::Paired);
  ASSERT_NE(Await(waiting), nullptr);
  earlier_device.reset();
  newer_device.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Settle();
  EXPECT_TRUE(mock_->CallsOf("Disconnect").empty()) << ::testing::PrintToString(mock_->CallsOf("Disconnect"));
  EXPECT_EQ(Script("devices[HEART_RATE_ADDRESS].props()['Connected']"), "1");
}

// Only for the test that uses it: bluetoothd, started again, answers RegisterAgent after a while (its D-Bus
// queue is busy with every client coming back), and runs one pairing of a device at a time: a Pair asked while
// another Pair of the device is under way is refused as in progress (device.c, pair_device: "if
// (device->bonding || device->connect) return btd_error_in_progress(msg);"; device->bonding is set there and
// cleared by bonding_request_free once that Pair is answered).
constexpr const char kSlowAgentAndOnePairAtATime[] = R"(
agent_asked = {'count': 0}
@dbus.service.method(AGENT_MANAGER_IFACE, in_signature='os', out_signature='', sender_keyword='sender',
                     async_callbacks=('answer_ok', 'answer_err'))
def register_agent_slowly(_self, path, capability, sender=None, answer_ok=None, answer_err=None):
    agent_asked['count'] += 1
    def register():
        try:
            RegisterAgent(_self, path, capability, sender)
            answer_ok()
        except dbus.exceptions.DBusException as failure:
            answer_err(failure)
        return False
    GLib.timeout_add(1500, register)
register_agent_slowly.__name__ = 'RegisterAgent'
export(mockobject.objects['/org/bluez'], AGENT_MANAGER_IFACE, register_agent_slowly)

one_pair = {'under_way': False}
pair_of_bluetoothd = Pair
@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='', sender_keyword='sender',
                     async_callbacks=('answer_ok', 'answer_err'))
def pair_one_at_a_time(self, sender=None, answer_ok=None, answer_err=None):
    if one_pair['under_way']:
        log('Pair', self.path)
        answer_err(dbus.exceptions.DBusException('In Progress', name='org.bluez.Error.InProgress'))
        return
    one_pair['under_way'] = True
    def done_ok(*reply):
        one_pair['under_way'] = False
        answer_ok(*reply)
    def done_err(failure):
        one_pair['under_way'] = False
        answer_err(failure)
    try:
        pair_of_bluetoothd(self, sender, done_ok, done_err)
    except dbus.exceptions.DBusException:
        one_pair['under_way'] = False
        raise
pair_one_at_a_time.__name__ = 'Pair'
export(mockobject.objects[devices[HEART_RATE_ADDRESS].path], DEVICE_IFACE, pair_one_at_a_time)
)";

// A pairing waits to ask bluetoothd again (another program's Connect of the device is under way, and its own
// Connect gave up); bluetoothd restarts meanwhile, so the agent is registered again before the next ask, and
// while that registration is answered the application's next Connect, through a device object of its own,
// pairs the device. The earlier pairing is overtaken and must ask bluetoothd no more: the device sees one
// pairing, the newer one's, whose request the application accepts. It must not see the earlier pairing's Pair
// first, refused for want of a handler, before the pairing the application asked for.
TEST_F(BluezLink, APairingOvertakenWhileItsAgentIsRegisteredAgainAsksBluetoothdNoMore) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].pairing = 'confirm'");
  Script(kPairRefusedWhileConnecting);
  // The earlier Connect's device object: its client has gone, and with it the handler.
  auto earlier_device = DeviceWhenKnown();
  ASSERT_NE(earlier_device, nullptr);
  auto newer_device = DeviceWhenKnown();
  ASSERT_NE(newer_device, nullptr);
  auto newer = newer_device->DeviceInformation()->Pairing()->Custom();
  std::atomic<int> asked{0};
  newer->AddPairingRequested([&asked](const auto&, const auto& args) {
    ++asked;
    args->Accept();
  });
  Script("connect_elsewhere_slowly(HEART_RATE_ADDRESS, 60000)");
  auto waiting = earlier_device->DeviceInformation()->Pairing()->Custom()->PairAsync(Kinds::ConfirmPinMatch);
  ASSERT_TRUE(WaitForCall("Pair"));
  // The new bluetoothd starts with an empty log.
  Script(std::string("bluetoothd_exit()\nbluetoothd_start()\nheart_rate_sensor()\n"
                     "devices[HEART_RATE_ADDRESS].pairing = 'confirm'\n") +
         kSlowAgentAndOnePairAtATime);
  // The earlier pairing's next ask registers the agent again; the newer pairing begins before that is answered.
  ASSERT_TRUE(WaitForScript("agent_asked['count']", "1"));
  auto result = Await(newer->PairAsync(Kinds::ConfirmPinMatch));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Status(), PairStatus::Paired);
  EXPECT_EQ(asked.load(), 1);
  ASSERT_NE(Await(waiting), nullptr);
  EXPECT_EQ(Script("[reply.split(' ')[0] + ' ' + reply.split(' ')[2] for reply in pair_replies]"),
            "['RequestConfirmation ok']")
      << "calls: " << ::testing::PrintToString(mock_->Run("calls")) << "; replies: " << Script("pair_replies");
}

// Only for the test that uses it: bluetoothd is stopped (systemctl restart bluetooth) while this process's
// RegisterAgent waits for its answer; the call is never answered (the bus answers it for bluetoothd as it
// leaves), and the new bluetoothd, which keeps no agent of the process (agent.c: agents live in memory only),
// takes the name at once. Later RegisterAgent calls are answered as usual.
constexpr const char kRegisterAgentUnansweredThenRestart[] = R"(
@dbus.service.method(AGENT_MANAGER_IFACE, in_signature='os', out_signature='', sender_keyword='sender',
                     async_callbacks=('answer_ok', 'answer_err'))
def register_agent_unanswered(_self, path, capability, sender=None, answer_ok=None, answer_err=None):
    log('RegisterAgent', '/org/bluez', path, capability)
register_agent_unanswered.__name__ = 'RegisterAgent'
export(mockobject.objects['/org/bluez'], AGENT_MANAGER_IFACE, register_agent_unanswered)
)";

// bluetoothd restarts while the agent of a pairing is being registered: the RegisterAgent call ends without an
// answer from bluetoothd (it left the bus), which is no refusal of the agent. A Pair asked then reaches the new
// bluetoothd, which knows no agent of the process, and bonds the device without asking the application (Just
// Works): the pairing fails instead, and the new bluetoothd is asked nothing.
TEST_F(BluezLink, APairingWhoseAgentRegistrationBluetoothdLeftUnansweredPairsNothingUnasked) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].pairing = 'confirm'");
  Script(kRegisterAgentUnansweredThenRestart);
  auto device = DeviceWhenKnown();
  ASSERT_NE(device, nullptr);
  auto custom = device->DeviceInformation()->Pairing()->Custom();
  std::atomic<int> requests{0};
  custom->AddPairingRequested([&requests](const auto&, const auto& args) {
    ++requests;
    args->Accept();
  });
  auto pairing = custom->PairAsync(Kinds::ConfirmPinMatch);
  ASSERT_TRUE(WaitForCall("RegisterAgent"));
  Script("bluetoothd_exit()\nbluetoothd_start()\n"
         "export(mockobject.objects['/org/bluez'], AGENT_MANAGER_IFACE, RegisterAgent)\n"
         "heart_rate_sensor()\ndevices[HEART_RATE_ADDRESS].pairing = 'confirm'\n");
  auto result = Await(pairing);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Status(), PairStatus::Failed);
  EXPECT_EQ(requests.load(), 0);
  EXPECT_TRUE(mock_->CallsOf("Pair").empty())
      << "calls of the new bluetoothd: " << ::testing::PrintToString(mock_->Run("calls"));
  EXPECT_EQ(Script("devices[HEART_RATE_ADDRESS].props()['Paired']"), "0");
}

}  // namespace
}  // namespace velmora::ble::testing
