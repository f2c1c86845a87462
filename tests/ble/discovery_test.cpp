// Discovery through the exported interface against the simulated radio: the requests it makes, the tree it
// builds, the Discovered and Log events in their order, the automatic steps, included services and the
// failures of each step.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ble/ble_client.h"
#include "ble/ble_client_engine.h"
#include "ble/discovery.h"
#include "ble/gatt_result.h"
#include "tests/ble/scan_test_util.h"

namespace velmora::ble::testing {
namespace {

using bt::sim::SimEvent;
using bt::sim::SimFault;
using bt::sim::SimOp;
using Strings = std::vector<std::string>;

constexpr uint64_t kAddress = 0x00A1B2C3D4E5;
constexpr const char kServerId[] = "00A1B2C3D4E5";
// Battery (primary, includes Info), Info (secondary), Custom (primary).
constexpr const char kBattery[] = "000100000000";
constexpr const char kLevel[] = "000100030000";
constexpr const char kLevelUserDescription[] = "000100030005";
constexpr const char kBatteryPlain[] = "000100070000";
constexpr const char kInfo[] = "001000000000";
constexpr const char kCustom[] = "002000000000";

constexpr const char kRootAll[] = "BluetoothLEDevice.GetGattServicesWithCacheModeAsync";
constexpr const char kRootForUuid[] = "BluetoothLEDevice.GetGattServicesForUuidWithCacheModeAsync";
constexpr const char kIncludedAll[] = "GattDeviceService.GetIncludedServicesWithCacheModeAsync";
constexpr const char kCharacteristicsForUuid[] = "GattDeviceService.GetCharacteristicsForUuidWithCacheModeAsync";
constexpr const char kCharacteristicsAll[] = "GattDeviceService.GetCharacteristicsWithCacheModeAsync";
constexpr const char kDescriptorsAll[] = "GattCharacteristic.GetDescriptorsWithCacheModeAsync";
constexpr const char kDescriptorsForUuid[] = "GattCharacteristic.GetDescriptorsForUuidWithCacheModeAsync";

class Discovery : public ScanFixture {
 protected:
  // The server: Battery 0x0001 (includes Info; Level 0x0003 with CCCD 0x0004 and User Description 0x0005,
  // and 0x0007), Info 0x0010 (secondary; Model 0x0012) and Custom 0x0020 (0x0022).
  void SetUp() override {
    ScanFixture::SetUp();
    server_.address = kAddress;
    server_.name = u"Gauge";
    server_.pairing_kind = bt::DevicePairingKinds::None;
    bt::sim::SimService battery = Service(0x0001, 0x180F);
    battery.included = {0x0010};
    bt::sim::SimCharacteristic level = Characteristic(0x0003, 0x2A19, 0x12);
    level.descriptors.push_back({0x0004, bt::BluetoothBaseUuid(0x2902), {0, 0}});
    level.descriptors.push_back({0x0005, bt::BluetoothBaseUuid(0x2901), {'L', 'v'}});
    battery.characteristics = {level, Characteristic(0x0007, 0xFFF1)};
    bt::sim::SimService info = Service(0x0010, 0x180A, false);
    info.characteristics = {Characteristic(0x0012, 0x2A24)};
    bt::sim::SimService custom = Service(0x0020, 0xFFF0);
    custom.characteristics = {Characteristic(0x0022, 0xFFF2)};
    server_.gatt.services = {battery, info, custom};
  }

  // Start adds the server, connects and forgets what connecting reported.
  void Start() {
    radio_->AddPeripheral(server_);
    ASSERT_EQ(Do(VELMORABLE_METHOD_CONNECT, kServerId), 0);
    sink_.Clear();
    radio_->ClearJournal();
  }

