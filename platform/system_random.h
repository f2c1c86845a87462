// The kernel's random source, for the library's last-resort fill when no platform crypto module is there.
#pragma once

#include <cstddef>

namespace velmora::platform {

// SystemRandomFill fills count bytes from the kernel's random generator (getrandom(2), which blocks only
// until the generator is first seeded). It always fills: a kernel that refuses is a broken system, and the
// process is stopped rather than handed predictable bytes. Any thread.
void SystemRandomFill(void* out, std::size_t count);

namespace test {
// SystemRandomFillCount is the number of SystemRandomFill calls so far. Process-wide.
int SystemRandomFillCount();
}  // namespace test

}  // namespace velmora::platform
