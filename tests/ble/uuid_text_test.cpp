#include "ble/uuid_text.h"

#include <string>

#include <gtest/gtest.h>

namespace velmora::ble {
namespace {

std::string TextOf(const Guid& g) {
  core::Buffer out;
  EXPECT_EQ(GuidToUuidText(g, out), 0);
  return std::string(out.Data(), static_cast<size_t>(out.Length()));
}

TEST(UuidText, ShortAndFullFormsParseToTheSameUuid) {
  for (const char* text : {"180F", " 0x180F ", "0000180F", "0000180f-0000-1000-8000-00805f9b34fb",
                           "0000180F00001000800000805F9B34FB"}) {
    SCOPED_TRACE(text);
    Guid g;
    ASSERT_EQ(ParseUuid(g, text), 0);
    EXPECT_EQ(TextOf(g), "0000180F-0000-1000-8000-00805F9B34FB");
  }
  Guid g;
  ASSERT_EQ(ParseUuid(g, "12345678"), 0);
  EXPECT_EQ(g.data1, 0x12345678u);
  EXPECT_EQ(g.data3, 0x1000);
  EXPECT_EQ(g.data4[7], 0xFB);
}

TEST(UuidText, RejectsWrongLengthsBracesAndNonHexDigits) {
  const char* const texts[] = {"180", "12345", "0X180F", "{0000180F-0000-1000-8000-00805F9B34FB}", "", nullptr,
                               "zzzz", "0000180G-0000-1000-8000-00805F9B34FB"};
  for (const char* text : texts) {
    SCOPED_TRACE(text != nullptr ? text : "(null)");
    Guid g = MakeGuid(1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11});
    core::Buffer error;
    EXPECT_EQ(ParseUuid(g, text, &error), kUuidSizeError);
    EXPECT_GT(error.Length(), 0);
    EXPECT_EQ(g.data1, 1u);  // not written on failure
  }
  Guid g;
  core::Buffer error;
  ASSERT_EQ(ParseUuid(g, "180", &error), kUuidSizeError);
  EXPECT_STREQ(error.Data(), kUuidSizeErrorText);
}

TEST(UuidText, TextIsAlwaysThirtySixUpperCaseCharacters) {
  Guid g = MakeGuid(0xabcdef01, 0x2345, 0x6789, {0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89});
  EXPECT_EQ(TextOf(g), "ABCDEF01-2345-6789-ABCD-EF0123456789");
  Guid parsed;
  ASSERT_EQ(ParseUuid(parsed, TextOf(g).c_str()), 0);
  EXPECT_EQ(parsed, g);
}

}  // namespace
}  // namespace velmora::ble
