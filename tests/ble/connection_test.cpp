// Connect, Disconnect, pairing and the device's change events through the exported interface, against the
// simulated radio.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ble/await.h"
#include "ble/ble_client.h"
#include "ble/ble_client_engine.h"
#include "ble/connection.h"
#include "ble/gatt_records.h"
#include "ble/scanning.h"
#include "tests/ble/scan_test_util.h"

namespace velmora::ble::testing {
namespace {

using bt::DevicePairingKinds;
using bt::sim::SimAdapter;
using bt::sim::SimEvent;
using bt::sim::SimFault;
using bt::sim::SimOp;

constexpr uint64_t kAddress = 0x0011223344AA;
constexpr const char kId[] = "0011223344AA";
constexpr const char kFromAddress[] = "BluetoothLEDevice.FromBluetoothAddressAsync";
constexpr const char kUnpair[] = "DeviceInformationPairing.UnpairAsync";

// How the application answers a pairing request: accept or not, and the PIN it writes back (none: the
// offered PIN stays).
struct PairingAnswer {
  int32_t accept = 1;
  const char* pin = nullptr;
};

class Connection : public ScanFixture {
 protected:
  void SetUp() override {
    ScanFixture::SetUp();
    // The client is made again with a sink that answers pairing requests through the in/out slots.
    VelmoraBLE_BLEClient_Destroy(handle_);
    handle_ = VelmoraBLE_BLEClient_Create(&Connection::Hook, this, 0);
    ASSERT_NE(handle_, nullptr);
  }

  static int32_t Hook(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
    auto* self = static_cast<Connection*>(context);
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) {
      auto* record = reinterpret_cast<VelmoraBLE_EventString*>(params[2]);
      const auto* offered = static_cast<const char*>(VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_GET, nullptr, 1));
      self->offered_pins_.push_back(offered != nullptr ? offered : "");
      if (self->answer_.pin != nullptr) {
        VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_SET_BY_COPY, self->answer_.pin, VELMORABLE_EVTSTR_NARROW);
      }
      params[3] = self->answer_.accept;
    }
    return Sink::Call(&self->sink_, id, count, params, cbparams);
  }

  SimPeripheral& AddServer(uint32_t pairing_kind = DevicePairingKinds::ConfirmOnly, bool paired = false) {
    server_.address = kAddress;
    server_.name = u"Thermometer";
    server_.pairing_kind = pairing_kind;
    server_.pin = u"123456";
    server_.paired = paired;
    bt::sim::SimService battery;
    battery.handle = 0x0010;
    battery.uuid = bt::BluetoothBaseUuid(0x180F);
    server_.gatt.services = {battery};
    radio_->AddPeripheral(server_);
    return server_;
  }
  int Connect(const char* id = kId) { return Do(VELMORABLE_METHOD_CONNECT, id); }
  int Disconnect() { return Do(VELMORABLE_METHOD_DISCONNECT); }
  // Connected and Disconnected events as "status description".
  std::vector<std::string> Statuses(int32_t event) {
    std::vector<std::string> seen;
    for (const Event& e : sink_.Of(event)) seen.push_back(std::to_string(e.Int(0)) + " " + e.Text(1));
    return seen;
  }
  std::vector<std::string> Logs() {
    std::vector<std::string> seen;
    for (const Event& e : sink_.Of(VELMORABLE_EVENT_LOG)) {
      seen.push_back(std::to_string(e.Int(0)) + " " + e.Text(2) + ": " + e.Text(1));
    }
    return seen;
  }
  // Property gives a text property, or an int property as its decimal text.
  std::string Property(int32_t id) {
    const intptr_t value = VelmoraBLE_BLEClient_Get(handle_, id, 0);
    if (id == VELMORABLE_PROP_SERVICE_COUNT) return std::to_string(value);
    return value != 0 ? reinterpret_cast<const char*>(value) : "(null)";
  }
  bool IsConnected() { return Engine().RequireConnection() == 0; }
  // AddHeldServicesToTree puts the held device's services into the GATT tree, as discovery would.
  void AddHeldServicesToTree() {
    const std::shared_ptr<bt::BluetoothLEDevice> device = Engine().HeldDevice();
    ASSERT_NE(device, nullptr);
    const auto result =
        AwaitServicesResult(Engine(), device->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
    ASSERT_NE(result, nullptr);
    for (const auto& service : result->Services()) {
      core::Buffer id;
      ASSERT_EQ(Engine().BuildObjectId(service->AttributeHandle(), 0, 0, id), 0);
      std::shared_ptr<GattServiceRecord> record;
      bool added = false;
      ASSERT_EQ(Engine().AddServiceToTree(Engine().TreeGeneration(), GattObjectRef::FromService(service), id.Data(), &record, &added), 0);
    }
  }

  SimPeripheral server_;
  PairingAnswer answer_;
  std::vector<std::string> offered_pins_;
};

