// What one connection's tree holds, through the exported interface: a discovery or a lookup that a sink's
// Disconnect cuts short adds nothing to the next connection's tree, the selection never keeps what a
// Disconnect freed, the indexed lists are those of the selection, and a lookup that failed once is asked
// again.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/ble/scan_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

using bt::sim::SimFault;
using bt::sim::SimOp;

constexpr uint64_t kFirst = 0xA0B0C0D00001;
constexpr uint64_t kSecond = 0xA0B0C0D00002;
constexpr char kFirstBattery[] = "001000000000";
constexpr char kFirstLevel[] = "001000120000";
constexpr char kFirstInfo[] = "000100000000";
constexpr char kThreeCharacteristics[] = "002000000000";
constexpr char kBatteryUuid[] = "0000180F-0000-1000-8000-00805F9B34FB";
constexpr char kHeartRateUuid[] = "0000180D-0000-1000-8000-00805F9B34FB";
constexpr char kRootServices[] = "BluetoothLEDevice.GetGattServicesWithCacheModeAsync";
constexpr char kIncludedServices[] = "GattDeviceService.GetIncludedServicesWithCacheModeAsync";
constexpr char kCharacteristics[] = "GattDeviceService.GetCharacteristicsWithCacheModeAsync";

// The first device: Device Information 0x0001 (includes the secondary 0x0030), Battery 0x0010 with its level
// 0x0012 (0x55, with a User Description that may be written), and 0x0020 with three characteristics, the
// last with an Extended Properties descriptor.
SimPeripheral FirstDevice() {
  SimPeripheral device;
  device.address = kFirst;
  device.name = u"First";
  bt::sim::SimService info = Service(0x0001, 0x180A);
  info.included = {0x0030};
  info.characteristics.push_back(Characteristic(0x0003, 0x2A29));
  bt::sim::SimService battery = Service(0x0010, 0x180F);
  bt::sim::SimCharacteristic level = Characteristic(0x0012, 0x2A19, 0x02 | 0x200);
  level.value = {0x55};
  level.descriptors.push_back({0x0013, bt::BluetoothBaseUuid(0x2901), {'L', 'e', 'v', 'e', 'l'}});
  battery.characteristics.push_back(level);
  bt::sim::SimService three = Service(0x0020, 0x1811);
  three.characteristics.push_back(Characteristic(0x0022, 0x2A47));
  three.characteristics.push_back(Characteristic(0x0024, 0x2A48));
  bt::sim::SimCharacteristic extended = Characteristic(0x0026, 0x2A49);
  extended.descriptors.push_back({0x0027, bt::BluetoothBaseUuid(0x2900), {0x00, 0x00}});
  three.characteristics.push_back(extended);
  bt::sim::SimService included = Service(0x0030, 0x1805, false);
  device.gatt.services = {info, battery, three, included};
  return device;
}

// The second device: Heart Rate 0x0010 with its measurement 0x0012, the same handles as the first device's
// Battery service and level, so the same ids.
SimPeripheral SecondDevice() {
  SimPeripheral device;
  device.address = kSecond;
  device.name = u"Second";
  bt::sim::SimService heart_rate = Service(0x0010, 0x180D);
  bt::sim::SimCharacteristic measurement = Characteristic(0x0012, 0x2A37);
  measurement.value = {0x06, 0x48};
  heart_rate.characteristics.push_back(measurement);
  device.gatt.services = {heart_rate};
  return device;
}

intptr_t Text(const char* text) { return reinterpret_cast<intptr_t>(text); }

int Discover(VelmoraBLE_BLEClient* handle, const char* service_id = "") {
  intptr_t params[4] = {Text(""), Text(""), 0, Text(service_id)};
  int32_t sizes[4] = {0, 0, 0, 0};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_DISCOVER, 4, params, sizes);
}

int DiscoverServices(VelmoraBLE_BLEClient* handle, const char* service_id) {
  intptr_t params[2] = {Text(""), Text(service_id)};
  int32_t sizes[2] = {0, 0};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_DISCOVER_SERVICES, 2, params, sizes);
}

int DiscoverCharacteristics(VelmoraBLE_BLEClient* handle, const char* service_id) {
  intptr_t params[2] = {Text(service_id), Text("")};
  int32_t sizes[2] = {0, 0};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_DISCOVER_CHARACTERISTICS, 2, params, sizes);
}

