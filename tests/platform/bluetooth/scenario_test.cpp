#include "platform/bluetooth/sim/scenario.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/platform/bluetooth/sim_test_util.h"
#include "tests/test_support.h"

namespace velmora::platform::bluetooth::sim {
namespace {

using namespace testing;

const std::string kExamples = std::string(VELMORABLE_SOURCE_DIR) + "/examples/scenarios/";
constexpr uint64_t kHeartRate = 0xC0FFEE000001;
constexpr uint64_t kLock = 0xC0FFEE000002;

std::shared_ptr<GattDeviceService> Service(const std::shared_ptr<BluetoothLEDevice>& device, uint32_t uuid) {
  auto result = Await(device->GetGattServicesForUuidWithCacheModeAsync(Short(uuid), BluetoothCacheMode::Uncached));
  return result->Services().empty() ? nullptr : result->Services()[0];
}

TEST(SimScenario, HeartRateExampleAdvertisesAndNotifiesOnceSubscribed) {
  SimRadio radio;
  ScenarioError error;
  ASSERT_EQ(LoadScenarioFile(kExamples + "heart_rate.txt", radio, &error), kScenarioOk)
      << error.line << ": " << error.message;
  Recorder<std::shared_ptr<BluetoothLEAdvertisementReceivedEventArgs>> received;
  auto watcher = radio.CreateWatcher();
  watcher->AddReceived([&received](const auto&, const auto& args) { received.Add(args); });
  watcher->SetScanningMode(BluetoothLEScanningMode::Active);
  watcher->Start();
  ASSERT_TRUE(radio.EmitAdvertisement(kHeartRate));
  ASSERT_TRUE(received.WaitFor(2));
  auto advertisement = received.Snapshot()[0]->Advertisement();
  EXPECT_EQ(advertisement->LocalName(), u"Velmora HR");
  EXPECT_EQ(advertisement->ServiceUuids(), (std::vector<Guid>{Short(0x180D), Short(0x180F), Short(0x180A)}));
  EXPECT_EQ(received.Snapshot()[1]->Advertisement()->ManufacturerData().at(0).company_id, 0xFFFF);

  auto device = Await(radio.FromBluetoothAddressAsync(kHeartRate));
  EXPECT_EQ(device->BluetoothAddressType(), BluetoothAddressType::Random);
  for (uint32_t uuid : {0x180D, 0x180F, 0x180A}) EXPECT_NE(Service(device, uuid), nullptr) << std::hex << uuid;
  auto info = Await(Service(device, 0x180A)->GetCharacteristicsWithCacheModeAsync(BluetoothCacheMode::Uncached));
  EXPECT_EQ(Await(info->Characteristics().at(0)->ReadValueWithCacheModeAsync(BluetoothCacheMode::Uncached))->Value(),
            (Bytes{'V', 'e', 'l', 'm', 'o', 'r', 'a', ' ', 'L', 'a', 'b', 's'}));
  EXPECT_EQ(info->Characteristics().at(2)->UserDescription(), u"Firmware revision");

  auto heart = Await(Service(device, 0x180D)
                         ->GetCharacteristicsForUuidWithCacheModeAsync(Short(0x2A37), BluetoothCacheMode::Uncached));
  auto measurement = heart->Characteristics().at(0);
  Recorder<Bytes> values;
  measurement->AddValueChanged([&values](const auto&, const auto& args) { values.Add(args->CharacteristicValue()); });
  Await(measurement->WriteClientCharacteristicConfigurationDescriptorWithResultAsync(
      GattClientCharacteristicConfigurationDescriptorValue::Notify));
  ASSERT_TRUE(values.WaitFor(1));  // sent once a second by the scenario
  EXPECT_EQ(values.Snapshot()[0].at(0), 0x06);
}

TEST(SimScenario, PinPairingExampleNeedsTheRightPin) {
  SimRadio radio;
  ScenarioError error;
  ASSERT_EQ(LoadScenarioFile(kExamples + "pin_pairing.txt", radio, &error), kScenarioOk)
      << error.line << ": " << error.message;
  auto device = Await(radio.FromBluetoothAddressAsync(kLock));
  auto services = Await(device->GetGattServicesWithCacheModeAsync(BluetoothCacheMode::Uncached))->Services();
  ASSERT_EQ(services.size(), 1u);  // the battery service is secondary, reached through the include
  EXPECT_EQ(Await(services[0]->GetIncludedServicesWithCacheModeAsync(BluetoothCacheMode::Uncached))->Services().size(),
            1u);
  auto state =
      Await(services[0]->GetCharacteristicsWithCacheModeAsync(BluetoothCacheMode::Uncached))->Characteristics().at(0);
  auto locked = Await(state->ReadValueWithCacheModeAsync(BluetoothCacheMode::Uncached));
  EXPECT_EQ(locked->ProtocolError(), std::optional<uint8_t>(0x05));

  auto custom = device->DeviceInformation()->Pairing()->Custom();
  std::u16string pin = u"000000";
  custom->AddPairingRequested([&pin](const auto&, const auto& args) {
    EXPECT_EQ(args->PairingKind(), DevicePairingKinds::ProvidePin);
    args->AcceptWithPin(pin);
  });
  EXPECT_EQ(Await(custom->PairAsync(13))->Status(), DevicePairingResultStatus::AuthenticationFailure);
  pin = u"123456";
  EXPECT_EQ(Await(custom->PairAsync(13))->Status(), DevicePairingResultStatus::Paired);
  EXPECT_EQ(Await(state->ReadValueWithCacheModeAsync(BluetoothCacheMode::Uncached))->Status(),
            GattCommunicationStatus::Success);
}

TEST(SimScenario, ErrorsNameTheLineAndLeaveTheRadioUntouched) {
  const struct {
    const char* text;
    int line;
    const char* message;
  } cases[] = {
      {"peripheral 0011223344AA\nfrobnicate 1", 2, "unknown keyword \"frobnicate\""},
      {"name Orphan", 1, "\"name\" outside a peripheral"},
      {"peripheral 0011223344\n", 1, "an address has 12 hex digits"},
      {"peripheral 0011223344AA\nadvert connectable-undirected -60 0501", 2, "advertising data runs past its end"},
      {"peripheral 0011223344AA\nservice 1 180D\ncharacteristic 2 2A37 read|shout", 3, "unknown property \"shout\""},
      {"peripheral 0011223344AA\ndescriptor 5 2902", 2, "\"descriptor\" outside a service"},
      {"peripheral 0011223344AA\nservice 0x10000 180D", 2, "\"0x10000\" is not a number from 1 to 65535"},
      {"peripheral 0011223344AA\nservice 1 18G0", 2, "\"18G0\" is not hex"},
      {"peripheral 0011223344AA\nname \"Open", 2, "unterminated quoted text"},
      {"fault read-everything * hold", 1, "unknown value \"read-everything\""},
      {"adapter present extra", 1, "unexpected \"extra\""},
      {"peripheral 0011223344AA\nservice 1 180D\ncharacteristic 2 2A37 notify\ndescriptor 3 2902 0000\n"
       "characteristic 4 2A38 notify\ndescriptor 5 2902 0100",
       6, "a 2902 descriptor's value is each client's subscription, which starts off: give it no value or 0000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SimRadio radio;
    ScenarioError error;
    EXPECT_EQ(LoadScenario(c.text, radio, &error), kScenarioSyntaxError);
    EXPECT_EQ(error.line, c.line);
    EXPECT_EQ(error.message, c.message);
    EXPECT_NE(Await(radio.GetDefaultAdapterAsync()), nullptr);
    EXPECT_EQ(Await(radio.FromBluetoothAddressAsync(0x0011223344AA)), nullptr);
  }
  SimRadio radio;
  ScenarioError error;
  EXPECT_EQ(LoadScenarioFile(kExamples + "missing.txt", radio, &error), kScenarioUnreadable);
}

// A file with nothing in it is a radio without devices, as a file of comments is; only a file that cannot be
// read (here a directory) is unreadable.
TEST(SimScenario, AnEmptyFileLoadsAsAFileOfCommentsDoes) {
  const std::string folder = velmora::testing_support::TempPath("scenario_files");
  const velmora::testing_support::RemovedAtExit remove_folder({folder});
  (void)std::system(("mkdir -p '" + folder + "'").c_str());
  const std::string empty = folder + "/empty.txt";
  const std::string comments = folder + "/comments.txt";
  std::ofstream(empty, std::ios::binary | std::ios::trunc).close();
  std::ofstream(comments, std::ios::binary | std::ios::trunc) << "# no devices\n";
  for (const std::string& path : {empty, comments}) {
    SCOPED_TRACE(path);
    SimRadio radio;
    ScenarioError error;
    EXPECT_EQ(LoadScenarioFile(path, radio, &error), kScenarioOk) << error.message;
    EXPECT_NE(Await(radio.GetDefaultAdapterAsync()), nullptr);
    EXPECT_EQ(Await(radio.FromBluetoothAddressAsync(0x0011223344AA)), nullptr);
  }
  SimRadio radio;
  ScenarioError error;
  EXPECT_EQ(LoadScenarioFile(folder, radio, &error), kScenarioUnreadable);
  EXPECT_EQ(error.message, "cannot read the file");
}

TEST(SimScenario, FaultLinesBindToTheirPeripheral) {
  SimRadio radio;
  ScenarioError error;
  ASSERT_EQ(LoadScenario("adapter no-le\n"
                         "peripheral 00:00:00:00:00:01\n"
                         "fault from-address * null times 1\n"
                         "peripheral 000000000002 public  # no fault here\n",
                         radio, &error),
            kScenarioOk);
  EXPECT_FALSE(Await(radio.GetDefaultAdapterAsync())->IsLowEnergySupported());
  // Without Low Energy no device is found at all.
  EXPECT_EQ(Await(radio.FromBluetoothAddressAsync(2)), nullptr);
  radio.SetAdapter(SimAdapter::kPresent);
  EXPECT_EQ(Await(radio.FromBluetoothAddressAsync(1)), nullptr);
  EXPECT_NE(Await(radio.FromBluetoothAddressAsync(1)), nullptr);
  EXPECT_NE(Await(radio.FromBluetoothAddressAsync(2)), nullptr);
}

TEST(BluetoothProvider, DefaultIsTheSimulatorLoadedFromTheEnvironmentAndTestsMayReplaceIt) {
  ASSERT_EQ(setenv("VELMORABLE_SIM_SCENARIO", (kExamples + "pin_pairing.txt").c_str(), 1), 0);
  InstallProvider(nullptr);
  auto platform = Provider();
  EXPECT_NE(dynamic_cast<SimRadio*>(platform.get()), nullptr);
  EXPECT_EQ(Provider(), platform);
  EXPECT_NE(Await(platform->FromBluetoothAddressAsync(kLock)), nullptr);
  // Nothing in a program reads its journal, so it keeps none to grow with every call.
  EXPECT_TRUE(dynamic_cast<SimRadio*>(platform.get())->Journal().empty());

  auto replacement = std::make_shared<SimRadio>();
  InstallProvider(replacement);
  EXPECT_EQ(Provider(), replacement);
  EXPECT_EQ(Await(Provider()->FromBluetoothAddressAsync(kLock)), nullptr);
  unsetenv("VELMORABLE_SIM_SCENARIO");
  InstallProvider(nullptr);
  EXPECT_NE(Provider(), replacement);
}

}  // namespace
}  // namespace velmora::platform::bluetooth::sim
