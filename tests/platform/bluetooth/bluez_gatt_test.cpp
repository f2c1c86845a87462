// Connecting, discovering, reading, writing and notifications over the scripted bluetoothd, checked
// against the simulator where both should agree and against the mock's call log elsewhere.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/bluetooth/sim/scenario.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/platform/bluetooth/bluez_test_util.h"

namespace velmora::ble::testing {
namespace {

using bt::GattCommunicationStatus;
using Cccd = bt::GattClientCharacteristicConfigurationDescriptorValue;

std::string Hex(const bt::Bytes& bytes) {
  std::string hex;
  for (uint8_t b : bytes) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

// Values collects ValueChanged values of a characteristic (from the event thread).
struct Values {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<bt::Bytes> values;
  void Listen(bt::GattCharacteristic& characteristic) {
    characteristic.AddValueChanged([this](const auto&, const auto& args) {
      std::lock_guard lock(mutex);
      values.push_back(args->CharacteristicValue());
      changed.notify_all();
    });
  }
  bool WaitFor(size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return values.size() >= count; });
  }
  size_t Count() {
    std::lock_guard lock(mutex);
    return values.size();
  }
};

class BluezGatt : public BluezFixture {
 protected:
  // Platform-level access to the sensor's attributes.
  std::shared_ptr<bt::BluetoothLEDevice> Device(uint64_t address = 0xC0FFEE000001) {
    return Await(platform_->FromBluetoothAddressAsync(address));
  }
  std::shared_ptr<bt::GattCharacteristic> Characteristic(bt::BluetoothLEDevice& device, uint16_t service_uuid,
                                                         uint16_t uuid) {
    auto services = Await(device.GetGattServicesForUuidWithCacheModeAsync(bt::BluetoothBaseUuid(service_uuid),
                                                                          bt::BluetoothCacheMode::Uncached));
    if (services == nullptr || services->Services().size() != 1) return nullptr;
    auto characteristics = Await(services->Services()[0]->GetCharacteristicsForUuidWithCacheModeAsync(
        bt::BluetoothBaseUuid(uuid), bt::BluetoothCacheMode::Uncached));
    if (characteristics == nullptr || characteristics->Characteristics().size() != 1) return nullptr;
    return characteristics->Characteristics()[0];
  }
  std::shared_ptr<bt::GattDescriptor> Descriptor(bt::GattCharacteristic& characteristic, uint16_t uuid) {
    auto found = Await(characteristic.GetDescriptorsForUuidWithCacheModeAsync(bt::BluetoothBaseUuid(uuid),
                                                                              bt::BluetoothCacheMode::Uncached));
    return found != nullptr && found->Descriptors().size() == 1 ? found->Descriptors()[0] : nullptr;
  }
  // Sensor sets up the heart-rate sensor and gives the named characteristic.
  std::shared_ptr<bt::GattCharacteristic> Sensor(uint16_t service_uuid, uint16_t uuid, const std::string& extra = "") {
    Script("heart_rate_sensor()" + extra);
    device_ = Device();
    if (device_ == nullptr) return nullptr;
    return Characteristic(*device_, service_uuid, uuid);
  }
  // Notified turns on the notifications of characteristic, which values listens to.
  void Notified(bt::GattCharacteristic& characteristic, Values& values) {
    values.Listen(characteristic);
    auto written = Await(characteristic.WriteClientCharacteristicConfigurationDescriptorWithResultAsync(Cccd::Notify));
    ASSERT_NE(written, nullptr);
    ASSERT_EQ(written->Status(), GattCommunicationStatus::Success);
  }
  std::string CharPath(uint16_t service, uint16_t characteristic) {
    char path[128];
    std::snprintf(path, sizeof path, "%s/service%04x/char%04x", kSensorPath, service, characteristic);
    return path;
  }

  // LinkLossEnds checks what a link loss under the subscriptions of `characteristics` gave: Disconnected
  // "Offline", then for each an Error 610 that names the link's loss and an Unsubscribed.
  void LinkLossEnds(const std::vector<std::string>& characteristics) {
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_UNSUBSCRIBED, characteristics.size()));
    std::vector<std::string> seen;
    for (const Event& event : sink_.Events()) {
      if (event.id == VELMORABLE_EVENT_DISCONNECTED) seen.push_back("disconnected " + event.Text(1));
      if (event.id == VELMORABLE_EVENT_ERROR) seen.push_back(std::to_string(event.Int(0)) + " " + event.Text(1));
    }
    std::vector<std::string> expected = {"disconnected Offline"};
    for (const std::string& id : characteristics) {
      expected.push_back("610 Notifications of characteristic ID \"" + id +
                         "\" ended: the link to the device was lost.");
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_UNSUBSCRIBED).size(), characteristics.size());
  }

  std::shared_ptr<bt::BluetoothLEDevice> device_;
};

// The same database through the simulator and through BlueZ gives the same tree, with one Connect only.
TEST_F(BluezGatt, DiscoveryGivesTheSimulatorsTree) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  std::string bluez_tree;
  ASSERT_EQ(Config("GattObjTreeInfo", &bluez_tree), 0);
  ASSERT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 0);
  EXPECT_EQ(mock_->CallsOf("Connect").size(), 1u);
  std::string battery;
  ASSERT_EQ(Read("001000000000", "001000120000", "", &battery), 0) << LastError();
  EXPECT_EQ(battery, "\x5a");

  VelmoraBLE_BLEClient_Destroy(handle_);
  auto radio = std::make_shared<bt::sim::SimRadio>();
  bt::sim::ScenarioError error;
  ASSERT_EQ(bt::sim::LoadScenarioFile(VELMORABLE_SOURCE_DIR "/examples/scenarios/heart_rate.txt", *radio, &error), 0);
  bt::InstallProvider(radio);
  handle_ = VelmoraBLE_BLEClient_Create(&Sink::Call, &sink_, 0);
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  std::string sim_tree;
  ASSERT_EQ(Config("GattObjTreeInfo", &sim_tree), 0);
  EXPECT_EQ(bluez_tree, sim_tree);
  EXPECT_FALSE(bluez_tree.empty());
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = nullptr;
}

// A secondary service is no root service, as on the simulator: it is reached only as an included service.
TEST_F(BluezGatt, SecondaryServicesAreReachedOnlyAsIncluded) {
  Script(
      "heart_rate_sensor(); D = devices[HEART_RATE_ADDRESS].database; D[0]['includes'] = [0x0010]; "
      "D[1]['primary'] = False");
  ASSERT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 0) << LastError();
  auto service_count = [&] { return VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SERVICE_COUNT, 0); };
  EXPECT_EQ(Call(VELMORABLE_METHOD_DISCOVER_SERVICES, {Text("180F"), Text("")}), 0) << LastError();
  EXPECT_EQ(service_count(), 0);
  EXPECT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 0, Text("")}), 0) << LastError();
  EXPECT_EQ(service_count(), 2);
  ASSERT_EQ(Config("AutoDiscoverIncludedServices=1"), 0);
  EXPECT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 0, Text("")}), 0) << LastError();
  ASSERT_EQ(service_count(), 3);
  std::string battery_parents = "(no service 001000000000)";
  for (int32_t i = 0; i < 3; ++i) {
    const std::string id = reinterpret_cast<const char*>(
        VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_NARROW_VARIANT + VELMORABLE_PROP_SERVICE_ID, i));
    if (id != "001000000000") continue;
    battery_parents = reinterpret_cast<const char*>(
        VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_NARROW_VARIANT + VELMORABLE_PROP_SERVICE_PARENT_SVC_IDS, i));
  }
  EXPECT_EQ(battery_parents, "000100000000");
}