int DiscoverDescriptors(VelmoraBLE_BLEClient* handle, const char* service_id, const char* characteristic_id) {
  intptr_t params[2] = {Text(service_id), Text(characteristic_id)};
  int32_t sizes[2] = {0, 0};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_DISCOVER_DESCRIPTORS, 2, params, sizes);
}

int Select(VelmoraBLE_BLEClient* handle, const char* service_id, const char* characteristic_id) {
  intptr_t params[2] = {Text(service_id), Text(characteristic_id)};
  int32_t sizes[2] = {0, 0};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_SELECT, 2, params, sizes);
}

// ReadValue reads the characteristic and gives its bytes, or "" with *rc set on a failure.
std::string ReadValue(VelmoraBLE_BLEClient* handle, const char* service_id, const char* characteristic_id, int* rc) {
  intptr_t params[4] = {Text(service_id), Text(characteristic_id), Text(""), 0};
  int32_t sizes[4] = {0, 0, 0, 0};
  *rc = VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_READ_VALUE, 4, params, sizes);
  return *rc == 0 ? std::string(reinterpret_cast<const char*>(params[3]), static_cast<size_t>(sizes[3])) : "";
}

std::string TextOf(VelmoraBLE_BLEClient* handle, int32_t property, int32_t index = 0) {
  return reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(handle, property, index));
}

intptr_t IntOf(VelmoraBLE_BLEClient* handle, int32_t property, int32_t index = 0) {
  return VelmoraBLE_BLEClient_Get(handle, property, index);
}

// Acting is a sink that runs act, once armed, inside the first event of kind `on` (on whatever thread that
// event comes), and records that it has.
struct Acting {
  int32_t on = 0;
  std::function<void(intptr_t* params)> act;
  std::atomic<bool> armed{false};
  std::atomic<bool> done{false};

  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<Acting*>(raw);
    if (id == self->on && self->armed.exchange(false)) {
      self->act(params);
      self->done = true;
    }
    return 0;
  }
};

class OneConnectionsTree : public RadioFixture<4> {
 protected:
  void SetUp() override {
    RadioFixture<4>::SetUp();
    radio_->AddPeripheral(FirstDevice());
    radio_->AddPeripheral(SecondDevice());
  }

  // DisconnectedWhileHeld runs call while the radio holds the answer of its request (op, journalled as api):
  // once the request is made, a ServerUpdate sink (sink, of handle's client) disconnects on a platform
  // thread, and only then does the answer come. Gives call's result.
  int DisconnectedWhileHeld(VelmoraBLE_BLEClient* handle, Acting& sink, SimOp op, const char* api,
                            const std::function<int()>& call) {
    sink.on = VELMORABLE_EVENT_SERVER_UPDATE;
    sink.act = [handle](intptr_t*) { EXPECT_EQ(Do(handle, VELMORABLE_METHOD_DISCONNECT), 0); };
    const int hold = radio_->AddFault({.op = op, .hold = true});
    const size_t asked = radio_->CallCount(api);
    std::thread radio_side([&] {
      EXPECT_TRUE(Eventually([&] { return radio_->CallCount(api) > asked; }));
      sink.armed = true;
      radio_->SetName(kFirst, u"Renamed");
      EXPECT_TRUE(Eventually([&] { return sink.done.load(); }));
      radio_->Release(hold);
    });
    const int rc = call();
    radio_side.join();
    return rc;
  }

  // ExpectOnlyTheSecondDevice connects handle to the second device and checks that its tree holds that
  // device's one service, whose characteristic reads the second device's value.
  void ExpectOnlyTheSecondDevice(VelmoraBLE_BLEClient* handle) {
    ASSERT_EQ(Do(handle, VELMORABLE_METHOD_CONNECT, Id(kSecond).c_str()), 0) << LastError(handle);
    EXPECT_EQ(IntOf(handle, VELMORABLE_PROP_SERVICE_COUNT), 0);
    ASSERT_EQ(Discover(handle), 0) << LastError(handle);
    EXPECT_EQ(IntOf(handle, VELMORABLE_PROP_SERVICE_COUNT), 1);
    EXPECT_EQ(TextOf(handle, VELMORABLE_PROP_SERVICE_UUID, 0), kHeartRateUuid);
    int rc = 0;
    EXPECT_EQ(ReadValue(handle, kFirstBattery, kFirstLevel, &rc), std::string("\x06\x48")) << rc << " " << LastError(handle);
  }
};

