// PtrArray: the owning array of pointers behind every collection of objects (discovered GATT records,
// platform references, GUIDs, certificates, key records...), and SlotArray, a Buffer-held vector of
// owned entries resized as a whole.
//
// An array owns every element its slots point to and destroys it when it leaves the array. Up to 20
// elements live in inline slots; beyond that the slots are one heap block sized to twice the requested
// count, so a run of single insertions reallocates only when the count passes the capacity. None of
// these containers is locked: each belongs to one object and is used by one thread at a time.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "core/buffer.h"
#include "core/numbers.h"
#include "platform/memory.h"

namespace velmora::core {

// PtrArrayTraits says how an element is made, copied and destroyed. The default makes elements with
// T's default constructor in a platform::Alloc block and copies them with T's copy constructor, or,
// for a type that cannot be copied but has `int Assign(const T&)` (the buffers), by default
// construction followed by Assign. Create and Copy return null when memory runs out.
template <typename T>
struct PtrArrayTraits {
  static_assert(alignof(T) <= alignof(std::max_align_t), "element alignment above the allocator's");

  static T* Create() {
    void* block = platform::Alloc(sizeof(T));
    return block == nullptr ? nullptr : new (block) T();
  }

  static T* Copy(const T& source) {
    if constexpr (std::is_copy_constructible_v<T>) {
      void* block = platform::Alloc(sizeof(T));
      return block == nullptr ? nullptr : new (block) T(source);
    } else {
      T* element = Create();
      if (element != nullptr && element->Assign(source) != kOk) {
        Destroy(element);
        return nullptr;
      }
      return element;
    }
  }

  static void Destroy(T* element) {
    element->~T();
    platform::Free(element, sizeof(T));
  }
};

// PtrArray is an owning array of pointers to T. Slots below Count() may be null (a grown array gets
// null slots until they are filled); slots at or above Count() are always null.
template <typename T, typename Traits = PtrArrayTraits<T>>
class PtrArray {
 public:
  static constexpr int32_t kInlineSlots = 20;

  PtrArray() { std::memset(inline_, 0, sizeof inline_); }
  ~PtrArray() { Clear(); }
  PtrArray(const PtrArray&) = delete;
  PtrArray& operator=(const PtrArray&) = delete;

  int32_t Count() const { return count_; }
  int32_t Capacity() const { return capacity_; }
  bool IsInline() const { return heap_ == nullptr; }

  // Get returns the element of slot index without creating it; null for an empty slot or an index
  // outside 0 .. Count() - 1.
  T* Get(int32_t index) const { return index >= 0 && index < count_ ? Slots()[index] : nullptr; }

  // Clear destroys every element, gives up the slot block and returns 0.
  int Clear() {
    T** slots = Slots();
    for (int32_t i = 0; i < count_; ++i) {
      if (slots[i] != nullptr) Traits::Destroy(slots[i]);
      slots[i] = nullptr;
    }
    if (heap_ != nullptr) FreeBlock(heap_, capacity_);
    heap_ = nullptr;
    count_ = 0;
    capacity_ = kInlineSlots;
    return kOk;
  }

  // SetCount makes the count n (a negative n counts as 0): elements at n and above are destroyed, new
  // slots are null. Returns 0, or 200 when a larger slot block cannot be allocated; the array is then
  // unchanged.
  [[nodiscard]] int SetCount(int32_t n) {
    if (n < 0) n = 0;
    if (n > kInlineSlots && n > capacity_) {
      if (n > INT32_MAX / 2) return kOutOfMemory;
      const int32_t new_capacity = 2 * n;
      auto** block = static_cast<T**>(platform::Alloc(SlotBytes(new_capacity)));
      if (block == nullptr) return kOutOfMemory;
      std::memset(block, 0, SlotBytes(new_capacity));
      // Without a heap block the live slots are inline, so never more than kInlineSlots of them.
      const int32_t live = heap_ != nullptr ? count_ : std::min(count_, kInlineSlots);
      std::memcpy(block, Slots(), SlotBytes(live));
      if (heap_ != nullptr) {
        FreeBlock(heap_, capacity_);
      } else {
        std::memset(inline_, 0, sizeof inline_);
      }
      heap_ = block;
      capacity_ = new_capacity;
    }
    T** slots = Slots();
    for (int32_t i = n; i < count_; ++i) {
      if (slots[i] != nullptr) Traits::Destroy(slots[i]);
      slots[i] = nullptr;
    }
    // The slot block is only given up when the count falls to the inline size.
    if (n <= kInlineSlots && heap_ != nullptr) {
      std::memcpy(inline_, heap_, SlotBytes(n));
      FreeBlock(heap_, capacity_);
      heap_ = nullptr;
      capacity_ = kInlineSlots;
    }
    count_ = n;
    return kOk;
  }

