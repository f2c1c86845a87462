// Writing, posting and subscribing through the exported interface against the simulated radio: the writes
// and their events in order, the argument checks, GATT refusals, the CCCD value chosen for a subscription,
// the subscription states, every form of Unsubscribe, and the characteristic user description.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ble/ble_client.h"
#include "ble/ble_client_engine.h"
#include "tests/ble/scan_test_util.h"

namespace velmora::ble::testing {
namespace {

using bt::sim::SimFault;
using bt::sim::SimOp;
using Strings = std::vector<std::string>;

constexpr uint64_t kAddress = 0x00A1B2C3D4E5;
constexpr const char kServerId[] = "00A1B2C3D4E5";
constexpr const char kBattery[] = "000100000000";
constexpr const char kLevel[] = "000100030000";       // Read|Write|Notify, CCCD 0x0004, user description 0x0005
constexpr const char kLevelCccd[] = "000100030004";
constexpr const char kLevelUserDescription[] = "000100030005";
constexpr const char kBoth[] = "000100070000";        // Notify|Indicate|WriteWithoutResponse, CCCD 0x0008
constexpr const char kIndicateOnly[] = "000100090000";  // Indicate, CCCD 0x000A
constexpr const char kReadOnly[] = "0001000B0000";
constexpr const char kNamed[] = "0001000D0000";       // Write|WritableAuxiliaries, user description 0x000E
constexpr const char kUnnamed[] = "0001000F0000";     // WritableAuxiliaries without a user description
constexpr const char kCustom[] = "002000000000";
constexpr const char kCustomPush[] = "002000220000";  // Notify, CCCD 0x0023

constexpr const char kWriteApi[] = "GattCharacteristic.WriteValueWithResultAndOptionAsync";
constexpr const char kCccdApi[] = "GattCharacteristic.WriteClientCharacteristicConfigurationDescriptorWithResultAsync";
constexpr const char kDescriptorWriteApi[] = "GattDescriptor.WriteValueWithResultAsync";

void AddCccd(bt::sim::SimCharacteristic& characteristic, uint16_t handle) {
  characteristic.descriptors.push_back({handle, bt::BluetoothBaseUuid(0x2902), {0, 0}});
}

class Writing : public ScanFixture {
 protected:
  void SetUp() override {
    ScanFixture::SetUp();
    using P = bt::GattCharacteristicProperties;
    bt::sim::SimPeripheral server;
    server.address = kAddress;
    server.name = u"Gauge";
    server.pairing_kind = bt::DevicePairingKinds::None;
    bt::sim::SimService battery = Service(0x0001, 0x180F);
    auto level = Characteristic(0x0003, 0x2A19, P::Read | P::Write | P::Notify);
    AddCccd(level, 0x0004);
    level.descriptors.push_back({0x0005, bt::BluetoothBaseUuid(0x2901), {'L', 'v'}});
    auto both = Characteristic(0x0007, 0xFFF1, P::Notify | P::Indicate | P::WriteWithoutResponse);
    AddCccd(both, 0x0008);
    auto indicate_only = Characteristic(0x0009, 0xFFF2, P::Indicate);
    AddCccd(indicate_only, 0x000A);
    auto named = Characteristic(0x000D, 0xFFF4, P::Write | P::WritableAuxiliaries);
    named.descriptors.push_back({0x000E, bt::BluetoothBaseUuid(0x2901), {'O', 'l', 'd'}});
    battery.characteristics = {level, both, indicate_only, Characteristic(0x000B, 0xFFF3, P::Read), named,
                               Characteristic(0x000F, 0xFFF5, P::WritableAuxiliaries)};
    bt::sim::SimService custom = Service(0x0020, 0xFFF0);
    auto push = Characteristic(0x0022, 0xFFF6, P::Notify);
    AddCccd(push, 0x0023);
    custom.characteristics = {push};
    server.gatt.services = {battery, custom};
    radio_->AddPeripheral(server);
    ASSERT_EQ(Do(VELMORABLE_METHOD_CONNECT, kServerId), 0);
    ASSERT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 0);
    sink_.Clear();
    radio_->ClearJournal();
  }

