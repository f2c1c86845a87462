#include "platform/bluetooth/types.h"

#include <cstdio>

namespace velmora::platform::bluetooth {

PlatformError::PlatformError(int32_t hresult) noexcept : hresult_(hresult) {
  std::snprintf(text_, sizeof text_, "Platform error 0x%08X.", static_cast<unsigned>(hresult));
}

}  // namespace velmora::platform::bluetooth
