// AppendPlatformOutput runs a platform call that reports its output size when given no output, then
// again into the tail of out, which it sets to the size the second call reports. 0, a Buffer code or the
// platform's status (out keeps its old length on failure). Any thread.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "platform/crypto/hash_types.h"

namespace velmora::crypto {

template <typename Call>
[[nodiscard]] int AppendPlatformOutput(core::BufferCore& out, Call call) {
  platform::DWORD size = 0;
  int status = call(nullptr, 0, &size);
  if (status != 0) return status;
  const int32_t old = out.Length();
  if ((status = out.Resize(old + static_cast<int32_t>(size))) != 0) return status;
  platform::DWORD written = size;
  status = call(reinterpret_cast<uint8_t*>(out.Data()) + old, size, &written);
  if (status != 0) {
    (void)out.Resize(old);
    return status;
  }
  return out.Resize(old + static_cast<int32_t>(written));
}

}  // namespace velmora::crypto
