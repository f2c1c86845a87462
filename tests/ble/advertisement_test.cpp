// Advertisement decoding: the decoders on their own, then the Advertisement event and the in-event settings
// through the exported interface against the simulated radio.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ble/advertisement.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/threads_test_util.h"

namespace velmora::ble::testing {
namespace {

using bt::BluetoothLEAdvertisementType;

constexpr const char k180A[] = "0000180A-0000-1000-8000-00805F9B34FB";
constexpr const char k180D[] = "0000180D-0000-1000-8000-00805F9B34FB";
constexpr const char k180F[] = "0000180F-0000-1000-8000-00805F9B34FB";
constexpr const char k12345678[] = "12345678-0000-1000-8000-00805F9B34FB";
// A 128-bit UUID and its bytes as they travel in a section, least significant first.
constexpr const char kLong[] = "A1B2C3D4-0001-4E5F-8A9B-0C1D2E3F4A5B";
constexpr const char kLongOnAir[] = "5B4A3F2E1D0C9B8A5F4E0100D4C3B2A1";

std::string Text(const core::BufferCore& buffer) { return std::string(buffer.Data(), buffer.Length()); }

std::vector<AdvertisementSection> Sections(const std::string& hex) {
  std::vector<AdvertisementSection> sections;
  EXPECT_TRUE(bt::sim::ParseAdvertisingData(Hex(hex), &sections)) << hex;
  return sections;
}

// ---- The decoders ------------------------------------------------------------------------------------------

TEST(AdvertisementDecoding, ServerIdIsTwelveUpperCaseDigitsAndTxPowerTheFirstSectionsSignedByte) {
  core::Buffer text;
  ASSERT_EQ(FormatBluetoothAddress(1, text), 0);
  ASSERT_EQ(FormatBluetoothAddress(0xFFFF00A1B2C3D4E5ull, text), 0);  // appends; bits above 48 ignored
  EXPECT_EQ(Text(text), "00000000000100A1B2C3D4E5");
  EXPECT_EQ(AdvertisedTxPower(Sections("020106")), kNoTxPower);
  EXPECT_EQ(AdvertisedTxPower(Sections("020AF4 020A05")), -12);
  EXPECT_EQ(AdvertisedTxPower(Sections("030A7F00")), 127);
  // A section without its byte is dropped: none, or the next one that has it.
  EXPECT_EQ(AdvertisedTxPower(Sections("010A")), kNoTxPower);
  EXPECT_EQ(AdvertisedTxPower(Sections("010A 020A05")), 5);
}

TEST(AdvertisementDecoding, UuidBytesOfTheThreeSizes) {
  Guid uuid;
  core::Buffer text;
  ASSERT_EQ(UuidFromAdvertisementBytes(Hex("0F18").data(), 2, &uuid), 0);
  ASSERT_EQ(AppendUuidText(uuid, text), 0);
  ASSERT_EQ(UuidFromAdvertisementBytes(Hex("78563412").data(), 4, &uuid), 0);
  ASSERT_EQ(AppendUuidText(uuid, text), 0);
  // The 16 bytes of a full UUID are one little-endian number: read backwards, not in GUID memory order.
  ASSERT_EQ(UuidFromAdvertisementBytes(Hex(kLongOnAir).data(), 16, &uuid), 0);
  ASSERT_EQ(AppendUuidText(uuid, text), 0);
  EXPECT_EQ(Text(text), std::string(k180F) + k12345678 + kLong);
  for (int32_t count : {0, 1, 3, 8, 15, 17}) EXPECT_EQ(UuidFromAdvertisementBytes(Hex(kLongOnAir).data(), count, &uuid), 600);
}

TEST(AdvertisementDecoding, ServiceDataInKindOrderWithDuplicatesAndShortSectionsStopTheDecoder) {
  UuidList uuids;
  core::StrList payloads;
  core::Buffer out;
  core::Buffer error;
  const auto sections = Sections("04160F1864 07207856341201AB 13215B4A3F2E1D0C9B8A5F4E0100D4C3B2A10102 03160F18");
  ASSERT_EQ(DecodeServiceDataSections(sections, uuids, payloads, out, error), 0);
  EXPECT_EQ(Text(out), std::string(kLong) + "," + k12345678 + "," + k180F + "," + k180F);
  ASSERT_EQ(payloads.Count(), 4);
  EXPECT_EQ(std::string(payloads.Item(0), payloads.ItemLength(0)), "\x01\x02");
  EXPECT_EQ(std::string(payloads.Item(1), payloads.ItemLength(1)), "\x01\xAB");
  EXPECT_EQ(std::string(payloads.Item(2), payloads.ItemLength(2)), "\x64");
  EXPECT_EQ(payloads.ItemLength(3), 0);

  (void)out.Clear();
  EXPECT_EQ(DecodeServiceDataSections(Sections("07207856341201AB 02160F"), uuids, payloads, out, error),
            kSectionLengthError);
  EXPECT_EQ(Text(error), "Expected byte[] length to be at least 2, but instead is 1.");
  EXPECT_EQ(Text(out), "");
  EXPECT_EQ(uuids.size(), 1u);  // the pair decoded before stays
  EXPECT_EQ(DecodeServiceDataSections(Sections("0F21000102030405060708090A0B0C0D"), uuids, payloads, out, error),
            kSectionLengthError);
  EXPECT_EQ(Text(error), "Expected byte[] length to be at least 16, but instead is 14.");
  EXPECT_TRUE(uuids.empty());
}

TEST(AdvertisementDecoding, SolicitationsOnceEachInKindOrder) {
  UuidList work;
  core::Buffer out;
  core::Buffer error;
  ASSERT_EQ(DecodeSolicitationSections(Sections("07140A180D180A18 03140D18 051F78563412 0114"), work, out, error), 0);
  EXPECT_EQ(Text(out), std::string(k12345678) + "," + k180A + "," + k180D);
  (void)out.Clear();
  EXPECT_EQ(DecodeSolicitationSections(Sections("04140A180D"), work, out, error), kSectionLengthError);
  EXPECT_EQ(Text(error), "Expected byte[] length to be a multiple of 2, but instead is 3.");
  EXPECT_EQ(DecodeSolicitationSections(Sections("0615000000000000"), work, out, error), kSectionLengthError);
  EXPECT_EQ(Text(error), "Expected byte[] length to be a multiple of 16, but instead is 5.");
  EXPECT_EQ(Text(out), "");
}

// ReportIsWellFormed checks that the report's length bytes agree with each other and with its AD structures.
void ExpectWellFormedReport(const uint8_t* r, int32_t length) {
  ASSERT_GE(length, 14);
  const int32_t n = r[12];
  EXPECT_EQ(length, 14 + n);
  EXPECT_EQ(r[1], 12 + n);
  int32_t at = 0;
  while (at < n) at += 1 + r[13 + at];
  EXPECT_EQ(at, n);
}

TEST(AdvertisementDecoding, ReportLengthBytesNeverWrap) {
  const std::vector<uint8_t> data(252, 0xA5);
  std::vector<uint16_t> uuids(200, 0x180D);
  AdvertisementReport in;
  in.flags = 6;
  in.tx_power = -4;
  in.has_manufacturer_data = true;
  in.company_id = 0x0059;
  in.manufacturer_data = data;
  in.short_uuids = uuids;
  uint8_t report[kMaxReportLength];
  int32_t length = BuildAdvertisementReport(in, report);
  ExpectWellFormedReport(report, length);
  EXPECT_EQ(length, kMaxReportLength);
  EXPECT_EQ(report[13 + 6], 3 + 233);  // the manufacturer data is cut to what fits; the UUID list is left out

  in.has_manufacturer_data = false;
  length = BuildAdvertisementReport(in, report);
  ExpectWellFormedReport(report, length);
  EXPECT_EQ(report[13 + 6], 2 * 117 + 1);  // the UUID list is cut

  in.short_uuids = std::span<const uint16_t>(uuids.data(), 2);
  in.flags.reset();
  in.tx_power = kNoTxPower;
  length = BuildAdvertisementReport(in, report);
  ExpectWellFormedReport(report, length);
  EXPECT_EQ(length, 14 + 6);
}

// ---- The Advertisement event -------------------------------------------------------------------------------

constexpr uint64_t kAddress = 0x00A1B2C3D4E5;

// Every section kind: flags, 16- and 128-bit service lists, name, TX power, service data of the three
// sizes, solicitations of the three sizes and two manufacturer entries (the second with a zero byte).
const std::string kEverySection = std::string("020106 05030D180F18 1107") + kLongOnAir +
                                  " 050948524D31 020AF4 04160F1864 07207856341201AB 1321" + kLongOnAir +
                                  "0102 05140A180D18 051F78563412 1115" + kLongOnAir +
                                  " 06FF5900010203 05FF34120041";

class AdvertisementEvent : public ScanFixture {
 protected:
  // Answers collects what the sink's Config calls inside the event got.
  struct Answers {
    std::mutex mutex;
    std::vector<std::string> lines;
    void Add(const std::string& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    }
  };

