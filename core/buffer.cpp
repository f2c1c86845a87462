#include "core/buffer.h"

#include <atomic>
#include <climits>
#include <cstring>

#include "platform/memory.h"
#include "platform/text.h"

namespace velmora::core {

const char kEmptyText[1] = {'\0'};

namespace {

std::atomic<int> g_zero_memory{0};

// kMaxLength keeps every length, its terminating zero and the growth reserve within int32.
constexpr int64_t kMaxLength = INT32_MAX - 1;

// GrowthCapacity is the capacity reserved for a content of length bytes: half as much again.
int32_t GrowthCapacity(int32_t length) {
  int64_t cap = static_cast<int64_t>(length) + length / 2;
  return cap > kMaxLength ? static_cast<int32_t>(kMaxLength) : static_cast<int32_t>(cap);
}

bool IsBlank(unsigned char c) { return c <= 0x20; }

}  // namespace

int ZeroMemoryFlag() { return g_zero_memory.load(std::memory_order_relaxed); }

void SetZeroMemoryFlag(int value) { g_zero_memory.store(value, std::memory_order_relaxed); }

int BufferCore::WipeOnFree() const { return ZeroMemoryFlag(); }

// ReleaseHeap wipes (when asked) and frees the heap block. The whole block is wiped, not only the
// current content: bytes past a shortened length may still hold earlier content.
void BufferCore::ReleaseHeap() {
  if (data_ == inline_) return;
  if (WipeOnFree()) platform::SecureZero(data_, static_cast<size_t>(capacity_) + 1);
  if (!lent_) platform::Free(data_, static_cast<size_t>(capacity_) + 1);
  lent_ = false;
  data_ = inline_;
  capacity_ = inline_capacity_;
}

void BufferCore::UseLentStorage(char* storage, int32_t length) {
  ReleaseHeap();
  data_ = storage;
  lent_ = true;
  length_ = capacity_ = length;
}

int BufferCore::SetDataSlow(int32_t length, const void* source) {
  if (length < 0) length = 0;
  if (length > kMaxLength) return kOutOfMemory;
  if (length <= inline_capacity_) {
    if (data_ != inline_) {
      // Lent storage may end right after the content: only the content moves from there.
      const int32_t count = source == nullptr && lent_ && length_ < length ? length_ : length;
      std::memmove(inline_, source != nullptr ? source : data_, static_cast<size_t>(count));
      ReleaseHeap();
    } else if (source != nullptr) {
      std::memmove(inline_, source, static_cast<size_t>(length));
    }
  } else if (length > capacity_) {
    int32_t new_capacity = GrowthCapacity(length);
    if (source == nullptr && data_ != inline_ && !lent_ && !WipeOnFree()) {
      // Growth that keeps the content reallocates in place; on failure the old block stays as it was.
      auto* grown = static_cast<char*>(platform::Realloc(data_, static_cast<size_t>(new_capacity) + 1));
      if (grown == nullptr) return kOutOfMemory;
      data_ = grown;
      capacity_ = new_capacity;
      SetLengthInPlace(length);
      return kOk;
    }
    // Otherwise allocate afresh, so that a wiping buffer can zero the block it gives up (a reallocation
    // could release the old copy unwiped) and a failure leaves the buffer exactly as it was.
    auto* block = static_cast<char*>(platform::Alloc(static_cast<size_t>(new_capacity) + 1));
    if (block == nullptr) return kOutOfMemory;
    if (source != nullptr) {
      std::memcpy(block, source, static_cast<size_t>(length));
    } else {
      std::memcpy(block, data_, static_cast<size_t>(length_));
    }
    ReleaseHeap();
    data_ = block;
    capacity_ = new_capacity;
  } else if (source != nullptr) {
    std::memmove(data_, source, static_cast<size_t>(length));
  }
  SetLengthInPlace(length);
  return kOk;
}

int BufferCore::SetString(const char* text) {
  return SetData(platform::StrLen(text), text != nullptr ? text : kEmptyText);
}

int BufferCore::Clear() {
  inline_[0] = '\0';
  inline_[1] = '\0';
  inline_[inline_capacity_] = '\0';
  const int wipe = WipeOnFree();
  if (wipe) platform::SecureZero(inline_, static_cast<size_t>(inline_capacity_) + 1);
  if (data_ != inline_) {
    if (wipe) platform::SecureZero(data_, static_cast<size_t>(capacity_) + 1);
    if (!lent_) platform::Free(data_, static_cast<size_t>(capacity_) + 1);
    lent_ = false;
    data_ = inline_;
  }
  capacity_ = inline_capacity_;
  length_ = 0;
  return kOk;
}

int BufferCore::Resize(int32_t length) {
  if (length < 0) length = 0;
  const int32_t old = length_;
  if (length == old) return kOk;
  int rc = SetData(length, nullptr);
  if (rc == kOk && length > old) std::memset(data_ + old, 0, static_cast<size_t>(length - old));
  return rc;
}

int BufferCore::AppendSlow(const void* bytes, int32_t count) {
  if (bytes == nullptr || count < 1) return kOk;
  const int64_t total = static_cast<int64_t>(length_) + count;
  if (total > kMaxLength) return kOutOfMemory;
  const int32_t old = length_;
  if (total <= capacity_) {
    std::memmove(data_ + old, bytes, static_cast<size_t>(count));
    SetLengthInPlace(static_cast<int32_t>(total));
    return kOk;
  }
  // Bytes from inside our own storage move with it when growing.
  const char* src = static_cast<const char*>(bytes);
  const bool own = src >= data_ && src < data_ + capacity_ + 1;
  const ptrdiff_t offset = src - data_;
  int rc = SetData(static_cast<int32_t>(total), nullptr);
  if (rc != kOk) return rc;
  if (own) src = data_ + offset;
  std::memmove(data_ + old, src, static_cast<size_t>(count));
  data_[total] = '\0';
  return kOk;
}

int BufferCore::AppendCString(const char* text) {
  if (text == nullptr) return kOk;
  return Append(text, platform::StrLen(text));
}

int BufferCore::AppendByte(uint8_t byte) {
  if (length_ < capacity_) {
    data_[length_] = static_cast<char>(byte);
    SetLengthInPlace(length_ + 1);
    return kOk;
  }
  return Append(&byte, 1);
}

int BufferCore::AppendRepeatedByte(int32_t count, uint8_t byte) {
  if (count < 1) return kOk;
  const int32_t old = length_;
  if (static_cast<int64_t>(old) + count > kMaxLength) return kOutOfMemory;
  int rc = SetData(old + count, nullptr);
  if (rc == kOk) std::memset(data_ + old, byte, static_cast<size_t>(count));
  return rc;
}

int BufferCore::FormatV(const char* format, va_list args) {
  char area[platform::kFormatAreaSize];
  int n = platform::FormatV(area, sizeof area, format, args);
  return SetData(n, area);
}

int BufferCore::AppendFormatV(const char* format, va_list args) {
  char area[platform::kFormatAreaSize];
  int n = platform::FormatV(area, sizeof area, format, args);
  return Append(area, n);
}

int BufferCore::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int rc = FormatV(format, args);
  va_end(args);
  return rc;
}