// A program that checks each service as it is found and disconnects from inside the Discovered event, on the
// application's thread: the rest of the first device's services go nowhere.
TEST_F(OneConnectionsTree, ADiscoveryCutShortByItsOwnSinksDisconnectAddsNothing) {
  Acting sink;
  sink.on = VELMORABLE_EVENT_DISCOVERED;
  Client client(&Acting::Call, &sink);
  sink.act = [&](intptr_t*) { EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0); };
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(client);
  sink.armed = true;
  EXPECT_EQ(Discover(client), 608) << LastError(client);
  EXPECT_TRUE(sink.done.load());
  EXPECT_EQ(IntOf(client, VELMORABLE_PROP_SERVICE_COUNT), 0);
  ExpectOnlyTheSecondDevice(client);
}

// The same from a platform thread: a ServerUpdate sink disconnects while the root services' answer is held.
TEST_F(OneConnectionsTree, ADiscoveryCutShortByAPlatformSinksDisconnectAddsNothing) {
  Acting sink;
  Client client(&Acting::Call, &sink);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(client);
  EXPECT_EQ(DisconnectedWhileHeld(client, sink, SimOp::kRootServices, kRootServices, [&] { return Discover(client); }),
            608)
      << LastError(client);
  EXPECT_EQ(IntOf(client, VELMORABLE_PROP_SERVICE_COUNT), 0);
  ExpectOnlyTheSecondDevice(client);
}

// A discovery of included services whose answer comes after a platform sink disconnected.
TEST_F(OneConnectionsTree, AnIncludedServicesDiscoveryCutShortAddsNothing) {
  Acting sink;
  Client client(&Acting::Call, &sink);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverServices(client, ""), 0) << LastError(client);
  EXPECT_EQ(DisconnectedWhileHeld(client, sink, SimOp::kIncludedServices, kIncludedServices,
                                  [&] { return DiscoverServices(client, kFirstInfo); }),
            608)
      << LastError(client);
  EXPECT_EQ(IntOf(client, VELMORABLE_PROP_SERVICE_COUNT), 0);
}

// A characteristic discovery whose first Log line's sink disconnects, connects again to the same device and
// discovers its services: what the old connection's service gives does not enter the new connection's
// service of the same id.
TEST_F(OneConnectionsTree, ACharacteristicDiscoveryCutShortAddsNothingToTheSameDevicesNextConnection) {
  Acting sink;
  sink.on = VELMORABLE_EVENT_LOG;
  Client client(&Acting::Call, &sink);
  sink.act = [&](intptr_t*) {
    EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0);
    EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0);
    EXPECT_EQ(DiscoverServices(client, ""), 0);
  };
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverServices(client, ""), 0) << LastError(client);
  sink.armed = true;
  EXPECT_EQ(DiscoverCharacteristics(client, kFirstBattery), 608) << LastError(client);
  EXPECT_TRUE(sink.done.load());
  EXPECT_EQ(IntOf(client, VELMORABLE_PROP_SERVICE_COUNT), 3);
  EXPECT_EQ(Select(client, kFirstBattery, kFirstLevel), 601) << LastError(client);
  // The new connection's own discovery finds the characteristic.
  ASSERT_EQ(DiscoverCharacteristics(client, kFirstBattery), 0) << LastError(client);
  EXPECT_EQ(Select(client, kFirstBattery, kFirstLevel), 0) << LastError(client);
}

