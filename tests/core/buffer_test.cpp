#include "core/buffer.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/memory.h"
#include "tests/test_support.h"

namespace velmora::core {
namespace {

using testing_support::FailingAllocations;
using testing_support::Text;

// FreedBlocks records whether every block released while it lives held only zeros.
struct FreedBlocks {
  int count = 0;
  int dirty = 0;
  FreedBlocks() {
    platform::test::SetFreeObserver([this](const void* block, std::size_t size) {
      ++count;
      const auto* p = static_cast<const unsigned char*>(block);
      if (std::any_of(p, p + size, [](unsigned char c) { return c != 0; })) ++dirty;
    });
  }
  ~FreedBlocks() { platform::test::SetFreeObserver({}); }
};

TEST(BufferStorage, InlineUpToNThenHeapWithHalfAgainThenInlineAgain) {
  Buffer b;
  std::string s99(99, 'a');
  ASSERT_EQ(b.SetData(99, s99.data()), kOk);
  EXPECT_TRUE(b.IsInline());
  EXPECT_EQ(b.Capacity(), 99);
  ASSERT_EQ(b.AppendByte('b'), kOk);
  EXPECT_FALSE(b.IsInline());
  EXPECT_EQ(b.Capacity(), 150);
  EXPECT_EQ(b.Data()[100], '\0');
  ASSERT_EQ(b.SetData(99, nullptr), kOk);
  EXPECT_TRUE(b.IsInline());
  EXPECT_EQ(b.Capacity(), 99);
  EXPECT_EQ(Text(b), s99);
  EXPECT_EQ(b.Data()[99], '\0');

  Buffer20 b20;
  ASSERT_EQ(b20.SetData(21, std::string(21, 'x').data()), kOk);
  EXPECT_EQ(b20.Capacity(), 31);
  Buffer1024 b1024;
  ASSERT_EQ(b1024.SetData(1024, nullptr), kOk);
  EXPECT_TRUE(b1024.IsInline());
  ASSERT_EQ(b1024.SetData(1025, nullptr), kOk);
  EXPECT_EQ(b1024.Capacity(), 1537);
}

// LentBuffer exposes the lent-storage calls of the buffer shapes' base.
struct LentBuffer : Buffer {
  using Buffer::HoldsLentStorage;
  using Buffer::UseLentStorage;
};

TEST(BufferStorage, LentStorageIsEditedInPlaceNeverFreedAndWipedOnReleaseWhenAsked) {
  for (int wipe = 0; wipe < 2; ++wipe) {
    SetZeroMemoryFlag(wipe);
    std::string lent = std::string(150, 'L') + '\0';
    FreedBlocks freed;
    {
      LentBuffer b;
      b.UseLentStorage(lent.data(), 150);
      EXPECT_TRUE(b.HoldsLentStorage() && !b.IsInline());
      ASSERT_EQ(b.SetData(120, std::string(120, 'e').data()), kOk);  // in place
      EXPECT_EQ(lent.substr(0, 121), std::string(120, 'e') + '\0');
      ASSERT_EQ(b.Append(std::string(40, 'g').data(), 40), kOk);  // grows into a block of its own
      EXPECT_FALSE(b.HoldsLentStorage());
      EXPECT_EQ(Text(b), std::string(120, 'e') + std::string(40, 'g'));
      EXPECT_EQ(freed.count, 0);
      b.UseLentStorage(lent.data(), 150);  // gives up that block
      EXPECT_EQ(freed.count, 1);
      ASSERT_EQ(b.SetData(3, "abc"), kOk);  // short content moves inline
      EXPECT_TRUE(b.IsInline() && !b.HoldsLentStorage());
      b.UseLentStorage(lent.data() + 147, 3);  // "LLL", or zeros once wiped, and the final zero byte
      ASSERT_EQ(b.AppendByte('x'), kOk);      // moves inline, reading no byte past the lent ones
      EXPECT_EQ(Text(b), (wipe ? std::string(3, '\0') : std::string("LLL")) + "x");
      b.UseLentStorage(lent.data(), 150);
    }
    EXPECT_EQ(freed.count, 1);
    EXPECT_EQ(lent == std::string(151, '\0'), wipe == 1);
  }
  SetZeroMemoryFlag(0);
}

TEST(BufferStorage, NegativeLengthEmptiesAndSourceMayOverlap) {
  Buffer b;
  ASSERT_EQ(b.SetString("hello"), kOk);
  ASSERT_EQ(b.SetData(-5, "x"), kOk);
  EXPECT_EQ(b.Length(), 0);
  std::string big(300, 'q');
  big[150] = 'M';
  ASSERT_EQ(b.SetData(300, big.data()), kOk);
  // A source inside the buffer's own heap block, both staying on the heap and moving inline.
  ASSERT_EQ(b.SetData(200, b.Data() + 100), kOk);
  EXPECT_EQ(b.Data()[50], 'M');
  ASSERT_EQ(b.SetData(10, b.Data() + 45), kOk);
  EXPECT_EQ(Text(b), "qqqqqMqqqq");
  // Appending a buffer's own bytes while it grows.
  for (int i = 0; i < 5; ++i) ASSERT_EQ(b.Append(b.Data(), b.Length()), kOk);
  EXPECT_EQ(b.Length(), 320);
  EXPECT_EQ(b.Data()[315], 'M');
  EXPECT_EQ(b.Append(nullptr, 5), kOk);
  EXPECT_EQ(b.Length(), 320);
}

TEST(BufferStorage, FailedGrowthReturns200AndLeavesBufferUnchanged) {
  for (int32_t start_length : {40, 200}) {  // inline or heap content before the calls
    SCOPED_TRACE(start_length);
    Buffer b;
    std::string content(static_cast<size_t>(start_length), 'z');
    ASSERT_EQ(b.SetData(start_length, content.data()), kOk);
    const char* data = b.Data();
    const int32_t cap = b.Capacity();
    std::string big(5000, 'y');
    {
      FailingAllocations fail;
      EXPECT_EQ(b.SetData(5000, big.data()), kOutOfMemory);
      EXPECT_EQ(b.SetData(5000, nullptr), kOutOfMemory);
      EXPECT_EQ(b.Resize(5000), kOutOfMemory);
      EXPECT_EQ(b.Append(big.data(), 5000), kOutOfMemory);
      EXPECT_EQ(b.AppendRepeatedByte(5000, 'r'), kOutOfMemory);
      EXPECT_EQ(b.Format("%s", big.c_str()), kOutOfMemory);
      EXPECT_EQ(b.ReplaceRange(0, 1, big.data(), 4000), kOutOfMemory);
      EXPECT_EQ(b.GrowU32Array(2000), kOutOfMemory);
      EXPECT_EQ(PadLeftWithZeros(b, 5000), kOutOfMemory);
      EXPECT_EQ(b.ReplaceAll("z", "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz"), kOutOfMemory);
    }
    EXPECT_EQ(b.Data(), data);
    EXPECT_EQ(b.Capacity(), cap);
    EXPECT_EQ(Text(b), content);
    EXPECT_EQ(b.Data()[b.Length()], '\0');
    ASSERT_EQ(b.SetData(5000, big.data()), kOk);  // fully usable afterwards
    EXPECT_EQ(Text(b), big);
  }
}

TEST(BufferStorage, LengthsNearInt32MaxAreRefusedNotWrapped) {
  Buffer b;
  ASSERT_EQ(b.SetString("abc"), kOk);
  EXPECT_EQ(b.Append(b.Data(), INT32_MAX - 1), kOutOfMemory);  // never read: the length check comes first
  EXPECT_EQ(b.AppendRepeatedByte(INT32_MAX, 'x'), kOutOfMemory);
  EXPECT_EQ(b.GrowU64Array(INT32_MAX / 4), kOutOfMemory);
  EXPECT_EQ(Text(b), "abc");
}

TEST(BufferWiping, SecureBufferAndZeroMemoryWipeEveryReleasedBlock) {
  FreedBlocks freed;
  {
    SecureBuffer s;
    std::string secret(120, 'k');
    ASSERT_EQ(s.SetData(120, secret.data()), kOk);
    // Growth without a source moves the content to a new block: the old one must be wiped too.
    for (int i = 0; i < 8; ++i) ASSERT_EQ(s.Append(secret.data(), 120), kOk);
    ASSERT_EQ(s.SetData(500, std::string(500, 'k').data()), kOk);
  }
  EXPECT_GT(freed.count, 3);
  EXPECT_EQ(freed.dirty, 0);

  SetZeroMemoryFlag(1);
  {
    Buffer b;
    ASSERT_EQ(b.SetData(300, std::string(300, 'p').data()), kOk);
    ASSERT_EQ(b.AppendRepeatedByte(400, 'p'), kOk);
    b.Clear();
  }
  SetZeroMemoryFlag(0);
  EXPECT_EQ(freed.dirty, 0);

  Buffer plain;
  ASSERT_EQ(plain.SetData(300, std::string(300, 'p').data()), kOk);
  plain.Clear();
  EXPECT_EQ(freed.dirty, 1);  // without the setting, storage is released as it is
}

TEST(BufferFormat, SixtyFourBitValuesAndTheWorkAreaLimit) {
  Buffer b;
  ASSERT_EQ(b.Format("%lld/%I64d/%d", static_cast<long long>(INT64_MIN), static_cast<long long>(INT64_MAX), -3), kOk);
  const std::string first = "-9223372036854775808/9223372036854775807/-3";
  EXPECT_EQ(Text(b), first);
  ASSERT_EQ(b.AppendFormat("[%s]", b.Data()), kOk);  // formatting from its own content
  EXPECT_EQ(Text(b), first + "[" + first + "]");
  ASSERT_EQ(b.Format("%s", std::string(3000, 'h').c_str()), kOk);
  EXPECT_EQ(b.Length(), 1023);
}

TEST(BufferSearch, BoundaryRules) {
  Buffer b;
  ASSERT_EQ(b.SetString("abcabc"), kOk);
  EXPECT_EQ(b.Find("", 7), 0);
  EXPECT_EQ(b.Find("a", -1), -1);
  EXPECT_EQ(b.Find("c", 6), -1);
  EXPECT_EQ(b.FindNoCase("BCA", 0), 1);
  EXPECT_EQ(b.FindNoCase("ABCABCX", 0), -1);
  EXPECT_EQ(b.FindLast("abc", 100), 3);
  EXPECT_EQ(b.FindLast("abc", 2), 0);
  EXPECT_EQ(b.FindLast("bcabcx", 5), -1);  // longer than what is left: no read past the end
  EXPECT_EQ(b.FindLast("a", -1), -1);
  EXPECT_EQ(b.FindBytes("bc", -1, 2, -1), 4);
  EXPECT_EQ(b.FindBytes("ca", 2, 0, 3), -1);  // an end inside the content limits the search
  EXPECT_EQ(b.FindBytes("ca", 2, 0, -1), 2);
  EXPECT_EQ(b.FindBytes("bc", 2, -3, -1), -1);
  EXPECT_EQ(b.FindBytes(nullptr, 2, 0, -1), -1);
  EXPECT_EQ(b.FindByte('c', 6), -1);
  EXPECT_EQ(*b.ByteAt(5), 'c');
  EXPECT_EQ(b.ByteAt(6), kEmptyText);
  EXPECT_EQ(b.ByteAt(-1), kEmptyText);
  EXPECT_EQ(b.EndsWith("xabcabc"), 0);
  Buffer z1, z2;
  ASSERT_EQ(z1.SetData(3, "\0\0\x05"), kOk);
  ASSERT_EQ(z2.SetData(1, "\x05"), kOk);
  EXPECT_EQ(z1.EqualsIgnoringLeadingZeros(z2), 1);
  EXPECT_EQ(z1.Equals(z2), 0);
}

TEST(BufferEdit, RangeEditsCheckTheirBounds) {
  const struct {
    int (*edit)(Buffer&);
    int rc;
    const char* text;
  } cases[] = {
      {[](Buffer& b) { return b.KeepRange(2, 1); }, kOk, ""},
      {[](Buffer& b) { return b.KeepRange(2, 8); }, kOk, "cdef"},
      {[](Buffer& b) { return b.KeepRange(6, 8); }, kOutOfRange, "abcdef"},
      {[](Buffer& b) { return b.KeepRange(-1, 3); }, kOutOfRange, "abcdef"},
      {[](Buffer& b) { return b.Delete(4, 3); }, kOutOfRange, "abcdef"},
      {[](Buffer& b) { return b.Delete(1, 2); }, kOk, "adef"},
      {[](Buffer& b) { return BufferConsumeFront(b, 10); }, kOk, ""},
      {[](Buffer& b) { return b.ReplaceRange(3, 2, "XYZ", 3); }, kOk, "abcXYZf"},
      {[](Buffer& b) { return b.ReplaceRange(100, 60, "x", 1); }, kOutOfRange, "abcdef"},
  };
  for (const auto& c : cases) {
    Buffer b;
    ASSERT_EQ(b.SetString("abcdef"), kOk);
    EXPECT_EQ(c.edit(b), c.rc) << c.text;
    EXPECT_EQ(Text(b), c.text);
  }
  Buffer b;  // growing onto the heap and shrinking back
  ASSERT_EQ(b.SetString("hi there"), kOk);
  const std::string long_word(150, 'w');
  ASSERT_EQ(b.ReplaceRange(3, 5, long_word.data(), 150), kOk);
  EXPECT_EQ(Text(b), "hi " + long_word);
  ASSERT_EQ(b.ReplaceRange(0, 152, "ok", 2), kOk);
  EXPECT_EQ(Text(b), "okw");
}

TEST(BufferEdit, ReplaceAllTakesMatchesLeftToRight) {
  const struct {
    const char *text, *from, *to, *expected;
  } cases[] = {
      {"aaaa", "aa", "b", "bb"},
      {"aaa", "aa", "b", "ba"},
      {"x%lldy%lld", "%lld", "%I64d", "x%I64dy%I64d"},  // the inserted text is never searched again
      {"xyz", "y", nullptr, "xz"},
  };
  for (const auto& c : cases) {
    Buffer b;
    ASSERT_EQ(b.SetString(c.text), kOk);
    ASSERT_EQ(b.ReplaceAll(c.from, c.to), kOk);
    EXPECT_EQ(Text(b), c.expected);
  }
}

TEST(BufferEdit, ReadLineSplitsOnCrLfCrAndLf) {
  Buffer b;
  ASSERT_EQ(b.SetData(6, "a\r\nb\nc"), kOk);
  Buffer line;
  const struct {
    int32_t from, next;
    const char* line;
  } steps[] = {{0, 3, "a"}, {3, 5, "b"}, {5, 6, "c"}, {6, 6, ""}};
  for (const auto& s : steps) {
    EXPECT_EQ(b.ReadLine(s.from, line), s.next);
    EXPECT_EQ(Text(line), s.line);
  }
}

TEST(BufferEdit, TrimmingKeepsUtf8Letters) {
  Buffer b;
  ASSERT_EQ(b.SetString(" \t caf\xC3\xA9 \r\n"), kOk);
  ASSERT_EQ(b.TrimWhitespace(), kOk);
  EXPECT_EQ(Text(b), "caf\xC3\xA9");
  ASSERT_EQ(b.SetString("   "), kOk);
  ASSERT_EQ(b.TrimByte(' '), kOk);
  EXPECT_EQ(b.Length(), 0);
  ASSERT_EQ(b.SetString("--x-y--"), kOk);
  ASSERT_EQ(BufferTrimSet(b, "-"), kOk);
  EXPECT_EQ(Text(b), "x-y");
  ASSERT_EQ(PadLeftWithZeros(b, 5), kOk);
  EXPECT_EQ(Text(b), std::string("\0\0x-y", 5));
}

TEST(BufferEdit, HeaderFieldAndByteOperations) {
  Buffer b;
  ASSERT_EQ(b.SetString("Subject: \t hi"), kOk);
  char* value = b.SplitHeaderField();
  EXPECT_STREQ(b.Data(), "Subject");
  EXPECT_STREQ(value, "hi");
  ASSERT_EQ(b.SetString("\"a:b\" x"), kOk);
  EXPECT_EQ(b.SplitHeaderField(), b.Data() + b.Length());
  ASSERT_EQ(b.SetData(4, "abcd"), kOk);
  b.SwapBytePairs();
  b.SetByteAt(9, 'x');
  EXPECT_EQ(Text(b), "badc");
}

TEST(BufferArrays, GrowDoublesFromSixteenAndZeroesNewItems) {
  Buffer b;
  ASSERT_EQ(b.GrowU32Array(3), kOk);
  EXPECT_EQ(b.U32Count(), 16);
  EXPECT_EQ(*b.U32At(15), 0u);
  EXPECT_EQ(b.U32At(16), nullptr);
  ASSERT_EQ(b.GrowU32Array(33), kOk);
  EXPECT_EQ(b.U32Count(), 64);
  ASSERT_EQ(b.GrowU64Array(2), kOk);
  EXPECT_EQ(b.PointerCount(), 32);
}

TEST(TokenTextHolder, ShortTokensInlineLongOnesInTheOverflow) {
  TokenText t;
  ASSERT_EQ(t.AssignCString("name"), kOk);
  const char* inline_text = t.Text();
  EXPECT_STREQ(inline_text, "name");
  std::string long_token(3000, 't');
  ASSERT_EQ(t.Assign(long_token.data(), 3000), kOk);
  EXPECT_NE(t.Text(), inline_text);
  EXPECT_EQ(std::string(t.Text()), long_token);
  {
    FailingAllocations fail;
    EXPECT_EQ(t.AssignJson(std::string(9000, 'u').data(), 9000), 10000);
  }
  t.Reset();
  EXPECT_STREQ(t.Text(), "");
}

}  // namespace
}  // namespace velmora::core