  int DiscoverServices(const char* uuids, const char* service_id = "") {
    return Call(VELMORABLE_METHOD_DISCOVER_SERVICES, {Text(uuids), Text(service_id)});
  }
  int DiscoverCharacteristics(const char* service_id, const char* uuids = "") {
    return Call(VELMORABLE_METHOD_DISCOVER_CHARACTERISTICS, {Text(service_id), Text(uuids)});
  }
  int DiscoverDescriptors(const char* service_id, const char* characteristic_id) {
    return Call(VELMORABLE_METHOD_DISCOVER_DESCRIPTORS, {Text(service_id), Text(characteristic_id)});
  }
  int Discover(const char* service_uuids, const char* characteristic_uuids, int32_t include_descriptors,
               const char* service_id = "") {
    return Call(VELMORABLE_METHOD_DISCOVER,
                {Text(service_uuids), Text(characteristic_uuids), include_descriptors, Text(service_id)});
  }
  void Set(const std::string& setting) { ASSERT_EQ(Config(setting.c_str()), 0) << setting; }
  std::string Setting(const char* name) {
    std::string reply;
    EXPECT_EQ(Config(name, &reply), 0);
    return reply;
  }

  // Found lists the Discovered events as "kind service/characteristic/descriptor".
  Strings Found() {
    Strings seen;
    for (const Event& e : sink_.Of(VELMORABLE_EVENT_DISCOVERED)) {
      seen.push_back(std::to_string(e.Int(0)) + " " + e.Text(1) + "/" + e.Text(2) + "/" + e.Text(3));
    }
    return seen;
  }
  Strings Logs() {
    Strings seen;
    for (const Event& e : sink_.Of(VELMORABLE_EVENT_LOG)) {
      seen.push_back(std::to_string(e.Int(0)) + " " + e.Text(2) + ": " + e.Text(1));
    }
    return seen;
  }
  std::shared_ptr<GattServiceRecord> ServiceRecord(const char* id) {
    std::shared_ptr<GattServiceRecord> record;
    EXPECT_EQ(Engine().LookupService(id, &record), 0) << id;
    return record;
  }
  int64_t ModeOf(const char* api) {
    const auto call = radio_->LastCall(api);
    return call.has_value() ? call->mode : -1;
  }
  void Fail(SimOp op, uint16_t handle, int32_t status, std::optional<int> protocol_error = std::nullopt) {
    SimFault fault;
    fault.op = op;
    fault.handle = handle;
    fault.status = status;
    fault.protocol_error = protocol_error;
    fault.times = -1;
    radio_->AddFault(fault);
  }

  bt::sim::SimPeripheral server_;
};

constexpr int32_t kUnreachable = static_cast<int32_t>(bt::GattCommunicationStatus::Unreachable);
constexpr int32_t kProtocolError = static_cast<int32_t>(bt::GattCommunicationStatus::ProtocolError);

// ---- Services -----------------------------------------------------------------------------------------------

TEST_F(Discovery, AllRootServicesAreFoundOnceAndReportedAgainOnlyWithIncludeRediscovered) {
  Start();
  ASSERT_EQ(DiscoverServices(""), 0);
  EXPECT_EQ(Found(), (Strings{"0 000100000000//", "0 002000000000//"}));
  EXPECT_EQ(radio_->CallCount(kRootAll), 1u);
  EXPECT_EQ(ModeOf(kRootAll), 1);  // Uncached
  const Event first = sink_.Of(VELMORABLE_EVENT_DISCOVERED).at(0);
  EXPECT_EQ(first.Text(4), "0000180F-0000-1000-8000-00805F9B34FB");
  EXPECT_EQ(first.Text(5), "Battery Service");
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SERVICE_COUNT, 0), 2);

  sink_.Clear();
  ASSERT_EQ(DiscoverServices(""), 0);
  EXPECT_EQ(Found().size(), 2u);
  Set("IncludeRediscovered=0");
  sink_.Clear();
  ASSERT_EQ(DiscoverServices(""), 0);
  EXPECT_TRUE(Found().empty());
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SERVICE_COUNT, 0), 2);
}

