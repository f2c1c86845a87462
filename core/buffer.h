// Byte strings: Buffer (99 bytes inline), Buffer20 and Buffer1024, and the small classes built on them.
//
// A buffer keeps its content inline while it fits and in one heap block otherwise, always keeps a zero
// byte after the content, and may hold binary data with embedded zeros. Storage it gives up is
// overwritten with zeros first when WipeOnFree() says so (the process-wide ZeroMemory setting, or
// always for SecureBuffer). A buffer is used by one thread at a time.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace velmora::core {

// Result codes shared by the whole core runtime.
constexpr int kOk = 0;
constexpr int kOutOfMemory = 200;
constexpr int kOutOfRange = 432;

// kEmptyText is the shared, read-only empty text handed out where an operation has no text to give.
extern const char kEmptyText[1];

// ZeroMemoryFlag returns the process-wide ZeroMemory setting (0 at load); any thread may call it.
int ZeroMemoryFlag();
// SetZeroMemoryFlag stores the process-wide ZeroMemory setting.
void SetZeroMemoryFlag(int value);

// BufferCore holds every operation of the three buffer shapes; the shapes only supply inline storage.
// Lengths and indexes are int32; operations that can fail return 0, 200 (out of memory) or 432 (range).
class BufferCore {
 public:
  BufferCore(const BufferCore&) = delete;
  BufferCore& operator=(const BufferCore&) = delete;
  virtual ~BufferCore() = default;

  // WipeOnFree returns nonzero when storage must be zeroed before it is released.
  virtual int WipeOnFree() const;

  char* Data() { return data_; }
  const char* Data() const { return data_; }
  const uint8_t* Bytes() const { return reinterpret_cast<const uint8_t*>(data_); }
  int32_t Length() const { return length_; }
  int32_t Capacity() const { return capacity_; }
  bool IsInline() const { return data_ == inline_; }
  bool IsEmpty() const { return length_ == 0; }

  // Setting and clearing.
  [[nodiscard]] int SetData(int32_t length, const void* source) {
    // Fast path: the content stays in the storage it is in now.
    if (length >= 0 && length <= capacity_ && (data_ == inline_ || length > inline_capacity_)) {
      if (source != nullptr) __builtin_memmove(data_, source, static_cast<unsigned long>(length));
      SetLengthInPlace(length);
      return 0;
    }
    return SetDataSlow(length, source);
  }
  [[nodiscard]] int SetString(const char* text);
  int Clear();
  [[nodiscard]] int Resize(int32_t length);
  [[nodiscard]] int Assign(const BufferCore& other) { return SetData(other.length_, other.data_); }

  // Appending.
  [[nodiscard]] int Append(const void* bytes, int32_t count) {
    // Fast path: the bytes fit the present storage.
    if (bytes != nullptr && count > 0 && count <= capacity_ - length_) {
      // The bytes cannot overlap the destination: it lies past the content, where no caller's bytes are.
      char* end = data_ + length_;
      __builtin_memcpy(end, bytes, static_cast<unsigned long>(count));
      end[count] = '\0';
      length_ += count;
      return 0;
    }
    return AppendSlow(bytes, count);
  }
  [[nodiscard]] int Append(const BufferCore& other) { return Append(other.data_, other.length_); }
  [[nodiscard]] int AppendCString(const char* text);
  [[nodiscard]] int AppendByte(uint8_t byte);
  [[nodiscard]] int AppendRepeatedByte(int32_t count, uint8_t byte);
  // Format replaces and AppendFormat extends the content with printf-style text of at most 1,023
  // characters (longer output is cut). "%lld" and "%I64d" both take a 64-bit argument.
  int Format(const char* format, ...);
  int AppendFormat(const char* format, ...);
  int FormatV(const char* format, va_list args);
  int AppendFormatV(const char* format, va_list args);
  // AppendUInt appends the "%u" text of value.
  [[nodiscard]] int AppendUInt(uint32_t value);
  // SetInt64 makes the content the signed decimal text of value.
  [[nodiscard]] int SetInt64(int64_t value);

