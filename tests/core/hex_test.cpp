#include "core/hex.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "tests/test_support.h"

namespace velmora::core {
namespace {

using platform::test::FailAllocAfter;

using testing_support::Text;

TEST(HexEncodeTest, CaseFlagsOfAppendHexAndHexEncodeInPlaceAreOpposite) {
  Buffer appended;
  ASSERT_EQ(AppendHex("\xAB\x01", 2, 1, appended), kOk);
  EXPECT_EQ(Text(appended), "AB01");
  ASSERT_EQ(AppendHexLower(appended, "\xCD", 1), kOk);
  EXPECT_EQ(Text(appended), "AB01cd");

  Buffer in_place;
  ASSERT_EQ(in_place.SetData(3, "\xAB\x01\xEF"), kOk);
  ASSERT_EQ(HexEncodeInPlace(in_place, 1), kOk);
  EXPECT_EQ(Text(in_place), "ab01ef");
  ASSERT_EQ(in_place.SetData(60, std::string(60, '\xF0').data()), kOk);  // grows onto the heap
  ASSERT_EQ(HexEncodeInPlace(in_place, 0), kOk);
  EXPECT_EQ(Text(in_place).substr(116), "F0F0");
  EXPECT_EQ(in_place.Length(), 120);
}

TEST(HexEncodeTest, WrappedBytesValuesAndIntegers) {
  std::string data(33, '\x0F');
  Buffer out;
  ASSERT_EQ(AppendHexBytesWrapped(data.data(), 33, out), kOk);
  std::string expected;
  for (int i = 0; i < 31; ++i) expected += "0F ";
  expected += "0F\r\n0F ";
  EXPECT_EQ(Text(out), expected);

  out.Clear();
  ASSERT_EQ(AppendInt64Text(out, INT64_MIN), kOk);
  EXPECT_EQ(Text(out), "-9223372036854775808");
}

TEST(HexDumpTest, SeventeenBytesMakeTwoLines) {
  // An exactly sized heap block: reading the padding of the last line would be caught by ASan.
  const std::vector<uint8_t> data = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I',
                                     'J', 'K', 'L', 'M', 'N', 'O', 'P', 0x01};
  Buffer out;
  ASSERT_EQ(AppendHexDump(out, data.data(), 17, nullptr), kOk);
  const std::string line1 = "00000000  41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50    ABCDEFGHIJKLMNOP";
  const std::string line2 = "00000010  01 " + std::string(45, ' ') + "   ." + std::string(15, ' ');
  EXPECT_EQ(Text(out), line1 + "\r\n" + line2);

  out.Clear();
  ASSERT_EQ(AppendHexDump(out, "hi\x7F", -1, "    "), kOk);
  EXPECT_EQ(Text(out), "    00000000  68 69 7F " + std::string(39, ' ') + "   hi." + std::string(13, ' '));
  out.Clear();
  ASSERT_EQ(AppendHexDump(out, nullptr, 5, nullptr), kOk);
  ASSERT_EQ(AppendHexDump(out, "", -1, nullptr), kOk);
  EXPECT_EQ(out.Length(), 0);
}

TEST(HexDecodeTest, LenientPairsGiveFFAndTheStrictFormRejects) {
  Buffer out;
  ASSERT_EQ(HexDecodeAppend(out, "abc"), kOk);
  EXPECT_EQ(Text(out), "\xAB\xFF");
  ASSERT_EQ(HexDecodeAppend(out, "zz1F"), kOk);
  ASSERT_EQ(HexDecodeAppend(out, nullptr), kOk);
  EXPECT_EQ(Text(out), "\xAB\xFF\xFF\x1F");

  out.Clear();
  EXPECT_EQ(HexDecodeAppendStrict(out, "abc"), -1);
  EXPECT_EQ(HexDecodeAppendStrict(out, "zz"), -1);
  EXPECT_EQ(out.Length(), 0);
  ASSERT_EQ(HexDecodeAppendStrict(out, "0aFf"), kOk);
  EXPECT_EQ(Text(out), "\x0A\xFF");

  EXPECT_EQ(HexPairToByte('f', 'F'), 255);
  EXPECT_EQ(HexPairToByte('0', '\0'), -1);
}

TEST(HexDecodeTest, OwnTextAsSourceAndFailedGrowth) {
  Buffer out;
  const std::string hex(300, 'a');
  ASSERT_EQ(out.SetString(hex.c_str()), kOk);
  ASSERT_EQ(HexDecodeAppend(out, out.Data()), kOk);
  EXPECT_EQ(Text(out), hex + std::string(150, '\xAA'));

  Buffer small;
  FailAllocAfter(0);
  EXPECT_EQ(AppendHex(hex.data(), 300, 0, small), kOutOfMemory);
  FailAllocAfter(0);
  EXPECT_EQ(HexDecodeAppend(small, std::string(400, '1').c_str()), kOutOfMemory);
  FailAllocAfter(-1);
  EXPECT_EQ(small.Length(), 0);
}

}  // namespace
}  // namespace velmora::core
