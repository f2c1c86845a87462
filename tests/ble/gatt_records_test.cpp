// GATT records and the tree: object ids, lookups and their case rules, selection, and the record loaders,
// on records built from simulated platform objects.
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ble/ble_client_engine.h"
#include "ble/gatt_records.h"
#include "component/socket_base.h"
#include "gatt_tree_test_util.h"

namespace velmora::ble {
namespace {

namespace sim = platform::bluetooth::sim;
using testing::BuildTree;
using testing::TreePeripheral;

using TreeEngine = testing::ClientlessEngine;

class GattTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    component::SocketBase::StaticInit();
    engine_ = std::make_unique<TreeEngine>();
    radio_.AddPeripheral(TreePeripheral());
  }
  void TearDown() override {
    radio_.WaitIdle();
    engine_.reset();
    component::SocketBase::StaticDestroy();
  }
  std::string Text() { return engine_->LastErrorText().Data(); }
  std::string Selected() { return engine_->SelectedServiceId().Data(); }

  sim::SimRadio radio_;
  std::unique_ptr<TreeEngine> engine_;
};

TEST(ObjectIdTest, HandlesGiveTwelveUpperCaseDigitsAndZeroHandlesAreRefused) {
  component::SocketBase::StaticInit();
  {
    TreeEngine engine;
    core::Buffer id;
    ASSERT_EQ(engine.BuildObjectId(0x0001, 0, 0, id), 0);
    EXPECT_STREQ(id.Data(), "000100000000");
    EXPECT_EQ(id.Length(), 12);
    ASSERT_EQ(engine.BuildObjectId(0x0012, 0x0034, 0x0056, id), 0);
    EXPECT_STREQ(id.Data(), "001200340056");
    ASSERT_EQ(engine.BuildObjectId(0xABCD, 0x00EF, 0, id), 0);
    EXPECT_STREQ(id.Data(), "ABCD00EF0000");

    EXPECT_EQ(engine.BuildObjectId(0, 5, 0, id), 202);
    EXPECT_STREQ(engine.LastErrorText().Data(), "Must supply a non-zero service handle.");
    EXPECT_EQ(engine.BuildObjectId(1, 0, 7, id), 202);
    EXPECT_STREQ(engine.LastErrorText().Data(),
                 "Must supply a non-zero characteristic handle to supply a non-zero descriptor handle.");
    EXPECT_STREQ(id.Data(), "ABCD00EF0000");  // a refused id leaves the output alone

    ASSERT_EQ(ServiceIdOf("001200340056", id), 0);
    EXPECT_STREQ(id.Data(), "001200000000");
    ASSERT_EQ(CharacteristicIdOf("001200340056", id), 0);
    EXPECT_STREQ(id.Data(), "001200340000");
  }
  component::SocketBase::StaticDestroy();
}

TEST(CharacteristicFlagsTest, ReliableAndAuxiliaryBitsMoveDownAndExtendedPropertiesIsDropped) {
  EXPECT_EQ(MapCharacteristicProperties(0x192), 0x092u);
  EXPECT_EQ(MapCharacteristicProperties(0x07F), 0x07Fu);
  EXPECT_EQ(MapCharacteristicProperties(0x200), 0x100u);
  EXPECT_EQ(MapCharacteristicProperties(0x080), 0u);
}

TEST_F(GattTreeTest, TreeHoldsRecordsInLockStepWithTheirIdLists) {
  BuildTree(*engine_, radio_);
  std::lock_guard<std::mutex> lock(engine_->TreeMutex());
  const GattTree& tree = engine_->Tree();
  ASSERT_EQ(tree.services.Count(), 2);
  EXPECT_EQ(tree.service_ids.Count(), 2);
  EXPECT_EQ(tree.service_characteristics.Count(), 2);
  EXPECT_STREQ(tree.service_ids.Item(1), "00AB00000000");
  EXPECT_EQ(tree.characteristic_ids.Count(), 3);
  EXPECT_EQ(tree.characteristic_descriptors.Count(), 3);
  EXPECT_EQ(tree.characteristic_descriptors.Get(0)->Count(), 2);
  auto battery = RecordAt(tree.services, 0);
  EXPECT_STREQ(battery->description.Data(), "Battery Service");
  EXPECT_STREQ(battery->GetUuidText(), "0000180F-0000-1000-8000-00805F9B34FB");
  EXPECT_STREQ(battery->GetIncludedSvcIdsText(), "");
  auto level = RecordAt(*tree.service_characteristics.Get(0), 0);
  EXPECT_STREQ(level->id.Data(), "000100030000");
  EXPECT_STREQ(level->description.Data(), "Battery Level");
  EXPECT_EQ(level->engine, engine_.get());
  auto cccd = RecordAt(*tree.characteristic_descriptors.Get(0), 0);
  EXPECT_STREQ(cccd->id.Data(), "000100030004");
  EXPECT_STREQ(cccd->description.Data(), "Client Characteristic Configuration");
}

