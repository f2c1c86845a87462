// Conversions between byte text in a numbered code page and UTF-16, with the contract of the system
// conversion calls the component was designed against: a null destination only counts, a result of 0
// is a failure with the reason in the thread's last error number (platform/last_error.h).
//
// UTF-8 (65001) is converted by our own codec; every other code page goes through the C library's
// iconv under the charset name that the code page number maps to. Code page 0 is the system "ANSI"
// code page (GetAnsiCodePage of platform/system_info.h). UTF-16 is char16_t in the host's byte order.
//
// Conversion never fails on the text itself: a byte sequence the code page cannot decode becomes
// U+FFFD and a character it cannot encode becomes the code page's '?'. Failures are bad arguments, an
// unknown code page and a destination that is too small. Any thread may call these; the iconv state
// they use belongs to the calling thread.
#pragma once

#include <cstdint>

namespace velmora::platform {

// Well-known code page numbers.
constexpr uint32_t kCodePageAnsi = 0;         // the system's default code page
constexpr uint32_t kCodePageOem = 1;          // the console code page; the same as kCodePageAnsi here
constexpr uint32_t kCodePageThreadAnsi = 3;   // the thread's default code page; kCodePageAnsi here
constexpr uint32_t kCodePageUtf16Le = 1200;
constexpr uint32_t kCodePageUtf16Be = 1201;
constexpr uint32_t kCodePageUtf32Le = 12000;
constexpr uint32_t kCodePageUtf32Be = 12001;
constexpr uint32_t kCodePageShiftJis = 932;

// MultiByteToWideChar converts in_len bytes of text (-1: up to and including its NUL) from code_page
// to UTF-16. With out null (out_units 0) it returns the number of units the result needs; otherwise it
// writes at most out_units units and returns the number written. Returns 0 on failure with the last
// error set to 87 (null text, in_len 0 or below -1, bad out/out_units, unknown code page, or one of the
// UTF-16/UTF-32 code pages, which are no byte code pages) or 122 (out too small; out is then undefined).
int MultiByteToWideChar(uint32_t code_page, const char* in, int in_len, char16_t* out, int out_units);

// WideCharToMultiByte converts in_units units of UTF-16 (-1: up to and including its NUL) to
// code_page, with out and the result as for MultiByteToWideChar (counts in bytes). Unpaired
// surrogates are characters the code page cannot encode. Returns 0 on failure with the last error
// 87 or 122 as above.
int WideCharToMultiByte(uint32_t code_page, const char16_t* in, int in_units, char* out, int out_len);

// IsValidCodePage is true when the two calls above can convert code_page on this system.
bool IsValidCodePage(uint32_t code_page);

}  // namespace velmora::platform
