#include "core/code_page.h"

#include <cctype>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/memory.h"
#include "platform/system_info.h"
#include "tests/core/python_oracle.h"
#include "tests/test_support.h"

namespace velmora::core {
namespace {

using testing_support::FailingAllocations;
using testing_support::Text;

std::string Utf16Le(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  }
  return out;
}

// ---- Conversions through the platform --------------------------------------------------------------

TEST(CodePageBuffers, TerminatorAccountingOfEachOperation) {
  Buffer buffer;
  ASSERT_EQ(MultiByteToWide(buffer, "abc", kCodePageUtf8), kOk);
  EXPECT_EQ(Text(buffer), Utf16Le(std::u16string(u"abc", 4)));  // 8 bytes
  Buffer narrow;
  ASSERT_EQ(WideToMultiByte(narrow, reinterpret_cast<const char16_t*>(buffer.Data()), kCodePageUtf8), kOk);
  EXPECT_EQ(Text(narrow), std::string("abc", 4));
  ASSERT_EQ(WideToMultiByteN(narrow, u"abcdef", 3, kCodePageUtf8), kOk);
  EXPECT_EQ(Text(narrow), "abc");
  ASSERT_EQ(WideToMultiByteN(narrow, u"abc", 0, kCodePageUtf8), kOk);
  EXPECT_EQ(narrow.Length(), 0);
  // Null texts count as empty: just the terminator.
  ASSERT_EQ(MultiByteToWide(buffer, nullptr, kCodePageUtf8), kOk);
  EXPECT_EQ(buffer.Length(), 2);
  ASSERT_EQ(WideToMultiByte(narrow, nullptr, 1252), kOk);
  EXPECT_EQ(narrow.Length(), 1);
}

TEST(CodePageBuffers, InvalidCodePageFailsAndLeavesTheBuffer) {
  Buffer buffer;
  ASSERT_EQ(buffer.SetString("keep"), kOk);
  EXPECT_EQ(MultiByteToWide(buffer, "abc", 12345), kConversionFailed);
  EXPECT_EQ(WideToMultiByte(buffer, u"abc", 1200), kConversionFailed);
  EXPECT_EQ(WideToMultiByteN(buffer, u"abc", 3, 57002), kConversionFailed);
  EXPECT_EQ(WideToMultiByteN(buffer, u"abc", -1, kCodePageUtf8), kConversionFailed);
  EXPECT_EQ(ConvertCodePage("abc", 3, 12345, kCodePageUtf8, buffer), kConversionFailed);
  EXPECT_EQ(ConvertCodePage("abc", 3, kCodePageUtf8, 12345, buffer), kConversionFailed);
  EXPECT_EQ(Text(buffer), "keep");
}

TEST(CodePageBuffers, UnrepresentableTextIsSubstitutedNotRefused) {
  Buffer buffer;
  ASSERT_EQ(WideToMultiByte(buffer, u"a\u3042b", 1252), kOk);
  EXPECT_EQ(Text(buffer), std::string("a?b", 4));
}

// The source may lie inside the destination; the conversion must not read storage it just released.
TEST(CodePageBuffers, SourceInsideTheDestination) {
  Buffer buffer;
  const std::string long_text(500, 'q');
  ASSERT_EQ(buffer.SetString(long_text.c_str()), kOk);
  ASSERT_EQ(MultiByteToWide(buffer, buffer.Data(), kCodePageUtf8), kOk);
  ASSERT_EQ(buffer.Length(), 1002);
  ASSERT_EQ(WideToMultiByte(buffer, reinterpret_cast<const char16_t*>(buffer.Data()), 1252), kOk);
  EXPECT_EQ(Text(buffer), long_text + '\0');
  Buffer small;
  ASSERT_EQ(small.SetString("\xC3\xA9t\xC3\xA9"), kOk);
  ASSERT_EQ(MultiByteToWide(small, small.Data(), kCodePageUtf8), kOk);
  EXPECT_EQ(Text(small), Utf16Le(std::u16string(u"\u00E9t\u00E9", 4)));
  ASSERT_EQ(ConvertCodePage(buffer.Data() + 10, 100, 1252, kCodePageUtf8, buffer), kOk);
  EXPECT_EQ(Text(buffer), std::string(100, 'q') + '\0');
}

TEST(CodePageBuffers, ConvertCodePageChecksTheFirstStepAndKeepsEmbeddedNuls) {
  Buffer out;
  ASSERT_EQ(ConvertCodePage("\x82\xA0\0x", 4, kCodePageShiftJis, kCodePageUtf8, out), kOk);
  EXPECT_EQ(Text(out), std::string("\xE3\x81\x82\0x\0", 6));
  ASSERT_EQ(ConvertCodePage("", 0, kCodePageShiftJis, kCodePageUtf8, out), kOk);
  EXPECT_EQ(Text(out), std::string(1, '\0'));
  ASSERT_EQ(out.SetString("old"), kOk);
  EXPECT_EQ(ConvertCodePage("x", 1, 1201, kCodePageUtf8, out), kConversionFailed);
  EXPECT_EQ(Text(out), "old");
}

TEST(CodePageBuffers, AllocationFailureGives200AndKeepsTheBuffer) {
  Buffer buffer;
  ASSERT_EQ(buffer.SetString("keep"), kOk);
  const std::string long_text(400, 'z');
  FailingAllocations fail;
  EXPECT_EQ(MultiByteToWide(buffer, long_text.c_str(), kCodePageUtf8), kOutOfMemory);
  EXPECT_EQ(ConvertCodePage(long_text.data(), 400, 1252, kCodePageUtf8, buffer), kOutOfMemory);
  EXPECT_EQ(Text(buffer), "keep");
  ASSERT_EQ(buffer.SetString("\xC3\xA9"), kOk);
  EXPECT_EQ(Utf8ToUtf16Le(buffer), kOutOfMemory);
  EXPECT_EQ(Text(buffer), "\xC3\xA9");
}

TEST(WideStringBufferTest, ToWideCountsUnitsAndTerminator) {
  WideStringBuffer text;
  ASSERT_EQ(text.SetString("h\xC3\xA9llo"), kOk);
  const char16_t* wide = text.ToWide(kCodePageUtf8);
  EXPECT_EQ(std::u16string(wide), u"h\u00E9llo");
  EXPECT_EQ(text.Wide().Length(), 2 * 5 + 2);
  ASSERT_EQ(text.SetString(""), kOk);
  const char16_t* empty = text.ToWide(kCodePageUtf8);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], 0);
  EXPECT_EQ(text.Wide().Length(), 0);
  EXPECT_EQ(text.ToWide(12345), empty);  // a failed conversion gives the same static empty text
  EXPECT_EQ(std::u16string(text.AssignAndToWide("\x82\xA0", kCodePageShiftJis)), u"\u3042");
}

