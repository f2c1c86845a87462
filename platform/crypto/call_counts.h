// Counting calls of the stand-in modules' entry points, for the test hook CryptoCallCount.
#pragma once

namespace velmora::platform {

// CountCryptoCall counts one call of the entry point of that name. Any thread; lock-free.
void CountCryptoCall(const char* function);

}  // namespace velmora::platform
