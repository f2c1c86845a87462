// ByteStream: a growable byte sequence with a cursor over a reference-counted store, for building and
// reading binary records (big-endian integers, length-prefixed strings).
//
// The store is created on first use. Copies of a stream share its store; the last one to let go
// releases it (wiping it when the process-wide ZeroMemory setting says so). A stream and its store are
// used by one thread at a time.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::core {

// SharedBytes is the reference-counted store of one or more streams.
struct SharedBytes {
  int32_t references = 1;
  Buffer data;

  // AppendByte appends one byte; 0 or 200.
  [[nodiscard]] int AppendByte(uint8_t byte) { return data.AppendByte(byte); }
};

class ByteStream {
 public:
  // kRangeError is the result of a count, offset or position that does not lie within the bytes.
  static constexpr int kRangeError = 1080;

  // The default stream has cursor 0 and no store.
  ByteStream() = default;
  // These give cursor 0 and a new store holding a copy of the source's bytes, or of length bytes from
  // bytes + offset (a negative length copies nothing). When memory runs out the stream is left without
  // a store, that is, empty.
  explicit ByteStream(const BufferCore& source);
  ByteStream(const void* bytes, int32_t offset, int32_t length);
  // A copy shares the store (one more reference) and starts at the same cursor.
  ByteStream(const ByteStream& other);
  ByteStream& operator=(const ByteStream& other);
  ~ByteStream() { ReleaseStore(); }

  // EnsureData creates the store when there is none (cursor 0); 0, or 200 when it cannot be allocated.
  // Every operation that writes runs it first; reading a stream without a store sees no bytes.
  [[nodiscard]] int EnsureData();

  // SetData makes the store's bytes length bytes from bytes + offset (a negative length or null bytes
  // give none) and the cursor 0; 0 or 200.
  [[nodiscard]] int SetData(const void* bytes, int32_t offset, int32_t length);

  int32_t Length() const { return store_ == nullptr ? 0 : store_->data.Length(); }
  // Data returns the stored bytes, or the empty text without a store; valid until the store changes.
  const char* Data() const { return store_ == nullptr ? kEmptyText : store_->data.Data(); }
  // Cursor is the index of the next byte to read, or the number of bytes appended through this stream.
  int32_t Cursor() const { return cursor_; }

  // ByteAt returns the byte at index (0..255), -1 at or past the end, and 0 for a negative index.
  int32_t ByteAt(int32_t index) const;

  // CheckAvailable is 0 when n >= 0 and n bytes remain after the cursor, else kRangeError.
  int CheckAvailable(int32_t n) const;
  // CheckRange is 0 when offset >= 0, n >= 0 and offset + n is at most the length, else kRangeError.
  int CheckRange(int32_t offset, int32_t n) const;

  // Read sets out to the next min(count, remaining) bytes and advances the cursor by that many: 0 (and
  // nothing happens for count < 1); 1 when no byte remains (out unchanged); 200 when out cannot grow.
  [[nodiscard]] int Read(int32_t count, BufferCore& out);
  // ReadInto copies min(count, remaining) bytes to destination + destination_offset and advances the
  // cursor by that many; 0, or kRangeError for a negative count or offset (nothing is copied).
  [[nodiscard]] int ReadInto(void* destination, int32_t destination_offset, int32_t count);
  // CopyOut copies count stored bytes from offset to destination + destination_offset; 0, or
  // kRangeError when the range is not within the stored bytes (nothing is copied).
  [[nodiscard]] int CopyOut(int32_t offset, int32_t count, void* destination, int32_t destination_offset) const;

  // The reads of the SSH wire encoding (big-endian). Each makes sure the stream has its store first.
  // ReadUInt32BE: 0 and the value, or kRangeError (cursor unchanged) when fewer than 4 bytes remain.
  [[nodiscard]] int ReadUInt32BE(uint32_t& value);
  // ReadUInt32 returns the next 4 bytes as a signed value, or 0 (cursor unchanged) when fewer remain.
  int32_t ReadUInt32();
  // ReadString empties out, then reads a uint32 length and that many bytes: 0; kRangeError for a cut
  // length; -1 when the length is negative or passes the bytes after it; 200. On failure the cursor is
  // where it was.
  [[nodiscard]] int ReadString(BufferCore& out);
  // ReadBitLengthString empties out, then reads a uint32 count of bits and the ceil(bits / 8) bytes that
  // follow: 0; kRangeError for a cut count, a negative count or one that passes the bytes; 200. On
  // failure the cursor is where it was.
  [[nodiscard]] int ReadBitLengthString(BufferCore& out);

  // InsertAt writes count bytes over the stored bytes from position on, first growing the store to
  // position + count bytes when that passes its end (a gap behind the old end is zeroed). The cursor
  // does not move. 0; kRangeError for a negative position or count; 200 when memory runs out.
  [[nodiscard]] int InsertAt(const void* bytes, int32_t position, int32_t count);
  [[nodiscard]] int InsertByte(int32_t position, uint8_t byte);
  // InsertUInt32BE writes the 4 bytes of value at position, most significant first.
  [[nodiscard]] int InsertUInt32BE(int32_t position, uint32_t value);

  // The appends add at the end of the stored bytes and, on success, advance the cursor by the bytes
  // added; a null source or a count below 1 adds nothing. 0, or 200 with nothing added.
  [[nodiscard]] int AppendByte(uint8_t byte);
  [[nodiscard]] int Append(const void* bytes, int32_t count);
  [[nodiscard]] int AppendRange(const void* bytes, int32_t offset, int32_t count);
  [[nodiscard]] int AppendBuffer(const BufferCore& buffer);
  [[nodiscard]] int AppendUInt32BE(uint32_t value);
  // AppendString appends the 4-byte big-endian count, then the bytes (null bytes count as none); the
  // two parts are appended together or not at all.
  [[nodiscard]] int AppendString(const void* bytes, int32_t count);
  [[nodiscard]] int AppendCString(const char* text);
  // AppendBitLengthString is AppendString with count x 8 as the prefix; 200 when that does not fit in
  // 32 bits.
  [[nodiscard]] int AppendBitLengthString(const void* bytes, int32_t count);

  // Reset sets the cursor to 0 and empties the store, which stays (streams sharing it see it empty).
  void Reset();
  // Clear sets the cursor to 0 and lets go of the store, releasing it when this was its last reference.
  void Clear();

 private:
  void ReleaseStore();
  [[nodiscard]] int AppendPrefixed(uint32_t prefix, const void* bytes, int32_t count);
  // OffsetInStore is the offset of bytes inside the store, or -1 when they lie elsewhere.
  int64_t OffsetInStore(const void* bytes) const;

  int32_t cursor_ = 0;
  SharedBytes* store_ = nullptr;
};

}  // namespace velmora::core