// Lists come in handle order whatever order bluetoothd exports them in; included services are found.
TEST_F(BluezGatt, ListsInHandleOrderWithIncludedServices) {
  Script(
      "add_device(HEART_RATE_ADDRESS, name='x'); gatt(HEART_RATE_ADDRESS, ["
      "dict(handle=0x0010, uuid=0x180F, chars=[dict(handle=0x0014, uuid=0x2A19, flags=['read', 'notify']), "
      "dict(handle=0x0012, uuid=0x2A1A, flags=['write-without-response', 'indicate'])]), "
      "dict(handle=0x0001, uuid=0x1800, includes=[0x0010])])");
  auto device = Device();
  ASSERT_NE(device, nullptr);
  auto services = Await(device->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  ASSERT_EQ(services->Services().size(), 2u);
  EXPECT_EQ(services->Services()[0]->AttributeHandle(), 0x0001);
  EXPECT_EQ(services->Services()[1]->AttributeHandle(), 0x0010);
  auto included =
      Await(services->Services()[0]->GetIncludedServicesWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  ASSERT_EQ(included->Services().size(), 1u);
  EXPECT_EQ(included->Services()[0]->Uuid(), bt::BluetoothBaseUuid(0x180F));
  auto characteristics =
      Await(services->Services()[1]->GetCharacteristicsWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  ASSERT_EQ(characteristics->Characteristics().size(), 2u);
  auto first = characteristics->Characteristics()[0];
  auto second = characteristics->Characteristics()[1];
  EXPECT_EQ(first->AttributeHandle(), 0x0012);
  EXPECT_EQ(first->Uuid(), bt::BluetoothBaseUuid(0x2A1A));
  EXPECT_EQ(first->CharacteristicProperties(),
            bt::GattCharacteristicProperties::WriteWithoutResponse | bt::GattCharacteristicProperties::Indicate);
  EXPECT_EQ(second->AttributeHandle(), 0x0014);
  EXPECT_EQ(second->CharacteristicProperties(),
            bt::GattCharacteristicProperties::Read | bt::GattCharacteristicProperties::Notify);
  EXPECT_EQ(services->Services()[1]->Session()->MaxPduSize(), 247);
}

TEST_F(BluezGatt, DescriptorTextsAndFormatsMatchTheSimulator) {
  auto level = Sensor(0x180F, 0x2A19);
  ASSERT_NE(level, nullptr);
  auto firmware = Characteristic(*device_, 0x180A, 0x2A26);
  ASSERT_NE(firmware, nullptr);

  bt::sim::SimRadio radio;
  bt::sim::ScenarioError error;
  ASSERT_EQ(bt::sim::LoadScenarioFile(VELMORABLE_SOURCE_DIR "/examples/scenarios/heart_rate.txt", radio, &error), 0);
  auto sim_device = Await(radio.FromBluetoothAddressAsync(0xC0FFEE000001));
  ASSERT_NE(sim_device, nullptr);
  auto sim_level = Characteristic(*sim_device, 0x180F, 0x2A19);
  auto sim_firmware = Characteristic(*sim_device, 0x180A, 0x2A26);
  ASSERT_NE(sim_level, nullptr);
  ASSERT_NE(sim_firmware, nullptr);
  EXPECT_EQ(firmware->UserDescription(), sim_firmware->UserDescription());
  EXPECT_EQ(firmware->UserDescription(), u"Firmware revision");
  const auto formats = level->PresentationFormats();
  const auto sim_formats = sim_level->PresentationFormats();
  ASSERT_EQ(formats.size(), 1u);
  ASSERT_EQ(sim_formats.size(), 1u);
  EXPECT_EQ(formats[0].format_type, sim_formats[0].format_type);
  EXPECT_EQ(formats[0].exponent, sim_formats[0].exponent);
  EXPECT_EQ(formats[0].unit, sim_formats[0].unit);
  EXPECT_EQ(formats[0].namespace_id, sim_formats[0].namespace_id);
  EXPECT_EQ(formats[0].description, sim_formats[0].description);
  EXPECT_EQ(level->CharacteristicProperties(), sim_level->CharacteristicProperties());
  EXPECT_EQ(level->AttributeHandle(), 0x12);
}

TEST_F(BluezGatt, ReadsGoToTheDeviceUnlessCachedAndWritesNameTheirType) {
  auto rate = Sensor(0x180D, 0x2A38);
  ASSERT_NE(rate, nullptr);
  const std::string path = CharPath(0x01, 0x06);
  Script("calls.clear()");

  // No Value property yet: a cached read reads the device as well.
  auto read = Await(rate->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Cached));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(Hex(read->Value()), "01");
  EXPECT_EQ(mock_->CallsOf("ReadValue").size(), 1u);
  // The read left a Value; the device changes, the cache does not.
  Script("devices[HEART_RATE_ADDRESS].database[0]['chars'][1]['value'] = b'\\x02'");
  read = Await(rate->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Cached));
  EXPECT_EQ(Hex(read->Value()), "01");
  EXPECT_EQ(mock_->CallsOf("ReadValue").size(), 1u);
  read = Await(rate->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  EXPECT_EQ(Hex(read->Value()), "02");
  EXPECT_EQ(mock_->CallsOf("ReadValue").size(), 2u);

  auto control = Characteristic(*device_, 0x180D, 0x2A39);
  ASSERT_NE(control, nullptr);
  bt::Bytes big(300);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  auto written = Await(control->WriteValueWithResultAndOptionAsync(big, bt::GattWriteOption::WriteWithResponse));
  ASSERT_NE(written, nullptr);
  EXPECT_EQ(written->Status(), GattCommunicationStatus::Success);
  written = Await(control->WriteValueWithResultAndOptionAsync({0x05}, bt::GattWriteOption::WriteWithoutResponse));
  EXPECT_EQ(written->Status(), GattCommunicationStatus::Success);
  const auto writes = mock_->CallsOf("WriteValue");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], "WriteValue " + CharPath(0x01, 0x08) + " " + Hex(big) + " {type=request}");
  EXPECT_EQ(writes[1], "WriteValue " + CharPath(0x01, 0x08) + " 05 {type=command}");

  // Descriptors: the same rules.
  auto firmware = Characteristic(*device_, 0x180A, 0x2A26);
  auto description = Descriptor(*firmware, 0x2901);
  ASSERT_NE(description, nullptr);
  Script("calls.clear()");
  read = Await(description->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  const bt::Bytes text = read->Value();
  EXPECT_EQ(std::string(text.begin(), text.end()), "Firmware revision");
  EXPECT_EQ(mock_->CallsOf("ReadValue").size(), 1u);
}

// bluetoothd would write a value longer than 65535 bytes cut to the low 16 bits of its length: it is refused
// as too long, and never reaches bluetoothd.
TEST_F(BluezGatt, AValueLongerThanBluetoothdCarriesIsRefusedNotCut) {
  auto control = Sensor(0x180D, 0x2A39);
  ASSERT_NE(control, nullptr);
  Script("calls.clear()");
  const bt::Bytes huge(0x10002, 0x5A);
  auto written = Await(control->WriteValueWithResultAndOptionAsync(huge, bt::GattWriteOption::WriteWithResponse));
  ASSERT_NE(written, nullptr);
  EXPECT_EQ(written->Status(), GattCommunicationStatus::ProtocolError);
  EXPECT_EQ(written->ProtocolError(), std::optional<uint8_t>(0x0D));
  EXPECT_TRUE(mock_->CallsOf("WriteValue").empty());
}

// bluetoothd refuses a second read of an attribute while one runs: reads of one attribute wait their turn.
TEST_F(BluezGatt, ConcurrentReadsOfOneAttributeAreSerialized) {
  auto rate = Sensor(0x180D, 0x2A38, "; devices[HEART_RATE_ADDRESS].database[0]['chars'][1]['delay'] = 50");
  ASSERT_NE(rate, nullptr);
  auto first = rate->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached);
  auto second = rate->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached);
  auto third = rate->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached);
  for (const auto& read : {Await(first), Await(second), Await(third)}) {
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->Status(), GattCommunicationStatus::Success);
    EXPECT_EQ(Hex(read->Value()), "01");
  }
}

// Every row of the error list: the name and text bluetoothd answers with, and what the platform reports.
TEST_F(BluezGatt, ErrorsMapToStatusAndAttByte) {
  struct Row {
    const char* name;
    const char* text;
    GattCommunicationStatus status;
    int att;  // -1: none
  };
  using S = GattCommunicationStatus;
  const Row rows[] = {
      {"org.bluez.Error.NotPermitted", "Read not permitted", S::ProtocolError, 0x02},
      {"org.bluez.Error.NotPermitted", "Write not permitted", S::ProtocolError, 0x03},
      {"org.bluez.Error.NotPermitted", "Not paired", S::ProtocolError, 0x05},
      {"org.bluez.Error.NotAuthorized", "Operation Not Authorized", S::ProtocolError, 0x08},
      {"org.bluez.Error.NotSupported", "Operation is not supported", S::ProtocolError, 0x06},
      {"org.bluez.Error.InvalidArguments", "Invalid offset", S::ProtocolError, 0x07},
      {"org.bluez.Error.InvalidArguments", "Invalid Length", S::ProtocolError, 0x0D},
      {"org.bluez.Error.InvalidOffset", "Invalid offset", S::ProtocolError, 0x07},
      {"org.bluez.Error.InvalidValueLength", "Invalid Length", S::ProtocolError, 0x0D},
      {"org.bluez.Error.Failed", "Operation failed with ATT error: 0x0e", S::ProtocolError, 0x0E},
      {"org.bluez.Error.Failed", "Operation failed with ATT error: 0x80 (Application Error)", S::ProtocolError, 0x80},
      {"org.bluez.Error.Failed", "Not connected", S::Unreachable, -1},
      {"org.bluez.Error.NotConnected", "Not Connected", S::Unreachable, -1},
      {"org.freedesktop.DBus.Error.UnknownObject", "gone", S::Unreachable, -1},
      {"org.freedesktop.DBus.Error.UnknownMethod", "gone", S::Unreachable, -1},
      {"org.freedesktop.DBus.Error.NoReply", "no reply", S::Unreachable, -1},
      {"org.freedesktop.DBus.Error.Timeout", "timeout", S::Unreachable, -1},
      {"org.freedesktop.DBus.Error.AccessDenied", "policy", S::AccessDenied, -1},
  };
  auto rate = Sensor(0x180D, 0x2A38);
  ASSERT_NE(rate, nullptr);
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + row.text);
    Script(std::string("devices[HEART_RATE_ADDRESS].database[0]['chars'][1]['errors'] = {'ReadValue': ('") + row.name +
           "', '" + row.text + "'), 'WriteValue': ('" + row.name + "', '" + row.text + "')}");
    auto read = Await(rate->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
    auto written = Await(rate->WriteValueWithResultAndOptionAsync({1}, bt::GattWriteOption::WriteWithResponse));
    ASSERT_NE(read, nullptr);
    ASSERT_NE(written, nullptr);
    for (auto [status, att] :
         {std::pair(read->Status(), read->ProtocolError()), std::pair(written->Status(), written->ProtocolError())}) {
      EXPECT_EQ(status, row.status);
      EXPECT_EQ(att.has_value(), row.att >= 0);
      if (att && row.att >= 0) {
        EXPECT_EQ(*att, row.att);
      }
    }
  }
}