TEST_F(GattTreeTest, AddingAnObjectTwiceKeepsOneRecordAndOneValueHandler) {
  BuildTree(*engine_, radio_);
  BuildTree(*engine_, radio_);
  EXPECT_EQ(engine_->ServiceCount(), 2);
  std::lock_guard<std::mutex> lock(engine_->TreeMutex());
  EXPECT_EQ(engine_->Tree().characteristic_ids.Count(), 3);
  EXPECT_EQ(radio_.HandlerCount(testing::kTreeAddress, sim::SimEvent::kValueChanged, 0x0003), 1u);
}

TEST_F(GattTreeTest, AChildOfAnUnlistedParentIsRefused) {
  GattObjectRef nothing;
  EXPECT_EQ(engine_->AddCharacteristicToTree(engine_->TreeGeneration(), "000100000000", nothing, "000100030000", nullptr, nullptr), 202);
  BuildTree(*engine_, radio_);
  std::shared_ptr<GattCharacteristicRecord> level;
  ASSERT_EQ(engine_->LookupCharacteristic("000100000000", "000100030000", &level), 0);
  GattObjectRef ref = GattObjectRef::FromCharacteristic(level->characteristic);
  EXPECT_EQ(engine_->AddCharacteristicToTree(engine_->TreeGeneration(), "00FF00000000", ref, "00FF00030000", nullptr, nullptr), 608);
  EXPECT_EQ(engine_->ServiceCount(), 2);
}

TEST_F(GattTreeTest, LookupsMatchRecordsWithoutCaseButListsOnlyByExactId) {
  BuildTree(*engine_, radio_);
  std::shared_ptr<GattServiceRecord> service;
  ASSERT_EQ(engine_->LookupService("00ab00000000", &service), 0);
  EXPECT_STREQ(service->id.Data(), "00AB00000000");

  std::shared_ptr<GattCharacteristicRecord> characteristic;
  EXPECT_EQ(engine_->LookupCharacteristic("00AB00000000", "00ab00ad0000", &characteristic), 0);
  EXPECT_EQ(engine_->LookupCharacteristic("00ab00000000", "00AB00AD0000", &characteristic), 601);
  EXPECT_EQ(Text(),
            "No characteristic with the ID \"00AB00AD0000\" has been discovered for the service with ID "
            "\"00ab00000000\".");

  EXPECT_EQ(engine_->LookupService("00FF00000000", &service), 601);
  EXPECT_EQ(Text(), "No service with the ID \"00FF00000000\" has been discovered.");

  std::shared_ptr<GattDescriptorRecord> descriptor;
  EXPECT_EQ(engine_->LookupDescriptor("000100030000", "000100030006", &descriptor), 0);
  EXPECT_STREQ(descriptor->description.Data(), "Characteristic User Description");
  EXPECT_EQ(engine_->LookupDescriptor("000100030000", "000100030009", &descriptor), 601);
  EXPECT_EQ(Text(),
            "No descriptor with the ID \"000100030009\" has been discovered for the characteristic with ID "
            "\"000100030000\".");
}

