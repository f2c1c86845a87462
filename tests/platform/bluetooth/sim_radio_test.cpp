#include "platform/bluetooth/sim/sim_radio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/bluetooth/sim_test_util.h"

namespace velmora::platform::bluetooth::sim {
namespace {

using namespace testing;
using Props = GattCharacteristicProperties;

constexpr uint64_t kAddress = 0x0011223344AA;

Bytes HexBytes(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

SimAdvert Advert(const std::string& hex,
                 BluetoothLEAdvertisementType type = BluetoothLEAdvertisementType::ConnectableUndirected) {
  SimAdvert advert;
  advert.type = type;
  advert.rssi = -61;
  EXPECT_TRUE(ParseAdvertisingData(HexBytes(hex), &advert.sections));
  return advert;
}

// A heart-rate sensor whose database is given out of handle order, with a secondary included service.
SimPeripheral Sensor() {
  SimPeripheral p;
  p.address = kAddress;
  p.address_type = BluetoothAddressType::Random;
  p.name = u"Sensor";
  p.adverts = {
      Advert("020106"
             "05030D180F18")};
  p.gatt.services = {
      {0x0010, Short(0x180F), true, {}, {{0x0012, Short(0x2A19), Props::Read | Props::Notify, {0x5A}, false, {}, {}}}},
      {0x0001,
       Short(0x180D),
       true,
       {0x0030},
       {{0x0006, Short(0x2A39), Props::Write, {0x00}, false, {}, {}},
        {0x0003,
         Short(0x2A37),
         Props::Notify | Props::Indicate,
         {0x06, 0x48},
         false,
         {{0x0005, Short(0x2901), {'B', 'e', 'a', 't', 's'}}, {0x0004, Short(0x2902), {0x00, 0x00}}},
         {{0x04, 0, 0x27AF, 1, 0}}}}},
      {0x0030, Short(0x1234), false, {}, {}},
  };
  return p;
}

// RaisedBy returns the failure number a call raises, 0 when it raises nothing.
int32_t RaisedBy(const std::function<void()>& call) {
  try {
    call();
  } catch (const PlatformError& error) {
    return error.HResult();
  }
  return 0;
}

std::shared_ptr<BluetoothLEDevice> Device(SimRadio& radio) {
  auto device = Await(radio.FromBluetoothAddressAsync(kAddress));
  EXPECT_NE(device, nullptr);
  return device;
}

std::shared_ptr<GattCharacteristic> Characteristic(SimRadio& radio, uint32_t service, uint32_t characteristic) {
  auto services =
      Await(Device(radio)->GetGattServicesForUuidWithCacheModeAsync(Short(service), BluetoothCacheMode::Uncached));
  EXPECT_EQ(services->Services().size(), 1u);
  auto found = Await(services->Services()[0]->GetCharacteristicsForUuidWithCacheModeAsync(
      Short(characteristic), BluetoothCacheMode::Uncached));
  EXPECT_EQ(found->Characteristics().size(), 1u);
  return found->Characteristics()[0];
}

class SimRadioTest : public ::testing::Test {
 protected:
  void SetUp() override { radio_.AddPeripheral(Sensor()); }
  SimRadio radio_;
};

// ---- Asynchronous operations

TEST_F(SimRadioTest, HeldOperationCompletesOnlyAfterReleaseOnTheCompletionThread) {
  auto battery = Characteristic(radio_, 0x180F, 0x2A19);
  const int rule = radio_.AddFault({.op = SimOp::kReadCharacteristic, .handle = 0x0012, .hold = true});
  auto operation = battery->ReadValueWithCacheModeAsync(BluetoothCacheMode::Uncached);
  auto completion = Attach(operation, &radio_);
  radio_.WaitIdle();
  EXPECT_FALSE(completion->Done());
  EXPECT_EQ(operation->Status(), AsyncStatus::Started);
  EXPECT_EQ(RaisedBy([&] { operation->GetResults(); }), kEIllegalMethodCall);

  radio_.Release(rule);
  ASSERT_TRUE(completion->Wait());
  EXPECT_NE(completion->thread, std::this_thread::get_id());
  EXPECT_TRUE(completion->on_completion_thread);
  EXPECT_EQ(completion->result->Value(), Bytes{0x5A});
}

// A test sees an operation's call in the journal a moment before the operation's hold begins; a Release in
// that moment still lets the operation finish.
TEST_F(SimRadioTest, OperationMatchedAfterItsRuleWasReleasedIsNotHeld) {
  auto battery = Characteristic(radio_, 0x180F, 0x2A19);
  const int rule = radio_.AddFault({.op = SimOp::kReadCharacteristic, .handle = 0x0012, .hold = true});
  radio_.Release(rule);
  auto completion = Attach(battery->ReadValueWithCacheModeAsync(BluetoothCacheMode::Uncached), &radio_);
  ASSERT_TRUE(completion->Wait());
  EXPECT_EQ(completion->result->Value(), Bytes{0x5A});
}

TEST_F(SimRadioTest, InlineCompletionRunsTheHandlerInsideSetCompleted) {
  radio_.AddFault({.op = SimOp::kGetAdapter, .complete_inline = true});
  auto operation = radio_.GetDefaultAdapterAsync();
  EXPECT_EQ(operation->Status(), AsyncStatus::Completed);
  auto completion = Attach(operation);
  EXPECT_TRUE(completion->Done());  // no wait: the handler already ran
  EXPECT_EQ(completion->thread, std::this_thread::get_id());
  EXPECT_TRUE(completion->result->IsLowEnergySupported());
}

TEST_F(SimRadioTest, ResultsRaiseTheConfiguredFailureOrAreNullOnce) {
  radio_.AddFault({.op = SimOp::kFromAddress, .results_hresult = kEAccessDenied});
  radio_.AddFault({.op = SimOp::kFromAddress, .null_result = true});
  auto raising = radio_.FromBluetoothAddressAsync(kAddress);
  auto completion = Attach(raising);
  ASSERT_TRUE(completion->Wait());
  EXPECT_EQ(completion->failure, kEAccessDenied);
  EXPECT_EQ(raising->Status(), AsyncStatus::Error);
  EXPECT_EQ(RaisedBy([&] { raising->GetResults(); }), kEAccessDenied);
  // A completion handler is given once only.
  EXPECT_EQ(RaisedBy([&] { raising->SetCompleted([](AsyncOperation<BluetoothLEDevice>&, AsyncStatus) {}); }),
            kEIllegalDelegateAssignment);
  EXPECT_EQ(Await(radio_.FromBluetoothAddressAsync(kAddress)), nullptr);
  EXPECT_NE(Await(radio_.FromBluetoothAddressAsync(kAddress)), nullptr);  // both rules are used up
}

TEST_F(SimRadioTest, AdapterPresentAbsentOrWithoutLowEnergy) {
  EXPECT_TRUE(Await(radio_.GetDefaultAdapterAsync())->IsLowEnergySupported());
  radio_.SetAdapter(SimAdapter::kNoLowEnergy);
  EXPECT_FALSE(Await(radio_.GetDefaultAdapterAsync())->IsLowEnergySupported());
  radio_.SetAdapter(SimAdapter::kAbsent);
  EXPECT_EQ(Await(radio_.GetDefaultAdapterAsync()), nullptr);
}

// ---- Watcher

struct StopSeen {
  BluetoothLEAdvertisementWatcherStatus status;
  BluetoothError error;
};

std::shared_ptr<BluetoothLEAdvertisementWatcher> Watcher(SimRadio& radio, Recorder<StopSeen>& stops) {
  auto watcher = radio.CreateWatcher();
  watcher->AddStopped([&stops](const auto& sender, const auto& args) { stops.Add({sender->Status(), args->Error()}); });
  return watcher;
}

// A host that falls behind its radio: no more of a watcher's reports wait for the event thread than a
// controller's buffer holds, and what it hears once the host has caught up arrives.
TEST_F(SimRadioTest, AWatcherBehindItsEventThreadKeepsABoundedBacklog) {
  Recorder<StopSeen> stops;
  auto watcher = Watcher(radio_, stops);
  Latch latch;
  std::atomic<int> received{0};
  watcher->AddReceived([&](const auto&, const auto&) {
    latch.EnterAndWait();
    ++received;
  });
  watcher->Start();
  ASSERT_TRUE(radio_.EmitAdvertisement(kAddress));
  ASSERT_TRUE(latch.WaitEntered());
  constexpr int kBuffer = 4096;  // the reports a watcher keeps waiting at the most
  for (int i = 0; i < 2 * kBuffer; ++i) ASSERT_TRUE(radio_.EmitAdvertisement(kAddress));
  EXPECT_LE(radio_.QueuedEvents(), static_cast<size_t>(kBuffer));
  latch.Open();
  radio_.WaitIdle();
  const int caught_up = received.load();
  EXPECT_GE(caught_up, 2);
  EXPECT_LE(caught_up, kBuffer + 1);
  ASSERT_TRUE(radio_.EmitAdvertisement(kAddress));
  radio_.WaitIdle();
  EXPECT_EQ(received.load(), caught_up + 1);
  watcher->Stop();
  radio_.WaitIdle();
}

// Past the buffer the oldest waiting reports give way: a device heard only late in a long stall arrives once
// the host catches up (a backlog of old reports would be too old to use), and the scan's stop is kept.
TEST_F(SimRadioTest, AWatcherBehindItsEventThreadKeepsTheNewestReports) {
  constexpr uint64_t kLate = 0x0011223344BB;
  SimPeripheral late;
  late.address = kLate;
  late.adverts = {Advert("020106")};
  radio_.AddPeripheral(late);
  Recorder<StopSeen> stops;
  auto watcher = Watcher(radio_, stops);
  Latch latch;
  Recorder<uint64_t> heard;
  watcher->AddReceived([&](const auto&, const auto& args) {
    latch.EnterAndWait();
    heard.Add(args->BluetoothAddress());
  });
  watcher->Start();
  ASSERT_TRUE(radio_.EmitAdvertisement(kAddress));
  ASSERT_TRUE(latch.WaitEntered());
  constexpr int kBuffer = 4096;
  for (int i = 0; i < 2 * kBuffer; ++i) ASSERT_TRUE(radio_.EmitAdvertisement(kAddress));
  ASSERT_TRUE(radio_.EmitAdvertisement(kLate));
  watcher->Stop();
  latch.Open();
  ASSERT_TRUE(stops.WaitFor(1));
  radio_.WaitIdle();
  const std::vector<uint64_t> seen = heard.Snapshot();
  EXPECT_EQ(seen.size(), static_cast<size_t>(kBuffer + 1));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), kLate);
  EXPECT_EQ(stops.Snapshot().size(), 1u);
}

TEST_F(SimRadioTest, WatcherStartStopTransitionsWithTheirStoppedEvent) {
  using S = BluetoothLEAdvertisementWatcherStatus;
  Recorder<StopSeen> stops;
  auto watcher = Watcher(radio_, stops);
  EXPECT_EQ(watcher->Status(), S::Created);
  watcher->Start();
  EXPECT_EQ(watcher->Status(), S::Started);

  // The radio ends the scan on its own thread, not behind the events waiting for delivery: with the event
  // thread busy the stop still finishes, and Stopped follows once that thread is free. Keeping the radio's
  // thread busy (a completion handler that waits) shows Stopping first.
  Latch event_latch;
  watcher->AddReceived([&event_latch](const auto&, const auto&) { event_latch.EnterAndWait(); });
  ASSERT_TRUE(radio_.EmitAdvertisement(kAddress));
  ASSERT_TRUE(event_latch.WaitEntered());
  Latch radio_latch;
  const int rule = radio_.AddFault({.op = SimOp::kGetAdapter, .hold = true});
  auto operation = radio_.GetDefaultAdapterAsync();
  operation->SetCompleted([&radio_latch](auto&, AsyncStatus) { radio_latch.EnterAndWait(); });
  radio_.Release(rule);
  ASSERT_TRUE(radio_latch.WaitEntered());
  watcher->Stop();
  EXPECT_EQ(watcher->Status(), S::Stopping);
  radio_latch.Open();
  // Well within the latches' own limit, so that a stop that waited for the held event thread is still
  // Stopping here; the test goes on either way and opens the latch its handler waits in.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (watcher->Status() == S::Stopping && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(watcher->Status(), S::Stopped);
  EXPECT_TRUE(stops.Snapshot().empty());
  event_latch.Open();
  radio_.WaitIdle();
  ASSERT_EQ(stops.Snapshot().size(), 1u);
  EXPECT_EQ(stops.Snapshot()[0].status, S::Stopped);
  EXPECT_EQ(stops.Snapshot()[0].error, BluetoothError::Success);

  // A start that never completes by itself stays out of Started until forced.
  radio_.SetWatcherTiming(-1, 0);
  watcher->Start();
  EXPECT_EQ(watcher->Status(), S::Stopped);
  radio_.ForceWatchersStarted();
  EXPECT_EQ(watcher->Status(), S::Started);
}

TEST_F(SimRadioTest, AbortAndStopWithErrorReportTheirErrorAndAllowRestart) {
  using S = BluetoothLEAdvertisementWatcherStatus;
  Recorder<StopSeen> stops;
  auto watcher = Watcher(radio_, stops);
  watcher->Start();
  radio_.AbortWatchers(BluetoothError::RadioNotAvailable);
  EXPECT_EQ(watcher->Status(), S::Aborted);
  watcher->Start();
  radio_.StopWatchersWithError(BluetoothError::DisabledByUser);
  radio_.WaitIdle();
  const auto seen = stops.Snapshot();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].error, BluetoothError::RadioNotAvailable);
  EXPECT_EQ(seen[1].error, BluetoothError::DisabledByUser);
  EXPECT_EQ(watcher->Status(), S::Stopped);
  radio_.AbortWatchers(BluetoothError::OtherError);  // not running: nothing happens
  radio_.WaitIdle();
  EXPECT_EQ(stops.Snapshot().size(), 2u);
}