// Another program holding a characteristic's notification or write socket is bluetoothd's refusal, not the
// device's: access denied (606), with a Log line that names the hold.
TEST_F(BluezGatt, AnotherProgramsHoldIsAccessDeniedNotAnAttError) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Config("LogLevel=2"), 0);
  Script("acquired_elsewhere(HEART_RATE_ADDRESS, 0x0003, ['notify']); "
         "acquired_elsewhere(HEART_RATE_ADDRESS, 0x0008, ['write'])");
  EXPECT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 606);
  EXPECT_EQ(LastError(), "Error attempting communication: Access denied by system.");
  const char value[] = "\x01";
  EXPECT_EQ(Call(VELMORABLE_METHOD_WRITE_VALUE,
                 {Text("000100000000"), Text("000100080000"), Text(""), reinterpret_cast<intptr_t>(value)}, {0, 0, 0, 1}),
            606);
  EXPECT_EQ(LastError(), "Error attempting communication: Access denied by system.");
  std::vector<std::string> holds;
  for (int i = 0; i < 1000 && holds.size() < 2; ++i) {
    holds.clear();
    for (const Event& event : sink_.Of(VELMORABLE_EVENT_LOG)) {
      if (event.Text(1).find("another program holds") != std::string::npos) holds.push_back(event.Text(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(holds.size(), 2u);
  EXPECT_NE(holds[0].find("notification socket"), std::string::npos) << holds[0];
  EXPECT_NE(holds[1].find("write socket"), std::string::npos) << holds[1];
}

// Another program writes a characteristic (a second application driving the same control point) when this
// client writes it: bluetoothd refuses the second write as in progress until the first is answered. The
// device is connected and answering, so the write is made once the other one is done, not failed with 607.
TEST_F(BluezGatt, AWriteBesideAnotherProgramsWriteOfTheCharacteristicIsMadeAfterIt) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  Script("write_elsewhere(HEART_RATE_ADDRESS, 0x0008, 300)");
  const char value[] = "\x01";
  EXPECT_EQ(Call(VELMORABLE_METHOD_WRITE_VALUE,
                 {Text("000100000000"), Text("000100080000"), Text(""), reinterpret_cast<intptr_t>(value)}, {0, 0, 0, 1}),
            0)
      << LastError();
  EXPECT_EQ(Script("find_attribute(devices[HEART_RATE_ADDRESS].attribute_path(0x0008))[1]['value']"), "b'\\x01'");
}

// The same for a descriptor (a second application setting a writable User Description): bluetoothd keeps one
// write under way per descriptor too (gatt-client.c, descriptor_write_value: "if (desc->write_op)").
TEST_F(BluezGatt, ADescriptorWriteBesideAnotherProgramsWriteOfItIsMadeAfterIt) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  Script("write_elsewhere(HEART_RATE_ADDRESS, 0x0027, 300)");
  const char value[] = "Left strap";
  EXPECT_EQ(Call(VELMORABLE_METHOD_WRITE_VALUE,
                 {Text("002000000000"), Text("002000260000"), Text("002000260027"), reinterpret_cast<intptr_t>(value)},
                 {0, 0, 0, 10}),
            0)
      << LastError();
  EXPECT_EQ(Script("find_attribute(devices[HEART_RATE_ADDRESS].attribute_path(0x0027))[1]['value']"),
            "b'Left strap'");
}

// Another program reads the rest of a long value (from an offset) when this client reads the characteristic:
// bluetoothd joins a read to the one under way only at the same offset and refuses it as in progress
// otherwise (gatt-client.c, characteristic_read_value: "if (chrc->read_op->offset != offset)"). The read is
// made once that one is done, not failed with 607.
TEST_F(BluezGatt, AReadBesideAnotherProgramsOffsetReadOfTheCharacteristicIsMadeAfterIt) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  // Only for this test: the other program's read at another offset, answered by the device after 300 ms.
  Script("_, c = find_attribute(devices[HEART_RATE_ADDRESS].attribute_path(0x0012)); "
         "c['errors']['ReadValue'] = ('org.bluez.Error.InProgress', 'In Progress'); "
         "GLib.timeout_add(300, lambda: c['errors'].pop('ReadValue', None) and False)");
  std::string value;
  EXPECT_EQ(Read("001000000000", "001000120000", "", &value), 0) << LastError();
  EXPECT_EQ(value, "\x5a");
}

TEST_F(BluezGatt, FailingConnectOrMissingResolutionIsUnreachable) {
  Script(
      "heart_rate_sensor(); devices[HEART_RATE_ADDRESS].connect_error = "
      "('org.bluez.Error.Failed', 'le-connection-abort-by-local')");
  auto device = Device();
  ASSERT_NE(device, nullptr);
  auto services = Await(device->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  ASSERT_NE(services, nullptr);
  EXPECT_EQ(services->Status(), GattCommunicationStatus::Unreachable);
  EXPECT_TRUE(services->Services().empty());

  // ServicesResolved never comes: the engine's own timeout ends the discovery.
  Script("devices[HEART_RATE_ADDRESS].connect_error = None; devices[HEART_RATE_ADDRESS].resolve = False");
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  ASSERT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 0) << LastError();
  EXPECT_NE(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 0);
}

// The device answered bluetoothd's GATT discovery with an error: bluetoothd sets ServicesResolved on the link it
// keeps up and exports no service. Every LE GATT server has the GAP service, so a resolved device whose services
// bluetoothd lists nowhere (no object, an empty UUIDs) was not discovered: unreachable, not a device without
// services, also when asked again.
TEST_F(BluezGatt, AGattDiscoveryBluetoothdGaveUpOnIsUnreachableNotAnEmptyTree) {
  Script("heart_rate_sensor(); gatt_discovery_fails(HEART_RATE_ADDRESS)");
  EXPECT_EQ(ConnectAndDiscover(), 607) << sink_.Of(VELMORABLE_EVENT_DISCOVERED).size() << " objects discovered";
  EXPECT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 607)
      << sink_.Of(VELMORABLE_EVENT_DISCOVERED).size() << " objects discovered";
}

// bluetoothd says a device's services are resolved once its GATT discovery is done, however long that takes
// (ATT bounds each request, not the discovery). A discovery of 32 s is within the client's Timeout (60 s):
// Discover succeeds, and the link stays.
TEST_F(BluezGatt, AGattDiscoveryLongerThanThirtySecondsWithinTimeoutSucceeds) {
  Script("heart_rate_sensor(); resolved_after(HEART_RATE_ADDRESS, 32000)");
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 60), 0);
  ASSERT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 0) << LastError();
  EXPECT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 0) << LastError();
  EXPECT_TRUE(mock_->CallsOf("Disconnect").empty());
}

// bluetoothd may send ServicesResolved ahead of the services it exported in the same step (it sends its held-back
// signals object by object, the device first). Discover finds them all, and their coming is the device's first
// export, no change of its services.
TEST_F(BluezGatt, ServicesThatFollowServicesResolvedAreFoundAndNoChange) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  std::string in_order;
  ASSERT_EQ(Config("GattObjTreeInfo", &in_order), 0);
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);

  Script("reset(); heart_rate_sensor(); resolved_before_export(HEART_RATE_ADDRESS)");
  EXPECT_EQ(ConnectAndDiscover(), 0) << LastError();
  std::string resolved_first;
  ASSERT_EQ(Config("GattObjTreeInfo", &resolved_first), 0);
  EXPECT_EQ(resolved_first, in_order);
  // A services change would be told within a fraction of this.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  for (const Event& update : sink_.Of(VELMORABLE_EVENT_SERVER_UPDATE)) {
    ADD_FAILURE() << "ServerUpdate \"" << update.Text(0) << "\", \"" << update.Text(1) << "\"";
  }
}

// Another program's Connect of the device is under way (a settings panel, a second application) when this
// client's Discover connects it: bluetoothd refuses the second Connect as in progress until the first is
// answered. The device is being connected, not unreachable: Discover uses the link once it is up.
TEST_F(BluezGatt, AConnectAnotherProgramHasUnderWayIsWaitedForNotFailed) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 0) << LastError();
  ASSERT_EQ(Config("AutoDiscoverCharacteristics=1"), 0);
  Script("connect_elsewhere_slowly(HEART_RATE_ADDRESS, 1500)");
  EXPECT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 0, Text("")}), 0) << LastError();
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SERVICE_COUNT, 0), 3);
}

// The other program's Connect fails instead (the radio missed the device in that attempt): bluetoothd answers
// that program with an error and drops its pending Connect, and no property of the device changes (device.c,
// att_connect_cb: "device->connect = NULL"). A Connect asked now is made, so Discover gets the services
// instead of waiting out its bound.
TEST_F(BluezGatt, AConnectAnotherProgramHadUnderWayThatFailedDoesNotFailDiscover) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 0) << LastError();
  ASSERT_EQ(Config("AutoDiscoverCharacteristics=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 10), 0);
  // Only for this test: the other program's Connect is under way for 500 ms, then fails.
  Script("d = devices[HEART_RATE_ADDRESS]; d.connecting_elsewhere = True; "
         "GLib.timeout_add(500, lambda: setattr(d, 'connecting_elsewhere', False))");
  EXPECT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 0, Text("")}), 0) << LastError();
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SERVICE_COUNT, 0), 3);
}