// ---- Our own converters ----------------------------------------------------------------------------

struct Utf8Case {
  const char* name;
  std::string in;
  bool ok;
  std::u16string out;  // what was produced, also on failure
};

TEST(OwnUtf8Converter, EdgeCases) {
  const Utf8Case cases[] = {
      {"two-byte", "\xC3\xA9", true, u"\u00E9"},
      {"surrogate pair", "\xF0\x9F\x98\x80", true, u"\U0001F600"},
      {"stray continuation", "a\x80", false, u"a"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false, u""},
      {"cut short by ASCII", "\xC3\x41", true, u"\uFFFDA"},
      {"cut short by the end", "x\xE2\x82", true, u"x\uFFFD"},
      {"cut short by a lead byte", "\xE2\xC3\xA9", true, u"\uFFFD\u00E9"},
      {"overlong slash", "\xC0\xAF", true, u"\uFFFD"},
      {"overlong NUL", "\xE0\x80\x80z", true, u"\uFFFDz"},
      {"overlong four-byte", "\xF0\x8F\xBF\xBF", true, u"\uFFFD"},
      {"encoded high surrogate", "\xED\xA0\x80", true, u"\uFFFD"},
      {"encoded low surrogate", "\xED\xBF\xBF!", true, u"\uFFFD!"},
      {"five-byte form", "\xF8\x88\x80\x80\x80", false, u""},
      {"largest", "\xF4\x8F\xBF\xBF", true, u"\U0010FFFF"},
  };
  for (const Utf8Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> out(c.in.size() * 2 + 1);
    int32_t written = -1, counted = -1;
    const auto* in = reinterpret_cast<const uint8_t*>(c.in.data());
    const int32_t length = static_cast<int32_t>(c.in.size());
    EXPECT_EQ(Utf8ToUtf16Le(out.data(), &written, in, length), c.ok);
    EXPECT_EQ(Utf8ToUtf16Le(nullptr, &counted, in, length), c.ok);
    EXPECT_EQ(written, counted);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), static_cast<size_t>(written)), Utf16Le(c.out));
  }
}