// ---- Advertisements

using Received = std::shared_ptr<BluetoothLEAdvertisementReceivedEventArgs>;

std::shared_ptr<BluetoothLEAdvertisementWatcher> Listen(
    SimRadio& radio, Recorder<Received>& received, BluetoothLEScanningMode mode = BluetoothLEScanningMode::Passive) {
  auto watcher = radio.CreateWatcher();
  watcher->AddReceived([&received](const auto&, const auto& args) { received.Add(args); });
  watcher->SetScanningMode(mode);
  watcher->Start();
  return watcher;
}

TEST_F(SimRadioTest, DerivedAdvertisementFieldsAgreeWithTheRawSections) {
  SimPeripheral p = Sensor();
  // Shortened name before the complete one, 16-bit and 128-bit service lists, two manufacturer entries,
  // TX power and a service data section.
  p.adverts = {Advert("020106"
                      "0408566556"
                      "080956656C6D6F7261"
                      "05030D180F18"
                      "1107"
                      "00112233445566778899AABBCCDDEEFF"
                      "05FF4C000102"
                      "04FF590009"
                      "020AFC"
                      "04160F1864"),
               Advert("0303AAFE", BluetoothLEAdvertisementType::NonConnectableUndirected)};
  radio_.AddPeripheral(p);
  Recorder<Received> received;
  auto watcher = Listen(radio_, received);
  radio_.EmitAdvertisement(kAddress, 0);
  radio_.EmitAdvertisement(kAddress, 1);
  ASSERT_TRUE(received.WaitFor(2));
  auto first = received.Snapshot()[0];
  auto advertisement = first->Advertisement();
  EXPECT_EQ(first->BluetoothAddress(), kAddress);
  EXPECT_EQ(first->RawSignalStrengthInDBm(), -61);
  EXPECT_EQ(first->AdvertisementType(), BluetoothLEAdvertisementType::ConnectableUndirected);
  EXPECT_EQ(advertisement->LocalName(), u"Velmora");
  EXPECT_EQ(advertisement->Flags(), std::optional<uint32_t>(6));
  // The 128-bit UUID arrives least significant byte first: FFEEDDCC-BBAA-9988-7766-554433221100.
  const Guid wide{0xFFEEDDCC, 0xBBAA, 0x9988, {0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00}};
  EXPECT_EQ(advertisement->ServiceUuids(), (std::vector<Guid>{Short(0x180D), Short(0x180F), wide}));
  const auto makers = advertisement->ManufacturerData();
  ASSERT_EQ(makers.size(), 2u);
  EXPECT_EQ(makers[0].company_id, 0x004C);
  EXPECT_EQ(makers[0].data, (Bytes{0x01, 0x02}));
  EXPECT_EQ(makers[1].company_id, 0x0059);
  const auto tx = advertisement->GetSectionsByType(0x0A);
  ASSERT_EQ(tx.size(), 1u);
  EXPECT_EQ(tx[0].data, Bytes{0xFC});
  EXPECT_EQ(advertisement->GetSectionsByType(0x16)[0].data, (Bytes{0x0F, 0x18, 0x64}));
  EXPECT_EQ(advertisement->DataSections().size(), 9u);

  auto second = received.Snapshot()[1]->Advertisement();
  EXPECT_EQ(received.Snapshot()[1]->AdvertisementType(), BluetoothLEAdvertisementType::NonConnectableUndirected);
  EXPECT_FALSE(second->Flags().has_value());
  EXPECT_EQ(second->LocalName(), u"");
  EXPECT_EQ(second->ServiceUuids(), std::vector<Guid>{Short(0xFEAA)});
  EXPECT_TRUE(second->ManufacturerData().empty());
}

