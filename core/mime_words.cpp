#include "core/mime_words.h"

#include <cstring>

#include "core/base64.h"
#include "core/code_page.h"
#include "core/codec_internal.h"
#include "core/hex.h"
#include "core/mime_internal.h"
#include "core/numbers.h"

namespace velmora::core {

using mime_internal::IsBlankOrTab;
using mime_internal::IsHeaderWhitespace;
using mime_internal::Writer;

namespace {

// ---- Character boundaries for AppendMimeEncodedWords ------------------------------------------------

// SplitRule says how the bytes of a charset group into characters, so that words never split one
// (RFC 2047 section 5: each encoded word must hold whole characters).
enum class SplitRule { kAnywhere, kUtf8, kShiftJis, kDoubleByte, kGb18030, kEucJp, kUtf16Le, kUtf16Be, kUtf32 };

SplitRule SplitRuleFor(int32_t code_page) {
  switch (code_page) {
    case -1:  // an unknown name: the UTF-8 rule only keeps 0x80-0xBF bytes with the byte before them
    case 65001: return SplitRule::kUtf8;
    case 932: return SplitRule::kShiftJis;
    case 936:
    case 949:
    case 950:
    case 1361:
    case 20936:
    case 20949:
    case 51936:
    case 51949: return SplitRule::kDoubleByte;
    case 54936: return SplitRule::kGb18030;
    case 20932:
    case 51932: return SplitRule::kEucJp;
    case 1200: return SplitRule::kUtf16Le;
    case 1201: return SplitRule::kUtf16Be;
    case 12000:
    case 12001: return SplitRule::kUtf32;
    default: return SplitRule::kAnywhere;
  }
}

bool InRange(uint8_t c, uint8_t low, uint8_t high) { return c >= low && c <= high; }

// CharacterLength is the byte count of the character at p[at] (at least 1, at most the bytes left).
int32_t CharacterLength(SplitRule rule, const uint8_t* p, int32_t at, int32_t length) {
  const int32_t left = length - at;
  const uint8_t c = p[at];
  auto at_most = [left](int32_t n) { return n < left ? n : left; };
  switch (rule) {
    case SplitRule::kAnywhere: return 1;
    case SplitRule::kUtf8: {
      const int32_t expected = InRange(c, 0xF0, 0xF7) ? 4 : InRange(c, 0xE0, 0xEF) ? 3 : InRange(c, 0xC0, 0xDF) ? 2 : 1;
      int32_t n = 1;
      while (n < expected && n < left && (p[at + n] & 0xC0) == 0x80) ++n;
      return n;
    }
    case SplitRule::kShiftJis:
      return (InRange(c, 0x81, 0x9F) || InRange(c, 0xE0, 0xFC)) ? at_most(2) : 1;
    case SplitRule::kDoubleByte: return InRange(c, 0x81, 0xFE) ? at_most(2) : 1;
    case SplitRule::kGb18030:
      if (!InRange(c, 0x81, 0xFE)) return 1;
      return (left >= 4 && InRange(p[at + 1], 0x30, 0x39)) ? 4 : at_most(2);
    case SplitRule::kEucJp:
      if (c == 0x8F) return at_most(3);
      return (c == 0x8E || InRange(c, 0xA1, 0xFE)) ? at_most(2) : 1;
    case SplitRule::kUtf16Le:
    case SplitRule::kUtf16Be: {
      if (left < 2) return left;
      const uint8_t high_byte = rule == SplitRule::kUtf16Le ? p[at + 1] : c;
      return (InRange(high_byte, 0xD8, 0xDB) && left >= 4) ? 4 : 2;
    }
    case SplitRule::kUtf32: return at_most(4);
  }
  return 1;
}

// ChunkEnd returns where the word starting at start ends: the last character boundary at or before
// limit, or the end of the first character when that alone is longer.
int32_t ChunkEnd(SplitRule rule, const uint8_t* p, int32_t start, int32_t limit, int32_t length) {
  if (rule == SplitRule::kAnywhere || limit >= length) return limit;
  int32_t end = start;
  while (end < limit) {
    const int32_t n = CharacterLength(rule, p, end, length);
    if (end + n > limit) break;
    end += n;
  }
  return end > start ? end : start + CharacterLength(rule, p, start, length);
}

// ---- Encoded word parsing ---------------------------------------------------------------------------

// WordSpan locates one encoded word "=?" charset "?" letter "?" text "?=" in a text.
struct WordSpan {
  int32_t charset_end;  // index of the "?" after the charset
  int32_t text_start;
  int32_t text_end;  // index of the closing "?="
  uint8_t letter;    // 'B' or 'Q'
};

// FindClose returns the index of the first "?=" at or after from, or -1.
int32_t FindClose(const char* d, int32_t n, int32_t from) {
  for (int32_t i = from; i + 1 < n; ++i) {
    const void* q = std::memchr(d + i, '?', static_cast<size_t>(n - 1 - i));
    if (q == nullptr) return -1;
    i = static_cast<int32_t>(static_cast<const char*>(q) - d);
    if (d[i + 1] == '=') return i;
  }
  return -1;
}

// ParseWordAt reads the encoded word whose "=?" is at d[at]. The letter must be B or Q (either case)
// and followed by "?", and the closing "?=" is searched after that, so the text never overlaps the
// prefix. *no_close_from remembers the earliest position from which no "?=" exists, which keeps
// repeated failed searches in one text linear.
bool ParseWordAt(const char* d, int32_t n, int32_t at, int32_t* no_close_from, WordSpan* word) {
  if (at + 1 >= n || d[at] != '=' || d[at + 1] != '?') return false;
  const void* q = at + 2 < n ? std::memchr(d + at + 2, '?', static_cast<size_t>(n - at - 2)) : nullptr;
  if (q == nullptr) return false;
  const auto q1 = static_cast<int32_t>(static_cast<const char*>(q) - d);
  if (q1 + 2 >= n || d[q1 + 2] != '?') return false;
  const uint8_t letter = static_cast<uint8_t>(d[q1 + 1]) & 0xDF;  // upper-case
  if (letter != 'B' && letter != 'Q') return false;
  const int32_t text_start = q1 + 3;
  if (text_start >= *no_close_from) return false;
  const int32_t close = FindClose(d, n, text_start);
  if (close < 0) {
    *no_close_from = text_start;
    return false;
  }
  *word = WordSpan{q1, text_start, close, letter};
  return true;
}

// DecodeWordText sets out to the decoded bytes of an encoded word's text.
int DecodeWordText(const char* text, int32_t length, uint8_t letter, BufferCore& out) {
  int rc = out.SetData(length, text);
  if (rc != kOk) return rc;
  if (letter == 'B') {
    (void)Base64Decode(out, 0, 0, 1);  // lenient decoding skips what is not base64 and never fails
    return kOk;
  }
  char* p = out.Data();
  for (int32_t i = 0; i < length; ++i) {
    if (p[i] == '_') p[i] = ' ';
  }
  return DecodeQuotedEquals(out);
}

// ---- Conversion of decoded words --------------------------------------------------------------------

// UnicodeToWide turns UTF-16 or UTF-32 bytes (a byte-order mark wins over the code page's byte order)
// into UTF-16 units in wide; false when the length is no whole number of units.
bool UnicodeToWide(const uint8_t* p, int32_t length, int32_t code_page, BufferCore& wide, int* rc) {
  const bool utf32 = code_page == static_cast<int32_t>(kCodePageUtf32Le) ||
                     code_page == static_cast<int32_t>(kCodePageUtf32Be);
  bool big_endian = code_page == static_cast<int32_t>(kCodePageUtf16Be) ||
                    code_page == static_cast<int32_t>(kCodePageUtf32Be);
  const int32_t unit = utf32 ? 4 : 2;
  if (length % unit != 0) return false;
  int32_t at = 0;
  if (utf32 && length >= 4) {
    if (p[0] == 0xFF && p[1] == 0xFE && p[2] == 0 && p[3] == 0) big_endian = false, at = 4;
    if (p[0] == 0 && p[1] == 0 && p[2] == 0xFE && p[3] == 0xFF) big_endian = true, at = 4;
  } else if (!utf32 && length >= 2) {
    if (p[0] == 0xFF && p[1] == 0xFE) big_endian = false, at = 2;
    if (p[0] == 0xFE && p[1] == 0xFF) big_endian = true, at = 2;
  }
  *rc = wide.SetData((length - at) / unit * 4, nullptr);  // at most two UTF-16 units per character
  if (*rc != kOk) return true;
  int32_t units = 0;
  auto* out = reinterpret_cast<uint8_t*>(wide.Data());
  auto put = [&](uint32_t u) {
    out[units * 2] = static_cast<uint8_t>(u & 0xFF);
    out[units * 2 + 1] = static_cast<uint8_t>(u >> 8);
    ++units;
  };
  for (; at < length; at += unit) {
    uint32_t value;
    if (utf32) {
      value = big_endian ? (uint32_t{p[at]} << 24) | (p[at + 1] << 16) | (p[at + 2] << 8) | p[at + 3]
                         : (uint32_t{p[at + 3]} << 24) | (p[at + 2] << 16) | (p[at + 1] << 8) | p[at];
      if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) value = 0xFFFD;
      if (value >= 0x10000) {
        put(0xD800 | ((value - 0x10000) >> 10));
        value = 0xDC00 | ((value - 0x10000) & 0x3FF);
      }
    } else {
      value = big_endian ? (p[at] << 8) | p[at + 1] : (p[at + 1] << 8) | p[at];
    }
    put(value);
  }
  *rc = wide.SetData(units * 2, nullptr);
  return true;
}

// ConvertWord converts the decoded bytes of a word from code_page to target into out, without a
// terminator. 434 when it cannot be converted.
int ConvertWord(const BufferCore& bytes, int32_t code_page, int32_t target, BufferCore& out) {
  if (bytes.Length() == 0) return out.Clear();
  const bool unicode = code_page == static_cast<int32_t>(kCodePageUtf16Le) ||
                       code_page == static_cast<int32_t>(kCodePageUtf16Be) ||
                       code_page == static_cast<int32_t>(kCodePageUtf32Le) ||
                       code_page == static_cast<int32_t>(kCodePageUtf32Be);
  if (unicode) {
    Buffer wide;
    int rc = kOk;
    if (!UnicodeToWide(bytes.Bytes(), bytes.Length(), code_page, wide, &rc)) return kConversionFailed;
    if (rc != kOk) return rc;
    // wide's storage is a Buffer: inline or heap, both 2-byte aligned.
    return WideToMultiByteN(out, reinterpret_cast<const char16_t*>(wide.Data()), wide.Length() / 2,
                            static_cast<uint32_t>(target));
  }
  int rc = ConvertCodePage(bytes.Data(), bytes.Length(), static_cast<uint32_t>(code_page),
                           static_cast<uint32_t>(target), out);
  if (rc == kOk) (void)out.DropLast();  // the terminator ConvertCodePage counts
  return rc;
}

}  // namespace