  static intptr_t Bytes(const std::vector<uint8_t>& bytes) { return reinterpret_cast<intptr_t>(bytes.data()); }

  int WriteValue(const char* service, const char* characteristic, const char* descriptor,
                 const std::vector<uint8_t>& value) {
    return Call(VELMORABLE_METHOD_WRITE_VALUE, {Text(service), Text(characteristic), Text(descriptor), Bytes(value)},
                {0, 0, 0, static_cast<int32_t>(value.size())});
  }
  int PostValue(const char* service, const char* characteristic, const std::vector<uint8_t>& value) {
    return Call(VELMORABLE_METHOD_POST_VALUE, {Text(service), Text(characteristic), Bytes(value)},
                {0, 0, static_cast<int32_t>(value.size())});
  }
  int Subscribe(const char* service, const char* characteristic) {
    return Call(VELMORABLE_METHOD_SUBSCRIBE, {Text(service), Text(characteristic)});
  }
  int Unsubscribe(const char* service, const char* characteristic) {
    return Call(VELMORABLE_METHOD_UNSUBSCRIBE, {Text(service), Text(characteristic)});
  }
  // ListState asks for the subscription state of the characteristic at index of the Battery service, which
  // lists it from then on.
  void ListState(int32_t index) {
    EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_SERVICE, 0, Text(kBattery)), 0);
    EXPECT_EQ(Call(VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, {index, -1}), 0);
  }
  // QueriedState asks for the subscription state of the characteristic at index of the Battery service and
  // returns it (-1 when the query fails).
  intptr_t QueriedState(int32_t index) {
    EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_SERVICE, 0, Text(kBattery)), 0);
    intptr_t params[2] = {index, -1};
    int32_t lengths[2] = {0, 0};
    if (VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, params, lengths) != 0) return -1;
    return params[1];
  }
  int SetUserDescription(int32_t index, const char* text) {
    EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_SERVICE, 0, Text(kBattery)), 0);
    return VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, index, Text(text));
  }
  void Set(const char* setting) { ASSERT_EQ(Config(setting), 0) << setting; }

  // Seen lists the events in order: Log lines as "<level> <type>: <message>", the others by name and ids.
  Strings Seen() {
    Strings seen;
    for (const Event& e : sink_.Events()) {
      switch (e.id) {
        case VELMORABLE_EVENT_LOG:
          seen.push_back(std::to_string(e.Int(0)) + " " + e.Text(2) + ": " + e.Text(1));
          break;
        case VELMORABLE_EVENT_SUBSCRIBED:
          seen.push_back("Subscribed " + e.Text(0) + "/" + e.Text(1));
          break;
        case VELMORABLE_EVENT_UNSUBSCRIBED:
          seen.push_back("Unsubscribed " + e.Text(0) + "/" + e.Text(1));
          break;
        case VELMORABLE_EVENT_WRITE_RESPONSE:
          seen.push_back("WriteResponse " + e.Text(0) + "/" + e.Text(1) + "/" + e.Text(2));
          break;
        default:
          seen.push_back("event " + std::to_string(e.id));
      }
    }
    return seen;
  }
  Strings NonLog() {
    Strings seen;
    for (const std::string& line : Seen()) {
      if (line[0] < '0' || line[0] > '9') seen.push_back(line);
    }
    return seen;
  }
  // CccdWrites lists the CCCD values written by the subscription calls, as "<handle>=<value>".
  Strings CccdWrites() {
    Strings seen;
    for (const auto& call : radio_->Journal()) {
      if (std::string(call.api) != kCccdApi) continue;
      seen.push_back(std::to_string(call.handle) + "=" + std::to_string(call.mode));
    }
    return seen;
  }
  void FailOnce(SimOp op, uint16_t handle, bool null_result, int protocol_error = 0) {
    SimFault fault;
    fault.op = op;
    fault.handle = handle;
    fault.times = 1;
    fault.null_result = null_result;
    if (!null_result) fault.protocol_error = protocol_error;
    radio_->AddFault(fault);
  }
};

