// Property access through the exports: every property id in its three forms, index errors, selection
// through properties, and the settable values.
#include <string>

#include <gtest/gtest.h>

#include "ble/ble_client.h"
#include "tests/ble/ble_test_support.h"
#include "component/socket_base.h"
#include "gatt_tree_test_util.h"
#include "platform/memory.h"
#include "velmorable.h"

namespace velmora::ble {
namespace {

constexpr int kWide = VELMORABLE_UTF16_VARIANT;
constexpr int kNarrow = VELMORABLE_NARROW_VARIANT;

class PropertyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    component::SocketBase::StaticInit();
    radio_.AddPeripheral(testing::TreePeripheral());
    handle_ = VelmoraBLE_BLEClient_Create(nullptr, nullptr, 0);
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    VelmoraBLE_BLEClient_Destroy(handle_);
    radio_.WaitIdle();
    component::SocketBase::StaticDestroy();
  }
  BLEClientEngine& Engine() { return reinterpret_cast<BLEClient*>(handle_)->Engine(); }
  void Build() { testing::BuildTree(Engine(), radio_); }

  intptr_t Get(int id, int index = 0) { return VelmoraBLE_BLEClient_Get(handle_, id, index); }
  std::string Narrow(int id, int index = 0) { return reinterpret_cast<const char*>(Get(id, index)); }
  std::u16string Wide(int id, int index = 0) { return reinterpret_cast<const char16_t*>(Get(kWide + id, index)); }
  int Set(int id, intptr_t value, int index = 0) { return VelmoraBLE_BLEClient_Set(handle_, id, index, value); }
  int SetText(int id, const char* text, int index = 0) { return Set(id, reinterpret_cast<intptr_t>(text), index); }
  int CheckIndex(int id, int index) { return VelmoraBLE_BLEClient_CheckIndex(handle_, id, index); }
  std::string LastError() { return VelmoraBLE_BLEClient_GetLastError(handle_); }
  int LastCode() { return VelmoraBLE_BLEClient_GetLastErrorCode(handle_); }

  testing::sim::SimRadio radio_;
  VelmoraBLE_BLEClient* handle_ = nullptr;
};

std::u16string U16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