// ---- Connect and Disconnect --------------------------------------------------------------------------------

TEST_F(Connection, AddressWithoutDeviceFailsWith604) {
  EXPECT_EQ(Connect(kId), kConnectionFailed);
  const std::string text = "Connection to server ID 0011223344AA was unsuccessful.";
  EXPECT_EQ(LastError(), text);
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_CONNECTED), std::vector<std::string>{"604 " + text});
  EXPECT_EQ(Logs(), std::vector<std::string>{"1 Connection: " + text});
  EXPECT_FALSE(IsConnected());
}

TEST_F(Connection, WithoutALowEnergyAdapterTheDeviceIsNotFound) {
  AddServer();
  for (const SimAdapter adapter : {SimAdapter::kAbsent, SimAdapter::kNoLowEnergy}) {
    radio_->SetAdapter(adapter);
    EXPECT_EQ(Connect(kId), kConnectionFailed);
    EXPECT_FALSE(IsConnected());
  }
}

TEST_F(Connection, TrimmedIdConnectsOnceWhileABlankOrTheSameIdInAnyCaseIsSilent) {
  AddServer();
  EXPECT_EQ(Connect(nullptr), 0);
  EXPECT_EQ(Connect("    "), 0);
  EXPECT_TRUE(sink_.Events().empty());
  EXPECT_EQ(Connect("  0011223344aa  "), 0);
  ASSERT_EQ(radio_->CallCount(kFromAddress), 1u);
  EXPECT_EQ(radio_->LastCall(kFromAddress)->address, kAddress);
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_CONNECTED), std::vector<std::string>{"0 OK"});
  EXPECT_EQ(Logs(), std::vector<std::string>{"1 Connection: Successfully connected to server ID 0011223344aa."});
  EXPECT_EQ(Property(VELMORABLE_PROP_SERVER_ID), kId);
  EXPECT_EQ(Property(VELMORABLE_PROP_SERVER_NAME), "Thermometer");
  EXPECT_TRUE(IsConnected());

  sink_.Clear();
  EXPECT_EQ(Connect("0011223344AA"), 0);
  EXPECT_EQ(Connect(" 0011223344aA"), 0);
  EXPECT_TRUE(sink_.Events().empty());
  EXPECT_EQ(radio_->CallCount(kFromAddress), 1u);
}

TEST_F(Connection, IdThatIsNotTwelveHexDigitsIsRefusedWithoutDialling) {
  AddServer();
  ASSERT_EQ(Connect(), 0);
  sink_.Clear();
  for (const char* bad : {"hello world!", "0011", "0011223344AAB", "00112233 44AA", "0011223344AG"}) {
    EXPECT_EQ(Connect(bad), kInvalidArgument) << bad;
    EXPECT_EQ(LastError(), std::string("Invalid server ID \"") + bad + "\".");
  }
  // The connection is untouched: nothing was torn down or dialled.
  EXPECT_TRUE(sink_.Events().empty());
  EXPECT_EQ(radio_->CallCount(kFromAddress), 1u);
  EXPECT_TRUE(IsConnected());
}