// ---- Writing and posting ----------------------------------------------------------------------------------------

TEST_F(Writing, WriteValueWritesWithResponseAndFiresWriteResponseAfterItsLogLines) {
  ASSERT_EQ(WriteValue(kBattery, kLevel, "", {0x01, 0x02}), 0);
  EXPECT_EQ(radio_->DeviceValue(kAddress, 0x0003), (bt::Bytes{0x01, 0x02}));
  ASSERT_EQ(radio_->CallCount(kWriteApi), 1u);
  EXPECT_EQ(radio_->LastCall(kWriteApi)->mode, 0);  // with response
  EXPECT_EQ(Seen(), (Strings{"1 Write: Writing value to characteristic ID \"000100030000\".",
                             "1 Write: BLE Result Status: Success (Protocol Code: 0).",
                             "1 Write: Successfully wrote value to characteristic ID \"000100030000\".",
                             "WriteResponse 000100000000/000100030000/"}));
  const Event response = sink_.Of(VELMORABLE_EVENT_WRITE_RESPONSE).at(0);
  EXPECT_EQ(response.Text(3), "00002A19-0000-1000-8000-00805F9B34FB");
  EXPECT_EQ(response.Text(4), "Battery Level");

  // An empty value is written as a zero-length value.
  ASSERT_EQ(WriteValue(kBattery, kLevel, "", {}), 0);
  EXPECT_EQ(radio_->DeviceValue(kAddress, 0x0003), bt::Bytes{});
}

TEST_F(Writing, PostValueWritesWithoutResponseAndFiresNoEvent) {
  ASSERT_EQ(PostValue(kBattery, kBoth, {0x07}), 0);
  EXPECT_EQ(radio_->DeviceValue(kAddress, 0x0007), bt::Bytes{0x07});
  EXPECT_EQ(radio_->LastCall(kWriteApi)->mode, 1);  // without response
  EXPECT_EQ(Seen(), (Strings{"1 Write: Posting value to characteristic ID \"000100070000\".",
                             "1 Write: BLE Result Status: Success (Protocol Code: 0).",
                             "1 Write: Successfully posted value to characteristic ID \"000100070000\"."}));
}

TEST_F(Writing, RefusedWritesGive703AndNoSuccessLineOrEvent) {
  const char* text = "Protocol error returned during communication: [3] {3}. Write not permitted.";
  EXPECT_FAILS_WITH(WriteValue(kBattery, kReadOnly, "", {0x01}), 703, text);
  EXPECT_EQ(PostValue(kBattery, kLevel, {0x01}), 703);  // Write, but not WriteWithoutResponse
  EXPECT_EQ(LastError(), text);
  EXPECT_TRUE(NonLog().empty());
  for (const std::string& line : Seen()) EXPECT_EQ(line.find("Successfully"), std::string::npos) << line;
  EXPECT_EQ(radio_->DeviceValue(kAddress, 0x0003), bt::Bytes{0x2A});
}