  // InsertAt inserts a copy of source (Traits::Copy) at index; an index at or beyond the count
  // appends. Returns 0; -1 for a negative index; 200 when the array cannot grow or the copy cannot
  // be made. Every failure leaves the array as it was; the caller keeps its own source.
  template <typename Source = T>
  [[nodiscard]] int InsertAt(int32_t index, const Source& source) {
    if (index < 0) return -1;
    if (count_ == INT32_MAX) return kOutOfMemory;
    const int32_t old_count = count_;
    int rc = SetCount(old_count + 1);
    if (rc != kOk) return rc;
    if (index > old_count) index = old_count;
    T** slots = Slots();
    std::memmove(slots + index + 1, slots + index, SlotBytes(old_count - index));
    slots[index] = Traits::Copy(source);
    if (slots[index] == nullptr) {
      std::memmove(slots + index, slots + index + 1, SlotBytes(old_count - index));
      slots[old_count] = nullptr;
      (void)SetCount(old_count);  // shrinking never allocates
      return kOutOfMemory;
    }
    return kOk;
  }

  // GetOrCreate returns the element of slot index, made with Traits::Create when the slot is null.
  // Null for an index outside 0 .. Count() - 1 (callers size the array with SetCount first) and when
  // memory runs out (the slot then stays null).
  T* GetOrCreate(int32_t index) {
    if (index < 0 || index >= count_) return nullptr;
    T*& slot = Slots()[index];
    if (slot == nullptr) slot = Traits::Create();
    return slot;
  }

  // LastOrCreate is GetOrCreate(Count() - 1): null for an empty array, which is not grown.
  T* LastOrCreate() { return count_ == 0 ? nullptr : GetOrCreate(count_ - 1); }

  // LastText, for arrays of buffers, returns null for an empty array, the empty text for an empty last
  // slot, else the last element's data (valid until that element changes).
  const char* LastText() const
    requires std::is_base_of_v<BufferCore, T>
  {
    if (count_ == 0) return nullptr;
    const T* last = Slots()[count_ - 1];
    return last == nullptr ? kEmptyText : last->Data();
  }

  // Reorder moves the elements so that slot i holds the element that was in slot order[i]; order must be
  // a permutation of 0 .. Count() - 1. 0, or 200 with nothing moved.
  [[nodiscard]] int Reorder(const int32_t* order) {
    if (count_ == 0) return kOk;
    auto** moved = static_cast<T**>(platform::Alloc(SlotBytes(count_)));
    if (moved == nullptr) return kOutOfMemory;
    T** slots = Slots();
    for (int32_t i = 0; i < count_; ++i) moved[i] = slots[order[i]];
    std::memcpy(slots, moved, SlotBytes(count_));
    platform::Free(moved, SlotBytes(count_));
    return kOk;
  }

  // RemoveAt destroys the element at index and moves every later slot down one place; an index
  // outside 0 .. Count() - 1 changes nothing. Returns 0.
  int RemoveAt(int32_t index) {
    if (index < 0 || index >= count_) return kOk;
    T** slots = Slots();
    if (slots[index] != nullptr) Traits::Destroy(slots[index]);
    std::memmove(slots + index, slots + index + 1, SlotBytes(count_ - index - 1));
    --count_;
    slots[count_] = nullptr;
    return kOk;
  }

 private:
  static size_t SlotBytes(int32_t n) { return static_cast<size_t>(n) * sizeof(T*); }
  static void FreeBlock(T** block, int32_t capacity) { platform::Free(block, SlotBytes(capacity)); }
  T** Slots() { return heap_ != nullptr ? heap_ : inline_; }
  T* const* Slots() const { return heap_ != nullptr ? heap_ : inline_; }

