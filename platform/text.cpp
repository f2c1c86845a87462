#include "platform/text.h"

#include <cstdio>
#include <cstring>

namespace velmora::platform {

namespace {

// RewriteI64 copies format into out, turning every "%...I64" length modifier into "ll", so that the
// C library understands the 64-bit conversions the library's format texts use. Returns false when the
// rewritten format would not fit (the caller then formats the original text).
bool RewriteI64(const char* format, char* out, std::size_t cap) {
  std::size_t o = 0;
  for (const char* p = format; *p != '\0';) {
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      if (o + 2 >= cap) return false;
      out[o++] = 'l';
      out[o++] = 'l';
      p += 3;
      continue;
    }
    if (o + 1 >= cap) return false;
    out[o++] = *p++;
  }
  out[o] = '\0';
  return true;
}

}  // namespace

int FormatV(char* out, std::size_t cap, const char* format, va_list args) {
  if (out == nullptr || cap == 0) return 0;
  out[0] = '\0';
  if (format == nullptr) return 0;
  char rewritten[kFormatAreaSize];
  const char* fmt = format;
  if (std::strstr(format, "I64") != nullptr && RewriteI64(format, rewritten, sizeof rewritten)) fmt = rewritten;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = std::vsnprintf(out, cap, fmt, args);
#pragma GCC diagnostic pop
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<std::size_t>(n) >= cap ? static_cast<int>(cap - 1) : n;
}

int Format(char* out, std::size_t cap, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = FormatV(out, cap, format, args);
  va_end(args);
  return n;
}

int CompareBytes(const char* a, const char* b) {
  return std::strcmp(a != nullptr ? a : "", b != nullptr ? b : "");
}

int CompareAsciiNoCase(const char* a, const char* b) {
  const auto* x = reinterpret_cast<const unsigned char*>(a != nullptr ? a : "");
  const auto* y = reinterpret_cast<const unsigned char*>(b != nullptr ? b : "");
  for (;; ++x, ++y) {
    int d = AsciiLower(*x) - AsciiLower(*y);
    if (d != 0 || *x == 0) return d;
  }
}

int StrLen(const char* text) { return text != nullptr ? static_cast<int>(std::strlen(text)) : 0; }

}  // namespace velmora::platform