TEST_F(Writing, ArgumentChecksComeBeforeAnyPlatformCall) {
  EXPECT_FAILS_WITH(WriteValue("", kLevel, "", {1}), 202, "Must supply a service ID.");
  EXPECT_FAILS_WITH(WriteValue(kBattery, "", "", {1}), 202, "Must supply a characteristic ID.");
  EXPECT_FAILS_WITH(WriteValue("000900000000", kLevel, "", {1}), 601,
                    "No service with the ID \"000900000000\" has been discovered.");
  EXPECT_EQ(WriteValue(kBattery, "000100990000", "", {1}), 601);
  EXPECT_EQ(LastError(),
            "No characteristic with the ID \"000100990000\" has been discovered for the service with ID "
            "\"000100000000\".");
  // A characteristic of another service is listed, but not found in this one.
  EXPECT_EQ(WriteValue(kCustom, kLevel, "", {1}), 601);

  EXPECT_FAILS_WITH(PostValue("", "", {1}), 202, "Must supply a characteristic ID.");
  EXPECT_FAILS_WITH(PostValue("", kBoth, {1}), 202, "Must supply a service ID.");
  EXPECT_FAILS_WITH(PostValue("000900000000", kBoth, {1}), 601,
                    "No service with the ID \"000900000000\" has been discovered.");

  EXPECT_FAILS_WITH(Subscribe("", kLevel), 601, "No service with the ID \"\" has been discovered.");
  EXPECT_FAILS_WITH(Unsubscribe("", kLevel), 202, "Must supply a service ID.");
  EXPECT_EQ(radio_->Journal().size(), 0u);

  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
  EXPECT_EQ(WriteValue(kBattery, kLevel, "", {1}), 605);
  EXPECT_EQ(PostValue(kBattery, kBoth, {1}), 605);
  EXPECT_EQ(Subscribe(kBattery, kLevel), 605);
  EXPECT_EQ(Unsubscribe("", ""), 605);
}

// A length that cannot describe the bytes given is refused before anything is sent; a null pointer with length
// 0 stays an empty value.
TEST_F(Writing, BytesAndALengthThatDoNotAgreeAreRefusedAndNothingIsWritten) {
  const std::vector<uint8_t> value = {0x01, 0x02};
  const struct {
    intptr_t bytes;
    int32_t length;
    const char* text;
  } cases[] = {
      {0, 5, "Must supply the value's bytes (length 5)."},
      {Bytes(value), -3, "Invalid value length -3."},
      {0, -1, "Invalid value length -1."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_FAILS_WITH(Call(VELMORABLE_METHOD_WRITE_VALUE, {Text(kBattery), Text(kLevel), Text(""), c.bytes},
                           {0, 0, 0, c.length}),
                      202, c.text);
    EXPECT_FAILS_WITH(Call(VELMORABLE_METHOD_WRITE_VALUE, {Text(kBattery), Text(kLevel), Text(kLevelUserDescription),
                                                           c.bytes},
                           {0, 0, 0, c.length}),
                      202, c.text);
    EXPECT_FAILS_WITH(Call(VELMORABLE_METHOD_POST_VALUE, {Text(kBattery), Text(kBoth), c.bytes}, {0, 0, c.length}), 202,
                      c.text);
  }
  EXPECT_EQ(radio_->Journal().size(), 0u);
  EXPECT_TRUE(sink_.Events().empty());
  EXPECT_EQ(radio_->DeviceValue(kAddress, 0x0003), bt::Bytes{0x2A});
  EXPECT_EQ(radio_->DeviceValue(kAddress, 0x0005), (bt::Bytes{'L', 'v'}));

  ASSERT_EQ(Call(VELMORABLE_METHOD_POST_VALUE, {Text(kBattery), Text(kBoth), 0}, {0, 0, 0}), 0);
  EXPECT_EQ(radio_->DeviceValue(kAddress, 0x0007), bt::Bytes{});
}

TEST_F(Writing, DescriptorWriteFiresWriteResponseWithTheDescriptorsNames) {
  ASSERT_EQ(WriteValue(kBattery, kLevel, kLevelUserDescription, {'N', 'e', 'w'}), 0);
  EXPECT_EQ(radio_->LastCall(kDescriptorWriteApi)->bytes, (bt::Bytes{'N', 'e', 'w'}));
  EXPECT_EQ(NonLog(), (Strings{"WriteResponse 000100000000/000100030000/000100030005"}));
  const Event response = sink_.Of(VELMORABLE_EVENT_WRITE_RESPONSE).at(0);
  EXPECT_EQ(response.Text(3), "00002901-0000-1000-8000-00805F9B34FB");
  // A descriptor of another characteristic is not found.
  EXPECT_EQ(WriteValue(kBattery, kBoth, kLevelUserDescription, {1}), 601);
}

// ---- Subscribing ---------------------------------------------------------------------------------------------------

TEST_F(Writing, SubscribeWritesTheCccdFiresSubscribedAndValuesThenArrive) {
  ASSERT_EQ(Subscribe(kBattery, kLevel), 0);
  EXPECT_EQ(CccdWrites(), Strings{"3=1"});
  EXPECT_EQ(radio_->CccdValue(kAddress, 0x0003), 1);
  // The properties are loaded first (a Debug request for descriptor 2900); then come the subscription lines.
  Strings seen = Seen();
  ASSERT_GE(seen.size(), 4u);
  seen.erase(seen.begin(), seen.end() - 4);
  EXPECT_EQ(seen, (Strings{"1 Subscriptions: Subscribing to characteristic ID \"000100030000\".",
                             "1 Subscriptions: BLE Result Status: Success (Protocol Code: 0).",
                             "1 Subscriptions: Successfully subscribed to characteristic ID \"000100030000\".",
                             "Subscribed 000100000000/000100030000"}));
  const Event subscribed = sink_.Of(VELMORABLE_EVENT_SUBSCRIBED).at(0);
  EXPECT_EQ(subscribed.Text(2), "00002A19-0000-1000-8000-00805F9B34FB");
  EXPECT_EQ(subscribed.Text(3), "Battery Level");

  EXPECT_EQ(radio_->Notify(kAddress, 0x0003, {0x40}), 1u);
  EXPECT_EQ(radio_->Notify(kAddress, 0x0003, {0x41}), 1u);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_VALUE, 2));
  const std::vector<Event> values = sink_.Of(VELMORABLE_EVENT_VALUE);
  EXPECT_EQ(values[0].Text(0), kBattery);
  EXPECT_EQ(values[0].Text(1), kLevel);
  EXPECT_EQ(values[0].Text(5), "\x40");
  EXPECT_EQ(values[1].Text(5), "\x41");
}

