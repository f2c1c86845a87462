#include "core/str_list.h"

#include <climits>
#include <cstddef>
#include <cstring>

#include "core/numbers.h"
#include "platform/text.h"

namespace velmora::core {

namespace {

constexpr int32_t kRecordOverhead = 4;  // 3 length bytes and the zero after the item
constexpr int64_t kMaxDataLength = INT32_MAX - 1;

}  // namespace

int32_t StrList::LengthAt(int32_t offset) const {
  const auto* p = reinterpret_cast<const uint8_t*>(data_.Data()) + offset;
  return (p[0] << 16) | (p[1] << 8) | p[2];
}

int32_t StrList::RecordOffset(int32_t index) const {
  int32_t i = 0;
  int32_t offset = 0;
  if (index >= walk_index_) {
    i = walk_index_;
    offset = walk_offset_;
  }
  for (; i < index; ++i) offset += LengthAt(offset) + kRecordOverhead;
  return offset;
}

int32_t StrList::WalkTo(int32_t index) {
  const int32_t offset = RecordOffset(index);
  if (index < count_) {
    walk_index_ = index;
    walk_offset_ = offset;
  }
  return offset;
}

void StrList::WriteRecord(int32_t offset, const void* bytes, int32_t length) {
  auto* p = reinterpret_cast<uint8_t*>(data_.Data()) + offset;
  p[0] = static_cast<uint8_t>(length >> 16);
  p[1] = static_cast<uint8_t>(length >> 8);
  p[2] = static_cast<uint8_t>(length);
  if (length > 0) {
    if (bytes != nullptr) {
      std::memmove(p + 3, bytes, static_cast<size_t>(length));
    } else {
      std::memset(p + 3, 0, static_cast<size_t>(length));
    }
  }
  p[3 + length] = 0;
}

bool StrList::PointsIntoData(const void* bytes) const {
  const char* p = static_cast<const char*>(bytes);
  return p != nullptr && p >= data_.Data() && p <= data_.Data() + data_.Length();
}

int StrList::Clear() {
  data_.Clear();
  count_ = 0;
  ForgetWalk();
  return kOk;
}

int StrList::Add(const void* bytes, int32_t length) {
  if (length < 0) length = 0;
  if (length > kMaxItemLength) return kOutOfMemory;
  const int32_t old_total = data_.Length();
  if (static_cast<int64_t>(old_total) + length + kRecordOverhead > kMaxDataLength) return kOutOfMemory;
  // Bytes taken from an item of this list keep their offset when the records move to a larger block.
  const bool own = PointsIntoData(bytes);
  const ptrdiff_t own_offset = own ? static_cast<const char*>(bytes) - data_.Data() : 0;
  int rc = data_.SetData(old_total + length + kRecordOverhead, nullptr);
  if (rc != kOk) return rc;
  if (own) bytes = data_.Data() + own_offset;
  WriteRecord(old_total, bytes, length);
  ++count_;
  return kOk;
}

int StrList::AddCString(const char* text) { return Add(text, platform::StrLen(text)); }

int StrList::AddInt(int32_t value) { return AddInt64(value); }

int StrList::AddInt64(int64_t value) {
  char text[kInt64DecimalSize];
  const int32_t length = Int64ToDecimal(text, value);
  return Add(text, length);
}

int StrList::AppendToLast(const char* text) {
  if (count_ == 0) return AddCString(text);
  const int32_t n = platform::StrLen(text);
  if (n == 0) return kOk;
  const int32_t offset = WalkTo(count_ - 1);
  const int32_t old_length = LengthAt(offset);
  // The 24-bit record length must not wrap: that would garble every later walk over the records.
  if (static_cast<int64_t>(old_length) + n > kMaxItemLength) return kOutOfMemory;
  const int32_t old_total = data_.Length();
  if (static_cast<int64_t>(old_total) + n > kMaxDataLength) return kOutOfMemory;
  const bool own = PointsIntoData(text);
  const ptrdiff_t own_offset = own ? text - data_.Data() : 0;
  int rc = data_.SetData(old_total + n, nullptr);
  if (rc != kOk) return rc;
  const char* source = own ? data_.Data() + own_offset : text;
  const int32_t new_length = old_length + n;
  auto* p = reinterpret_cast<uint8_t*>(data_.Data()) + offset;
  std::memmove(p + 3 + old_length, source, static_cast<size_t>(n));
  p[0] = static_cast<uint8_t>(new_length >> 16);
  p[1] = static_cast<uint8_t>(new_length >> 8);
  p[2] = static_cast<uint8_t>(new_length);
  p[3 + new_length] = 0;
  return kOk;
}

const char* StrList::Item(int32_t index) const {
  if (index < 0 || index >= count_) return kEmptyText;
  return data_.Data() + RecordOffset(index) + 3;
}

const char* StrList::Item(int32_t index) {
  if (index < 0 || index >= count_) return kEmptyText;
  return data_.Data() + WalkTo(index) + 3;
}

int32_t StrList::ItemLength(int32_t index) const {
  if (index < 0 || index >= count_) return 0;
  return LengthAt(RecordOffset(index));
}

int32_t StrList::ItemLength(int32_t index) {
  if (index < 0 || index >= count_) return 0;
  return LengthAt(WalkTo(index));
}

int32_t StrList::ItemAsInt(int32_t index) const { return ParseInt(Item(index)); }

int64_t StrList::ItemAsInt64(int32_t index) const { return ParseInt64(Item(index)); }

int32_t StrList::IndexOf(const char* text, int32_t start) const {
  if (start < 0) start = 0;
  if (start >= count_) return -1;
  int32_t offset = RecordOffset(start);
  for (int32_t i = start; i < count_; ++i) {
    if (platform::CompareBytes(data_.Data() + offset + 3, text) == 0) return i;
    offset += LengthAt(offset) + kRecordOverhead;
  }
  return -1;
}

int StrList::SetAt(int32_t index, const void* bytes, int32_t length) {
  if (index < 0 || index >= count_) return kOutOfRange;
  if (length < 0) length = 0;
  if (length > kMaxItemLength) return kOutOfMemory;
  // Bytes from inside the list would move under the record shuffling below: copy them out first.
  Buffer copy;
  if (length > 0 && PointsIntoData(bytes)) {
    int rc = copy.SetData(length, bytes);
    if (rc != kOk) return rc;
    bytes = copy.Data();
  }
  const int32_t offset = WalkTo(index);
  const int32_t old_length = LengthAt(offset);
  const int32_t total = data_.Length();
  const int64_t new_total = static_cast<int64_t>(total) - old_length + length;
  if (new_total > kMaxDataLength) return kOutOfMemory;
  if (new_total > total) {
    int rc = data_.SetData(static_cast<int32_t>(new_total), nullptr);
    if (rc != kOk) return rc;
  }
  const int32_t tail = offset + kRecordOverhead + old_length;
  if (total > tail) {
    char* base = data_.Data();
    std::memmove(base + offset + kRecordOverhead + length, base + tail, static_cast<size_t>(total - tail));
  }
  if (new_total < total) (void)data_.SetData(static_cast<int32_t>(new_total), nullptr);  // never allocates
  WriteRecord(offset, bytes, length);
  return kOk;
}

int StrList::SetAtString(int32_t index, const char* text) {
  return SetAt(index, text, platform::StrLen(text));
}

int StrList::SetAtInt(int32_t index, int32_t value) { return SetAtInt64(index, value); }

int StrList::SetAtInt64(int32_t index, int64_t value) {
  char text[kInt64DecimalSize];
  const int32_t length = Int64ToDecimal(text, value);
  return SetAt(index, text, length);
}

int StrList::RemoveAt(int32_t index) {
  if (index < 0 || index >= count_) return kOutOfRange;
  // The later records move down as they are, so items holding zero bytes keep all their bytes.
  const int32_t offset = WalkTo(index);
  const int32_t record = LengthAt(offset) + kRecordOverhead;
  const int32_t total = data_.Length();
  char* base = data_.Data();
  std::memmove(base + offset, base + offset + record, static_cast<size_t>(total - offset - record));
  int rc = data_.SetData(total - record, nullptr);  // shrinking never allocates
  --count_;
  ForgetWalk();
  return rc;
}

int StrList::SetCount(int32_t n) {
  if (n < 0 || n == count_) return kOk;
  if (n < count_) {
    const int32_t end = WalkTo(n);
    ForgetWalk();
    count_ = n;
    return data_.SetData(end, nullptr);
  }
  const int32_t old_total = data_.Length();
  const int64_t added = static_cast<int64_t>(n - count_) * kRecordOverhead;
  if (old_total + added > kMaxDataLength) return kOutOfMemory;
  int rc = data_.SetData(static_cast<int32_t>(old_total + added), nullptr);
  if (rc != kOk) return rc;
  // An empty item's record is four zero bytes.
  std::memset(data_.Data() + old_total, 0, static_cast<size_t>(added));
  count_ = n;
  return kOk;
}

int SplitToStringList(StrList& list, const char* text, const char* separator, int skip_empty, int trim_last) {
  list.Clear();
  if (text == nullptr) text = kEmptyText;
  const int32_t length = platform::StrLen(text);
  const int32_t separator_length = platform::StrLen(separator);
  Buffer segment;
  int32_t p = 0;
  while (separator_length > 0 && p < length) {
    const char* match = StrStr(text + p, separator);
    if (match == nullptr) break;
    const int32_t at = static_cast<int32_t>(match - text);
    int rc = segment.SetData(at - p, text + p);
    if (rc == kOk) rc = segment.TrimWhitespace();
    if (rc == kOk && !(skip_empty && segment.IsEmpty())) rc = list.Add(segment.Data(), segment.Length());
    if (rc != kOk) return rc;
    p = at + separator_length;
  }
  int rc = segment.SetData(length - p, text + p);
  if (rc == kOk && trim_last) rc = segment.TrimWhitespace();
  if (rc == kOk && !(skip_empty && segment.IsEmpty())) rc = list.Add(segment.Data(), segment.Length());
  return rc;
}

}  // namespace velmora::core