// ---- Encoded words ---------------------------------------------------------------------------------

int AppendMimeEncodedWords(BufferCore& out, const void* data, int32_t length, const char* charset,
                           int32_t chunk_bytes) {
  if (charset == nullptr || charset[0] == '\0') return out.Append(data, length);
  if (data == nullptr || length < 1) return kOk;
  const auto charset_length = static_cast<int32_t>(std::strlen(charset));
  int32_t chunk = chunk_bytes >= 1 ? chunk_bytes : (64 - charset_length) * 3 / 4;
  if (chunk < 1) chunk = 1;
  const SplitRule rule = SplitRuleFor(CharsetNameToCodePage(charset));
  const auto* p = static_cast<const uint8_t*>(data);
  Writer writer(out);
  for (int32_t start = 0; start < length && writer.Ok();) {
    const int32_t limit = length - start > chunk ? start + chunk : length;
    const int32_t end = ChunkEnd(rule, p, start, limit, length);
    if (start > 0) writer.Put("\r\n ", 3);
    writer.Put("=?", 2);
    writer.Put(charset, charset_length);
    writer.Put("?B?", 3);
    if (writer.Ok()) writer.Check(Base64Encode(out, p + start, end - start, 0, 64, 0));
    writer.Put("?=", 2);
    start = end;
  }
  return writer.Result();
}

