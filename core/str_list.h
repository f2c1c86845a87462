// StrList: a list of byte strings kept back to back in one Buffer, and SplitToStringList, which cuts a
// text at a separator text into one.
//
// Each item is a record of its length L as 3 bytes big-endian, its L bytes and a zero byte, so an item
// can be handed out in place as a NUL-terminated text; L is at most 0xFFFFFF. An item may hold zero
// bytes of its own; operations that take an item as a text see it only up to the first one. A list is
// changed by one thread at a time, with no reader meanwhile; the const members write nothing, so several
// threads may read one list at once.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::core {

class StrList {
 public:
  // kMaxItemLength is the largest item the 24-bit record length can hold.
  static constexpr int32_t kMaxItemLength = 0xFFFFFF;

  StrList() = default;
  StrList(const StrList&) = delete;
  StrList& operator=(const StrList&) = delete;

  int32_t Count() const { return count_; }
  // Records returns the records of every item, in order.
  const BufferCore& Records() const { return data_; }

  // Clear removes every item; returns 0.
  int Clear();

  // Add appends an item of length bytes (null bytes give length zero bytes); 0, or 200 when length is
  // above kMaxItemLength or memory runs out. A failed add leaves the list unchanged.
  [[nodiscard]] int Add(const void* bytes, int32_t length);
  // AddCString adds the text up to its zero (null gives an empty item).
  [[nodiscard]] int AddCString(const char* text);
  // AddInt and AddInt64 add the decimal text of value.
  [[nodiscard]] int AddInt(int32_t value);
  [[nodiscard]] int AddInt64(int64_t value);
  // AppendToLast appends text (null counts as "") to the last item, or adds it as the first item of an
  // empty list; 200 when memory runs out or the grown item would pass kMaxItemLength (nothing changes).
  [[nodiscard]] int AppendToLast(const char* text);

  // Item returns item index as a NUL-terminated text inside the list, valid until the list next
  // changes; the empty text when index is out of range. On a list that is not const, Item and ItemLength
  // remember where the item lies, so that reading the items in order walks the records once.
  const char* Item(int32_t index) const;
  const char* Item(int32_t index);
  // ItemLength returns the byte length of item index, 0 when index is out of range.
  int32_t ItemLength(int32_t index) const;
  int32_t ItemLength(int32_t index);
  // ItemAsInt and ItemAsInt64 return ParseInt / ParseInt64 of the item.
  int32_t ItemAsInt(int32_t index) const;
  int64_t ItemAsInt64(int32_t index) const;
  // IndexOf returns the first index at or after start whose item equals text byte for byte (as
  // NUL-terminated texts), or -1.
  int32_t IndexOf(const char* text, int32_t start) const;

  // SetAt replaces item index by length bytes; 432 for an index out of range, 200 when length is above
  // kMaxItemLength or memory runs out. A failure leaves the list unchanged.
  [[nodiscard]] int SetAt(int32_t index, const void* bytes, int32_t length);
  // SetAtString replaces item index by text (null counts as "").
  [[nodiscard]] int SetAtString(int32_t index, const char* text);
  // SetAtInt and SetAtInt64 replace item index by the decimal text of value.
  [[nodiscard]] int SetAtInt(int32_t index, int32_t value);
  [[nodiscard]] int SetAtInt64(int32_t index, int64_t value);

  // RemoveAt removes item index, keeping every later item byte for byte; 432 for an index out of range.
  [[nodiscard]] int RemoveAt(int32_t index);
  // SetCount adds empty items or drops items from the end until the count is n; a negative n changes
  // nothing. 0, or 200 when memory runs out (nothing changes then).
  [[nodiscard]] int SetCount(int32_t n);

 private:
  // RecordOffset returns the offset of record index (0 <= index <= count: count gives the end); WalkTo
  // returns it too and remembers it.
  int32_t RecordOffset(int32_t index) const;
  int32_t WalkTo(int32_t index);
  int32_t LengthAt(int32_t offset) const;
  void WriteRecord(int32_t offset, const void* bytes, int32_t length);
  bool PointsIntoData(const void* bytes) const;
  void ForgetWalk() {
    walk_index_ = 0;
    walk_offset_ = 0;
  }

  int32_t count_ = 0;
  Buffer data_;
  // The last record found by WalkTo, so that reading items in order walks the records once.
  int32_t walk_index_ = 0;
  int32_t walk_offset_ = 0;
};

// SplitToStringList empties list and fills it with the segments of text (null counts as "") between
// occurrences of separator. Every segment before the last separator is trimmed of leading and trailing
// bytes 0x00-0x20; the last segment only when trim_last is set; empty segments are dropped when skip_empty
// is set. An empty or null separator gives the whole text as the one segment. 0, or the code of the
// first failing add (the list keeps the items added before it).
[[nodiscard]] int SplitToStringList(StrList& list, const char* text, const char* separator, int skip_empty,
                                    int trim_last);

}  // namespace velmora::core