  // AskInside makes the sink run the queries on every Advertisement event, recording "code reply".
  void AskInside(std::vector<std::string> queries) {
    sink_.inside = [this, queries](const Event& event) {
      if (event.id != VELMORABLE_EVENT_ADVERTISEMENT) return;
      for (const std::string& query : queries) {
        std::string reply;
        const int rc = testing::Config(handle_, query.c_str(), &reply);
        answers_.Add(std::to_string(rc) + " " + (rc == 0 ? reply : testing::LastError(handle_)));
      }
    };
  }

  Event OnlyAdvertisement() {
    const auto events = sink_.Of(VELMORABLE_EVENT_ADVERTISEMENT);
    EXPECT_EQ(events.size(), 1u);
    return events.empty() ? Event{} : events[0];
  }

  Answers answers_;
};

TEST_F(AdvertisementEvent, EverySectionKindDecodesIntoTheElevenValues) {
  AddAdvertiser(kAddress, Hex(kEverySection), -70);
  AskInside({"ServiceData=180F", std::string("ServiceData=") + kLong, "ServiceData=12345678", "ServiceData=2A00",
             "ManufacturerDataCount", "ManufacturerCompanyId[0]", "ManufacturerCompanyId[1]", "ManufacturerData[0]",
             "ManufacturerData[1]", "ManufacturerCompanyId[2]", "ManufacturerData", "AdvertisementRawData"});
  ASSERT_EQ(StartScanning(), 0);
  Emit(kAddress);
  const Event event = OnlyAdvertisement();
  const std::vector<Param> expected = {
      std::string("00A1B2C3D4E5"),
      std::string("HRM1"),
      -70,
      -12,
      std::string(k180D) + "," + k180F + "," + kLong,
      std::string(kLong) + "," + k12345678 + "," + k180F,
      std::string(kLong) + "," + k12345678 + "," + k180A + "," + k180D,
      0x59,
      std::string("\x01\x02\x03"),
      1,
      0,
  };
  EXPECT_EQ(event.params, expected);
  EXPECT_EQ(answers_.lines, (std::vector<std::string>{
                                "0 d",
                                "0 \x01\x02",
                                "0 \x01\xAB",
                                "202 No service data in advertisement for UUID 00002A00-0000-1000-8000-00805F9B34FB.",
                                "0 2",
                                "0 89",
                                "0 4660",
                                "0 \x01\x02\x03",
                                "0 ",  // the reply is a text: it ends at the entry's zero byte
                                "202 Index '2' is invalid for ManufacturerCompanyId.",
                                "202 Index '-1' is invalid for ManufacturerData.",
                                // 3E, 12 + 19, 02, 01, type 0, public address, address LSB first, N = 19,
                                // flags, TX power, the first manufacturer entry, the two 16-bit UUIDs (the
                                // 128-bit one has no short form, and no place in the list), RSSI.
                                "0 3e1f020100" "00" "e5d4c3b2a100" "13" "020106" "020af4" "06ff5900010203"
                                "05030d180f18" "ba",
                            }));
}

TEST_F(AdvertisementEvent, InEventSettingsAnswerOnlyInsideTheEvent) {
  AddAdvertiser(kAddress, Hex(kEverySection));
  ASSERT_EQ(StartScanning(), 0);
  Emit(kAddress);
  EXPECT_FAILS_WITH(Config("ManufacturerDataCount"), 602,
                    "The ManufacturerDataCount setting is only usable within the Advertisement event handler.");
  EXPECT_FAILS_WITH(Config("ServiceData=180F"), 602,
                    "The ServiceData setting is only usable within the Advertisement event handler.");
  EXPECT_EQ(Config("ManufacturerCompanyId[0]"), 602);
  EXPECT_EQ(Config("ManufacturerData[0]"), 602);
  std::string reply = "x";
  EXPECT_EQ(Config("AdvertisementRawData", &reply), 0);
  EXPECT_EQ(reply, "");
}

TEST_F(AdvertisementEvent, AbsentSectionsGiveTheNoValueMarkers) {
  AddAdvertiser(kAddress, Hex("020106"), -40, BluetoothLEAdvertisementType::NonConnectableUndirected);
  ASSERT_EQ(StartScanning(), 0);
  Emit(kAddress);
  const Event event = OnlyAdvertisement();
  ASSERT_EQ(event.params.size(), 11u);
  EXPECT_EQ(event.Text(1), "");
  EXPECT_EQ(event.Int(3), INT32_MIN);
  EXPECT_EQ(event.Text(4), "");
  EXPECT_EQ(event.Text(5), "");
  EXPECT_EQ(event.Text(6), "");
  EXPECT_EQ(event.Int(7), -1);
  EXPECT_EQ(event.Text(8), "");
  EXPECT_EQ(event.Int(9), 0);
  EXPECT_EQ(event.Int(10), 0);
}

TEST_F(AdvertisementEvent, BareReportCarriesTheDevicesAddressType) {
  AskInside({"AdvertisementRawData"});
  AddAdvertiser(0x000000000001, Hex("0409414243"), -1);  // a name only: nothing of it in the report
  SimPeripheral random;
  random.address = 0x000000000002;
  random.address_type = bt::BluetoothAddressType::Random;
  random.adverts.push_back({BluetoothLEAdvertisementType::ConnectableDirected, -2, {}});
  radio_->AddPeripheral(random);
  SimPeripheral unknown = random;
  unknown.address = 0x000000000003;
  unknown.address_type = bt::BluetoothAddressType::Public;
  unknown.obtainable = false;
  radio_->AddPeripheral(unknown);
  ASSERT_EQ(StartScanning(), 0);
  Emit(0x000000000001);
  Emit(0x000000000002);
  Emit(0x000000000003);
  EXPECT_EQ(answers_.lines, (std::vector<std::string>{"0 3e0c020100" "00" "010000000000" "00" "ff",
                                                      "0 3e0c020101" "01" "020000000000" "00" "fe",
                                                      "0 3e0c020101" "01" "030000000000" "00" "fe"}));
}

TEST_F(AdvertisementEvent, ReportHasNoSixteenBitListWithoutASixteenBitUuid) {
  AskInside({"AdvertisementRawData"});
  AddAdvertiser(0x000000000001, Hex("050578563412"), -1);  // a 32-bit list only
  AddAdvertiser(0x000000000002, Hex(std::string("1107") + kLongOnAir), -1);  // a 128-bit list only
  ASSERT_EQ(StartScanning(), 0);
  Emit(0x000000000001);
  Emit(0x000000000002);
  EXPECT_EQ(answers_.lines, (std::vector<std::string>{"0 3e0c020100" "00" "010000000000" "00" "ff",
                                                      "0 3e0c020100" "00" "020000000000" "00" "ff"}));
}

TEST_F(AdvertisementEvent, LongExtendedAdvertisementGivesAConsistentReport) {
  std::string hex = "020106 020A00 FFFF5900";
  for (int i = 0; i < 252; ++i) hex += "A5";
  hex += " FF03";
  for (int i = 0; i < 127; ++i) hex += "0D18";
  AskInside({"AdvertisementRawData"});
  AddAdvertiser(kAddress, Hex(hex));
  ASSERT_EQ(StartScanning(), 0);
  Emit(kAddress);
  ASSERT_EQ(answers_.lines.size(), 1u);
  const std::vector<uint8_t> report = Hex(answers_.lines[0].substr(2));
  ExpectWellFormedReport(report.data(), static_cast<int32_t>(report.size()));
  EXPECT_EQ(report.size(), static_cast<size_t>(kMaxReportLength));
  // The event itself carries the whole manufacturer data.
  EXPECT_EQ(OnlyAdvertisement().Text(8).size(), 252u);
}

TEST_F(AdvertisementEvent, MalformedSectionsEmptyTheirValueAndSetTheReason) {
  std::vector<std::string> inside_errors;
  sink_.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_ADVERTISEMENT) inside_errors.push_back(testing::LastError(handle_));
  };
  AddAdvertiser(0x01, Hex("020106 02160F 05140A180D18"));
  AddAdvertiser(0x02, Hex("04160F1864 04140A180D"));
  ASSERT_EQ(StartScanning(), 0);
  Emit(0x01);
  Emit(0x02);
  const auto events = sink_.Of(VELMORABLE_EVENT_ADVERTISEMENT);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].Text(5), "");
  EXPECT_EQ(events[0].Text(6), std::string(k180A) + "," + k180D);
  EXPECT_EQ(events[1].Text(5), k180F);
  EXPECT_EQ(events[1].Text(6), "");
  EXPECT_EQ(inside_errors, (std::vector<std::string>{
                               "Expected byte[] length to be at least 2, but instead is 1.",
                               "Expected byte[] length to be a multiple of 2, but instead is 3.",
                           }));
}