TEST(AdvertisingData, SplitsStructuresStopsAtZeroLengthAndRejectsOverruns) {
  std::vector<BluetoothLEAdvertisementDataSection> sections;
  ASSERT_TRUE(ParseAdvertisingData(HexBytes("020106"
                                            "0100"
                                            "00"
                                            "FFFF"),
                                   &sections));
  ASSERT_EQ(sections.size(), 2u);
  EXPECT_EQ(sections[1].data_type, 0x00);
  EXPECT_TRUE(sections[1].data.empty());
  EXPECT_FALSE(ParseAdvertisingData(HexBytes("020106"
                                             "05FF4C00"),
                                    &sections));
  EXPECT_EQ(sections.size(), 2u);  // unchanged on failure
}

TEST_F(SimRadioTest, FilterNeedsEveryUuidAndScanResponsesOnlyInActiveMode) {
  SimPeripheral other = Sensor();
  other.address = 0x0A;
  other.adverts = {Advert("03030F18")};  // battery only
  radio_.AddPeripheral(other);
  SimPeripheral with_response = Sensor();
  with_response.scan_response = Advert("0409414243");
  radio_.AddPeripheral(with_response);

  Recorder<Received> passive, active;
  auto passive_watcher = Listen(radio_, passive);
  auto filter = radio_.CreateFilter();
  auto pattern = radio_.CreateAdvertisement();
  pattern->AppendServiceUuid(Short(0x180D));
  filter->SetAdvertisement(pattern);
  passive_watcher->SetAdvertisementFilter(filter);
  auto active_watcher = Listen(radio_, active, BluetoothLEScanningMode::Active);

  radio_.EmitAdvertisement(0x0A);
  radio_.EmitAdvertisement(kAddress);
  radio_.WaitIdle();
  const auto seen_passive = passive.Snapshot();
  ASSERT_EQ(seen_passive.size(), 1u);
  EXPECT_EQ(seen_passive[0]->BluetoothAddress(), kAddress);
  const auto seen_active = active.Snapshot();
  ASSERT_EQ(seen_active.size(), 3u);
  EXPECT_EQ(seen_active[2]->AdvertisementType(), BluetoothLEAdvertisementType::ScanResponse);
  EXPECT_EQ(seen_active[2]->Advertisement()->LocalName(), u"ABC");
}