TEST_F(Writing, CccdValueFollowsTheFlagsAndPreferIndications) {
  ASSERT_EQ(Subscribe(kBattery, kIndicateOnly), 0);
  ASSERT_EQ(Subscribe(kBattery, kBoth), 0);
  ASSERT_EQ(Unsubscribe(kBattery, kBoth), 0);
  Set("PreferIndications=1");
  ASSERT_EQ(Subscribe(kBattery, kBoth), 0);
  ASSERT_EQ(Subscribe(kBattery, kLevel), 0);  // Notify only: PreferIndications cannot apply
  EXPECT_EQ(CccdWrites(), (Strings{"9=2", "7=1", "7=0", "7=2", "3=1"}));
  EXPECT_EQ(radio_->Indicate(kAddress, 0x0007, {0x05}), 1u);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_VALUE));
}

// A characteristic listed as subscribed is subscribed anew when PreferIndications asks for the other kind:
// the CCCD gets the new value, which is listed in turn, so switching back writes again and only a Subscribe
// that would write the listed value does nothing.
TEST_F(Writing, SubscribeWritesTheCccdAgainWhenPreferIndicationsChangedTheValue) {
  ASSERT_EQ(Subscribe(kBattery, kBoth), 0);
  Set("PreferIndications=1");
  ASSERT_EQ(Subscribe(kBattery, kBoth), 0);
  Set("PreferIndications=0");
  ASSERT_EQ(Subscribe(kBattery, kBoth), 0);
  ASSERT_EQ(Subscribe(kBattery, kBoth), 0);
  EXPECT_EQ(CccdWrites(), (Strings{"7=1", "7=2", "7=1"}));
  EXPECT_EQ(NonLog(), (Strings{"Subscribed 000100000000/000100070000", "Subscribed 000100000000/000100070000",
                               "Subscribed 000100000000/000100070000"}));
  EXPECT_EQ(radio_->Notify(kAddress, 0x0007, {0x05}), 1u);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_VALUE));
}

