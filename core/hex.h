// Hexadecimal text of byte data: digits, wrapped byte lists, dumps with offsets and characters, and
// decoding; plus the decimal text of a 64-bit integer. Every routine is reentrant and keeps no state.
// Routines that append return 0, or 200 when the buffer cannot grow (nothing is appended then).
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::core {

// AppendHex appends two digits per byte: upper case when upper is nonzero, else lower case.
[[nodiscard]] int AppendHex(const void* data, int32_t length, int upper, BufferCore& out);
// AppendHexLower appends two lower-case digits per byte.
[[nodiscard]] int AppendHexLower(BufferCore& out, const void* data, int32_t length);
// HexEncodeInPlace replaces the bytes of buffer by their hex text: lower case when lower is nonzero,
// else upper case (the opposite sense of AppendHex's flag).
[[nodiscard]] int HexEncodeInPlace(BufferCore& buffer, int lower);
// AppendHexValue appends "0x" and the lower-case hex digits of value.
[[nodiscard]] int AppendHexValue(BufferCore& out, uint32_t value);
// AppendHexBytesWrapped appends "%02X" per byte, each followed by a blank, except every 32nd byte,
// which is followed by CR LF; the last byte too is followed by its separator.
[[nodiscard]] int AppendHexBytesWrapped(const void* data, int32_t length, BufferCore& out);
// AppendHexDump appends a dump of length bytes (-1: up to the zero) in lines of 16 bytes: the prefix
// (when not null or empty), the offset as 8 upper-case digits and two blanks, 16 columns of two digits
// and a blank, three blanks, and the 16 bytes as characters (32..126 as themselves, others as ".").
// The last line is padded with blanks; lines are separated by CR LF. Null data appends nothing.
[[nodiscard]] int AppendHexDump(BufferCore& out, const void* data, int32_t length, const char* prefix);

// HexDecodeAppend appends one byte per pair of characters of text; a pair that is not two hex digits
// (such as a last single digit) gives 0xFF. Existing callers rely on that leniency; new code should
// use HexDecodeAppendStrict.
[[nodiscard]] int HexDecodeAppend(BufferCore& out, const char* text);
// HexDecodeAppendStrict appends the bytes of a text made only of pairs of hex digits; -1 (nothing
// appended) for an odd number of characters or any other character. An empty or null text gives 0.
[[nodiscard]] int HexDecodeAppendStrict(BufferCore& out, const char* text);
// HexPairToByte returns the byte value of two hex digits, or -1 when either is not a hex digit.
int32_t HexPairToByte(char high, char low);
// ParseHexPair is HexPairToByte.
inline int32_t ParseHexPair(char high, char low) { return HexPairToByte(high, low); }

// AppendInt64Text appends the signed decimal text of value.
[[nodiscard]] int AppendInt64Text(BufferCore& out, int64_t value);

}  // namespace velmora::core
