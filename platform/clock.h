// The clock that operation deadlines are measured on: 64-bit milliseconds of the monotonic clock, so a
// deadline (now + timeout) never wraps however long the machine has been running, and never moves when the
// wall clock is changed. Tests may shift it forward to simulate a long uptime.
#pragma once

#include <cstdint>

namespace velmora::platform {

// DeadlineClockMs returns MonotonicMs() (time.h) plus the test offset. Any thread.
uint64_t DeadlineClockMs();

// GetTickCount returns the low 32 bits of MonotonicMs (it wraps after 49.7 days), or the frozen value
// while a test holds one. Any thread.
uint32_t GetTickCount();

namespace test {
// SetDeadlineClockOffsetMs makes DeadlineClockMs read offset_ms later than MonotonicMs, for example past the
// 49.7-day wrap of a 32-bit millisecond tick count. Process-wide.
void SetDeadlineClockOffsetMs(uint64_t offset_ms);
// FreezeTickCount makes GetTickCount return tick until ThawTickCount, as if every call fell in the same
// millisecond. Process-wide.
void FreezeTickCount(uint32_t tick);
void ThawTickCount();
}  // namespace test

}  // namespace velmora::platform
