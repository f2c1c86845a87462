#include "platform/code_page.h"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "platform/system_info.h"
#include "platform/win_codes.h"

namespace velmora::platform {
namespace {

std::u16string Decode(uint32_t code_page, const std::string& bytes) {
  const int units = MultiByteToWideChar(code_page, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::u16string out(static_cast<size_t>(units), u'\0');
  EXPECT_EQ(MultiByteToWideChar(code_page, bytes.data(), static_cast<int>(bytes.size()), out.data(), units), units);
  return out;
}

std::string Encode(uint32_t code_page, const std::u16string& text) {
  const int bytes = WideCharToMultiByte(code_page, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::string out(static_cast<size_t>(bytes), '\0');
  EXPECT_EQ(WideCharToMultiByte(code_page, text.data(), static_cast<int>(text.size()), out.data(), bytes), bytes);
  return out;
}

TEST(CodePageContract, NullDestinationCountsAndMinusOneCountsTheTerminator) {
  EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, "abc", -1, nullptr, 0), 4);
  EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, "abc", 3, nullptr, 0), 3);
  char16_t wide[8] = {};
  ASSERT_EQ(MultiByteToWideChar(kCodePageUtf8, "abc", -1, wide, 8), 4);
  EXPECT_EQ(std::u16string(wide), u"abc");
  EXPECT_EQ(WideCharToMultiByte(kCodePageUtf8, u"abc", -1, nullptr, 0), 4);
  char narrow[8] = {'x', 'x', 'x', 'x', 'x'};
  ASSERT_EQ(WideCharToMultiByte(kCodePageUtf8, u"abc", -1, narrow, 8), 4);
  EXPECT_STREQ(narrow, "abc");
}

TEST(CodePageContract, FailuresReturnZeroWithTheReason) {
  const struct {
    uint32_t code_page;
    const char* text;
    int length, room;
    uint32_t error;
  } cases[] = {
      {kCodePageUtf8, "abc", -1, 2, kErrorInsufficientBuffer},  {kCodePageUtf8, "abc", 0, 0, kErrorInvalidParameter},
      {kCodePageUtf8, nullptr, 3, 0, kErrorInvalidParameter},   {kCodePageUtf8, "abc", -2, 0, kErrorInvalidParameter},
      {kCodePageUtf8, "abc", -1, 5, kErrorInvalidParameter},  // room without a destination
  };
  char16_t wide[2];
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(c.code_page, c.text, c.length, c.room == 2 ? wide : nullptr, c.room), 0);
    EXPECT_EQ(GetLastError(), c.error) << c.length << " " << c.room;
  }
  char narrow[2];
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(1252, u"abc", 3, narrow, 2), 0);
  EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
  for (uint32_t code_page : {12345u, 1200u, 1201u, 12000u, 12001u, 57002u, 52936u}) {
    SCOPED_TRACE(code_page);
    EXPECT_FALSE(IsValidCodePage(code_page));
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(code_page, "abc", -1, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(code_page, u"abc", -1, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  }
  for (uint32_t code_page : {0u, 37u, 437u, 932u, 936u, 949u, 950u, 1252u, 20932u, 28591u, 50220u, 54936u, 65000u}) {
    EXPECT_TRUE(IsValidCodePage(code_page)) << code_page;
  }
}

// Invalid UTF-8 follows the maximal-subpart rule: one U+FFFD per ill-formed piece, and the byte that
// showed the fault is read again on its own.
TEST(CodePageUtf8, IllFormedInputBecomesReplacementCharacters) {
  struct Case {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"\xC3\xA9", u"\u00E9"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xC3\x41", u"\uFFFDA"},                       // cut short by an ASCII byte
      {"\xE2\x82", u"\uFFFD"},                        // cut short by the end
      {"\xE2\x82\xC3\xA9", u"\uFFFD\u00E9"},          // cut short by a new lead byte
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                  // overlong '/'
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},        // overlong three-byte form
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},        // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\x80x", u"\uFFFDx"},                          // a stray continuation byte
      {"\xFF\xFE", u"\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(Decode(kCodePageUtf8, c.in), c.out);
  }
}