int DecodeEncodedWordText(BufferCore& buffer) {
  const char* d = buffer.Data();
  const int32_t n = buffer.Length();
  if (n < 2 || d[n - 2] != '?' || d[n - 1] != '=') return kOk;
  int32_t no_close_from = n;
  WordSpan word;
  // The word must be the whole buffer: its first "?=" after the letter is the final one.
  if (!ParseWordAt(d, n, 0, &no_close_from, &word) || word.text_end != n - 2) return kOk;
  Buffer decoded;
  int rc = DecodeWordText(d + word.text_start, word.text_end - word.text_start, word.letter, decoded);
  if (rc != kOk) return rc;
  return buffer.Assign(decoded);
}

int ReadAdjacentEncodedWord(const char* text, int32_t length, const char* charset, int32_t* consumed,
                            BufferCore& out) {
  *consumed = 0;
  (void)out.Clear();
  if (text == nullptr || charset == nullptr || length < 2) return 0;
  int32_t skip = 0;
  if (text[0] == '\r') {
    if (length < 3 || text[1] != '\n' || !IsBlankOrTab(static_cast<uint8_t>(text[2]))) return 0;
    skip = 3;
  } else if (text[0] == '\n') {
    if (!IsBlankOrTab(static_cast<uint8_t>(text[1]))) return 0;
    skip = 2;
  } else if (IsBlankOrTab(static_cast<uint8_t>(text[0]))) {
    // RFC 2047 section 6.2: blanks between adjacent encoded words are not part of the text.
    while (skip < length && IsBlankOrTab(static_cast<uint8_t>(text[skip]))) ++skip;
  } else if (text[0] != '=') {
    return 0;
  }
  const auto charset_length = static_cast<int32_t>(std::strlen(charset));
  const char* word = text + skip;
  const int32_t left = length - skip;
  if (left < charset_length + 3 || word[0] != '=' || word[1] != '?' ||
      std::memcmp(word + 2, charset, static_cast<size_t>(charset_length)) != 0 || word[2 + charset_length] != '?') {
    return 0;
  }
  int32_t no_close_from = left;
  WordSpan span;
  if (!ParseWordAt(word, left, 0, &no_close_from, &span) || span.charset_end != 2 + charset_length) return 0;
  if (DecodeWordText(word + span.text_start, span.text_end - span.text_start, span.letter, out) != kOk) {
    (void)out.Clear();
    return 0;
  }
  *consumed = skip + span.text_end + 2;
  return 1;
}