TEST(OwnUtf16Converter, SurrogatesAndOddLengths) {
  auto convert = [](const std::string& in, std::string* out) {
    std::vector<uint8_t> area(in.size() * 2 + 1);
    int32_t written = -1;
    const bool ok = Utf16LeToUtf8(area.data(), &written, reinterpret_cast<const uint8_t*>(in.data()),
                                  static_cast<int32_t>(in.size()));
    *out = std::string(reinterpret_cast<char*>(area.data()), static_cast<size_t>(written));
    return ok;
  };
  std::string out;
  EXPECT_TRUE(convert(Utf16Le(u"a\u00E9\u20AC\U0001F600\U0010FFFF"), &out));
  EXPECT_EQ(out, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
  EXPECT_FALSE(convert(Utf16Le(std::u16string{u'a', 0xDC00}), &out));
  EXPECT_EQ(out, "a");  // what was written before the fault
  EXPECT_FALSE(convert(Utf16Le(std::u16string{u'b', 0xD83D}), &out));
  EXPECT_EQ(out, "b");
  EXPECT_FALSE(convert(Utf16Le(std::u16string{0xDE00, 0xD83D}), &out));
  EXPECT_FALSE(convert(Utf16Le(std::u16string{0xD83D, u'x'}), &out));
  EXPECT_FALSE(convert(Utf16Le(u"ab") + 'c', &out));
  EXPECT_EQ(out, "ab");
}

TEST(OwnConverterBuffers, ReplaceContentOrFailWith434Untouched) {
  Buffer buffer;
  ASSERT_EQ(buffer.SetString("h\xC3\xA9\xF0\x9F\x98\x80"), kOk);
  ASSERT_EQ(Utf8ToUtf16Le(buffer), kOk);
  EXPECT_EQ(Text(buffer), Utf16Le(u"h\u00E9\U0001F600"));
  ASSERT_EQ(Utf16LeToUtf8(buffer), kOk);
  EXPECT_EQ(Text(buffer), "h\xC3\xA9\xF0\x9F\x98\x80");
  // A lone low surrogate, a high one at the end, a stray continuation byte: 434 and nothing changes.
  for (const auto& [bad, wide] : {std::pair{Utf16Le(std::u16string{u'a', 0xDC00}), true},
                                  {Utf16Le(std::u16string{u'a', 0xD800}), true}, {std::string("\x80"), false}}) {
    ASSERT_EQ(buffer.SetData(static_cast<int32_t>(bad.size()), bad.data()), kOk);
    EXPECT_EQ(wide ? Utf16LeToUtf8(buffer) : Utf8ToUtf16Le(buffer), kConversionFailed);
    EXPECT_EQ(Text(buffer), bad);
  }
}

TEST(OwnConverterBuffers, ScratchOfAWipingBufferIsZeroedBeforeRelease) {
  const std::string secret = "s\xC3\xA9" "cret-passphrase-\xC3\xA9";
  const std::string secret_wide = Utf16Le(u"s\u00E9cret-passphrase-\u00E9");
  bool leaked = false;
  platform::test::SetFreeObserver([&](const void* block, std::size_t size) {
    const std::string bytes(static_cast<const char*>(block), size);
    if (bytes.find("cret-pass") != std::string::npos || bytes.find(secret_wide.substr(4, 12)) != std::string::npos) {
      leaked = true;
    }
  });
  {
    SecureBuffer buffer;
    ASSERT_EQ(buffer.SetString(secret.c_str()), kOk);
    ASSERT_EQ(Utf8ToUtf16Le(buffer), kOk);
    ASSERT_EQ(Utf16LeToUtf8(buffer), kOk);
    EXPECT_EQ(IsRoundTripUtf8(buffer), 1);
  }
  platform::test::SetFreeObserver({});
  EXPECT_FALSE(leaked);
}

TEST(Utf8Checks, RoundTripAndFileNames) {
  Buffer buffer;
  for (const char* good : {"", "ascii", "\xC3\xA9", "\xF0\x9F\x98\x80", "\xEF\xBF\xBD"}) {
    ASSERT_EQ(buffer.SetString(good), kOk);
    EXPECT_EQ(IsRoundTripUtf8(buffer), 1) << testing::PrintToString(std::string(good));
  }
  for (const char* bad : {"\xC3\x41", "\xC0\xAF", "\xED\xA0\x80", "\x80", "\xE9t\xE9", "\xF4\x90\x80\x80"}) {
    ASSERT_EQ(buffer.SetString(bad), kOk);
    EXPECT_EQ(IsRoundTripUtf8(buffer), 0) << testing::PrintToString(std::string(bad));
  }
  Buffer wide;
  ASSERT_EQ(wide.SetString("untouched"), kOk);
  for (const char* name : {"plain.txt", "", static_cast<const char*>(nullptr), "caf\xE9.txt"}) {
    EXPECT_FALSE(Utf8NameToWide(name, &wide));  // nothing to gain, or not UTF-8
  }
  EXPECT_EQ(Text(wide), "untouched");
  EXPECT_TRUE(Utf8NameToWide("caf\xC3\xA9.txt", nullptr));
  ASSERT_TRUE(Utf8NameToWide("caf\xC3\xA9.txt", &wide));
  EXPECT_EQ(wide.Length(), 2 * 8 + 1);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide.Data())), u"caf\u00E9.txt");
}

