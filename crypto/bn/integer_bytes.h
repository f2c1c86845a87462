// Unsigned big-endian integers in Buffers (empty meaning absent), fitted to fixed widths or to the form
// a DER INTEGER takes. Statuses are 0 or the Buffer's code when it cannot grow.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

inline constexpr int kIntegerTooWide = 446;

// FitIntegerBytes drops leading bytes or prepends zeros to make width bytes; an empty value stays
// empty. With strict, only zero bytes may be dropped and the first kept byte must be below 0x80, else
// 446 with the value unchanged.
[[nodiscard]] int FitIntegerBytes(int32_t width, core::BufferCore& value, bool strict);
// FitBytesToWidth: exactly width bytes, no checks; an empty value stays empty.
[[nodiscard]] int FitBytesToWidth(int32_t width, core::BufferCore& value);
// FitBytesToLength: as FitBytesToWidth, but an empty value becomes width zero bytes.
[[nodiscard]] int FitBytesToLength(int32_t width, core::BufferCore& value);
// PadBytesLeft: zeros in front up to width; a longer input is copied with its leading zero bytes
// removed (so it may end up shorter than width). Null bytes: 0 and out untouched.
[[nodiscard]] int PadBytesLeft(const uint8_t* bytes, int32_t length, int32_t width, core::BufferCore& out);
// NormalizeDerIntegerBytes: a 00 in front of a first byte of 0x80 or more, or one redundant leading
// 00 removed.
[[nodiscard]] int NormalizeDerIntegerBytes(core::BufferCore& value);
// HexIntegersEqual: the two hex texts read as unsigned integers are equal (null only equals null,
// empty only equals empty).
bool HexIntegersEqual(const char* a, const char* b);

}  // namespace velmora::crypto