// A failing Select (a characteristic its service lacks) while a platform sink disconnects and the
// application's thread reads the indexed lists: nothing it reads was freed by the Disconnect.
TEST_F(OneConnectionsTree, AFailingSelectBesideAPlatformSinksDisconnectLeavesNothingFreedSelected) {
  std::atomic<bool> stop{false};
  Acting sink;
  sink.on = VELMORABLE_EVENT_SERVER_UPDATE;
  Client client(&Acting::Call, &sink);
  sink.act = [&](intptr_t*) { (void)Do(client, VELMORABLE_METHOD_DISCONNECT); };
  // The radio renames the device every few milliseconds, at a random moment of the application's loop;
  // the sink disconnects at the first ServerUpdate of each connection.
  std::thread radio_side([&] {
    std::minstd_rand random(7);
    while (!stop.load()) {
      sink.armed = true;
      radio_->SetName(kFirst, u"Renamed");
      std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 15000));
    }
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  int rounds = 0;
  while (std::chrono::steady_clock::now() < until) {
    if (Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()) != 0 || Discover(client) != 0 ||
        Select(client, kThreeCharacteristics, "002000240000") != 0) {
      continue;
    }
    ++rounds;
    for (int i = 0; i < 50; ++i) {
      const int failed = Select(client, kFirstBattery, "001000990000");
      if (failed != 601 && failed != 605) ADD_FAILURE() << "Select gave " << failed << ": " << LastError(client);
      const intptr_t count = IntOf(client, VELMORABLE_PROP_CHARACTERISTIC_COUNT);
      if (count != 0 && count != 3) ADD_FAILURE() << "CharacteristicCount " << count;
      for (int32_t index = 0; index < count; ++index) {
        (void)TextOf(client, VELMORABLE_PROP_CHARACTERISTIC_ID, index);
      }
      (void)IntOf(client, VELMORABLE_PROP_DESCRIPTOR_COUNT);
    }
  }
  stop = true;
  radio_side.join();
  EXPECT_GT(rounds, 0);
}

// The indexed lists are always those of Service and Characteristic: DiscoverCharacteristics selects the
// service it discovered, while Discover and a descriptor lookup behind a Get leave the selection and the
// lists alone.
TEST_F(OneConnectionsTree, TheIndexedListsAreThoseOfTheSelection) {
  Client client(nullptr, nullptr);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverServices(client, ""), 0) << LastError(client);
  ASSERT_EQ(DiscoverCharacteristics(client, kFirstBattery), 0) << LastError(client);
  ASSERT_EQ(DiscoverCharacteristics(client, kThreeCharacteristics), 0) << LastError(client);
  ASSERT_EQ(Select(client, kFirstBattery, kFirstLevel), 0) << LastError(client);
  ASSERT_EQ(DiscoverDescriptors(client, kFirstBattery, kFirstLevel), 0) << LastError(client);
  EXPECT_EQ(IntOf(client, VELMORABLE_PROP_DESCRIPTOR_COUNT), 1);
  // Each state must agree: every listed characteristic is the selected service's, every listed descriptor
  // the selected characteristic's.
  const auto agree = [&](const char* step, const std::string& service, const std::string& characteristic,
                         intptr_t characteristics) {
    EXPECT_EQ(TextOf(client, VELMORABLE_PROP_SERVICE), service) << step;
    EXPECT_EQ(TextOf(client, VELMORABLE_PROP_CHARACTERISTIC), characteristic) << step;
    EXPECT_EQ(IntOf(client, VELMORABLE_PROP_CHARACTERISTIC_COUNT), characteristics) << step;
    for (int32_t i = 0; i < characteristics; ++i) {
      EXPECT_EQ(TextOf(client, VELMORABLE_PROP_CHARACTERISTIC_ID, i).substr(0, 4), service.substr(0, 4)) << step;
    }
    const intptr_t descriptors = IntOf(client, VELMORABLE_PROP_DESCRIPTOR_COUNT);
    if (characteristic.empty()) {
      EXPECT_EQ(descriptors, 0) << step;
    }
    for (int32_t i = 0; i < descriptors; ++i) {
      EXPECT_EQ(TextOf(client, VELMORABLE_PROP_DESCRIPTOR_ID, i).substr(0, 8), characteristic.substr(0, 8)) << step;
    }
  };
  agree("selected", kFirstBattery, kFirstLevel, 1);
  // A Get that looks up the flags' descriptor of another service's characteristic changes nothing.
  ASSERT_EQ(Select(client, kThreeCharacteristics, "002000220000"), 0) << LastError(client);
  (void)IntOf(client, VELMORABLE_PROP_CHARACTERISTIC_FLAGS, 2);
  agree("after a lookup", kThreeCharacteristics, "002000220000", 3);
  ASSERT_EQ(Select(client, kFirstBattery, kFirstLevel), 0) << LastError(client);
  // A discovery of another service's characteristics selects that service: the lists and the selection
  // name the same one, and the value read at an index is that service's.
  ASSERT_EQ(DiscoverCharacteristics(client, kThreeCharacteristics), 0) << LastError(client);
  agree("discovered another service", kThreeCharacteristics, "", 3);
  ASSERT_EQ(Select(client, kFirstBattery, kFirstLevel), 0) << LastError(client);
  intptr_t read[2] = {0, 0};
  int32_t sizes[2] = {0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_READ_CHARACTERISTIC_VALUE_AT, 2, read, sizes), 0)
      << LastError(client);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(read[1]), static_cast<size_t>(sizes[1])), "\x55");
  // With nothing selected there is no list, whatever a full discovery finds.
  ASSERT_EQ(Select(client, "", ""), 0) << LastError(client);
  agree("nothing selected", "", "", 0);
  ASSERT_EQ(Config(client, "AutoDiscoverCharacteristics=True"), 0);
  ASSERT_EQ(Discover(client), 0) << LastError(client);
  agree("discovered all", "", "", 0);
}