TEST_F(GattTreeTest, LongIdsAreCutToTheTextBufferAndForeignDescriptorsAreRefused) {
  BuildTree(*engine_, radio_);
  const std::string long_id(400, 'A');
  EXPECT_EQ(engine_->LookupCharacteristic("000100000000", long_id.c_str(), nullptr), 601);
  EXPECT_EQ(Text().size(), 255u);
  // The descriptor exists, but its characteristic is not in the given service.
  std::shared_ptr<GattDescriptorRecord> descriptor;
  EXPECT_EQ(engine_->LookupDescriptorOf("00AB00000000", "000100030000", "000100030004", &descriptor), 601);
  EXPECT_EQ(descriptor, nullptr);
  EXPECT_NE(Text().find("for the service with ID \"00AB00000000\""), std::string::npos);
  EXPECT_EQ(engine_->LookupDescriptorOf("000100000000", "000100030000", "000100030004", &descriptor), 0);
}

TEST_F(GattTreeTest, SelectionFollowsTheTreeAndAFailedSelectionKeepsThePreviousOne) {
  BuildTree(*engine_, radio_);
  ASSERT_EQ(engine_->SelectService("000100000000"), 0);
  EXPECT_EQ(engine_->CharacteristicCount(), 2);
  ASSERT_EQ(engine_->SelectCharacteristic("000100030000"), 0);
  EXPECT_EQ(engine_->DescriptorCount(), 2);

  EXPECT_EQ(engine_->SelectService("00FF00000000"), 601);
  EXPECT_EQ(Text(), "No service with the ID \"00FF00000000\" has been discovered.");
  EXPECT_EQ(Selected(), "000100000000");
  EXPECT_STREQ(engine_->SelectedCharacteristicId().Data(), "000100030000");
  EXPECT_EQ(engine_->CharacteristicCount(), 2);
  EXPECT_EQ(engine_->DescriptorCount(), 2);

  // A lower-case id selects the service and its characteristics together.
  ASSERT_EQ(engine_->SelectService("00ab00000000"), 0);
  EXPECT_EQ(Selected(), "00AB00000000");
  EXPECT_EQ(engine_->CharacteristicCount(), 1);
  EXPECT_EQ(engine_->DescriptorCount(), 0);
  EXPECT_EQ(engine_->SelectCharacteristic("00ab00ad0000"), 0);

  EXPECT_EQ(engine_->SelectCharacteristic("000100030000"), 601);
  EXPECT_STREQ(engine_->SelectedCharacteristicId().Data(), "00AB00AD0000");

  ASSERT_EQ(engine_->SelectService(""), 0);
  EXPECT_EQ(Selected(), "");
  EXPECT_EQ(engine_->CharacteristicCount(), 0);
  EXPECT_EQ(engine_->SelectCharacteristic("000100030000"), 602);
  EXPECT_EQ(Text(), "You must select a service before selecting a characteristic.");
}

TEST_F(GattTreeTest, APlatformObjectFindsItsRecordAndService) {
  BuildTree(*engine_, radio_);
  std::shared_ptr<GattCharacteristicRecord> model;
  ASSERT_EQ(engine_->LookupCharacteristic("00AB00000000", "00AB00AD0000", &model), 0);
  std::shared_ptr<GattCharacteristicRecord> found;
  core::Buffer service_id;
  ASSERT_EQ(engine_->FindCharacteristicByObject(model->characteristic.get(), &found, &service_id), 1);
  EXPECT_EQ(found, model);
  EXPECT_STREQ(service_id.Data(), "00AB00000000");
  EXPECT_EQ(engine_->FindCharacteristicByObject(nullptr, &found, &service_id), 0);
  ASSERT_EQ(engine_->ClearGattTree(), 0);
  EXPECT_EQ(engine_->FindCharacteristicByObject(model->characteristic.get(), &found, &service_id), 0);
}

TEST_F(GattTreeTest, SelectNeedsAConnectionFirst) {
  BuildTree(*engine_, radio_);
  EXPECT_EQ(engine_->Select("000100000000", "000100030000"), 605);
  EXPECT_EQ(Selected(), "");
}

