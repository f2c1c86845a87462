// Shared set-up of the GATT record and property tests: a simulated peripheral with two services, and a
// builder that puts its objects into an engine's tree the way discovery does (ids from the handles).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ble/await.h"
#include "ble/ble_client_engine.h"
#include "platform/bluetooth/sim/sim_radio.h"

namespace velmora::ble::testing {

namespace sim = platform::bluetooth::sim;

// ClientlessEngine is an engine without a client, initialised; tests derive from it to watch what it fires.
class ClientlessEngine : public BLEClientEngine {
 public:
  ClientlessEngine() : BLEClientEngine(nullptr) { (void)Init(); }
  // SetTimeoutMs makes Timeout count in milliseconds and sets it.
  void SetTimeoutMs(int32_t ms) {
    timeout_in_milliseconds_ = 1;
    (void)SetTimeoutSeconds(ms, true);
  }
};

constexpr uint64_t kTreeAddress = 0xC0FFEE0000AB;

// Service 0x0001 (Battery Service) holds 0x0003 (Battery Level: Read|Notify|ExtendedProperties|ReliableWrites,
// two presentation formats, a CCCD 0x0004 and a user description 0x0006 "Level") and 0x0007 (an unnamed
// UUID, Write|WritableAuxiliaries, no formats). Service 0x00AB (Device Information) holds 0x00AD.
inline sim::SimPeripheral TreePeripheral() {
  sim::SimPeripheral peripheral;
  peripheral.address = kTreeAddress;
  peripheral.name = u"Tree";
  peripheral.pairing_kind = bt::DevicePairingKinds::None;
  sim::SimService battery;
  battery.handle = 0x0001;
  battery.uuid = bt::BluetoothBaseUuid(0x180F);
  sim::SimCharacteristic level;
  level.handle = 0x0003;
  level.uuid = bt::BluetoothBaseUuid(0x2A19);
  level.properties = 0x192;
  level.value = {0x55};
  level.formats = {{.format_type = 4, .exponent = 0, .unit = 0x27AD},
                   {.format_type = 6, .exponent = -1, .unit = 0x2700}};
  level.descriptors.push_back({0x0004, bt::BluetoothBaseUuid(0x2902), {0, 0}});
  level.descriptors.push_back({0x0006, bt::BluetoothBaseUuid(0x2901), {'L', 'e', 'v', 'e', 'l'}});
  battery.characteristics.push_back(level);
  sim::SimCharacteristic plain;
  plain.handle = 0x0007;
  plain.uuid = bt::BluetoothBaseUuid(0xFFF1);
  plain.properties = bt::GattCharacteristicProperties::Write | bt::GattCharacteristicProperties::WritableAuxiliaries;
  battery.characteristics.push_back(plain);
  peripheral.gatt.services.push_back(battery);
  sim::SimService info;
  info.handle = 0x00AB;
  info.uuid = bt::BluetoothBaseUuid(0x180A);
  sim::SimCharacteristic model;
  model.handle = 0x00AD;
  model.uuid = bt::BluetoothBaseUuid(0x2A24);
  model.properties = bt::GattCharacteristicProperties::Read;
  info.characteristics.push_back(model);
  peripheral.gatt.services.push_back(info);
  return peripheral;
}

// BuildTree discovers every object of the peripheral through engine's awaits and adds it to engine's tree.
inline void BuildTree(BLEClientEngine& engine, sim::SimRadio& radio) {
  auto device = AwaitLEDevice(engine, radio.FromBluetoothAddressAsync(kTreeAddress));
  ASSERT_NE(device, nullptr);
  auto services =
      AwaitServicesResult(engine, device->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  ASSERT_NE(services, nullptr);
  for (const auto& service : services->Services()) {
    core::Buffer service_id;
    ASSERT_EQ(engine.BuildObjectId(service->AttributeHandle(), 0, 0, service_id), 0);
    ASSERT_EQ(engine.AddServiceToTree(engine.TreeGeneration(), GattObjectRef::FromService(service), service_id.Data(), nullptr, nullptr), 0);
    auto characteristics = AwaitCharacteristicsResult(
        engine, service->GetCharacteristicsWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
    ASSERT_NE(characteristics, nullptr);
    for (const auto& characteristic : characteristics->Characteristics()) {
      core::Buffer characteristic_id;
      ASSERT_EQ(engine.BuildObjectId(service->AttributeHandle(), characteristic->AttributeHandle(), 0,
                                     characteristic_id), 0);
      std::shared_ptr<GattCharacteristicRecord> record;
      ASSERT_EQ(engine.AddCharacteristicToTree(engine.TreeGeneration(), service_id.Data(),
                                               GattObjectRef::FromCharacteristic(characteristic),
                                               characteristic_id.Data(), &record, nullptr), 0);
      auto descriptors = AwaitDescriptorsResult(
          engine, characteristic->GetDescriptorsWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
      ASSERT_NE(descriptors, nullptr);
      for (const auto& descriptor : descriptors->Descriptors()) {
        core::Buffer descriptor_id;
        ASSERT_EQ(engine.BuildObjectId(service->AttributeHandle(), characteristic->AttributeHandle(),
                                       descriptor->AttributeHandle(), descriptor_id), 0);
        ASSERT_EQ(engine.AddDescriptorToTree(*record, GattObjectRef::FromDescriptor(descriptor),
                                             descriptor_id.Data(), nullptr, nullptr), 0);
      }
    }
  }
}

}  // namespace velmora::ble::testing