// AcquireNotify: each record is one ValueChanged, in order; a read while subscribed adds nothing; closing
// the socket ends it. A direct CCCD write maps to the same calls, and a CCCD read tells the state.
TEST_F(BluezGatt, NotificationsThroughTheAcquiredSocket) {
  auto measurement = Sensor(0x180D, 0x2A37);
  ASSERT_NE(measurement, nullptr);
  Values values;
  measurement->AddValueChanged([](const auto&, const auto&) {});
  values.Listen(*measurement);
  auto cccd = Descriptor(*measurement, 0x2902);
  ASSERT_NE(cccd, nullptr);
  auto written = Await(cccd->WriteValueWithResultAsync({0x01, 0x00}));
  ASSERT_NE(written, nullptr);
  EXPECT_EQ(written->Status(), GattCommunicationStatus::Success);
  EXPECT_EQ(mock_->CallsOf("AcquireNotify").size(), 1u);
  EXPECT_TRUE(mock_->CallsOf("WriteValue").empty());
  auto state = Await(measurement->ReadClientCharacteristicConfigurationDescriptorAsync());
  EXPECT_EQ(state->ClientCharacteristicConfigurationDescriptor(), Cccd::Notify);

  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0003, counter(10))"), "10");
  ASSERT_TRUE(values.WaitFor(10));
  auto read = Await(measurement->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  EXPECT_EQ(read->Status(), GattCommunicationStatus::Success);
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0003, [b'\\xff'])"), "1");
  ASSERT_TRUE(values.WaitFor(11));
  {
    std::lock_guard lock(values.mutex);
    ASSERT_EQ(values.values.size(), 11u);
    for (uint8_t i = 0; i < 10; ++i) EXPECT_EQ(values.values[i], (bt::Bytes{i, 0, 0, 0}));
    EXPECT_EQ(values.values[10], bt::Bytes{0xff});
  }

  written = Await(measurement->WriteClientCharacteristicConfigurationDescriptorWithResultAsync(Cccd::None));
  EXPECT_EQ(written->Status(), GattCommunicationStatus::Success);
  for (int i = 0; i < 500 && Script("socket_open(HEART_RATE_ADDRESS, 0x0003)") == "True"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Script("socket_open(HEART_RATE_ADDRESS, 0x0003)"), "False");
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0003, [b'\\x01'])"), "0");
  state = Await(measurement->ReadClientCharacteristicConfigurationDescriptorAsync());
  EXPECT_EQ(state->ClientCharacteristicConfigurationDescriptor(), Cccd::None);
  EXPECT_EQ(values.Count(), 11u);
}

// A device may notify an empty value: bluetoothd writes it to the socket as an empty record, which reads as 0
// bytes like the end of the stream. It is a value, and the socket stays.
TEST_F(BluezGatt, AnEmptyNotificationIsAValueAndKeepsTheSocket) {
  auto measurement = Sensor(0x180D, 0x2A37);
  ASSERT_NE(measurement, nullptr);
  Values values;
  ASSERT_NO_FATAL_FAILURE(Notified(*measurement, values));
  EXPECT_EQ(Script("send_raw(HEART_RATE_ADDRESS, 0x0003, b'')"), "0");
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0003, [b'\\x06\\x50'])"), "1");
  ASSERT_TRUE(values.WaitFor(2));
  {
    std::lock_guard lock(values.mutex);
    EXPECT_EQ(values.values, (std::vector<bt::Bytes>{{}, {0x06, 0x50}}));
  }
  EXPECT_TRUE(mock_->CallsOf("StartNotify").empty());
  EXPECT_EQ(Script("socket_open(HEART_RATE_ADDRESS, 0x0003)"), "True");
}

TEST_F(BluezGatt, NotificationsFallBackToStartNotify) {
  auto level = Sensor(0x180F, 0x2A19, "; devices[HEART_RATE_ADDRESS].database[1]['chars'][0]['acquire'] = False");
  ASSERT_NE(level, nullptr);
  Values values;
  values.Listen(*level);
  auto written = Await(level->WriteClientCharacteristicConfigurationDescriptorWithResultAsync(Cccd::Notify));
  ASSERT_NE(written, nullptr);
  EXPECT_EQ(written->Status(), GattCommunicationStatus::Success);
  EXPECT_EQ(mock_->CallsOf("AcquireNotify").size(), 1u);
  EXPECT_EQ(mock_->CallsOf("StartNotify").size(), 1u);
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0012, counter(10))"), "10");
  ASSERT_TRUE(values.WaitFor(10));
  {
    std::lock_guard lock(values.mutex);
    for (uint8_t i = 0; i < 10; ++i) EXPECT_EQ(values.values[i], (bt::Bytes{i, 0, 0, 0}));
  }
  written = Await(level->WriteClientCharacteristicConfigurationDescriptorWithResultAsync(Cccd::None));
  EXPECT_EQ(written->Status(), GattCommunicationStatus::Success);
  EXPECT_EQ(mock_->CallsOf("StopNotify").size(), 1u);
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0012, [b'\\x01'])"), "0");
  EXPECT_EQ(values.Count(), 10u);
}

// bluetoothd answers AcquireNotify once the device has answered the write of the configuration descriptor,
// within ATT's 30 s. A device that answers after 26 s is subscribed within the client's Timeout (60 s): no
// refusal that names another program's hold, no failure at all, and its notifications come.
TEST_F(BluezGatt, ASubscribeThatBluetoothdAnswersWithinAttsBoundSucceeds) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 60), 0);
  Script("acquire_answered_after(HEART_RATE_ADDRESS, 0x0003, 26000)");
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0003, [b'\\x06\\x50'])"), "1");
  EXPECT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_VALUE));
}

// bluetoothd updates Value after a read as after a notification: during a StartNotify session the
// application's own reads raise no Value event beside their own, and notifications still do.
TEST_F(BluezGatt, ReadsDuringAStartNotifySessionAreNoNotifications) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].database[1]['chars'][0]['acquire'] = False");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("001000000000"), Text("001000120000")}), 0) << LastError();
  ASSERT_EQ(mock_->CallsOf("StartNotify").size(), 1u);
  for (int i = 0; i < 10; ++i) {
    std::string value;
    ASSERT_EQ(Read("001000000000", "001000120000", "", &value), 0) << LastError();
    EXPECT_EQ(value, "\x5a");
  }
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0012, [b'\\x33'])"), "1");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_VALUE, 11));
  const std::vector<Event> values = sink_.Of(VELMORABLE_EVENT_VALUE);
  ASSERT_EQ(values.size(), 11u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(values[i].Text(5), "\x5a") << i;
  EXPECT_EQ(values[10].Text(5), "\x33");
}

// The notification socket closes at a link loss before bluetoothd says the device is disconnected: the
// StartNotify that takes its place is kept by bluetoothd for the next connection, and is ended, as the
// subscription ended with the link.
TEST_F(BluezGatt, ASocketThatClosedWithTheLinkLeavesNoSessionForTheNextConnection) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
  Script("link_loss_sockets_first(HEART_RATE_ADDRESS)");
  ASSERT_TRUE(WaitForCall("StartNotify"));
  EXPECT_TRUE(WaitForScript("kept_sessions(HEART_RATE_ADDRESS)", "0"));
}

// A subscription through StartNotify (no notification socket) ends with the link: bluetoothd keeps the
// device's objects and its sessions, and would turn the notifications on again for this program at the next
// connection of any program, so the backend stops the session.
TEST_F(BluezGatt, AStartNotifySessionEndsWithTheLink) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].database[0]['chars'][0]['acquire'] = False");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
  ASSERT_EQ(mock_->CallsOf("StartNotify").size(), 1u);
  Script("link_drop_cached(HEART_RATE_ADDRESS)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
  EXPECT_TRUE(WaitForCall("StopNotify"));
  EXPECT_TRUE(WaitForScript("kept_sessions(HEART_RATE_ADDRESS)", "0"));
}

// The link drops under a subscription through the notification socket and one through StartNotify (the
// device out of range a moment) and comes back without this client's Connect (another program connects it, or
// bluetoothd reconnects a bonded device), bluetoothd using the objects it kept. The sessions ended with the
// link, and so did the subscriptions: Error 610 and Unsubscribed follow Disconnected "Offline", the state
// reads 0, and Subscribe asks bluetoothd again once the link is back, which brings Values.
TEST_F(BluezGatt, ALinkLossEndsTheSubscriptionsAndTheNextSubscribeAsksAgain) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].database[1]['chars'][0]['acquire'] = False");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  const char* services[] = {"000100000000", "001000000000"};
  const char* characteristics[] = {"000100030000", "001000120000"};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text(services[i]), Text(characteristics[i])}), 0) << LastError();
  }
  sink_.Clear();
  Script("link_drop_cached(HEART_RATE_ADDRESS)");
  LinkLossEnds({characteristics[0], characteristics[1]});
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_SERVICE, 0, Text(services[0])), 0);
  std::vector<intptr_t> query = {0, -1};
  std::vector<int32_t> sizes(2, 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, query.data(), sizes.data()),
            0);
  EXPECT_EQ(query[1], 0);

  Script("link_up(devices[HEART_RATE_ADDRESS])");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_CONNECTED));
  const size_t started = mock_->CallsOf("StartNotify").size();
  const size_t acquired = mock_->CallsOf("AcquireNotify").size();
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text(services[i]), Text(characteristics[i])}), 0) << LastError();
  }
  EXPECT_EQ(mock_->CallsOf("AcquireNotify").size(), acquired + 2);
  EXPECT_EQ(mock_->CallsOf("StartNotify").size(), started + 1);
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0003, [b'\\x06\\x50'])"), "1");
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0012, [b'\\x33'])"), "1");
  EXPECT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_VALUE, 2));
}

// A Service Changed that covers the subscribed characteristic: bluetoothd removes it and exports it again
// under the same paths, which ends the subscription. Error 610 and Unsubscribed say so, the state reads 0, and
// after a discovery Subscribe asks bluetoothd again and the notifications come.
TEST_F(BluezGatt, AServiceChangedThatReplacesTheCharacteristicEndsItsSubscription) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
  Script("service_replaced(HEART_RATE_ADDRESS, 0x0001)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_UNSUBSCRIBED));
  const std::vector<Event> errors = sink_.Of(VELMORABLE_EVENT_ERROR);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].Int(0), 610);
  EXPECT_EQ(errors[0].Text(1),
            "Notifications of characteristic ID \"000100030000\" ended: bluetoothd removed the characteristic (the "
            "device's services changed).");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_SERVER_UPDATE));
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_SERVICE, 0, Text("000100000000")), 0);
  std::vector<intptr_t> query = {0, -1};
  std::vector<int32_t> sizes(2, 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, query.data(), sizes.data()),
            0);
  EXPECT_EQ(query[1], 0);

  ASSERT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 0) << LastError();
  const size_t acquired = mock_->CallsOf("AcquireNotify").size();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
  EXPECT_EQ(mock_->CallsOf("AcquireNotify").size(), acquired + 1);
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0003, [b'\\x06\\x50'])"), "1");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_VALUE));
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_VALUE)[0].Text(5), "\x06\x50");
}