// A device passes a filter when its advertising packet and its scan response carry every UUID between them,
// whichever of the two carries which; from then on both its packets pass until the scan starts again.
TEST_F(SimRadioTest, FilterCountsTheScanResponseAndPassesTheDeviceFromThenOn) {
  const struct {
    const char* name;
    const char* advert;
    std::optional<const char*> response;
    std::vector<uint32_t> filter;
    size_t passes;  // packets delivered of one advertising event in an active scan
  } cases[] = {
      {"service in the scan response", "020106" "05094E616D65", "03031C18", {0x181C}, 2},
      {"service in the advert, none in the scan response", "020106" "03030D18", "0409414243", {0x180D}, 2},
      {"one service in each", "020106" "03030D18", "03031C18", {0x180D, 0x181C}, 2},
      {"one service in neither", "020106" "03030D18", "03031C18", {0x180D, 0x180F}, 0},
      {"no scan response", "020106" "05094E616D65", std::nullopt, {0x181C}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimRadio radio;
    SimPeripheral device = Sensor();
    device.adverts = {Advert(c.advert)};
    if (c.response) device.scan_response = Advert(*c.response);
    radio.AddPeripheral(device);
    auto filter = radio.CreateFilter();
    auto pattern = radio.CreateAdvertisement();
    for (uint32_t uuid : c.filter) pattern->AppendServiceUuid(Short(uuid));
    filter->SetAdvertisement(pattern);
    Recorder<Received> active, passive;
    auto active_watcher = radio.CreateWatcher();
    active_watcher->AddReceived([&active](const auto&, const auto& args) { active.Add(args); });
    active_watcher->SetAdvertisementFilter(filter);
    active_watcher->SetScanningMode(BluetoothLEScanningMode::Active);
    active_watcher->Start();
    auto passive_watcher = radio.CreateWatcher();
    passive_watcher->AddReceived([&passive](const auto&, const auto& args) { passive.Add(args); });
    passive_watcher->SetAdvertisementFilter(filter);
    passive_watcher->Start();
    radio.EmitAdvertisement(kAddress);
    radio.WaitIdle();
    ASSERT_EQ(active.Snapshot().size(), c.passes);
    if (c.passes == 0) continue;
    EXPECT_EQ(active.Snapshot()[1]->AdvertisementType(), BluetoothLEAdvertisementType::ScanResponse);
    // Without the scan response a passive scan judges the advertising packet alone.
    const bool advert_alone = c.filter.size() == 1 && c.filter[0] == 0x180D;
    EXPECT_EQ(passive.Snapshot().size(), advert_alone ? 1u : 0u);

    // A device that passed stays passed while the scan runs, though its packets no longer carry the UUIDs.
    device.adverts = {Advert("020106")};
    device.scan_response = Advert("020106");
    radio.AddPeripheral(device);
    radio.EmitAdvertisement(kAddress);
    radio.WaitIdle();
    EXPECT_EQ(active.Snapshot().size(), 4u);
    active_watcher->Stop();
    radio.WaitIdle();
    active_watcher->Start();
    radio.EmitAdvertisement(kAddress);
    radio.WaitIdle();
    EXPECT_EQ(active.Snapshot().size(), 4u);
  }
}

TEST_F(SimRadioTest, AdvertisementHandlerAwaitingADeviceLookupDoesNotDeadlock) {
  struct Seen {
    std::u16string name;
    bool on_event_thread;
  };
  Recorder<Seen> seen;
  auto watcher = radio_.CreateWatcher();
  watcher->AddReceived([this, &seen](const auto&, const auto& args) {
    auto completion = Attach(radio_.FromBluetoothAddressAsync(args->BluetoothAddress()), &radio_);
    const bool finished = completion->Wait();  // waits on the event thread
    seen.Add({finished ? completion->result->Name() : u"(timed out)", radio_.OnEventThread()});
  });
  watcher->Start();
  radio_.EmitAdvertisement(kAddress);
  ASSERT_TRUE(seen.WaitFor(1));
  EXPECT_EQ(seen.Snapshot()[0].name, u"Sensor");
  EXPECT_TRUE(seen.Snapshot()[0].on_event_thread);
}

// ---- Devices

TEST_F(SimRadioTest, DeviceLookupObjectsAndTheirEvents) {
  auto device = Device(radio_);
  EXPECT_EQ(device, Device(radio_));  // reused by default
  EXPECT_EQ(device->BluetoothAddressType(), BluetoothAddressType::Random);
  SimPeripheral hidden = Sensor();
  hidden.address = 0x0B;
  hidden.obtainable = false;
  radio_.AddPeripheral(hidden);
  EXPECT_EQ(Await(radio_.FromBluetoothAddressAsync(0x0B)), nullptr);

  Recorder<std::u16string> events;
  device->AddNameChanged([&events](const auto& sender, const auto&) { events.Add(u"name " + sender->Name()); });
  device->AddConnectionStatusChanged([&events](const auto& sender, const auto&) {
    events.Add(sender->ConnectionStatus() == BluetoothConnectionStatus::Connected ? u"up" : u"down");
  });
  device->AddGattServicesChanged([&events](const auto&, const auto& args) { events.Add(args->ToString()); });
  radio_.SetName(kAddress, u"Renamed");
  radio_.SetLink(kAddress, false);
  radio_.SetLink(kAddress, false);  // no change, no event
  radio_.FireConnectionStatusChanged(kAddress);
  radio_.ReplaceDatabase(kAddress, {});
  radio_.WaitIdle();
  EXPECT_EQ(events.Snapshot(),
            (std::vector<std::u16string>{u"name Renamed", u"down", u"down", u"GattServicesChanged"}));
  EXPECT_EQ(radio_.HandlerCount(kAddress, SimEvent::kNameChanged), 1u);
}

TEST_F(SimRadioTest, NewDeviceObjectsEachReceiveEvents) {
  SimPeripheral p = Sensor();
  p.reuse_device_object = false;
  radio_.AddPeripheral(p);
  auto first = Device(radio_);
  auto second = Device(radio_);
  EXPECT_NE(first, second);
  EXPECT_EQ(radio_.LiveDeviceObjects(kAddress), 2u);
  Recorder<BluetoothLEDevice*> senders;
  for (const auto& device : {first, second}) {
    device->AddNameChanged([&senders](const auto& sender, const auto&) { senders.Add(sender.get()); });
  }
  radio_.SetName(kAddress, u"Again");
  ASSERT_TRUE(senders.WaitFor(2));
  EXPECT_EQ(radio_.HandlerCount(kAddress, SimEvent::kNameChanged), 2u);
  radio_.WaitIdle();  // the delivery holds its sender until it is done
  second.reset();
  EXPECT_EQ(radio_.LiveDeviceObjects(kAddress), 1u);
}

// ---- GATT

std::vector<uint16_t> Handles(const auto& objects) {
  std::vector<uint16_t> handles;
  for (const auto& object : objects) handles.push_back(object->AttributeHandle());
  return handles;
}

TEST_F(SimRadioTest, DiscoveryListsInHandleOrderWithIncludesAndUuidFilters) {
  auto device = Device(radio_);
  auto root = Await(device->GetGattServicesWithCacheModeAsync(BluetoothCacheMode::Uncached));
  EXPECT_EQ(root->Status(), GattCommunicationStatus::Success);
  EXPECT_FALSE(root->ProtocolError().has_value());
  EXPECT_EQ(Handles(root->Services()), (std::vector<uint16_t>{0x0001, 0x0010}));  // secondary not at root
  auto heart = root->Services()[0];
  EXPECT_EQ(Handles(Await(heart->GetIncludedServicesWithCacheModeAsync(BluetoothCacheMode::Uncached))->Services()),
            std::vector<uint16_t>{0x0030});
  auto characteristics = Await(heart->GetCharacteristicsWithCacheModeAsync(BluetoothCacheMode::Uncached));
  EXPECT_EQ(Handles(characteristics->Characteristics()), (std::vector<uint16_t>{0x0003, 0x0006}));
  auto measurement = characteristics->Characteristics()[0];
  EXPECT_EQ(measurement->UserDescription(), u"Beats");
  EXPECT_EQ(measurement->PresentationFormats().at(0).unit, 0x27AF);
  EXPECT_EQ(heart->Session()->MaxPduSize(), 247);
  auto descriptors = Await(measurement->GetDescriptorsWithCacheModeAsync(BluetoothCacheMode::Cached));
  EXPECT_EQ(Handles(descriptors->Descriptors()), (std::vector<uint16_t>{0x0004, 0x0005}));
  auto cccd = Await(measurement->GetDescriptorsForUuidWithCacheModeAsync(Short(0x2902), BluetoothCacheMode::Uncached));
  EXPECT_EQ(Handles(cccd->Descriptors()), std::vector<uint16_t>{0x0004});
  auto call = radio_.LastCall("GattCharacteristic.GetDescriptorsWithCacheModeAsync");
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->mode, static_cast<int>(BluetoothCacheMode::Cached));
  EXPECT_EQ(call->handle, 0x0003);
}