TEST_F(Writing, EachCallListsTheStateItLeftAndTheListedStateShortCircuits) {
  // Not listed: the call writes and fires, and lists Level as subscribed; the next one does nothing.
  ASSERT_EQ(Subscribe(kBattery, kLevel), 0);
  EXPECT_EQ(CccdWrites(), Strings{"3=1"});
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_SUBSCRIBED).size(), 1u);
  radio_->ClearJournal();
  sink_.Clear();
  ASSERT_EQ(Subscribe(kBattery, kLevel), 0);
  EXPECT_TRUE(radio_->Journal().empty());
  EXPECT_TRUE(sink_.Events().empty());

  ASSERT_EQ(Unsubscribe(kBattery, kLevel), 0);
  ASSERT_EQ(Unsubscribe(kBattery, kLevel), 0);  // now listed as "0"
  EXPECT_EQ(CccdWrites(), Strings{"3=0"});
  EXPECT_EQ(NonLog(), Strings{"Unsubscribed 000100000000/000100030000"});
}

TEST_F(Writing, FailedSubscriptionWriteChangesNoStateAndFiresNothing) {
  ListState(0);
  FailOnce(SimOp::kWriteCccd, 0x0003, false, 0x0E);
  radio_->ClearJournal();
  sink_.Clear();
  EXPECT_NE(Subscribe(kBattery, kLevel), 0);
  EXPECT_TRUE(NonLog().empty());
  // Still listed as not subscribed: the next call writes again.
  ASSERT_EQ(Subscribe(kBattery, kLevel), 0);
  EXPECT_EQ(CccdWrites().size(), 2u);
  EXPECT_EQ(NonLog(), Strings{"Subscribed 000100000000/000100030000"});
}

TEST_F(Writing, AQueryThePlatformFailsAtOnceSaysNotSubscribed) {
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_SERVICE, 0, Text(kBattery)), 0);
  radio_->FailCall("GattCharacteristic.ReadClientCharacteristicConfigurationDescriptorAsync", bt::kEFail);
  // One slot array reused over the characteristics: the state of the one before must not remain.
  intptr_t params[2] = {0, 1};
  int32_t lengths[2] = {0, 0};
  EXPECT_NE(VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, params, lengths), 0);
  EXPECT_EQ(params[1], 0);
}

TEST_F(Writing, ADeviceNotBondedStartsTheNextConnectionUnsubscribed) {
  ASSERT_EQ(Subscribe(kBattery, kLevel), 0);
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
  ASSERT_EQ(Do(VELMORABLE_METHOD_CONNECT, kServerId), 0);
  ASSERT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 0);
  EXPECT_EQ(QueriedState(0), 0);
}

// The device took the write, but its answer failed: the client holds no subscription, so the first query says
// so rather than the CCCD that the write turned on.
TEST_F(Writing, AFailedSubscribeLeavesNoSubscriptionToQuery) {
  SimFault fault;
  fault.op = SimOp::kWriteCccd;
  fault.handle = 0x0003;
  fault.results_hresult = bt::kEAccessDenied;
  radio_->AddFault(fault);
  EXPECT_NE(Subscribe(kBattery, kLevel), 0);
  EXPECT_EQ(QueriedState(0), 0);
  // Nothing is held: the next Subscribe writes again.
  ASSERT_EQ(Subscribe(kBattery, kLevel), 0);
  EXPECT_EQ(CccdWrites().size(), 2u);
}

// The application cuts the subscribed characteristic from the list (CharacteristicCount) and discovers it
// again: the subscription went with the cut record's object, so the state listed for it goes too. The query
// asks the device, and the next Subscribe subscribes again, after which values come.
TEST_F(Writing, ASubscribedCharacteristicCutFromTheListAndFoundAgainIsNotListedSubscribed) {
  ASSERT_EQ(Subscribe(kBattery, kLevel), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_SERVICE, 0, Text(kBattery)), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_CHARACTERISTIC_COUNT, 0, 0), 0);
  ASSERT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 0);
  EXPECT_EQ(QueriedState(0), 0);
  ASSERT_EQ(Subscribe(kBattery, kLevel), 0);
  EXPECT_EQ(radio_->Notify(kAddress, 0x0003, {0x40}), 1u);
  EXPECT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_VALUE, 1));
}

