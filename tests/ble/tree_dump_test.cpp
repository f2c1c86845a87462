// The "GattObjTreeInfo" dump through the exported interface against the simulated radio: the exact text
// for a discovered tree with included services, stored flags before and after loading, the subscription
// state, records without a platform object, texts that could forge lines, and platform failures.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ble/ble_client.h"
#include "ble/ble_client_engine.h"
#include "ble/tree_dump.h"
#include "tests/ble/scan_test_util.h"

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kAddress = 0x00A1B2C3D4E5;
constexpr const char kServerId[] = "00A1B2C3D4E5";
constexpr const char kBattery[] = "000100000000";
constexpr const char kLevel[] = "000100030000";
constexpr const char kPlain[] = "000100070000";
constexpr const char kHeader[] = "GATT Object Tree Info [>Services, >>Characteristics, >>>Descriptors]:\r\n";

constexpr const char kDescriptorsForUuid[] = "GattCharacteristic.GetDescriptorsForUuidWithCacheModeAsync";
constexpr const char kDescriptorsAll[] = "GattCharacteristic.GetDescriptorsWithCacheModeAsync";

class TreeDump : public ScanFixture {
 protected:
  // The server: Battery 0x0001 (includes Info) with Level 0x0003 (Read|Notify, two presentation formats,
  // CCCD 0x0004, user description 0x0005 "Lv") and an unnamed 0x0007 (Write, an unnamed descriptor 0x0008);
  // Info 0x0010 (secondary) with Model 0x0012; an unnamed service 0x0020 with nothing in it.
  void SetUp() override {
    ScanFixture::SetUp();
    server_.address = kAddress;
    server_.name = u"Gauge";
    server_.pairing_kind = bt::DevicePairingKinds::None;
    bt::sim::SimService battery = Service(0x0001, 0x180F);
    battery.included = {0x0010};
    bt::sim::SimCharacteristic level = Characteristic(0x0003, 0x2A19, 0x12);
    level.formats = {{.format_type = 4, .exponent = 0, .unit = 0x27AD},
                     {.format_type = 6, .exponent = -1, .unit = 0x2700}};
    level.descriptors.push_back({0x0004, bt::BluetoothBaseUuid(0x2902), {0, 0}});
    level.descriptors.push_back({0x0005, bt::BluetoothBaseUuid(0x2901), {'L', 'v'}});
    bt::sim::SimCharacteristic plain = Characteristic(0x0007, 0xFFF1, 0x08);
    plain.descriptors.push_back({0x0008, bt::BluetoothBaseUuid(0xFFAA), {1}});
    battery.characteristics = {level, plain};
    bt::sim::SimService info = Service(0x0010, 0x180A, false);
    info.characteristics = {Characteristic(0x0012, 0x2A24, 0x02)};
    server_.gatt.services = {battery, info, Service(0x0020, 0xFFF0)};
  }

  // Start connects and discovers every service (included ones too), characteristic and descriptor.
  void Start() {
    radio_->AddPeripheral(server_);
    ASSERT_EQ(Do(VELMORABLE_METHOD_CONNECT, kServerId), 0);
    ASSERT_EQ(Config("AutoDiscoverIncludedServices=1"), 0);
    ASSERT_EQ(Config("AutoDiscoverCharacteristics=1"), 0);
    ASSERT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 0) << LastError();
  }

  std::string Dump() {
    std::string reply;
    EXPECT_EQ(Config("GattObjTreeInfo", &reply), 0) << LastError();
    return reply;
  }
  std::shared_ptr<GattCharacteristicRecord> CharacteristicRecord(const char* service_id, const char* id) {
    std::shared_ptr<GattCharacteristicRecord> record;
    EXPECT_EQ(Engine().LookupCharacteristic(service_id, id, &record), 0) << id;
    return record;
  }

  bt::sim::SimPeripheral server_;
};

