#include "core/numbers.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "platform/memory.h"
#include "platform/text.h"

namespace velmora::core {

namespace {

constexpr const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// DigitValue maps 0-9, a-z and A-Z to 0..35 and every other byte to 36, so "value >= radix" rejects it.
constexpr uint32_t DigitValue(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= '0' && u <= '9') return u - '0';
  if (u >= 'a' && u <= 'z') return u - 'a' + 10;
  if (u >= 'A' && u <= 'Z') return u - 'A' + 10;
  return 36;
}

// ParseSigned reads an optional sign and digits of radix up to the first other character. The value is
// gathered in the unsigned type U so that overflow wraps instead of being undefined.
template <typename U>
U ParseSigned(const char* text, uint32_t radix) {
  if (text == nullptr) return 0;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  U value = 0;
  for (uint32_t d; (d = DigitValue(*text)) < radix; ++text) value = static_cast<U>(value * radix + d);
  return negative ? static_cast<U>(U{0} - value) : value;
}

constexpr bool IsBlank(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// kPowersOfTen[i] is 10^(2^i); the product of the entries for the set bits of an exponent is its
// power of ten. Computed in long double so that 10^511 and the products on the way stay finite.
constexpr long double kPowersOfTen[] = {1e1L, 1e2L, 1e4L, 1e8L, 1e16L, 1e32L, 1e64L, 1e128L, 1e256L};
constexpr int64_t kMaxDecimalExponent = 511;
constexpr int kMaxMantissaDigits = 18;

}  // namespace

// ---- Integer parsing -------------------------------------------------------------------------------

int32_t ParseInt(const char* text) { return static_cast<int32_t>(ParseSigned<uint32_t>(text, 10)); }
int32_t ParseLong(const char* text) { return ParseInt(text); }
int64_t ParseInt64(const char* text) { return static_cast<int64_t>(ParseSigned<uint64_t>(text, 10)); }
int32_t ParseHexInt(const char* text) { return static_cast<int32_t>(ParseSigned<uint32_t>(text, 16)); }
int32_t ParseHexLong(const char* text) { return ParseHexInt(text); }
int64_t ParseHexInt64(const char* text) { return static_cast<int64_t>(ParseSigned<uint64_t>(text, 16)); }

int32_t ParseIntStrict(const char* text) {
  if (text == nullptr) return -1;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  if (*text == '\0') return -1;
  uint32_t value = 0;
  for (; *text != '\0'; ++text) {
    if (IsDecimalDigit(*text) == 0) return -1;
    value = value * 10 + DigitValue(*text);
  }
  return static_cast<int32_t>(negative ? 0u - value : value);
}

// The bytes are parsed where they lie instead of through a terminated copy: the digits end at the
// count or at the first non-digit, whichever comes first, which is what a copy would give.
int ParseIntFromBytes(const void* bytes, int32_t count, int32_t* out) {
  if (out == nullptr || (bytes == nullptr && count > 0)) return 0;
  const char* p = static_cast<const char*>(bytes);
  const char* end = count > 0 ? p + count : p;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  uint32_t value = 0;
  for (; p != end && IsDecimalDigit(*p) != 0; ++p) value = value * 10 + DigitValue(*p);
  *out = static_cast<int32_t>(negative ? 0u - value : value);
  return 1;
}

const char* ParseLeadingDecimal(const char* text, int32_t* out) {
  const char* p = OrEmpty(text);
  uint32_t value = 0;
  for (; IsDecimalDigit(*p) != 0; ++p) value = value * 10 + DigitValue(*p);
  if (out != nullptr) *out = static_cast<int32_t>(value);
  return *p == '\0' ? nullptr : p + 1;
}

// ---- Decimal to double -----------------------------------------------------------------------------

// The mantissa keeps its first 18 significant digits in an integer (exact below 10^18) and the
// decimal exponent counts where the point stood relative to them. Leading zeros carry no precision and
// are not counted against the 18 digits, so 0.000...0001 with many zeros is not read as 0.
double ParseDoubleEx(const char* text, const char** end) {
  if (end != nullptr) *end = text;
  if (text == nullptr) return 0.0;
  const char* p = text;
  while (IsBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';

  uint64_t mantissa = 0;
  int used = 0;
  bool any_digit = false;
  bool after_point = false;
  int64_t exponent = 0;
  for (;; ++p) {
    if (*p == '.' && !after_point) {
      after_point = true;
      continue;
    }
    if (IsDecimalDigit(*p) == 0) break;
    any_digit = true;
    if (mantissa == 0 && *p == '0') {
      if (after_point) --exponent;
    } else if (used < kMaxMantissaDigits) {
      mantissa = mantissa * 10 + DigitValue(*p);
      ++used;
      if (after_point) --exponent;
    } else if (!after_point) {
      ++exponent;  // a dropped digit before the point still scales the value
    }
  }
  if (!any_digit) return 0.0;

  if (*p == 'E' || *p == 'e') {
    const char* q = p + 1;
    bool exponent_negative = false;
    if (*q == '+' || *q == '-') exponent_negative = *q++ == '-';
    if (IsDecimalDigit(*q) != 0) {
      int64_t written = 0;
      for (; IsDecimalDigit(*q) != 0; ++q) {
        if (written < 1000000) written = written * 10 + DigitValue(*q);
      }
      exponent += exponent_negative ? -written : written;
      p = q;
    }
  }
  if (end != nullptr) *end = p;
  if (mantissa == 0) return negative ? -0.0 : 0.0;

  const bool divide = exponent < 0;
  const int64_t magnitude = std::min(divide ? -exponent : exponent, kMaxDecimalExponent);
  long double power = 1.0L;
  for (int bit = 0; bit < 9; ++bit) {
    if ((magnitude >> bit) & 1) power *= kPowersOfTen[bit];
  }
  const long double scaled = divide ? static_cast<long double>(mantissa) / power
                                    : static_cast<long double>(mantissa) * power;
  // Converting an out-of-range long double to double is undefined: saturate explicitly.
  const double value = scaled > std::numeric_limits<double>::max() ? std::numeric_limits<double>::infinity()
                                                                     : static_cast<double>(scaled);
  return negative ? -value : value;
}

double ParseDouble(const char* text) { return ParseDoubleEx(text, nullptr); }

// ---- Integer to text -------------------------------------------------------------------------------

int AppendIntDecimal(BufferCore& buffer, int32_t value) {
  char text[kInt64DecimalSize];
  const int32_t length = Int64ToDecimal(text, value);
  return buffer.Append(text, length);
}

int AppendUIntInBase(uint64_t value, int32_t base, BufferCore& buffer) {
  if (base < 2 || base > 36) return kOutOfRange;
  static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  // Digits are produced least significant first into the tail of a local array, so the buffer only
  // ever receives them in reading order and earlier content stays as it was.
  char digits[64];
  char* first = digits + sizeof digits;
  do {
    *--first = kDigits[value % static_cast<uint64_t>(base)];
    value /= static_cast<uint64_t>(base);
  } while (value != 0);
  return buffer.Append(first, static_cast<int32_t>(digits + sizeof digits - first));
}

int32_t Int64ToDecimal(char* out, int64_t value) {
  // The magnitude is taken in unsigned arithmetic: negating INT64_MIN as a signed value overflows.
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  char reversed[20];
  int n = 0;
  do {
    reversed[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  int32_t length = 0;
  if (value < 0) out[length++] = '-';
  while (n > 0) out[length++] = reversed[--n];
  out[length] = '\0';
  return length;
}

char* AppendUIntPadded(char** cursor, uint32_t value, int32_t width, char pad) {
  char reversed[10];
  int n = 0;
  do {
    reversed[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  char* p = *cursor;
  for (int32_t i = n; i < width; ++i) *p++ = pad;
  while (n > 0) *p++ = reversed[--n];
  *p = '\0';
  *cursor = p;
  return p;
}

// ---- Character and byte tests ----------------------------------------------------------------------

int IsHexDigit(char c) { return DigitValue(c) < 16 ? 1 : 0; }
int IsDecimalDigit(char c) { return c >= '0' && c <= '9' ? 1 : 0; }
int IsNullOrEmpty(const char* text) { return text == nullptr || *text == '\0' ? 1 : 0; }

int IsAscii7(const void* bytes, int32_t count) { return HasHighByte(bytes, count) != 0 ? 0 : 1; }

int HasHighByte(const void* bytes, int32_t count) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  for (int32_t i = 0; i < count; ++i) {
    if (p[i] >= 0x80) return 1;
  }
  return 0;
}

// ---- Text routines ---------------------------------------------------------------------------------

int32_t StrNCmp(const char* a, const char* b, int32_t count) {
  const auto* x = reinterpret_cast<const unsigned char*>(OrEmpty(a));
  const auto* y = reinterpret_cast<const unsigned char*>(OrEmpty(b));
  for (int32_t i = 0; i < count; ++i) {
    const int32_t d = x[i] - y[i];
    if (d != 0 || x[i] == 0) return d;
  }
  return 0;
}

int32_t StrNICmp(const char* a, const char* b, int32_t count) {
  const auto* x = reinterpret_cast<const unsigned char*>(OrEmpty(a));
  const auto* y = reinterpret_cast<const unsigned char*>(OrEmpty(b));
  for (int32_t i = 0; i < count; ++i) {
    const int32_t d = platform::AsciiLower(x[i]) - platform::AsciiLower(y[i]);
    if (d != 0 || x[i] == 0) return d;
  }
  return 0;
}

const char* StrStr(const char* haystack, const char* needle) {
  if (IsNullOrEmpty(needle) != 0) return haystack;
  if (IsNullOrEmpty(haystack) != 0) return nullptr;
  return std::strstr(haystack, needle);
}

const char* StrIStr(const char* haystack, const char* needle) {
  if (IsNullOrEmpty(haystack) != 0) return nullptr;
  if (IsNullOrEmpty(needle) != 0) return haystack;
  const auto first = platform::AsciiLower(static_cast<unsigned char>(*needle));
  const int32_t length = platform::StrLen(needle);
  for (const char* p = haystack; *p != '\0'; ++p) {
    if (platform::AsciiLower(static_cast<unsigned char>(*p)) == first && StrNICmp(p, needle, length) == 0) {
      return p;
    }
  }
  return nullptr;
}

const char* StrRChr(const char* text, char c) { return text != nullptr ? std::strrchr(text, c) : nullptr; }

char StrCutAtAny(char* text, const char* separators, char** next) {
  if (text == nullptr) {
    if (next != nullptr) *next = text;
    return '\0';
  }
  char* hit = text + std::strcspn(text, OrEmpty(separators));
  const char separator = *hit;
  if (separator != '\0') *hit++ = '\0';
  if (next != nullptr) *next = hit;
  return separator;
}

// For c == 0 the first "occurrence" would be the terminator itself, and stepping past it would leave
// the text; the terminator's address is returned instead, as for any text without c.
char* StrCutAtChar(char* text, char c) {
  if (text == nullptr) return nullptr;
  char* hit = c != '\0' ? std::strchr(text, c) : nullptr;
  if (hit == nullptr) return text + std::strlen(text);
  *hit = '\0';
  return hit + 1;
}

void StrAfterColon(const char* text, const char** out) {
  const char* colon = text != nullptr ? std::strchr(text, ':') : nullptr;
  *out = colon != nullptr ? colon + 1 : text;
}

// ---- Byte routines ---------------------------------------------------------------------------------

int32_t MemFind(const void* bytes, int32_t count, const void* pattern, int32_t pattern_count) {
  if (count < 0 || pattern_count < 0 || pattern_count > count) return -1;
  if (pattern_count == 0) return 0;
  if (bytes == nullptr || pattern == nullptr) return -1;
  const std::string_view haystack(static_cast<const char*>(bytes), static_cast<size_t>(count));
  const size_t at = haystack.find(std::string_view(static_cast<const char*>(pattern), pattern_count));
  return at == std::string_view::npos ? -1 : static_cast<int32_t>(at);
}

// Overlapping ranges are moved rather than copied byte by byte: a plain front-to-back loop would repeat
// the first bytes when the destination lies inside the source.
void* CopyBytes(void* destination, const void* source, int32_t count) {
  if (count > 0) std::memmove(destination, source, static_cast<size_t>(count));
  return destination;
}

void ReverseBytes(void* bytes, int32_t count) {
  if (count < 2) return;
  auto* p = static_cast<uint8_t*>(bytes);
  std::reverse(p, p + count);
}

void ZeroBytes(void* pointer, int32_t count) {
  if (count > 0) std::memset(pointer, 0, static_cast<size_t>(count));
}

// The new block is filled before the old one is released, so bytes may come from the old block.
int SetOwnedBytes(OwnedBytes& holder, const void* bytes, int32_t count) {
  char* block = nullptr;
  if (count > 0) {
    block = static_cast<char*>(platform::Alloc(static_cast<size_t>(count) + 1));
    if (block != nullptr) {
      if (bytes != nullptr) {
        std::memcpy(block, bytes, static_cast<size_t>(count));
      } else {
        std::memset(block, 0, static_cast<size_t>(count));
      }
      block[count] = '\0';
    }
  }
  if (holder.data != nullptr) platform::Free(holder.data, static_cast<size_t>(holder.length) + 1);
  holder.data = block;
  holder.length = block != nullptr ? count : 0;
  return count > 0 && block == nullptr ? 0 : 1;
}

// ---- GUID text -------------------------------------------------------------------------------------

void ParseGuid(const char* text, Guid* guid) {
  *guid = Guid{};
  if (text == nullptr) return;
  static constexpr int kFieldDigits[11] = {8, 4, 4, 2, 2, 2, 2, 2, 2, 2, 2};
  const char* p = text;
  const char* const end = text + std::strlen(text);
  for (int field = 0; field < 11; ++field) {
    const int digits = kFieldDigits[field];
    if (end - p < digits) break;
    char gathered[9];
    int n = 0;
    for (; n < digits && p != end; ++p) {
      if (IsHexDigit(*p) != 0) gathered[n++] = *p;
    }
    gathered[n] = '\0';
    const auto value = static_cast<uint32_t>(ParseHexInt(gathered));
    if (field == 0) {
      guid->data1 = value;
    } else if (field == 1) {
      guid->data2 = static_cast<uint16_t>(value);
    } else if (field == 2) {
      guid->data3 = static_cast<uint16_t>(value);
    } else {
      guid->data4[field - 3] = static_cast<uint8_t>(value);
    }
  }
}

int GuidEquals(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof(Guid)) == 0 ? 1 : 0; }

// ---- Paths -----------------------------------------------------------------------------------------

const char* JoinPath(const char* base, const char* name, BufferCore& out) {
  const int32_t base_length = platform::StrLen(base);
  int32_t name_length = platform::StrLen(name);
  if (name_length == 0 || base_length == 0) {
    return out.SetString(name_length == 0 ? base : name) == kOk ? out.Data() : nullptr;
  }
  int32_t keep = base_length;
  if (name[0] == '/') {
    ++name;
    --name_length;
    const void* slash = std::memchr(base, '/', static_cast<size_t>(base_length));
    if (slash != nullptr) keep = static_cast<int32_t>(static_cast<const char*>(slash) - base);
  }
  if (out.SetData(keep, base) != kOk) return nullptr;
  if ((keep == 0 || base[keep - 1] != '/') && out.AppendByte('/') != kOk) return nullptr;
  return out.Append(name, name_length) == kOk ? out.Data() : nullptr;
}

// ---- Memory ----------------------------------------------------------------------------------------

uint32_t* AllocZeroedInts(int32_t count) {
  if (count < 0) return nullptr;
  // A zero count still gets a block, so that null always means failure.
  const size_t size = static_cast<size_t>(std::max(count, 1)) * sizeof(uint32_t);
  void* block = platform::Alloc(size);
  if (block != nullptr) std::memset(block, 0, size);
  return static_cast<uint32_t*>(block);
}

void FreeIfNotNull(void* pointer) {
  if (pointer != nullptr) platform::Free(pointer);
}

// ---- Small helpers of the key-format and parser code -----------------------------------------------

int32_t CeilDiv(int32_t a, int32_t b) {
  if (b == 0) return 0;
  // 64-bit arithmetic keeps INT32_MIN / -1 defined; the result wraps back to 32 bits.
  int64_t quotient = static_cast<int64_t>(a) / b;
  if (static_cast<int64_t>(a) % b > 0) ++quotient;
  return static_cast<int32_t>(quotient);
}

int32_t SkipBlanksFrom(const BufferCore& buffer, int32_t start) {
  const int32_t length = buffer.Length();
  const char* data = buffer.Data();
  int32_t i = std::max(start, 0);
  while (i < length && IsBlank(data[i])) ++i;
  return i;
}

uint64_t ParseDigitsInRadix(const char* digits, int32_t count, int32_t radix) {
  if (digits == nullptr || radix < 2 || radix > 36) return 0;
  uint64_t value = 0;
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t d = DigitValue(digits[i]);
    if (d >= static_cast<uint32_t>(radix)) break;
    value = value * static_cast<uint64_t>(radix) + d;
  }
  return value;
}

int PadBytesLeft(const void* data, int32_t length, int32_t width, BufferCore& out) {
  if (data == nullptr || length < 0) length = 0;
  const int32_t pad = width > length ? width - length : 0;
  const int rc = out.SetData(pad + length, nullptr);  // one sizing step; pad + length is max(width, length)
  if (rc != kOk) return rc;
  std::memset(out.Data(), 0, static_cast<size_t>(pad));
  if (length > 0) std::memcpy(out.Data() + pad, data, static_cast<size_t>(length));
  return kOk;
}

}  // namespace velmora::core
