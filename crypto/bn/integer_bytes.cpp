#include "crypto/bn/integer_bytes.h"

#include "core/hex.h"

namespace velmora::crypto {
namespace {

const uint8_t* BytesOf(const core::BufferCore& value) { return reinterpret_cast<const uint8_t*>(value.Data()); }

// ToWidth drops leading bytes or prepends zeros so that value holds exactly width bytes.
int ToWidth(int32_t width, core::BufferCore& value) {
  const int32_t length = value.Length();
  if (length > width) return core::BufferConsumeFront(value, length - width);
  if (length < width) return core::PadLeftWithZeros(value, width);
  return 0;
}

}  // namespace

int FitIntegerBytes(int32_t width, core::BufferCore& value, bool strict) {
  const int32_t length = value.Length();
  if (length == 0 || length == width) return 0;
  if (length > width && strict) {
    const uint8_t* bytes = BytesOf(value);
    const int32_t dropped = length - width;
    for (int32_t i = 0; i < dropped; ++i) {
      if (bytes[i] != 0) return kIntegerTooWide;
    }
    if (width > 0 && bytes[dropped] >= 0x80) return kIntegerTooWide;
  }
  return ToWidth(width, value);
}

int FitBytesToWidth(int32_t width, core::BufferCore& value) {
  if (value.Length() == 0) return 0;
  return ToWidth(width, value);
}

int FitBytesToLength(int32_t width, core::BufferCore& value) { return ToWidth(width, value); }

int PadBytesLeft(const uint8_t* bytes, int32_t length, int32_t width, core::BufferCore& out) {
  if (bytes == nullptr) return 0;
  int status = out.SetData(0, nullptr);
  if (status != 0) return status;
  if (length < width) {
    status = out.AppendRepeatedByte(width - length, 0);
    return status != 0 ? status : out.Append(bytes, length);
  }
  int32_t skip = 0;
  if (length > width) {
    while (skip < length && bytes[skip] == 0) ++skip;
  }
  return out.Append(bytes + skip, length - skip);
}

int NormalizeDerIntegerBytes(core::BufferCore& value) {
  const int32_t length = value.Length();
  if (length == 0) return 0;
  const uint8_t* bytes = BytesOf(value);
  if (bytes[0] >= 0x80) return core::PadLeftWithZeros(value, length + 1);
  if (length >= 2 && bytes[0] == 0 && bytes[1] < 0x80) return core::BufferConsumeFront(value, 1);
  return 0;
}

bool HexIntegersEqual(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (*a == '\0' || *b == '\0') return *a == *b;
  core::Buffer first;
  core::Buffer second;
  if (core::HexDecodeAppend(first, a) != 0 || core::HexDecodeAppend(second, b) != 0) return false;
  return first.EqualsIgnoringLeadingZeros(second) != 0;
}

}  // namespace velmora::crypto