// The lines of the discovered tree with the given flag and subscription texts for Level and the others.
std::string ExpectedTree(const char* level_flags, const char* level_subscribed, const char* plain_flags,
                         const char* model_flags) {
  return std::string(kHeader) +
         ">0000180F-0000-1000-8000-00805F9B34FB \"Battery Service\" [ID=000100000000, ParentSvcIds=\"\", "
         "IncludedSvcIds=\"001000000000\"]\r\n"
         ">>00002A19-0000-1000-8000-00805F9B34FB \"Battery Level\" [ID=000100030000, Flags=" +
         level_flags + ", Subscribed=" + level_subscribed + ", UserDescr=\"Lv\", VFCount=2]\r\n" +
         ">>>00002902-0000-1000-8000-00805F9B34FB \"Client Characteristic Configuration\" [ID=000100030004]\r\n"
         ">>>00002901-0000-1000-8000-00805F9B34FB \"Characteristic User Description\" [ID=000100030005]\r\n"
         ">>0000FFF1-0000-1000-8000-00805F9B34FB [ID=000100070000, Flags=" +
         plain_flags + ", Subscribed=False, UserDescr=\"\", VFCount=0]\r\n" +
         ">>>0000FFAA-0000-1000-8000-00805F9B34FB [ID=000100070008]\r\n"
         ">0000180A-0000-1000-8000-00805F9B34FB \"Device Information\" [ID=001000000000, "
         "ParentSvcIds=\"000100000000\", IncludedSvcIds=\"\"]\r\n"
         ">>00002A24-0000-1000-8000-00805F9B34FB \"Model Number String\" [ID=001000120000, Flags=" +
         model_flags + ", Subscribed=False, UserDescr=\"\", VFCount=0]\r\n" +
         ">0000FFF0-0000-1000-8000-00805F9B34FB [ID=002000000000, ParentSvcIds=\"\", IncludedSvcIds=\"\"]\r\n";
}

TEST_F(TreeDump, EmptyTreeGivesTheHeaderLineOnly) {
  EXPECT_EQ(Dump(), kHeader);
  radio_->AddPeripheral(server_);
  ASSERT_EQ(Do(VELMORABLE_METHOD_CONNECT, kServerId), 0);
  EXPECT_EQ(Dump(), kHeader);
}

TEST_F(TreeDump, DiscoveredTreeIsWrittenExactlyWithStoredFlagsBeforeAndAfterLoading) {
  Start();
  const size_t ensured_before = radio_->CallCount(kDescriptorsForUuid) + radio_->CallCount(kDescriptorsAll);
  EXPECT_EQ(Dump(), ExpectedTree("0x0 ()", "False", "0x0 ()", "0x0 ()"));
  // The dump reads the user description and formats straight from the platform: it discovers nothing.
  EXPECT_EQ(radio_->CallCount(kDescriptorsForUuid) + radio_->CallCount(kDescriptorsAll), ensured_before);

  for (const char* id : {kLevel, kPlain}) {
    EXPECT_EQ(CharacteristicRecord(kBattery, id)->LoadProperties(), 0);
  }
  EXPECT_EQ(Dump(), ExpectedTree("0x12 (R,N)", "False", "0x8 (W)", "0x0 ()"));
}

TEST_F(TreeDump, SubscribedFollowsTheListedState) {
  Start();
  ASSERT_EQ(Engine().Subscriptions().Set(kLevel, true), 0);
  EXPECT_EQ(Dump(), ExpectedTree("0x0 ()", "True", "0x0 ()", "0x0 ()"));
  ASSERT_EQ(Engine().Subscriptions().Set(kLevel, false), 0);
  EXPECT_EQ(Dump(), ExpectedTree("0x0 ()", "False", "0x0 ()", "0x0 ()"));
}

