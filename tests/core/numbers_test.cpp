#include "core/numbers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "core/buffer.h"
#include "tests/test_support.h"

namespace velmora::core {
namespace {

using testing_support::FailingAllocations;

TEST(IntegerParsing, LenientParsersStopAtTheFirstNonDigitAndWrap) {
  struct Case { const char* text; int32_t decimal; int32_t hex; };
  const Case cases[] = {
      {"12ab", 12, 0x12ab}, {"-7", -7, -7},        {"+", 0, 0},      {"-", 0, 0},
      {" 5", 0, 0},         {"", 0, 0},            {nullptr, 0, 0},  {"1aF", 1, 431},
      {"0x1F", 0, 0},       {"4294967297", 1, static_cast<int32_t>(0x94967297u)},
      {"-2147483648", INT32_MIN, -0x47483648},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
    EXPECT_EQ(ParseInt(c.text), c.decimal);
    EXPECT_EQ(ParseLong(c.text), c.decimal);
    EXPECT_EQ(ParseHexInt(c.text), c.hex);
    EXPECT_EQ(ParseHexLong(c.text), c.hex);
  }
  EXPECT_EQ(ParseInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(ParseInt64("9223372036854775807x"), INT64_MAX);
  EXPECT_EQ(ParseHexInt64("-8000000000000000"), INT64_MIN);
  EXPECT_EQ(ParseHexInt64("ffffffffffffffff"), -1);
}

TEST(IntegerParsing, StrictParserRejectsAnythingButSignAndDigits) {
  struct Case { const char* text; int32_t expected; };
  const Case cases[] = {{"12ab", -1}, {"-", -1},  {"+", -1}, {"", -1}, {nullptr, -1}, {" 1", -1},
                        {"-7", -7},   {"+42", 42}, {"0", 0},  {"-1", -1}};
  for (const auto& c : cases) EXPECT_EQ(ParseIntStrict(c.text), c.expected) << (c.text ? c.text : "(null)");
}

TEST(IntegerParsing, CountedAndLeadingForms) {
  int32_t out = 99;
  EXPECT_EQ(ParseIntFromBytes(nullptr, 3, &out), 0);
  EXPECT_EQ(out, 99);
  EXPECT_EQ(ParseIntFromBytes("12345", 3, &out), 1);  // only the counted bytes
  EXPECT_EQ(out, 123);
  EXPECT_EQ(ParseIntFromBytes("0x10", 4, &out), 1);  // decimal only
  EXPECT_EQ(out, 0);
  const char text[] = "12.34";
  EXPECT_EQ(ParseLeadingDecimal(text, &out), text + 3);
  EXPECT_EQ(out, 12);
  EXPECT_EQ(ParseLeadingDecimal("34", &out), nullptr);
  EXPECT_EQ(out, 34);
}

TEST(DoubleParsing, ValuesAndEndPositions) {
  struct Case { const char* text; double expected; int consumed; };  // consumed: characters before *end
  const Case cases[] = {
      {"1.5e3", 1500.0, 5}, {"  -0.25", -0.25, 7}, {"abc", 0.0, 0}, {"  .", 0.0, 0}, {"\t\r\n+7x", 7.0, 5},
      {"1e", 1.0, 1}, {"2E+", 2.0, 1},  // an exponent letter without digits is not part of the number
      {"2.5E-2;", 0.025, 6}, {".5", 0.5, 2}, {"5.", 5.0, 2}, {"1.2.3", 1.2, 3}, {"0e999", 0.0, 5},
      {"1e308", 1e308, 5}, {"1e-300", 1e-300, 6},
      {"123456789012345678901234", 1.2345678901234568e23, 24},  // digits past 18 only scale
      {"0.0000000000000000000000001234", 1.234e-25, 30},         // leading zeros are not significant
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const char* end = nullptr;
    EXPECT_DOUBLE_EQ(ParseDoubleEx(c.text, &end), c.expected);
    EXPECT_EQ(end, c.text + c.consumed);
    EXPECT_DOUBLE_EQ(ParseDouble(c.text), c.expected);
  }
}

TEST(DoubleParsing, ExponentIsLimitedTo511) {
  EXPECT_TRUE(std::isinf(ParseDouble("1e99999999999999999999")));
  EXPECT_EQ(ParseDouble("1e-99999999999999999999"), 0.0);
  EXPECT_TRUE(std::signbit(ParseDouble("-0")));
  // The scaling does not underflow on the way to the smallest subnormal double.
  EXPECT_EQ(ParseDouble("5e-324"), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(ParseDouble("1e-400"), 0.0);
}

TEST(IntegerText, Int64ToDecimalCoversTheWholeRange) {
  struct Case { int64_t value; const char* text; };
  const Case cases[] = {{0, "0"}, {-45, "-45"}, {INT64_MAX, "9223372036854775807"},
                        {INT64_MIN, "-9223372036854775808"}};
  for (const auto& c : cases) {
    char out[kInt64DecimalSize];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(Int64ToDecimal(out, c.value), static_cast<int32_t>(std::strlen(c.text)));
    EXPECT_STREQ(out, c.text);
  }
}

TEST(IntegerText, AppendUIntInBase) {
  for (int32_t base = 2; base <= 36; ++base) {
    Buffer b;
    ASSERT_EQ(AppendUIntInBase(0, base, b), kOk);
    EXPECT_STREQ(b.Data(), "0") << "base " << base;
  }
  struct Case { uint64_t value; int32_t base; const char* text; };
  const std::string ones(64, '1');
  const Case cases[] = {{255, 16, "FF"}, {36, 36, "10"}, {UINT64_MAX, 16, "FFFFFFFFFFFFFFFF"},
                        {UINT64_MAX, 2, ones.c_str()}};
  for (const auto& c : cases) {
    Buffer b;
    ASSERT_EQ(AppendUIntInBase(c.value, c.base, b), kOk);
    EXPECT_STREQ(b.Data(), c.text);
  }
  Buffer b;
  ASSERT_EQ(b.SetString("x="), kOk);
  ASSERT_EQ(AppendUIntInBase(4660, 16, b), kOk);  // existing content is kept in front
  EXPECT_EQ(AppendUIntInBase(1, 1, b), kOutOfRange);
  EXPECT_EQ(AppendUIntInBase(1, 37, b), kOutOfRange);
  EXPECT_STREQ(b.Data(), "x=1234");
}

TEST(IntegerText, AppendIntDecimalAndPadded) {
  Buffer b;
  ASSERT_EQ(AppendIntDecimal(b, INT32_MIN), kOk);
  ASSERT_EQ(AppendIntDecimal(b, 0), kOk);
  EXPECT_STREQ(b.Data(), "-21474836480");
  Buffer big;
  ASSERT_EQ(big.SetData(99, nullptr), kOk);  // full inline storage: the next byte needs the heap
  {
    FailingAllocations fail;
    EXPECT_EQ(AppendIntDecimal(big, 5), kOutOfMemory);
  }
  EXPECT_EQ(big.Length(), 99);

  struct Case { uint32_t value; int32_t width; char pad; const char* text; };
  const Case cases[] = {{7, 3, '0', "007"}, {1234, 2, '0', "1234"}, {42, 5, ' ', "   42"},
                        {UINT32_MAX, -1, '0', "4294967295"}};
  for (const auto& c : cases) {
    char area[16];
    char* cursor = area;
    EXPECT_EQ(AppendUIntPadded(&cursor, c.value, c.width, c.pad), cursor);
    EXPECT_STREQ(area, c.text);
    EXPECT_EQ(cursor, area + std::strlen(c.text));
  }
}

TEST(CharacterTests, HighBytesAreNeitherDigitsNorAscii) {
  for (int c = 0; c < 256; ++c) {
    const char ch = static_cast<char>(c);
    EXPECT_EQ(IsDecimalDigit(ch), c >= '0' && c <= '9' ? 1 : 0);
    EXPECT_EQ(IsHexDigit(ch), std::strchr("0123456789abcdefABCDEF", c) != nullptr && c != 0 ? 1 : 0);
  }
  EXPECT_EQ(IsAscii7("ab\x80", 3), 0);
  EXPECT_EQ(HasHighByte("ab\x80", -1), 0);
}

TEST(TextCompare, BoundedComparisons) {
  // sign and sign_fold: the signs of StrNCmp and StrNICmp.
  struct Case { const char* a; const char* b; int32_t count; int sign; int sign_fold; };
  const Case cases[] = {
      {"abc", "abd", 3, -1, -1}, {"abc", "abd", 2, 0, 0},  {"abc", "ABC", 3, 1, 0},   {"", "", 5, 0, 0},
      {"ab", "abc", 5, -1, -1},  {"abc", "ab", 5, 1, 1},   {"abc", "xyz", 0, 0, 0},   {"a", "a", 10, 0, 0},
      {"\xff", "a", 1, 1, 1},    {"[", "a", 1, -1, -1},    {"[", "A", 1, 1, -1},      {"ab\0x", "ab\0y", 4, 0, 0},
  };
  auto sign = [](int32_t v) { return (v > 0) - (v < 0); };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    EXPECT_EQ(sign(StrNCmp(c.a, c.b, c.count)), c.sign);
    EXPECT_EQ(sign(StrNICmp(c.a, c.b, c.count)), c.sign_fold);
  }
  EXPECT_EQ(StrNCmp("\xff", "a", 1), 0xff - 'a');  // bytes compare as unsigned values
}

TEST(TextSearch, EmptyTextsAndAsciiOnlyFolding) {
  const char hay[] = "Hello World";
  const char empty[] = "";
  EXPECT_EQ(StrStr(hay, ""), hay);
  EXPECT_EQ(StrStr(empty, ""), empty);
  EXPECT_EQ(StrStr(empty, "a"), nullptr);
  EXPECT_EQ(StrStr(hay, "world"), nullptr);
  EXPECT_EQ(StrIStr(hay, "wORLD"), hay + 6);
  EXPECT_EQ(StrIStr(empty, ""), nullptr);
  EXPECT_EQ(StrIStr(hay, "worlds"), nullptr);
  EXPECT_EQ(StrIStr("a[b", "A{"), nullptr);  // only letters fold
  EXPECT_EQ(StrRChr(hay, 'z'), nullptr);
}

TEST(TextCutting, CutsNeverStepPastTheTerminator) {
  char text[] = "key=value";
  char* next = nullptr;
  EXPECT_EQ(StrCutAtAny(text, ";=", &next), '=');
  char* value = next;
  EXPECT_EQ(StrCutAtAny(value, ";=", &next), '\0');
  EXPECT_EQ(next, value + 5);
  char plain[] = "abc";
  EXPECT_EQ(StrCutAtChar(plain, '\0'), plain + 3);
}

TEST(ByteRoutines, MemFindBoundsAndOverlappingCopy) {
  const char data[] = "abcabd\0xy";
  struct Case { const char* pattern; int32_t pattern_count; int32_t count; int32_t expected; };
  const Case cases[] = {{"abd", 3, 9, 3}, {"\0x", 2, 9, 6}, {"xy", 2, 8, -1}, {"", 0, 9, 0},
                        {"abcabd\0xyz", 10, 9, -1}, {"a", 1, 0, -1}, {"b", 1, -3, -1}};
  for (const auto& c : cases) EXPECT_EQ(MemFind(data, c.count, c.pattern, c.pattern_count), c.expected);
  char overlap[] = "abcdef";
  EXPECT_EQ(CopyBytes(overlap + 2, overlap, 4), overlap + 2);
  EXPECT_STREQ(overlap, "ababcd");  // moved, not smeared
}

TEST(ByteRoutines, SetOwnedBytesFromItselfAndOnFailure) {
  OwnedBytes holder;
  ASSERT_EQ(SetOwnedBytes(holder, "hello", 5), 1);
  ASSERT_EQ(SetOwnedBytes(holder, holder.data + 1, 3), 1);  // source inside the old block
  EXPECT_STREQ(holder.data, "ell");
  EXPECT_EQ(holder.length, 3);
  {
    FailingAllocations fail;
    EXPECT_EQ(SetOwnedBytes(holder, "abc", 3), 0);
  }
  EXPECT_EQ(holder.data, nullptr);
  EXPECT_EQ(holder.length, 0);
  ASSERT_EQ(SetOwnedBytes(holder, "x", 1), 1);
  EXPECT_EQ(SetOwnedBytes(holder, nullptr, 0), 1);
  EXPECT_EQ(holder.data, nullptr);
}

TEST(GuidText, BracedAndBareGiveTheSameBytesShortTextLeavesZeros) {
  Guid braced, bare, partial;
  ParseGuid("{00112233-4455-6677-8899-AABBCCDDEEFF}", &braced);
  ParseGuid("00112233445566778899aabbccddeeff", &bare);
  EXPECT_EQ(GuidEquals(braced, bare), 1);
  EXPECT_EQ(braced.data1, 0x00112233u);
  EXPECT_EQ(braced.data3, 0x6677);
  EXPECT_EQ(braced.data4[7], 0xFF);
  ParseGuid("FFFFFFFF-1234-5", &partial);  // lenient: no error
  EXPECT_EQ(partial.data2, 0x1234);
  EXPECT_EQ(partial.data3, 0);
  ParseGuid(nullptr, &partial);
  EXPECT_EQ(GuidEquals(partial, Guid{}), 1);
}

TEST(PathJoining, SlashRules) {
  struct Case { const char* base; const char* name; const char* expected; };
  const Case cases[] = {
      {"/dir", "file", "/dir/file"},     {"/dir/", "file", "/dir/file"},  {"/dir/sub/", "/file", "/file"},
      {"dir/sub", "/file", "dir/file"},  {"dir", "/file", "dir/file"},    {"/dir", "", "/dir"},
      {"/dir", nullptr, "/dir"},         {"", "file", "file"},            {nullptr, "/file", "/file"},
      {"/dir", "a\\b", "/dir/a\\b"},     {"C:\\x", "D:\\y", "C:\\x/D:\\y"}, {nullptr, nullptr, ""},
  };
  for (const auto& c : cases) {
    Buffer out;
    ASSERT_EQ(out.SetString("stale"), kOk);
    const char* joined = JoinPath(c.base, c.name, out);
    ASSERT_EQ(joined, out.Data());
    EXPECT_STREQ(joined, c.expected);
  }
}

TEST(ZeroedIntAllocation, ZeroedOrNull) {
  uint32_t* words = AllocZeroedInts(8);
  ASSERT_NE(words, nullptr);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(words[i], 0u);
  FreeIfNotNull(words);
  EXPECT_EQ(AllocZeroedInts(-1), nullptr);
  FailingAllocations fail;
  EXPECT_EQ(AllocZeroedInts(4), nullptr);
}

TEST(KeyFormatHelpers, CeilDivSkipBlanksRadixPad) {
  EXPECT_EQ(CeilDiv(7, 2), 4);
  EXPECT_EQ(CeilDiv(-7, 2), -3);
  EXPECT_EQ(CeilDiv(INT32_MIN, -1), INT32_MIN);
  EXPECT_EQ(CeilDiv(5, 0), 0);

  Buffer b;
  ASSERT_EQ(b.SetString("ab \t\r\nc  "), kOk);
  EXPECT_EQ(SkipBlanksFrom(b, 2), 6);
  EXPECT_EQ(SkipBlanksFrom(b, 7), 9);
  EXPECT_EQ(SkipBlanksFrom(b, 12), 12);
  EXPECT_EQ(SkipBlanksFrom(b, -4), 0);

  EXPECT_EQ(ParseDigitsInRadix("zZ", 2, 36), 35u * 36 + 35);
  EXPECT_EQ(ParseDigitsInRadix("1012", 4, 2), 5u);  // stops at the first digit outside the radix
  EXPECT_EQ(ParseDigitsInRadix("ffffffffffffffff", 16, 16), UINT64_MAX);
  EXPECT_EQ(ParseDigitsInRadix("7", 1, 1), 0u);

  Buffer out;
  ASSERT_EQ(PadBytesLeft("\x01\x02", 2, 4, out), kOk);
  EXPECT_EQ(out.EqualsBytes("\0\0\x01\x02", 4), 1);
  ASSERT_EQ(PadBytesLeft("abc", 3, 2, out), kOk);
  EXPECT_STREQ(out.Data(), "abc");
}

}  // namespace
}  // namespace velmora::core