  // Comparing and searching; nothing here changes the buffer.
  int EqualsBytes(const void* bytes, int32_t count) const;
  int Equals(const BufferCore& other) const;
  int EqualsIgnoringLeadingZeros(const BufferCore& other) const;
  int EqualsNoCase(const char* text) const;
  int EndsWith(const char* text) const;
  int32_t Find(const char* text, int32_t start) const;
  int Contains(const char* text) const { return Find(text, 0) >= 0 ? 1 : 0; }
  int32_t FindNoCase(const char* text, int32_t start) const;
  int32_t FindLast(const char* text, int32_t start) const;
  int32_t FindBytes(const void* bytes, int32_t count, int32_t start, int32_t end) const;
  int32_t FindByte(uint8_t byte, int32_t start) const;
  // ByteAt returns the address of content byte index, or kEmptyText outside 0 .. length - 1.
  const char* ByteAt(int32_t index) const;
  int IsAllDigits() const;

  // Editing in place.
  [[nodiscard]] int Delete(int32_t start, int32_t count);
  [[nodiscard]] int DropLeadingZero();
  int DropLast();
  [[nodiscard]] int KeepRange(int32_t start, int32_t end);
  [[nodiscard]] int ReplaceAll(const char* from, const char* to);
  [[nodiscard]] int ReplaceAll(const void* from, int32_t from_count, const void* to, int32_t to_count);
  // ReplaceRange replaces old_length bytes at position by new_length new bytes; 432 when the old range
  // is not inside the content, 200 when growing fails (nothing changes then).
  [[nodiscard]] int ReplaceRange(int32_t position, int32_t old_length, const void* bytes, int32_t new_length);
  [[nodiscard]] int TrimByte(uint8_t byte);
  // TrimWhitespace removes leading and trailing bytes 0x00-0x20 (bytes 0x80-0xFF are kept).
  [[nodiscard]] int TrimWhitespace();
  // ReadLine copies the line starting at offset into out and returns the offset of the next line;
  // CR LF, a lone CR and a lone LF each end a line.
  int32_t ReadLine(int32_t offset, BufferCore& out) const;
  void ToLowerAscii();
  void ToUpperAscii();
  void SwapBytePairs();
  void SetByteAt(int32_t index, uint8_t byte);
  // SplitHeaderField cuts a "name: value" line in place and returns the value (null when empty).
  char* SplitHeaderField();

  // Arrays of fixed-size items kept in the buffer. U32At/U64At return null outside the item count.
  uint32_t* U32At(int32_t index);
  uint64_t* U64At(int32_t index);
  int32_t U32Count() const { return length_ / 4; }
  int32_t PointerCount() const { return length_ / 8; }
  [[nodiscard]] int GrowU32Array(int32_t count);
  [[nodiscard]] int GrowU64Array(int32_t count);

 protected:
  BufferCore(char* inline_storage, int32_t inline_capacity)
      : data_(inline_storage), inline_(inline_storage), length_(0), capacity_(inline_capacity),
        inline_capacity_(inline_capacity) {}

  // UseLentStorage releases the present storage and makes the content the length bytes at storage,
  // which are followed by a zero byte and outlive the buffer (or its next change of storage). The buffer
  // edits them in place but never frees or grows that block: a change that needs more room moves the
  // content to a heap block of its own, and releasing the storage only wipes it (when asked).
  void UseLentStorage(char* storage, int32_t length);
  // HoldsLentStorage is true while the content is in storage given by UseLentStorage.
  bool HoldsLentStorage() const { return lent_; }
  // MarkOtherHeap records that a derived class keeps a heap block of its own besides the content, so
  // that HoldsOtherHeap can answer from the buffer's first bytes; the mark stays for the buffer's life.
  void MarkOtherHeap() { other_heap_ = true; }
  bool HoldsOtherHeap() const { return other_heap_; }

 private:
  [[nodiscard]] int SetDataSlow(int32_t length, const void* source);
  [[nodiscard]] int AppendSlow(const void* bytes, int32_t count);
  [[nodiscard]] int GrowItemArray(int32_t count, int32_t item_size);
  void ReleaseHeap();
  void SetLengthInPlace(int32_t length) {
    length_ = length;
    data_[length] = '\0';
  }

