// Shared by the encoded-word and ISO-2022-JP code of this folder only.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/buffer.h"

namespace velmora::core::mime_internal {

// Writer appends to a buffer and keeps the first failure; later writes are skipped, so a writer can
// run to its end and report once.
class Writer {
 public:
  explicit Writer(BufferCore& out) : out_(out) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void Put(const void* bytes, int32_t count) {
    if (rc_ == kOk) rc_ = out_.Append(bytes, count);
  }
  void Put(const char* text) { Put(text, static_cast<int32_t>(std::strlen(text))); }
  void Put(const BufferCore& bytes) { Put(bytes.Data(), bytes.Length()); }
  void PutByte(uint8_t byte) {
    if (rc_ == kOk) rc_ = out_.AppendByte(byte);
  }
  // Check takes the result of a step that wrote on its own.
  void Check(int rc) {
    if (rc_ == kOk) rc_ = rc;
  }
  int Result() const { return rc_; }
  bool Ok() const { return rc_ == kOk; }
  BufferCore& Out() { return out_; }

 private:
  BufferCore& out_;
  int rc_ = kOk;
};

inline bool IsBlankOrTab(uint8_t c) { return c == ' ' || c == '\t'; }
// IsHeaderWhitespace: TAB, LF, CR and SP.
inline bool IsHeaderWhitespace(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
// IsShiftJisLead: the lead bytes of JIS X 0208 characters in Shift_JIS.
inline bool IsShiftJisLead(uint8_t c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEF); }

}  // namespace velmora::core::mime_internal