TEST_F(TreeDump, RecordsWithoutPlatformObjectShowEmptyFields) {
  Start();
  ASSERT_EQ(Engine().SelectService(kBattery), 0);
  // Two more slots in Battery's list: one made into an empty record through its index, one left unmade.
  ASSERT_EQ(Engine().SetCharacteristicCount(4), 0);
  std::shared_ptr<GattCharacteristicRecord> empty;
  ASSERT_EQ(Engine().CharacteristicAt(2, &empty), 0);
  ASSERT_NE(empty, nullptr);
  ASSERT_EQ(empty->characteristic, nullptr);
  const std::string dump = Dump();
  const std::string empty_line = ">> [ID=, Flags=0x0 (), Subscribed=False, UserDescr=\"\", VFCount=0]\r\n";
  const std::string after_plain = ">>>0000FFAA-0000-1000-8000-00805F9B34FB [ID=000100070008]\r\n";
  EXPECT_NE(dump.find(after_plain + empty_line + empty_line + ">0000180A"), std::string::npos) << dump;
}

TEST_F(TreeDump, DeviceTextsCannotForgeLinesOrEndQuotedValues) {
  const std::string forged = "a\"b\\\r\n>>X\t\x7F\xC2\x85 \xC3\xA9";
  server_.gatt.services[0].characteristics[0].descriptors[1].value.assign(forged.begin(), forged.end());
  Start();
  const std::string dump = Dump();
  EXPECT_NE(dump.find("UserDescr=\"a\\\"b\\\\  >>X    \xC3\xA9\", VFCount=2]\r\n"), std::string::npos) << dump;
  // Still one line per object.
  size_t lines = 0;
  for (size_t at = dump.find("\r\n"); at != std::string::npos; at = dump.find("\r\n", at + 2)) ++lines;
  EXPECT_EQ(lines, 10u);
}

TEST_F(TreeDump, PlatformFailureGives610AndAnEmptyReply) {
  Start();
  radio_->FailCall("GattCharacteristic.UserDescription", bt::kEFail);
  std::string reply = "unchanged";
  EXPECT_EQ(Config("GattObjTreeInfo", &reply), 610);
  EXPECT_EQ(reply, "");
  EXPECT_EQ(LastError(), "Platform error 0x80004005.");
  EXPECT_EQ(Dump(), ExpectedTree("0x0 ()", "False", "0x0 ()", "0x0 ()"));
}

TEST(TreeDumpFlagsText, SetBitsInOrderWithoutLeadingComma) {
  const struct {
    uint32_t flags;
    const char* text;
  } cases[] = {{0x0, ""},    {0x12, "R,N"}, {0x1FF, "B,R,WWR,W,N,I,ASR,RW,WA"}, {0x101, "B,WA"},
               {0x40, "ASR"}, {0x100, "WA"}, {0xFE00, ""}};
  core::Buffer out;
  for (const auto& c : cases) {
    ASSERT_EQ(FlagsText(c.flags, out), 0);
    EXPECT_STREQ(out.Data(), c.text) << std::hex << c.flags;
  }
}

TEST(TreeDumpText, EscapesOnlyWhatCouldBreakALine) {
  core::Buffer out;
  ASSERT_EQ(out.SetString("<"), 0);
  const char text[] = "ok \"q\" \\ \x01\x1F\x7F\xC2\xA0\xC2";
  ASSERT_EQ(AppendDumpText(text, static_cast<int32_t>(sizeof(text) - 1), out), 0);
  // No-break space (C2 A0) and a lone trailing lead byte are not control characters.
  EXPECT_EQ(std::string(out.Data(), static_cast<size_t>(out.Length())), "<ok \\\"q\\\" \\\\    \xC2\xA0\xC2");
  std::string embedded_nul("a\0b", 3);
  ASSERT_EQ(out.Clear(), 0);
  ASSERT_EQ(AppendDumpText(embedded_nul.data(), 3, out), 0);
  EXPECT_STREQ(out.Data(), "a b");
}

}  // namespace
}  // namespace velmora::ble::testing
