#include "core/byte_stream.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "core/byte_order.h"
#include "platform/memory.h"

namespace velmora::core {
namespace {

using platform::test::FailAllocAfter;

std::string Bytes(const ByteStream& stream) { return std::string(stream.Data(), static_cast<size_t>(stream.Length())); }

TEST(ByteStreamWriteTest, LengthPrefixedStringsAndIntegers) {
  ByteStream stream;
  ASSERT_EQ(stream.AppendString("abc", 3), kOk);
  EXPECT_EQ(stream.Cursor(), 7);
  ASSERT_EQ(stream.AppendBitLengthString("abc", 3), kOk);
  ASSERT_EQ(stream.AppendUInt32BE(0x01020304), kOk);
  ASSERT_EQ(stream.AppendCString(nullptr), kOk);
  EXPECT_EQ(Bytes(stream), std::string("\0\0\0\3abc\0\0\0\x18"
                                       "abc\1\2\3\4\0\0\0\0",
                                       22));
  EXPECT_EQ(stream.Cursor(), 22);

  ByteStream empty;
  ASSERT_EQ(empty.InsertUInt32BE(0, 0xA1B2C3D4), kOk);
  EXPECT_EQ(Bytes(empty), "\xA1\xB2\xC3\xD4");
  EXPECT_EQ(empty.Cursor(), 0);
}

TEST(ByteStreamWriteTest, InsertAtGrowsToTheEndOfTheWrite) {
  ByteStream stream("0123456789", 0, 10);
  ASSERT_EQ(stream.InsertAt("ABCDEFGHIJ", 2, 10), kOk);
  EXPECT_EQ(Bytes(stream), "01ABCDEFGHIJ");
  ASSERT_EQ(stream.InsertByte(0, 'z'), kOk);
  EXPECT_EQ(Bytes(stream), "z1ABCDEFGHIJ");
  // A gap behind the old end is zeroed.
  ASSERT_EQ(stream.InsertAt("!", 14, 1), kOk);
  EXPECT_EQ(Bytes(stream), std::string("z1ABCDEFGHIJ\0\0!", 15));
  // Bytes of the stream itself as the source, while the store grows.
  ASSERT_EQ(stream.InsertAt(stream.Data(), 100, 15), kOk);
  EXPECT_EQ(Bytes(stream).substr(100), std::string("z1ABCDEFGHIJ\0\0!", 15));
}

TEST(ByteStreamWriteTest, BadPositionsAndCountsAreRejected) {
  ByteStream stream("abc", 0, 3);
  EXPECT_EQ(stream.InsertAt("x", -1, 1), ByteStream::kRangeError);
  EXPECT_EQ(stream.InsertAt("x", 0, -1), ByteStream::kRangeError);
  EXPECT_EQ(stream.InsertAt("x", INT32_MAX, 1), kOutOfMemory);
  char out[8] = {};
  EXPECT_EQ(stream.ReadInto(out, 0, -1), ByteStream::kRangeError);
  EXPECT_EQ(stream.CopyOut(1, 3, out, 0), ByteStream::kRangeError);
  EXPECT_EQ(stream.CopyOut(-1, 1, out, 0), ByteStream::kRangeError);
  EXPECT_EQ(stream.CopyOut(3, 0, out, 0), kOk);
  EXPECT_EQ(stream.CopyOut(INT32_MAX, INT32_MAX, out, 0), ByteStream::kRangeError);
  EXPECT_EQ(stream.CopyOut(1, 2, out, 1), kOk);
  EXPECT_EQ(std::string(out, 3), std::string("\0bc", 3));
  EXPECT_EQ(Bytes(stream), "abc");
}

TEST(ByteStreamReadTest, CursorReadsAndRangeChecks) {
  ByteStream stream;
  ASSERT_EQ(stream.SetData("xxabcxx", 2, 3), kOk);
  EXPECT_EQ(stream.ByteAt(3), -1);
  EXPECT_EQ(stream.ByteAt(2), 'c');
  EXPECT_EQ(stream.CheckAvailable(4), 1080);
  EXPECT_EQ(stream.CheckAvailable(-1), 1080);
  EXPECT_EQ(stream.CheckRange(1, 2), kOk);
  EXPECT_EQ(stream.CheckRange(2, INT32_MAX), 1080);

  Buffer out;
  ASSERT_EQ(out.SetString("before"), kOk);
  EXPECT_EQ(stream.Read(0, out), kOk);
  EXPECT_STREQ(out.Data(), "before");
  ASSERT_EQ(stream.Read(5, out), kOk);
  EXPECT_STREQ(out.Data(), "abc");
  EXPECT_EQ(stream.Cursor(), 3);
  EXPECT_EQ(stream.Read(1, out), 1);
  EXPECT_STREQ(out.Data(), "abc");

  ByteStream numbers("\0\0\1\0\xFF", 0, 5);
  uint8_t word[6] = {};
  ASSERT_EQ(numbers.ReadInto(word, 1, 4), kOk);
  EXPECT_EQ(ReadUInt32BE(word + 1), 256u);
  ASSERT_EQ(numbers.ReadInto(word, 0, 4), kOk);  // only one byte was left
  EXPECT_EQ(word[0], 0xFF);
  EXPECT_EQ(numbers.Cursor(), 5);
}

TEST(ByteStreamStoreTest, CopiesShareTheStoreUntilTheLastLetsGo) {
  Buffer source;
  ASSERT_EQ(source.SetString("shared"), kOk);
  auto* first = new ByteStream(source);
  ByteStream second(*first);
  ByteStream third;
  third = second;
  ASSERT_EQ(first->AppendByte('!'), kOk);
  EXPECT_EQ(Bytes(second), "shared!");
  delete first;
  EXPECT_EQ(Bytes(third), "shared!");
  third.Clear();  // lets go of its reference only
  EXPECT_EQ(third.Length(), 0);
  EXPECT_EQ(Bytes(second), "shared!");
  ByteStream fourth(second);
  second.Reset();  // empties the shared store
  EXPECT_EQ(fourth.Length(), 0);
  ASSERT_EQ(second.AppendByte('x'), kOk);
  EXPECT_EQ(Bytes(fourth), "x");
}

TEST(ByteStreamStoreTest, MissingStoreFailsCleanly) {
  FailAllocAfter(0);
  ByteStream constructed("abc", 0, 3);
  EXPECT_EQ(constructed.Length(), 0);
  ByteStream stream;
  FailAllocAfter(0, true);
  EXPECT_EQ(stream.EnsureData(), kOutOfMemory);
  EXPECT_EQ(stream.Append("abc", 3), kOutOfMemory);
  EXPECT_EQ(stream.AppendString("abc", 3), kOutOfMemory);
  EXPECT_EQ(stream.InsertAt("abc", 0, 3), kOutOfMemory);
  EXPECT_EQ(stream.SetData("abc", 0, 3), kOutOfMemory);
  Buffer out;
  EXPECT_EQ(stream.Read(1, out), 1);
  EXPECT_EQ(stream.ByteAt(0), -1);
  EXPECT_EQ(stream.Cursor(), 0);
  FailAllocAfter(-1);
  ASSERT_EQ(stream.Append("abc", 3), kOk);
  FailAllocAfter(0);  // a string that does not fit adds neither its length nor its bytes
  EXPECT_EQ(stream.AppendString(std::string(300, 't').data(), 300), kOutOfMemory);
  FailAllocAfter(-1);
  EXPECT_EQ(Bytes(stream), "abc");
  EXPECT_EQ(stream.Cursor(), 3);
}

TEST(ByteOrderTest, LoadsAndStoresStayInsideTheirBytes) {
  const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(ReadUInt24BE(bytes), 0x010203u);
  EXPECT_EQ(ReadUInt64LE(bytes), 0x0807060504030201ull);
  EXPECT_EQ(GetUInt24LittleEndian(bytes, 1), 0x040302u);
  uint8_t out[10] = {};
  PutUIntBigEndian(0x0A0B0C, out, 1, 3);
  EXPECT_EQ(out[1], 0x0A);
  EXPECT_EQ(out[3], 0x0C);
  EXPECT_EQ(PutUIntLittleEndian(0x0A0B, out, 10), 10);
  EXPECT_EQ(out[9], 0);  // beyond the eighth byte
}

}  // namespace
}  // namespace velmora::core
