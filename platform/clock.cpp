#include "platform/clock.h"

#include <atomic>

#include "platform/time.h"

namespace velmora::platform {

namespace {
std::atomic<uint64_t> g_offset_ms{0};
}  // namespace

uint64_t DeadlineClockMs() { return MonotonicMs() + g_offset_ms.load(std::memory_order_relaxed); }

uint32_t GetTickCount() { return static_cast<uint32_t>(MonotonicMs()); }

namespace test {
void SetDeadlineClockOffsetMs(uint64_t offset_ms) { g_offset_ms.store(offset_ms, std::memory_order_relaxed); }
}  // namespace test

}  // namespace velmora::platform