TEST_F(Discovery, RootServicesLogTheirStepsInOrder) {
  Start();
  Set("LogLevel=3");
  sink_.Clear();
  ASSERT_EQ(DiscoverServices("180F,FFF0"), 0);
  EXPECT_EQ(Logs(), (Strings{
                        "1 Discovery: Beginning discovery of root services.",
                        "2 Discovery: Attempting to discover root services with UUID "
                        "\"0000180F-0000-1000-8000-00805F9B34FB\".",
                        "1 Discovery: BLE Result Status: Success (Protocol Code: 0).",
                        "3 Discovery: Discovered 1 root services with UUID \"0000180F-0000-1000-8000-00805F9B34FB\".",
                        "2 Discovery: Attempting to discover root services with UUID "
                        "\"0000FFF0-0000-1000-8000-00805F9B34FB\".",
                        "1 Discovery: BLE Result Status: Success (Protocol Code: 0).",
                        "3 Discovery: Discovered 1 root services with UUID \"0000FFF0-0000-1000-8000-00805F9B34FB\".",
                        "1 Discovery: Finished discovering root services.",
                        "2 Discovery: Discovered 2 root services.",
                    }));
  // One uncached request per filter UUID, none for all services.
  EXPECT_EQ(radio_->CallCount(kRootForUuid), 2u);
  EXPECT_EQ(radio_->CallCount(kRootAll), 0u);
  EXPECT_EQ(ModeOf(kRootForUuid), 1);
  EXPECT_EQ(radio_->LastCall(kRootForUuid)->uuid, bt::BluetoothBaseUuid(0xFFF0));
}

TEST_F(Discovery, ServiceReturnedForTwoFilterUuidsIsDiscoveredOnce) {
  // Two service declarations with one handle: both filter UUIDs return the same attribute.
  server_.gatt.services.push_back(Service(0x0001, 0x1801));
  Start();
  ASSERT_EQ(Discover("180F,1801", "", 0), 0);
  EXPECT_EQ(radio_->CallCount(kRootForUuid), 2u);
  EXPECT_EQ(Found(), (Strings{"0 000100000000//", "1 000100000000/000100030000/", "1 000100000000/000100070000/"}));
  EXPECT_EQ(radio_->CallCount(kCharacteristicsAll), 1u);
}

TEST_F(Discovery, BadFilterAndUnknownServiceFailBeforeAnyRequest) {
  Start();
  EXPECT_FAILS_WITH(DiscoverServices("180F,XYZ"), kUuidSizeError, kUuidSizeErrorText);
  EXPECT_FAILS_WITH(DiscoverServices("", "0BAD00000000"), kNotDiscovered,
                    "No service with the ID \"0BAD00000000\" has been discovered.");
  EXPECT_EQ(Discover("", "", 0, "0BAD00000000"), kNotDiscovered);
  EXPECT_EQ(DiscoverCharacteristics(""), kNotDiscovered);
  EXPECT_TRUE(radio_->Journal().empty());
}

// ---- Included services --------------------------------------------------------------------------------------

TEST_F(Discovery, IncludedServicesCarryTheirParentAndIncludedIds) {
  Start();
  ASSERT_EQ(DiscoverServices("180F"), 0);
  sink_.Clear();
  ASSERT_EQ(DiscoverServices("", kBattery), 0);
  EXPECT_EQ(Found(), Strings{"0 001000000000//"});
  EXPECT_EQ(ModeOf(kIncludedAll), 1);
  EXPECT_STREQ(ServiceRecord(kInfo)->GetParentSvcIdsText(), kBattery);
  EXPECT_STREQ(ServiceRecord(kBattery)->GetIncludedSvcIdsText(), kInfo);
  // Found again: the links are not doubled.
  ASSERT_EQ(DiscoverServices("", kBattery), 0);
  EXPECT_STREQ(ServiceRecord(kInfo)->GetParentSvcIdsText(), kBattery);
}

TEST_F(Discovery, ServiceIncludedByTwoSiblingsListsBothParents) {
  server_.gatt.services[2].included = {0x0010};
  Start();
  Set("AutoDiscoverIncludedServices=1");
  ASSERT_EQ(DiscoverServices(""), 0);
  EXPECT_EQ(Found(), (Strings{"0 000100000000//", "0 001000000000//", "0 002000000000//", "0 001000000000//"}));
  EXPECT_STREQ(ServiceRecord(kInfo)->GetParentSvcIdsText(), "000100000000,002000000000");
}