// The device's services change: its battery level's handle now holds a Body Sensor Location without
// descriptors. Discovered again, the tree shows what the device now has under that id, in the same place.
TEST_F(OneConnectionsTree, ADiscoveryAfterAServicesChangeListsWhatTheDeviceNowHas) {
  Sink events;
  Client client(&Sink::Call, &events);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(client);
  ASSERT_EQ(Discover(client), 0) << LastError(client);
  ASSERT_EQ(DiscoverDescriptors(client, kFirstBattery, kFirstLevel), 0) << LastError(client);
  ASSERT_EQ(IntOf(client, VELMORABLE_PROP_DESCRIPTOR_COUNT), 1);

  bt::sim::SimGattDb changed = FirstDevice().gatt;
  bt::sim::SimCharacteristic location = Characteristic(0x0012, 0x2A38, 0x02 | 0x08);
  location.value = {0x01};
  changed.services[1].characteristics = {location};
  radio_->ReplaceDatabase(kFirst, changed);
  ASSERT_TRUE(events.WaitFor(VELMORABLE_EVENT_SERVER_UPDATE));
  ASSERT_EQ(Discover(client), 0) << LastError(client);
  ASSERT_EQ(DiscoverDescriptors(client, kFirstBattery, kFirstLevel), 0) << LastError(client);
  EXPECT_EQ(TextOf(client, VELMORABLE_PROP_CHARACTERISTIC_UUID), "00002A38-0000-1000-8000-00805F9B34FB");
  EXPECT_EQ(TextOf(client, VELMORABLE_PROP_CHARACTERISTIC_DESCRIPTION), "Body Sensor Location");
  EXPECT_EQ(IntOf(client, VELMORABLE_PROP_CHARACTERISTIC_FLAGS), 0x0A);
  EXPECT_EQ(IntOf(client, VELMORABLE_PROP_DESCRIPTOR_COUNT), 0);
  EXPECT_EQ(TextOf(client, VELMORABLE_PROP_CHARACTERISTIC_ID, 0), kFirstLevel);
}

// A read whose first Log line's sink connects to the second device was the first connection's: it reads
// nothing of the first device for the second connection.
TEST_F(OneConnectionsTree, AReadCutShortByAConnectToAnotherDeviceHandsOutNothing) {
  Acting sink;
  Client client(&Acting::Call, &sink);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(client);
  ASSERT_EQ(Discover(client), 0) << LastError(client);
  std::atomic<int> connected{-1};
  sink.on = VELMORABLE_EVENT_LOG;
  sink.act = [&](intptr_t*) { connected = Do(client, VELMORABLE_METHOD_CONNECT, Id(kSecond).c_str()); };
  sink.armed = true;
  intptr_t params[4] = {Text(kFirstBattery), Text(kFirstLevel), Text(""), 0};
  int32_t sizes[4] = {0, 0, 0, 0};
  EXPECT_EQ(VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_READ_VALUE, 4, params, sizes), 608);
  EXPECT_EQ(sizes[3], 0);
  ASSERT_EQ(connected.load(), 0) << LastError(client);
}