// Handles are found by a binary search in the usual layout and still found when a service's attributes
// lie outside its range of handles.
TEST_F(SimRadioTest, AttributesAreFoundByHandleWhateverTheLayoutOfTheDatabase) {
  EXPECT_EQ(radio_.DeviceValue(kAddress, 0x0012), Bytes{0x5A});
  EXPECT_EQ(radio_.DeviceValue(kAddress, 0x0005), (Bytes{'B', 'e', 'a', 't', 's'}));
  EXPECT_FALSE(radio_.DeviceValue(kAddress, 0x0011).has_value());
  EXPECT_FALSE(radio_.DeviceValue(kAddress, 0x0010).has_value());  // a service has no value

  SimGattDb scattered;
  scattered.services.push_back({0x0001, Short(0x180F), true, {},
                                {{0x0050, Short(0x2A19), Props::Read, {0x01}, false,
                                  {{0x0051, Short(0x2901), {'a'}}}, {}}}});
  scattered.services.push_back({0x0040, Short(0x180A), true, {},
                                {{0x0002, Short(0x2A24), Props::Read, {0x02}, false,
                                  {{0x0003, Short(0x2901), {'b'}}}, {}}}});
  radio_.ReplaceDatabase(kAddress, scattered);
  EXPECT_EQ(radio_.DeviceValue(kAddress, 0x0050), Bytes{0x01});
  EXPECT_EQ(radio_.DeviceValue(kAddress, 0x0051), Bytes{'a'});
  EXPECT_EQ(radio_.DeviceValue(kAddress, 0x0002), Bytes{0x02});
  EXPECT_EQ(radio_.DeviceValue(kAddress, 0x0003), Bytes{'b'});
  EXPECT_FALSE(radio_.DeviceValue(kAddress, 0x0004).has_value());
  auto services = Await(Device(radio_)->GetGattServicesWithCacheModeAsync(BluetoothCacheMode::Uncached));
  auto characteristics =
      Await(services->Services().at(1)->GetCharacteristicsWithCacheModeAsync(BluetoothCacheMode::Uncached));
  EXPECT_EQ(Handles(characteristics->Characteristics()), std::vector<uint16_t>{0x0002});
  auto read =
      Await(characteristics->Characteristics().at(0)->ReadValueWithCacheModeAsync(BluetoothCacheMode::Uncached));
  EXPECT_EQ(read->Status(), GattCommunicationStatus::Success);
  EXPECT_EQ(read->Value(), Bytes{0x02});
}

