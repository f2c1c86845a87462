#include "core/line_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/memory.h"

namespace velmora::core {
namespace {

using platform::test::FailAllocAfter;

// Line reading: collect every line that the buffer hands out after each fill.
std::vector<std::string> Feed(LineBuffer& buffer, const std::string& fill) {
  EXPECT_EQ(buffer.Append(fill.data(), static_cast<uint32_t>(fill.size())), 1);
  std::vector<std::string> lines;
  const char* line;
  uint32_t count;
  while (buffer.ReadLine(&line, &count)) lines.emplace_back(line, count);
  return lines;
}

using Lines = std::vector<std::string>;

TEST(LineBufferTest, LineEndsSplitAcrossFills) {
  LineBuffer buffer;
  ASSERT_EQ(buffer.Allocate(64), 1);
  EXPECT_EQ(Feed(buffer, "ab\r"), Lines{"ab"});
  EXPECT_EQ(Feed(buffer, "\ncd\r\n"), Lines{"cd"});
  EXPECT_EQ(Feed(buffer, "e\n\rf\n"), (Lines{"e", "f"}));
  EXPECT_EQ(Feed(buffer, "g\r\r"), (Lines{"g", ""}));
  // After a split CR LF is completed, a fill that starts with a line end is a line of its own.
  EXPECT_EQ(Feed(buffer, "h\r"), Lines{"h"});
  EXPECT_EQ(Feed(buffer, "\n"), Lines{});
  EXPECT_EQ(Feed(buffer, "\rk\n"), (Lines{"", "k"}));
  EXPECT_EQ(Feed(buffer, "partial"), Lines{});
  EXPECT_EQ(Feed(buffer, " line\n"), Lines{"partial line"});
}

TEST(LineBufferTest, TakeAndAppendLimits) {
  LineBuffer buffer;
  ASSERT_EQ(buffer.Allocate(8), 1);
  ASSERT_EQ(buffer.Append("12345", 5), 1);
  const char* out;
  uint32_t count = 2;
  ASSERT_EQ(buffer.Take(&out, &count), 1);
  EXPECT_EQ(std::string(out, count), "12");
  EXPECT_EQ(buffer.Append("abcdefg", 7), 0);  // 3 unread leave room for 5
  ASSERT_EQ(buffer.Append("abcde", 5), 1);    // compacts first
  EXPECT_EQ(buffer.Start(), 0u);
  count = 0;
  ASSERT_EQ(buffer.Take(&out, &count), 1);
  EXPECT_EQ(std::string(out, count), "345abcde");
  EXPECT_EQ(buffer.Take(&out, &count), 0);
  EXPECT_EQ(count, 0u);
}

TEST(LineBufferTest, WriteSpanHandsOutTheRoomBehindTheUnreadBytes) {
  LineBuffer buffer;
  ASSERT_EQ(buffer.Allocate(8), 1);
  ASSERT_EQ(buffer.Append("abcdef", 6), 1);
  const char* taken;
  uint32_t count = 4;
  ASSERT_EQ(buffer.Take(&taken, &count), 1);  // start 4, 2 unread, 2 free behind them

  char* span;
  uint32_t asked = 2;
  ASSERT_EQ(buffer.WriteSpan(&span, &asked), 1);
  EXPECT_EQ(asked, 2u);
  EXPECT_EQ(buffer.Start(), 4u);
  asked = 5;  // more than the room behind: compacts to make all 6 free bytes one span
  ASSERT_EQ(buffer.WriteSpan(&span, &asked), 1);
  EXPECT_EQ(asked, 6u);
  EXPECT_EQ(buffer.Start(), 0u);
  std::memcpy(span, "123456", 6);
  EXPECT_EQ(buffer.CommitWrite(7), 0);
  ASSERT_EQ(buffer.CommitWrite(6), 1);
  asked = 1;
  EXPECT_EQ(buffer.WriteSpan(&span, &asked), 0);  // full
  EXPECT_EQ(asked, 0u);
  count = 0;
  ASSERT_EQ(buffer.Take(&taken, &count), 1);
  EXPECT_EQ(std::string(taken, count), "ef123456");
}

TEST(LineBufferTest, DelimitedRecordsAndWrappedViews) {
  LineBuffer buffer;
  ASSERT_EQ(buffer.Allocate(32), 1);
  ASSERT_EQ(buffer.SetDelimiter("||", 2), 1);
  ASSERT_EQ(buffer.Append("ab||cd|", 7), 1);
  const char* out;
  uint32_t count = 0;
  ASSERT_EQ(buffer.NextRecord(&out, &count), 1);
  EXPECT_EQ(std::string(out, count), "ab");
  EXPECT_EQ(buffer.NextRecord(&out, &count), 0);  // a delimiter split across fills
  ASSERT_EQ(buffer.Append("|", 1), 1);
  ASSERT_EQ(buffer.NextRecord(&out, &count), 1);
  EXPECT_EQ(std::string(out, count), "cd");

  // A view reads the caller's bytes in place and is never written or freed.
  const char text[] = "one\r\ntwo";
  LineBuffer view;
  view.Wrap(text, 8);
  EXPECT_EQ(view.Append("z", 1), 0);
  ASSERT_EQ(view.ReadLine(&out, &count), 1);
  EXPECT_EQ(std::string(out, count), "one");
  count = 0;
  ASSERT_EQ(view.Take(&out, &count), 1);
  EXPECT_EQ(std::string(out, count), "two");
  EXPECT_EQ(out, text + 5);
  view.Release();
}

TEST(LineBufferTest, AllocationFailureLeavesNoBlock) {
  LineBuffer buffer;
  FailAllocAfter(0);
  EXPECT_EQ(buffer.Allocate(16), 0);
  EXPECT_EQ(buffer.Capacity(), 0u);
  EXPECT_EQ(buffer.Append("a", 1), 0);
  ASSERT_EQ(buffer.Allocate(16), 1);
  EXPECT_EQ(buffer.Append("a", 1), 1);
}

}  // namespace
}  // namespace velmora::core
