// The standard GATT name tables: their extent, sample rows (including the names that read oddly but are
// reported exactly so), and what a miss does to the output.
#include "ble/gatt_names.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/bluetooth/types.h"
#include "platform/memory.h"

namespace velmora::ble {
namespace {

using platform::bluetooth::BluetoothBaseUuid;
using LookupFn = int (*)(const Guid&, core::BufferCore&);

constexpr char kSentinel[] = "sentinel";

// Hit reports whether lookup knows the 16-bit number, judged by the output changing from a sentinel.
bool Hit(LookupFn lookup, uint32_t short_id) {
  core::Buffer out;
  EXPECT_EQ(out.SetString(kSentinel), 0);
  EXPECT_EQ(lookup(BluetoothBaseUuid(short_id), out), 0);
  return !out.IsEmpty() && std::string(out.Data()) != kSentinel;
}

std::string NameOf(LookupFn lookup, const Guid& uuid) {
  core::Buffer out;
  EXPECT_EQ(out.SetString(kSentinel), 0);
  EXPECT_EQ(lookup(uuid, out), 0);
  return std::string(out.Data(), static_cast<size_t>(out.Length()));
}

struct TableExtent {
  const char* table;
  LookupFn lookup;
  size_t rows;
  uint32_t first;
  uint32_t last;
  std::vector<uint32_t> gaps;
};

TEST(GattNameTables, HoldExactlyTheirRowsAndNothingElse) {
  const TableExtent extents[] = {
      {"services", LookupServiceName, 38, 0x1800, 0x1828, {0x180B, 0x180C, 0x1817}},
      {"descriptors", LookupDescriptorName, 15, 0x2900, 0x290E, {}},
      {"characteristics", LookupCharacteristicName, 214, 0x2A00, 0x2ADA, {0x2A2D, 0x2A2E, 0x2A7C, 0x2ACA, 0x2ACB}},
  };
  for (const TableExtent& extent : extents) {
    SCOPED_TRACE(extent.table);
    // Every 16-bit number is tried, so a stray row outside the range shows in the count.
    size_t hits = 0;
    for (uint32_t id = 0; id <= 0xFFFF; ++id) {
      if (Hit(extent.lookup, id)) {
        ++hits;
        EXPECT_GE(id, extent.first);
        EXPECT_LE(id, extent.last);
      }
    }
    EXPECT_EQ(hits, extent.rows);
    EXPECT_EQ(extent.last - extent.first + 1 - extent.gaps.size(), extent.rows);
    for (uint32_t gap : extent.gaps) EXPECT_FALSE(Hit(extent.lookup, gap)) << std::hex << gap;
  }
}

struct Row {
  LookupFn lookup;
  uint32_t short_id;
  const char* name;
};

TEST(GattNameTables, SampleRowsGiveTheirExactNames) {
  const Row rows[] = {
      {LookupServiceName, 0x1800, "Generic Access"},
      {LookupServiceName, 0x180A, "Device Information"},
      {LookupServiceName, 0x180D, "Heart Rate"},
      {LookupServiceName, 0x180F, "Battery Service"},
      {LookupServiceName, 0x1818, "Cycling Power"},
      {LookupServiceName, 0x1828, "Mesh Proxy Service"},
      {LookupDescriptorName, 0x2900, "Characteristic Extended Properties"},
      {LookupDescriptorName, 0x2902, "Client Characteristic Configuration"},
      {LookupDescriptorName, 0x2905, "Characteristic Aggregate Format"},
      {LookupDescriptorName, 0x2909, "Number of Digitals"},
      {LookupDescriptorName, 0x290E, "Time Trigger Setting"},
      {LookupCharacteristicName, 0x2A00, "Device Name"},
      {LookupCharacteristicName, 0x2A19, "Battery Level"},
      {LookupCharacteristicName, 0x2A2A, "IEEE 11073-20601 Regulatory Certification Data List"},
      {LookupCharacteristicName, 0x2A2F, "Position 2D"},
      {LookupCharacteristicName, 0x2A37, "Heart Rate Measurement"},
      {LookupCharacteristicName, 0x2A40, "Ringer Control point"},
      {LookupCharacteristicName, 0x2A5E, "PLX Spot-Check Measurement"},
      {LookupCharacteristicName, 0x2A5F, "PLX Continuous Measurement Characteristic"},
      {LookupCharacteristicName, 0x2A60, "Pulse Oximetry Pulsatile Event Characteristic"},
      {LookupCharacteristicName, 0x2A67, "Location and Speed Characteristic"},
      {LookupCharacteristicName, 0x2A7B, "Dew Point"},
      {LookupCharacteristicName, 0x2A7D, "Descriptor Value Changed"},
      {LookupCharacteristicName, 0x2A95, "Two Zone Heart Rate Limit"},
      {LookupCharacteristicName, 0x2A96, "VO2 Max"},
      {LookupCharacteristicName, 0x2AA0, "Magnetic Flux Density - 2D"},
      {LookupCharacteristicName, 0x2AC1, "Object First-Created"},
      {LookupCharacteristicName, 0x2AC9, "Resolvable Private Address Only"},
      {LookupCharacteristicName, 0x2ACC, "Fitness Machine Feature"},
      {LookupCharacteristicName, 0x2ADA, "Fitness Machine Status"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(NameOf(row.lookup, BluetoothBaseUuid(row.short_id)), row.name);
  }
}

TEST(GattNameTables, UuidTextCaseDoesNotMatter) {
  Guid uuid;
  ASSERT_EQ(ParseUuid(uuid, "00002a37-0000-1000-8000-00805f9b34fb"), 0);
  EXPECT_EQ(NameOf(LookupCharacteristicName, uuid), "Heart Rate Measurement");
}

TEST(GattNameMiss, EmptiesServiceAndDescriptorButKeepsCharacteristicOutput) {
  EXPECT_EQ(NameOf(LookupServiceName, BluetoothBaseUuid(0x180B)), "");
  EXPECT_EQ(NameOf(LookupDescriptorName, BluetoothBaseUuid(0x290F)), "");
  EXPECT_EQ(NameOf(LookupCharacteristicName, BluetoothBaseUuid(0x2A2D)), kSentinel);
  // Each table knows only its own kind.
  EXPECT_EQ(NameOf(LookupServiceName, BluetoothBaseUuid(0x2A37)), "");
  EXPECT_EQ(NameOf(LookupCharacteristicName, BluetoothBaseUuid(0x180F)), kSentinel);
}

TEST(GattNameMiss, UuidOffTheBaseNeverMatches) {
  const Guid base = BluetoothBaseUuid(0x180F);
  std::vector<Guid> near_misses;
  Guid g = base;
  g.data1 = 0x0001180F;  // a 32-bit number whose low half is a known one
  near_misses.push_back(g);
  g = base;
  g.data2 = 0x0001;
  near_misses.push_back(g);
  g = base;
  g.data3 = 0x1001;
  near_misses.push_back(g);
  for (int i = 0; i < 8; ++i) {
    g = base;
    g.data4[i] ^= 0x01;
    near_misses.push_back(g);
  }
  for (const Guid& uuid : near_misses) EXPECT_EQ(NameOf(LookupServiceName, uuid), "");
}

TEST(GattNameMiss, OutOfMemoryGives200) {
  core::Buffer20 out;  // too small inline for the name
  platform::test::FailAllocAfter(0);
  const int rc = LookupDescriptorName(BluetoothBaseUuid(0x2902), out);
  platform::test::FailAllocAfter(-1);
  EXPECT_EQ(rc, core::kOutOfMemory);
  ASSERT_EQ(LookupDescriptorName(BluetoothBaseUuid(0x2902), out), 0);
  EXPECT_STREQ(out.Data(), "Client Characteristic Configuration");
}

}  // namespace
}  // namespace velmora::ble
