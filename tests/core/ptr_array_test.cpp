#include "core/ptr_array.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/memory.h"

namespace velmora::core {
namespace {

using platform::test::FailAllocAfter;

// Counted keeps a tally of live instances so that tests can prove every element is destroyed once.
struct Counted {
  static inline int live = 0;
  int value = 0;
  Counted() { ++live; }
  explicit Counted(int v) : value(v) { ++live; }
  Counted(const Counted& other) : value(other.value) { ++live; }
  ~Counted() { --live; }
};

class PtrArrayTest : public ::testing::Test {
 protected:
  void SetUp() override { Counted::live = 0; }
  void TearDown() override {
    FailAllocAfter(-1);
    EXPECT_EQ(Counted::live, 0) << "an element leaked or was destroyed twice";
  }
};

using CountedArray = PtrArray<Counted>;

// Fill gives every slot of the array an element whose value is its index.
void Fill(CountedArray& array) {
  for (int32_t i = 0; i < array.Count(); ++i) array.GetOrCreate(i)->value = i;
}

TEST_F(PtrArrayTest, GrowsPastInlineSlotsToTwiceTheCountAndMovesBackInline) {
  CountedArray array;
  EXPECT_EQ(array.Capacity(), 20);
  ASSERT_EQ(array.SetCount(21), kOk);
  EXPECT_EQ(array.Capacity(), 42);
  EXPECT_FALSE(array.IsInline());
  for (int32_t i = 0; i < 21; ++i) EXPECT_EQ(array.Get(i), nullptr);
  Fill(array);
  Counted* first = array.Get(0);

  ASSERT_EQ(array.SetCount(20), kOk);
  EXPECT_TRUE(array.IsInline());
  EXPECT_EQ(array.Capacity(), 20);
  EXPECT_EQ(Counted::live, 20);
  EXPECT_EQ(array.Get(0), first);
  EXPECT_EQ(array.Get(19)->value, 19);
  EXPECT_EQ(array.Get(20), nullptr);
}

TEST_F(PtrArrayTest, ShrinkingAboveInlineSizeKeepsTheSlotBlock) {
  CountedArray array;
  ASSERT_EQ(array.SetCount(40), kOk);
  EXPECT_EQ(array.Capacity(), 80);
  Fill(array);
  ASSERT_EQ(array.SetCount(30), kOk);
  EXPECT_EQ(array.Capacity(), 80);
  EXPECT_EQ(array.Count(), 30);
  EXPECT_EQ(Counted::live, 30);
  EXPECT_EQ(array.Get(29)->value, 29);
  ASSERT_EQ(array.SetCount(-5), kOk);
  EXPECT_EQ(array.Count(), 0);
  EXPECT_EQ(Counted::live, 0);
}

TEST_F(PtrArrayTest, InsertAtClampsToTheEndAndRejectsNegativeIndexes) {
  CountedArray array;
  Counted source(7);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(array.InsertAt(i, Counted(i)), kOk);
  ASSERT_EQ(array.InsertAt(100, source), kOk);
  ASSERT_EQ(array.Count(), 4);
  EXPECT_EQ(array.Get(3)->value, 7);
  EXPECT_NE(array.Get(3), &source);

  EXPECT_EQ(array.InsertAt(-1, source), -1);
  EXPECT_EQ(array.Count(), 4);

  ASSERT_EQ(array.InsertAt(1, Counted(9)), kOk);
  const int expected[] = {0, 9, 1, 2, 7};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(array.Get(i)->value, expected[i]);
}

TEST_F(PtrArrayTest, ReadsAndRemovalsOutsideTheCountChangeNothing) {
  CountedArray array;
  EXPECT_EQ(array.LastOrCreate(), nullptr);
  ASSERT_EQ(array.SetCount(5), kOk);
  EXPECT_EQ(array.GetOrCreate(5), nullptr);
  EXPECT_EQ(array.GetOrCreate(-1), nullptr);
  EXPECT_EQ(Counted::live, 0);
  Fill(array);
  EXPECT_EQ(array.RemoveAt(5), kOk);
  EXPECT_EQ(array.RemoveAt(-1), kOk);
  EXPECT_EQ(array.Count(), 5);
  EXPECT_EQ(array.LastOrCreate()->value, 4);
  ASSERT_EQ(array.RemoveAt(0), kOk);
  EXPECT_EQ(array.Get(0)->value, 1);
  EXPECT_EQ(array.Get(4), nullptr);
  EXPECT_EQ(Counted::live, 4);
}

TEST_F(PtrArrayTest, RandomInsertionsAndRemovalsMatchAVector) {
  std::mt19937 random(12345);
  CountedArray array;
  std::vector<int> model;
  for (int step = 0; step < 3000; ++step) {
    const int action = static_cast<int>(random() % 3);
    if (action < 2) {
      const int32_t index = static_cast<int32_t>(random() % (model.size() + 3));
      const int value = static_cast<int>(random() % 100000);
      ASSERT_EQ(array.InsertAt(index, Counted(value)), kOk);
      model.insert(model.begin() + std::min<size_t>(index, model.size()), value);
    } else if (!model.empty()) {
      const int32_t index = static_cast<int32_t>(random() % model.size());
      ASSERT_EQ(array.RemoveAt(index), kOk);
      model.erase(model.begin() + index);
    }
    if (step % 97 == 0) {
      ASSERT_EQ(array.SetCount(array.Count() / 2), kOk);
      model.resize(model.size() / 2);
    }
    ASSERT_EQ(array.Count(), static_cast<int32_t>(model.size()));
    ASSERT_LE(array.Count(), array.Capacity());
    ASSERT_EQ(array.IsInline(), array.Capacity() == 20);
  }
  for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(array.Get(static_cast<int32_t>(i))->value, model[i]);
  EXPECT_EQ(Counted::live, static_cast<int>(model.size()));
}

TEST_F(PtrArrayTest, FailedGrowthLeavesTheArrayUntouched) {
  CountedArray array;
  for (int i = 0; i < 20; ++i) ASSERT_EQ(array.InsertAt(i, Counted(i)), kOk);
  Counted* fifth = array.Get(5);

  FailAllocAfter(0);  // the slot block for 21 elements
  EXPECT_EQ(array.InsertAt(0, Counted(99)), kOutOfMemory);
  EXPECT_EQ(array.Count(), 20);
  EXPECT_TRUE(array.IsInline());
  EXPECT_EQ(array.Get(5), fifth);
  EXPECT_EQ(Counted::live, 20);

  ASSERT_EQ(array.SetCount(30), kOk);
  FailAllocAfter(0);
  EXPECT_EQ(array.SetCount(100), kOutOfMemory);
  EXPECT_EQ(array.Count(), 30);
  EXPECT_EQ(array.Get(5), fifth);
  EXPECT_EQ(array.Capacity(), 60);
}

TEST_F(PtrArrayTest, FailedCopyOrCreationLeavesNoTrace) {
  CountedArray array;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(array.InsertAt(i, Counted(i)), kOk);
  FailAllocAfter(0);  // the element copy
  EXPECT_EQ(array.InsertAt(1, Counted(42)), kOutOfMemory);
  ASSERT_EQ(array.Count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(array.Get(i)->value, i);

  ASSERT_EQ(array.SetCount(4), kOk);
  FailAllocAfter(0);
  EXPECT_EQ(array.GetOrCreate(3), nullptr);
  EXPECT_EQ(array.Get(3), nullptr);
  EXPECT_NE(array.GetOrCreate(3), nullptr);
}

TEST_F(PtrArrayTest, BufferElementsAreCopiedByContent) {
  PtrArray<Buffer> array;
  Buffer source;
  ASSERT_EQ(source.SetString("first"), kOk);
  ASSERT_EQ(array.InsertAt(0, source), kOk);
  ASSERT_EQ(source.SetString("changed"), kOk);
  EXPECT_STREQ(array.LastText(), "first");
  ASSERT_EQ(array.SetCount(2), kOk);

  // A long text needs a heap block of its own: when that fails, nothing is inserted.
  ASSERT_EQ(source.AppendRepeatedByte(500, 'x'), kOk);
  FailAllocAfter(1);  // the element itself succeeds, its content block fails
  EXPECT_EQ(array.InsertAt(0, source), kOutOfMemory);
  FailAllocAfter(-1);
  EXPECT_EQ(array.Count(), 2);
  ASSERT_EQ(array.InsertAt(0, source), kOk);
  EXPECT_EQ(array.Get(0)->Length(), source.Length());
}

// NotificationLikeEntry sets up a new entry the way the queued notifications do: some fields all ones.
struct NotificationLikeEntry {
  static inline int live = 0;
  void* callback = nullptr;
  int64_t socket = -1;
  int32_t event_kind = -1;
  NotificationLikeEntry() { ++live; }
  ~NotificationLikeEntry() { --live; }
};

TEST(SlotArrayTest, ResizesAsAWholeWithFreshEntries) {
  NotificationLikeEntry::live = 0;
  {
    SlotArray<NotificationLikeEntry> queue;
    ASSERT_EQ(queue.SetCount(3), kOk);
    ASSERT_EQ(queue.Count(), 3);
    for (int32_t i = 0; i < 3; ++i) {
      EXPECT_EQ(queue.Get(i)->socket, -1);
      EXPECT_EQ(queue.Get(i)->event_kind, -1);
    }
    NotificationLikeEntry* first = queue.Get(0);
    EXPECT_EQ(queue.CreateEntry(0), kOk);  // a filled slot is left alone
    EXPECT_EQ(queue.Get(0), first);
    ASSERT_EQ(queue.SetCount(1), kOk);
    EXPECT_EQ(NotificationLikeEntry::live, 1);
    ASSERT_EQ(queue.SetCount(-1), kOk);
    EXPECT_EQ(NotificationLikeEntry::live, 0);
    ASSERT_EQ(queue.SetCount(4), kOk);
  }
  EXPECT_EQ(NotificationLikeEntry::live, 0);
}

TEST(SlotArrayTest, FailedEntryLeavesLaterSlotsEmptyUntilCreated) {
  NotificationLikeEntry::live = 0;
  SlotArray<NotificationLikeEntry> queue;
  FailAllocAfter(1);  // the slot vector stays inline; the first entry succeeds, the second fails
  EXPECT_EQ(queue.SetCount(3), kOutOfMemory);
  FailAllocAfter(-1);
  ASSERT_EQ(queue.Count(), 3);
  EXPECT_NE(queue.Get(0), nullptr);
  EXPECT_EQ(queue.Get(1), nullptr);
  EXPECT_EQ(queue.Get(2), nullptr);
  EXPECT_EQ(queue.CreateEntry(1), kOk);
  EXPECT_EQ(queue.CreateEntry(3), kOutOfRange);
  EXPECT_EQ(NotificationLikeEntry::live, 2);
}

}  // namespace
}  // namespace velmora::core
