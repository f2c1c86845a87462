// The clock that operation deadlines are measured on: 64-bit milliseconds of the monotonic clock, so a
// deadline (now + timeout) never wraps however long the machine has been running, and never moves when the
// wall clock is changed. Tests may shift it forward to simulate a long uptime.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/time.h"

namespace velmora::platform {

namespace internal {
// Added to every reading; only the test hook below changes it.
inline std::atomic<uint64_t> g_deadline_clock_offset_ms{0};
}  // namespace internal

// DeadlineClockMs returns MonotonicMs() plus the test offset. Any thread.
inline uint64_t DeadlineClockMs() {
  return MonotonicMs() + internal::g_deadline_clock_offset_ms.load(std::memory_order_relaxed);
}

namespace test {
// SetDeadlineClockOffsetMs makes DeadlineClockMs read offset_ms later than MonotonicMs, for example past the
// 49.7-day wrap of a 32-bit millisecond tick count. Process-wide.
inline void SetDeadlineClockOffsetMs(uint64_t offset_ms) {
  internal::g_deadline_clock_offset_ms.store(offset_ms, std::memory_order_relaxed);
}
}  // namespace test

}  // namespace velmora::platform