TEST_F(Discovery, CycleOfIncludedServicesGives609) {
  server_.gatt.services[1].included = {0x0001};
  Start();
  Set("AutoDiscoverIncludedServices=1");
  EXPECT_FAILS_WITH(DiscoverServices(""), kIncludedServiceCycle,
                    "A cycle of included services was detected: 000100000000 < 000100000000 < 001000000000");
  // Without the automatic step there is no path to check: each level is asked for once.
  Set("AutoDiscoverIncludedServices=0");
  EXPECT_EQ(DiscoverServices("", kInfo), 0);
}

TEST_F(Discovery, FailedIncludedDiscoveryLeavesNoFalseCycleBehind) {
  Start();
  Set("AutoDiscoverIncludedServices=1");
  Fail(SimOp::kIncludedServices, 0x0001, kUnreachable);
  EXPECT_EQ(Discover("", "", 0), kGattDeviceUnreachable);
  radio_->ClearFaults();
  sink_.Clear();
  EXPECT_EQ(Discover("", "", 0), 0) << LastError();
  EXPECT_EQ(Found().at(1), "0 001000000000//");
}

// ---- Characteristics and descriptors ------------------------------------------------------------------------

TEST_F(Discovery, DiscoverWithoutAutomaticCharacteristicsFiltersThemAfterAllServices) {
  Start();
  ASSERT_EQ(Discover("", "2A19,FFF2", 1), 0);
  EXPECT_EQ(Found(), (Strings{"0 000100000000//", "0 002000000000//", "1 000100000000/000100030000/",
                              "2 000100000000/000100030000/000100030004",
                              "2 000100000000/000100030000/000100030005", "1 002000000000/002000220000/"}));
  EXPECT_EQ(radio_->CallCount(kCharacteristicsForUuid), 4u);  // two UUIDs for each of two services
  EXPECT_EQ(ModeOf(kCharacteristicsForUuid), 1);
  EXPECT_EQ(ModeOf(kDescriptorsAll), 1);
  const Event cccd = sink_.Of(VELMORABLE_EVENT_DISCOVERED).at(3);
  EXPECT_EQ(cccd.Text(4), "00002902-0000-1000-8000-00805F9B34FB");
  EXPECT_EQ(cccd.Text(5), "Client Characteristic Configuration");
  EXPECT_EQ(Setting("AutoDiscoverDescriptors"), "False");
}

TEST_F(Discovery, AutomaticStepsReportEachServiceWithItsTreeBeforeTheNext) {
  Start();
  Set("AutoDiscoverCharacteristics=1");
  Set("AutoDiscoverIncludedServices=1");
  // The characteristic filter is not used: characteristics come unfiltered with their service.
  ASSERT_EQ(Discover("", "FFF2", 1), 0);
  EXPECT_EQ(Found(), (Strings{"0 000100000000//", "0 001000000000//", "1 001000000000/001000120000/",
                              "1 000100000000/000100030000/", "2 000100000000/000100030000/000100030004",
                              "2 000100000000/000100030000/000100030005", "1 000100000000/000100070000/",
                              "0 002000000000//", "1 002000000000/002000220000/"}));
  EXPECT_EQ(radio_->CallCount(kCharacteristicsForUuid), 0u);
  EXPECT_EQ(Setting("AutoDiscoverDescriptors"), "False");
}

TEST_F(Discovery, DiscoverRestoresAutoDiscoverDescriptorsOnEveryExit) {
  Start();
  Fail(SimOp::kCharacteristics, 0x0020, kUnreachable);
  EXPECT_EQ(Discover("", "", 1), kGattDeviceUnreachable);
  EXPECT_EQ(Setting("AutoDiscoverDescriptors"), "False");
  radio_->ClearFaults();
  radio_->FailCall(kCharacteristicsAll, static_cast<int32_t>(0x80004005u));
  EXPECT_EQ(Discover("", "", 1), kPlatformErrorCode);
  EXPECT_EQ(Setting("AutoDiscoverDescriptors"), "False");
  Set("AutoDiscoverDescriptors=1");
  EXPECT_EQ(Discover("", "", 0), 0);
  EXPECT_EQ(Setting("AutoDiscoverDescriptors"), "True");
}

