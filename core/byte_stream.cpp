#include "core/byte_stream.h"

#include <climits>
#include <cstring>
#include <new>

#include "core/byte_order.h"
#include "platform/memory.h"
#include "platform/text.h"

namespace velmora::core {

namespace {

constexpr int64_t kMaxLength = INT32_MAX - 1;

}  // namespace

ByteStream::ByteStream(const BufferCore& source) { (void)SetData(source.Data(), 0, source.Length()); }

ByteStream::ByteStream(const void* bytes, int32_t offset, int32_t length) { (void)SetData(bytes, offset, length); }

ByteStream::ByteStream(const ByteStream& other) : cursor_(other.cursor_), store_(other.store_) {
  if (store_ != nullptr) ++store_->references;
}

ByteStream& ByteStream::operator=(const ByteStream& other) {
  if (this == &other) return *this;
  if (other.store_ != nullptr) ++other.store_->references;
  ReleaseStore();
  store_ = other.store_;
  cursor_ = other.cursor_;
  return *this;
}

void ByteStream::ReleaseStore() {
  if (store_ == nullptr) return;
  if (--store_->references < 1) {
    store_->data.Clear();
    store_->~SharedBytes();
    platform::Free(store_, sizeof(SharedBytes));
  }
  store_ = nullptr;
}

int ByteStream::EnsureData() {
  if (store_ != nullptr) return kOk;
  cursor_ = 0;
  void* block = platform::Alloc(sizeof(SharedBytes));
  if (block == nullptr) return kOutOfMemory;
  store_ = new (block) SharedBytes();
  return kOk;
}

int64_t ByteStream::OffsetInStore(const void* bytes) const {
  if (store_ == nullptr || bytes == nullptr) return -1;
  const char* p = static_cast<const char*>(bytes);
  const char* base = store_->data.Data();
  return p >= base && p <= base + store_->data.Length() ? p - base : -1;
}

int ByteStream::SetData(const void* bytes, int32_t offset, int32_t length) {
  int rc = EnsureData();
  if (rc != kOk) return rc;
  cursor_ = 0;
  if (length < 0 || bytes == nullptr) length = 0;
  const char* source = length > 0 ? static_cast<const char*>(bytes) + offset : kEmptyText;
  return store_->data.SetData(length, source);
}

int32_t ByteStream::ByteAt(int32_t index) const {
  if (index < 0) return 0;
  if (index >= Length()) return -1;
  return static_cast<uint8_t>(Data()[index]);
}

int ByteStream::CheckAvailable(int32_t n) const {
  return n >= 0 && static_cast<int64_t>(cursor_) + n <= Length() ? kOk : kRangeError;
}

int ByteStream::CheckRange(int32_t offset, int32_t n) const {
  return offset >= 0 && n >= 0 && static_cast<int64_t>(offset) + n <= Length() ? kOk : kRangeError;
}

int ByteStream::Read(int32_t count, BufferCore& out) {
  if (count < 1) return kOk;
  const int32_t remaining = Length() - cursor_;
  if (remaining <= 0) return 1;
  const int32_t n = count < remaining ? count : remaining;
  int rc = out.SetData(n, Data() + cursor_);
  if (rc == kOk) cursor_ += n;
  return rc;
}

int ByteStream::ReadUInt32BE(uint32_t& value) {
  if (EnsureData() != kOk) return kOutOfMemory;
  if (CheckAvailable(4) != kOk) return kRangeError;
  const auto* p = reinterpret_cast<const uint8_t*>(Data()) + cursor_;
  value = static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
  cursor_ += 4;
  return kOk;
}

int32_t ByteStream::ReadUInt32() {
  uint32_t value = 0;
  return ReadUInt32BE(value) == kOk ? static_cast<int32_t>(value) : 0;
}

int ByteStream::ReadString(BufferCore& out) {
  out.Clear();
  const int32_t start = cursor_;
  uint32_t length = 0;
  int rc = ReadUInt32BE(length);
  if (rc != kOk) return rc;
  const auto count = static_cast<int32_t>(length);
  if (count < 0 || CheckAvailable(count) != kOk) {
    cursor_ = start;
    return -1;
  }
  rc = out.SetData(count, Data() + cursor_);
  if (rc != kOk) {
    cursor_ = start;
    return rc;
  }
  cursor_ += count;
  return kOk;
}

int ByteStream::ReadBitLengthString(BufferCore& out) {
  out.Clear();
  const int32_t start = cursor_;
  uint32_t bits = 0;
  int rc = ReadUInt32BE(bits);
  if (rc != kOk) return rc;
  const int64_t count = (static_cast<int64_t>(static_cast<int32_t>(bits)) + 7) / 8;
  if (static_cast<int32_t>(bits) < 0 || CheckAvailable(static_cast<int32_t>(count)) != kOk) {
    cursor_ = start;
    return kRangeError;
  }
  rc = out.SetData(static_cast<int32_t>(count), Data() + cursor_);
  if (rc != kOk) {
    cursor_ = start;
    return rc;
  }
  cursor_ += static_cast<int32_t>(count);
  return kOk;
}

int ByteStream::ReadInto(void* destination, int32_t destination_offset, int32_t count) {
  if (count < 0 || destination_offset < 0) return kRangeError;
  const int32_t remaining = Length() - cursor_;
  const int32_t n = remaining <= 0 ? 0 : (count < remaining ? count : remaining);
  if (n == 0) return kOk;
  if (destination == nullptr) return kRangeError;
  std::memcpy(static_cast<char*>(destination) + destination_offset, Data() + cursor_, static_cast<size_t>(n));
  cursor_ += n;
  return kOk;
}

int ByteStream::CopyOut(int32_t offset, int32_t count, void* destination, int32_t destination_offset) const {
  if (CheckRange(offset, count) != kOk || destination_offset < 0) return kRangeError;
  if (count == 0) return kOk;
  if (destination == nullptr) return kRangeError;
  std::memcpy(static_cast<char*>(destination) + destination_offset, Data() + offset, static_cast<size_t>(count));
  return kOk;
}

int ByteStream::InsertAt(const void* bytes, int32_t position, int32_t count) {
  if (position < 0 || count < 0) return kRangeError;
  const int64_t end = static_cast<int64_t>(position) + count;
  if (end > kMaxLength) return kOutOfMemory;
  int rc = EnsureData();
  if (rc != kOk) return rc;
  if (bytes == nullptr || count == 0) return kOk;
  Buffer& data = store_->data;
  const int32_t old_length = data.Length();
  if (end > old_length) {
    const int64_t own = OffsetInStore(bytes);
    rc = data.SetData(static_cast<int32_t>(end), nullptr);
    if (rc != kOk) return rc;
    if (own >= 0) bytes = data.Data() + own;
    // Nothing is meant to read a gap before it is written, but it must not show old heap contents.
    if (position > old_length) std::memset(data.Data() + old_length, 0, static_cast<size_t>(position - old_length));
  }
  std::memmove(data.Data() + position, bytes, static_cast<size_t>(count));
  return kOk;
}

int ByteStream::InsertByte(int32_t position, uint8_t byte) { return InsertAt(&byte, position, 1); }

int ByteStream::InsertUInt32BE(int32_t position, uint32_t value) {
  uint8_t bytes[4];
  PutUIntBigEndian(value, bytes, 0, 4);
  return InsertAt(bytes, position, 4);
}

int ByteStream::AppendByte(uint8_t byte) { return Append(&byte, 1); }

int ByteStream::Append(const void* bytes, int32_t count) {
  int rc = EnsureData();
  if (rc != kOk) return rc;
  if (bytes == nullptr || count < 1) return kOk;
  rc = store_->data.Append(bytes, count);
  if (rc == kOk) cursor_ += count;
  return rc;
}

int ByteStream::AppendRange(const void* bytes, int32_t offset, int32_t count) {
  if (bytes == nullptr || count < 1) return EnsureData();
  return Append(static_cast<const char*>(bytes) + offset, count);
}

int ByteStream::AppendBuffer(const BufferCore& buffer) { return Append(buffer.Data(), buffer.Length()); }

int ByteStream::AppendUInt32BE(uint32_t value) {
  uint8_t bytes[4];
  PutUIntBigEndian(value, bytes, 0, 4);
  return Append(bytes, 4);
}

int ByteStream::AppendPrefixed(uint32_t prefix, const void* bytes, int32_t count) {
  int rc = EnsureData();
  if (rc != kOk) return rc;
  Buffer& data = store_->data;
  const int32_t old_length = data.Length();
  const int64_t total = static_cast<int64_t>(old_length) + 4 + count;
  if (total > kMaxLength) return kOutOfMemory;
  // Grow once for prefix and bytes, so that a failure cannot leave a prefix without its bytes.
  const int64_t own = OffsetInStore(bytes);
  rc = data.SetData(static_cast<int32_t>(total), nullptr);
  if (rc != kOk) return rc;
  if (own >= 0) bytes = data.Data() + own;
  PutUIntBigEndian(prefix, data.Data(), old_length, 4);
  if (count > 0) std::memmove(data.Data() + old_length + 4, bytes, static_cast<size_t>(count));
  cursor_ += 4 + count;
  return kOk;
}

int ByteStream::AppendString(const void* bytes, int32_t count) {
  if (bytes == nullptr || count < 0) count = 0;
  return AppendPrefixed(static_cast<uint32_t>(count), bytes, count);
}

int ByteStream::AppendCString(const char* text) { return AppendString(text, platform::StrLen(text)); }

int ByteStream::AppendBitLengthString(const void* bytes, int32_t count) {
  if (bytes == nullptr || count < 0) count = 0;
  if (count > static_cast<int32_t>(UINT32_MAX / 8)) return kOutOfMemory;
  return AppendPrefixed(static_cast<uint32_t>(count) * 8, bytes, count);
}

void ByteStream::Reset() {
  cursor_ = 0;
  if (store_ != nullptr) store_->data.Clear();
}

void ByteStream::Clear() {
  cursor_ = 0;
  ReleaseStore();
}

}  // namespace velmora::core