// A format index that a sink sets inside the presentation-format lookup of a Get (in a Discovered event of a
// format it found) stays selected once the lookup has ended.
TEST_F(OneConnectionsTree, AFormatIndexSetInsideTheFormatLookupStays) {
  constexpr uint64_t kFormats = 0xA0B0C0D00003;
  SimPeripheral device;
  device.address = kFormats;
  bt::sim::SimService battery = Service(0x0010, 0x180F);
  bt::sim::SimCharacteristic level = Characteristic(0x0012, 0x2A19, 0x02);
  level.descriptors.push_back({0x0013, bt::BluetoothBaseUuid(0x2904), {0x04, 0x00, 0xAD, 0x27, 0x01, 0x00, 0x00}});
  level.descriptors.push_back({0x0014, bt::BluetoothBaseUuid(0x2904), {0x06, 0x00, 0x00, 0x27, 0x01, 0x00, 0x00}});
  level.formats.push_back({.format_type = 0x04, .exponent = 0, .unit = 0x27AD});
  level.formats.push_back({.format_type = 0x06, .exponent = 0, .unit = 0x2700});
  battery.characteristics.push_back(level);
  device.gatt.services.push_back(battery);
  radio_->AddPeripheral(device);
  Acting sink;
  Client client(&Acting::Call, &sink);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFormats).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverServices(client, ""), 0) << LastError(client);
  ASSERT_EQ(DiscoverCharacteristics(client, kFirstBattery), 0) << LastError(client);
  std::atomic<int> set{-1};
  sink.on = VELMORABLE_EVENT_DISCOVERED;
  sink.act = [&](intptr_t*) { set = VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_INDEX, 0, 1); };
  sink.armed = true;
  EXPECT_EQ(IntOf(client, VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_COUNT), 2);
  ASSERT_EQ(set.load(), 0);
  EXPECT_EQ(IntOf(client, VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_INDEX), 1);
  EXPECT_EQ(IntOf(client, VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT), 6);
}

// A User Description lookup that meets a one-off failure reports that failure, and the next Set looks again.
TEST_F(OneConnectionsTree, AFailedDescriptorLookupIsReportedAndAskedAgain) {
  Client client(nullptr, nullptr);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverServices(client, ""), 0) << LastError(client);
  ASSERT_EQ(DiscoverCharacteristics(client, kFirstBattery), 0) << LastError(client);
  ASSERT_EQ(Select(client, kFirstBattery, kFirstLevel), 0) << LastError(client);
  EXPECT_EQ(IntOf(client, VELMORABLE_PROP_CHARACTERISTIC_FLAGS), 0x102);
  (void)radio_->AddFault({.op = SimOp::kDescriptors, .times = 1, .status = 1});
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0, Text("Charge")), 607)
      << LastError(client);
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0, Text("Charge")), 0)
      << LastError(client);
  EXPECT_EQ(radio_->DeviceValue(kFirst, 0x0013), (bt::Bytes{'C', 'h', 'a', 'r', 'g', 'e'}));
  // The same for the presentation formats: the next Get after a failed lookup looks again.
  constexpr char kLookup[] = "GattCharacteristic.GetDescriptorsForUuidWithCacheModeAsync";
  (void)radio_->AddFault({.op = SimOp::kDescriptors, .times = 1, .status = 1});
  (void)IntOf(client, VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_COUNT);
  EXPECT_EQ(VelmoraBLE_BLEClient_GetLastErrorCode(client), 607) << LastError(client);
  const size_t asked = radio_->CallCount(kLookup);
  (void)IntOf(client, VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_COUNT);
  EXPECT_GT(radio_->CallCount(kLookup), asked);
}