TEST_F(Discovery, CharacteristicAndDescriptorStepsLogTheirTexts) {
  Start();
  ASSERT_EQ(DiscoverServices("180F"), 0);
  Set("LogLevel=3");
  sink_.Clear();
  ASSERT_EQ(DiscoverCharacteristics(kBattery, "2A19"), 0);
  ASSERT_EQ(DiscoverDescriptors(kBattery, kLevel), 0);
  EXPECT_EQ(Logs(), (Strings{
                        "1 Discovery: Beginning discovery of characteristics for service ID \"000100000000\".",
                        "2 Discovery: Attempting to discover characteristics with UUID "
                        "\"00002A19-0000-1000-8000-00805F9B34FB\".",
                        "1 Discovery: BLE Result Status: Success (Protocol Code: 0).",
                        "3 Discovery: Discovered 1 characteristics with UUID "
                        "\"00002A19-0000-1000-8000-00805F9B34FB\".",
                        "1 Discovery: Finished discovering characteristics for service ID \"000100000000\".",
                        "2 Discovery: Discovered 1 characteristics for service ID \"000100000000\".",
                        "1 Discovery: Beginning discovery of descriptors for characteristic ID \"000100030000\".",
                        "2 Discovery: Attempting to discover all descriptors.",
                        "1 Discovery: BLE Result Status: Success (Protocol Code: 0).",
                        "1 Discovery: Finished discovering descriptors for characteristic ID \"000100030000\".",
                        "2 Discovery: Discovered 2 descriptors for characteristic ID \"000100030000\".",
                    }));
  EXPECT_EQ(Found(), (Strings{"1 000100000000/000100030000/", "2 000100000000/000100030000/000100030004",
                              "2 000100000000/000100030000/000100030005"}));
}

// The lists follow the selection: a selected characteristic that CharacteristicCount cuts away is selected no
// more, and no descriptors of it are counted.
TEST_F(Discovery, ASelectedCharacteristicCutFromTheListIsSelectedNoMore) {
  Start();
  ASSERT_EQ(Discover("", "", 0), 0);
  ASSERT_EQ(DiscoverDescriptors(kBattery, kLevel), 0);
  ASSERT_EQ(Call(VELMORABLE_METHOD_SELECT, {Text(kBattery), Text(kLevel)}), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_DESCRIPTOR_COUNT, 0), 2);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_CHARACTERISTIC_COUNT, 0, 0), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_CHARACTERISTIC, 0)), "");
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_DESCRIPTOR_COUNT, 0), 0);
}

TEST_F(Discovery, DiscoveryMovesTheCurrentCollections) {
  Start();
  ASSERT_EQ(Discover("", "", 0), 0);
  ASSERT_EQ(Call(VELMORABLE_METHOD_SELECT, {Text(kBattery), Text("")}), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_CHARACTERISTIC_COUNT, 0), 2);
  ASSERT_EQ(DiscoverCharacteristics(kCustom), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_CHARACTERISTIC_COUNT, 0), 1);
  ASSERT_EQ(DiscoverDescriptors(kBattery, kLevel), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_DESCRIPTOR_COUNT, 0), 2);
}

TEST_F(Discovery, DescriptorsOfACharacteristicOfAnotherServiceAreNotFound) {
  Start();
  ASSERT_EQ(Discover("", "", 0), 0);
  EXPECT_EQ(DiscoverDescriptors(kCustom, kLevel), kNotDiscovered);
  EXPECT_EQ(LastError(), "No characteristic with the ID \"000100030000\" has been discovered for the service with "
                         "ID \"002000000000\".");
  EXPECT_EQ(DiscoverDescriptors(kBattery, ""), kNotDiscovered);
}