// Two clients subscribed to one characteristic: one's Unsubscribe leaves the other's notifications, and
// notifications end with the last subscriber.
TEST_F(BluezGatt, NotificationsEndWithTheLastSubscriberOfTheProcess) {
  Script("heart_rate_sensor()");
  Sink other_sink;
  const ClientHandle handle(VelmoraBLE_BLEClient_Create(&Sink::Call, &other_sink, 0));
  VelmoraBLE_BLEClient* other = handle.get();
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(testing::Do(other, VELMORABLE_METHOD_CONNECT, kSensor), 0) << testing::LastError(other);
  const char* measurement[] = {"000100000000", "000100030000"};
  std::vector<intptr_t> params = {Text(measurement[0]), Text(measurement[1])};
  std::vector<int32_t> sizes(2, 0);
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text(measurement[0]), Text(measurement[1])}), 0) << LastError();
  ASSERT_EQ(testing::Config(other, "AutoDiscoverCharacteristics=1"), 0);
  ASSERT_EQ(testing::Do(other, VELMORABLE_METHOD_DISCOVER, ""), 0) << testing::LastError(other);
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(other, VELMORABLE_METHOD_SUBSCRIBE, 2, params.data(), sizes.data()), 0)
      << testing::LastError(other);
  ASSERT_EQ(Call(VELMORABLE_METHOD_UNSUBSCRIBE, {Text(measurement[0]), Text(measurement[1])}), 0) << LastError();
  EXPECT_EQ(Script("socket_open(HEART_RATE_ADDRESS, 0x0003)"), "True");
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0003, [b'\\x06\\x50'])"), "1");
  ASSERT_TRUE(other_sink.WaitFor(VELMORABLE_EVENT_VALUE));
  EXPECT_EQ(other_sink.Of(VELMORABLE_EVENT_VALUE)[0].Text(5), "\x06\x50");
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(other, VELMORABLE_METHOD_UNSUBSCRIBE, 2, params.data(), sizes.data()), 0)
      << testing::LastError(other);
  EXPECT_TRUE(WaitForScript("socket_open(HEART_RATE_ADDRESS, 0x0003)", "False"));
  EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_VALUE).empty());
}

// Another program connected the device (the system's own link to a paired device, another application):
// this client's Connect uses that link, and its Disconnect leaves it open. The subscriptions end with
// Disconnect all the same, so the notification socket and the StartNotify session that Subscribe took are
// given back to bluetoothd, which otherwise keeps the device notifying for nobody and refuses the
// characteristic's AcquireNotify to every other program for as long as this process runs.
TEST_F(BluezGatt, DisconnectEndsTheSessionsOnALinkAnotherProgramOpened) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].database[1]['chars'][0]['acquire'] = False; "
         "connect_elsewhere(HEART_RATE_ADDRESS)");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("001000000000"), Text("001000120000")}), 0) << LastError();
  ASSERT_EQ(Script("socket_open(HEART_RATE_ADDRESS, 0x0003)"), "True");
  ASSERT_EQ(mock_->CallsOf("StartNotify").size(), 1u);
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0) << LastError();
  EXPECT_TRUE(mock_->CallsOf("Disconnect").empty());
  EXPECT_TRUE(WaitForScript("socket_open(HEART_RATE_ADDRESS, 0x0003)", "False"));
  EXPECT_TRUE(WaitForScript("acquire_by_another(HEART_RATE_ADDRESS, 0x0003)", "ok"));
  EXPECT_TRUE(WaitForScript("acquire_by_another(HEART_RATE_ADDRESS, 0x0012)", "ok"));
  EXPECT_EQ(mock_->CallsOf("StopNotify").size(), 1u);
  // The next connection starts with nothing subscribed: the device's CCCD reads off.
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_SERVICE, 0, Text("000100000000")), 0);
  std::vector<intptr_t> query = {0, -1};
  std::vector<int32_t> sizes(2, 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, query.data(), sizes.data()),
            0);
  EXPECT_EQ(query[1], 0);
}

// Two clients of the process use the sensor and only the first subscribes (the measurement through its
// notification socket, the battery level through StartNotify); it disconnects while the second stays
// connected. No client of the process holds a subscription any more, so the sessions go back to bluetoothd,
// which would otherwise notify for nobody and refuse the characteristics' AcquireNotify to every other program
// for as long as the second client stays.
TEST_F(BluezGatt, ADisconnectEndsTheSessionsItsClientAloneHeldBesideAnotherConnectedClient) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].database[1]['chars'][0]['acquire'] = False");
  Sink other_sink;
  const ClientHandle other(VelmoraBLE_BLEClient_Create(&Sink::Call, &other_sink, 0));
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(testing::Do(other.get(), VELMORABLE_METHOD_CONNECT, kSensor), 0) << testing::LastError(other.get());
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("001000000000"), Text("001000120000")}), 0) << LastError();
  ASSERT_EQ(Script("socket_open(HEART_RATE_ADDRESS, 0x0003)"), "True");
  ASSERT_EQ(mock_->CallsOf("StartNotify").size(), 1u);
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0) << LastError();
  EXPECT_TRUE(WaitForScript("socket_open(HEART_RATE_ADDRESS, 0x0003)", "False"));
  EXPECT_TRUE(WaitForScript("acquire_by_another(HEART_RATE_ADDRESS, 0x0003)", "ok"));
  EXPECT_TRUE(WaitForScript("acquire_by_another(HEART_RATE_ADDRESS, 0x0012)", "ok"));
  EXPECT_EQ(mock_->CallsOf("StopNotify").size(), 1u);
}

// Another program disconnects the device (the user's "Disconnect" in the system's settings): bluetoothd shuts
// the notification sockets down at once and closes the link 2 s later, refusing StartNotify meanwhile as the
// device is disconnecting. That is the link's end, reported as Disconnected "Offline"; it is no failure of
// the subscription's session, so no Error 610 and no Unsubscribed come before it, only the link loss's own.
TEST_F(BluezGatt, ADisconnectByAnotherProgramIsNoFailedSession) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
  ASSERT_EQ(Script("socket_open(HEART_RATE_ADDRESS, 0x0003)"), "True");
  Script("disconnect_elsewhere(HEART_RATE_ADDRESS)");
  LinkLossEnds({"000100030000"});
  EXPECT_TRUE(WaitForScript("kept_sessions(HEART_RATE_ADDRESS)", "0"));
}

// The adapter is unplugged under a connected, subscribed device: bluetoothd removes the device while it still
// reads Connected, and removing it frees its GATT objects before the device itself (adapter.c, adapter_remove:
// device_remove, whose disconnect_all gets no answer from a controller that is gone; btd_device_unref:
// g_dbus_unregister_interface of Device1, whose destroy device_free runs btd_gatt_client_destroy first).
// That is the end of the link, reported as Disconnected "Offline"; the device's services did not change, so no
// Error 610 naming a services change and no Unsubscribed come before it, only the link loss's own.
TEST_F(BluezGatt, AnAdapterUnpluggedUnderASubscriptionIsNoServicesChange) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
  Script("remove_adapter()");
  LinkLossEnds({"000100030000"});
}

// The adapter is unplugged under a connected device: bluetoothd frees the device's GATT objects while the
// device still reads Connected and ServicesResolved (adapter.c, adapter_remove: device_remove, whose
// disconnect_all reaches no controller, so device_remove_connection never runs and neither property changes;
// btd_device_unref: device_free runs btd_gatt_client_destroy, whose InterfacesRemoved of the services go out
// before the device's own). The device went with its link, and the application hears of it as the link's end,
// Disconnected "Offline": its services did not change, so no ServerUpdate "GattServicesChanged" follows.
TEST_F(BluezGatt, AnAdapterUnpluggedUnderAConnectionGivesNoServicesChangedAfterTheLinksEnd) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  sink_.Clear();
  Script("remove_adapter()");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_DISCONNECTED)[0].Text(1), "Offline");
  // A burst of service changes is told 100 ms after its last change; give it ample time to come.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  std::vector<std::string> updates;
  for (const Event& event : sink_.Of(VELMORABLE_EVENT_SERVER_UPDATE)) updates.push_back(event.Text(1));
  EXPECT_EQ(updates, std::vector<std::string>()) << "a ServerUpdate told of a services change after the link's end";
}

// A Service Changed removes a characteristic while a read of it waits for the device: bluetoothd cancels the
// read and never answers the call. The read ends at once all the same (the characteristic it read is gone),
// rather than when the 25 s D-Bus timeout runs out, and a read of the characteristic that bluetoothd exported
// again at the same path is not held behind it.
TEST_F(BluezGatt, AReadOfACharacteristicRemovedMeanwhileEndsAtOnce) {
  auto level = Sensor(0x180F, 0x2A19, "; devices[HEART_RATE_ADDRESS].database[1]['chars'][0]['delay'] = 1000");
  ASSERT_NE(level, nullptr);
  const size_t reads = mock_->CallsOf("ReadValue").size();  // discovery read the descriptors
  auto reading = level->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached);
  ASSERT_TRUE(WaitForCall("ReadValue", reads + 1));
  ASSERT_EQ(mock_->CallsOf("ReadValue").back().rfind("ReadValue " + CharPath(0x0010, 0x0012), 0), 0u);
  Script("service_replaced(HEART_RATE_ADDRESS, 0x0010)");
  // Await gives up after 20 s, before the D-Bus timeout.
  auto first = Await(reading);
  ASSERT_NE(first, nullptr) << "the read had no answer within 20 s";
  EXPECT_EQ(first->Status(), GattCommunicationStatus::Unreachable);
  auto again = Characteristic(*device_, 0x180F, 0x2A19);
  ASSERT_NE(again, nullptr);
  auto second = Await(again->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  ASSERT_NE(second, nullptr) << "the read of the characteristic exported again had no answer within 20 s";
  EXPECT_EQ(second->Status(), GattCommunicationStatus::Success);
  EXPECT_EQ(Hex(second->Value()), "5a");
}