TEST_F(Connection, ParseBluetoothAddressStopsAtTheEndOfAShortText) {
  uint64_t address = 0;
  EXPECT_EQ(ParseBluetoothAddress("C0FFEE", &address), 0);
  EXPECT_EQ(address, 0xC0FFEEFFFFFFu);
  address = 0;
  EXPECT_EQ(ParseBluetoothAddress("00112g3344AA", &address), 0);
  EXPECT_EQ(address, 0x0011FF3344AAu);
}

TEST_F(Connection, StoppedLookupReturns301WithoutEvents) {
  AddServer();
  radio_->AddFault({.op = SimOp::kFromAddress, .hold = true});
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_FAILS_WITH(Connect(), 301, "Timeout.");
  EXPECT_TRUE(sink_.Events().empty());
  radio_->ReleaseAll();
}

TEST_F(Connection, ConnectStopsScanningFirst) {
  AddServer();
  ASSERT_EQ(StartScanning(), 0);
  ASSERT_TRUE(ScanningProperty());
  EXPECT_EQ(Connect(), 0);
  EXPECT_FALSE(ScanningProperty());
}

TEST_F(Connection, DisconnectFiresDisconnectedAndDropsTheDevice) {
  AddServer();
  EXPECT_EQ(Disconnect(), 0);  // nothing held: silent
  EXPECT_TRUE(sink_.Events().empty());

  ASSERT_EQ(Connect(), 0);
  AddHeldServicesToTree();
  ASSERT_EQ(Engine().ServiceCount(), 1);
  ASSERT_EQ(Engine().Subscriptions().Set("000100020000", true), 0);
  sink_.Clear();
  EXPECT_EQ(Disconnect(), 0);
  EXPECT_EQ(Engine().Subscriptions().Count(), 0);  // listed subscription states go with the connection
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_DISCONNECTED), std::vector<std::string>{"0 OK"});
  EXPECT_EQ(Logs(), (std::vector<std::string>{"1 Connection: Disconnecting from server ID 0011223344AA.",
                                              "1 Connection: Disconnected from server ID 0011223344AA."}));
  EXPECT_EQ(Property(VELMORABLE_PROP_SERVER_ID), "");
  EXPECT_EQ(Property(VELMORABLE_PROP_SERVICE_COUNT), "0");
  EXPECT_FALSE(IsConnected());
  // No bond was made by this connection, so none is removed.
  EXPECT_EQ(radio_->CallCount(kUnpair), 0u);
}

// ---- Pairing -----------------------------------------------------------------------------------------------

class Pairing : public Connection {
 protected:
  void SetUp() override {
    Connection::SetUp();
    ASSERT_EQ(Config("PairingMode=1"), 0);
  }
  std::vector<Event> Requests() { return sink_.Of(VELMORABLE_EVENT_PAIRING_REQUEST); }
  std::string PairingFailure(const char* status) {
    return std::string("Connection to server ID 0011223344AA was unsuccessful, status ") + status + ".";
  }
};

TEST_F(Pairing, ConfirmOnlyIsAcceptedAndTheRequestCarriesTheServerId) {
  AddServer(DevicePairingKinds::ConfirmOnly);
  EXPECT_EQ(Connect(), 0);
  EXPECT_EQ(radio_->LastCall("DeviceInformationCustomPairing.PairAsync")->mode, 15);
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Text(0), kId);
  EXPECT_EQ(requests[0].Int(1), 1);
  EXPECT_EQ(radio_->CallCount("DevicePairingRequestedEventArgs.Accept"), 1u);
  EXPECT_TRUE(radio_->IsPaired(kAddress));
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_CONNECTED), std::vector<std::string>{"0 OK"});

  // The bond made by this connection is removed again.
  EXPECT_EQ(Disconnect(), 0);
  EXPECT_EQ(radio_->CallCount(kUnpair), 1u);
  EXPECT_FALSE(radio_->IsPaired(kAddress));
}

