#include "component/transcript.h"

#include <cstring>

#include "core/date_time.h"
#include "core/file_helpers.h"
#include "core/hex.h"
#include "platform/files.h"

namespace velmora::component {

namespace plat = velmora::platform;

namespace {

// IsBinary: a CR without LF after it, or an LF without CR before it, cannot stand literally in the script.
bool IsBinary(const uint8_t* data, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    if (data[i] == '\r' && (i + 1 >= length || data[i + 1] != '\n')) return true;
    if (data[i] == '\n' && (i == 0 || data[i - 1] != '\r')) return true;
  }
  return false;
}

bool NeedsBackslash(uint8_t byte) {
  return byte == '"' || byte == '$' || byte == '[' || byte == '\\' || byte == ']';
}

// AppendEscaped appends the body: runs of plain characters in one piece, the rest escaped.
int AppendEscaped(core::BufferCore& out, const uint8_t* data, int32_t length, bool binary) {
  int32_t run = 0;
  for (int32_t i = 0; i <= length; ++i) {
    const uint8_t byte = i < length ? data[i] : 0;
    const bool plain = i < length && ((byte >= ' ' && byte <= 'z' && !NeedsBackslash(byte)) ||
                                      (!binary && (byte == '\r' || byte == '\n')));
    if (plain) continue;
    int rc = out.Append(data + run, i - run);
    if (rc != core::kOk) return rc;
    run = i + 1;
    if (i == length) break;
    char escape[4] = {'\\', static_cast<char>(byte), 0, 0};
    int32_t escape_length = 2;
    if (byte < ' ' || byte > 'z') {
      escape[1] = static_cast<char>('0' + (byte >> 6));
      escape[2] = static_cast<char>('0' + ((byte >> 3) & 7));
      escape[3] = static_cast<char>('0' + (byte & 7));
      escape_length = 4;
    }
    rc = out.Append(escape, escape_length);
    if (rc != core::kOk) return rc;
  }
  return core::kOk;
}

}  // namespace

int AppendTranscriptCommand(core::BufferCore& out, int direction, const void* data, int32_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (length < 0 || bytes == nullptr) length = 0;
  const bool binary = IsBinary(bytes, length);
  // Received data is always something to expect; only sent data can be sent raw.
  const char* command = direction != kTranscriptSend ? "\r\nexpect -exact \""
                        : binary                      ? "\r\nsend -binary \""
                                                      : "\r\nsend -nonewline \"";
  int rc = out.AppendCString(command);
  if (rc == core::kOk) rc = AppendEscaped(out, bytes, length, binary);
  if (rc == core::kOk) rc = out.AppendCString("\"\r\n");
  return rc;
}

int RecordTranscript(TranscriptTarget& target, int direction, const void* data, int32_t length) {
  if (target.log_option & 1) {
    (void)DumpToDebugLog(target.log_file, target.id, direction, data, length, target.utc);
  }
  const bool to_file = target.file != nullptr && *target.file != plat::kInvalidFile;
  const bool to_text = target.to_string && target.text != nullptr;
  if (!to_file && !to_text) return 0;
  core::Buffer command;
  int rc = AppendTranscriptCommand(command, direction, data, length);
  if (rc != core::kOk) return rc;
  if (to_file) {
    uint32_t done = 0;
    if (!plat::WriteFile(*target.file, command.Data(), static_cast<uint32_t>(command.Length()), &done) ||
        done != static_cast<uint32_t>(command.Length())) {
      (void)plat::CloseFile(*target.file);
      *target.file = plat::kInvalidFile;
      rc = core::kWriteFailed;
    }
  }
  if (to_text) {
    const int appended = target.text->Append(command);
    if (appended != core::kOk) return appended;
  }
  return rc;
}

int RecordTranscriptText(TranscriptTarget& target, int direction, const char* text) {
  const bool log_on = (target.log_option & 1) != 0 && target.log_file != nullptr && target.log_file[0] != '\0';
  const bool file_on = target.file != nullptr && *target.file != plat::kInvalidFile;
  if (!file_on && !target.to_string && !log_on) return 0;
  return RecordTranscript(target, direction, text, text == nullptr ? 0 : static_cast<int32_t>(std::strlen(text)));
}

int DumpToDebugLog(const char* log_file, uint64_t id, int direction, const void* data, int32_t length, bool utc) {
  if (log_file == nullptr || log_file[0] == '\0') return core::kFileNotOpen;
  if (length < 0) length = 0;
  uint32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  (void)core::GetUtcDateParts(&year, &month, &day, &hour, &minute, &second, &ms, nullptr);
  if (!utc) (void)core::DatePartsToLocal(&year, &month, &day, &hour, &minute, &second, &ms);
  core::Buffer text;
  int rc = text.AppendByte('[');
  if (rc == core::kOk) rc = core::AppendInt64Text(text, static_cast<int64_t>(id));
  if (rc == core::kOk) {
    rc = text.AppendFormat("][%04d/%02d/%02d %02d:%02d:%02d] ------%s------(%d bytes)\r\n", static_cast<int>(year),
                      static_cast<int>(month), static_cast<int>(day), static_cast<int>(hour), static_cast<int>(minute),
                      static_cast<int>(second), direction == kTranscriptSend ? "SEND" : "RECEIVE", length);
  }
  if (rc == core::kOk) rc = core::AppendHexDump(text, data, length, "    ");
  if (rc == core::kOk) rc = text.AppendCString("\r\n");
  if (rc != core::kOk) return rc;
  core::FileHandle file;
  rc = file.OpenAppend(log_file);
  if (rc != core::kOk) return rc;
  rc = file.Write(text.Data(), static_cast<uint32_t>(text.Length()));
  (void)file.Close();
  return rc;
}

}  // namespace velmora::component
