// Small growable vectors kept inside a Buffer: Buffer20List (owned Buffer20 texts), CellList (owned
// 8-byte cells), BufferValueList (plain 64-bit or 32-bit values with a fill value) and a plain bit set.
//
// The pointer vectors store one 8-byte pointer per item in their Buffer, so the item count is the
// Buffer's length / 8. None of these is locked; each belongs to one object and one thread at a time.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/buffer.h"

namespace velmora::core {

// Buffer20List is a vector of heap-allocated Buffer20 texts that it owns.
class Buffer20List {
 public:
  Buffer20List() = default;
  ~Buffer20List();
  Buffer20List(const Buffer20List&) = delete;
  Buffer20List& operator=(const Buffer20List&) = delete;

  int32_t Count() const { return slots_.PointerCount(); }

  // AddNew appends a new empty Buffer20 and returns it (owned by the list), or null when memory runs
  // out (the list is then unchanged).
  Buffer20* AddNew();
  // Add appends a new Buffer20 holding count bytes; 0, or 200 when memory runs out (nothing is added).
  [[nodiscard]] int Add(const void* bytes, int32_t count);
  // ItemText returns the text of item index; the empty text for an empty slot or an index out of range.
  const char* ItemText(int32_t index) const;
  // Get returns the item at index, null when index is out of range.
  Buffer20* Get(int32_t index) const;
  // Last returns the last item, null for an empty list.
  Buffer20* Last() const { return Get(Count() - 1); }
  // Clear destroys every item and empties the vector.
  void Clear();

 private:
  Buffer slots_;
};

// CellList is a vector of separately allocated, owned 8-byte cells, each holding one pointer (the
// explicit stacks of the document walkers keep node pointers in them).
class CellList {
 public:
  CellList() = default;
  ~CellList();
  CellList(const CellList&) = delete;
  CellList& operator=(const CellList&) = delete;

  int32_t Count() const { return slots_.PointerCount(); }

  // Push appends a new cell holding null and returns it, or null when memory runs out (nothing is
  // appended).
  void** Push();
  // Get returns the cell at index, null when index is out of range.
  void** Get(int32_t index) const;
  // RemoveAt releases the cell at index and closes the gap; -1 for an index out of range or an empty
  // slot, else 0.
  [[nodiscard]] int RemoveAt(int32_t index);
  // FreeAll releases every cell and empties the vector.
  void FreeAll();

 private:
  Buffer slots_;
};

// BufferValueList is a vector of plain values (uint64_t or uint32_t) held in a Buffer whose length is
// the reserved room, not the count. New slots receive the fill value, which is also what Get returns
// for an index out of range.
template <typename V>
class BufferValueList {
  static_assert(sizeof(V) == 8 || sizeof(V) == 4, "64-bit or 32-bit values");

 public:
  BufferValueList() = default;
  explicit BufferValueList(V fill) : fill_(fill) {}
  BufferValueList(const BufferValueList&) = delete;
  BufferValueList& operator=(const BufferValueList&) = delete;

  int32_t Count() const { return count_; }
  V Fill() const { return fill_; }
  void SetFill(V fill) { fill_ = fill; }

  // Append adds value at the end; 0 or 200 (the list is then unchanged).
  [[nodiscard]] int Append(V value) {
    if (count_ == INT32_MAX) return kOutOfMemory;
    int rc = SetCount(count_ + 1);
    if (rc == kOk) Store(count_ - 1, value);
    return rc;
  }

  // AppendAll copies the values of other behind this list's values; 0 or 200 (nothing changes then).
  [[nodiscard]] int AppendAll(const BufferValueList& other) {
    if (other.count_ == 0) return kOk;
    const int64_t total = static_cast<int64_t>(count_) + other.count_;
    if (total > INT32_MAX / static_cast<int32_t>(sizeof(V))) return kOutOfMemory;
    // other may be this list: take its values after the storage has grown.
    const int32_t other_count = other.count_;
    int rc = Grow(static_cast<int32_t>(total));
    if (rc != kOk) return rc;
    std::memmove(storage_.Data() + Offset(count_), other.storage_.Data(), Offset(other_count));
    count_ = static_cast<int32_t>(total);
    return kOk;
  }

  // SetCount makes the count n (a negative n counts as 0); new slots get the fill value. 0 or 200
  // (nothing changes then).
  [[nodiscard]] int SetCount(int32_t n) {
    if (n < 0) n = 0;
    if (n > INT32_MAX / static_cast<int32_t>(sizeof(V))) return kOutOfMemory;
    int rc = Grow(n);
    if (rc != kOk) return rc;
    for (int32_t i = count_; i < n; ++i) Store(i, fill_);
    count_ = n;
    return kOk;
  }

  // Get returns the value at index, the fill value when index is out of range.
  V Get(int32_t index) const {
    if (index < 0 || index >= count_) return fill_;
    V value;
    std::memcpy(&value, storage_.Data() + Offset(index), sizeof value);
    return value;
  }

  // SetAt replaces the value at index; an index out of range is ignored.
  void SetAt(int32_t index, V value) {
    if (index >= 0 && index < count_) Store(index, value);
  }

  // RemoveAt removes the value at index, moving the later ones down; 0, or 432 for an index out of
  // range (nothing changes then).
  int RemoveAt(int32_t index) {
    if (index < 0 || index >= count_) return kOutOfRange;
    char* base = storage_.Data();
    std::memmove(base + Offset(index), base + Offset(index + 1), Offset(count_ - index - 1));
    --count_;
    return kOk;
  }

 private:
  static size_t Offset(int32_t index) { return static_cast<size_t>(index) * sizeof(V); }
  int Grow(int32_t n) { return sizeof(V) == 8 ? storage_.GrowU64Array(n) : storage_.GrowU32Array(n); }
  void Store(int32_t index, V value) { std::memcpy(storage_.Data() + Offset(index), &value, sizeof value); }

  Buffer storage_;
  V fill_ = 0;
  int32_t count_ = 0;
};

// BufferPtrList holds 64-bit values (pointers and handles); BufferPtrList32 is its 32-bit twin.
using BufferPtrList = BufferValueList<uint64_t>;
using BufferPtrList32 = BufferValueList<uint32_t>;

// BitSet is a view of an array of 64-bit words: bit i is bit (i mod 64) of word i / 64. The caller owns
// the words and guarantees that they reach every index used.
class BitSet {
 public:
  explicit BitSet(uint64_t* words) : words_(words) {}
  void Set(int32_t index) { words_[index / 64] |= uint64_t{1} << (index % 64); }
  int Test(int32_t index) const { return (words_[index / 64] >> (index % 64)) & 1 ? 1 : 0; }

 private:
  uint64_t* words_;
};

}  // namespace velmora::core