TEST_F(PropertyTest, TextPropertiesInAllThreeForms) {
  Build();
  ASSERT_EQ(SetText(VELMORABLE_PROP_SERVICE, "000100000000"), 0);
  ASSERT_EQ(SetText(VELMORABLE_PROP_CHARACTERISTIC, "000100030000"), 0);
  struct Case {
    int id;
    int index;
    const char* expected;
  };
  const Case cases[] = {
      {VELMORABLE_PROP_CHARACTERISTIC, 0, "000100030000"},
      {VELMORABLE_PROP_CHARACTERISTIC_DESCRIPTION, 0, "Battery Level"},
      {VELMORABLE_PROP_CHARACTERISTIC_ID, 1, "000100070000"},
      {VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0, "Level"},
      {VELMORABLE_PROP_CHARACTERISTIC_UUID, 0, "00002A19-0000-1000-8000-00805F9B34FB"},
      {VELMORABLE_PROP_CHARACTERISTIC_VALUE_UNIT, 1, ""},
      {VELMORABLE_PROP_DESCRIPTOR_DESCRIPTION, 0, "Client Characteristic Configuration"},
      {VELMORABLE_PROP_DESCRIPTOR_ID, 1, "000100030006"},
      {VELMORABLE_PROP_DESCRIPTOR_UUID, 1, "00002901-0000-1000-8000-00805F9B34FB"},
      {VELMORABLE_PROP_SERVER_ID, 0, ""},
      {VELMORABLE_PROP_SERVER_NAME, 0, ""},
      {VELMORABLE_PROP_SERVICE, 0, "000100000000"},
      {VELMORABLE_PROP_SERVICE_DESCRIPTION, 1, "Device Information"},
      {VELMORABLE_PROP_SERVICE_ID, 1, "00AB00000000"},
      {VELMORABLE_PROP_SERVICE_INCLUDED_SVC_IDS, 0, ""},
      {VELMORABLE_PROP_SERVICE_PARENT_SVC_IDS, 0, ""},
      {VELMORABLE_PROP_SERVICE_UUID, 0, "0000180F-0000-1000-8000-00805F9B34FB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(Narrow(c.id, c.index), c.expected);
    EXPECT_EQ(LastCode(), 0);
    EXPECT_EQ(Narrow(kNarrow + c.id, c.index), c.expected);
    EXPECT_EQ(Wide(c.id, c.index), U16(c.expected));
  }
  // Each UTF-16 text stays valid until the same property is read again in that form.
  const auto* service_id = reinterpret_cast<const char16_t*>(Get(kWide + VELMORABLE_PROP_SERVICE_ID, 0));
  (void)Get(kWide + VELMORABLE_PROP_CHARACTERISTIC_ID, 1);
  EXPECT_EQ(std::u16string(service_id), u"000100000000");
  // The version marker is narrow in every form.
  for (int id : {0, kWide, kNarrow}) EXPECT_STREQ(reinterpret_cast<const char*>(Get(id)), kVersionMarker);
}

// printf("%s %s", Get(UUID), Get(USER_DESCRIPTION)) prints two texts: a narrow text read on the application's
// thread stays as it was while the item's other texts are read, in either form, and while it is read again.
TEST_F(PropertyTest, EachTextOfAnItemKeepsItsOwnText) {
  Build();
  ASSERT_EQ(SetText(VELMORABLE_PROP_SERVICE, "000100000000"), 0);
  std::shared_ptr<GattServiceRecord> battery;
  ASSERT_EQ(Engine().ServiceAt(0, &battery), 0);
  ASSERT_EQ(battery->included_svc_ids.AddCString("00AB00000000"), 0);
  ASSERT_EQ(battery->parent_svc_ids.AddCString("00EF00000000"), 0);
  // Longer than a text kept inline, so that a text rewritten in place is told from one made anew.
  const std::string description(120, 'd');
  radio_.SetDeviceValue(testing::kTreeAddress, 0x0006, bt::Bytes(description.begin(), description.end()));
  struct Case {
    int id;
    const char* expected;
    const char* text;
  };
  Case cases[] = {
      {VELMORABLE_PROP_CHARACTERISTIC_UUID, "00002A19-0000-1000-8000-00805F9B34FB", nullptr},
      {VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, description.c_str(), nullptr},
      {VELMORABLE_PROP_CHARACTERISTIC_VALUE_UNIT, "000027AD-0000-1000-8000-00805F9B34FB", nullptr},
      {VELMORABLE_PROP_SERVICE_UUID, "0000180F-0000-1000-8000-00805F9B34FB", nullptr},
      {VELMORABLE_PROP_SERVICE_PARENT_SVC_IDS, "00EF00000000", nullptr},
      {VELMORABLE_PROP_SERVICE_INCLUDED_SVC_IDS, "00AB00000000", nullptr},
  };
  for (Case& c : cases) c.text = reinterpret_cast<const char*>(Get(c.id, 0));
  for (const Case& c : cases) {
    EXPECT_EQ(Wide(c.id, 0), U16(c.expected)) << c.id;
    EXPECT_STREQ(reinterpret_cast<const char*>(Get(c.id, 0)), c.expected) << c.id;
  }
  for (const Case& c : cases) EXPECT_STREQ(c.text, c.expected) << c.id;
}

TEST_F(PropertyTest, ATextPropertyIsAnEmptyTextWhenMemoryRunsOut) {
  Build();
  ASSERT_EQ(SetText(VELMORABLE_PROP_SERVICE, "000100000000"), 0);
  // Its UTF-16 form outgrows a buffer's inline bytes, so the reply needs a heap block.
  const std::string long_text(60, 'x');
  radio_.SetDeviceValue(testing::kTreeAddress, 0x0006, bt::Bytes(long_text.begin(), long_text.end()));
  ASSERT_EQ(Narrow(VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION), long_text);
  platform::test::FailAllocAfter(0, true);
  const auto* wide = reinterpret_cast<const char16_t*>(Get(kWide + VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0));
  const int code = LastCode();
  platform::test::FailAllocAfter(-1);
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(wide[0], u'\0');
  EXPECT_EQ(code, 200);
  EXPECT_EQ(LastError(), "Out of memory.");
}

TEST_F(PropertyTest, IntPropertiesInAllThreeForms) {
  Build();
  ASSERT_EQ(SetText(VELMORABLE_PROP_SERVICE, "000100000000"), 0);
  ASSERT_EQ(SetText(VELMORABLE_PROP_CHARACTERISTIC, "000100030000"), 0);
  ASSERT_EQ(Set(VELMORABLE_PROP_TIMEOUT, 7), 0);
  struct Case {
    int id;
    int index;
    intptr_t expected;
  };
  const Case cases[] = {
      {VELMORABLE_PROP_ACTIVE_SCANNING, 0, 0},
      {VELMORABLE_PROP_CHARACTERISTIC_COUNT, 0, 2},
      {VELMORABLE_PROP_CHARACTERISTIC_CAN_SUBSCRIBE, 0, 1},
      {VELMORABLE_PROP_CHARACTERISTIC_CAN_SUBSCRIBE, 1, 0},
      {VELMORABLE_PROP_CHARACTERISTIC_FLAGS, 0, 0x092},
      {VELMORABLE_PROP_CHARACTERISTIC_FLAGS, 1, 0x108},
      {VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_INDEX, 0, 0},
      {VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_INDEX, 1, -1},
      {VELMORABLE_PROP_DESCRIPTOR_COUNT, 0, 2},
      {VELMORABLE_PROP_SCANNING, 0, 0},
      {VELMORABLE_PROP_SERVICE_COUNT, 0, 2},
      {VELMORABLE_PROP_TIMEOUT, 0, 7},
      {VELMORABLE_PROP_CODE_PAGE, 0, 65001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    for (int variant : {0, kWide, kNarrow}) {
      EXPECT_EQ(Get(variant + c.id, c.index), c.expected) << variant;
      EXPECT_EQ(LastCode(), 0);
    }
  }
  EXPECT_EQ(Get(VELMORABLE_PROP_TIMEOUT + 1), 0);  // not a property
  EXPECT_EQ(Set(VELMORABLE_PROP_SERVICE_COUNT, 3), -1);
}

TEST_F(PropertyTest, NothingSelectedGivesZeroCountsAndIndexErrors) {
  Build();
  EXPECT_EQ(Get(VELMORABLE_PROP_CHARACTERISTIC_COUNT), 0);
  EXPECT_EQ(Get(VELMORABLE_PROP_DESCRIPTOR_COUNT), 0);
  EXPECT_EQ(Narrow(VELMORABLE_PROP_CHARACTERISTIC_ID, 0), "");
  EXPECT_FAILS_WITH(LastCode(), 432, "Invalid CharacteristicIndex (out of bounds).");
  EXPECT_EQ(Wide(VELMORABLE_PROP_DESCRIPTOR_UUID, 0), u"");
  EXPECT_FAILS_WITH(LastCode(), 432, "Invalid DescriptorIndex (out of bounds).");
  EXPECT_EQ(Narrow(VELMORABLE_PROP_SERVICE_UUID, 2), "");
  EXPECT_EQ(LastError(), "Invalid ServiceIndex (out of bounds).");
  // The int ids of an indexed collection answer a bad index the same way, without reading anything.
  EXPECT_EQ(Get(VELMORABLE_PROP_CHARACTERISTIC_FLAGS, 5), 0);
  EXPECT_EQ(LastCode(), 432);
  // A read that works clears the code again.
  EXPECT_EQ(Narrow(VELMORABLE_PROP_SERVICE_ID, 0), "000100000000");
  EXPECT_EQ(LastCode(), 0);

  // Set of 8 and 13 with a bad index: 432, recorded.
  EXPECT_EQ(Set(VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_INDEX, 0, 3), 432);
  EXPECT_FAILS_WITH(LastCode(), 432, "Invalid CharacteristicIndex (out of bounds).");
  EXPECT_EQ(SetText(VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, "x", -1), 432);
  EXPECT_EQ(LastCode(), 432);
}

TEST_F(PropertyTest, CheckIndexCoversThePlainIndexedIdsOnly) {
  Build();
  ASSERT_EQ(SetText(VELMORABLE_PROP_SERVICE, "00AB00000000"), 0);
  VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 60);  // code 0 again
  for (int id = VELMORABLE_PROP_CHARACTERISTIC_CAN_SUBSCRIBE; id <= VELMORABLE_PROP_CHARACTERISTIC_VALUE_UNIT; ++id) {
    EXPECT_EQ(CheckIndex(id, 0), 0) << id;
    EXPECT_EQ(CheckIndex(id, 1), 280) << id;
  }
  EXPECT_EQ(LastError(), "Invalid CharacteristicIndex (out of bounds).");
  EXPECT_EQ(LastCode(), 0);  // the text is set, the code is not
  for (int id = VELMORABLE_PROP_DESCRIPTOR_DESCRIPTION; id <= VELMORABLE_PROP_DESCRIPTOR_UUID; ++id) {
    EXPECT_EQ(CheckIndex(id, 0), 280) << id;
  }
  EXPECT_EQ(LastError(), "Invalid DescriptorIndex (out of bounds).");
  for (int id = VELMORABLE_PROP_SERVICE_DESCRIPTION; id <= VELMORABLE_PROP_SERVICE_UUID; ++id) {
    EXPECT_EQ(CheckIndex(id, 1), 0) << id;
    EXPECT_EQ(CheckIndex(id, -1), 280) << id;
  }
  EXPECT_EQ(LastError(), "Invalid ServiceIndex (out of bounds).");
  EXPECT_EQ(CheckIndex(VELMORABLE_PROP_SERVICE_COUNT, -5), 0);
  EXPECT_EQ(CheckIndex(kWide + VELMORABLE_PROP_CHARACTERISTIC_DESCRIPTION, 99), 0);
  EXPECT_EQ(CheckIndex(kNarrow + VELMORABLE_PROP_SERVICE_ID, 99), 0);
}

TEST_F(PropertyTest, SelectionThroughPropertiesAndResizing) {
  Build();
  EXPECT_FAILS_WITH(SetText(VELMORABLE_PROP_CHARACTERISTIC, "000100030000"), 602,
                    "You must select a service before selecting a characteristic.");
  ASSERT_EQ(Set(kWide + VELMORABLE_PROP_SERVICE, reinterpret_cast<intptr_t>(u"000100000000")), 0);
  EXPECT_EQ(Narrow(VELMORABLE_PROP_SERVICE), "000100000000");
  EXPECT_EQ(SetText(VELMORABLE_PROP_SERVICE, "00FF00000000"), 601);
  EXPECT_FAILS_WITH(LastCode(), 601, "No service with the ID \"00FF00000000\" has been discovered.");
  EXPECT_EQ(Narrow(VELMORABLE_PROP_SERVICE), "000100000000");

  // Growing the collection adds empty records that read as empty; shrinking to 0 empties it.
  ASSERT_EQ(Set(VELMORABLE_PROP_CHARACTERISTIC_COUNT, 25), 0);
  EXPECT_EQ(Get(VELMORABLE_PROP_CHARACTERISTIC_COUNT), 25);
  EXPECT_EQ(Narrow(VELMORABLE_PROP_CHARACTERISTIC_ID, 24), "");
  EXPECT_EQ(Narrow(VELMORABLE_PROP_CHARACTERISTIC_UUID, 24), "");
  EXPECT_EQ(Get(VELMORABLE_PROP_CHARACTERISTIC_FLAGS, 24), 0);
  EXPECT_EQ(LastCode(), 0);
  ASSERT_EQ(Set(VELMORABLE_PROP_CHARACTERISTIC_COUNT, -3), 0);
  EXPECT_EQ(Get(VELMORABLE_PROP_CHARACTERISTIC_COUNT), 0);
  ASSERT_EQ(SetText(VELMORABLE_PROP_SERVICE, nullptr), 0);
  EXPECT_EQ(Set(VELMORABLE_PROP_CHARACTERISTIC_COUNT, 4), 0);  // no collection: nothing happens
  EXPECT_EQ(Get(VELMORABLE_PROP_CHARACTERISTIC_COUNT), 0);
}

TEST_F(PropertyTest, TimeoutAndActiveScanningSetters) {
  ASSERT_EQ(Set(VELMORABLE_PROP_TIMEOUT, 2147484), 0);
  EXPECT_EQ(Get(VELMORABLE_PROP_TIMEOUT), 2147483);
  ASSERT_EQ(Set(VELMORABLE_PROP_TIMEOUT, INT32_MAX), 0);
  EXPECT_EQ(Get(VELMORABLE_PROP_TIMEOUT), 2147483);
  ASSERT_EQ(Set(VELMORABLE_PROP_TIMEOUT, -5), 0);
  EXPECT_EQ(Get(VELMORABLE_PROP_TIMEOUT), 0);
  ASSERT_EQ(Set(VELMORABLE_PROP_ACTIVE_SCANNING, 1), 0);
  EXPECT_EQ(Get(kNarrow + VELMORABLE_PROP_ACTIVE_SCANNING), 1);
  EXPECT_EQ(Set(8001, 1), -1);
}

// A value wider than 32 bits stands for the nearest 32-bit number, not for its low 32 bits.
TEST_F(PropertyTest, AWiderValueIsTakenForTheNearestNumber) {
  if (sizeof(intptr_t) <= 4) GTEST_SKIP() << "intptr_t holds 32 bits here";
  const auto wide = [](int64_t value) { return static_cast<intptr_t>(value); };
  ASSERT_EQ(Set(VELMORABLE_PROP_TIMEOUT, wide(3000000000)), 0);
  EXPECT_EQ(Get(VELMORABLE_PROP_TIMEOUT), 2147483);
  ASSERT_EQ(Set(VELMORABLE_PROP_TIMEOUT, wide(0x100000005)), 0);
  EXPECT_EQ(Get(VELMORABLE_PROP_TIMEOUT), 2147483);
  ASSERT_EQ(Set(VELMORABLE_PROP_TIMEOUT, wide(-0x100000000)), 0);
  EXPECT_EQ(Get(VELMORABLE_PROP_TIMEOUT), 0);
  ASSERT_EQ(Set(VELMORABLE_PROP_ACTIVE_SCANNING, wide(0x100000000)), 0);
  EXPECT_EQ(Get(VELMORABLE_PROP_ACTIVE_SCANNING), 1);
  Build();
  ASSERT_EQ(SetText(VELMORABLE_PROP_SERVICE, "000100000000"), 0);
  const intptr_t count = Get(VELMORABLE_PROP_CHARACTERISTIC_COUNT);
  ASSERT_GT(count, 1);
  EXPECT_EQ(Set(VELMORABLE_PROP_CHARACTERISTIC_COUNT, wide(0x100000001)), 432);
  EXPECT_EQ(Get(VELMORABLE_PROP_CHARACTERISTIC_COUNT), count);
}

}  // namespace
}  // namespace velmora::ble