TEST_F(AdvertisementEvent, NameIsLookedUpWhenNotAdvertised) {
  AddAdvertiser(0x01, Hex("020106"), -60, BluetoothLEAdvertisementType::ConnectableUndirected, u"Velmora HR");
  SimPeripheral gone;
  gone.address = 0x02;
  gone.name = u"Hidden";
  gone.obtainable = false;
  gone.adverts.push_back({BluetoothLEAdvertisementType::ConnectableUndirected, -60, {}});
  radio_->AddPeripheral(gone);
  ASSERT_EQ(StartScanning(), 0);
  Emit(0x01);
  EXPECT_EQ(radio_->CallCount("BluetoothLEDevice.FromBluetoothAddressAsync"), 0u);  // not asked for
  EXPECT_EQ(Config("QueryAdditionalDeviceInfo=True"), 0);
  Emit(0x01);
  Emit(0x02);
  const auto events = sink_.Of(VELMORABLE_EVENT_ADVERTISEMENT);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].Text(1), "");
  EXPECT_EQ(events[1].Text(1), "Velmora HR");
  EXPECT_EQ(events[2].Text(1), "");
  EXPECT_EQ(LastError(), "");
}

TEST_F(AdvertisementEvent, ScanResponseInActiveMode) {
  SimPeripheral peripheral;
  peripheral.address = kAddress;
  peripheral.adverts.push_back({BluetoothLEAdvertisementType::ScannableUndirected, -50, Sections("020106")});
  peripheral.scan_response = SimAdvert{BluetoothLEAdvertisementType::ScanResponse, -51, Sections("05FFFFFF0102")};
  radio_->AddPeripheral(peripheral);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_ACTIVE_SCANNING, 0, 1), 0);
  ASSERT_EQ(StartScanning(), 0);
  Emit(kAddress);
  const auto events = sink_.Of(VELMORABLE_EVENT_ADVERTISEMENT);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].Int(9), 0);
  EXPECT_EQ(events[0].Int(10), 0);
  EXPECT_EQ(events[1].Int(2), -51);
  EXPECT_EQ(events[1].Int(7), 0xFFFF);
  EXPECT_EQ(events[1].Int(9), 0);
  EXPECT_EQ(events[1].Int(10), 1);
}