TEST_F(GattTreeTest, ClearingTheTreeEmptiesEverythingButHeldRecordsStayValid) {
  BuildTree(*engine_, radio_);
  ASSERT_EQ(engine_->SelectService("000100000000"), 0);
  ASSERT_EQ(engine_->SelectCharacteristic("000100030000"), 0);
  std::shared_ptr<GattCharacteristicRecord> held;
  ASSERT_EQ(engine_->CharacteristicAt(0, &held), 0);
  ASSERT_EQ(engine_->ClearGattTree(), 0);
  EXPECT_EQ(engine_->ServiceCount(), 0);
  EXPECT_EQ(engine_->CharacteristicCount(), 0);
  EXPECT_EQ(engine_->DescriptorCount(), 0);
  EXPECT_EQ(Selected(), "");
  EXPECT_STREQ(engine_->SelectedCharacteristicId().Data(), "");
  EXPECT_STREQ(held->id.Data(), "000100030000");
  EXPECT_STREQ(held->GetUuidText(), "00002A19-0000-1000-8000-00805F9B34FB");
  EXPECT_EQ(engine_->LookupService("000100000000", nullptr), 601);
}

TEST_F(GattTreeTest, RecordLoadersReadThePlatformOnceAndEmptyRecordsNever) {
  BuildTree(*engine_, radio_);
  ASSERT_EQ(engine_->SelectService("000100000000"), 0);
  std::shared_ptr<GattCharacteristicRecord> level;
  std::shared_ptr<GattCharacteristicRecord> plain;
  ASSERT_EQ(engine_->CharacteristicAt(0, &level), 0);
  ASSERT_EQ(engine_->CharacteristicAt(1, &plain), 0);
  EXPECT_EQ(level->flags, 0u);
  EXPECT_EQ(level->format_index, -1);
  radio_.ClearJournal();
  ASSERT_EQ(level->LoadProperties(), 0);
  ASSERT_EQ(level->LoadProperties(), 0);
  EXPECT_EQ(level->flags, 0x092u);
  EXPECT_EQ(radio_.CallCount("GattCharacteristic.CharacteristicProperties"), 1u);
  ASSERT_EQ(level->LoadPresentationFormats(), 0);
  EXPECT_EQ(level->format_index, 0);
  ASSERT_EQ(plain->LoadPresentationFormats(), 0);
  EXPECT_EQ(plain->format_index, -1);
  ASSERT_EQ(plain->LoadProperties(), 0);
  EXPECT_EQ(plain->flags, kFlagWrite | kFlagWritableAuxiliaries);
  EXPECT_STREQ(level->GetUserDescription(), "Level");
  EXPECT_STREQ(plain->GetUserDescription(), "");
  EXPECT_STREQ(plain->description.Data(), "");  // no standard name

  // Slots added by resizing hold empty records: they read as empty and reach no platform call.
  ASSERT_EQ(engine_->SetCharacteristicCount(3), 0);
  std::shared_ptr<GattCharacteristicRecord> empty;
  ASSERT_EQ(engine_->CharacteristicAt(2, &empty), 0);
  radio_.ClearJournal();
  EXPECT_EQ(empty->LoadProperties(), 0);
  EXPECT_EQ(empty->LoadPresentationFormats(), 0);
  EXPECT_STREQ(empty->GetUserDescription(), "");
  EXPECT_STREQ(empty->GetUuidText(), "");
  EXPECT_EQ(empty->flags, 0u);
  EXPECT_EQ(empty->format_index, -1);
  EXPECT_TRUE(radio_.Journal().empty());
  // An empty record is never found by id, not even by the empty id.
  EXPECT_EQ(engine_->LookupCharacteristic("000100000000", "", nullptr), 601);
}

