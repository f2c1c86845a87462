// Base64 text of byte data (RFC 4648 alphabet, and its URL-safe variant with "-" and "_"): encoding
// with optional CR LF line wrapping, in-place decoding (lenient or strict) and the checks that tell
// whether a text is base64. Every routine is reentrant and keeps no state.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::core {

// Base64Encode appends the base64 text of length bytes to out. With wrap set and a positive
// line_length, a CR LF goes before every further line: line_length / 4 x 3 input bytes a line when
// line_length is a multiple of 4 (64 gives 64-character lines), else 48. A line_length below 1 means
// no wrapping. url_safe uses "-" and "_" and writes no "=" padding. A length below 1 appends nothing.
// 0, or 200 when out cannot grow (nothing is appended then).
[[nodiscard]] int Base64Encode(BufferCore& out, const void* data, int32_t length, int wrap, int32_t line_length,
                               int url_safe);
// Base64UrlEncode is Base64Encode without wrapping, URL-safe and unpadded.
[[nodiscard]] int Base64UrlEncode(BufferCore& out, const void* data, int32_t length);

// Base64Decode replaces the base64 text in buffer (up to its first zero byte) by the bytes it stands
// for. The first "=" ends the text; with skip_blanks TAB, LF, CR and SP are passed over. Lenient
// decoding ignores every other byte outside the alphabet and drops the bits of an incomplete byte.
// Strict decoding returns -1 at such a byte, and for a last quad of one character, of two characters
// unless the text ends in "==", or of three unless it ends in "="; the buffer's length is then
// unchanged but its first bytes may already be overwritten, so the caller discards it. 0 on success.
[[nodiscard]] int Base64Decode(BufferCore& buffer, int url_safe, int strict, int skip_blanks);

// IsBase64AlphabetByte is true for A-Z, a-z, 0-9, "+" and "/".
bool IsBase64AlphabetByte(uint8_t byte);
// IsBase64Strict is 1 when buffer holds only alphabet characters, optionally ending in "=" or "==" (an
// empty buffer counts); no whitespace is allowed and the length is not examined.
int IsBase64Strict(const BufferCore& buffer);
// IsBase64Text is true when text (length -1: up to its zero) holds a positive multiple of 4 base64
// characters, with whitespace anywhere and one or two "=" only at the end.
bool IsBase64Text(const char* text, int32_t length);
// DecodeIfBase64 decodes length bytes of data into out (lenient, standard alphabet) when *flag is set
// and every byte is an alphabet character, "=", LF, CR or SP; the first other byte clears *flag. While
// *flag is clear the result is 0 and out is untouched; otherwise the result of the decoding.
[[nodiscard]] int DecodeIfBase64(const void* data, int32_t length, int* flag, BufferCore& out);

}  // namespace velmora::core
