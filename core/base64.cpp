#include "core/base64.h"

#include <array>
#include <cstring>

#include "core/codec_internal.h"
#include "platform/text.h"

namespace velmora::core {

namespace {

constexpr char kStandardAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Decode table entries: 0..63 for alphabet characters, and markers with the top two bits set so that
// one test separates them from values.
constexpr uint8_t kInvalid = 0xFF;
constexpr uint8_t kPad = 0xFE;
constexpr uint8_t kBlank = 0xFD;
constexpr uint8_t kEnd = 0xFC;
constexpr uint8_t kMarkerBits = 0xC0;

constexpr std::array<uint8_t, 256> MakeDecodeTable(const char* alphabet) {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(alphabet[i])] = static_cast<uint8_t>(i);
  table['='] = kPad;
  table['\t'] = kBlank;
  table['\n'] = kBlank;
  table['\r'] = kBlank;
  table[' '] = kBlank;
  table[0] = kEnd;
  return table;
}

constexpr std::array<uint8_t, 256> kStandardDecode = MakeDecodeTable(kStandardAlphabet);
constexpr std::array<uint8_t, 256> kUrlDecode = MakeDecodeTable(kUrlAlphabet);

bool IsBlank(uint8_t c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// EncodeGroups writes the 4 characters of each full 3-byte group of in[0 .. count).
inline char* EncodeGroups(const uint8_t* in, int32_t count, const char* alphabet, char* o) {
  for (int32_t i = 0; i + 3 <= count; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    o[0] = alphabet[v >> 18];
    o[1] = alphabet[(v >> 12) & 63];
    o[2] = alphabet[(v >> 6) & 63];
    o[3] = alphabet[v & 63];
    o += 4;
  }
  return o;
}

}  // namespace

int Base64Encode(BufferCore& out, const void* data, int32_t length, int wrap, int32_t line_length, int url_safe) {
  if (data == nullptr || length < 1) return kOk;
  // A line length of 0 (or below) has no line size: the text is not wrapped.
  int32_t per_line = 0;
  if (wrap && line_length > 0) per_line = line_length % 4 == 0 ? line_length / 4 * 3 : 48;
  const int32_t tail = length % 3;
  const int32_t full = length - tail;
  int64_t size = (static_cast<int64_t>(length) + 2) / 3 * 4;
  if (url_safe && tail != 0) size -= 3 - tail;
  if (per_line > 0) size += 2 * ((static_cast<int64_t>(length) - 1) / per_line);
  char* o = codec_internal::GrowForAppend(out, size, data);
  if (o == nullptr) return kOutOfMemory;

  const auto* in = static_cast<const uint8_t*>(data);
  const char* alphabet = url_safe ? kUrlAlphabet : kStandardAlphabet;
  if (per_line == 0) {
    o = EncodeGroups(in, full, alphabet, o);
  } else {
    // per_line is a multiple of 3, so every line starts at a group boundary.
    for (int32_t i = 0; i < full; i += per_line) {
      if (i != 0) {
        *o++ = '\r';
        *o++ = '\n';
      }
      o = EncodeGroups(in + i, full - i < per_line ? full - i : per_line, alphabet, o);
    }
    if (tail != 0 && full != 0 && full % per_line == 0) {
      *o++ = '\r';
      *o++ = '\n';
    }
  }
  if (tail != 0) {
    const uint32_t b0 = in[full];
    const uint32_t b1 = tail == 2 ? in[full + 1] : 0;
    *o++ = alphabet[b0 >> 2];
    *o++ = alphabet[((b0 & 3) << 4) | (b1 >> 4)];
    if (tail == 2) {
      *o++ = alphabet[(b1 & 15) << 2];
    } else if (!url_safe) {
      *o++ = '=';
    }
    if (!url_safe) *o++ = '=';
  }
  return kOk;
}

int Base64UrlEncode(BufferCore& out, const void* data, int32_t length) {
  return Base64Encode(out, data, length, 0, 64, 1);
}

int Base64Decode(BufferCore& buffer, int url_safe, int strict, int skip_blanks) {
  const std::array<uint8_t, 256>& table = url_safe ? kUrlDecode : kStandardDecode;
  auto* s = reinterpret_cast<uint8_t*>(buffer.Data());
  const int32_t n = buffer.Length();
  // The text ends at the first zero byte. Its last two bytes are read now: decoding overwrites the
  // front of the buffer.
  const void* zero = std::memchr(s, 0, static_cast<size_t>(n));
  const int32_t text_length = zero == nullptr ? n : static_cast<int32_t>(static_cast<const uint8_t*>(zero) - s);
  const bool ends_in_pad = text_length >= 1 && s[text_length - 1] == '=';
  const bool ends_in_two_pads = ends_in_pad && text_length >= 2 && s[text_length - 2] == '=';

  // Output is written from the front; it never overtakes the input (3 bytes per 4 characters read).
  int32_t r = 0;
  int32_t w = 0;
  int quad = 0;  // characters of the current quad seen so far
  uint32_t partial = 0;
  while (r < text_length) {
    if (quad == 0) {
      while (r + 4 <= text_length) {
        const uint32_t a = table[s[r]], b = table[s[r + 1]], c = table[s[r + 2]], d = table[s[r + 3]];
        if ((a | b | c | d) & kMarkerBits) break;
        const uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
        s[w] = static_cast<uint8_t>(v >> 16);
        s[w + 1] = static_cast<uint8_t>(v >> 8);
        s[w + 2] = static_cast<uint8_t>(v);
        w += 3;
        r += 4;
      }
      if (r >= text_length) break;
    }
    const uint8_t v = table[s[r]];
    if (v < 64) {
      switch (quad) {
        case 0:
          partial = uint32_t{v} << 2;
          break;
        case 1:
          s[w++] = static_cast<uint8_t>(partial | (v >> 4));
          partial = (v & 15u) << 4;
          break;
        case 2:
          s[w++] = static_cast<uint8_t>(partial | (v >> 2));
          partial = (v & 3u) << 6;
          break;
        default:
          s[w++] = static_cast<uint8_t>(partial | v);
          break;
      }
      quad = (quad + 1) & 3;
    } else if (v == kPad) {
      break;
    } else if (!(skip_blanks && v == kBlank) && strict) {
      return -1;
    }
    ++r;
  }
  // The bits of a byte that only one character of a quad started are not a byte: they are dropped.
  if (strict) {
    if (quad == 1) return -1;
    if (quad == 2 && !ends_in_two_pads) return -1;
    if (quad == 3 && !ends_in_pad) return -1;
  }
  return buffer.SetData(w, nullptr);  // shrinking never allocates
}

bool IsBase64AlphabetByte(uint8_t byte) { return kStandardDecode[byte] < 64; }

int IsBase64Strict(const BufferCore& buffer) {
  const auto* s = buffer.Bytes();
  const int32_t n = buffer.Length();
  int32_t i = 0;
  while (i < n && kStandardDecode[s[i]] < 64) ++i;
  if (i == n) return 1;
  if (s[i] != '=') return 0;
  if (i == n - 1) return 1;
  return i == n - 2 && s[n - 1] == '=' ? 1 : 0;
}

bool IsBase64Text(const char* text, int32_t length) {
  if (text == nullptr) return false;
  if (length == -1) length = platform::StrLen(text);
  const auto* s = reinterpret_cast<const uint8_t*>(text);
  int32_t i = 0;
  while (i < length && IsBlank(s[i])) ++i;
  int32_t count = 0;
  while (i < length) {
    const uint8_t c = s[i];
    if (kStandardDecode[c] < 64) {
      ++count;
      ++i;
    } else if (IsBlank(c)) {
      ++i;
    } else if (c == '=') {
      ++count;
      ++i;
      if (i < length && s[i] == '=') {
        ++count;
        ++i;
      }
      while (i < length && IsBlank(s[i])) ++i;
      if (i < length) return false;
    } else {
      return false;
    }
  }
  return count > 0 && count % 4 == 0;
}

int DecodeIfBase64(const void* data, int32_t length, int* flag, BufferCore& out) {
  if (length < 0 || data == nullptr) length = 0;
  const auto* s = static_cast<const uint8_t*>(data);
  for (int32_t i = 0; *flag && i < length; ++i) {
    const uint8_t c = s[i];
    if (!(kStandardDecode[c] < 64 || c == '=' || c == '\n' || c == '\r' || c == ' ')) *flag = 0;
  }
  if (!*flag) return kOk;
  int rc = out.SetData(length, length > 0 ? data : kEmptyText);
  if (rc != kOk) return rc;
  return Base64Decode(out, 0, 0, 0);
}

}  // namespace velmora::core