TEST_F(SimRadioTest, CachedReadsKeepTheCacheUntilAnUncachedReadOrWrite) {
  auto battery = Characteristic(radio_, 0x180F, 0x2A19);
  auto read = [&](BluetoothCacheMode mode) { return Await(battery->ReadValueWithCacheModeAsync(mode))->Value(); };
  EXPECT_EQ(read(BluetoothCacheMode::Cached), Bytes{0x5A});  // nothing cached yet: read through
  radio_.SetDeviceValue(kAddress, 0x0012, {0x40});
  EXPECT_EQ(read(BluetoothCacheMode::Cached), Bytes{0x5A});
  EXPECT_EQ(read(BluetoothCacheMode::Uncached), Bytes{0x40});
  EXPECT_EQ(read(BluetoothCacheMode::Cached), Bytes{0x40});

  auto control = Characteristic(radio_, 0x180D, 0x2A39);
  auto write = [](const auto& c, GattWriteOption option) {
    return Await(c->WriteValueWithResultAndOptionAsync({7}, option));
  };
  EXPECT_EQ(write(control, GattWriteOption::WriteWithResponse)->Status(), GattCommunicationStatus::Success);
  EXPECT_EQ(radio_.DeviceValue(kAddress, 0x0006), Bytes{7});
  auto refused = write(control, GattWriteOption::WriteWithoutResponse);
  EXPECT_EQ(refused->Status(), GattCommunicationStatus::ProtocolError);
  EXPECT_EQ(refused->ProtocolError(), std::optional<uint8_t>(0x03));
  auto unreadable = Await(control->ReadValueWithCacheModeAsync(BluetoothCacheMode::Uncached));
  EXPECT_EQ(unreadable->ProtocolError(), std::optional<uint8_t>(0x02));
}

TEST_F(SimRadioTest, CccdStateGatesNotificationsAndIndications) {
  auto measurement = Characteristic(radio_, 0x180D, 0x2A37);
  Recorder<Bytes> values;
  measurement->AddValueChanged([&values](const auto&, const auto& args) { values.Add(args->CharacteristicValue()); });
  EXPECT_EQ(radio_.Notify(kAddress, 0x0003, {1}), 0u);  // not subscribed
  EXPECT_EQ(Await(measurement->WriteClientCharacteristicConfigurationDescriptorWithResultAsync(
                      GattClientCharacteristicConfigurationDescriptorValue::Notify))
                ->Status(),
            GattCommunicationStatus::Success);
  EXPECT_EQ(radio_.Notify(kAddress, 0x0003, {2}), 1u);
  EXPECT_EQ(radio_.Indicate(kAddress, 0x0003, {3}), 0u);
  EXPECT_EQ(radio_.Indicate(kAddress, 0x0003, {4}, /*force=*/true), 1u);
  ASSERT_TRUE(values.WaitFor(2));
  EXPECT_EQ(values.Snapshot(), (std::vector<Bytes>{{2}, {4}}));
  EXPECT_EQ(radio_.DeviceValue(kAddress, 0x0003), Bytes{4});  // a pushed value is the device's value

  // The 0x2902 descriptor and the CCCD calls share one state.
  auto descriptors =
      Await(measurement->GetDescriptorsForUuidWithCacheModeAsync(Short(0x2902), BluetoothCacheMode::Uncached));
  auto cccd = descriptors->Descriptors().at(0);
  EXPECT_EQ(Await(cccd->ReadValueWithCacheModeAsync(BluetoothCacheMode::Uncached))->Value(), (Bytes{0x01, 0x00}));
  Await(cccd->WriteValueWithResultAsync({0x02, 0x00}));
  EXPECT_EQ(Await(measurement->ReadClientCharacteristicConfigurationDescriptorAsync())
                ->ClientCharacteristicConfigurationDescriptor(),
            GattClientCharacteristicConfigurationDescriptorValue::Indicate);
  EXPECT_EQ(radio_.CccdValue(kAddress, 0x0003), 2);
  EXPECT_EQ(radio_.HandlerCount(kAddress, SimEvent::kValueChanged, 0x0003), 1u);
}