int DecodeQuotedEquals(BufferCore& buffer) {
  char* p = buffer.Data();
  const int32_t n = buffer.Length();
  int32_t written = 0;
  for (int32_t i = 0; i < n;) {
    if (p[i] != '=') {
      p[written++] = p[i++];
      continue;
    }
    if (i + 1 == n) break;  // an "=" that ends the text is dropped
    const int32_t value = i + 2 < n ? HexPairToByte(p[i + 1], p[i + 2]) : -1;
    if (value >= 0) {
      p[written++] = static_cast<char>(value);
      i += 3;
    } else {
      // The "=" stays; what follows it is read as ordinary text.
      p[written++] = p[i++];
    }
  }
  return buffer.SetData(written, nullptr);
}

int DecodeMimeEncodedWords(BufferCore& buffer, int32_t target_code_page) {
  const int32_t n = buffer.Length();
  if (n == 0) return kOk;
  const char* d = buffer.Data();
  Buffer result, held, decoded, adjacent, converted;
  Writer writer(result);
  bool after_word = false;
  int32_t no_close_from = n;
  int32_t i = 0;
  while (i < n && writer.Ok()) {
    WordSpan word;
    if (d[i] == '=' && ParseWordAt(d, n, i, &no_close_from, &word)) {
      const int32_t word_start = i;
      int rc = DecodeWordText(d + word.text_start, word.text_end - word.text_start, word.letter, decoded);
      if (rc != kOk) return rc;
      i = word.text_end + 2;
      // Join the following words of the same charset before converting, so that a character split
      // between them decodes whole.
      Buffer charset;
      rc = charset.SetData(word.charset_end - word_start - 2, d + word_start + 2);
      if (rc != kOk) return rc;
      int32_t consumed = 0;
      while (ReadAdjacentEncodedWord(d + i, n - i, charset.Data(), &consumed, adjacent) == 1) {
        if ((rc = decoded.Append(adjacent)) != kOk) return rc;
        i += consumed;
      }
      const int32_t code_page = target_code_page >= 0 ? CharsetNameToCodePage(charset.Data()) : -1;
      if (code_page < 0) {
        writer.Put(decoded);
      } else {
        rc = ConvertWord(decoded, code_page, target_code_page, converted);
        if (rc == kOutOfMemory) return rc;
        if (rc == kOk) {
          writer.Put(converted);
        } else {
          writer.Put(d + word_start, i - word_start);  // cannot be converted: keep the words as they stand
        }
      }
      (void)held.Clear();
      after_word = true;
      continue;
    }
    const auto c = static_cast<uint8_t>(d[i++]);
    if (!after_word) {
      writer.PutByte(c);
    } else if (IsHeaderWhitespace(c)) {
      if (int rc = held.AppendByte(c); rc != kOk) return rc;
    } else {
      after_word = false;
      writer.Put(held);
      (void)held.Clear();
      writer.PutByte(c);
    }
  }
  if (!writer.Ok()) return writer.Result();
  return buffer.Assign(result);
}