  char* data_;          // the heap block, or inline_ while the content is inline
  char* inline_;        // inline storage of inline_capacity_ + 1 bytes
  int32_t length_;
  int32_t capacity_;    // content bytes the current storage holds (its block is one byte larger)
  int32_t inline_capacity_;
  bool lent_ = false;   // data_ is storage given by UseLentStorage (never freed here)
  bool other_heap_ = false;
};

// BufferShape supplies the N + 1 inline bytes of one buffer shape.
template <int32_t N>
class BufferShape : public BufferCore {
 public:
  static constexpr int32_t kInlineCapacity = N;
  BufferShape() : BufferCore(storage_, N) {
    storage_[0] = '\0';
    storage_[1] = '\0';
    storage_[N] = '\0';
  }
  ~BufferShape() { Clear(); }

 private:
  alignas(8) char storage_[N + 1];  // 8-aligned so that item arrays kept inline read aligned words
};

class Buffer : public BufferShape<99> {};
class Buffer20 : public BufferShape<20> {};
class Buffer1024 : public BufferShape<1024> {};

// SecureBuffer always zeroes the storage it releases.
class SecureBuffer : public Buffer {
 public:
  SecureBuffer() = default;
  ~SecureBuffer() { Clear(); }  // wipe while the dynamic type still says so
  int WipeOnFree() const override { return 1; }
};

// Work buffers of the MIME encoded-word code and of the PEM and key-file readers.
class EncodedWordOutput : public Buffer {};
class EncodedWordScratch : public Buffer {};
class PemScratch : public Buffer {};

// BufferPair is a plain record of two buffers; the second is emptied first.
struct BufferPair {
  Buffer first;
  Buffer second;
  ~BufferPair() {
    second.Clear();
    first.Clear();
  }
};

// WideStringBuffer is a buffer that also keeps the UTF-16LE form of its text, made on demand.
class WideStringBuffer : public Buffer {
 public:
  ~WideStringBuffer() {
    wide_.Clear();
    Clear();
  }
  // ToWide converts the content from code page to UTF-16 and returns it (NUL-terminated); when the
  // conversion fails it returns an empty UTF-16 text. The pointer stays valid until the next change of
  // this object.
  const char16_t* ToWide(uint32_t code_page);
  // AssignAndToWide stores text (null counts as "") and returns ToWide(code_page); null on failure.
  const char16_t* AssignAndToWide(const char* text, uint32_t code_page);
  // WideLength is the number of UTF-16 units of the last ToWide, without the terminator.
  int32_t WideLength() const { return wide_.Length() >= 2 ? wide_.Length() / 2 - 1 : 0; }
  Buffer& Wide() { return wide_; }

 private:
  Buffer wide_;
};

// Free-standing operations on any buffer shape.
int BufferStartsWith(const BufferCore& buffer, const char* text);
[[nodiscard]] int BufferConsumeFront(BufferCore& buffer, int32_t count);
[[nodiscard]] int BufferTrimSet(BufferCore& buffer, const char* set);
[[nodiscard]] int PadLeftWithZeros(BufferCore& buffer, int32_t length);

// WipeAndFree releases a block on behalf of owner: zeroes its first size bytes when owner's
// WipeOnFree() says so, and frees it when release is nonzero. A null block does nothing.
void WipeAndFree(const BufferCore& owner, void* block, int32_t size, int release);

// TokenText is the token holder of the XML and JSON parsers: tokens under 1024 bytes live inline,
// longer ones in the overflow buffer.
class TokenText {
 public:
  TokenText();
  TokenText(const TokenText&) = delete;
  TokenText& operator=(const TokenText&) = delete;

  [[nodiscard]] int Assign(const void* bytes, int32_t count);
  // AssignJson is Assign returning 10000 when the overflow cannot grow.
  [[nodiscard]] int AssignJson(const void* bytes, int32_t count);
  [[nodiscard]] int AssignCString(const char* text);
  void Reset();
  const char* Text() const { return text_; }
  int32_t Length() const { return length_; }

 private:
  Buffer1024 overflow_;
  char inline_text_[1024];
  int32_t length_ = 0;
  char* text_;
};

}  // namespace velmora::core
