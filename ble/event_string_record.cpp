#include "ble/event_string_record.h"

#include <cstdint>
#include <cstring>

#include "platform/code_page.h"
#include "platform/last_error.h"
#include "platform/memory.h"
#include "platform/win_codes.h"

namespace velmora::ble {

namespace {

namespace plat = velmora::platform;

// The empty texts handed out for an empty text held in the other kind; nobody may write through them.
const char kEmptyNarrow[1] = {0};
const char16_t kEmptyWide[1] = {0};

size_t WideLength(const char16_t* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// AllocZeroed returns a zero-filled block of bytes, or null.
void* AllocZeroed(size_t bytes) {
  void* block = plat::Alloc(bytes);
  if (block != nullptr) std::memset(block, 0, bytes);
  return block;
}

}  // namespace

void EventStringRecord::Clear() {
  if ((owned & kOwnsNarrow) != 0) plat::Free(narrow);
  if ((owned & kOwnsWide) != 0) plat::Free(wide);
  narrow = nullptr;
  wide = nullptr;
  owned = 0;
  status = 0;
}

void EventStringRecord::Prefill(const char* text) {
  if (text != narrow) Clear();
  narrow = const_cast<char*>(text);
  if ((owned & kOwnsWide) != 0) plat::Free(wide);
  owned &= ~kOwnsWide;
  wide = nullptr;
}

bool EventStringRecord::OwnsBytesAt(const void* at) const {
  const auto address = reinterpret_cast<uintptr_t>(at);
  // Each owned copy holds its text and terminator.
  const auto inside = [address](const void* block, size_t bytes) {
    const auto start = reinterpret_cast<uintptr_t>(block);
    return block != nullptr && address >= start && address - start < bytes;
  };
  return ((owned & kOwnsNarrow) != 0 && inside(narrow, std::strlen(narrow) + 1)) ||
         ((owned & kOwnsWide) != 0 && inside(wide, (WideLength(wide) + 1) * sizeof(char16_t)));
}

const char* EventStringRecord::GetNarrow() {
  if (status != 0) return nullptr;
  if (narrow != nullptr) return narrow;
  if (wide == nullptr) return nullptr;
  if (wide[0] == 0) return kEmptyNarrow;
  // Both passes count the terminator, so the block has room for the text, its NUL and one more byte.
  const int bytes = plat::WideCharToMultiByte(code_page, wide, -1, nullptr, 0);
  char* copy = bytes > 0 ? static_cast<char*>(AllocZeroed(static_cast<size_t>(bytes) + 1)) : nullptr;
  if (bytes > 0 && copy == nullptr) plat::SetLastError(plat::kErrorNotEnoughMemory);
  if (copy == nullptr || plat::WideCharToMultiByte(code_page, wide, -1, copy, bytes) == 0) {
    // A read that cannot convert changes nothing: the text held stays, and so do the texts handed out.
    plat::Free(copy);
    return nullptr;
  }
  narrow = copy;
  owned |= kOwnsNarrow;
  return narrow;
}

const char16_t* EventStringRecord::GetWide() {
  if (status != 0) return nullptr;
  if (wide != nullptr) return wide;
  if (narrow == nullptr) return nullptr;
  if (narrow[0] == 0) return kEmptyWide;
  const int units = plat::MultiByteToWideChar(code_page, narrow, -1, nullptr, 0);
  auto* copy = units > 0 ? static_cast<char16_t*>(AllocZeroed((static_cast<size_t>(units) + 1) * sizeof(char16_t)))
                         : nullptr;
  if (units > 0 && copy == nullptr) plat::SetLastError(plat::kErrorNotEnoughMemory);
  if (copy == nullptr || plat::MultiByteToWideChar(code_page, narrow, -1, copy, units) == 0) {
    // A read that cannot convert changes nothing: the text held stays, and so do the texts handed out.
    plat::Free(copy);
    return nullptr;
  }
  wide = copy;
  owned |= kOwnsWide;
  return wide;
}

namespace {

// CopyOf returns a new block holding the first `bytes` bytes of value, or null when memory runs out (the
// record's status then says so). The copy is made before the record lets go of anything, so that a value
// pointing into a text the record owns (one that GET handed out) is still there to be copied.
void* CopyOf(EventStringRecord& record, const void* value, size_t bytes) {
  void* copy = plat::Alloc(bytes);
  if (copy == nullptr) {
    record.Clear();
    record.status = static_cast<int32_t>(plat::kErrorNotEnoughMemory);
    return nullptr;
  }
  std::memcpy(copy, value, bytes);
  return copy;
}

void SetNarrowByCopy(EventStringRecord& record, const char* value) {
  if (value != nullptr && record.narrow != nullptr && std::strcmp(value, record.narrow) == 0) return;
  if (value == nullptr) {
    record.Clear();
    return;
  }
  auto* copy = static_cast<char*>(CopyOf(record, value, std::strlen(value) + 1));
  if (copy == nullptr) return;
  record.Clear();
  record.narrow = copy;
  record.owned |= EventStringRecord::kOwnsNarrow;
}

void SetWideByCopy(EventStringRecord& record, const char16_t* value) {
  const size_t units = value != nullptr ? WideLength(value) + 1 : 0;
  if (value != nullptr && record.wide != nullptr && WideLength(record.wide) + 1 == units &&
      std::memcmp(value, record.wide, units * sizeof(char16_t)) == 0) {
    return;
  }
  if (value == nullptr) {
    record.Clear();
    return;
  }
  auto* copy = static_cast<char16_t*>(CopyOf(record, value, units * sizeof(char16_t)));
  if (copy == nullptr) return;
  record.Clear();
  record.wide = copy;
  record.owned |= EventStringRecord::kOwnsWide;
}

// A text held by reference must outlive the record's own copies, which the set frees: one that points into
// such a copy is taken by copy instead.
void SetNarrowByReference(EventStringRecord& record, const char* value) {
  if (value == record.narrow) return;
  if (record.OwnsBytesAt(value)) {
    SetNarrowByCopy(record, value);
    return;
  }
  record.Clear();
  record.narrow = const_cast<char*>(value);
}

void SetWideByReference(EventStringRecord& record, const char16_t* value) {
  if (value == record.wide) return;
  if (record.OwnsBytesAt(value)) {
    SetWideByCopy(record, value);
    return;
  }
  record.Clear();
  record.wide = const_cast<char16_t*>(value);
}

}  // namespace

void* EventStringOperation(EventStringRecord* record, int32_t operation, const void* value, int32_t kind) {
  if (record == nullptr || (kind != kEvtStrNarrow && kind != kEvtStrWide)) return nullptr;
  const bool narrow = kind == kEvtStrNarrow;
  switch (operation) {
    case kEvtStrGet:
      // The texts handed out stay the record's; the application reads them and must not write.
      if (narrow) return const_cast<char*>(record->GetNarrow());
      return const_cast<char16_t*>(record->GetWide());
    case kEvtStrSetByReference:
      if (narrow) {
        SetNarrowByReference(*record, static_cast<const char*>(value));
      } else {
        SetWideByReference(*record, static_cast<const char16_t*>(value));
      }
      return nullptr;
    case kEvtStrSetByCopy:
      if (narrow) {
        SetNarrowByCopy(*record, static_cast<const char*>(value));
      } else {
        SetWideByCopy(*record, static_cast<const char16_t*>(value));
      }
      return nullptr;
    default:
      return nullptr;
  }
}

}  // namespace velmora::ble