// ---- Charset names ---------------------------------------------------------------------------------

TEST(CharsetNames, EveryNameOfTheTable) {
  const struct {
    const char* name;
    int32_t code_page;
  } kNames[] = {
      {"ASMO-708", 708}, {"BIG5", 950}, {"CP1025", 21025}, {"CP866", 866}, {"CP875", 875},
      {"CSISO2022JP", 50221}, {"DOS-720", 720}, {"DOS-862", 862}, {"EUC-CN", 51936}, {"EUC-JP", 20932},
      {"EUC-KR", 51949}, {"GB18030", 54936}, {"GB2312", 936}, {"GBK", 936}, {"HZ-GB-2312", 52936},
      {"IBM-THAI", 20838}, {"IBM00858", 858}, {"IBM00924", 20924}, {"IBM01047", 1047}, {"IBM01140", 1140},
      {"IBM01141", 1141}, {"IBM01142", 1142}, {"IBM01143", 1143}, {"IBM01144", 1144}, {"IBM01145", 1145},
      {"IBM01146", 1146}, {"IBM01147", 1147}, {"IBM01148", 1148}, {"IBM01149", 1149}, {"IBM037", 37},
      {"IBM1026", 1026}, {"IBM273", 20273}, {"IBM277", 20277}, {"IBM278", 20278}, {"IBM280", 20280},
      {"IBM284", 20284}, {"IBM285", 20285}, {"IBM290", 20290}, {"IBM297", 20297}, {"IBM420", 20420},
      {"IBM423", 20423}, {"IBM424", 20424}, {"IBM437", 437}, {"IBM500", 500}, {"IBM737", 737},
      {"IBM775", 775}, {"IBM850", 850}, {"IBM852", 852}, {"IBM855", 855}, {"IBM857", 857},
      {"IBM860", 860}, {"IBM861", 861}, {"IBM863", 863}, {"IBM864", 864}, {"IBM865", 865},
      {"IBM869", 869}, {"IBM870", 870}, {"IBM871", 20871}, {"IBM880", 20880}, {"IBM905", 20905},
      {"ISO-2022-JP", 50220}, {"ISO-2022-KR", 50225}, {"ISO-8859-1", 28591}, {"ISO-8859-13", 28603},
      {"ISO-8859-15", 28605}, {"ISO-8859-2", 28592}, {"ISO-8859-3", 28593}, {"ISO-8859-4", 28594},
      {"ISO-8859-5", 28595}, {"ISO-8859-6", 28596}, {"ISO-8859-7", 28597}, {"ISO-8859-8", 28598},
      {"ISO-8859-8-I", 38598}, {"ISO-8859-9", 28599}, {"JOHAB", 1361}, {"KOI8-R", 20866}, {"KOI8-U", 21866},
      {"KS_C_5601-1987", 949}, {"MACINTOSH", 10000}, {"SHIFT_JIS", 932}, {"UNICODEFFFE", 1201},
      {"US-ASCII", 20127}, {"UTF-16", 1200}, {"UTF-32", 12000}, {"UTF-32BE", 12001}, {"UTF-7", 65000},
      {"UTF-8", 65001}, {"WINDOWS-1250", 1250}, {"WINDOWS-1251", 1251}, {"WINDOWS-1252", 1252},
      {"WINDOWS-1253", 1253}, {"WINDOWS-1254", 1254}, {"WINDOWS-1255", 1255}, {"WINDOWS-1256", 1256},
      {"WINDOWS-1257", 1257}, {"WINDOWS-1258", 1258}, {"WINDOWS-874", 874}, {"X-CHINESE-CNS", 20000},
      {"X-CHINESE-ETEN", 20002}, {"X-CP20001", 20001}, {"X-CP20003", 20003}, {"X-CP20004", 20004},
      {"X-CP20005", 20005}, {"X-CP20261", 20261}, {"X-CP20269", 20269}, {"X-CP20936", 20936},
      {"X-CP20949", 20949}, {"X-CP50227", 50227}, {"X-EBCDIC-KOREANEXTENDED", 20833}, {"X-EUROPA", 29001},
      {"X-IA5", 20105}, {"X-IA5-GERMAN", 20106}, {"X-IA5-NORWEGIAN", 20108}, {"X-IA5-SWEDISH", 20107},
      {"X-ISCII-AS", 57006}, {"X-ISCII-BE", 57003}, {"X-ISCII-DE", 57002}, {"X-ISCII-GU", 57010},
      {"X-ISCII-KA", 57008}, {"X-ISCII-MA", 57009}, {"X-ISCII-OR", 57007}, {"X-ISCII-PA", 57011},
      {"X-ISCII-TA", 57004}, {"X-ISCII-TE", 57005}, {"X-MAC-ARABIC", 10004}, {"X-MAC-CE", 10029},
      {"X-MAC-CHINESESIMP", 10008}, {"X-MAC-CHINESETRAD", 10002}, {"X-MAC-CROATIAN", 10082},
      {"X-MAC-CYRILLIC", 10007}, {"X-MAC-GREEK", 10006}, {"X-MAC-HEBREW", 10005}, {"X-MAC-ICELANDIC", 10079},
      {"X-MAC-JAPANESE", 10001}, {"X-MAC-KOREAN", 10003}, {"X-MAC-ROMANIAN", 10010}, {"X-MAC-THAI", 10021},
      {"X-MAC-TURKISH", 10081}, {"X-MAC-UKRAINIAN", 10017},
  };
  EXPECT_EQ(std::size(kNames), 139u);
  for (const auto& entry : kNames) {
    EXPECT_EQ(CharsetNameToCodePage(entry.name), entry.code_page) << entry.name;
    std::string lower = entry.name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(CharsetNameToCodePage(lower.c_str()), entry.code_page) << lower;
    EXPECT_EQ(CharsetNameToCodePage((std::string(entry.name) + "X").c_str()), -1) << entry.name;
    EXPECT_EQ(CharsetNameToCodePage(std::string(entry.name).substr(1).c_str()), -1) << entry.name;
  }
}

