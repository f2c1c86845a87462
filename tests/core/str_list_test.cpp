#include "core/str_list.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "tests/test_support.h"

namespace velmora::core {
namespace {

using platform::test::FailAllocAfter;

std::string ItemBytes(const StrList& list, int32_t index) {
  return std::string(list.Item(index), static_cast<size_t>(list.ItemLength(index)));
}

using testing_support::Items;

std::string RecordBytes(const StrList& list) { return testing_support::Text(list.Records()); }

TEST(StrListRecordsTest, LayoutIsBigEndianLengthBytesAndZero) {
  StrList list;
  ASSERT_EQ(list.Add("ab", 2), kOk);
  ASSERT_EQ(list.Add(nullptr, 0), kOk);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(RecordBytes(list), std::string("\x00\x00\x02\x61\x62\x00\x00\x00\x00\x00", 10));

  ASSERT_EQ(list.SetAtString(1, std::string(0x10203, 'z').c_str()), kOk);
  const std::string records = RecordBytes(list);
  EXPECT_EQ(records.substr(6, 3), std::string("\x01\x02\x03", 3));
}

TEST(StrListRecordsTest, ItemLengthLimitIs24Bits) {
  StrList list;
  const std::string big(StrList::kMaxItemLength + 1, 'x');
  EXPECT_EQ(list.Add(big.data(), StrList::kMaxItemLength + 1), kOutOfMemory);
  EXPECT_EQ(list.Count(), 0);
  ASSERT_EQ(list.Add(big.data(), StrList::kMaxItemLength), kOk);
  ASSERT_EQ(list.Add("tail", 4), kOk);
  EXPECT_EQ(list.ItemLength(0), StrList::kMaxItemLength);

  // Growing the last item past the limit would wrap its length and garble every later record.
  ASSERT_EQ(list.SetAtString(1, big.c_str() + 6), kOk);
  EXPECT_EQ(list.AppendToLast("123456"), kOutOfMemory);
  EXPECT_EQ(list.ItemLength(1), StrList::kMaxItemLength - 5);
  ASSERT_EQ(list.AppendToLast("12345"), kOk);
  EXPECT_EQ(list.ItemLength(1), StrList::kMaxItemLength);
  ASSERT_EQ(list.Add("after", 5), kOk);
  EXPECT_STREQ(list.Item(2), "after");
}

TEST(StrListEditTest, RemoveAtKeepsItemsWithZeroBytes) {
  StrList list;
  ASSERT_EQ(list.Add("a\0b", 3), kOk);
  ASSERT_EQ(list.Add("x\0\0yz", 5), kOk);
  ASSERT_EQ(list.Add("\0", 1), kOk);
  ASSERT_EQ(list.RemoveAt(0), kOk);
  EXPECT_EQ(Items(list), (std::vector<std::string>{std::string("x\0\0yz", 5), std::string("\0", 1)}));
  EXPECT_EQ(list.RemoveAt(2), kOutOfRange);
  EXPECT_EQ(list.RemoveAt(-1), kOutOfRange);
}

TEST(StrListEditTest, OutOfRangeReadsAndCounts) {
  StrList list;
  ASSERT_EQ(list.SetCount(3), kOk);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"", "", ""}));
  ASSERT_EQ(list.SetAtString(0, "a"), kOk);
  ASSERT_EQ(list.SetAtString(1, "b"), kOk);
  ASSERT_EQ(list.SetCount(2), kOk);
  EXPECT_EQ(RecordBytes(list), std::string("\0\0\1a\0\0\0\1b\0", 10));
  EXPECT_STREQ(list.Item(2), "");
  EXPECT_EQ(list.ItemLength(-1), 0);
  EXPECT_EQ(list.SetAt(2, "c", 1), kOutOfRange);
  EXPECT_EQ(list.IndexOf("b", 2), -1);
  EXPECT_EQ(list.IndexOf("B", 0), -1);
}

TEST(StrListEditTest, AppendToLastAndAliasedSources) {
  StrList list;
  ASSERT_EQ(list.AppendToLast("first"), kOk);
  EXPECT_EQ(list.Count(), 1);
  ASSERT_EQ(list.AppendToLast(nullptr), kOk);
  ASSERT_EQ(list.Add("x", 1), kOk);
  // Sources inside the list itself: the records may move while the list grows.
  for (int i = 0; i < 8; ++i) ASSERT_EQ(list.AppendToLast(list.Item(1)), kOk);
  EXPECT_EQ(list.ItemLength(1), 256);
  ASSERT_EQ(list.Add(list.Item(1), list.ItemLength(1)), kOk);
  ASSERT_EQ(list.SetAtString(0, list.Item(2)), kOk);
  EXPECT_EQ(ItemBytes(list, 0), std::string(256, 'x'));
  ASSERT_EQ(list.SetAtString(2, list.Item(0) + 250), kOk);
  EXPECT_EQ(ItemBytes(list, 2), std::string(6, 'x'));
}

