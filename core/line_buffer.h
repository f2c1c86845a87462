// LineBuffer: a linear receive buffer that a receiver fills in place or by copying, and that hands out
// lines (ended by CR, LF, CR LF or LF CR, also when the pair is split between two fills), records
// ended by a delimiter, or plain runs of bytes.
//
// The bytes handed out point into the buffer and stay valid until the next fill or compaction. A
// buffer is used by one thread at a time.
#pragma once

#include <cstdint>

namespace velmora::core {

class LineBuffer {
 public:
  LineBuffer() = default;
  ~LineBuffer() { Release(); }
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;

  // Allocate prepares a block of size bytes: a block of exactly that size is kept (only the start goes
  // back to 0); otherwise the old block is released and a new, empty one allocated. 1, or 0 when the
  // allocation fails or size is above INT32_MAX - 1 (the buffer then has no block).
  int Allocate(uint32_t size);
  // Wrap makes the buffer a read-only view of count bytes of the caller's, who keeps them. A view is
  // never written: appends and write spans find no room, and compaction leaves it alone.
  void Wrap(const void* bytes, uint32_t count);
  // Release releases the block (unless it is a view) and the delimiter and zeroes every field; 1.
  int Release();

  // SetDelimiter sets the record delimiter (a copy; null or empty: none); 1, or 0 when the copy cannot
  // be allocated (there is then no delimiter).
  int SetDelimiter(const void* bytes, uint32_t length);
  // SetLineMode makes NextRecord hand out lines (while a delimiter is set).
  void SetLineMode(bool on) { line_mode_ = on ? 1 : 0; }

  uint32_t Capacity() const { return capacity_; }
  uint32_t Start() const { return start_; }
  uint32_t Used() const { return used_; }
  // FreeAtEnd is the room behind the unread bytes, FreeTotal all the room the unread bytes leave.
  uint32_t FreeAtEnd() const { return capacity_ > used_ + start_ ? capacity_ - used_ - start_ : 0; }
  uint32_t FreeTotal() const { return capacity_ > used_ ? capacity_ - used_ : 0; }

  // Append copies count bytes behind the unread bytes, compacting first when needed; 1, or 0 (nothing
  // stored) when count is above FreeTotal().
  int Append(const void* bytes, uint32_t count);
  // Compact moves the unread bytes to the front of the block.
  void Compact();

  // WriteSpan hands out the room behind the unread bytes for a receiver to fill in place (*out, and
  // its size in *count), compacting when that makes the room larger. Returns 1 when the asked *count
  // is at most FreeTotal() and the room handed out is not empty; otherwise it compacts, hands out the
  // whole free room and returns 0.
  int WriteSpan(char** out, uint32_t* count);
  // CommitWrite accounts count bytes written into the write span; 1, or 0 (nothing changes) when count
  // is above FreeAtEnd().
  int CommitWrite(uint32_t count);

  // Take hands out and consumes *count unread bytes, or all of them when *count is 0 or above Used()
  // (*count is then set to the number handed out); 1, or 0 with *out "" and *count 0 when nothing is
  // unread.
  int Take(const char** out, uint32_t* count);
  // ReadLine hands out the next complete line without its line end and consumes both; 1, or 0 (with
  // *out null and *count 0) when no complete line is there yet.
  int ReadLine(const char** out, uint32_t* count);
  // NextRecord hands out the next record: Take without a delimiter; with one, the bytes before it
  // (consuming the delimiter too) or, in line mode, ReadLine. 0 with *out null and *count 0 when no
  // complete record is there yet.
  int NextRecord(const char** out, uint32_t* count);

 private:
  void Consume(uint32_t n);
  void ReleaseBlock();

  char* data_ = nullptr;
  uint32_t capacity_ = 0;
  uint32_t start_ = 0;
  uint32_t used_ = 0;
  char* delimiter_ = nullptr;
  uint32_t delimiter_length_ = 0;
  uint8_t line_mode_ = 0;
  uint8_t pending_line_end_ = 0;  // 0, or the byte (CR or LF) that would complete a split line end
  bool owns_data_ = false;
};

}  // namespace velmora::core
