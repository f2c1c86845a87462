// EventStringRecord: an in/out text of an event that the library and the application's sink may each hold
// as narrow text or as UTF-16, by reference or as an owned copy; and the operations of the exported
// VelmoraBLE_EvtStr on it.
#pragma once

#include <cstdint>

namespace velmora::ble {

// Operations and kinds of EventStringOperation.
constexpr int32_t kEvtStrGet = 0;
constexpr int32_t kEvtStrSetByReference = 1;
constexpr int32_t kEvtStrSetByCopy = 2;
constexpr int32_t kEvtStrNarrow = 1;
constexpr int32_t kEvtStrWide = 2;

// EventStringRecord is used by one thread at a time: the thread that delivers the event and runs the sink.
struct EventStringRecord {
  // Ownership bits.
  static constexpr int32_t kOwnsNarrow = 1;
  static constexpr int32_t kOwnsWide = 2;

  explicit EventStringRecord(uint32_t record_code_page) : code_page(record_code_page) {}
  ~EventStringRecord() { Clear(); }
  EventStringRecord(const EventStringRecord&) = delete;
  EventStringRecord& operator=(const EventStringRecord&) = delete;

  // Clear frees the owned copies and forgets both texts; status becomes 0.
  void Clear();
  // Prefill holds text (narrow, by reference) and drops any UTF-16 form; a different pointer clears the
  // record first.
  void Prefill(const char* text);
  // GetNarrow returns the narrow text, converting a held UTF-16 text into an owned copy; null when the
  // status is nonzero, nothing is held or the conversion fails (the thread's last platform error says why;
  // the record keeps what it holds). GetWide is the same for UTF-16.
  const char* GetNarrow();
  const char16_t* GetWide();
  // OwnsBytesAt tells whether at points into one of the copies the record owns (and frees on its next set).
  bool OwnsBytesAt(const void* at) const;

  int32_t status = 0;      // 0, or the platform error number of a set that failed (out of memory)
  uint32_t code_page = 0;  // the client's code page when the record was made
  int32_t owned = 0;       // kOwnsNarrow | kOwnsWide
  char* narrow = nullptr;
  char16_t* wide = nullptr;
};

// EventStringOperation runs VelmoraBLE_EvtStr: get (returns the text in kind, or null), set by reference
// and set by copy (return null). A null record, another operation or another kind returns null.
void* EventStringOperation(EventStringRecord* record, int32_t operation, const void* value, int32_t kind);

}  // namespace velmora::ble
