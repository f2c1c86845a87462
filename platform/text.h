// Byte-text routines of the system layer: bounded printf-style formatting, byte comparison and
// ASCII-only case-insensitive comparison of NUL-terminated texts.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace velmora::platform {

// kFormatAreaSize is the work area of FormatV: at most kFormatAreaSize - 1 characters are produced.
constexpr std::size_t kFormatAreaSize = 1024;

// FormatV writes the formatted text into out (cap bytes, cap >= 1) and returns its length; the text is
// cut, never overrun, when it does not fit. Besides the C conversions it accepts the 64-bit forms
// "%I64d", "%I64u", "%I64x" and "%I64X". A null "%s" argument prints "(null)".
int FormatV(char* out, std::size_t cap, const char* format, va_list args);
// Format is FormatV with its arguments inline.
int Format(char* out, std::size_t cap, const char* format, ...);

// CompareBytes compares two NUL-terminated texts byte by byte as unsigned values (null counts as "");
// <0, 0 or >0.
int CompareBytes(const char* a, const char* b);
// CompareAsciiNoCase is CompareBytes with A-Z folded to a-z; no other byte is folded.
int CompareAsciiNoCase(const char* a, const char* b);
// StrLen is the length of a NUL-terminated text; null gives 0.
int StrLen(const char* text);
// AsciiLower folds A-Z to a-z and returns every other byte unchanged.
inline unsigned char AsciiLower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

}  // namespace velmora::platform