// A Connect is under way when the device object goes (another program removed the device, or the adapter was
// unplugged and plugged in again): bluetoothd frees it with the call unanswered. The device is found again,
// and the next request connects it at once, not after the first call's 30 s have run out.
TEST_F(BluezGatt, AConnectDroppedWithTheDeviceHoldsNoLaterConnect) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].connect_held = True");
  auto first = Device();
  ASSERT_NE(first, nullptr);
  auto services = first->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Uncached);
  ASSERT_TRUE(WaitForCall("Connect"));
  Script("forget(HEART_RATE_ADDRESS)");
  auto gone = Await(services);
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone->Status(), GattCommunicationStatus::Unreachable);
  Script("forgotten[HEART_RATE_ADDRESS][0].connect_held = False; reappear(HEART_RATE_ADDRESS, rssi=-40)");
  auto second = DeviceWhenKnown();
  ASSERT_NE(second, nullptr);
  // Await gives up after 20 s, before the first call's timeout.
  auto found = Await(second->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  EXPECT_EQ(mock_->CallsOf("Connect").size(), 2u);
  ASSERT_NE(found, nullptr) << "no answer within 20 s";
  EXPECT_EQ(found->Status(), GattCommunicationStatus::Success);
}


// Another program's Connect of the device is under way and then fails (its radio attempt timed out); the
// Connect this process asks again meanwhile is still being made by the radio when the application lets go of the
// discovery that asked for it and of every object of the device. bluetoothd answers that Connect later, with the
// link up and the services resolved (device.c, dev_connect: the answer waits for att_connect_cb), which ends the
// discovery. Nothing of the process holds the device any more: the link it opened is closed, not left up for as
// long as the process runs.
TEST_F(BluezGatt, ALinkAConnectAskedAgainOpensForADiscoveryNobodyWaitsForIsClosed) {
  // Only for this test: the other program's Connect fails after 5 s; this process's next Connect waits for
  // the radio until the test answers it.
  Script("heart_rate_sensor(); d = devices[HEART_RATE_ADDRESS]; d.connecting_elsewhere = True; "
         "GLib.timeout_add(5000, lambda: [setattr(d, 'connecting_elsewhere', False), "
         "setattr(d, 'connect_held', True)] and False)");
  {
    auto device = Device();
    ASSERT_NE(device, nullptr);
    auto services = device->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Uncached);
    ASSERT_NE(services, nullptr);
    ASSERT_TRUE(WaitForScript("len(unanswered)", "1"));
  }
  Script("link_up(d); [ok() for ok, err in unanswered]; unanswered.clear()");
  EXPECT_TRUE(WaitForCall("Disconnect")) << "the link this process opened stays up with nothing holding it";
  EXPECT_EQ(Script("bool(d.props()['Connected'])"), "False");
}

// The link drops just as bluetoothd takes this client's StartNotify (a characteristic without a notification
// socket): bluetoothd, its device disconnected, answers success and keeps the session for the next connection
// of any program (gatt-client.c, characteristic_start_notify: "If the device is currently not connected,
// return success"). The Disconnected came before that answer. The subscription cannot outlive the link it was
// asked on: the session is stopped, and the Subscribe fails, or its subscription ends like any other.
TEST_F(BluezGatt, AStartNotifyAnsweredAfterTheLinkDroppedLeavesNoSessionForTheNextConnection) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].database[0]['chars'][0]['acquire'] = False");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  // Only for this test: the link is down by the time bluetoothd handles StartNotify.
  Script("devices[HEART_RATE_ADDRESS].dropping = True");
  const int subscribed = Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")});
  ASSERT_EQ(mock_->CallsOf("StartNotify").size(), 1u);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
  if (subscribed == 0) {
    EXPECT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_UNSUBSCRIBED))
        << "Subscribe returned 0 after the link dropped, and no Unsubscribed follows";
  }
  EXPECT_TRUE(WaitForScript("kept_sessions(HEART_RATE_ADDRESS)", "0"))
      << "bluetoothd keeps this program's StartNotify session of a link that dropped";
  Script("d = devices[HEART_RATE_ADDRESS]; d.dropping = False; link_up(d)");
  EXPECT_EQ(Script("acquire_by_another(HEART_RATE_ADDRESS, 0x0003)"), "ok");
}

// A Subscribe waits behind a slow read of the same characteristic, and its object, and every other object of
// the device, is let go meanwhile; another program keeps the link. The notification socket that bluetoothd
// then gives has no subscriber: it is closed, not kept for as long as the process runs, holding the
// characteristic's notifications from every other program (gatt-client.c, characteristic_acquire_notify:
// "Notify acquired").
TEST_F(BluezGatt, ASubscribeAnsweredAfterItsObjectWentLeavesNoSession) {
  Script("heart_rate_sensor(); connect_elsewhere(HEART_RATE_ADDRESS)");
  device_ = Device();
  ASSERT_NE(device_, nullptr);
  auto level = Characteristic(*device_, 0x180F, 0x2A19);
  ASSERT_NE(level, nullptr);
  Script("devices[HEART_RATE_ADDRESS].database[1]['chars'][0]['delay'] = 1000");
  auto read = level->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached);
  auto subscribe = level->WriteClientCharacteristicConfigurationDescriptorWithResultAsync(Cccd::Notify);
  ASSERT_TRUE(WaitForCall("ReadValue"));
  level.reset();
  device_.reset();
  ASSERT_NE(Await(read), nullptr);
  ASSERT_NE(Await(subscribe), nullptr);
  ASSERT_EQ(mock_->CallsOf("AcquireNotify").size(), 1u);
  EXPECT_TRUE(WaitForScript("acquire_by_another(HEART_RATE_ADDRESS, 0x0012)", "ok"))
      << "the process keeps a notification socket that no object of it subscribes to";
}

// The device raises the link's MTU after the subscription (as a GATT client of its own, its MTU exchange comes
// after bluetoothd's): bluetoothd keeps the notification socket it gave out and writes each later
// notification, up to the new MTU less 3 bytes, whole to it (gatt-client.c, notify_io_cb). Such a
// notification is a value like any other: neither it nor those behind it are lost, and the socket stays.
TEST_F(BluezGatt, ANotificationUpToAnMtuTheDeviceRaisedLaterIsAValue) {
  auto measurement = Sensor(0x180D, 0x2A37, "; devices[HEART_RATE_ADDRESS].database[0]['chars'][0]['mtu'] = 23");
  ASSERT_NE(measurement, nullptr);
  Values values;
  ASSERT_NO_FATAL_FAILURE(Notified(*measurement, values));
  Script("mtu_raised_by_device(HEART_RATE_ADDRESS, 247)");
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0003, [b'\\x42' * 100, b'\\x06\\x50'])"), "2");
  EXPECT_TRUE(values.WaitFor(2)) << "notifications were lost";
  {
    std::lock_guard lock(values.mutex);
    EXPECT_EQ(values.values, (std::vector<bt::Bytes>{bt::Bytes(100, 0x42), {0x06, 0x50}}));
  }
  EXPECT_TRUE(mock_->CallsOf("StartNotify").empty()) << "the notification socket was given up";
}

// bluetoothd's cache of a characteristic (its Value property) follows reads and StartNotify notifications
// (gatt-client.c, notify_cb), not the notifications it writes to an AcquireNotify socket (notify_io_cb only
// sends them). A cached read after such notifications gives the last value notified, as it does after
// StartNotify notifications and on the simulated radio, not the value read before them.
TEST_F(BluezGatt, ACachedReadAfterSocketNotificationsGivesTheLastValueNotified) {
  auto level = Sensor(0x180F, 0x2A19);
  ASSERT_NE(level, nullptr);
  auto read = Await(level->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  ASSERT_NE(read, nullptr);
  ASSERT_EQ(read->Value(), bt::Bytes{0x5a});
  Values values;
  ASSERT_NO_FATAL_FAILURE(Notified(*level, values));
  ASSERT_EQ(mock_->CallsOf("AcquireNotify").size(), 1u);
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0012, [b'\\x40', b'\\x3f'])"), "2");
  ASSERT_TRUE(values.WaitFor(2));
  auto cached = Await(level->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Cached));
  ASSERT_NE(cached, nullptr);
  EXPECT_EQ(cached->Status(), GattCommunicationStatus::Success);
  EXPECT_EQ(cached->Value(), bt::Bytes{0x3f}) << "the cached read gave 0x" << Hex(cached->Value());
}