TEST_F(Pairing, ConfirmPinMatchAndDisplayPinOfferThePinAndAreAccepted) {
  for (uint32_t kind : {DevicePairingKinds::ConfirmPinMatch, DevicePairingKinds::DisplayPin}) {
    SCOPED_TRACE(kind);
    offered_pins_.clear();
    sink_.Clear();
    AddServer(kind);
    EXPECT_EQ(Connect(), 0);
    EXPECT_EQ(offered_pins_, std::vector<std::string>{"123456"});
    EXPECT_EQ(static_cast<uint32_t>(Requests().at(0).Int(1)), kind);
    EXPECT_TRUE(radio_->IsPaired(kAddress));
    EXPECT_EQ(Disconnect(), 0);
  }
  EXPECT_EQ(radio_->CallCount("DevicePairingRequestedEventArgs.Accept"), 2u);
}

TEST_F(Pairing, ProvidePinAnswersWithThePinTheSinkWrites) {
  AddServer(DevicePairingKinds::ProvidePin);
  answer_.pin = "123456";
  EXPECT_EQ(Connect(), 0);
  EXPECT_EQ(offered_pins_, std::vector<std::string>{""});
  ASSERT_TRUE(radio_->LastCall("DevicePairingRequestedEventArgs.AcceptWithPin").has_value());
  EXPECT_EQ(radio_->LastCall("DevicePairingRequestedEventArgs.AcceptWithPin")->text, u"123456");
  EXPECT_EQ(radio_->CallCount("DevicePairingRequestedEventArgs.Accept"), 0u);
  EXPECT_TRUE(IsConnected());
}

TEST_F(Pairing, WrongPinFailsWithTheStatusName) {
  AddServer(DevicePairingKinds::ProvidePin);
  answer_.pin = "000000";
  EXPECT_FAILS_WITH(Connect(), kConnectionFailed, PairingFailure("AuthenticationFailure"));
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_CONNECTED), std::vector<std::string>{"604 " + PairingFailure("AuthenticationFailure")});
  EXPECT_FALSE(IsConnected());
  EXPECT_EQ(Property(VELMORABLE_PROP_SERVER_ID), "");  // the device held for the pairing is released
}

TEST_F(Pairing, UnansweredRequestsFail) {
  // Refused by the sink.
  AddServer(DevicePairingKinds::ConfirmOnly);
  answer_.accept = 0;
  EXPECT_FAILS_WITH(Connect(), kConnectionFailed, PairingFailure("RejectedByHandler"));
  EXPECT_EQ(radio_->CallCount("DevicePairingRequestedEventArgs.Accept"), 0u);

  // Accepted, but ProvidePin without a PIN gives no answer either.
  AddServer(DevicePairingKinds::ProvidePin);
  answer_ = {1, ""};
  EXPECT_FAILS_WITH(Connect(), kConnectionFailed, PairingFailure("RejectedByHandler"));
  EXPECT_EQ(radio_->CallCount("DevicePairingRequestedEventArgs.AcceptWithPin"), 0u);

}

TEST_F(Pairing, AlreadyPairedConnectsAndKeepsTheOutsideBond) {
  AddServer(DevicePairingKinds::ConfirmOnly, /*paired=*/true);
  EXPECT_EQ(Connect(), 0);
  EXPECT_TRUE(Requests().empty());
  EXPECT_TRUE(IsConnected());
  EXPECT_EQ(Disconnect(), 0);
  EXPECT_EQ(radio_->CallCount(kUnpair), 0u);
  EXPECT_TRUE(radio_->IsPaired(kAddress));
}