// A scan that StartScanning gave up waiting for is still starting: its mode was fixed as it began, so a change
// of ActiveScanning is refused as while it runs, instead of reading back a mode the scan does not have.
TEST_F(AdvertisementEvent, ActiveScanningCannotChangeWhileAScanIsStillStarting) {
  SimPeripheral peripheral;
  peripheral.address = kAddress;
  peripheral.adverts.push_back({BluetoothLEAdvertisementType::ScannableUndirected, -50, Sections("020106")});
  peripheral.scan_response = SimAdvert{BluetoothLEAdvertisementType::ScanResponse, -51, Sections("05FFFFFF0102")};
  radio_->AddPeripheral(peripheral);
  radio_->SetWatcherTiming(2500, 0);
  ASSERT_EQ(Config("ScanStartedTimeout=1"), 0);
  ASSERT_EQ(StartScanning(), 0) << LastError();
  ASSERT_FALSE(ScanningProperty());
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_ACTIVE_SCANNING, 0, 1), 602);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_ACTIVE_SCANNING, 0), 0);
  ASSERT_TRUE(Eventually([&] { return ScanningProperty(); }));
  Emit(kAddress);
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_ADVERTISEMENT).size(), 1u);  // passive: no scan response
  ASSERT_EQ(StopScanning(), 0) << LastError();
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_ACTIVE_SCANNING, 0, 1), 0);
}