// Two subscribers of one characteristic (two clients' objects): the device keeps notifying until the last
// of them has unsubscribed, and the one that unsubscribed receives no more values.
TEST_F(SimRadioTest, NotificationsStopWithTheLastSubscriber) {
  auto first = Characteristic(radio_, 0x180D, 0x2A37);
  auto second = Characteristic(radio_, 0x180D, 0x2A37);
  Recorder<Bytes> first_values;
  Recorder<Bytes> second_values;
  first->AddValueChanged([&](const auto&, const auto& args) { first_values.Add(args->CharacteristicValue()); });
  second->AddValueChanged([&](const auto&, const auto& args) { second_values.Add(args->CharacteristicValue()); });
  auto subscribe = [](GattCharacteristic& characteristic, GattClientCharacteristicConfigurationDescriptorValue value) {
    return Await(characteristic.WriteClientCharacteristicConfigurationDescriptorWithResultAsync(value))->Status();
  };
  using Cccd = GattClientCharacteristicConfigurationDescriptorValue;
  ASSERT_EQ(subscribe(*first, Cccd::Notify), GattCommunicationStatus::Success);
  ASSERT_EQ(subscribe(*second, Cccd::Notify), GattCommunicationStatus::Success);
  ASSERT_EQ(subscribe(*first, Cccd::None), GattCommunicationStatus::Success);
  EXPECT_EQ(radio_.CccdValue(kAddress, 0x0003), 1);
  EXPECT_EQ(radio_.Notify(kAddress, 0x0003, {7}), 1u);
  ASSERT_TRUE(second_values.WaitFor(1));
  EXPECT_EQ(second_values.Snapshot(), std::vector<Bytes>{{7}});
  ASSERT_EQ(subscribe(*second, Cccd::None), GattCommunicationStatus::Success);
  EXPECT_EQ(radio_.CccdValue(kAddress, 0x0003), 0);
  EXPECT_EQ(radio_.Notify(kAddress, 0x0003, {8}), 0u);
  EXPECT_TRUE(first_values.Snapshot().empty());
}

TEST_F(SimRadioTest, DroppedLinksAndFaultRulesDecideGattOutcomes) {
  auto battery = Characteristic(radio_, 0x180F, 0x2A19);
  auto read = [&] { return Await(battery->ReadValueWithCacheModeAsync(BluetoothCacheMode::Uncached)); };
  radio_.AddFault({.op = SimOp::kReadCharacteristic, .handle = 0x0012, .protocol_error = 0x05});
  radio_.AddFault({.op = SimOp::kReadCharacteristic, .status = 3, .protocol_error = kNoProtocolError});
  radio_.AddFault({.op = SimOp::kReadCharacteristic, .status = 77, .protocol_error = 0xFF});
  auto protocol = read();
  EXPECT_EQ(protocol->Status(), GattCommunicationStatus::ProtocolError);
  EXPECT_EQ(protocol->ProtocolError(), std::optional<uint8_t>(0x05));
  auto denied = read();
  EXPECT_EQ(denied->Status(), GattCommunicationStatus::AccessDenied);
  EXPECT_FALSE(denied->ProtocolError().has_value());
  auto odd = read();
  EXPECT_EQ(static_cast<int32_t>(odd->Status()), 77);
  EXPECT_EQ(odd->ProtocolError(), std::optional<uint8_t>(0xFF));

  radio_.SetLink(kAddress, false);
  auto unreachable = read();
  EXPECT_EQ(unreachable->Status(), GattCommunicationStatus::Unreachable);
  EXPECT_FALSE(unreachable->ProtocolError().has_value());
  EXPECT_TRUE(unreachable->Value().empty());
}

// ---- Pairing

struct PairingCase {
  const char* name;
  uint32_t peripheral_kind;
  uint32_t requested_kinds;
  int answer;  // 0 none, 1 Accept, 2 AcceptWithPin("123456"), 3 AcceptWithPin("999999"), -1 no handler
  DevicePairingResultStatus expected;
  std::u16string pin_shown;
};

TEST(SimPairing, EveryPairingKindAndAnswer) {
  using K = DevicePairingKinds;
  using R = DevicePairingResultStatus;
  const PairingCase cases[] = {
      {"confirm only", K::ConfirmOnly, 13, 1, R::Paired, u""},
      {"display pin", K::DisplayPin, 15, 1, R::Paired, u"123456"},
      {"display pin not requested", K::DisplayPin, 13, 1, R::AuthenticationNotAllowed, u""},
      {"provide pin", K::ProvidePin, 13, 2, R::Paired, u""},
      {"provide wrong pin", K::ProvidePin, 13, 3, R::AuthenticationFailure, u""},
      {"provide pin without pin", K::ProvidePin, 13, 1, R::AuthenticationFailure, u""},
      {"confirm pin match", K::ConfirmPinMatch, 13, 1, R::Paired, u"123456"},
      {"no answer", K::ConfirmOnly, 13, 0, R::RejectedByHandler, u""},
      {"no handler", K::ConfirmOnly, 13, -1, R::RequiredHandlerNotRegistered, u""},
      {"no ceremony", K::None, 13, -1, R::Paired, u""},
  };
  for (const PairingCase& c : cases) {
    SCOPED_TRACE(c.name);
    SimRadio radio;
    SimPeripheral p = Sensor();
    p.pairing_kind = c.peripheral_kind;
    p.pin = u"123456";
    radio.AddPeripheral(p);
    auto pairing = Device(radio)->DeviceInformation()->Pairing();
    EXPECT_TRUE(pairing->CanPair());
    Recorder<std::u16string> shown;
    if (c.answer >= 0) {
      pairing->Custom()->AddPairingRequested([&](const auto&, const auto& args) {
        shown.Add(args->Pin());
        EXPECT_TRUE(radio.OnEventThread());
        if (c.answer == 1) args->Accept();
        if (c.answer >= 2) args->AcceptWithPin(c.answer == 2 ? u"123456" : u"999999");
      });
    }
    auto result = Await(pairing->Custom()->PairAsync(c.requested_kinds));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->Status(), c.expected);
    EXPECT_EQ(radio.IsPaired(kAddress), c.expected == R::Paired);
    if (c.expected == R::Paired && c.answer >= 0) {
      EXPECT_EQ(shown.Snapshot().at(0), c.pin_shown);
    }
  }
}

