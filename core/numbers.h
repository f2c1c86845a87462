// Number and string helpers: integer and floating-point parsing, integer text, character tests,
// bounded and case-insensitive comparisons and searches over NUL-terminated texts, in-place cutting,
// GUID text, path joining and a few memory routines.
//
// None of these keeps state; every routine may be called from any thread. Case-insensitive always means
// that A-Z and a-z match each other and no other byte is folded. Integer parsers never skip leading
// blanks and never check for overflow: the value wraps at its width.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::core {

// ---- Integer parsing -------------------------------------------------------------------------------

// ParseInt returns the value of an optional '+' or '-' followed by decimal digits, read up to the first
// other character; null, no digits or a leading blank give 0.
int32_t ParseInt(const char* text);
// ParseLong is ParseInt.
int32_t ParseLong(const char* text);
// ParseInt64 is ParseInt with a 64-bit value.
int64_t ParseInt64(const char* text);
// ParseHexInt reads an optional sign and hexadecimal digits (0-9, A-F, a-f) up to the first other
// character; null gives 0. A "0x" prefix is not recognised: callers remove it.
int32_t ParseHexInt(const char* text);
// ParseHexLong is ParseHexInt.
int32_t ParseHexLong(const char* text);
// ParseHexInt64 is ParseHexInt with a 64-bit value.
int64_t ParseHexInt64(const char* text);
// ParseIntStrict returns the signed value of a text made only of an optional sign and decimal digits,
// or -1 for null, "", a sign alone or any other character. The text "-1" also gives -1, so a caller
// that must tell it apart from an error checks the text itself.
int32_t ParseIntStrict(const char* text);
// ParseIntFromBytes stores in *out the ParseInt value of count bytes (decimal only: "0x" is not read)
// and returns 1. Parsing stops at the first byte that is not a digit, so the bytes need no terminator.
// Returns 0 and leaves *out untouched when out is null or bytes is null with a positive count.
int ParseIntFromBytes(const void* bytes, int32_t count, int32_t* out);
// ParseLeadingDecimal stores in *out the value of the decimal digits the text starts with and returns
// the address just after the first non-digit (which is skipped), or null when the text ends inside the
// digits. An empty or null text gives null and 0.
const char* ParseLeadingDecimal(const char* text, int32_t* out);

// ---- Decimal to double -----------------------------------------------------------------------------

// ParseDoubleEx parses blanks (tab, LF, CR, space), an optional sign, decimal digits with at most one
// '.', and an optional exponent ('E' or 'e', optional sign, digits). When end is not null it receives
// the address after the last character used, or text itself when there are no mantissa digits (the
// result is then 0). An exponent letter without digits is not part of the number. At most 18
// significant digits are used and the exponent magnitude is limited to 511.
double ParseDoubleEx(const char* text, const char** end);
// ParseDouble is ParseDoubleEx without the end.
double ParseDouble(const char* text);

// ---- Integer to text -------------------------------------------------------------------------------

// kInt64DecimalSize is the array size Int64ToDecimal needs: "-9223372036854775808" and its zero.
constexpr int32_t kInt64DecimalSize = 21;

// AppendIntDecimal appends the "%d" text of value; 0 or 200.
[[nodiscard]] int AppendIntDecimal(BufferCore& buffer, int32_t value);
// AppendUIntInBase appends value in base (2 to 36) with the digits 0-9 then A-Z, most significant
// first; 0 gives "0". Returns 0, 200 when the buffer cannot grow, or 432 for a base outside 2..36
// (nothing is appended then).
[[nodiscard]] int AppendUIntInBase(uint64_t value, int32_t base, BufferCore& buffer);
// Int64ToDecimal writes the signed decimal text of value and a terminating zero into out, which holds
// at least kInt64DecimalSize bytes, and returns the text's length. Every value is accepted, the most
// negative one included.
int32_t Int64ToDecimal(char* out, int64_t value);
// AppendUIntPadded writes the decimal digits of value at *cursor, preceded by as many pad characters
// as make at least width characters, and advances *cursor past them; it then writes a zero without
// advancing and returns the zero's address. The caller's array must hold max(width, 10) + 1 bytes.
char* AppendUIntPadded(char** cursor, uint32_t value, int32_t width, char pad);

// ---- Character and byte tests (1 or 0) -------------------------------------------------------------

int IsHexDigit(char c);
int IsDecimalDigit(char c);
int IsNullOrEmpty(const char* text);
// IsAscii7 is 1 when none of the count bytes is 0x80 or above (count < 1 gives 1).
int IsAscii7(const void* bytes, int32_t count);
// HasHighByte is 1 when some of the count bytes is 0x80 or above (count < 1 gives 0).
int HasHighByte(const void* bytes, int32_t count);

// ---- Text routines (null texts count as "") --------------------------------------------------------