// bluetoothd exports a Value on every characteristic and descriptor from the start, empty until something was
// read or notified (values_exported_from_the_start). A cached read of an attribute that was never read still
// has to reach the device, as it does on the simulated radio, not give those 0 bytes.
TEST_F(BluezGatt, ACachedReadOfAnAttributeNeverReadGivesTheDeviceValueNotBluetoothdsEmptyValue) {
  auto level = Sensor(0x180F, 0x2A19, "; values_exported_from_the_start(HEART_RATE_ADDRESS)");
  ASSERT_NE(level, nullptr);
  auto cccd = Descriptor(*level, 0x2902);
  ASSERT_NE(cccd, nullptr);
  auto read = Await(level->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Cached));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->Status(), GattCommunicationStatus::Success);
  EXPECT_EQ(Hex(read->Value()), "5a") << "a cached read of the battery level before any read";
  auto described = Await(cccd->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Cached));
  ASSERT_NE(described, nullptr);
  EXPECT_EQ(Hex(described->Value()), "0000") << "a cached read of its CCCD before any read";

  // What a program meets: ReadCharacteristicValueAt right after Discover. The objects let go close the link they
  // opened first (a Disconnect of their own), so that the client's connection does not race that close.
  device_.reset();
  level.reset();
  cccd.reset();
  ASSERT_TRUE(WaitForScript("devices[HEART_RATE_ADDRESS].props()['Connected']", "0"));
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SELECT, {Text("001000000000"), Text("001000120000")}), 0) << LastError();
  std::vector<intptr_t> params = {0, 0};
  std::vector<int32_t> sizes(2, 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_READ_CHARACTERISTIC_VALUE_AT, 2, params.data(),
                                    sizes.data()),
            0)
      << LastError();
  const std::string value(reinterpret_cast<const char*>(params[1]), sizes[1]);
  EXPECT_EQ(value, "\x5a") << "ReadCharacteristicValueAt gave " << sizes[1] << " bytes";
  params = {0, 0};
  sizes.assign(2, 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_READ_DESCRIPTOR_VALUE_AT, 2, params.data(),
                                    sizes.data()),
            0)
      << LastError();
  const std::string descriptor(reinterpret_cast<const char*>(params[1]), sizes[1]);
  EXPECT_EQ(descriptor, std::string("\x00\x00", 2)) << "ReadDescriptorValueAt(0) gave " << sizes[1] << " bytes";
}

// The device goes out of range while a read of it waits for its answer. bluetoothd answers the read with the
// error its ATT layer makes up for every request the link's end left pending, "Operation failed with ATT
// error: 0x0e" (Unlikely Error), which the device never sent, before or after the device reads disconnected.
// The read fails as the link's end, with 607, not as the device's refusal (714).
TEST_F(BluezGatt, AReadCutShortByTheLinksEndIsUnreachableNotTheDevicesError) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  // Only for this test: the device does not answer the read before the link drops.
  Script("devices[HEART_RATE_ADDRESS].database[1]['chars'][0]['read_held'] = True");
  for (const std::string answer_first : {"False", "True"}) {
    SCOPED_TRACE("answered before the link's end reads: " + answer_first);
    const size_t reads = mock_->CallsOf("ReadValue").size();
    std::atomic<int> read_rc{-1};
    std::thread reader([this, &read_rc] { read_rc = Read("001000000000", "001000120000", "", nullptr); });
    const bool asked = WaitForCall("ReadValue", reads + 1);
    if (asked) Script("link_drop_during_read(HEART_RATE_ADDRESS, answer_first=" + answer_first + ")");
    reader.join();
    ASSERT_TRUE(asked);
    EXPECT_EQ(read_rc.load(), 607) << LastError();
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
    sink_.Clear();
    Script("link_up(devices[HEART_RATE_ADDRESS])");
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_CONNECTED));
  }
}

// The device stops answering while another program's request is ahead of the application's read in
// bluetoothd's ATT queue. ATT gives that request up after its 30 s and closes the ATT channel, which answers
// the read, sent only moments before, with the Unlikely Error bluetoothd makes up; the kernel takes the link
// down two seconds later, when the device reads disconnected. The read was cut short by the link's end and
// fails with 607, as one that the link's end cuts short otherwise does, not as the device's refusal (714).
TEST_F(BluezGatt, AReadQueuedBehindARequestAttGaveUpOnIsUnreachableNotTheDevicesError) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  // Only for this test: the device does not answer the read.
  Script("devices[HEART_RATE_ADDRESS].database[1]['chars'][0]['read_held'] = True");
  const size_t reads = mock_->CallsOf("ReadValue").size();
  std::atomic<int> read_rc{-1};
  std::thread reader([this, &read_rc] { read_rc = Read("001000000000", "001000120000", "", nullptr); });
  const bool asked = WaitForCall("ReadValue", reads + 1);
  if (asked) Script("att_timeout_ahead(HEART_RATE_ADDRESS)");
  reader.join();
  ASSERT_TRUE(asked);
  EXPECT_EQ(read_rc.load(), 607) << LastError();
  EXPECT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
}

// A Subscribe whose write of the configuration descriptor waits behind another program's request that ATT
// gives up on: the ATT channel's end answers AcquireNotify with the Unlikely Error bluetoothd makes up and
// drops bluetoothd's GATT client; the kernel takes the link down two seconds later. No subscription was made:
// Subscribe must not return 0 with a Subscribed event on a link that is gone.
TEST_F(BluezGatt, ASubscribeCutShortByTheAttChannelsEndIsNotASubscription) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  Script("acquire_held(HEART_RATE_ADDRESS, 0x0003)");
  const size_t acquires = mock_->CallsOf("AcquireNotify").size();
  std::atomic<int> rc{-1};
  std::thread subscriber(
      [this, &rc] { rc = Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}); });
  const bool asked = WaitForCall("AcquireNotify", acquires + 1);
  if (asked) Script("att_timeout_ahead(HEART_RATE_ADDRESS)");
  subscriber.join();
  ASSERT_TRUE(asked);
  EXPECT_EQ(rc.load(), 607) << LastError();
  EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_SUBSCRIBED).empty()) << "a Subscribed event for no subscription";
  EXPECT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
}

// A notification of a characteristic subscribed through StartNotify comes while a read of it waits for the
// device's answer, and the link then ends before the answer: bluetoothd sent the notification's Value update
// before the link's end (and before the read's failure), so it is a notification the device made while
// connected. The application gets it as a Value event, whichever of the link's end and the read's failure
// bluetoothd reports first.
TEST_F(BluezGatt, ANotificationThatCameWhileAReadWaitedIsDeliveredWhenTheLinkEnds) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].database[1]['chars'][0]['acquire'] = False");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  for (const std::string answer_first : {"True", "False"}) {
    SCOPED_TRACE("answered before the link's end reads: " + answer_first);
    ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("001000000000"), Text("001000120000")}), 0) << LastError();
    sink_.Clear();
    // Only for this test: the device does not answer the read before the link drops.
    Script("devices[HEART_RATE_ADDRESS].database[1]['chars'][0]['read_held'] = True");
    const size_t reads = mock_->CallsOf("ReadValue").size();
    std::atomic<int> read_rc{-1};
    std::thread reader([this, &read_rc] { read_rc = Read("001000000000", "001000120000", "", nullptr); });
    const bool asked = WaitForCall("ReadValue", reads + 1);
    std::string sent;
    if (asked) {
      sent = Script("notify(HEART_RATE_ADDRESS, 0x0012, [b'\\x33'])");
      Script("link_drop_during_read(HEART_RATE_ADDRESS, answer_first=" + answer_first + ")");
    }
    reader.join();
    ASSERT_TRUE(asked);
    ASSERT_EQ(sent, "1");
    EXPECT_EQ(read_rc.load(), 607) << LastError();
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<std::string> values;
    for (const Event& value : sink_.Of(VELMORABLE_EVENT_VALUE)) values.push_back(value.Text(5));
    EXPECT_EQ(values, std::vector<std::string>{"\x33"}) << "the notification that came before the link's end";
    Script("devices[HEART_RATE_ADDRESS].database[1]['chars'][0]['read_held'] = False");
    sink_.Clear();
    Script("link_up(devices[HEART_RATE_ADDRESS])");
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_CONNECTED));
  }
}

// The device is out of range when Discover asks bluetoothd to connect it. bluetoothd answers Connect only when
// the kernel's connection attempt ends (device.c, dev_connect and device_connect_le: the answer waits for
// att_connect_cb), and the kernel gives an LE connection made through its L2CAP ATT socket the socket's send
// timeout, 40 s by default (l2cap_sock.c, l2cap_sock_alloc: sk_sndtimeo = L2CAP_CONN_TIMEOUT; l2cap_core.c,
// l2cap_chan_connect: __set_chan_timer(chan, get_sndtimeo)), longer than the 30 s this process waits for the
// answer. The device comes into range after those 30 s and the kernel connects it: bluetoothd brings the link up
// and answers the Connect that it was still making for this process. The link is this process's, opened for its
// Discover: the application's Disconnect closes it, and does not leave it up with nothing of the process using
// it (the device then stays connected to this machine, out of every other central's reach).
TEST_F(BluezGatt, ALinkBluetoothdOpensForAConnectAnsweredAfterThirtySecondsIsClosedByDisconnect) {
  // Only for this test: the device is not reached until the test answers bluetoothd's Connect.
  Script("heart_rate_sensor(); d = devices[HEART_RATE_ADDRESS]; d.connect_held = True");
  ASSERT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 0) << LastError();
  ASSERT_EQ(Config("AutoDiscoverCharacteristics=1"), 0);
  std::atomic<bool> discovered{false};
  std::atomic<int> discover_rc{-1};
  std::thread discover([this, &discovered, &discover_rc] {
    discover_rc = Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")});
    discovered = true;
  });
  const bool asked = WaitForScript("len(unanswered)", "1");
  // The kernel connects the device 32 s after the Connect (or once Discover has given up, if it does sooner).
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(32);
  while (!discovered && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (asked) Script("d.connect_held = False; link_up(d); [ok() for ok, err in unanswered]; unanswered.clear()");
  discover.join();
  ASSERT_TRUE(asked);
  ASSERT_TRUE(WaitForScript("bool(d.props()['Connected'])", "True"));
  const size_t disconnects = mock_->CallsOf("Disconnect").size();
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0) << LastError();
  EXPECT_TRUE(WaitForCall("Disconnect", disconnects + 1))
      << "the link bluetoothd opened for this process's Connect stays up after its Disconnect (Discover gave "
      << discover_rc.load() << ")";
  EXPECT_EQ(Script("bool(d.props()['Connected'])"), "False");
}