TEST_F(Writing, CharacteristicWithoutNotifyOrIndicateCannotBeSubscribedOrUnsubscribed) {
  const char* text = "A characteristic cannot be subscribed to unless it has the 'Notify' and/or 'Indicate' flag set.";
  EXPECT_FAILS_WITH(Subscribe(kBattery, kReadOnly), 602, text);
  EXPECT_FAILS_WITH(Unsubscribe(kBattery, kReadOnly), 602, text);
  EXPECT_TRUE(CccdWrites().empty());
}

// ---- Unsubscribing -------------------------------------------------------------------------------------------------

// Unsubscribe without a characteristic id ends the subscriptions that this client holds, in list order, and
// asks nothing for the characteristics it holds none of (kBoth here, and the other service's).
TEST_F(Writing, UnsubscribeWithAServiceIdEndsTheSubscriptionsThisClientHoldsInOrder) {
  ASSERT_EQ(Subscribe(kBattery, kIndicateOnly), 0);
  ASSERT_EQ(Subscribe(kBattery, kLevel), 0);
  ASSERT_EQ(Subscribe(kCustom, kCustomPush), 0);
  radio_->ClearJournal();
  sink_.Clear();
  ASSERT_EQ(Unsubscribe(kBattery, ""), 0);
  EXPECT_EQ(CccdWrites(), (Strings{"3=0", "9=0"}));
  EXPECT_EQ(NonLog(), (Strings{"Unsubscribed 000100000000/000100030000", "Unsubscribed 000100000000/000100090000"}));
  EXPECT_EQ(radio_->CccdValue(kAddress, 0x0022), 1);
  EXPECT_FAILS_WITH(Unsubscribe("000900000000", ""), 601,
                    "No service with the ID \"000900000000\" has been discovered.");
}

TEST_F(Writing, UnsubscribeWithoutIdsCoversEveryService) {
  ASSERT_EQ(Subscribe(kCustom, kCustomPush), 0);
  ASSERT_EQ(Subscribe(kBattery, kBoth), 0);
  radio_->ClearJournal();
  ASSERT_EQ(Unsubscribe(nullptr, nullptr), 0);
  EXPECT_EQ(CccdWrites(), (Strings{"7=0", "34=0"}));
  EXPECT_EQ(radio_->CccdValue(kAddress, 0x0022), 0);
  radio_->ClearJournal();
  ASSERT_EQ(Unsubscribe(nullptr, nullptr), 0);
  EXPECT_TRUE(CccdWrites().empty());
}

TEST_F(Writing, UnsubscribeWithoutIdsStopsAtTheFirstFailure) {
  ASSERT_EQ(Subscribe(kBattery, kLevel), 0);
  ASSERT_EQ(Subscribe(kBattery, kBoth), 0);
  ASSERT_EQ(Subscribe(kCustom, kCustomPush), 0);
  radio_->ClearJournal();
  FailOnce(SimOp::kWriteCccd, 0x0007, false, 0x0E);
  const int rc = Unsubscribe("", "");
  EXPECT_EQ(rc, 714);
  EXPECT_EQ(VelmoraBLE_BLEClient_GetLastErrorCode(handle_), 714);
  // Level went first; nothing after the failing characteristic was written, in either service.
  EXPECT_EQ(CccdWrites(), (Strings{"3=0", "7=0"}));
}

// ---- CCCD written through WriteValue -----------------------------------------------------------------------------

