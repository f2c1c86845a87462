#include "platform/system_random.h"

#include <errno.h>
#include <sys/random.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace velmora::platform {

namespace {
std::atomic<int> g_fill_count{0};
}  // namespace

void SystemRandomFill(void* out, std::size_t count) {
  g_fill_count.fetch_add(1, std::memory_order_relaxed);
  auto* bytes = static_cast<uint8_t*>(out);
  while (count > 0) {
    // NOTE: getrandom returns at most 32 MiB - 1 per call and may be interrupted; both are retried.
    const ssize_t got = getrandom(bytes, count, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "velmorable: the kernel random generator failed (errno %d)\n", errno);
      std::abort();
    }
    bytes += got;
    count -= static_cast<std::size_t>(got);
  }
}

namespace test {
int SystemRandomFillCount() { return g_fill_count.load(); }
}  // namespace test

}  // namespace velmora::platform
