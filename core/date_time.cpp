#include "core/date_time.h"

#include <cstring>

#include "platform/last_error.h"
#include "platform/time.h"

namespace velmora::core {

namespace {

namespace pf = velmora::platform;

constexpr int64_t kEpochDeltaMs = 11644473600000;
// The instants whose FILETIME lies in 0 .. 0x7FFFFFFFFFFFFFFF.
constexpr int64_t kMinUnixMs = -kEpochDeltaMs;
constexpr int64_t kMaxUnixMs = static_cast<int64_t>(0x7FFFFFFFFFFFFFFFULL / pf::kFileTimeTicksPerMs) - kEpochDeltaMs;

constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kWeekdayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// MakeSystemTime copies parts into a platform record; false when a part cannot be held by it (the
// platform's own range check does the rest).
bool MakeSystemTime(uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute, uint32_t second,
                    uint32_t ms, pf::SystemTime* out) {
  if ((year | month | day | hour | minute | second | ms) > 0xFFFF) return false;
  out->year = static_cast<uint16_t>(year);
  out->month = static_cast<uint16_t>(month);
  out->day = static_cast<uint16_t>(day);
  out->hour = static_cast<uint16_t>(hour);
  out->minute = static_cast<uint16_t>(minute);
  out->second = static_cast<uint16_t>(second);
  out->milliseconds = static_cast<uint16_t>(ms);
  return true;
}

// PartsToFileTime validates parts and converts them to a FILETIME.
bool PartsToFileTime(uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute, uint32_t second,
                     uint32_t ms, uint64_t* out) {
  pf::SystemTime t;
  return MakeSystemTime(year, month, day, hour, minute, second, ms, &t) && pf::SystemTimeToFileTime(t, out);
}

// UnixMsToFileTimeChecked converts an instant inside the FILETIME range.
bool UnixMsToFileTimeChecked(int64_t unix_ms, uint64_t* out) {
  if (unix_ms < kMinUnixMs || unix_ms > kMaxUnixMs) return false;
  UnixMsToFileTime(unix_ms, out);
  return true;
}

void StoreParts(const pf::SystemTime& t, uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour,
                uint32_t* minute, uint32_t* second, uint32_t* ms, int32_t* weekday) {
  *year = t.year;
  *month = t.month;
  *day = t.day;
  *hour = t.hour;
  *minute = t.minute;
  *second = t.second;
  *ms = t.milliseconds;
  if (weekday != nullptr) *weekday = t.day_of_week;
}

int LastErrorOr87() {
  const uint32_t code = pf::GetLastError();
  return code != 0 ? static_cast<int>(code) : kInvalidDate;
}

// DecodeDos unpacks a DOS date-time; day and month 0 read as 1, the seconds wrap at 60.
pf::SystemTime DecodeDos(uint32_t dos) {
  pf::SystemTime t;
  t.second = static_cast<uint16_t>(((dos & 0x1F) * 2) % 60);
  t.minute = static_cast<uint16_t>((dos >> 5) & 0x3F);
  t.hour = static_cast<uint16_t>((dos >> 11) & 0x1F);
  const uint16_t day = static_cast<uint16_t>((dos >> 16) & 0x1F);
  const uint16_t month = static_cast<uint16_t>((dos >> 21) & 0x0F);
  t.day = day == 0 ? 1 : day;
  t.month = month == 0 ? 1 : month;
  t.year = static_cast<uint16_t>((dos >> 25) + 1980);
  return t;
}

// AddMs shifts parts by delta ms; the parts not given are 0 on the way in and dropped on the way out.
int AddMs(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute, int64_t delta) {
  int64_t unix_ms = 0;
  int rc = DatePartsToUnixMs(*year, *month, *day, *hour, minute != nullptr ? *minute : 0, 0, 0, &unix_ms);
  if (rc != kOk) return rc;
  // |delta| is at most 2^31 minutes, far inside int64; the sum is range-checked below.
  uint32_t y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  rc = UnixMsToDateParts(unix_ms + delta, &y, &mo, &d, &h, &mi, &s, &ms);
  if (rc != kOk) return rc;
  *year = y;
  *month = mo;
  *day = d;
  *hour = h;
  if (minute != nullptr) *minute = mi;
  return kOk;
}

// OffsetAtLocalParts gives local minus UTC in minutes in force at the parts read as local wall-clock
// time; parts that are no valid time use the offset in force now.
int32_t OffsetAtLocalParts(uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
                           uint32_t second) {
  pf::SystemTime local;
  uint64_t local_ft = 0;
  uint64_t utc_ft = 0;
  if (MakeSystemTime(year, month, day, hour, minute, second, 0, &local) && pf::SystemTimeToFileTime(local, &local_ft) &&
      pf::LocalFileTimeToUtcFileTime(local_ft, &utc_ft)) {
    return static_cast<int32_t>((FileTimeToUnixMs(local_ft) - FileTimeToUnixMs(utc_ft)) / 60000);
  }
  const int64_t now_seconds = CurrentUnixMs() / 1000;
  return static_cast<int32_t>(pf::UtcOffsetSecondsAt(now_seconds) / 60);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// ReadDigits parses count decimal digits; false when any byte is not a digit.
bool ReadDigits(const char* text, int count, uint32_t* out) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) {
    if (!IsDigit(text[i])) return false;
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  *out = value;
  return true;
}

// DateValues are the values one pattern run can print.
struct DateValues {
  uint32_t year, month, day, hour, minute, second, ms;
  int32_t weekday, offset_hours, offset_minutes;
};

void AppendOffset(BufferCore& out, int32_t hours, int32_t minutes) {
  // The sign belongs to the whole offset: -0:30 is "-00:30".
  const int32_t total = hours * 60 + minutes;
  const int32_t magnitude = total < 0 ? -total : total;
  (void)out.AppendByte(total < 0 ? '-' : '+');
  AppendDatePart(out, magnitude / 60, 2);
  (void)out.AppendByte(':');
  AppendDatePart(out, magnitude % 60, 2);
}

// AppendRun writes one run of count copies of c; false when the run is no token (it is then copied).
bool AppendRun(BufferCore& out, char c, int32_t count, const DateValues& v) {
  auto number = [&out](uint32_t value, int32_t width) {
    AppendDatePart(out, static_cast<int32_t>(value), width);
    return true;
  };
  auto text = [&out](const char* name) {
    (void)out.AppendCString(name);
    return true;
  };
  const int32_t two_or_none = count == 1 ? 0 : 2;
  switch (c) {
    case 'y':
      if (count <= 2) return number(v.year % 100, 2);
      return count <= 4 && number(v.year, 4);
    case 'M':
      if (count <= 2) return number(v.month, two_or_none);
      // A month outside 1..12 has no name: the run is copied.
      return count == 3 && v.month >= 1 && v.month <= 12 && text(kMonthNames[v.month - 1]);
    case 'd':
      if (count <= 2) return number(v.day, two_or_none);
      return count == 3 && v.weekday >= 0 && v.weekday <= 6 && text(kWeekdayNames[v.weekday]);
    case 'h':
      // The 12-hour clock runs 12, 1, ..., 11: midnight and noon both show 12.
      return count <= 2 && number(v.hour % 12 == 0 ? 12 : v.hour % 12, two_or_none);
    case 'H':
      return count <= 2 && number(v.hour, two_or_none);
    case 'm':
      return count <= 2 && number(v.minute, two_or_none);
    case 's':
      return count <= 2 && number(v.second, two_or_none);
    case 't':
      return count <= 2 && text(v.hour < 12 ? "AM" : "PM");
    case 'a':
      return count == 1 && text(v.hour < 12 ? "AM" : "PM");
    case 'z':
      if (count != 3) return false;
      AppendOffset(out, v.offset_hours, v.offset_minutes);
      return true;
    case 'f':
      if (count == 5 || count > 6) return false;
      number(v.ms, 3);
      if (count == 6) return text("000");
      return count != 4 || text("0");
    default:
      return false;
  }
}

}  // namespace

int64_t CurrentUnixMs() { return FileTimeToUnixMs(pf::NowFileTime()); }

int GetUtcDateParts(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
                    uint32_t* second, uint32_t* ms, int32_t* weekday) {
  pf::SystemTime now;
  pf::GetSystemTime(&now);
  StoreParts(now, year, month, day, hour, minute, second, ms, weekday);
  return kOk;
}

int GetUtcDateTime(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
                   uint32_t* second) {
  uint32_t ms = 0;
  return GetUtcDateParts(year, month, day, hour, minute, second, &ms, nullptr);
}

int UnixMsToDateParts(int64_t unix_ms, uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour,
                      uint32_t* minute, uint32_t* second, uint32_t* ms, int32_t* weekday) {
  uint64_t file_time = 0;
  pf::SystemTime t;
  if (!UnixMsToFileTimeChecked(unix_ms, &file_time) || !pf::FileTimeToSystemTime(file_time, &t)) {
    StoreParts(pf::SystemTime{}, year, month, day, hour, minute, second, ms, weekday);
    return kInvalidDate;
  }
  StoreParts(t, year, month, day, hour, minute, second, ms, weekday);
  return kOk;
}

int DatePartsToUnixMs(uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute, uint32_t second,
                      uint32_t ms, int64_t* out) {
  uint64_t file_time = 0;
  if (!PartsToFileTime(year, month, day, hour, minute, second, ms, &file_time)) return kInvalidDate;
  *out = FileTimeToUnixMs(file_time);
  return kOk;
}

void UnixMsToFileTime(int64_t unix_ms, uint64_t* file_time) {
  // Unsigned arithmetic: defined for every input, exact inside the FILETIME range.
  *file_time = (static_cast<uint64_t>(unix_ms) + static_cast<uint64_t>(kEpochDeltaMs)) * pf::kFileTimeTicksPerMs;
}

int64_t FileTimeToUnixMs(uint64_t file_time) {
  return static_cast<int64_t>(file_time - kUnixEpochFileTime) / static_cast<int64_t>(pf::kFileTimeTicksPerMs);
}

int64_t UnixMsToLocal(int64_t unix_ms) {
  uint64_t utc = 0;
  uint64_t local = 0;
  if (!UnixMsToFileTimeChecked(unix_ms, &utc) || !pf::UtcFileTimeToLocalFileTime(utc, &local)) return unix_ms;
  return FileTimeToUnixMs(local);
}

int DatePartsToLocal(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
                     uint32_t* second, uint32_t* ms, int32_t* weekday) {
  pf::SystemTime utc;
  pf::SystemTime local;
  if (!MakeSystemTime(*year, *month, *day, *hour, *minute, *second, *ms, &utc) || !pf::UtcToLocal(utc, &local)) {
    return 0;
  }
  StoreParts(local, year, month, day, hour, minute, second, ms, weekday);
  return 1;
}

int UtcFileTimeToLocal(uint64_t utc, uint64_t* local) {
  return pf::UtcFileTimeToLocalFileTime(utc, local) ? kOk : LastErrorOr87();
}

int LocalFileTimeToUtc(uint64_t local, uint64_t* utc) {
  return pf::LocalFileTimeToUtcFileTime(local, utc) ? kOk : LastErrorOr87();
}

uint32_t UnixMsToDosDateTime(int64_t unix_ms) {
  uint64_t utc = 0;
  uint64_t local = 0;
  pf::SystemTime t;
  if (!UnixMsToFileTimeChecked(unix_ms, &utc) || !pf::UtcFileTimeToLocalFileTime(utc, &local) ||
      !pf::FileTimeToSystemTime(local, &t)) {
    return 0;
  }
  // Seven bits of year: 1980 .. 2107.
  if (t.year < 1980 || t.year > 1980 + 127) return 0;
  return (static_cast<uint32_t>(t.year - 1980) << 25) | (static_cast<uint32_t>(t.month) << 21) |
         (static_cast<uint32_t>(t.day) << 16) | (static_cast<uint32_t>(t.hour) << 11) |
         (static_cast<uint32_t>(t.minute) << 5) | (static_cast<uint32_t>(t.second) / 2);
}

int64_t DosDateTimeToUnixMs(uint32_t dos) {
  uint64_t local = 0;
  uint64_t utc = 0;
  if (!pf::SystemTimeToFileTime(DecodeDos(dos), &local) || !pf::LocalFileTimeToUtcFileTime(local, &utc)) return 0;
  return FileTimeToUnixMs(utc);
}

int DosDateTimeToFileTime(uint32_t dos, uint64_t* out) {
  return pf::SystemTimeToFileTime(DecodeDos(dos), out) ? kOk : kInvalidDate;
}

int DateAddHours(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, int32_t hours) {
  return AddMs(year, month, day, hour, nullptr, static_cast<int64_t>(hours) * 3600000);
}

int DateAddMinutes(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
                   int32_t minutes) {
  return AddMs(year, month, day, hour, minute, static_cast<int64_t>(minutes) * 60000);
}

int GetUtcOffsetParts(int32_t* hours, int32_t* minutes) {
  const int32_t total = static_cast<int32_t>(pf::UtcOffsetSecondsAt(CurrentUnixMs() / 1000) / 60);
  *hours = total / 60;
  *minutes = total - *hours * 60;
  return kOk;
}

int FormatDateTime(BufferCore& out, const char* pattern, uint32_t year, uint32_t month, uint32_t day, uint32_t hour,
                   uint32_t minute, uint32_t second, uint32_t ms, int32_t weekday) {
  int32_t offset_hours = 0;
  int32_t offset_minutes = 0;
  if (pattern != nullptr && std::strstr(pattern, "zzz") != nullptr) {
    const int32_t total = OffsetAtLocalParts(year, month, day, hour, minute, second);
    offset_hours = total / 60;
    offset_minutes = total - offset_hours * 60;
  }
  return FormatDateTimeWithOffset(out, pattern, year, month, day, hour, minute, second, ms, weekday, offset_hours,
                                  offset_minutes);
}

int FormatDateTimeNoMs(BufferCore& out, const char* pattern, uint32_t year, uint32_t month, uint32_t day,
                       uint32_t hour, uint32_t minute, uint32_t second) {
  return FormatDateTime(out, pattern, year, month, day, hour, minute, second, 0, -1);
}

int FormatDateTimeMs(BufferCore& out, const char* pattern, uint32_t year, uint32_t month, uint32_t day,
                     uint32_t hour, uint32_t minute, uint32_t second, uint32_t ms) {
  return FormatDateTime(out, pattern, year, month, day, hour, minute, second, ms, -1);
}

int FormatDateTimeWithOffset(BufferCore& out, const char* pattern, uint32_t year, uint32_t month, uint32_t day,
                             uint32_t hour, uint32_t minute, uint32_t second, uint32_t ms, int32_t weekday,
                             int32_t offset_hours, int32_t offset_minutes) {
  out.Clear();
  if (pattern == nullptr) return kOk;
  const DateValues values{year, month, day, hour, minute, second, ms, weekday, offset_hours, offset_minutes};
  const int32_t length = static_cast<int32_t>(std::strlen(pattern));
  int32_t i = 0;
  while (i < length) {
    if (pattern[i] == '\'') {
      // A literal runs to the next apostrophe that no backslash escapes; an unclosed one to the end.
      int32_t end = i + 1;
      while (end < length && pattern[end] != '\'') end += (pattern[end] == '\\' && end + 1 < length) ? 2 : 1;
      (void)out.Append(pattern + i + 1, end - i - 1);
      i = end < length ? end + 1 : length;
      continue;
    }
    int32_t end = i + 1;
    while (end < length && pattern[end] == pattern[i]) ++end;
    if (!AppendRun(out, pattern[i], end - i, values)) (void)out.Append(pattern + i, end - i);
    i = end;
  }
  return kOk;
}

int AppendDatePart(BufferCore& out, int32_t value, int32_t width) {
  if (width != 0 && width != 2 && width != 3 && width != 4) return kOk;
  char digits[16];
  int32_t n = 0;
  // Work in the negative range so that INT32_MIN needs no special case.
  int32_t rest = value < 0 ? value : -value;
  do {
    digits[n++] = static_cast<char>('0' - rest % 10);
    rest /= 10;
  } while (rest != 0);
  char text[16];
  int32_t t = 0;
  if (value < 0) text[t++] = '-';
  for (int32_t pad = width - n - t; pad > 0; --pad) text[t++] = '0';  // "%04d" counts the sign in the width
  while (n > 0) text[t++] = digits[--n];
  return out.Append(text, t);
}

int ReformatTimeText(const char* pattern, const char* text, BufferCore& out, int to_local, int* has_zone) {
  if (text == nullptr) return 0;
  const int32_t length = static_cast<int32_t>(std::strlen(text));
  if (length < 10) return 0;
  const int zone = (text[length - 1] == 'Z' || std::strchr(text, '+') != nullptr || std::strchr(text, '-') != nullptr)
                       ? 1
                       : 0;
  if (has_zone != nullptr) *has_zone = zone;

  uint32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  if (!ReadDigits(text, 4, &year) || !ReadDigits(text + 4, 2, &month) || !ReadDigits(text + 6, 2, &day) ||
      !ReadDigits(text + 8, 2, &hour)) {
    return 0;
  }
  int32_t pos = 10;
  if (length >= 12 && ReadDigits(text + 10, 2, &minute)) {
    pos = 12;
    if (length >= 14 && ReadDigits(text + 12, 2, &second)) pos = 14;
  }
  if (pos < length && text[pos] == '.') {
    ++pos;
    // Three fraction steps: a missing digit counts as 0, so ".5" is 500 ms; later digits are dropped.
    for (int step = 0; step < 3; ++step) {
      ms *= 10;
      if (pos < length && IsDigit(text[pos])) ms += static_cast<uint32_t>(text[pos++] - '0');
    }
    while (pos < length && IsDigit(text[pos])) ++pos;
  }
  int64_t parsed_ms = 0;  // only to check that the date exists
  if (DatePartsToUnixMs(year, month, day, hour, minute, second, ms, &parsed_ms) != kOk) return 0;

  if (pos < length && (text[pos] == '+' || text[pos] == '-')) {
    uint32_t offset_hours = 0;
    uint32_t offset_minutes = 0;
    if (length - pos != 5 || !ReadDigits(text + pos + 1, 2, &offset_hours) ||
        !ReadDigits(text + pos + 3, 2, &offset_minutes) || offset_minutes > 59) {
      return 0;
    }
    // The text is local time at the offset: remove the offset to get UTC.
    const int32_t sign = text[pos] == '+' ? -1 : 1;
    if (DateAddHours(&year, &month, &day, &hour, sign * static_cast<int32_t>(offset_hours)) != kOk ||
        DateAddMinutes(&year, &month, &day, &hour, &minute, sign * static_cast<int32_t>(offset_minutes)) != kOk) {
      return 0;
    }
  }
  if (zone != 0 && to_local != 0 && DatePartsToLocal(&year, &month, &day, &hour, &minute, &second, &ms) == 0) return 0;
  FormatDateTime(out, pattern, year, month, day, hour, minute, second, ms, -1);
  return 1;
}

}  // namespace velmora::core
