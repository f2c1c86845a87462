// Date and time: the library's one time value (signed 64-bit milliseconds since 1970-01-01 00:00:00
// UTC) and its conversions to FILETIME ticks, date parts, packed DOS date-times and local time; a small
// pattern formatter ("yyyyMMddHHmmss", "dd-MMM-yyyy HH:mm:ss", ...) and the parser of compact timestamp
// texts ("20280229235959Z", "202802292359+0100", "2028022923.5-0330").
//
// Date parts are year, month 1-12, day 1-31, hour 0-23, minute, second, ms 0-999 and weekday 0-6
// (Sunday 0) or -1 for none. Parts outside the calendar's range (years 1601-30827) are refused with
// kInvalidDate. Local time is the zone of the TZ environment variable. No state; any thread.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::core {

// kInvalidDate is the result for a time or date parts outside the calendar's range.
constexpr int kInvalidDate = 87;
// kUnixEpochFileTime is 1970-01-01 00:00:00 UTC in FILETIME ticks (100 ns since 1601).
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;

// CurrentUnixMs returns the current UTC time in ms since 1970.
int64_t CurrentUnixMs();
// GetUtcDateParts stores the current UTC time as parts; returns 0.
int GetUtcDateParts(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
                    uint32_t* second, uint32_t* ms, int32_t* weekday);
// GetUtcDateTime is GetUtcDateParts without ms and weekday; returns 0.
int GetUtcDateTime(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
                   uint32_t* second);

// UnixMsToDateParts splits ms into UTC parts (weekday optional); 0, or kInvalidDate for an instant
// outside the FILETIME range (before 1601, or from September 30828 on), when every part is set to 0.
[[nodiscard]] int UnixMsToDateParts(int64_t unix_ms, uint32_t* year, uint32_t* month, uint32_t* day,
                                    uint32_t* hour, uint32_t* minute, uint32_t* second, uint32_t* ms,
                                    int32_t* weekday = nullptr);
// DatePartsToUnixMs joins UTC parts into ms; 0, or kInvalidDate for parts out of range (month 13,
// day 0, February 30, ...), when *out is untouched.
[[nodiscard]] int DatePartsToUnixMs(uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
                                    uint32_t second, uint32_t ms, int64_t* out);

// UnixMsToFileTime stores (ms + 11644473600000) x 10000 (modulo 2^64 for instants before 1601).
void UnixMsToFileTime(int64_t unix_ms, uint64_t* file_time);
// FileTimeToUnixMs returns (file_time - kUnixEpochFileTime) / 10000, truncated toward zero.
int64_t FileTimeToUnixMs(uint64_t file_time);

// UnixMsToLocal returns the UTC instant as local wall-clock ms, with the offset (daylight saving time
// included) in force at that instant; an instant out of range comes back unchanged.
int64_t UnixMsToLocal(int64_t unix_ms);
// DatePartsToLocal rewrites UTC parts as local parts (weekday optional); 1, or 0 for parts out of
// range (the parts are then untouched).
int DatePartsToLocal(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
                     uint32_t* second, uint32_t* ms, int32_t* weekday = nullptr);
// UtcFileTimeToLocal and LocalFileTimeToUtc convert FILETIMEs between UTC and local time; 0, or the
// platform's error number (87 out of range), when *out is untouched.
[[nodiscard]] int UtcFileTimeToLocal(uint64_t utc, uint64_t* local);
[[nodiscard]] int LocalFileTimeToUtc(uint64_t local, uint64_t* utc);

// UnixMsToDosDateTime packs the local time of the UTC instant as a DOS date-time (year - 1980 in bits
// 25-31, month, day, hour, minute, second / 2); 0 for years outside 1980-2107 and instants out of range.
uint32_t UnixMsToDosDateTime(int64_t unix_ms);
// DosDateTimeToUnixMs reads a DOS date-time as local time (day and month 0 read as 1) and returns the
// UTC instant; 0 for a value that is no date (month 13-15, hour 24-31, minute 60-63, February 30)
// or one whose conversion from local time fails.
int64_t DosDateTimeToUnixMs(uint32_t dos);
// DosDateTimeToFileTime decodes a DOS date-time to a FILETIME without zone conversion; 0, or
// kInvalidDate for a value that is no date (*out untouched).
[[nodiscard]] int DosDateTimeToFileTime(uint32_t dos, uint64_t* out);

// DateAddHours moves year/month/day/hour (minutes and seconds counted as 0) by hours; 0, or
// kInvalidDate when the parts or the result are out of range (the parts are then untouched).
[[nodiscard]] int DateAddHours(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, int32_t hours);
// DateAddMinutes is DateAddHours for year/month/day/hour/minute and a shift in minutes.
[[nodiscard]] int DateAddMinutes(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
                                 int32_t minutes);

// GetUtcOffsetParts stores local time minus UTC in force now as hours and minutes, both truncated
// toward zero (-3:30 gives -3 and -30); returns 0.
int GetUtcOffsetParts(int32_t* hours, int32_t* minutes);

// FormatDateTime clears out and writes the parts by pattern. Tokens: yy yyyy M MM MMM d dd ddd h hh H
// HH m mm s ss tt a zzz f ff fff ffff ffffff, text between apostrophes (a backslash keeps the next
// character from closing it), and any other run copied as it is. "zzz" is the UTC offset in force at
// the parts taken as local wall-clock time. Returns 0; a failed append is not reported.
int FormatDateTime(BufferCore& out, const char* pattern, uint32_t year, uint32_t month, uint32_t day, uint32_t hour,
                   uint32_t minute, uint32_t second, uint32_t ms, int32_t weekday);
// FormatDateTimeNoMs and FormatDateTimeMs are FormatDateTime with ms 0 or given, and no weekday.
int FormatDateTimeNoMs(BufferCore& out, const char* pattern, uint32_t year, uint32_t month, uint32_t day,
                       uint32_t hour, uint32_t minute, uint32_t second);
int FormatDateTimeMs(BufferCore& out, const char* pattern, uint32_t year, uint32_t month, uint32_t day,
                     uint32_t hour, uint32_t minute, uint32_t second, uint32_t ms);
// FormatDateTimeWithOffset is FormatDateTime with the offset for "zzz" given as hours and minutes.
int FormatDateTimeWithOffset(BufferCore& out, const char* pattern, uint32_t year, uint32_t month, uint32_t day,
                             uint32_t hour, uint32_t minute, uint32_t second, uint32_t ms, int32_t weekday,
                             int32_t offset_hours, int32_t offset_minutes);
// AppendDatePart appends value as "%04d", "%03d", "%02d" or "%d" for width 4, 3, 2 or 0; any other
// width appends nothing. Returns 0 or the buffer's code.
int AppendDatePart(BufferCore& out, int32_t value, int32_t width);

// ReformatTimeText parses a compact timestamp (yyyyMMddHH, optional mm and ss, optional "." and up to
// three fraction digits, then "Z" or a signed hhmm offset, which is removed to give UTC), converts it to
// local time when to_local is set and the text has a zone, and writes it into out by pattern.
// *has_zone (optional) is set to 1 when the text ends in "Z" or holds a sign. Returns 1, or 0 for a
// null or short text, a non-digit where digits belong, a bad offset or a date that does not exist;
// out is then unchanged.
int ReformatTimeText(const char* pattern, const char* text, BufferCore& out, int to_local, int* has_zone);

}  // namespace velmora::core