TEST_F(Writing, CccdWriteThroughWriteValueFiresSubscribedBeforeWriteResponseOnChangeOnly) {
  ListState(0);  // listed as "0"
  sink_.Clear();
  ASSERT_EQ(WriteValue(kBattery, kLevel, kLevelCccd, {0x01, 0x00}), 0);
  EXPECT_EQ(radio_->CccdValue(kAddress, 0x0003), 1);
  const Strings seen = Seen();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[seen.size() - 3],
            "1 Subscriptions: Successfully subscribed to characteristic ID \"000100030000\".");
  EXPECT_EQ(NonLog(), (Strings{"Subscribed 000100000000/000100030000",
                               "WriteResponse 000100000000/000100030000/000100030004"}));

  sink_.Clear();
  ASSERT_EQ(WriteValue(kBattery, kLevel, kLevelCccd, {0x01, 0x00}), 0);
  EXPECT_EQ(NonLog(), Strings{"WriteResponse 000100000000/000100030000/000100030004"});

  // An empty value counts as not subscribed; Subscribe now writes again, as the listed state is "0".
  sink_.Clear();
  ASSERT_EQ(WriteValue(kBattery, kLevel, kLevelCccd, {}), 0);
  EXPECT_EQ(NonLog(), (Strings{"Unsubscribed 000100000000/000100030000",
                               "WriteResponse 000100000000/000100030000/000100030004"}));
  radio_->ClearJournal();
  ASSERT_EQ(Subscribe(kBattery, kLevel), 0);
  EXPECT_EQ(CccdWrites(), Strings{"3=1"});
}

// ---- Characteristic user description ------------------------------------------------------------------------------

TEST_F(Writing, UserDescriptionIsWrittenWithoutItsTerminator) {
  Set("LogLevel=3");
  sink_.Clear();
  ASSERT_EQ(SetUserDescription(4, "Gauge A"), 0);
  EXPECT_EQ(radio_->LastCall(kDescriptorWriteApi)->bytes, (bt::Bytes{'G', 'a', 'u', 'g', 'e', ' ', 'A'}));
  EXPECT_EQ(radio_->LastCall(kDescriptorWriteApi)->handle, 0x000E);
  const Strings seen = Seen();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[seen.size() - 3], "3 Debug: Writing new value to User Description descriptor.");
  EXPECT_EQ(seen.back(),
            "3 Debug: Successfully wrote new value to Characteristic User Description descriptor for characteristic "
            "ID \"0001000D0000\".");
  EXPECT_STREQ(reinterpret_cast<const char*>(
                   VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 4)),
               "Gauge A");
}

TEST_F(Writing, UserDescriptionNeedsWritableAuxiliariesAndTheDescriptor) {
  EXPECT_EQ(SetUserDescription(0, "x"), 602);
  EXPECT_EQ(LastError(),
            "A characteristic's user description cannot be changed unless it has the 'Writable Auxiliaries' flag "
            "set.");
  EXPECT_EQ(SetUserDescription(5, "x"), 611);
  EXPECT_EQ(LastError(),
            "Characteristic with ID \"" + std::string(kUnnamed) +
                "\" does not have a Characteristic User Description descriptor despite having the 'Writable "
                "Auxiliaries' flag set.");
  EXPECT_EQ(radio_->CallCount(kDescriptorWriteApi), 0u);
}

TEST_F(Writing, UserDescriptionWriteWithoutAResultIsAFailure) {
  FailOnce(SimOp::kWriteDescriptor, 0x000E, true);
  EXPECT_FAILS_WITH(SetUserDescription(4, "Gauge"), 606, "No result from the platform.");
  FailOnce(SimOp::kWriteDescriptor, 0x000E, false, 0x03);
  Set("LogLevel=3");
  sink_.Clear();
  EXPECT_EQ(SetUserDescription(4, "Gauge"), 703);
  EXPECT_EQ(Seen().back(),
            "3 Debug: Failed to write new value to Characteristic User Description descriptor for characteristic ID "
            "\"0001000D0000\".");
}

}  // namespace
}  // namespace velmora::ble::testing
