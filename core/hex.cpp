#include "core/hex.h"

#include <array>
#include <cstring>

#include "core/codec_internal.h"
#include "core/numbers.h"
#include "platform/text.h"

namespace velmora::core {

namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr char kLowerDigits[] = "0123456789abcdef";

constexpr int8_t kNotHex = -1;

constexpr std::array<int8_t, 256> MakeNibbleTable() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = kNotHex;
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    table['A' + i] = static_cast<int8_t>(10 + i);
    table['a' + i] = static_cast<int8_t>(10 + i);
  }
  return table;
}

constexpr std::array<int8_t, 256> kNibble = MakeNibbleTable();

inline char* PutHexByte(char* o, uint8_t byte, const char* digits) {
  o[0] = digits[byte >> 4];
  o[1] = digits[byte & 15];
  return o + 2;
}

// The dump: offset "%08X" and two blanks, 16 columns of "XX ", three blanks, 16 characters.
constexpr int32_t kDumpBytesPerLine = 16;
constexpr int32_t kDumpOffsetWidth = 10;
constexpr int32_t kDumpBodyWidth = kDumpBytesPerLine * 3 + 3 + kDumpBytesPerLine;

char* PutDumpLine(char* o, const uint8_t* bytes, int32_t count, uint32_t offset) {
  for (int shift = 28; shift >= 0; shift -= 4) *o++ = kUpperDigits[(offset >> shift) & 15];
  *o++ = ' ';
  *o++ = ' ';
  for (int32_t j = 0; j < kDumpBytesPerLine; ++j) {
    if (j < count) {
      o = PutHexByte(o, bytes[j], kUpperDigits);
    } else {
      *o++ = ' ';
      *o++ = ' ';
    }
    *o++ = ' ';
  }
  *o++ = ' ';
  *o++ = ' ';
  *o++ = ' ';
  for (int32_t j = 0; j < kDumpBytesPerLine; ++j) {
    const uint8_t c = j < count ? bytes[j] : ' ';
    *o++ = (j < count && (c < 32 || c > 126)) ? '.' : static_cast<char>(c);
  }
  return o;
}

}  // namespace

int32_t HexPairToByte(char high, char low) {
  const int8_t h = kNibble[static_cast<uint8_t>(high)];
  const int8_t l = kNibble[static_cast<uint8_t>(low)];
  return (h | l) < 0 ? -1 : (h << 4) | l;
}

int AppendHex(const void* data, int32_t length, int upper, BufferCore& out) {
  if (data == nullptr || length < 1) return kOk;
  char* o = codec_internal::GrowForAppend(out, 2 * static_cast<int64_t>(length), data);
  if (o == nullptr) return kOutOfMemory;
  const char* digits = upper ? kUpperDigits : kLowerDigits;
  const auto* in = static_cast<const uint8_t*>(data);
  for (int32_t i = 0; i < length; ++i) o = PutHexByte(o, in[i], digits);
  return kOk;
}

int AppendHexLower(BufferCore& out, const void* data, int32_t length) { return AppendHex(data, length, 0, out); }

int HexEncodeInPlace(BufferCore& buffer, int lower) {
  const int32_t n = buffer.Length();
  if (n == 0) return kOk;
  if (n > (INT32_MAX - 1) / 2) return kOutOfMemory;
  int rc = buffer.Resize(2 * n);
  if (rc != kOk) return rc;
  const char* digits = lower ? kLowerDigits : kUpperDigits;
  // From the last byte to the first: byte i becomes digits 2i and 2i + 1, never ahead of a byte still
  // to be read.
  auto* s = reinterpret_cast<uint8_t*>(buffer.Data());
  for (int32_t i = n - 1; i >= 0; --i) {
    const uint8_t byte = s[i];
    s[2 * i] = static_cast<uint8_t>(digits[byte >> 4]);
    s[2 * i + 1] = static_cast<uint8_t>(digits[byte & 15]);
  }
  return kOk;
}