TEST_F(Pairing, WithoutCanPairOrInModeZeroNoPairingRuns) {
  server_.can_pair = false;
  AddServer();
  EXPECT_EQ(Connect(), 0);
  EXPECT_EQ(Disconnect(), 0);
  ASSERT_EQ(Config("PairingMode=0"), 0);
  server_.can_pair = true;
  AddServer();
  EXPECT_EQ(Connect(), 0);
  EXPECT_EQ(radio_->CallCount("DeviceInformationCustomPairing.PairAsync"), 0u);
  EXPECT_FALSE(radio_->IsPaired(kAddress));
}

TEST_F(Pairing, PlatformFailureDuringPairingReleasesTheDevice) {
  AddServer(DevicePairingKinds::ConfirmOnly);
  radio_->FailCall("DeviceInformationPairing.Custom", static_cast<int32_t>(0x80004005u));
  EXPECT_FAILS_WITH(Connect(), 610, "Platform error 0x80004005.");
  EXPECT_EQ(Property(VELMORABLE_PROP_SERVER_ID), "");
  EXPECT_FALSE(IsConnected());
  // Nothing is left half-connected: the next Connect dials afresh and succeeds.
  EXPECT_EQ(Connect(), 0);
  EXPECT_EQ(radio_->CallCount(kFromAddress), 2u);
}

// The platform fails Connect as it puts the link's status handler in place (610): the failed Connect holds
// nothing, and the next Connect tells no Disconnected of a connection that was never told Connected.
TEST_F(Connection, AConnectThatFailsAsItWatchesTheLinkHoldsNothing) {
  AddServer();
  radio_->FailCall("BluetoothLEDevice.AddConnectionStatusChanged", static_cast<int32_t>(0x80004005u));
  EXPECT_FAILS_WITH(Connect(), 610, "Platform error 0x80004005.");
  EXPECT_EQ(Property(VELMORABLE_PROP_SERVER_ID), "");
  EXPECT_FALSE(IsConnected());
  EXPECT_EQ(Connect(), 0) << LastError();
  radio_->WaitIdle();
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_DISCONNECTED), std::vector<std::string>{});
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_CONNECTED), std::vector<std::string>{"0 OK"});
}

TEST_F(Pairing, StatusNames) {
  EXPECT_STREQ(BLEClientEngine::FormatPairingStatus(0), "Paired");
  EXPECT_STREQ(BLEClientEngine::FormatPairingStatus(3), "AlreadyPaired");
  EXPECT_STREQ(BLEClientEngine::FormatPairingStatus(19), "Failed");
  EXPECT_STREQ(BLEClientEngine::FormatPairingStatus(20), "Unknow");
  EXPECT_STREQ(BLEClientEngine::FormatPairingStatus(-1), "Unknow");
}

// ---- Changes reported by the device ------------------------------------------------------------------------

class DeviceChanges : public Connection {
 protected:
  void SetUp() override {
    Connection::SetUp();
    AddServer();
    ASSERT_EQ(Connect(), 0);
    sink_.Clear();
  }
  std::vector<std::string> Updates() {
    std::vector<std::string> seen;
    for (const Event& e : sink_.Of(VELMORABLE_EVENT_SERVER_UPDATE)) seen.push_back(e.Text(0) + "|" + e.Text(1));
    return seen;
  }
  // KeptDeviceObject holds the server's device object, which makes the platform hand out that same object on
  // the next lookup.
  std::shared_ptr<bt::BluetoothLEDevice> KeptDeviceObject() {
    std::shared_ptr<bt::BluetoothLEDevice> kept;
    radio_->FromBluetoothAddressAsync(kAddress)->SetCompleted(
        [&](bt::AsyncOperation<bt::BluetoothLEDevice>& op, bt::AsyncStatus) { kept = op.GetResults(); });
    radio_->WaitIdle();
    return kept;
  }
};

