#include "platform/time.h"

#include <atomic>
#include <ctime>

#include "platform/last_error.h"
#include "platform/win_codes.h"

namespace velmora::platform {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kMsPerDay = kSecondsPerDay * 1000;
// Seconds from 1601-01-01 to 1970-01-01 (134774 days).
constexpr int64_t kEpochDeltaSeconds = 11644473600;
constexpr int64_t kEpochDeltaDays = 134774;
constexpr uint64_t kMaxFileTime = 0x7FFFFFFFFFFFFFFFULL;
constexpr int kMinYear = 1601;
constexpr int kMaxYear = 30827;

std::atomic<uint64_t> g_fixed_now{0};

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int64_t year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return (month == 2 && IsLeapYear(year)) ? 29 : kDays[month - 1];
}

// DaysFromCivil counts days from 1970-01-01 to the given proleptic Gregorian date (negative before).
// The year is shifted to start in March so that the leap day is the last day of its year.
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// CivilFromDays is the inverse of DaysFromCivil.
void CivilFromDays(int64_t days, int64_t* year, int* month, int* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  *day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = year_of_era + era * 400 + (*month <= 2 ? 1 : 0);
}

bool Fail() {
  SetLastError(kErrorInvalidParameter);
  return false;
}

// FileTimeToUnixSeconds floors a FILETIME to whole seconds since 1970.
int64_t FileTimeToUnixSeconds(uint64_t file_time) {
  return static_cast<int64_t>(file_time / kTicksPerSecond) - kEpochDeltaSeconds;
}

// ShiftFileTime adds seconds to a FILETIME; false when the result leaves 0 .. kMaxFileTime.
bool ShiftFileTime(uint64_t file_time, int64_t seconds, uint64_t* out) {
  const int64_t ticks = seconds * kTicksPerSecond;  // |seconds| is a zone offset, far from overflow
  if (ticks < 0 && static_cast<uint64_t>(-ticks) > file_time) return Fail();
  const uint64_t shifted = file_time + static_cast<uint64_t>(ticks);
  if (shifted > kMaxFileTime) return Fail();
  *out = shifted;
  return true;
}

}  // namespace

uint64_t NowFileTime() {
  if (const uint64_t fixed = g_fixed_now.load(std::memory_order_relaxed); fixed != 0) return fixed;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec + kEpochDeltaSeconds) * kTicksPerSecond +
         static_cast<uint64_t>(now.tv_nsec) / 100;
}

void GetSystemTime(SystemTime* out) { FileTimeToSystemTime(NowFileTime(), out); }

uint64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

bool FileTimeToSystemTime(uint64_t file_time, SystemTime* out) {
  if (file_time > kMaxFileTime) return Fail();
  const int64_t total_ms = static_cast<int64_t>(file_time / kFileTimeTicksPerMs);
  const int64_t days_1601 = total_ms / kMsPerDay;
  int64_t ms_of_day = total_ms % kMsPerDay;
  int64_t year = 0;
  int month = 0;
  int day = 0;
  CivilFromDays(days_1601 - kEpochDeltaDays, &year, &month, &day);
  out->year = static_cast<uint16_t>(year);
  out->month = static_cast<uint16_t>(month);
  out->day = static_cast<uint16_t>(day);
  out->day_of_week = static_cast<uint16_t>((days_1601 + 1) % 7);  // 1601-01-01 was a Monday
  out->hour = static_cast<uint16_t>(ms_of_day / 3600000);
  ms_of_day %= 3600000;
  out->minute = static_cast<uint16_t>(ms_of_day / 60000);
  ms_of_day %= 60000;
  out->second = static_cast<uint16_t>(ms_of_day / 1000);
  out->milliseconds = static_cast<uint16_t>(ms_of_day % 1000);
  return true;
}

bool SystemTimeToFileTime(const SystemTime& in, uint64_t* out) {
  if (in.year < kMinYear || in.year > kMaxYear || in.month < 1 || in.month > 12 || in.day < 1 ||
      in.day > DaysInMonth(in.year, in.month) || in.hour > 23 || in.minute > 59 || in.second > 59 ||
      in.milliseconds > 999) {
    return Fail();
  }
  const int64_t days_1601 = DaysFromCivil(in.year, in.month, in.day) + kEpochDeltaDays;
  const int64_t seconds = days_1601 * kSecondsPerDay + in.hour * 3600 + in.minute * 60 + in.second;
  *out = static_cast<uint64_t>(seconds) * kTicksPerSecond +
         static_cast<uint64_t>(in.milliseconds) * kFileTimeTicksPerMs;
  return true;
}

int64_t UtcOffsetSecondsAt(int64_t unix_seconds) {
  tzset();  // localtime_r need not re-read TZ by itself
  const time_t when = static_cast<time_t>(unix_seconds);
  tm parts{};
  if (localtime_r(&when, &parts) == nullptr) return 0;
  return parts.tm_gmtoff;
}

bool UtcFileTimeToLocalFileTime(uint64_t utc, uint64_t* local) {
  if (utc > kMaxFileTime) return Fail();
  return ShiftFileTime(utc, UtcOffsetSecondsAt(FileTimeToUnixSeconds(utc)), local);
}

bool LocalFileTimeToUtcFileTime(uint64_t local, uint64_t* utc) {
  SystemTime parts;
  if (!FileTimeToSystemTime(local, &parts)) return false;
  tm wall{};
  wall.tm_year = parts.year - 1900;
  wall.tm_mon = parts.month - 1;
  wall.tm_mday = parts.day;
  wall.tm_hour = parts.hour;
  wall.tm_min = parts.minute;
  wall.tm_sec = parts.second;
  wall.tm_isdst = -1;  // let the zone rule decide whether daylight saving time applies
  const time_t seconds = mktime(&wall);
  // mktime's failure value -1 is also a real instant (1969-12-31 23:59:59 UTC): tell them apart.
  if (seconds == static_cast<time_t>(-1) &&
      FileTimeToUnixSeconds(local) - UtcOffsetSecondsAt(-1) != -1) {
    return Fail();
  }
  const int64_t since_1601 = static_cast<int64_t>(seconds) + kEpochDeltaSeconds;
  if (since_1601 < 0 || since_1601 > static_cast<int64_t>(kMaxFileTime / kTicksPerSecond) - 1) return Fail();
  *utc = static_cast<uint64_t>(since_1601) * kTicksPerSecond + local % kTicksPerSecond;
  return true;
}

bool UtcToLocal(const SystemTime& utc, SystemTime* local) {
  uint64_t in = 0;
  uint64_t shifted = 0;
  return SystemTimeToFileTime(utc, &in) && UtcFileTimeToLocalFileTime(in, &shifted) &&
         FileTimeToSystemTime(shifted, local);
}

bool LocalToUtc(const SystemTime& local, SystemTime* utc) {
  uint64_t in = 0;
  uint64_t shifted = 0;
  return SystemTimeToFileTime(local, &in) && LocalFileTimeToUtcFileTime(in, &shifted) &&
         FileTimeToSystemTime(shifted, utc);
}

namespace test {
void SetNowFileTime(uint64_t file_time) { g_fixed_now.store(file_time, std::memory_order_relaxed); }
}  // namespace test

}  // namespace velmora::platform