// The device sends a burst of notifications through the acquired socket and the link ends right after (a
// device that hands over its stored readings, then disconnects): bluetoothd wrote each notification to the
// socket as it came (gatt-client.c, notify_io_cb) before it reported the link's end ("Connected" false from
// device.c, device_remove_connection; the socket's shutdown from btd_gatt_client_disconnected, which leaves
// what the socket holds readable), so all of them came while the link was up. The application gets every one
// as a Value event, in order, before the link's end.
TEST_F(BluezGatt, NotificationsWrittenToTheSocketBeforeTheLinksEndAreAllDelivered) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  std::vector<std::string> short_rounds;
  const int rounds = 10;
  for (int round = 0; round < rounds; ++round) {
    ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
    sink_.Clear();
    ASSERT_EQ(Script("result = notify(HEART_RATE_ADDRESS, 0x0003, counter(200))\n"
                     "link_drop_cached(HEART_RATE_ADDRESS)\n"),
              "200");
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const size_t values = sink_.Of(VELMORABLE_EVENT_VALUE).size();
    if (values != 200) short_rounds.push_back(std::to_string(values));
    sink_.Clear();
    Script("link_up(devices[HEART_RATE_ADDRESS])");
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_CONNECTED));
  }
  EXPECT_TRUE(short_rounds.empty()) << short_rounds.size() << " of " << rounds
                                    << " rounds lost notifications; Values of 200 in them: "
                                    << ::testing::PrintToString(short_rounds);
}

// A Service Changed replaces the subscribed heart-rate service. bluetoothd removes the service as soon as the
// device answers the new primary service discovery, and exports it again under the same paths only once its
// characteristics and descriptors are discovered, several ATT round trips (connection intervals of 30 to 50 ms)
// later (shared/gatt-client.c, discovery_parse_services: gatt_db_clear_range; discover_chrcs_cb and
// discover_descs_cb: gatt_db_service_set_active, whose notify_service_changed reaches device.c,
// gatt_service_added and btd_gatt_client_service_added). That is one change of the device's services: one
// ServerUpdate, after which a Discover finds the service again and a Subscribe asks bluetoothd again.
TEST_F(BluezGatt, AServiceReplacedOverSeveralRoundTripsIsOneServerUpdateAfterWhichItIsFound) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
  sink_.Clear();
  Script("service_replaced_after(HEART_RATE_ADDRESS, 0x0001, 300)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_SERVER_UPDATE));
  // What an application does on the ServerUpdate: discover again and subscribe again.
  ASSERT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 0) << LastError();
  EXPECT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0)
      << "the service was missing from the Discover made on the ServerUpdate: " << LastError();
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_SERVER_UPDATE).size(), 1u) << "one Service Changed gave several ServerUpdates";
}

// Under "[GATT] Cache = no" (or "yes" with a device that is not bonded), ATT gives up on a request the device
// left unanswered and shuts its channel down: bluetoothd clears its copy of the device's database at once,
// unexporting every service and characteristic while the device still reads Connected, and the kernel ends the
// link 2 s later (device.c, att_disconnected_cb -> attio_cleanup -> gatt_cache_cleanup: gatt_db_clear). The
// services went with the link, not through a Service Changed: the application hears of the link's end,
// Disconnected "Offline" followed by the subscription's Error 610 naming the link's loss and Unsubscribed, and
// no ServerUpdate.
TEST_F(BluezGatt, AnAttChannelEndThatClearsAnUncachedDatabaseIsTheLinksEndNotAServicesChange) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
  sink_.Clear();
  Script("att_end_uncached(HEART_RATE_ADDRESS)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
  LinkLossEnds({"000100030000"});
  std::vector<std::string> updates;
  for (const Event& event : sink_.Of(VELMORABLE_EVENT_SERVER_UPDATE)) updates.push_back(event.Text(1));
  EXPECT_EQ(updates, std::vector<std::string>()) << "a ServerUpdate told of a services change for the link's end";
}

// A Service Changed over a range that holds a new service at lower handles than a service it
// replaces. bluetoothd removes the replaced Battery Service at once, exports the new service first and the Battery
// Service again only after the descriptor discovery of its own characteristics (scripted_bluez.py,
// service_replaced_behind_a_new_one). That is one change of the device's services: one ServerUpdate, after which a
// Discover finds the Battery Service again and a Subscribe to its Battery Level asks bluetoothd again.
TEST_F(BluezGatt, AServiceExportedAheadOfAReplacedOneIsStillOneServerUpdateAfterWhichBothAreFound) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("001000000000"), Text("001000120000")}), 0) << LastError();
  sink_.Clear();
  Script("service_replaced_behind_a_new_one(HEART_RATE_ADDRESS, 0x0010, dict(handle=0x000A, uuid=0x1811, "
         "chars=[dict(handle=0x000C, uuid=0x2A46, flags=['notify'], descs=[dict(handle=0x000D, uuid=0x2902)])]), "
         "150, 400)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_SERVER_UPDATE));
  // What an application does on the ServerUpdate: discover again and subscribe again.
  ASSERT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 0) << LastError();
  EXPECT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("001000000000"), Text("001000120000")}), 0)
      << "the replaced service was missing from the Discover made on the ServerUpdate: " << LastError();
  EXPECT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000A00000000"), Text("000A000C0000")}), 0)
      << "the new service was missing from the Discover made on the ServerUpdate: " << LastError();
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_SERVER_UPDATE).size(), 1u) << "one Service Changed gave several ServerUpdates";
}

// One Service Changed replaces the Battery Service (back under its paths 200 ms later) and removes the
// Device Information Service for good, so the change is told about 3 s later (kServiceBackMs). Meanwhile, a
// subscriber of the process (client A) still has its subscription of the Battery Level held, waiting for that
// telling. Another subscriber of the process (client B) subscribes to the Battery Level that is back: bluetoothd
// hands out a new notification socket. B then unsubscribes. B was the last subscriber bluetoothd serves, so the
// socket must close. Otherwise bluetoothd keeps the CCCD on, notifies for nobody, and refuses the
// characteristic's AcquireNotify to every other program (gatt-client.c, characteristic_acquire_notify:
// "Notify acquired") for as long as the process keeps the device.
TEST_F(BluezGatt, ASocketOpenedBesideASubscriptionHeldForAServicesChangeClosesWithItsLastSubscriber) {
  auto first = Sensor(0x180F, 0x2A19);
  ASSERT_NE(first, nullptr);
  Values values;
  Notified(*first, values);
  std::atomic<int> first_lost{0};
  first->AddNotificationsLost([&first_lost](const auto&, const auto&) { ++first_lost; });
  Script("services_changed(HEART_RATE_ADDRESS, removed=[0x0020]); "
         "service_replaced_after(HEART_RATE_ADDRESS, 0x0010, 200)");
  ASSERT_TRUE(WaitForScript("'" + CharPath(0x0010, 0x0012) + "' in mockobject.objects", "True"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto second = Characteristic(*device_, 0x180F, 0x2A19);
  ASSERT_NE(second, nullptr);
  auto on = Await(second->WriteClientCharacteristicConfigurationDescriptorWithResultAsync(Cccd::Notify));
  ASSERT_NE(on, nullptr);
  ASSERT_EQ(on->Status(), GattCommunicationStatus::Success);
  ASSERT_EQ(mock_->Run("socket_open(HEART_RATE_ADDRESS, 0x0012)"), "True");
  auto off = Await(second->WriteClientCharacteristicConfigurationDescriptorWithResultAsync(Cccd::None));
  ASSERT_NE(off, nullptr);
  ASSERT_EQ(off->Status(), GattCommunicationStatus::Success);
  // Past the telling of the change, which ends the first subscription too.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  ASSERT_EQ(first_lost.load(), 1) << "the first subscription was not ended with the change";
  EXPECT_EQ(mock_->Run("socket_open(HEART_RATE_ADDRESS, 0x0012)"), "False")
      << "the notification socket stayed open with no subscriber left in the process";
}

// A Service Changed over the whole database, each service's handles moved: bluetoothd removes every service (and
// its UUID) as the device answers the new primary service discovery and exports them again once the range is
// discovered, ServicesResolved staying true throughout (scripted_bluez.py, database_replaced_after). A services
// request made in that window is a request of a connected device whose discovery is under way: it waits for the
// services, as it does at the first discovery, rather than failing as if the device could not be reached.
TEST_F(BluezGatt, ADiscoverWhileAServiceChangedRediscoversTheWholeDatabaseWaitsForTheServices) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  Script("database_replaced_after(HEART_RATE_ADDRESS, 400)");
  // The removals have reached the client.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 0)
      << "a Discover during the device's rediscovery failed: " << LastError();
  EXPECT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("001000000000"), Text("001000120000")}), 0)
      << "the Battery Service was missing from the Discover: " << LastError();
}

// A Service Changed over the whole database whose new discovery takes longer than the backend's 3 s wait for a
// removed service (a large database over a slow connection interval: each ATT request of bluetoothd's discovery
// takes at least a connection event, shared/gatt-client.c, process_service_changed -> discovery_op). bluetoothd
// keeps the link and ServicesResolved set throughout (device.c, gatt_client_service_changed only stores the
// database) and exports the services again once the range is discovered (scripted_bluez.py,
// database_replaced_after). A Discover made in that window is a request of a connected device whose discovery is
// under way: it must wait for the services, as at the first discovery, not fail as if the device were gone.
TEST_F(BluezGatt, ADiscoverDuringARediscoveryLongerThanThreeSecondsWaitsForTheServices) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  Script("database_replaced_after(HEART_RATE_ADDRESS, 4000)");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 0)
      << "a Discover during the device's rediscovery failed: " << LastError();
  EXPECT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("001000000000"), Text("001000120000")}), 0)
      << "the Battery Service was missing from the Discover: " << LastError();
}

}  // namespace
}  // namespace velmora::ble::testing
