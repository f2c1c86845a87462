#include "core/pointer_lists.h"

#include <climits>
#include <new>

#include "platform/memory.h"

namespace velmora::core {

namespace {

constexpr int32_t kSlot = 8;
static_assert(sizeof(void*) == kSlot, "pointer vectors hold 8-byte pointers");

void* LoadSlot(const BufferCore& slots, int32_t index) {
  void* pointer;
  std::memcpy(&pointer, slots.Data() + static_cast<size_t>(index) * kSlot, sizeof pointer);
  return pointer;
}

void StoreSlot(BufferCore& slots, int32_t index, const void* pointer) {
  std::memcpy(slots.Data() + static_cast<size_t>(index) * kSlot, &pointer, sizeof pointer);
}

// PushSlot grows the vector by one slot holding pointer; 0 or 200 (the vector is then unchanged).
int PushSlot(BufferCore& slots, const void* pointer) {
  const int32_t count = slots.PointerCount();
  if (count >= INT32_MAX / kSlot - 1) return kOutOfMemory;
  int rc = slots.SetData((count + 1) * kSlot, nullptr);
  if (rc == kOk) StoreSlot(slots, count, pointer);
  return rc;
}

void DestroyBuffer20(Buffer20* item) {
  item->Clear();
  item->~Buffer20();
  platform::Free(item, sizeof(Buffer20));
}

}  // namespace

// ---- Buffer20List ------------------------------------------------------------------------------------

Buffer20List::~Buffer20List() { Clear(); }

Buffer20* Buffer20List::AddNew() {
  void* block = platform::Alloc(sizeof(Buffer20));
  if (block == nullptr) return nullptr;
  auto* item = new (block) Buffer20();
  if (PushSlot(slots_, item) != kOk) {
    DestroyBuffer20(item);
    return nullptr;
  }
  return item;
}

int Buffer20List::Add(const void* bytes, int32_t count) {
  Buffer20* item = AddNew();
  if (item == nullptr) return kOutOfMemory;
  int rc = item->Append(bytes, count);
  if (rc != kOk) {
    // Take the half-made item back out so that a failed Add adds nothing.
    DestroyBuffer20(item);
    (void)slots_.SetData(slots_.Length() - kSlot, nullptr);
  }
  return rc;
}

Buffer20* Buffer20List::Get(int32_t index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return static_cast<Buffer20*>(LoadSlot(slots_, index));
}

const char* Buffer20List::ItemText(int32_t index) const {
  const Buffer20* item = Get(index);
  return item == nullptr ? kEmptyText : item->Data();
}

void Buffer20List::Clear() {
  const int32_t count = Count();
  for (int32_t i = 0; i < count; ++i) {
    auto* item = static_cast<Buffer20*>(LoadSlot(slots_, i));
    if (item != nullptr) DestroyBuffer20(item);
    StoreSlot(slots_, i, nullptr);
  }
  slots_.Clear();
}

// ---- CellList ----------------------------------------------------------------------------------------

CellList::~CellList() { FreeAll(); }

void** CellList::Push() {
  auto** cell = static_cast<void**>(platform::Alloc(kSlot));
  if (cell == nullptr) return nullptr;
  *cell = nullptr;
  if (PushSlot(slots_, cell) != kOk) {
    platform::Free(cell, kSlot);
    return nullptr;
  }
  return cell;
}

void** CellList::Get(int32_t index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return static_cast<void**>(LoadSlot(slots_, index));
}

int CellList::RemoveAt(int32_t index) {
  void** cell = Get(index);
  if (cell == nullptr) return -1;
  platform::Free(cell, kSlot);
  char* base = slots_.Data();
  const int32_t count = Count();
  std::memmove(base + static_cast<size_t>(index) * kSlot, base + static_cast<size_t>(index + 1) * kSlot,
               static_cast<size_t>(count - index - 1) * kSlot);
  return slots_.SetData((count - 1) * kSlot, nullptr);
}

void CellList::FreeAll() {
  const int32_t count = Count();
  for (int32_t i = 0; i < count; ++i) platform::Free(LoadSlot(slots_, i), kSlot);
  slots_.Clear();
}

}  // namespace velmora::core