TEST(StrListEditTest, NumbersInAndOut) {
  StrList list;
  ASSERT_EQ(list.AddInt64(INT64_MIN), kOk);
  ASSERT_EQ(list.SetAtInt(0, -2147483647), kOk);
  EXPECT_EQ(list.ItemAsInt(0), -2147483647);
  ASSERT_EQ(list.SetAtInt64(0, INT64_MIN), kOk);
  EXPECT_STREQ(list.Item(0), "-9223372036854775808");
  EXPECT_EQ(list.ItemAsInt64(0), INT64_MIN);
}

TEST(StrListEditTest, FailedGrowthChangesNothing) {
  StrList list;
  ASSERT_EQ(list.Add("keep", 4), kOk);
  const std::string long_text(500, 'l');
  FailAllocAfter(0, true);
  EXPECT_EQ(list.Add(long_text.data(), 500), kOutOfMemory);
  EXPECT_EQ(list.SetAtString(0, long_text.c_str()), kOutOfMemory);
  EXPECT_EQ(list.SetCount(100), kOutOfMemory);
  FailAllocAfter(-1);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"keep"}));
}

// Random edits against a vector model: every indexed read must see the current records, however the
// list remembers its last position.
TEST(StrListEditTest, RandomEditsMatchAVector) {
  std::mt19937 random(2024);
  StrList list;
  std::vector<std::string> model;
  for (int step = 0; step < 4000; ++step) {
    const int32_t size = static_cast<int32_t>(model.size());
    const int32_t index = size == 0 ? 0 : static_cast<int32_t>(random() % size);
    std::string text(random() % 40, static_cast<char>('a' + step % 26));
    if (!text.empty() && random() % 4 == 0) text[random() % text.size()] = '\0';
    switch (random() % 6) {
      case 0:
      case 1:
        ASSERT_EQ(list.Add(text.data(), static_cast<int32_t>(text.size())), kOk);
        model.push_back(text);
        break;
      case 2:
        if (size == 0) break;
        ASSERT_EQ(list.SetAt(index, text.data(), static_cast<int32_t>(text.size())), kOk);
        model[index] = text;
        break;
      case 3:
        if (size == 0) break;
        ASSERT_EQ(list.RemoveAt(index), kOk);
        model.erase(model.begin() + index);
        break;
      case 4:
        if (size == 0) break;
        text = text.c_str();
        ASSERT_EQ(list.AppendToLast(text.c_str()), kOk);
        model.back() += text;
        break;
      default:
        ASSERT_EQ(list.SetCount(index), kOk);
        model.resize(index);
        break;
    }
    const int32_t probe = model.empty() ? 0 : static_cast<int32_t>(random() % model.size());
    ASSERT_EQ(list.Count(), static_cast<int32_t>(model.size()));
    if (!model.empty()) {
      ASSERT_EQ(ItemBytes(list, probe), model[probe]);
    }
  }
  EXPECT_EQ(Items(list), model);
}

TEST(SplitToStringListTest, TrimsPiecesAndSkipsEmptyOnes) {
  StrList list;
  ASSERT_EQ(SplitToStringList(list, " a , b ,, c ", ",", 1, 1), kOk);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "b", "c"}));
  ASSERT_EQ(SplitToStringList(list, " a , b ,, c ", ",", 0, 1), kOk);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "b", "", "c"}));
  ASSERT_EQ(SplitToStringList(list, " a :: b ", "::", 0, 0), kOk);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"a", " b "}));
  ASSERT_EQ(SplitToStringList(list, "a,", ",", 0, 1), kOk);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"a", ""}));
  ASSERT_EQ(SplitToStringList(list, nullptr, ",", 1, 1), kOk);
  EXPECT_EQ(list.Count(), 0);
  ASSERT_EQ(SplitToStringList(list, "a,b", "", 1, 1), kOk);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"a,b"}));
}

}  // namespace
}  // namespace velmora::core