TEST_F(DeviceChanges, LinkDropAndReturnAreReportedOnceEach) {
  ASSERT_EQ(Config("LogLevel=3"), 0);
  radio_->SetLink(kAddress, false);
  radio_->WaitIdle();
  radio_->FireConnectionStatusChanged(kAddress);
  radio_->WaitIdle();
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_DISCONNECTED), std::vector<std::string>{"0 Offline"});
  EXPECT_FALSE(IsConnected());
  radio_->SetLink(kAddress, true);
  radio_->WaitIdle();
  radio_->FireConnectionStatusChanged(kAddress);
  radio_->WaitIdle();
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_CONNECTED), std::vector<std::string>{"0 Online"});
  EXPECT_TRUE(IsConnected());
  const auto logs = Logs();
  ASSERT_FALSE(logs.empty());
  EXPECT_EQ(logs.front(), "3 Debug: System updated device connection status to \"Disconnected\".");
}

TEST_F(DeviceChanges, ConnectAfterADropGoesThroughDisconnect) {
  radio_->SetLink(kAddress, false);
  radio_->WaitIdle();
  ASSERT_EQ(Statuses(VELMORABLE_EVENT_DISCONNECTED), std::vector<std::string>{"0 Offline"});
  sink_.Clear();
  // The same id no longer counts as connected: the old device is dropped and the server dialled again.
  EXPECT_EQ(Connect(), 0);
  EXPECT_EQ(radio_->CallCount(kFromAddress), 2u);
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_DISCONNECTED), std::vector<std::string>{"0 OK"});
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_CONNECTED), std::vector<std::string>{"0 OK"});
  EXPECT_TRUE(IsConnected());
}

TEST_F(DeviceChanges, NameAndServicesChangesFireServerUpdate) {
  ASSERT_EQ(Config("LogLevel=2"), 0);
  radio_->SetName(kAddress, u"Thermo 2");
  radio_->WaitIdle();
  radio_->FireServicesChanged(kAddress);
  radio_->WaitIdle();
  EXPECT_EQ(Updates(), (std::vector<std::string>{"Thermo 2|", "|GattServicesChanged"}));
  EXPECT_EQ(Logs(), (std::vector<std::string>{"2 Verbose: Server's name has changed to Thermo 2.",
                                              "2 Verbose: Server's services have changed."}));

  // Once the device is dropped its handlers stay registered but report nothing.
  ASSERT_EQ(Disconnect(), 0);
  sink_.Clear();
  radio_->SetName(kAddress, u"Thermo 3");
  radio_->WaitIdle();
  EXPECT_TRUE(sink_.Events().empty());
}

TEST_F(DeviceChanges, ReconnectingToTheSameDeviceObjectAddsNoSecondHandler) {
  const std::shared_ptr<bt::BluetoothLEDevice> kept = KeptDeviceObject();
  ASSERT_NE(kept, nullptr);
  ASSERT_EQ(Disconnect(), 0);
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(radio_->HandlerCount(kAddress, SimEvent::kNameChanged), 1u);
  EXPECT_EQ(radio_->HandlerCount(kAddress, SimEvent::kConnectionStatusChanged), 1u);
  sink_.Clear();
  radio_->SetName(kAddress, u"Once");
  radio_->WaitIdle();
  EXPECT_EQ(Updates(), std::vector<std::string>{"Once|"});
}

