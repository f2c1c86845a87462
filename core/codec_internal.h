// Shared by the base64 and hex encoders of this folder only.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

#include "core/buffer.h"

namespace velmora::core::codec_internal {

// GrowForAppend lengthens out by added bytes and returns the address of the first new byte, or null
// when the new length does not fit or memory runs out (out is then unchanged). input may point into
// out: it is moved along with out's content.
inline char* GrowForAppend(BufferCore& out, int64_t added, const void*& input) {
  const int32_t old_length = out.Length();
  if (static_cast<int64_t>(old_length) + added > INT32_MAX - 1) return nullptr;
  const char* in = static_cast<const char*>(input);
  const bool own = in != nullptr && in >= out.Data() && in <= out.Data() + old_length;
  const ptrdiff_t offset = own ? in - out.Data() : 0;
  if (out.SetData(old_length + static_cast<int32_t>(added), nullptr) != kOk) return nullptr;
  if (own) input = out.Data() + offset;
  return out.Data() + old_length;
}

}  // namespace velmora::core::codec_internal