TEST_F(AdvertisementEvent, FailedDeliveryLeavesNoAdvertisementBehind) {
  AddAdvertiser(kAddress, Hex(kEverySection));
  std::vector<std::string> later;
  sink_.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_STOP_SCAN) return;
    // Same platform thread as the failed delivery: its advertisement must be gone.
    const int rc = testing::Config(handle_, "ManufacturerDataCount");
    later.push_back(std::to_string(rc));
  };
  ASSERT_EQ(StartScanning(), 0);
  radio_->FailCall("BluetoothLEAdvertisement.ManufacturerData", bt::kEFail);
  Emit(kAddress);
  EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_ADVERTISEMENT).empty());
  radio_->AbortWatchers(bt::BluetoothError::OtherError);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  EXPECT_EQ(later, std::vector<std::string>{"602"});
}

// Advertisements that come on several platform threads at once enter the sink one at a time, none lost, and
// no thread waits for another: the sink's settings always see its own advertisement. A sink may destroy the
// client meanwhile.
class ConcurrentAdvertisements : public AdvertisementEvent {
 protected:
  int EventThreads() const override { return 4; }
  void AddAdvertisers() {
    for (int i = 0; i < kPeripherals; ++i) {
      char hex[64];
      std::snprintf(hex, sizeof hex, "04FF%02X00AA 04160F18%02X", i, i + 1);
      AddAdvertiser(0x100 + i, Hex(hex));
    }
  }
  void EmitRounds() {
    for (int round = 0; round < kRounds; ++round) {
      for (int i = 0; i < kPeripherals; ++i) ASSERT_TRUE(radio_->EmitAdvertisement(0x100 + i));
    }
    radio_->WaitIdle();
  }
  static constexpr int kPeripherals = 8;
  static constexpr int kRounds = 40;
};

