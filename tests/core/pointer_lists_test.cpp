#include "core/pointer_lists.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/memory.h"

namespace velmora::core {
namespace {

using platform::test::FailAllocAfter;

TEST(Buffer20ListTest, OwnsItsTextsAndAnswersOutOfRangeReads) {
  Buffer20List list;
  EXPECT_EQ(list.Last(), nullptr);
  ASSERT_EQ(list.Add("abc", 3), kOk);
  const std::string long_text(300, 'q');  // beyond the inline 20 bytes
  ASSERT_EQ(list.Add(long_text.data(), static_cast<int32_t>(long_text.size())), kOk);
  for (int i = 0; i < 100; ++i) ASSERT_NE(list.AddNew(), nullptr);
  EXPECT_EQ(list.ItemText(1), long_text);
  EXPECT_STREQ(list.ItemText(-1), "");
  EXPECT_STREQ(list.ItemText(102), "");
  EXPECT_EQ(list.Get(102), nullptr);

  FailAllocAfter(0);
  EXPECT_EQ(list.AddNew(), nullptr);
  FailAllocAfter(1);  // the item, its slot or its text block fails
  EXPECT_EQ(list.Add(long_text.data(), static_cast<int32_t>(long_text.size())), kOutOfMemory);
  FailAllocAfter(-1);
  EXPECT_EQ(list.Count(), 102);
}

TEST(CellListTest, RemovalClosesTheGapAndRejectsBadIndexes) {
  CellList cells;
  int nodes[5];
  for (int& node : nodes) {
    void** cell = cells.Push();
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(*cell, nullptr);
    *cell = &node;
  }
  EXPECT_EQ(cells.RemoveAt(-1), -1);
  EXPECT_EQ(cells.RemoveAt(5), -1);
  ASSERT_EQ(cells.RemoveAt(1), kOk);
  ASSERT_EQ(cells.Count(), 4);
  EXPECT_EQ(*cells.Get(0), &nodes[0]);
  EXPECT_EQ(*cells.Get(1), &nodes[2]);
  EXPECT_EQ(*cells.Get(3), &nodes[4]);
  FailAllocAfter(0);
  EXPECT_EQ(cells.Push(), nullptr);
  FailAllocAfter(-1);
  EXPECT_EQ(cells.Count(), 4);
  cells.FreeAll();
}

template <typename V>
void CheckValueList() {
  const V fill = static_cast<V>(0xF1F2F3F4F5F6F7F8ull);
  BufferValueList<V> list(fill);
  ASSERT_EQ(list.Append(7), kOk);
  ASSERT_EQ(list.SetCount(3), kOk);
  EXPECT_EQ(list.Get(0), V{7});
  EXPECT_EQ(list.Get(2), fill);
  EXPECT_EQ(list.Get(3), fill);
  EXPECT_EQ(list.Get(-1), fill);
  list.SetAt(3, 1);  // out of range: ignored
  list.SetAt(1, 11);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(list.Append(static_cast<V>(100 + i)), kOk);
  ASSERT_EQ(list.AppendAll(list), kOk);
  ASSERT_EQ(list.Count(), 206);
  EXPECT_EQ(list.Get(103), V{7});
  EXPECT_EQ(list.Get(205), V{199});
  ASSERT_EQ(list.RemoveAt(0), kOk);
  EXPECT_EQ(list.Get(0), V{11});
  EXPECT_EQ(list.RemoveAt(205), kOutOfRange);
  // Shrinking and growing again refills the slots rather than showing the old values.
  ASSERT_EQ(list.SetCount(1), kOk);
  ASSERT_EQ(list.SetCount(2), kOk);
  EXPECT_EQ(list.Get(1), fill);
}

TEST(BufferPtrListTest, NewSlotsGetTheFillValue) {
  CheckValueList<uint64_t>();
  CheckValueList<uint32_t>();
}

}  // namespace
}  // namespace velmora::core