int AppendHexValue(BufferCore& out, uint32_t value) { return out.AppendFormat("0x%x", value); }

int AppendHexBytesWrapped(const void* data, int32_t length, BufferCore& out) {
  if (data == nullptr || length < 1) return kOk;
  // Three characters a byte, and one more for each CR LF after a 32nd byte.
  const int64_t size = 3 * static_cast<int64_t>(length) + length / 32;
  char* o = codec_internal::GrowForAppend(out, size, data);
  if (o == nullptr) return kOutOfMemory;
  const auto* in = static_cast<const uint8_t*>(data);
  for (int32_t i = 0; i < length; ++i) {
    o = PutHexByte(o, in[i], kUpperDigits);
    if (i % 32 == 31) {
      *o++ = '\r';
      *o++ = '\n';
    } else {
      *o++ = ' ';
    }
  }
  return kOk;
}

int AppendHexDump(BufferCore& out, const void* data, int32_t length, const char* prefix) {
  if (data == nullptr) return kOk;
  if (length == -1) length = platform::StrLen(static_cast<const char*>(data));
  if (length < 1) return kOk;
  // Lines are counted from the length rounded up to 16, but only the given bytes are read.
  const int32_t prefix_length = platform::StrLen(prefix);
  const int64_t lines = (static_cast<int64_t>(length) + kDumpBytesPerLine - 1) / kDumpBytesPerLine;
  const int64_t line_width = prefix_length + kDumpOffsetWidth + kDumpBodyWidth;
  char* o = codec_internal::GrowForAppend(out, lines * line_width + 2 * (lines - 1), data);
  if (o == nullptr) return kOutOfMemory;
  const auto* in = static_cast<const uint8_t*>(data);
  for (int32_t at = 0; at < length; at += kDumpBytesPerLine) {
    if (at != 0) {
      *o++ = '\r';
      *o++ = '\n';
    }
    if (prefix_length > 0) {
      std::memcpy(o, prefix, static_cast<size_t>(prefix_length));
      o += prefix_length;
    }
    const int32_t count = length - at < kDumpBytesPerLine ? length - at : kDumpBytesPerLine;
    o = PutDumpLine(o, in + at, count, static_cast<uint32_t>(at));
  }
  return kOk;
}

int HexDecodeAppend(BufferCore& out, const char* text) {
  if (text == nullptr || *text == '\0') return kOk;
  const int32_t n = platform::StrLen(text);
  const void* input = text;
  auto* o = reinterpret_cast<uint8_t*>(codec_internal::GrowForAppend(out, (static_cast<int64_t>(n) + 1) / 2, input));
  if (o == nullptr) return kOutOfMemory;
  const char* t = static_cast<const char*>(input);
  // A pair that is not hex, a last single digit with the terminating zero among them, gives 0xFF.
  // The walk counts to n rather than looking for the zero: text may be out's own content, whose zero
  // the first output byte overwrites.
  for (int32_t i = 0; i < n; i += 2) {
    const int32_t value = HexPairToByte(t[i], i + 1 < n ? t[i + 1] : '\0');
    *o++ = value < 0 ? 0xFF : static_cast<uint8_t>(value);
  }
  return kOk;
}

int HexDecodeAppendStrict(BufferCore& out, const char* text) {
  const int32_t n = platform::StrLen(text);
  if (n == 0) return kOk;
  if (n % 2 != 0) return -1;
  for (int32_t i = 0; i < n; ++i) {
    if (kNibble[static_cast<uint8_t>(text[i])] < 0) return -1;
  }
  return HexDecodeAppend(out, text);
}

int AppendInt64Text(BufferCore& out, int64_t value) {
  char text[kInt64DecimalSize];
  const int32_t length = Int64ToDecimal(text, value);
  return out.Append(text, length);
}

}  // namespace velmora::core