int BufferCore::AppendFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int rc = AppendFormatV(format, args);
  va_end(args);
  return rc;
}

int BufferCore::AppendUInt(uint32_t value) { return AppendFormat("%u", value); }

int BufferCore::SetInt64(int64_t value) { return Format("%lld", static_cast<long long>(value)); }

int BufferCore::EqualsBytes(const void* bytes, int32_t count) const {
  if (count == -1) return platform::CompareBytes(data_, static_cast<const char*>(bytes)) == 0 ? 1 : 0;
  if (count != length_) return 0;
  if (count == 0) return 1;
  return bytes != nullptr && std::memcmp(data_, bytes, static_cast<size_t>(count)) == 0 ? 1 : 0;
}

int BufferCore::Equals(const BufferCore& other) const {
  return length_ == other.length_ && std::memcmp(data_, other.data_, static_cast<size_t>(length_)) == 0 ? 1 : 0;
}

int BufferCore::EqualsIgnoringLeadingZeros(const BufferCore& other) const {
  if (Equals(other)) return 1;
  int32_t a = 0;
  int32_t b = 0;
  while (a < length_ && data_[a] == 0) ++a;
  while (b < other.length_ && other.data_[b] == 0) ++b;
  const int32_t n = length_ - a;
  return n == other.length_ - b && std::memcmp(data_ + a, other.data_ + b, static_cast<size_t>(n)) == 0 ? 1 : 0;
}

int BufferCore::EqualsNoCase(const char* text) const {
  return platform::CompareAsciiNoCase(data_, text) == 0 ? 1 : 0;
}

int BufferCore::EndsWith(const char* text) const {
  const int32_t n = platform::StrLen(text);
  if (n == 0) return 1;
  if (n > length_) return 0;
  return std::memcmp(data_ + length_ - n, text, static_cast<size_t>(n)) == 0 ? 1 : 0;
}