TEST_F(GattTreeTest, ListsCopyServicesAfreshAndKeepEveryCharacteristicField) {
  BuildTree(*engine_, radio_);
  std::shared_ptr<GattServiceRecord> service;
  ASSERT_EQ(engine_->LookupService("000100000000", &service), 0);
  GattServiceRecord source;
  ASSERT_EQ(source.CloneFrom(*service), 0);
  ASSERT_EQ(source.parent_svc_ids.AddCString("00AB00000000"), 0);
  ASSERT_EQ(source.description.SetString("changed"), 0);
  ServiceArray services;
  ASSERT_EQ(services.InsertAt(0, source), 0);
  auto copy = RecordAt(services, 0);
  EXPECT_STREQ(copy->description.Data(), "Battery Service");
  EXPECT_EQ(copy->parent_svc_ids.Count(), 0);

  std::shared_ptr<GattCharacteristicRecord> level;
  ASSERT_EQ(engine_->LookupCharacteristic("000100000000", "000100030000", &level), 0);
  ASSERT_EQ(level->LoadProperties(), 0);
  CharacteristicArray characteristics;
  ASSERT_EQ(characteristics.InsertAt(0, *level), 0);
  auto kept = RecordAt(characteristics, 0);
  EXPECT_NE(kept, level);
  EXPECT_EQ(kept->flags, 0x092u);
  EXPECT_EQ(kept->properties_loaded, 1);
  EXPECT_EQ(kept->characteristic, level->characteristic);
  EXPECT_EQ(radio_.HandlerCount(testing::kTreeAddress, sim::SimEvent::kValueChanged, 0x0003), 1u);
}


TEST_F(GattTreeTest, CuttingTheCharacteristicCollectionDropsItsRecordsFromEveryLookup) {
  BuildTree(*engine_, radio_);
  ASSERT_EQ(engine_->SelectService("000100000000"), 0);
  std::shared_ptr<GattCharacteristicRecord> plain;
  ASSERT_EQ(engine_->LookupCharacteristic("000100000000", "000100070000", &plain), 0);
  ASSERT_EQ(engine_->SetCharacteristicCount(1), 0);
  EXPECT_EQ(engine_->LookupCharacteristic("000100000000", "000100070000", nullptr), 601);
  EXPECT_EQ(engine_->FindCharacteristicByObject(plain->characteristic.get(), nullptr, nullptr), 0);
  // Slots grown back hold empty records, which bring nothing back.
  ASSERT_EQ(engine_->SetCharacteristicCount(3), 0);
  EXPECT_EQ(engine_->LookupCharacteristic("000100000000", "000100070000", nullptr), 601);

  // Discovered again, the characteristic is a new record that every lookup finds.
  std::shared_ptr<GattCharacteristicRecord> again;
  bool added = false;
  ASSERT_EQ(engine_->AddCharacteristicToTree(engine_->TreeGeneration(), "000100000000", GattObjectRef::FromCharacteristic(plain->characteristic),
                                             "000100070000", &again, &added), 0);
  EXPECT_TRUE(added);
  EXPECT_NE(again, plain);
  std::shared_ptr<GattCharacteristicRecord> found;
  ASSERT_EQ(engine_->LookupCharacteristic("000100000000", "000100070000", &found), 0);
  EXPECT_EQ(found, again);
  core::Buffer service_id;
  ASSERT_EQ(engine_->FindCharacteristicByObject(plain->characteristic.get(), &found, &service_id), 1);
  EXPECT_EQ(found, again);
  EXPECT_STREQ(service_id.Data(), "000100000000");
  EXPECT_EQ(engine_->CharacteristicCount(), 4);

  // A negative count empties the collection.
  ASSERT_EQ(engine_->SetCharacteristicCount(-1), 0);
  EXPECT_EQ(engine_->LookupCharacteristic("000100000000", "000100030000", nullptr), 601);
  EXPECT_EQ(engine_->LookupDescriptor("000100030000", "000100030004", nullptr), 0);
}