// A program that disconnects and connects again from inside the Discovered event of the User Description
// descriptor a Set's lookup found: the Set was the first connection's, so it is cut short (608) instead of
// telling that the characteristic lacks the descriptor; the next Set looks again and writes it.
TEST_F(OneConnectionsTree, ADescriptorLookupCutShortByAReconnectInItsLastEventIsCutShort) {
  Acting sink;
  Client client(&Acting::Call, &sink);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(client);
  ASSERT_EQ(Discover(client), 0) << LastError(client);
  ASSERT_EQ(Select(client, kFirstBattery, kFirstLevel), 0) << LastError(client);
  std::atomic<int> rediscovered{-1};
  sink.on = VELMORABLE_EVENT_DISCOVERED;
  sink.act = [&](intptr_t*) {
    EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0);
    EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirst).c_str()), 0) << LastError(client);
    rediscovered = Discover(client);
  };
  sink.armed = true;
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0, Text("Charge")), 608)
      << LastError(client);
  ASSERT_EQ(rediscovered.load(), 0) << LastError(client);
  ASSERT_EQ(Select(client, kFirstBattery, kFirstLevel), 0) << LastError(client);
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0, Text("Charge")), 0)
      << LastError(client);
  EXPECT_EQ(radio_->DeviceValue(kFirst, 0x0013), (bt::Bytes{'C', 'h', 'a', 'r', 'g', 'e'}));
}

// Another client holds the first device's CCCD on. This client's first subscription query waits for the
// device's CCCD while a ServerUpdate sink connects it to a device of the same layout where nothing is
// subscribed: the first device's answer is not given for the second device's characteristic.
TEST_F(OneConnectionsTree, ASubscriptionQueryCutShortByAConnectElsewhereGivesNoStateOfTheDeviceItLeft) {
  constexpr uint64_t kBusy = 0xA0B0C0D00011;
  constexpr uint64_t kOtherBusy = 0xA0B0C0D00012;
  constexpr char kHeartRate[] = "000100000000";
  constexpr char kMeasurement[] = "000100030000";
  constexpr char kReadCccd[] = "GattCharacteristic.ReadClientCharacteristicConfigurationDescriptorAsync";
  radio_->AddPeripheral(BusyPeripheral(kBusy));
  radio_->AddPeripheral(BusyPeripheral(kOtherBusy));
  Client other(nullptr, nullptr);
  ASSERT_EQ(Do(other, VELMORABLE_METHOD_CONNECT, Id(kBusy).c_str()), 0) << LastError(other);
  ASSERT_EQ(Discover(other), 0) << LastError(other);
  intptr_t subscribe[2] = {Text(kHeartRate), Text(kMeasurement)};
  int32_t subscribe_sizes[2] = {0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(other, VELMORABLE_METHOD_SUBSCRIBE, 2, subscribe, subscribe_sizes), 0)
      << LastError(other);
  Acting sink;
  Client client(&Acting::Call, &sink);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kBusy).c_str()), 0) << LastError(client);
  ASSERT_EQ(Discover(client), 0) << LastError(client);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_SERVICE, 0, Text(kHeartRate)), 0) << LastError(client);
  std::atomic<bool> moved{false};
  sink.on = VELMORABLE_EVENT_SERVER_UPDATE;
  sink.act = [&](intptr_t*) {
    moved = Do(client, VELMORABLE_METHOD_CONNECT, Id(kOtherBusy).c_str()) == 0 && Discover(client) == 0 &&
            VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_SERVICE, 0, Text(kHeartRate)) == 0;
  };
  const size_t reads = radio_->CallCount(kReadCccd);
  const int hold = radio_->AddFault({.op = SimOp::kReadCccd, .address = kBusy, .hold = true});
  intptr_t query[2] = {0, -1};
  int32_t sizes[2] = {0, 0};
  std::atomic<int> rc{-1};
  std::thread application([&] {
    rc = VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, query, sizes);
  });
  EXPECT_TRUE(Eventually([&] { return radio_->CallCount(kReadCccd) > reads; }));
  sink.armed = true;
  radio_->SetName(kBusy, u"Renamed");
  EXPECT_TRUE(Eventually([&] { return sink.done.load(); }));
  radio_->Release(hold);
  application.join();
  ASSERT_TRUE(moved.load()) << LastError(client);
  EXPECT_EQ(rc.load(), 608) << "state " << query[1] << ": " << LastError(client);
  query[1] = -1;
  EXPECT_EQ(VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, query, sizes), 0)
      << LastError(client);
  EXPECT_EQ(query[1], 0);
}

}  // namespace
}  // namespace velmora::ble::testing
