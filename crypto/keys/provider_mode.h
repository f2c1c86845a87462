// The provider modes of the selections that choose between the library's own implementation and the
// platform's.
#pragma once

#include <cstdint>

namespace velmora::crypto {

constexpr uint32_t kProviderInternal = 0;
constexpr uint32_t kProviderPlatform = 1;
constexpr uint32_t kProviderDefault = 2;  // the process default, upgraded to the platform where it applies

}  // namespace velmora::crypto
