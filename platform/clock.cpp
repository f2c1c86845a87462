#include "platform/clock.h"

#include <atomic>

#include "platform/time.h"

namespace velmora::platform {

namespace {
std::atomic<uint64_t> g_offset_ms{0};
// The frozen tick count, or -1 while the tick count runs.
std::atomic<int64_t> g_frozen_tick{-1};
}  // namespace

uint64_t DeadlineClockMs() { return MonotonicMs() + g_offset_ms.load(std::memory_order_relaxed); }

uint32_t GetTickCount() {
  const int64_t frozen = g_frozen_tick.load(std::memory_order_relaxed);
  return frozen >= 0 ? static_cast<uint32_t>(frozen) : static_cast<uint32_t>(MonotonicMs());
}

namespace test {
void SetDeadlineClockOffsetMs(uint64_t offset_ms) { g_offset_ms.store(offset_ms, std::memory_order_relaxed); }
void FreezeTickCount(uint32_t tick) { g_frozen_tick.store(tick, std::memory_order_relaxed); }
void ThawTickCount() { g_frozen_tick.store(-1, std::memory_order_relaxed); }
}  // namespace test

}  // namespace velmora::platform