TEST(CodePageUtf8, UnpairedSurrogatesEncodeAsReplacementCharacter) {
  EXPECT_EQ(Encode(kCodePageUtf8, u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Encode(kCodePageUtf8, std::u16string{0xDC00, u'a'}), "\xEF\xBF\xBD" "a");
  EXPECT_EQ(Encode(kCodePageUtf8, std::u16string{u'a', 0xD83D}), "a\xEF\xBF\xBD");
  EXPECT_EQ(Encode(kCodePageUtf8, std::u16string{0xDE00, 0xD83D}), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(CodePageIconv, SubstitutesLikeTheSystemConversions) {
  EXPECT_EQ(Decode(1252, "\x80\xE9"), u"\u20AC\u00E9");
  EXPECT_EQ(Encode(1252, u"a\u3042b"), "a?b");                    // unmappable
  EXPECT_EQ(Encode(1252, u"a\U0001F600b"), "a?b");                // one character, one '?'
  EXPECT_EQ(Encode(1252, std::u16string{u'a', 0xDC00, u'b'}), "a?b");
  EXPECT_EQ(Encode(1252, std::u16string{u'a', 0xD800}), "a?");
  EXPECT_EQ(Encode(37, u"A\u3042"), "\xC1\x6F");                  // EBCDIC: its own '?'
  EXPECT_EQ(Decode(932, "\x82\xA0\x8A\xBF"), u"\u3042\u6F22");
  EXPECT_EQ(Decode(932, "\x82"), u"\uFFFD");                       // lead byte at the end
  EXPECT_EQ(Decode(932, "a\x82 b"), u"a\uFFFD b");                 // bad trail byte
  EXPECT_EQ(Encode(932, u"\u3042\u6F22"), "\x82\xA0\x8A\xBF");
  // Stateful encodings return to ASCII at the end of every conversion.
  EXPECT_EQ(Encode(50220, u"\u6F22"), "\x1B$B4A\x1B(B");
  EXPECT_EQ(Encode(50220, u"\u6F22"), "\x1B$B4A\x1B(B");
  EXPECT_EQ(Decode(50220, "\x1B$B4A\x1B(Bx"), u"\u6F22x");
}

TEST(CodePageIconv, LongTextsCrossTheInternalChunks) {
  std::u16string text;
  for (int i = 0; i < 3000; ++i) text += (i % 7 == 0) ? u'\u3042' : static_cast<char16_t>(u'a' + i % 26);
  const std::string bytes = Encode(932, text);
  EXPECT_EQ(bytes.size(), text.size() + 3000 / 7 + 1);
  EXPECT_EQ(Decode(932, bytes), text);
}

TEST(CodePageSystem, CodePageZeroFollowsTheSystemCodePage) {
  EXPECT_EQ(Decode(kCodePageAnsi, "\xC3\xA9"), u"\u00E9");
  test::SetAnsiCodePage(932);
  EXPECT_EQ(Decode(kCodePageAnsi, "\x82\xA0"), u"\u3042");
  EXPECT_EQ(Encode(kCodePageThreadAnsi, u"\u3042"), "\x82\xA0");
  test::SetAnsiCodePage(0);
  EXPECT_EQ(Encode(kCodePageAnsi, u"\u3042"), "\xE3\x81\x82");
}

TEST(CodePageThreads, EachThreadKeepsItsOwnConverters) {
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      const uint32_t code_page = (t % 2) != 0 ? 50220 : 932;
      for (int i = 0; i < 300; ++i) {
        const std::u16string text = u"\u3042x\u6F22" + std::u16string(static_cast<size_t>(i % 5), u'y');
        if (Decode(code_page, Encode(code_page, text)) != text) ++failures[static_cast<size_t>(t)];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int count : failures) EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace velmora::platform