TEST_F(ConcurrentAdvertisements, EachDeliverySeesItsOwnAdvertisement) {
  AddAdvertisers();
  std::atomic<int> mismatches{0};
  sink_.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_ADVERTISEMENT) return;
    std::string company;
    std::string data;
    if (testing::Config(handle_, "ManufacturerCompanyId[0]", &company) != 0) ++mismatches;
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // let other deliveries run meanwhile
    if (testing::Config(handle_, "ServiceData=180F", &data) != 0 || company != std::to_string(event.Int(7)) ||
        data.size() != 1 || static_cast<uint8_t>(data[0]) != event.Int(7) + 1) {
      ++mismatches;
    }
  };
  ASSERT_EQ(StartScanning(), 0);
  EmitRounds();
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_ADVERTISEMENT).size(), static_cast<size_t>(kPeripherals * kRounds));
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(ConcurrentAdvertisements, DestroyFromOneDeliveryWhileOthersRun) {
  AddAdvertisers();
  std::atomic<bool> destroyed{false};
  std::atomic<int> after{0};
  sink_.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_ADVERTISEMENT) return;
    if (destroyed.load()) ++after;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (event.Int(7) == 3 && !destroyed.exchange(true)) VelmoraBLE_BLEClient_Destroy(handle_);
  };
  ASSERT_EQ(StartScanning(), 0);
  EmitRounds();
  EXPECT_TRUE(destroyed.load());
  handle_ = nullptr;  // freed by the sink
}

}  // namespace
}  // namespace velmora::ble::testing
