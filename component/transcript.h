// The transcript of a component's socket data: each block sent or received is written as a command of an
// expect script ("send -nonewline", "send -binary" or "expect -exact" with the data quoted) to the
// transcript file and/or appended to the transcript text; with bit 0 of the log option the block is also
// dumped in hexadecimal to the debug log file under a time-stamped line. One thread at a time per target.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::component {

constexpr int kTranscriptReceive = 0;
constexpr int kTranscriptSend = 1;

// TranscriptTarget is where the transcript of one component goes.
struct TranscriptTarget {
  int* file = nullptr;                // the open transcript file, or platform::kInvalidFile; closed on failure
  core::BufferCore* text = nullptr;   // the transcript text, appended to while to_string is set
  bool to_string = false;
  const char* log_file = nullptr;     // the debug log file name; null or "" for none
  uint32_t log_option = 0;            // bit 0 dumps each block to the debug log
  uint64_t id = 0;                    // the component's identity number in the debug log lines
  bool utc = false;                   // time stamps in UTC instead of local time
};

// RecordTranscript records length bytes of data moving in direction (kTranscriptSend or
// kTranscriptReceive). 0; 7 when the write to the transcript file failed (the file is then closed and
// the text form goes on); 200 when the text cannot grow. The debug log's failure does not stop it.
[[nodiscard]] int RecordTranscript(TranscriptTarget& target, int direction, const void* data, int32_t length);
// RecordTranscriptText records a NUL-terminated text; it does nothing (0) when neither the file, the text
// form nor the debug log is on.
[[nodiscard]] int RecordTranscriptText(TranscriptTarget& target, int direction, const char* text);
// AppendTranscriptCommand appends the script command for the block to out: CR LF, the command, a blank,
// the data quoted and escaped, the closing quote, CR LF. 0 or 200.
[[nodiscard]] int AppendTranscriptCommand(core::BufferCore& out, int direction, const void* data, int32_t length);

// DumpToDebugLog appends to log_file (created when missing) the line
// "[id][yyyy/mm/dd hh:mm:ss] ------SEND------(n bytes)" (or RECEIVE), a hex dump of the data with lines
// prefixed by four blanks, and CR LF; the file is closed again. 0, the open's code, 5 when no file is
// named, 7 when a write fails, 200.
[[nodiscard]] int DumpToDebugLog(const char* log_file, uint64_t id, int direction, const void* data,
                                 int32_t length, bool utc);

}  // namespace velmora::component