// A server far larger than the usual one: every object is found by its id, the service in either case, and
// an object is added once however often it is added.
TEST_F(GattTreeTest, EveryObjectOfALargeServerIsFoundOnceByItsId) {
  constexpr int kServices = 40;
  constexpr int kCharacteristics = 12;
  sim::SimPeripheral large = TreePeripheral();
  large.gatt.services.clear();
  for (int s = 0; s < kServices; ++s) {
    sim::SimService service;
    service.handle = static_cast<uint16_t>(0x0A01 + s * 0x30);
    service.uuid = bt::BluetoothBaseUuid(static_cast<uint16_t>(0x1800 + s));
    for (int c = 0; c < kCharacteristics; ++c) {
      sim::SimCharacteristic characteristic;
      characteristic.handle = static_cast<uint16_t>(service.handle + 1 + 3 * c);
      characteristic.uuid = bt::BluetoothBaseUuid(static_cast<uint16_t>(0x2A00 + c));
      characteristic.descriptors.push_back(
          {static_cast<uint16_t>(characteristic.handle + 1), bt::BluetoothBaseUuid(0x2902), {0, 0}});
      characteristic.descriptors.push_back(
          {static_cast<uint16_t>(characteristic.handle + 2), bt::BluetoothBaseUuid(0x2901), {'x'}});
      service.characteristics.push_back(characteristic);
    }
    large.gatt.services.push_back(service);
  }
  radio_.AddPeripheral(large);
  BuildTree(*engine_, radio_);
  BuildTree(*engine_, radio_);  // everything again: nothing new
  ASSERT_EQ(engine_->ServiceCount(), kServices);

  char service_id[13];
  char characteristic_id[13];
  char descriptor_id[13];
  for (int s = 0; s < kServices; ++s) {
    const unsigned service_handle = 0x0A01 + s * 0x30;
    std::snprintf(service_id, sizeof service_id, "%04X00000000", service_handle);
    char lower[13];
    std::snprintf(lower, sizeof lower, "%04x00000000", service_handle);
    std::shared_ptr<GattServiceRecord> service;
    ASSERT_EQ(engine_->LookupService(lower, &service), 0) << lower;
    EXPECT_STREQ(service->id.Data(), service_id);
    ASSERT_EQ(engine_->SelectService(service_id), 0);
    EXPECT_EQ(engine_->CharacteristicCount(), kCharacteristics);
    for (int c = 0; c < kCharacteristics; ++c) {
      const unsigned handle = service_handle + 1 + 3 * c;
      std::snprintf(characteristic_id, sizeof characteristic_id, "%04X%04X0000", service_handle, handle);
      std::shared_ptr<GattCharacteristicRecord> characteristic;
      ASSERT_EQ(engine_->LookupCharacteristic(service_id, characteristic_id, &characteristic), 0);
      EXPECT_STREQ(characteristic->id.Data(), characteristic_id);
      // The list step wants the service's exact id; the characteristic itself matches in any case.
      if (std::strcmp(lower, service_id) != 0) {
        EXPECT_EQ(engine_->LookupCharacteristic(lower, characteristic_id, nullptr), 601);
      }
      std::snprintf(descriptor_id, sizeof descriptor_id, "%04x%04x%04x", service_handle, handle, handle + 2);
      std::shared_ptr<GattDescriptorRecord> descriptor;
      ASSERT_EQ(engine_->LookupDescriptor(characteristic_id, descriptor_id, &descriptor), 0);
      EXPECT_EQ(descriptor->uuid, bt::BluetoothBaseUuid(0x2901));
      // A descriptor of another characteristic is not in this one's list.
      std::snprintf(descriptor_id, sizeof descriptor_id, "%04X%04X%04X", service_handle, handle, handle + 4);
      EXPECT_EQ(engine_->LookupDescriptor(characteristic_id, descriptor_id, nullptr), 601);
      ASSERT_EQ(engine_->SelectCharacteristic(characteristic_id), 0);
      EXPECT_EQ(engine_->DescriptorCount(), 2);
    }
  }
}