TEST_F(Discovery, RediscoveryAddsNoSecondValueHandler) {
  Start();
  ASSERT_EQ(Discover("", "", 0), 0);
  ASSERT_EQ(Discover("", "", 0), 0);
  ASSERT_EQ(DiscoverCharacteristics(kBattery), 0);
  EXPECT_EQ(radio_->HandlerCount(kAddress, SimEvent::kValueChanged, 0x0003), 1u);
}

// ---- Standard descriptors made sure of ----------------------------------------------------------------------

TEST_F(Discovery, FlagsAskForTheExtendedPropertiesDescriptorOnce) {
  Start();
  ASSERT_EQ(Discover("180F", "", 0), 0);
  ASSERT_EQ(Call(VELMORABLE_METHOD_SELECT, {Text(kBattery), Text(kLevel)}), 0);
  Set("LogLevel=3");
  sink_.Clear();
  radio_->ClearJournal();
  (void)VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_CHARACTERISTIC_FLAGS, 0);
  (void)VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_CHARACTERISTIC_FLAGS, 0);
  ASSERT_EQ(radio_->CallCount(kDescriptorsForUuid), 1u);
  EXPECT_EQ(radio_->LastCall(kDescriptorsForUuid)->uuid, bt::BluetoothBaseUuid(0x2900));
  EXPECT_EQ(ModeOf(kDescriptorsForUuid), 1);
  const Strings logs = Logs();
  ASSERT_EQ(logs.size(), 4u);
  EXPECT_EQ(logs[0], "3 Debug: Ensuring that any \"Characteristic Extended Properties\" descriptors has been "
                     "discovered for characteristic ID \"000100030000\".");
  EXPECT_EQ(logs[1], "3 Discovery: Trying to discover the \"Characteristic Extended Properties\" descriptor for "
                     "characteristic ID \"000100030000\".");
  EXPECT_EQ(logs[2], "1 Debug: BLE Result Status: Success (Protocol Code: 0).");
  EXPECT_EQ(logs[3], "3 Discovery: Finished; discovered 0 \"Characteristic Extended Properties\" descriptors for "
                     "characteristic ID \"000100030000\".");
}

TEST_F(Discovery, DescriptorAlreadyInTheTreeIsNotAskedFor) {
  Start();
  ASSERT_EQ(Discover("180F", "", 1), 0);
  radio_->ClearJournal();
  std::shared_ptr<GattCharacteristicRecord> level;
  ASSERT_EQ(Engine().LookupCharacteristic(kBattery, kLevel, &level), 0);
  EXPECT_EQ(Engine().EnsureDescriptorDiscovered(*level, "2901"), 0);
  EXPECT_EQ(radio_->CallCount(kDescriptorsForUuid), 0u);
  // A missing one is asked for and added, without changing the selection or the lists it gives.
  std::shared_ptr<GattCharacteristicRecord> plain;
  ASSERT_EQ(Engine().LookupCharacteristic(kBattery, kBatteryPlain, &plain), 0);
  server_.gatt.services[0].characteristics[1].descriptors.push_back({0x0008, bt::BluetoothBaseUuid(0x2901), {}});
  radio_->ReplaceDatabase(kAddress, server_.gatt);
  radio_->WaitIdle();
  EXPECT_EQ(Engine().EnsureDescriptorDiscovered(*plain, "2901"), 0);
  EXPECT_EQ(radio_->CallCount(kDescriptorsForUuid), 1u);
  EXPECT_EQ(Engine().DescriptorCount(), 0);
  ASSERT_EQ(Engine().SelectService(kBattery), 0);
  ASSERT_EQ(Engine().SelectCharacteristic(kBatteryPlain), 0);
  EXPECT_EQ(Engine().DescriptorCount(), 1);
  EXPECT_EQ(Engine().EnsureDescriptorDiscovered(*plain, "not a uuid"), kUuidSizeError);
}

// ---- The read road over discovered records -----------------------------------------------------------------