// StrNCmp compares at most count bytes, stopping after the first zero byte of a or the first
// difference, and returns the difference of the last two bytes compared as unsigned values; count < 1
// gives 0.
int32_t StrNCmp(const char* a, const char* b, int32_t count);
// StrNICmp is StrNCmp with A-Z folded to a-z on both sides before each comparison.
int32_t StrNICmp(const char* a, const char* b, int32_t count);
// StrStr returns the first occurrence of needle in haystack; an empty needle gives haystack (even an
// empty one); otherwise an empty haystack or no occurrence gives null.
const char* StrStr(const char* haystack, const char* needle);
// StrIStr is the case-insensitive StrStr, except that an empty haystack always gives null.
const char* StrIStr(const char* haystack, const char* needle);
// StrRChr returns the last occurrence of c in text, or null when there is none.
const char* StrRChr(const char* text, char c);
// StrCutAtAny finds the first character of text that is one of separators, overwrites it with 0, sets
// *next just after it and returns that separator; without one it returns 0 and *next is the address
// of the text's terminating zero.
char StrCutAtAny(char* text, const char* separators, char** next);
// StrCutAtChar overwrites the first c of text with 0 and returns the address after it; without a c
// (and always for c == 0) it returns the address of the text's terminating zero.
char* StrCutAtChar(char* text, char c);
// StrAfterColon sets *out to the address just after the first ':' of text, or to text when it has none.
void StrAfterColon(const char* text, const char** out);

// ---- Byte routines ---------------------------------------------------------------------------------

// MemFind returns the index of the first occurrence of pattern within the count bytes, or -1 when there
// is none or pattern_count > count. An empty pattern is found at 0.
int32_t MemFind(const void* bytes, int32_t count, const void* pattern, int32_t pattern_count);
// CopyBytes copies count bytes to destination and returns destination; overlapping ranges are copied
// as if through a temporary.
void* CopyBytes(void* destination, const void* source, int32_t count);
// ReverseBytes reverses the order of count bytes in place (count < 2 does nothing).
void ReverseBytes(void* bytes, int32_t count);
// ByteSwap32 returns value with its four bytes in reverse order.
constexpr uint32_t ByteSwap32(uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) | (value << 24);
}
// ZeroBytes sets count bytes to 0 (count < 1 does nothing).
void ZeroBytes(void* pointer, int32_t count);

// OwnedBytes is a block and its length owned by whoever holds the record; it is released with
// SetOwnedBytes(holder, nullptr, 0). The block always carries a zero after its length bytes.
struct OwnedBytes {
  char* data = nullptr;
  int32_t length = 0;
};
// SetOwnedBytes replaces the holder's block by a copy of count bytes and a zero and returns 1; count < 1
// leaves a null block and returns 1. When the allocation fails the old block is released, the holder
// is null with length 0 and the result is 0. bytes may point into the old block.
int SetOwnedBytes(OwnedBytes& holder, const void* bytes, int32_t count);

// ---- GUID text -------------------------------------------------------------------------------------

// Guid is a 16-byte GUID in its native layout.
struct Guid {
  uint32_t data1;
  uint16_t data2, data3;
  uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16);

// ParseGuid zeroes *guid and reads eleven fields of hexadecimal digits in order: 8 digits (data1), two
// of 4 (data2, data3) and eight of 2 (data4), skipping any other character (braces, hyphens) while a
// field is gathered. It stops before a field when the rest of the text is shorter than that field's
// digit count. It is lenient by design: short or garbled text leaves fields zero without any error, so
// it must not be used to validate a GUID.
void ParseGuid(const char* text, Guid* guid);
// GuidEquals is 1 when the two GUIDs hold the same 16 bytes.
int GuidEquals(const Guid& a, const Guid& b);

// ---- Paths -----------------------------------------------------------------------------------------

// JoinPath sets out to base joined with name and returns out's data, or null when out cannot grow.
// '/' is the only separator; a backslash is an ordinary file-name byte. An empty or null name gives
// base, an empty or null base gives name. Otherwise out starts as base; a name beginning with '/' loses
// that '/' and out is cut at the first '/' of base (so an absolute base keeps only the root). A '/' is
// appended unless out already ends with one, then name. base and name must not point into out.
const char* JoinPath(const char* base, const char* name, BufferCore& out);

// ---- Memory ----------------------------------------------------------------------------------------

// AllocZeroedInts returns count zeroed 32-bit words from platform::Alloc, or null when the allocation
// fails or count is negative; callers must check. Release the block with FreeIfNotNull.
uint32_t* AllocZeroedInts(int32_t count);
// FreeIfNotNull releases a block from AllocZeroedInts or platform::Alloc; null does nothing.
void FreeIfNotNull(void* pointer);

// ---- Small helpers of the key-format and parser code -----------------------------------------------

// CeilDiv returns a / b rounded towards zero, plus 1 when the remainder is above 0. b must not be 0
// (0 is returned then); the quotient wraps at 32 bits.
int32_t CeilDiv(int32_t a, int32_t b);
// SkipBlanksFrom returns the index of the first byte at or after start that is not tab, LF, CR or
// space; the length when all are; start itself when start is not below the length. A negative start
// counts as 0.
int32_t SkipBlanksFrom(const BufferCore& buffer, int32_t start);
// ParseDigitsInRadix returns the 64-bit value of up to count digits (0-9, then a-z or A-Z for 10 and
// above) in radix 2..36, stopping at the first character that is not a digit of the radix. The value
// wraps at 64 bits; a radix outside 2..36 gives 0.
uint64_t ParseDigitsInRadix(const char* digits, int32_t count, int32_t radix);
// PadBytesLeft sets out to the length bytes of data preceded by as many zero bytes as make at least
// width bytes; 0 or 200. data must not point into out.
[[nodiscard]] int PadBytesLeft(const void* data, int32_t length, int32_t width, BufferCore& out);

}  // namespace velmora::core