int32_t BufferCore::Find(const char* text, int32_t start) const {
  if (start < 0) return -1;
  const int32_t n = platform::StrLen(text);
  if (n == 0) return 0;
  if (start >= length_) return -1;
  // Text searches see the content only up to its first zero byte.
  const char* from = data_ + start;
  const void* zero = std::memchr(from, 0, static_cast<size_t>(length_ - start));
  const size_t span = zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - from)
                                      : static_cast<size_t>(length_ - start);
  const void* hit = memmem(from, span, text, static_cast<size_t>(n));
  return hit != nullptr ? static_cast<int32_t>(static_cast<const char*>(hit) - data_) : -1;
}

int32_t BufferCore::FindNoCase(const char* text, int32_t start) const {
  if (start < 0) return -1;
  const int32_t n = platform::StrLen(text);
  if (n == 0) return 0;
  const auto* t = reinterpret_cast<const unsigned char*>(text);
  const unsigned char first = platform::AsciiLower(t[0]);
  for (int32_t i = start; i <= length_ - n; ++i) {
    const auto* p = reinterpret_cast<const unsigned char*>(data_ + i);
    if (platform::AsciiLower(p[0]) != first) continue;
    int32_t k = 1;
    while (k < n && platform::AsciiLower(p[k]) == platform::AsciiLower(t[k])) ++k;
    if (k == n) return i;
  }
  return -1;
}

int32_t BufferCore::FindLast(const char* text, int32_t start) const {
  if (start < 0) return -1;
  const int32_t n = platform::StrLen(text);
  if (n == 0) return 0;
  int32_t i = start < length_ - 1 ? start : length_ - 1;
  if (i > length_ - n) i = length_ - n;  // the text must fit in what is left
  for (; i >= 0; --i) {
    if (std::memcmp(data_ + i, text, static_cast<size_t>(n)) == 0) return i;
  }
  return -1;
}

int32_t BufferCore::FindBytes(const void* bytes, int32_t count, int32_t start, int32_t end) const {
  if (bytes == nullptr || start < 0) return -1;
  if (count == -1 || count == -2) count = platform::StrLen(static_cast<const char*>(bytes));
  if (count <= 0) return -1;
  const int32_t last = (count < end && end < length_) ? end - count : length_ - count;
  if (start > last) return -1;
  const void* hit = memmem(data_ + start, static_cast<size_t>(last - start + count), bytes, static_cast<size_t>(count));
  return hit != nullptr ? static_cast<int32_t>(static_cast<const char*>(hit) - data_) : -1;
}

int32_t BufferCore::FindByte(uint8_t byte, int32_t start) const {
  if (start < 0 || start >= length_) return -1;
  const void* hit = std::memchr(data_ + start, byte, static_cast<size_t>(length_ - start));
  return hit != nullptr ? static_cast<int32_t>(static_cast<const char*>(hit) - data_) : -1;
}

const char* BufferCore::ByteAt(int32_t index) const {
  return (index >= 0 && index < length_) ? data_ + index : kEmptyText;
}

int BufferCore::IsAllDigits() const {
  for (const char* p = data_; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
  }
  return 1;
}

int BufferCore::Delete(int32_t start, int32_t count) {
  if (start < 0 || count < 0 || static_cast<int64_t>(start) + count > length_) return kOutOfRange;
  if (count == 0) return kOk;
  std::memmove(data_ + start, data_ + start + count, static_cast<size_t>(length_ - start - count));
  return SetData(length_ - count, nullptr);
}

int BufferCore::DropLeadingZero() {
  if (length_ > 0 && data_[0] == 0) return Delete(0, 1);
  return kOk;
}

int BufferCore::DropLast() {
  if (length_ > 0) SetLengthInPlace(length_ - 1);
  return kOk;
}

int BufferCore::KeepRange(int32_t start, int32_t end) {
  if (start < 0 || end < 0 || start >= length_) return kOutOfRange;
  if (end <= start) return SetData(0, nullptr);
  if (end > length_) end = length_;
  return SetData(end - start, data_ + start);
}

int BufferCore::ReplaceAll(const char* from, const char* to) {
  return ReplaceAll(from, platform::StrLen(from), to, platform::StrLen(to));
}

int BufferCore::ReplaceAll(const void* from, int32_t from_count, const void* to, int32_t to_count) {
  if (from == nullptr || from_count <= 0 || from_count > length_) return kOk;
  int32_t p = 0;
  int32_t match = FindBytes(from, from_count, 0, -1);
  if (match < 0) return kOk;
  Buffer work;
  while (match >= 0) {
    int rc = work.Append(data_ + p, match - p);
    if (rc == kOk && to != nullptr) rc = work.Append(to, to_count);
    if (rc != kOk) return rc;
    p = match + from_count;
    match = FindBytes(from, from_count, p, -1);
  }
  int rc = work.Append(data_ + p, length_ - p);
  if (rc != kOk) return rc;
  return SetData(work.Length(), work.Data());
}