  int32_t count_ = 0;
  int32_t capacity_ = kInlineSlots;
  T* inline_[kInlineSlots];
  T** heap_ = nullptr;
};

// GuidArray holds the UUIDs of an advertisement and of a scan filter; GetOrCreate makes a zeroed GUID.
using GuidArray = PtrArray<Guid>;

// SlotArrayTraits makes an entry with Entry's default constructor (which sets up a new entry as its
// array requires) and destroys it with its destructor; Create returns null when memory runs out.
template <typename Entry>
struct SlotArrayTraits {
  static Entry* Create() { return PtrArrayTraits<Entry>::Create(); }
  static void Destroy(Entry* entry) { PtrArrayTraits<Entry>::Destroy(entry); }
};

// SlotArray is a vector of owned entries held in a Buffer, 8 bytes per slot (count = length / 8). It is
// resized as a whole and every new slot receives a fresh entry.
template <typename Entry, typename Traits = SlotArrayTraits<Entry>>
class SlotArray {
  static_assert(sizeof(Entry*) == 8, "slots are 8 bytes");

 public:
  SlotArray() = default;
  ~SlotArray() {
    (void)SetCount(0);
    slots_.Clear();
  }
  SlotArray(const SlotArray&) = delete;
  SlotArray& operator=(const SlotArray&) = delete;

  int32_t Count() const { return slots_.PointerCount(); }

  // Get returns the entry at index, null for an empty slot or an index out of range.
  Entry* Get(int32_t index) const {
    if (index < 0 || index >= Count()) return nullptr;
    Entry* entry;
    std::memcpy(&entry, slots_.Data() + static_cast<size_t>(index) * 8, sizeof entry);
    return entry;
  }

  // SetCount makes the count n (a negative n counts as 0). Growing gives every new slot a fresh entry;
  // 200 when the vector cannot grow (nothing changes) or when an entry cannot be made (the count is
  // then n, the entries made so far in place and the later new slots null). Shrinking destroys the
  // entries at n and above.
  [[nodiscard]] int SetCount(int32_t n) {
    if (n < 0) n = 0;
    const int32_t old_count = Count();
    if (n == old_count) return kOk;
    if (n > old_count) {
      if (n > INT32_MAX / 8) return kOutOfMemory;
      int rc = slots_.SetData(n * 8, nullptr);
      if (rc != kOk) return rc;
      std::memset(slots_.Data() + static_cast<size_t>(old_count) * 8, 0,
                  static_cast<size_t>(n - old_count) * 8);
      for (int32_t i = old_count; i < n; ++i) {
        if (CreateEntry(i) != kOk) return kOutOfMemory;
      }
      return kOk;
    }
    for (int32_t i = n; i < old_count; ++i) {
      Entry* entry = Get(i);
      if (entry != nullptr) Traits::Destroy(entry);
      Store(i, nullptr);
    }
    return slots_.SetData(n * 8, nullptr);
  }

  // CreateEntry fills an empty slot with a fresh entry; 0 when the slot already holds one (it is left
  // unchanged), 200 when memory runs out (the slot stays null), 432 for an index out of range.
  [[nodiscard]] int CreateEntry(int32_t index) {
    if (index < 0 || index >= Count()) return kOutOfRange;
    if (Get(index) != nullptr) return kOk;
    Entry* entry = Traits::Create();
    if (entry == nullptr) return kOutOfMemory;
    Store(index, entry);
    return kOk;
  }

  // RemoveAt destroys the entry of slot index and empties the slot; later slots keep their places.
  // Ignored for an empty slot or an index out of range. Returns 0.
  int RemoveAt(int32_t index) {
    Entry* entry = Get(index);
    if (entry == nullptr) return kOk;
    Traits::Destroy(entry);
    Store(index, nullptr);
    return kOk;
  }

 private:
  void Store(int32_t index, Entry* entry) {
    std::memcpy(slots_.Data() + static_cast<size_t>(index) * 8, &entry, sizeof entry);
  }

  Buffer slots_;
};

}  // namespace velmora::core