TEST(CharsetNames, OnlyAsciiLettersFoldAndNothingIsTrimmed) {
  EXPECT_EQ(CharsetNameToCodePage("utf-8"), 65001);
  EXPECT_EQ(CharsetNameToCodePage("Shift_JIS"), 932);
  for (const char* name : {" UTF-8", "UTF-8 ", "UTF8", "", static_cast<const char*>(nullptr),
                           "X-EBCDIC-KOREANEXTENDED-AND-MORE", "UTF-8\xC3\xA9"}) {
    EXPECT_EQ(CharsetNameToCodePage(name), -1) << (name != nullptr ? name : "(null)");
  }
}

// ---- Shift_JIS and JIS X 0208 ----------------------------------------------------------------------

TEST(ShiftJis, KanaWidthAndSoundMarks) {
  // The sound mark is taken (1) only where the kana has a voiced form.
  const struct { uint8_t kana, mark; int took_mark; int pair; } cases[] = {
      {0xB6, 0xDE, 1, 0x834B}, {0xCA, 0xDF, 1, 0x8370}, {0xB3, 0xDE, 1, 0x8394},
      {0xB1, 0xDE, 0, 0x8341}, {0xA1, 'x', 0, 0x8142},  {0xDF, 0, 0, 0x814B}};
  for (const auto& c : cases) {
    uint8_t first = 0, second = 0;
    EXPECT_EQ(HalfWidthKanaToShiftJis(c.kana, c.mark, &first, &second), c.took_mark) << int{c.kana};
    EXPECT_EQ((first << 8) | second, c.pair) << int{c.kana};
  }
}

