// The ISO-2022-JP half of core/mime_words.h: Shift_JIS <-> ISO-2022-JP (RFC 1468), its encoded words and
// the header writers that produce them.
#include <cstring>

#include "core/base64.h"
#include "core/code_page.h"
#include "core/mime_internal.h"
#include "core/mime_words.h"
#include "core/numbers.h"

namespace velmora::core {

using mime_internal::IsBlankOrTab;
using mime_internal::IsHeaderWhitespace;
using mime_internal::IsShiftJisLead;
using mime_internal::Writer;

namespace {

constexpr char kEscapeKanji[] = "\x1B$B";
constexpr char kEscapeAscii[] = "\x1B(B";
constexpr char kWordPrefix[] = "=?ISO-2022-JP?B?";
constexpr int32_t kWordPrefixLength = 16;  // "=?ISO-2022-JP?" + letter + "?"
constexpr uint8_t kEscape = 0x1B;

bool IsHalfWidthKana(uint8_t c) { return c >= 0xA1 && c <= 0xDF; }
bool IsValidTrail(uint8_t c) { return c >= 0x40 && c <= 0xFC && c != 0x7F; }

}  // namespace

int AppendJisKanjiEscape(BufferCore& out) { return out.Append(kEscapeKanji, 3); }

int AppendJisAsciiEscape(BufferCore& out) { return out.Append(kEscapeAscii, 3); }

int ShiftJisToIso2022Jp(BufferCore& out, const char* text) {
  if (text == nullptr) return kOk;
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  Writer writer(out);
  bool two_byte = false;
  auto to_ascii = [&] {
    if (two_byte) writer.Put(kEscapeAscii, 3);
    two_byte = false;
  };
  auto put_pair = [&](uint8_t first, uint8_t second) {
    ShiftJisPairToJis(first, second);
    if (!two_byte) writer.Put(kEscapeKanji, 3);
    two_byte = true;
    writer.PutByte(first);
    writer.PutByte(second);
  };
  for (size_t i = 0; p[i] != 0 && writer.Ok();) {
    const uint8_t c = p[i];
    if (IsShiftJisLead(c)) {
      if (p[i + 1] == 0) break;  // a lead byte at the end is dropped
      if (IsValidTrail(p[i + 1])) {
        put_pair(c, p[i + 1]);
        i += 2;
      } else {
        // A broken pair must not put 8-bit bytes into the 7-bit stream: it becomes '?', and the byte
        // after it is read on its own.
        to_ascii();
        writer.PutByte('?');
        ++i;
      }
    } else if (IsHalfWidthKana(c)) {
      uint8_t first = 0, second = 0;
      const int absorbed = HalfWidthKanaToShiftJis(c, p[i + 1], &first, &second);
      put_pair(first, second);
      i += absorbed != 0 ? 2 : 1;
    } else {
      to_ascii();
      writer.PutByte(c >= 0x80 ? '?' : c);
      ++i;
    }
  }
  to_ascii();
  return writer.Result();
}

int JisToShiftJis(BufferCore& out, const char* text) {
  if (text == nullptr) return kOk;
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  Writer writer(out);
  bool two_byte = false;
  for (size_t i = 0; p[i] != 0 && writer.Ok();) {
    const uint8_t c = p[i];
    if (c == kEscape) {
      const uint8_t next = p[i + 1];
      if (next == 0) break;
      two_byte = next == '$' || next == 'K';
      i += 2;
      // ESC $ and ESC ( carry one more (final) byte, unless the text ends first.
      if ((next == '$' || next == '(') && p[i] != 0) ++i;
    } else if (c == '\r' || c == '\n') {
      two_byte = false;
      writer.PutByte(c);
      ++i;
    } else if (two_byte) {
      const uint8_t cell = p[i + 1];
      if (cell == 0) break;  // half a pair at the end is dropped
      if (cell == kEscape || cell == '\r' || cell == '\n') {
        ++i;  // half a pair before a control byte is dropped
        continue;
      }
      const ShiftJisBytes pair = JisToShiftJisPair(c, cell);
      writer.PutByte(pair.first);
      writer.PutByte(pair.second);
      i += 2;
    } else {
      writer.PutByte(c);
      ++i;
    }
  }
  return writer.Result();
}

int AppendIso2022JpWord(BufferCore& out, const char* shift_jis, int wrap) {
  // NOTE: wrap is accepted but not applied: a CR LF inside an encoded word, with no blank after it,
  // would end the header line in the middle of the word.
  (void)wrap;
  Buffer jis;
  int rc = ShiftJisToIso2022Jp(jis, shift_jis);
  if (rc != kOk) return rc;
  Writer writer(out);
  writer.Put(kWordPrefix, kWordPrefixLength);
  if (writer.Ok()) writer.Check(Base64Encode(out, jis.Data(), jis.Length(), 0, 64, 0));
  writer.Put("?=", 2);
  return writer.Result();
}

namespace {

// WordBody copies the text of a whole ISO-2022-JP word (between its 16-byte prefix and its "?=");
// false when the word is too short to hold both.
bool WordBody(const char* word, int32_t length, BufferCore& body, int* rc) {
  *rc = kOk;
  if (word == nullptr || length < kWordPrefixLength + 2) return false;
  *rc = body.SetData(length - kWordPrefixLength - 2, word + kWordPrefixLength);
  return *rc == kOk;
}

}  // namespace

int DecodeIso2022JpBWord(BufferCore& out, const char* word, int32_t length) {
  Buffer body;
  int rc;
  if (!WordBody(word, length, body, &rc)) return rc;
  (void)Base64Decode(body, 0, 0, 1);  // lenient decoding skips what is not base64 and never fails
  return JisToShiftJis(out, body.Data());
}

int DecodeIso2022JpQWord(BufferCore& out, const char* word, int32_t length) {
  Buffer body;
  int rc;
  if (!WordBody(word, length, body, &rc)) return rc;
  char* p = body.Data();
  for (int32_t i = 0; i < body.Length(); ++i) {
    if (p[i] == '_') p[i] = ' ';
  }
  rc = DecodeQuotedEquals(body);
  if (rc != kOk) return rc;
  return JisToShiftJis(out, body.Data());
}

namespace {

// StartsWithWordPrefix is true when text begins "=?ISO-2022-JP?" (any case) followed by a letter and one
// more byte; it never reads past the text's terminator.
bool StartsWithWordPrefix(const char* text) {
  static constexpr char kName[] = "=?ISO-2022-JP?";
  for (int i = 0; kName[i] != '\0'; ++i) {
    const auto c = static_cast<uint8_t>(text[i]);
    const auto lower = static_cast<uint8_t>((c >= 'A' && c <= 'Z') ? c + 32 : c);
    const auto expected = static_cast<uint8_t>(kName[i]);
    const auto expected_lower = static_cast<uint8_t>((expected >= 'A' && expected <= 'Z') ? expected + 32 : expected);
    if (lower != expected_lower) return false;
  }
  return text[14] != '\0' && text[15] != '\0';
}

}  // namespace

int DecodeIso2022JpWords(BufferCore& out, const char* text) {
  if (text == nullptr) return kOk;
  Writer writer(out);
  const size_t length = std::strlen(text);
  size_t no_close_from = length;  // no "?=" starts at or after this index
  for (size_t i = 0; i < length && writer.Ok();) {
    if (text[i] == '=' && StartsWithWordPrefix(text + i) && i + kWordPrefixLength < no_close_from) {
      const char* close = std::strstr(text + i + kWordPrefixLength, "?=");
      if (close == nullptr) {
        no_close_from = i + kWordPrefixLength;
      } else {
        const auto word_length = static_cast<int32_t>(close + 2 - (text + i));
        const char letter = text[i + 14];
        if (letter == 'Q' || letter == 'q') writer.Check(DecodeIso2022JpQWord(out, text + i, word_length));
        if (letter == 'B' || letter == 'b') writer.Check(DecodeIso2022JpBWord(out, text + i, word_length));
        i += static_cast<size_t>(word_length);
        size_t next = i;
        while (IsHeaderWhitespace(static_cast<uint8_t>(text[next]))) ++next;
        if (next > i && text[next] == '=' && text[next + 1] == '?') i = next;  // whitespace between two words
        continue;
      }
    }
    writer.PutByte(static_cast<uint8_t>(text[i++]));
  }
  return writer.Result();
}

int SetDecodedIso2022JpWords(BufferCore& buffer, const char* text) {
  (void)buffer.Clear();
  return DecodeIso2022JpWords(buffer, text);
}

// ---- Header writers ------------------------------------------------------------------------------

namespace {

// AppendChar adds one Shift_JIS character starting at text[i] to chunk (a lead byte brings its trail
// byte) and returns the index after it; length < 0 means the text ends at its NUL.
int32_t AppendChar(const char* text, int32_t i, int32_t length, BufferCore& chunk, Writer& writer) {
  const auto c = static_cast<uint8_t>(text[i]);
  const bool has_next = length < 0 ? text[i + 1] != '\0' : i + 1 < length;
  const int32_t count = (IsShiftJisLead(c) && has_next) ? 2 : 1;
  writer.Check(chunk.Append(text + i, count));
  return i + count;
}

// EmitChunk writes a chunk as an ISO-2022-JP word when it holds a byte of 0x80 or above, else as it is.
void EmitChunk(Writer& writer, const BufferCore& chunk, int wrap) {
  if (!writer.Ok() || chunk.Length() == 0) return;
  if (HasHighByte(chunk.Data(), chunk.Length())) {
    writer.Check(AppendIso2022JpWord(writer.Out(), chunk.Data(), wrap));
  } else {
    writer.Put(chunk);
  }
}

}  // namespace

int AppendHeaderParameter(BufferCore& out, const char* name, const char* value, int32_t value_length, int mode,
                          const char* charset, int32_t chunk_bytes) {
  if (name == nullptr) name = kEmptyText;
  if (value == nullptr || value_length < 0) value_length = 0;
  const bool high = HasHighByte(value, value_length) != 0;
  Writer writer(out);
  if (mode == 1 && high) {
    writer.Put("\r\n\t", 3);
    writer.Put(name);
    writer.Put("=\"", 2);
    Buffer chunk;
    bool emitted = false;
    for (int32_t i = 0; i < value_length && writer.Ok();) {
      i = AppendChar(value, i, value_length, chunk, writer);
      if (chunk.Length() > (emitted ? 45 : 35)) {
        if (emitted) writer.Put("\r\n\t", 3);
        EmitChunk(writer, chunk, 0);
        (void)chunk.Clear();
        emitted = true;
      }
    }
    if (chunk.Length() > 0) {
      if (emitted) writer.Put("\r\n\t", 3);
      if (writer.Ok()) writer.Check(AppendIso2022JpWord(out, chunk.Data(), 0));
    }
    writer.Put("\"", 1);
    return writer.Result();
  }
  writer.Put(" ", 1);
  writer.Put(name);
  writer.Put("=\"", 2);
  if (high && charset != nullptr && charset[0] != '\0') {
    if (writer.Ok()) {
      writer.Check(EncodeHeaderTextChunked(out, value, value_length, value_length, charset, chunk_bytes));
    }
  } else {
    writer.Put(value, value_length);
  }
  writer.Put("\"", 1);
  return writer.Result();
}

int EncodeIso2022JpHeader(BufferCore& out, const char* text, int32_t line_length, int iso2022jp_mode,
                          const char* charset) {
  if (text == nullptr) text = kEmptyText;
  const auto length = static_cast<int32_t>(std::strlen(text));
  if (iso2022jp_mode == 0 || !HasHighByte(text, length)) return EncodeHeaderText(out, text, line_length, charset);
  const int32_t threshold = line_length > 50 ? line_length - 50 : 10;
  Writer writer(out);
  Buffer chunk;
  for (int32_t i = 0; i < length && writer.Ok();) {
    auto c = static_cast<uint8_t>(text[i]);
    if (IsShiftJisLead(c)) {
      if (chunk.Length() > threshold) {
        EmitChunk(writer, chunk, 1);
        writer.Put("\r\n\t", 3);
        (void)chunk.Clear();
      }
      i = AppendChar(text, i, length, chunk, writer);
      continue;
    }
    ++i;
    if (c == '\r' || c == '\n') c = ' ';
    const bool separator = IsBlankOrTab(c) || c == ',';
    if (chunk.Length() < threshold && !separator) {
      writer.Check(chunk.AppendByte(c));
      continue;
    }
    if (c == ',') writer.Check(chunk.AppendByte(c));  // the comma stays with the text before it
    const bool short_chunk = chunk.Length() < threshold;
    EmitChunk(writer, chunk, 1);
    (void)chunk.Clear();
    if (short_chunk) {
      if (IsBlankOrTab(c)) writer.PutByte(c);
    } else {
      writer.Put("\r\n\t", 3);
      // The byte starts the next chunk, so that a half-width katakana byte is encoded with it.
      if (!separator) writer.Check(chunk.AppendByte(c));
    }
  }
  EmitChunk(writer, chunk, 1);
  return writer.Result();
}

int EncodeIso2022JpAddressHeader(BufferCore& out, const char* text, int32_t line_length, int iso2022jp_mode,
                                 const char* charset) {
  if (text == nullptr) text = kEmptyText;
  const auto length = static_cast<int32_t>(std::strlen(text));
  if (iso2022jp_mode == 0 || !HasHighByte(text, length)) return EncodeHeaderText(out, text, line_length, charset);
  Buffer scratch, run, quoted;
  Writer writer(scratch);
  auto flush_run = [&] {
    if (run.Length() == 0) return;
    if (writer.Ok()) writer.Check(AppendIso2022JpWord(scratch, run.Data(), 1));
    (void)run.Clear();
  };
  bool in_quotes = false;
  for (int32_t i = 0; i < length && writer.Ok();) {
    const auto c = static_cast<uint8_t>(text[i]);
    if (in_quotes) {
      if (c == '"') {
        in_quotes = false;
        ++i;
        if (HasHighByte(quoted.Data(), quoted.Length())) {
          if (writer.Ok()) writer.Check(AppendIso2022JpWord(scratch, quoted.Data(), 1));
        } else {
          writer.PutByte('"');
          writer.Put(quoted);
          writer.PutByte('"');
        }
        (void)quoted.Clear();
      } else {
        i = AppendChar(text, i, length, quoted, writer);
      }
      continue;
    }
    if (c >= 0x80) {  // double-byte characters, and half-width katakana, outside quotes
      i = AppendChar(text, i, length, run, writer);
      continue;
    }
    flush_run();
    ++i;
    if (c == '"') {
      in_quotes = true;
    } else {
      writer.PutByte(c);
    }
  }
  flush_run();
  if (in_quotes && quoted.Length() > 0 && writer.Ok()) writer.Check(AppendIso2022JpWord(scratch, quoted.Data(), 1));
  if (!writer.Ok()) return writer.Result();
  return FoldHeaderLines(out, scratch.Data(), scratch.Length(), line_length);
}

}  // namespace velmora::core