// ---- Header values ---------------------------------------------------------------------------------

int DecodeHeaderValue(BufferCore& out, const char* text, int32_t length, int32_t target_code_page) {
  (void)out.Clear();
  if (text == nullptr || length < 1) return kOk;
  Writer writer(out);
  for (int32_t i = 0; i < length && writer.Ok();) {
    if (text[i] == '\r' && i + 1 < length && text[i + 1] == '\n') {
      int32_t j = i + 2;
      while (j < length && IsBlankOrTab(static_cast<uint8_t>(text[j]))) ++j;
      if (j == length) break;  // a line end at the very end is dropped, with its blanks
      writer.PutByte(j > i + 2 ? static_cast<uint8_t>(text[j - 1]) : '\n');
      i = j;
      continue;
    }
    writer.PutByte(static_cast<uint8_t>(text[i++]));
  }
  if (!writer.Ok()) return writer.Result();
  return DecodeMimeEncodedWords(out, target_code_page);
}

int DecodeHeaderValueText(BufferCore& out, const char* text) {
  if (text == nullptr) text = kEmptyText;
  return DecodeHeaderValue(out, text, static_cast<int32_t>(std::strlen(text)), 0);
}

int SetMimeDecoded(BufferCore& buffer, const char* text, int32_t target_code_page) {
  Buffer decoded;
  int rc = decoded.SetString(text);
  if (rc == kOk) rc = DecodeMimeEncodedWords(decoded, target_code_page);
  if (rc == kOk) rc = buffer.Assign(decoded);
  return rc;
}

int AppendMimeDecoded(BufferCore& buffer, const char* text, int32_t target_code_page) {
  Buffer decoded;
  int rc = decoded.SetString(text);
  if (rc == kOk) rc = DecodeMimeEncodedWords(decoded, target_code_page);
  if (rc == kOk) rc = buffer.Append(decoded);
  return rc;
}

int FoldHeaderLines(BufferCore& out, const char* text, int32_t length, int32_t line_length) {
  if (text == nullptr || length < 1) return kOk;
  if (line_length < 1) return out.Append(text, length);
  Writer writer(out);
  int32_t counter = line_length;
  for (int32_t i = 0; i < length && writer.Ok(); ++i) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    if (c == '\r' || c == '\n') c = ' ';
    --counter;
    if (counter < 1 && IsBlankOrTab(c)) {
      if (i == length - 1) break;
      writer.Put("\r\n", 2);
      counter = line_length;
    }
    writer.PutByte(c);
  }
  return writer.Result();
}