TEST_F(SimRadioTest, PairedDevicesReportAlreadyPairedAndUnpairOnce) {
  auto pairing = Device(radio_)->DeviceInformation()->Pairing();
  pairing->Custom()->AddPairingRequested([](const auto&, const auto& args) { args->Accept(); });
  EXPECT_EQ(Await(pairing->Custom()->PairAsync(13))->Status(), DevicePairingResultStatus::Paired);
  EXPECT_EQ(Await(pairing->Custom()->PairAsync(13))->Status(), DevicePairingResultStatus::AlreadyPaired);
  radio_.AddFault({.op = SimOp::kPair, .complete_inline = true, .status = 20});
  auto overridden = pairing->Custom()->PairAsync(13);
  EXPECT_EQ(overridden->Status(), AsyncStatus::Completed);
  EXPECT_EQ(static_cast<int32_t>(overridden->GetResults()->Status()), 20);
  EXPECT_EQ(Await(pairing->UnpairAsync())->Status(), DeviceUnpairingResultStatus::Unpaired);
  EXPECT_EQ(Await(pairing->UnpairAsync())->Status(), DeviceUnpairingResultStatus::AlreadyUnpaired);
  EXPECT_EQ(radio_.CallCount("DeviceInformationPairing.UnpairAsync"), 2u);
}

// ---- Synchronous failures, texts and statics

TEST_F(SimRadioTest, FailCallRaisesForTheNamedCallOnly) {
  auto device = Device(radio_);
  radio_.FailCall("BluetoothLEDevice.Name", kENoInterface);
  radio_.FailCall("BluetoothLEAdvertisementWatcher.Activate", kEFail, -1);
  EXPECT_EQ(RaisedBy([&] { device->Name(); }), kENoInterface);
  EXPECT_EQ(device->Name(), u"Sensor");  // used up
  EXPECT_EQ(RaisedBy([&] { radio_.CreateWatcher(); }), kEFail);
  EXPECT_EQ(RaisedBy([&] { radio_.CreateWatcher(); }), kEFail);
  EXPECT_STREQ(PlatformError(kENoInterface).what(), "Platform error 0x80004002.");
  EXPECT_EQ(radio_.CallCount("BluetoothLEDevice.Name"), 2u);
}

TEST_F(SimRadioTest, EnumerationTextsGuidTextAndShortIds) {
  EXPECT_EQ(radio_.EnumText(BluetoothError::RadioNotAvailable), u"RadioNotAvailable");
  EXPECT_EQ(radio_.EnumText(static_cast<BluetoothError>(42)), u"Windows.Devices.Bluetooth.BluetoothError");
  EXPECT_EQ(radio_.EnumText(BluetoothConnectionStatus::Disconnected), u"Disconnected");
  EXPECT_EQ(radio_.EnumText(GattCommunicationStatus::AccessDenied), u"AccessDenied");
  EXPECT_EQ(radio_.EnumText(static_cast<GattCommunicationStatus>(4)),
            u"Windows.Devices.Bluetooth.GenericAttributeProfile.GattCommunicationStatus");
  EXPECT_EQ(radio_.GuidToString(Short(0x180F)), u"{0000180f-0000-1000-8000-00805f9b34fb}");
  EXPECT_EQ(radio_.TryGetShortId(Short(0x12345678)), std::optional<uint32_t>(0x12345678));
  Guid custom = Short(0x180F);
  custom.data4[7] = 0;
  EXPECT_FALSE(radio_.TryGetShortId(custom).has_value());
  EXPECT_EQ(radio_.GattProtocolErrorValue(GattProtocolError::InsufficientResources), 0x11);
  EXPECT_EQ(radio_.GattPresentationFormatTypeValue(GattPresentationFormatType::Struct), 0x1B);
  EXPECT_EQ(radio_.AdvertisementDataTypeValue(BluetoothLEAdvertisementDataType::ServiceData128BitUuids), 0x21);
}

TEST(SimRadioShutdown, DropsQueuedAndHeldWorkAndJoins) {
  auto radio = std::make_unique<SimRadio>();
  radio->AddPeripheral(Sensor());
  radio->AddFault({.op = SimOp::kGetAdapter, .hold = true});
  radio->AddFault({.op = SimOp::kGetAdapter, .delay_ms = 60000});
  auto held = Attach(radio->GetDefaultAdapterAsync());
  auto delayed = Attach(radio->GetDefaultAdapterAsync());
  auto device = Await(radio->FromBluetoothAddressAsync(kAddress));
  radio.reset();  // must not wait for the delayed completion
  EXPECT_FALSE(held->Done());
  EXPECT_FALSE(delayed->Done());
  EXPECT_EQ(device->Name(), u"Sensor");  // objects outlive the radio
}

}  // namespace
}  // namespace velmora::platform::bluetooth::sim