// The id lookups of a list against a walk over the collection the application sees, at every step of a
// list's life: built past the size from which lists are hashed, cut below it and above it, grown with
// empty slots, and filled again.
TEST_F(GattTreeTest, ListLookupsAgreeWithAWalkOfTheCollection) {
  constexpr int kCharacteristics = 40;
  constexpr int kDescriptors = 24;
  constexpr unsigned kService = 0x0A01;
  sim::SimPeripheral large = TreePeripheral();
  large.gatt.services.clear();
  sim::SimService service;
  service.handle = kService;
  service.uuid = bt::BluetoothBaseUuid(0x1800);
  for (int c = 0; c < kCharacteristics; ++c) {
    sim::SimCharacteristic characteristic;
    characteristic.handle = static_cast<uint16_t>(kService + 1 + (kDescriptors + 1) * c);
    characteristic.uuid = bt::BluetoothBaseUuid(static_cast<uint16_t>(0x2A00 + c));
    for (int d = 0; d < (c == 0 ? kDescriptors : 2); ++d) {
      characteristic.descriptors.push_back(
          {static_cast<uint16_t>(characteristic.handle + 1 + d), bt::BluetoothBaseUuid(0x2901), {'x'}});
    }
    service.characteristics.push_back(characteristic);
  }
  large.gatt.services.push_back(service);
  radio_.AddPeripheral(large);
  BuildTree(*engine_, radio_);
  const std::string service_id = "0A0100000000";
  ASSERT_EQ(engine_->SelectService(service_id.c_str()), 0);

  std::vector<std::string> ids;  // every characteristic id in both cases, and one that is not there
  std::vector<std::shared_ptr<GattCharacteristicRecord>> records;
  for (int c = 0; c < kCharacteristics; ++c) {
    char id[13];
    std::snprintf(id, sizeof id, "%04X%04X0000", kService, kService + 1 + (kDescriptors + 1) * c);
    ids.push_back(id);
    std::snprintf(id, sizeof id, "%04x%04x0000", kService, kService + 1 + (kDescriptors + 1) * c);
    ids.push_back(id);
    records.emplace_back();
    ASSERT_EQ(engine_->LookupCharacteristic(service_id.c_str(), ids[2 * c].c_str(), &records.back()), 0);
  }
  ids.push_back("0A01FFFF0000");
  const auto agree = [&](const char* step) {
    for (const std::string& id : ids) {
      std::shared_ptr<GattCharacteristicRecord> walked;
      for (int32_t i = 0; walked == nullptr && i < engine_->CharacteristicCount(); ++i) {
        std::shared_ptr<GattCharacteristicRecord> record;
        ASSERT_EQ(engine_->CharacteristicAt(i, &record), 0);
        if (record->characteristic != nullptr && strcasecmp(record->id.Data(), id.c_str()) == 0) walked = record;
      }
      std::shared_ptr<GattCharacteristicRecord> found;
      const int rc = engine_->LookupCharacteristic(service_id.c_str(), id.c_str(), &found);
      EXPECT_EQ(rc, walked != nullptr ? 0 : 601) << step << " " << id;
      EXPECT_EQ(found, walked) << step << " " << id;
    }
  };
  const auto add_back = [&](int from, int to) {
    for (int c = from; c < to; ++c) {
      ASSERT_EQ(engine_->AddCharacteristicToTree(engine_->TreeGeneration(), service_id.c_str(),
                                                 GattObjectRef::FromCharacteristic(records[c]->characteristic),
                                                 ids[2 * c].c_str(), nullptr, nullptr), 0);
    }
  };
  agree("built");
  ASSERT_EQ(engine_->SetCharacteristicCount(10), 0);
  agree("cut below");
  add_back(10, 12);
  agree("refilled below");
  ASSERT_EQ(engine_->SetCharacteristicCount(30), 0);
  agree("grown with empty slots");
  add_back(12, kCharacteristics);
  agree("refilled above");
  ASSERT_EQ(engine_->SetCharacteristicCount(20), 0);
  agree("cut above");
  add_back(0, kCharacteristics);  // the ones still listed are found, not added again
  agree("refilled after the cut");

  // The long descriptor list of the first characteristic, in both cases.
  ASSERT_EQ(engine_->SelectCharacteristic(ids[0].c_str()), 0);
  ASSERT_EQ(engine_->DescriptorCount(), kDescriptors);
  for (int32_t i = 0; i < kDescriptors; ++i) {
    std::shared_ptr<GattDescriptorRecord> listed;
    ASSERT_EQ(engine_->DescriptorAt(i, &listed), 0);
    std::string lower = listed->id.Data();
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& id : {std::string(listed->id.Data()), lower}) {
      std::shared_ptr<GattDescriptorRecord> found;
      ASSERT_EQ(engine_->LookupDescriptor(ids[0].c_str(), id.c_str(), &found), 0) << id;
      EXPECT_EQ(found, listed) << id;
    }
  }
  EXPECT_EQ(engine_->LookupDescriptor(ids[0].c_str(), "0A010A02FFFF", nullptr), 601);
}

}  // namespace
}  // namespace velmora::ble