// Every JIS X 0208 row/cell pair maps to a Shift_JIS pair and back.
TEST(ShiftJis, PairStepsAreInverse) {
  for (int row = 0x21; row <= 0x7E; ++row) {
    for (int cell = 0x21; cell <= 0x7E; ++cell) {
      const ShiftJisBytes sjis = JisToShiftJisPair(static_cast<uint8_t>(row), static_cast<uint8_t>(cell));
      ASSERT_TRUE((sjis.first >= 0x81 && sjis.first <= 0x9F) || (sjis.first >= 0xE0 && sjis.first <= 0xEF));
      ASSERT_TRUE(sjis.second >= 0x40 && sjis.second <= 0xFC && sjis.second != 0x7F);
      uint8_t first = sjis.first, second = sjis.second;
      ShiftJisPairToJis(first, second);
      ASSERT_EQ(first, row);
      ASSERT_EQ(second, cell);
    }
  }
  const ShiftJisBytes kanji = JisToShiftJisPair(0x34, 0x41);  // 漢
  EXPECT_EQ(kanji.first, 0x8A);
  EXPECT_EQ(kanji.second, 0xBF);
}

TEST(CodePageSystem, ShiftJisSystemCodePageAppliesToCodePageZero) {
  platform::test::SetAnsiCodePage(932);
  Buffer buffer;
  EXPECT_EQ(MultiByteToWide(buffer, "\x82\xA0", kCodePageSystem), kOk);
  platform::test::SetAnsiCodePage(0);
  EXPECT_EQ(Text(buffer), Utf16Le(std::u16string(u"\u3042", 2)));
  Buffer round;
  ASSERT_EQ(ConvertCodePage("\x8A\xBF\x8E\x9A", 4, kCodePageShiftJis, kCodePageUtf8, round), kOk);
  ASSERT_EQ(ConvertCodePage(round.Data(), round.Length() - 1, kCodePageUtf8, kCodePageShiftJis, round), kOk);
  EXPECT_EQ(Text(round), std::string("\x8A\xBF\x8E\x9A", 5));
}

// ---- Bad input never crashes -----------------------------------------------------------------------

TEST(OwnUtf8Converter, RandomBytesNeverOverrunTheOutput) {
  std::mt19937 random(12345);
  std::vector<uint8_t> in, out;
  Buffer buffer;
  for (int round = 0; round < 100000; ++round) {
    const size_t length = random() % 24;
    in.resize(length);
    for (auto& b : in) b = static_cast<uint8_t>((random() % 3 == 0) ? 0x80 + random() % 64 : random() % 256);
    out.assign(length * 2, 0);
    int32_t written = 0, counted = 0;
    const bool ok = Utf8ToUtf16Le(out.data(), &written, in.data(), static_cast<int32_t>(length));
    ASSERT_EQ(Utf8ToUtf16Le(nullptr, &counted, in.data(), static_cast<int32_t>(length)), ok);
    ASSERT_EQ(written, counted);
    ASSERT_LE(written, static_cast<int32_t>(length) * 2);
    if (ok && length > 0) {
      int32_t back = 0;
      std::vector<uint8_t> utf8(static_cast<size_t>(written) * 2 + 1);
      ASSERT_TRUE(Utf16LeToUtf8(utf8.data(), &back, out.data(), written));
    }
    ASSERT_EQ(buffer.SetData(static_cast<int32_t>(length), in.data()), kOk);
    ASSERT_EQ(MultiByteToWide(buffer, buffer.Data(), kCodePageUtf8), kOk);
  }
}