namespace {

// EmitPiece writes one piece of EncodeHeaderTextChunked; returns whether it became encoded words.
bool EmitPiece(Writer& writer, const BufferCore& piece, bool previous_encoded, const char* charset,
               int32_t chunk_bytes) {
  if (previous_encoded) writer.Put("\r\n ", 3);
  if (HasHighByte(piece.Data(), piece.Length())) {
    if (writer.Ok()) {
      writer.Check(AppendMimeEncodedWords(writer.Out(), piece.Data(), piece.Length(), charset, chunk_bytes));
    }
    return true;
  }
  // After a fold the ASCII piece's own leading blank would double the fold's blank.
  const bool leading_blank = piece.Length() > 0 && IsBlankOrTab(static_cast<uint8_t>(piece.Data()[0]));
  const int32_t skip = (previous_encoded && leading_blank) ? 1 : 0;
  writer.Put(piece.Data() + skip, piece.Length() - skip);
  return false;
}

}  // namespace

int EncodeHeaderTextChunked(BufferCore& out, const char* text, int32_t length, int32_t line_length,
                            const char* charset, int32_t chunk_bytes) {
  if (charset == nullptr || charset[0] == '\0' || text == nullptr || length < 1 || !HasHighByte(text, length)) {
    return FoldHeaderLines(out, text, length, line_length);
  }
  Writer writer(out);
  Buffer piece;
  bool previous_encoded = false;
  auto byte_at = [&](int32_t i) {
    const auto c = static_cast<uint8_t>(text[i]);
    return (c == '\r' || c == '\n') ? static_cast<uint8_t>(' ') : c;
  };
  for (int32_t i = 0; i < length && writer.Ok(); ++i) {
    const uint8_t c = byte_at(i);
    const bool single_blank = IsBlankOrTab(c) && !(i + 1 < length && IsBlankOrTab(byte_at(i + 1)));
    if (line_length >= 1 && piece.Length() >= line_length && single_blank) {
      previous_encoded = EmitPiece(writer, piece, previous_encoded, charset, 0);
      (void)piece.Clear();
      if (previous_encoded) {
        writer.Check(piece.AppendByte(c));  // the blank starts the next piece
      } else {
        writer.Put("\r\n ", 3);  // the blank becomes the fold
      }
      continue;
    }
    writer.Check(piece.AppendByte(c));
  }
  if (piece.Length() > 0) (void)EmitPiece(writer, piece, previous_encoded, charset, chunk_bytes);
  return writer.Result();
}

int EncodeHeaderText(BufferCore& out, const char* text, int32_t line_length, const char* charset) {
  if (text == nullptr) text = kEmptyText;
  return EncodeHeaderTextChunked(out, text, static_cast<int32_t>(std::strlen(text)), line_length, charset, 0);
}

// ---- Dot-stuffing ----------------------------------------------------------------------------------

int32_t CountDotStuffing(const void* data, int32_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  int32_t count = 0;
  for (int32_t i = 0; i < length; ++i) {
    if (p[i] == '.' && (i == 0 || p[i - 1] == '\n')) ++count;
  }
  return count;
}

int AppendDotStuffed(BufferCore& out, const void* data, int32_t length) {
  if (data == nullptr || length < 1) return kOk;
  const int32_t count = CountDotStuffing(data, length);
  char* q = codec_internal::GrowForAppend(out, static_cast<int64_t>(length) + count, data);
  if (q == nullptr) return kOutOfMemory;
  const auto* p = static_cast<const uint8_t*>(data);
  for (int32_t i = 0; i < length; ++i) {
    if (p[i] == '.' && (i == 0 || p[i - 1] == '\n')) *q++ = '.';
    *q++ = static_cast<char>(p[i]);
  }
  return kOk;
}

int AppendDotStuffedText(BufferCore& out, const char* text) {
  if (text == nullptr) return kOk;
  return AppendDotStuffed(out, text, static_cast<int32_t>(std::strlen(text)));
}

int SetDotStuffed(BufferCore& buffer, const char* text) {
  (void)buffer.Clear();
  return AppendDotStuffedText(buffer, text);
}

}  // namespace velmora::core