TEST_F(Discovery, DiscoveredCharacteristicsAndDescriptorsCanBeRead) {
  Start();
  ASSERT_EQ(Discover("180F", "2A19", 1), 0);
  sink_.Clear();
  std::vector<intptr_t> params = {Text(kBattery), Text(kLevel), Text(""), 0};
  std::vector<int32_t> sizes(4, 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_READ_VALUE, 4, params.data(), sizes.data()), 0);
  ASSERT_EQ(sizes[3], 1);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(params[3])[0], 0x2A);
  params = {Text(kBattery), Text(kLevel), Text(kLevelUserDescription), 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_READ_VALUE, 4, params.data(), sizes.data()), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(params[3]), sizes[3]), "Lv");
  const std::vector<Event> values = sink_.Of(VELMORABLE_EVENT_VALUE);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[1].Text(2), kLevelUserDescription);

  // Each simulated ATT error reaches the caller as the code of the result-mapping table, with a text.
  struct Row {
    int32_t status;
    std::optional<int> att_error;
    int code;
  };
  std::vector<Row> rows = {{kProtocolError, 0x80, kGattApplicationError},
                           {kProtocolError, 0x9F, kGattApplicationError},
                           {kProtocolError, 0x00, kGattCommunicationError},
                           {kProtocolError, 0xA0, kGattCommunicationError},
                           {kUnreachable, std::nullopt, kGattDeviceUnreachable},
                           {static_cast<int32_t>(bt::GattCommunicationStatus::AccessDenied), std::nullopt,
                            kGattCommunicationError}};
  for (int e = 0x01; e <= 0x11; ++e) rows.push_back({kProtocolError, e, kGattProtocolErrorBase + e});
  for (int e = 0xFC; e <= 0xFF; ++e) rows.push_back({kProtocolError, e, kGattCommonProfileErrorBase + e});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.att_error.value_or(-1));
    radio_->ClearFaults();
    Fail(SimOp::kReadCharacteristic, 0x0003, row.status, row.att_error);
    params = {Text(kBattery), Text(kLevel), Text(""), 0};
    EXPECT_EQ(VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_READ_VALUE, 4, params.data(), sizes.data()), row.code);
    EXPECT_NE(std::string(VelmoraBLE_BLEClient_GetLastError(handle_)), "");
  }
}

// ---- Failures of a request ----------------------------------------------------------------------------------

TEST_F(Discovery, RequestFailuresEndTheStepWithTheMappedCode) {
  Start();
  Fail(SimOp::kRootServices, 0, kProtocolError, 0x02);
  EXPECT_EQ(DiscoverServices(""), kGattProtocolErrorBase + 0x02);
  EXPECT_TRUE(Found().empty());
  radio_->ClearFaults();

  ASSERT_EQ(DiscoverServices(""), 0);
  sink_.Clear();
  Fail(SimOp::kCharacteristics, 0x0001, kUnreachable);
  EXPECT_EQ(DiscoverCharacteristics(kBattery), kGattDeviceUnreachable);
  EXPECT_TRUE(Found().empty());
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SERVICE_COUNT, 0), 2);  // what was found stays
}

TEST_F(Discovery, MissingResultIsAFailure) {
  Start();
  radio_->AddFault({.op = SimOp::kRootServices, .null_result = true});
  EXPECT_FAILS_WITH(DiscoverServices(""), kGattCommunicationError, kNoGattResultText);
}

TEST_F(Discovery, StoppedWaitGives301) {
  Start();
  radio_->AddFault({.op = SimOp::kDescriptors, .hold = true});
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_FAILS_WITH(Discover("180F", "2A19", 1), 301, "Timeout.");
  EXPECT_EQ(Found(), (Strings{"0 000100000000//", "1 000100000000/000100030000/"}));
  radio_->ReleaseAll();
}

TEST_F(Discovery, DisconnectInsideAnEventEndsDiscoveryWith608) {
  Start();
  sink_.inside = [this](const Event& event) {
    if (event.id == VELMORABLE_EVENT_DISCOVERED && event.Int(0) == 1) {
      sink_.inside = nullptr;
      (void)testing::Do(handle_, VELMORABLE_METHOD_DISCONNECT);
    }
  };
  EXPECT_EQ(Discover("180F", "", 1), kParentNotListed);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SERVICE_COUNT, 0), 0);
}

}  // namespace
}  // namespace velmora::ble::testing