// A sink that connects again whenever a connection ends does so also from the Disconnected of the connection
// that the application's Connect to another server ends first: that Connect is overtaken (608, no Connected),
// and the sink's connection stays, to be ended by the next Disconnect.
TEST_F(DeviceChanges, AConnectOvertakenByItsSinksReconnectLeavesTheSinksConnection) {
  constexpr uint64_t kOther = 0x0011223344BB;
  SimPeripheral other = server_;
  other.address = kOther;
  radio_->AddPeripheral(other);
  int reconnected = -1;
  bool armed = true;
  sink_.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_DISCONNECTED && std::exchange(armed, false)) reconnected = Connect();
  };
  EXPECT_EQ(Connect("0011223344BB"), 608) << LastError();
  EXPECT_EQ(reconnected, 0);
  EXPECT_EQ(Property(VELMORABLE_PROP_SERVER_ID), kId);
  EXPECT_TRUE(IsConnected());
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_DISCONNECTED), std::vector<std::string>{"0 OK"});
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_CONNECTED), std::vector<std::string>{"0 OK"});
  EXPECT_EQ(radio_->CallCount(kFromAddress), 2u);  // the other server was never dialled
  ASSERT_EQ(Disconnect(), 0);
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_DISCONNECTED), (std::vector<std::string>{"0 OK", "0 OK"}));
}

// The link of a server connected before (its status handler stays on the device object) drops while the next
// Connect to it sets the connection up: once Connected has told of the connection, Disconnected tells of its
// loss.
TEST_F(DeviceChanges, ALinkLostWhileConnectIsUnderWayIsReportedAfterConnected) {
  const std::shared_ptr<bt::BluetoothLEDevice> kept = KeptDeviceObject();
  ASSERT_NE(kept, nullptr);
  ASSERT_EQ(Disconnect(), 0);
  sink_.Clear();
  bool armed = true;
  sink_.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind("Successfully connected", 0) == 0 &&
        std::exchange(armed, false)) {
      radio_->SetLink(kAddress, false);
      radio_->WaitIdle();
    }
  };
  ASSERT_EQ(Connect(), 0) << LastError();
  EXPECT_FALSE(armed);
  std::vector<std::string> links;
  for (const Event& event : sink_.Events()) {
    if (event.id == VELMORABLE_EVENT_CONNECTED) links.push_back("C " + event.Text(1));
    if (event.id == VELMORABLE_EVENT_DISCONNECTED) links.push_back("D " + event.Text(1));
  }
  EXPECT_EQ(links, (std::vector<std::string>{"C OK", "D Offline"}));
  EXPECT_FALSE(IsConnected());
}

// A first connection to the server (a device object no Connect has held before): its Connected sink discovers,
// as a program that sets the connection up from Connected does, and the link drops just before. The loss is
// told at once (Disconnected "Offline"), as for a link lost after Connect, so the discovery finds the client
// not connected (605), and the client stays so.
TEST_F(Connection, ALinkLostInsideTheFirstConnectsConnectedIsReported) {
  AddServer();
  int discovered = -1;
  bool armed = true;
  sink_.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_CONNECTED || event.Text(1) != "OK" || !std::exchange(armed, false)) return;
    radio_->SetLink(kAddress, false);
    radio_->WaitIdle();
    discovered = Call(VELMORABLE_METHOD_DISCOVER_SERVICES, {Text(""), Text("")});
  };
  ASSERT_EQ(Connect(), 0) << LastError();
  EXPECT_FALSE(armed);
  EXPECT_EQ(discovered, 605);
  radio_->WaitIdle();
  EXPECT_EQ(Statuses(VELMORABLE_EVENT_DISCONNECTED), std::vector<std::string>{"0 Offline"});
  EXPECT_FALSE(IsConnected());
}

// The pairing bonds the device, then a platform failure fails the Connect (610): no Disconnect follows a failed
// Connect, so its bond goes too.
TEST_F(Pairing, AConnectThatFailsAfterItsPairingLeavesNoBond) {
  AddServer(DevicePairingKinds::ConfirmOnly);
  radio_->FailCall("BluetoothLEDevice.AddNameChanged", static_cast<int32_t>(0x80004005u));
  EXPECT_EQ(Connect(), 610) << LastError();
  EXPECT_FALSE(IsConnected());
  radio_->WaitIdle();
  EXPECT_FALSE(radio_->IsPaired(kAddress));
}

}  // namespace
}  // namespace velmora::ble::testing