int BufferCore::ReplaceRange(int32_t position, int32_t old_length, const void* bytes, int32_t new_length) {
  if (position < 0 || old_length < 0 || static_cast<int64_t>(position) + old_length > length_) return kOutOfRange;
  if (new_length < 0 || bytes == nullptr) new_length = 0;
  const int32_t tail = length_ - position - old_length;
  if (new_length == old_length) {
    if (new_length > 0) std::memmove(data_ + position, bytes, static_cast<size_t>(new_length));
    return kOk;
  }
  if (new_length < old_length) {
    if (new_length > 0) std::memmove(data_ + position, bytes, static_cast<size_t>(new_length));
    std::memmove(data_ + position + new_length, data_ + position + old_length, static_cast<size_t>(tail));
    return SetData(length_ - (old_length - new_length), nullptr);
  }
  const int64_t total = static_cast<int64_t>(length_) + (new_length - old_length);
  if (total > kMaxLength) return kOutOfMemory;
  int rc = SetData(static_cast<int32_t>(total), nullptr);
  if (rc != kOk) return rc;
  std::memmove(data_ + position + new_length, data_ + position + old_length, static_cast<size_t>(tail));
  std::memmove(data_ + position, bytes, static_cast<size_t>(new_length));
  return kOk;
}

int BufferCore::TrimByte(uint8_t byte) {
  int32_t lead = 0;
  while (lead < length_ && static_cast<uint8_t>(data_[lead]) == byte) ++lead;
  if (lead > 0) {
    int rc = SetData(length_ - lead, data_ + lead);
    if (rc != kOk) return rc;
  }
  int32_t n = length_;
  while (n > 0 && static_cast<uint8_t>(data_[n - 1]) == byte) --n;
  SetLengthInPlace(n);
  return kOk;
}

int BufferCore::TrimWhitespace() {
  if (length_ == 0) return kOk;
  int32_t lead = 0;
  while (lead < length_ && IsBlank(static_cast<unsigned char>(data_[lead]))) ++lead;
  if (lead > 0) {
    int rc = SetData(length_ - lead, data_ + lead);
    if (rc != kOk) return rc;
  }
  int32_t n = length_;
  while (n > 0 && IsBlank(static_cast<unsigned char>(data_[n - 1]))) --n;
  return n == length_ ? kOk : SetData(n, nullptr);
}

int32_t BufferCore::ReadLine(int32_t offset, BufferCore& out) const {
  out.Clear();
  if (offset < 0) offset = 0;
  int32_t e = offset;
  while (e < length_ && data_[e] != '\r' && data_[e] != '\n') ++e;
  if (e > offset && out.SetData(e - offset, data_ + offset) != kOk) return length_;
  if (e + 1 < length_ && data_[e] == '\r' && data_[e + 1] == '\n') return e + 2;
  return e < length_ ? e + 1 : e;
}

void BufferCore::ToLowerAscii() {
  for (int32_t i = 0; i < length_; ++i) {
    if (data_[i] >= 'A' && data_[i] <= 'Z') data_[i] = static_cast<char>(data_[i] + 32);
  }
}

void BufferCore::ToUpperAscii() {
  for (int32_t i = 0; i < length_; ++i) {
    if (data_[i] >= 'a' && data_[i] <= 'z') data_[i] = static_cast<char>(data_[i] - 32);
  }
}

void BufferCore::SwapBytePairs() {
  if (length_ % 2 != 0) return;
  for (int32_t i = 0; i + 1 < length_; i += 2) {
    char t = data_[i];
    data_[i] = data_[i + 1];
    data_[i + 1] = t;
  }
}

void BufferCore::SetByteAt(int32_t index, uint8_t byte) {
  if (index >= 0 && index < length_) data_[index] = static_cast<char>(byte);
}

char* BufferCore::SplitHeaderField() {
  if (length_ == 0) return nullptr;
  if (static_cast<unsigned char>(data_[0]) <= 32) {
    data_[0] = '\0';
    return data_ + 1;
  }
  bool quoted = false;
  for (int32_t i = 0; i < length_; ++i) {
    if (data_[i] == '"') {
      quoted = !quoted;
    } else if (data_[i] == ':' && !quoted) {
      data_[i] = '\0';
      char* p = data_ + i + 1;
      while (*p == ' ' || *p == '\t') ++p;
      return p;
    }
  }
  return data_ + length_;
}

