// Code pages and UTF conversion: byte text in a numbered code page to and from UTF-16 (through the
// platform's conversion calls), our own UTF-8 <-> UTF-16LE converters that need no code page, the
// UTF-8 test that picks between the byte and the wide file interfaces, MIME charset names, and the two
// Shift_JIS/JIS steps of the ISO-2022-JP code.
//
// UTF-16 text in a buffer is little-endian 2-byte units. Results are 0, 200 when a buffer cannot grow
// and 434 when a conversion fails (an unknown code page or bad arguments: text the code page cannot
// hold is substituted, '?' for an unmappable character and U+FFFD for undecodable bytes, not refused).
// Every routine may be called from any thread; a buffer is used by one thread at a time.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::core {

// kConversionFailed is the result of a code-page conversion that cannot be done.
constexpr int kConversionFailed = 434;

// Code page numbers the core refers to by name.
constexpr uint32_t kCodePageSystem = 0;
constexpr uint32_t kCodePageShiftJis = 932;
constexpr uint32_t kCodePageUtf16Le = 1200;
constexpr uint32_t kCodePageUtf16Be = 1201;
constexpr uint32_t kCodePageUtf32Le = 12000;
constexpr uint32_t kCodePageUtf32Be = 12001;
constexpr uint32_t kCodePageUtf8 = 65001;

// ---- Conversions through the platform --------------------------------------------------------------

// MultiByteToWide sets buffer to the UTF-16LE form of the NUL-terminated text (null counts as "") in
// code_page; the length counts the 2-byte NUL. 434 (buffer untouched) when the code page cannot be
// converted, 200 when the buffer cannot grow. text may point into buffer.
[[nodiscard]] int MultiByteToWide(BufferCore& buffer, const char* text, uint32_t code_page);
// WideToMultiByte sets buffer to the code_page form of the NUL-terminated UTF-16 text (null counts as
// ""); the length counts the NUL byte. Results as MultiByteToWide; text may point into buffer.
[[nodiscard]] int WideToMultiByte(BufferCore& buffer, const char16_t* text, uint32_t code_page);
// WideToMultiByteN is WideToMultiByte of units UTF-16 units, without a terminator in the length; 0
// units empty the buffer and give 0, negative units or a null text with units give 434.
[[nodiscard]] int WideToMultiByteN(BufferCore& buffer, const char16_t* text, int32_t units, uint32_t code_page);
// ConvertCodePage sets out to length bytes of text converted from one code page to another, followed by
// a NUL byte that the length counts (an empty text gives just that NUL). 434 (out untouched) when
// either code page cannot be converted, 200 when a buffer cannot grow. text may point into out.
[[nodiscard]] int ConvertCodePage(const char* text, int32_t length, uint32_t from_code_page, uint32_t to_code_page,
                                  BufferCore& out);

// ---- Our own UTF-8 and UTF-16LE converters ---------------------------------------------------------

// Utf16LeToUtf8 converts in_length bytes of UTF-16LE to UTF-8 into out, which must hold 2 * in_length
// bytes, or only counts when out is null. *out_length receives the bytes written (or counted) so far,
// also on failure. False for an unpaired or reversed surrogate and for an odd last byte.
bool Utf16LeToUtf8(uint8_t* out, int32_t* out_length, const uint8_t* in, int32_t in_length);
// Utf8ToUtf16Le converts in_length bytes of UTF-8 to UTF-16LE into out (2 * in_length bytes), or only
// counts when out is null; *out_length as for Utf16LeToUtf8. A sequence cut short, an overlong form and
// an encoded surrogate each become U+FFFD (a byte that cuts a sequence short is then read on its own);
// false for a continuation byte without a lead byte and for a value above U+10FFFF.
bool Utf8ToUtf16Le(uint8_t* out, int32_t* out_length, const uint8_t* in, int32_t in_length);
// Utf16LeToUtf8 and Utf8ToUtf16Le replace the buffer's content by its converted form: 0, 200 when the
// scratch area cannot be had, 434 when the converter fails (the buffer is left as it was). The scratch
// area is wiped before release when the buffer's WipeOnFree() says so.
[[nodiscard]] int Utf16LeToUtf8(BufferCore& buffer);
[[nodiscard]] int Utf8ToUtf16Le(BufferCore& buffer);
// IsRoundTripUtf8 is 1 when the buffer's bytes are UTF-8 that converts to UTF-16LE and back unchanged
// (an empty buffer included), else 0 (also when memory runs out).
int IsRoundTripUtf8(const BufferCore& buffer);
// Utf8NameToWide is true when the NUL-terminated name holds a byte of 0x80 or above and is round-trip
// UTF-8; out, when given, then holds the UTF-16LE form followed by a NUL unit (counted in the length).
// False for null, empty, pure ASCII and non-UTF-8 names (out untouched) and when out cannot grow.
bool Utf8NameToWide(const char* name, BufferCore* out);

// ---- Charset names ---------------------------------------------------------------------------------

// CharsetNameToCodePage returns the code page of a MIME charset name, or -1 for null, empty and
// unknown names. Only the ASCII letters are folded to upper case; nothing is trimmed.
int32_t CharsetNameToCodePage(const char* name);

// ---- Shift_JIS and JIS X 0208 ----------------------------------------------------------------------

// ShiftJisPairToJis converts one Shift_JIS double-byte character in place to its JIS X 0208 row and
// cell bytes.
void ShiftJisPairToJis(uint8_t& first, uint8_t& second);

// ShiftJisBytes is the byte pair of one Shift_JIS double-byte character.
struct ShiftJisBytes {
  uint8_t first;
  uint8_t second;
};
// JisToShiftJisPair converts a JIS X 0208 row and cell byte pair to its Shift_JIS byte pair.
ShiftJisBytes JisToShiftJisPair(uint8_t row, uint8_t cell);

// HalfWidthKanaToShiftJis sets *first and *second to the Shift_JIS code of the full-width form of the
// half-width katakana byte c (c and mark unchanged when c is no such byte), folding in the voiced or
// semi-voiced sound mark byte that follows it. Returns 1 when the mark was absorbed (the caller then
// skips it), else 0.
int HalfWidthKanaToShiftJis(uint8_t c, uint8_t mark, uint8_t* first, uint8_t* second);

}  // namespace velmora::core
