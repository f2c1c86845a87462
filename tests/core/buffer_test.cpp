#include "core/buffer.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/memory.h"

namespace velmora::core {
namespace {

std::string Str(const BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }

// AllocFailure makes every allocation fail while it lives.
struct AllocFailure {
  AllocFailure() { platform::test::FailAllocAfter(0, true); }
  ~AllocFailure() { platform::test::FailAllocAfter(-1); }
};

// FreedBlocks records whether every block released while it lives held only zeros.
struct FreedBlocks {
  int count = 0;
  int dirty = 0;
  FreedBlocks() {
    platform::test::SetFreeObserver([this](const void* block, std::size_t size) {
      ++count;
      const auto* p = static_cast<const unsigned char*>(block);
      for (std::size_t i = 0; i < size; ++i) {
        if (p[i] != 0) {
          ++dirty;
          break;
        }
      }
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
  EXPECT_EQ(Str(b), s99);
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
  EXPECT_EQ(Str(b), "qqqqqMqqqq");
  // Appending a buffer's own bytes while it grows.
  ASSERT_EQ(b.Append(b.Data(), b.Length()), kOk);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(b.Append(b.Data(), b.Length()), kOk);
  EXPECT_EQ(b.Length(), 320);
  EXPECT_EQ(b.Data()[315], 'M');
  EXPECT_EQ(b.Append(nullptr, 5), kOk);
  EXPECT_EQ(b.Append("x", 0), kOk);
  EXPECT_EQ(b.Length(), 320);
}

TEST(BufferStorage, FailedGrowthReturns200AndLeavesBufferUnchanged) {
  struct Case {
    const char* name;
    int32_t start_length;  // inline or heap content before the call
  };
  for (Case c : {Case{"inline", 40}, Case{"heap", 200}}) {
    SCOPED_TRACE(c.name);
    Buffer b;
    std::string content(static_cast<size_t>(c.start_length), 'z');
    ASSERT_EQ(b.SetData(c.start_length, content.data()), kOk);
    const char* data = b.Data();
    const int32_t cap = b.Capacity();
    std::string big(5000, 'y');
    {
      AllocFailure fail;
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
    EXPECT_EQ(Str(b), content);
    EXPECT_EQ(b.Data()[b.Length()], '\0');
    // The buffer is fully usable afterwards.
    ASSERT_EQ(b.SetData(5000, big.data()), kOk);
    EXPECT_EQ(Str(b), big);
  }
}

TEST(BufferStorage, LengthsNearInt32MaxAreRefusedNotWrapped) {
  Buffer b;
  ASSERT_EQ(b.SetString("abc"), kOk);
  EXPECT_EQ(b.Append(b.Data(), INT32_MAX - 1), kOutOfMemory);  // never read: the length check comes first
  EXPECT_EQ(b.AppendRepeatedByte(INT32_MAX, 'x'), kOutOfMemory);
  EXPECT_EQ(b.GrowU64Array(INT32_MAX / 4), kOutOfMemory);
  EXPECT_EQ(Str(b), "abc");
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
  EXPECT_EQ(Str(b), "-9223372036854775808/9223372036854775807/-3");
  ASSERT_EQ(b.AppendFormat("[%s]", b.Data()), kOk);  // formatting from its own content
  EXPECT_EQ(Str(b), "-9223372036854775808/9223372036854775807/-3[-9223372036854775808/9223372036854775807/-3]");
  std::string huge(3000, 'h');
  ASSERT_EQ(b.Format("%s", huge.c_str()), kOk);
  EXPECT_EQ(b.Length(), 1023);
}

TEST(BufferSearch, BoundaryRules) {
  Buffer b;
  ASSERT_EQ(b.SetString("abcabc"), kOk);
  EXPECT_EQ(b.Find("", 7), 0);
  EXPECT_EQ(b.Find("a", -1), -1);
  EXPECT_EQ(b.Find("c", 3), 5);
  EXPECT_EQ(b.Find("c", 6), -1);
  EXPECT_EQ(b.FindNoCase("BCA", 0), 1);
  EXPECT_EQ(b.FindNoCase("ABCABCX", 0), -1);
  EXPECT_EQ(b.FindLast("abc", 100), 3);
  EXPECT_EQ(b.FindLast("abc", 2), 0);
  EXPECT_EQ(b.FindLast("bcabcx", 5), -1);  // longer than what is left: no read past the end
  EXPECT_EQ(b.FindLast("a", -1), -1);
  EXPECT_EQ(b.FindBytes("bc", 2, 0, -1), 1);
  EXPECT_EQ(b.FindBytes("bc", -1, 2, -1), 4);
  EXPECT_EQ(b.FindBytes("ca", 2, 0, 3), -1);  // an end inside the content limits the search
  EXPECT_EQ(b.FindBytes("ca", 2, 0, -1), 2);
  EXPECT_EQ(b.FindBytes("bc", 2, -3, -1), -1);
  EXPECT_EQ(b.FindBytes(nullptr, 2, 0, -1), -1);
  EXPECT_EQ(b.FindByte('c', 0), 2);
  EXPECT_EQ(b.FindByte('c', 6), -1);
  EXPECT_EQ(*b.ByteAt(5), 'c');
  EXPECT_EQ(b.ByteAt(6), kEmptyText);
  EXPECT_EQ(b.ByteAt(-1), kEmptyText);
  EXPECT_EQ(b.EndsWith("bc"), 1);
  EXPECT_EQ(b.EndsWith("xabcabc"), 0);
  EXPECT_EQ(BufferStartsWith(b, ""), 1);
  EXPECT_EQ(BufferStartsWith(b, "abd"), 0);
  EXPECT_EQ(b.EqualsBytes("abcabc", -1), 1);
  EXPECT_EQ(b.EqualsNoCase("ABCABC"), 1);
  Buffer z1;
  Buffer z2;
  ASSERT_EQ(z1.SetData(3, "\0\0\x05"), kOk);
  ASSERT_EQ(z2.SetData(1, "\x05"), kOk);
  EXPECT_EQ(z1.EqualsIgnoringLeadingZeros(z2), 1);
  EXPECT_EQ(z1.Equals(z2), 0);
}

TEST(BufferEdit, KeepRangeDeleteAndConsume) {
  Buffer b;
  auto reset = [&] { ASSERT_EQ(b.SetString("abcdef"), kOk); };
  reset();
  EXPECT_EQ(b.KeepRange(2, 1), kOk);
  EXPECT_EQ(b.Length(), 0);
  reset();
  EXPECT_EQ(b.KeepRange(2, 8), kOk);
  EXPECT_EQ(Str(b), "cdef");
  reset();
  EXPECT_EQ(b.KeepRange(6, 8), kOutOfRange);
  EXPECT_EQ(b.KeepRange(-1, 3), kOutOfRange);
  EXPECT_EQ(Str(b), "abcdef");
  EXPECT_EQ(b.Delete(4, 3), kOutOfRange);
  EXPECT_EQ(b.Delete(1, 2), kOk);
  EXPECT_EQ(Str(b), "adef");
  EXPECT_EQ(BufferConsumeFront(b, 10), kOk);
  EXPECT_EQ(b.Length(), 0);
}

TEST(BufferEdit, ReplaceAllTakesMatchesLeftToRight) {
  Buffer b;
  ASSERT_EQ(b.SetString("aaaa"), kOk);
  ASSERT_EQ(b.ReplaceAll("aa", "b"), kOk);
  EXPECT_EQ(Str(b), "bb");
  ASSERT_EQ(b.SetString("aaa"), kOk);
  ASSERT_EQ(b.ReplaceAll("aa", "b"), kOk);
  EXPECT_EQ(Str(b), "ba");
  ASSERT_EQ(b.SetString("x%lldy%lld"), kOk);
  ASSERT_EQ(b.ReplaceAll("%lld", "%I64d"), kOk);  // the inserted text is never searched again
  EXPECT_EQ(Str(b), "x%I64dy%I64d");
  ASSERT_EQ(b.ReplaceAll("y", nullptr), kOk);
  EXPECT_EQ(Str(b), "x%I64d%I64d");
}

TEST(BufferEdit, ReplaceRangeShrinksGrowsAndChecksTheRange) {
  Buffer b;
  ASSERT_EQ(b.SetString("hello world"), kOk);
  ASSERT_EQ(b.ReplaceRange(6, 5, "there", 5), kOk);
  EXPECT_EQ(Str(b), "hello there");
  ASSERT_EQ(b.ReplaceRange(0, 5, "hi", 2), kOk);
  EXPECT_EQ(Str(b), "hi there");
  std::string long_word(150, 'w');
  ASSERT_EQ(b.ReplaceRange(3, 5, long_word.data(), 150), kOk);
  EXPECT_EQ(Str(b), "hi " + long_word);
  EXPECT_EQ(b.ReplaceRange(100, 60, "x", 1), kOutOfRange);
}

TEST(BufferEdit, ReadLineSplitsOnCrLfCrAndLf) {
  Buffer b;
  ASSERT_EQ(b.SetData(6, "a\r\nb\nc"), kOk);
  Buffer line;
  EXPECT_EQ(b.ReadLine(0, line), 3);
  EXPECT_EQ(Str(line), "a");
  EXPECT_EQ(b.ReadLine(3, line), 5);
  EXPECT_EQ(Str(line), "b");
  EXPECT_EQ(b.ReadLine(5, line), 6);
  EXPECT_EQ(Str(line), "c");
  EXPECT_EQ(b.ReadLine(6, line), 6);
  EXPECT_EQ(line.Length(), 0);
}

TEST(BufferEdit, TrimmingKeepsUtf8Letters) {
  Buffer b;
  ASSERT_EQ(b.SetString(" \t caf\xC3\xA9 \r\n"), kOk);
  ASSERT_EQ(b.TrimWhitespace(), kOk);
  EXPECT_EQ(Str(b), "caf\xC3\xA9");
  ASSERT_EQ(b.SetString("   "), kOk);
  ASSERT_EQ(b.TrimByte(' '), kOk);
  EXPECT_EQ(b.Length(), 0);
  ASSERT_EQ(b.SetString("--x-y--"), kOk);
  ASSERT_EQ(BufferTrimSet(b, "-"), kOk);
  EXPECT_EQ(Str(b), "x-y");
  ASSERT_EQ(PadLeftWithZeros(b, 5), kOk);
  EXPECT_EQ(b.Length(), 5);
  EXPECT_EQ(std::memcmp(b.Data(), "\0\0x-y", 5), 0);
}

TEST(BufferEdit, HeaderFieldAndByteOperations) {
  Buffer b;
  ASSERT_EQ(b.SetString("Subject: \t hi"), kOk);
  char* value = b.SplitHeaderField();
  EXPECT_STREQ(b.Data(), "Subject");
  EXPECT_STREQ(value, "hi");
  ASSERT_EQ(b.SetString("\"a:b\" x"), kOk);
  value = b.SplitHeaderField();
  EXPECT_EQ(value, b.Data() + b.Length());
  ASSERT_EQ(b.SetData(4, "abcd"), kOk);
  b.SwapBytePairs();
  EXPECT_EQ(Str(b), "badc");
  b.ToUpperAscii();
  EXPECT_EQ(Str(b), "BADC");
  b.SetByteAt(9, 'x');
  EXPECT_EQ(Str(b), "BADC");
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
  EXPECT_STREQ(t.Text(), "name");
  const char* inline_text = t.Text();
  std::string long_token(3000, 't');
  ASSERT_EQ(t.Assign(long_token.data(), 3000), kOk);
  EXPECT_NE(t.Text(), inline_text);
  EXPECT_EQ(std::string(t.Text()), long_token);
  {
    AllocFailure fail;
    std::string longer(9000, 'u');
    EXPECT_EQ(t.AssignJson(longer.data(), 9000), 10000);
  }
  t.Reset();
  EXPECT_STREQ(t.Text(), "");
}

}  // namespace
}  // namespace velmora::core