uint32_t* BufferCore::U32At(int32_t index) {
  if (index < 0 || index >= U32Count()) return nullptr;
  return reinterpret_cast<uint32_t*>(data_) + index;
}

uint64_t* BufferCore::U64At(int32_t index) {
  if (index < 0 || index >= length_ / 8) return nullptr;
  return reinterpret_cast<uint64_t*>(data_) + index;
}

int BufferCore::GrowItemArray(int32_t count, int32_t item_size) {
  const int32_t items = length_ / item_size;
  if (count <= items) return kOk;
  int64_t n = items == 0 ? 16 : items;
  while (n < count) n *= 2;
  if (n * item_size > kMaxLength) return kOutOfMemory;
  const int32_t old = length_;
  const int32_t bytes = static_cast<int32_t>(n * item_size);
  int rc = SetData(bytes, nullptr);
  if (rc == kOk) std::memset(data_ + old, 0, static_cast<size_t>(bytes - old));
  return rc;
}

int BufferCore::GrowU32Array(int32_t count) { return GrowItemArray(count, 4); }

int BufferCore::GrowU64Array(int32_t count) { return GrowItemArray(count, 8); }

int BufferStartsWith(const BufferCore& buffer, const char* text) {
  const int32_t n = platform::StrLen(text);
  if (n == 0) return 1;
  return n <= buffer.Length() && std::memcmp(buffer.Data(), text, static_cast<size_t>(n)) == 0 ? 1 : 0;
}

int BufferConsumeFront(BufferCore& buffer, int32_t count) {
  if (count < 1) return kOk;
  if (count > buffer.Length()) count = buffer.Length();
  return buffer.SetData(buffer.Length() - count, buffer.Data() + count);
}

int BufferTrimSet(BufferCore& buffer, const char* set) {
  if (set == nullptr || *set == '\0') return kOk;
  const char* d = buffer.Data();
  int32_t len = buffer.Length();
  int32_t lead = 0;
  while (lead < len && d[lead] != '\0' && std::strchr(set, d[lead]) != nullptr) ++lead;
  if (lead > 0) {
    int rc = buffer.SetData(len - lead, d + lead);
    if (rc != kOk) return rc;
    d = buffer.Data();
    len = buffer.Length();
  }
  int32_t n = len;
  while (n > 0 && d[n - 1] != '\0' && std::strchr(set, d[n - 1]) != nullptr) --n;
  return n == len ? kOk : buffer.SetData(n, nullptr);
}

int PadLeftWithZeros(BufferCore& buffer, int32_t length) {
  const int32_t old = buffer.Length();
  if (old >= length) return kOk;
  int rc = buffer.SetData(length, nullptr);
  if (rc != kOk) return rc;
  char* d = buffer.Data();
  std::memmove(d + (length - old), d, static_cast<size_t>(old));
  std::memset(d, 0, static_cast<size_t>(length - old));
  return kOk;
}

void WipeAndFree(const BufferCore& owner, void* block, int32_t size, int release) {
  if (block == nullptr) return;
  if (size > 0 && owner.WipeOnFree()) platform::SecureZero(block, static_cast<size_t>(size));
  if (release) platform::Free(block, size > 0 ? static_cast<size_t>(size) : 0);
}

TokenText::TokenText() : text_(inline_text_) {
  inline_text_[0] = '\0';
  // The overflow starts with room for 1024 bytes so that most long tokens need no further growth.
  (void)overflow_.SetData(1024, nullptr);
}

int TokenText::Assign(const void* bytes, int32_t count) {
  if (count < 0) count = 0;
  if (count < 1024) {
    text_ = inline_text_;
  } else {
    if (overflow_.Length() <= count) {
      if (static_cast<int64_t>(count) + 1024 > kMaxLength) return kOutOfMemory;
      int rc = overflow_.SetData(count + 1024, nullptr);
      if (rc != kOk) return rc;
    }
    text_ = overflow_.Data();
  }
  if (count > 0) std::memmove(text_, bytes, static_cast<size_t>(count));
  text_[count] = '\0';
  length_ = count;
  return kOk;
}

int TokenText::AssignJson(const void* bytes, int32_t count) {
  return Assign(bytes, count) == kOk ? kOk : 10000;
}

int TokenText::AssignCString(const char* text) { return Assign(text, platform::StrLen(text)); }

void TokenText::Reset() {
  text_ = inline_text_;
  length_ = 0;
  inline_text_[0] = '\0';
}

}  // namespace velmora::core
