// The system clock and calendar: FILETIME values (100-nanosecond ticks since 1601-01-01 UTC), broken-down
// SystemTime records, and conversions between UTC and local wall-clock time.
//
// The FILETIME <-> SystemTime arithmetic is our own and applies the classic range checks (years 1601 to
// 30827, months 1-12, a day that exists in its month, hour < 24, minute < 60, second < 60, ms < 1000).
// Zone conversions use the C library's zone rules, selected by the TZ environment variable.
//
// NOTE: the zone functions read TZ afresh on every call (tzset); changing TZ while another thread
// converts is not safe, so tests change it only in their fixtures.
#pragma once

#include <cstdint>

namespace velmora::platform {

// SystemTime is a broken-down calendar time; day_of_week is 0 (Sunday) .. 6 and is ignored on input.
struct SystemTime {
  uint16_t year = 0;
  uint16_t month = 0;
  uint16_t day_of_week = 0;
  uint16_t day = 0;
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
};

// kFileTimeUnixEpoch is 1970-01-01 00:00:00 UTC as a FILETIME.
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;
// kFileTimeTicksPerMs is the number of FILETIME ticks in one millisecond.
constexpr uint64_t kFileTimeTicksPerMs = 10000;

// NowFileTime returns the current UTC time as a FILETIME, or the time fixed by test::SetNowFileTime. Any
// thread.
uint64_t NowFileTime();
// GetSystemTime stores the current UTC time. Any thread.
void GetSystemTime(SystemTime* out);
// MonotonicMs returns milliseconds of a clock that never goes back (64-bit, no wrap). Any thread.
uint64_t MonotonicMs();

// FileTimeToSystemTime converts a FILETIME to calendar parts (with the weekday); false with last error
// 87 when the value is above 0x7FFFFFFFFFFFFFFF (out is then untouched).
bool FileTimeToSystemTime(uint64_t file_time, SystemTime* out);
// SystemTimeToFileTime converts calendar parts to a FILETIME; false with last error 87 when a part is
// out of range (out is then untouched). The weekday is not read.
bool SystemTimeToFileTime(const SystemTime& in, uint64_t* out);

// UtcOffsetSecondsAt returns local minus UTC in seconds in force at the UTC instant given as seconds
// since 1970 (daylight saving time included); 0 when the C library cannot convert the instant.
int64_t UtcOffsetSecondsAt(int64_t unix_seconds);

// UtcToLocal converts a UTC time to local wall-clock time under the rule in force at that instant;
// false with last error 87 for parts out of range.
bool UtcToLocal(const SystemTime& utc, SystemTime* local);
// LocalToUtc converts local wall-clock time to UTC; a wall time that a daylight saving change skips or
// repeats resolves as the C library's mktime does. False with last error 87 for parts out of range.
bool LocalToUtc(const SystemTime& local, SystemTime* utc);
// UtcFileTimeToLocalFileTime and LocalFileTimeToUtcFileTime are the same conversions on FILETIMEs.
bool UtcFileTimeToLocalFileTime(uint64_t utc, uint64_t* local);
bool LocalFileTimeToUtcFileTime(uint64_t local, uint64_t* utc);

namespace test {
// SetNowFileTime fixes what NowFileTime and GetSystemTime read, so validity windows, generated dates and
// default comments can be checked against a known instant; 0 gives back the real clock. Process-wide.
void SetNowFileTime(uint64_t file_time);
}  // namespace test

}  // namespace velmora::platform