// ---- Differential test against Python's codecs -----------------------------------------------------

// The oracle builds random texts of characters the code page can represent and prints each as UTF-16LE
// hex and as the code page's bytes in hex.
// Two kinds of characters are left out where Python's tables and the system's disagree: a character that
// several byte sequences decode to (the system encodes such duplicates, like the NEC and IBM extensions
// of code page 932, to one of its own choice), and the cp950 area C6A1-C8FE, which the system keeps for
// user-defined characters (private use) while Python assigns it the ETEN extensions.
constexpr char kCodecOracle[] = R"PY(
import random, sys
codec, seed, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rnd = random.Random(seed)
sources = {}
def offer(ch, raw):
    if len(ch) == 1 and ch.isprintable():
        sources.setdefault(ch, set()).add(raw)
def offer_bytes(raw):
    try: offer(raw.decode(codec), raw)
    except UnicodeError: pass
if codec == 'utf-8':
    for _ in range(20000):
        cp = rnd.choice([rnd.randrange(0x20, 0x800), rnd.randrange(0x800, 0x10000), rnd.randrange(0x10000, 0x110000)])
        if not 0xD800 <= cp <= 0xDFFF:
            offer(chr(cp), chr(cp).encode(codec))
else:
    for b in range(0x20, 0x100):
        offer_bytes(bytes([b]))
    if codec != 'cp1252':
        for lead in range(0x81, 0xFF):
            for trail in range(0x40, 0xFF):
                if codec == 'cp950' and 0xC6A1 <= (lead << 8 | trail) <= 0xC8FE:
                    continue
                offer_bytes(bytes([lead, trail]))
    if codec == 'gb18030':
        for _ in range(3000):
            ch = chr(rnd.choice([rnd.randrange(0x80, 0x10000), rnd.randrange(0x10000, 0x110000)]))
            if not 0xD800 <= ord(ch) <= 0xDFFF:
                offer(ch, ch.encode(codec))
pool = sorted(ch for ch, raws in sources.items() if len(raws) == 1 and ch.encode(codec) in raws)
for _ in range(count):
    text = ''.join(rnd.choice(pool) for _ in range(rnd.randrange(1, 40)))
    print('x' + text.encode('utf-16-le').hex(), 'x' + text.encode(codec).hex())
)PY";

TEST(CodePageDifferential, AgreesWithPythonCodecsOnRepresentableText) {
  if (!testing_support::PythonAvailable()) GTEST_SKIP() << "python3 is not available: differential test skipped";
  const struct {
    uint32_t code_page;
    const char* codec;
  } kCodePages[] = {{65001, "utf-8"}, {1252, "cp1252"}, {932, "cp932"},   {936, "gbk"},
                    {949, "cp949"},   {950, "cp950"},   {20932, "euc_jp"}, {54936, "gb18030"}};
  for (const auto& entry : kCodePages) {
    SCOPED_TRACE(entry.codec);
    std::string output;
    ASSERT_TRUE(testing_support::RunPython(kCodecOracle, std::string(entry.codec) + " 7 400", "", &output));
    const auto lines = testing_support::Lines(output);
    ASSERT_EQ(lines.size(), 400u);
    int mismatches = 0;
    Buffer buffer;
    for (const auto& fields : lines) {
      ASSERT_EQ(fields.size(), 2u);
      const std::string wide = testing_support::FromHex(fields[0]);
      const std::string bytes = testing_support::FromHex(fields[1]);
      ASSERT_EQ(MultiByteToWide(buffer, bytes.c_str(), entry.code_page), kOk);
      const bool decoded = Text(buffer) == wide + std::string(2, '\0');
      std::u16string units(wide.size() / 2 + 1, u'\0');
      std::memcpy(units.data(), wide.data(), wide.size());
      ASSERT_EQ(WideToMultiByte(buffer, units.c_str(), entry.code_page), kOk);
      const bool encoded = Text(buffer) == bytes + '\0';
      if (!decoded || !encoded) {
        if (++mismatches <= 3) ADD_FAILURE() << "text " << fields[0] << " bytes " << fields[1];
      }
    }
    EXPECT_EQ(mismatches, 0);
  }
}

}  // namespace
}  // namespace velmora::core
