#include "core/date_time.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace velmora::core {
namespace {

std::string Text(const BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }

// LocalTime sets TZ for one test and restores it afterwards; tests that read local time derive from it.
class LocalTime : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TZ");
    had_tz_ = old != nullptr;
    if (had_tz_) old_tz_ = old;
    UseZone("UTC");
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", old_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void UseZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  bool had_tz_ = false;
  std::string old_tz_;
};

std::string Format(const char* pattern, uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
                   uint32_t second = 0, uint32_t ms = 0, int32_t weekday = -1) {
  Buffer out;
  EXPECT_EQ(FormatDateTime(out, pattern, year, month, day, hour, minute, second, ms, weekday), 0);
  return Text(out);
}

TEST(UnixMsConversions, EpochIsFileTimeConstantAndThursday) {
  uint64_t ft = 0;
  UnixMsToFileTime(0, &ft);
  EXPECT_EQ(ft, 116444736000000000ULL);
  EXPECT_EQ(FileTimeToUnixMs(ft), 0);
  uint32_t y, mo, d, h, mi, s, ms;
  int32_t weekday = -1;
  ASSERT_EQ(UnixMsToDateParts(0, &y, &mo, &d, &h, &mi, &s, &ms, &weekday), 0);
  EXPECT_EQ(std::to_string(y) + "-" + std::to_string(mo) + "-" + std::to_string(d), "1970-1-1");
  EXPECT_EQ(h + mi + s + ms, 0u);
  EXPECT_EQ(weekday, 4);
  // Back from ticks the count truncates toward zero.
  EXPECT_EQ(FileTimeToUnixMs(kUnixEpochFileTime - 5), 0);
  EXPECT_EQ(FileTimeToUnixMs(kUnixEpochFileTime - 15000), -1);
  EXPECT_EQ(FileTimeToUnixMs(kUnixEpochFileTime + 19999), 1);
}

TEST(UnixMsConversions, OutOfRangeIsRefusedNotGarbage) {
  uint32_t y = 9, mo = 9, d = 9, h = 9, mi = 9, s = 9, ms = 9;
  int32_t weekday = 9;
  EXPECT_EQ(UnixMsToDateParts(-11644473600001, &y, &mo, &d, &h, &mi, &s, &ms, &weekday), kInvalidDate);
  EXPECT_EQ(y + mo + d + h + mi + s + ms, 0u);
  EXPECT_EQ(UnixMsToDateParts(INT64_MAX, &y, &mo, &d, &h, &mi, &s, &ms), kInvalidDate);
  EXPECT_EQ(UnixMsToDateParts(-11644473600000, &y, &mo, &d, &h, &mi, &s, &ms), 0);
  EXPECT_EQ(y, 1601u);

  int64_t out = 42;
  EXPECT_EQ(DatePartsToUnixMs(2024, 13, 1, 0, 0, 0, 0, &out), kInvalidDate);
  EXPECT_EQ(DatePartsToUnixMs(2024, 1, 0, 0, 0, 0, 0, &out), kInvalidDate);
  EXPECT_EQ(DatePartsToUnixMs(2023, 2, 29, 0, 0, 0, 0, &out), kInvalidDate);
  EXPECT_EQ(DatePartsToUnixMs(65536 + 2024, 1, 1, 0, 0, 0, 0, &out), kInvalidDate);
  EXPECT_EQ(out, 42);
  EXPECT_EQ(UnixMsToLocal(INT64_MIN), INT64_MIN);
}

TEST(PatternFormat, CasesOfTheTokenTable) {
  EXPECT_EQ(Format("HH:mm", 2024, 3, 5, 13, 5), "13:05");
  EXPECT_EQ(Format("h tt", 2024, 3, 5, 13, 5), "1 PM");
  EXPECT_EQ(Format("H:m:s a", 2024, 3, 5, 9, 5, 7), "9:5:7 AM");
  EXPECT_EQ(Format("yyyyMMdd", 2024, 3, 5, 0, 0), "20240305");
  EXPECT_EQ(Format("yyyyMMddHHmmss", 2024, 3, 5, 7, 8, 9), "20240305070809");
  EXPECT_EQ(Format("dd-MMM-yyyy HH:mm:ss", 2028, 2, 29, 23, 59, 59), "29-Feb-2028 23:59:59");
  EXPECT_EQ(Format("y/yy/yyy/yyyyy", 2009, 1, 1, 0, 0), "09/09/2009/yyyyy");
  EXPECT_EQ(Format("M MM MMMM", 7, 7, 1, 0, 0), "7 07 MMMM");
  EXPECT_EQ(Format("d dd ddd dddd", 2024, 1, 6, 0, 0, 0, 0, 6), "6 06 Sat dddd");
  EXPECT_EQ(Format("ddd", 2024, 1, 6, 0, 0, 0, 0, -1), "ddd");
  EXPECT_EQ(Format("ddd", 2024, 1, 6, 0, 0, 0, 0, 7), "ddd");
  EXPECT_EQ(Format("f|ff|fff|ffff|fffff|ffffff|fffffff", 2024, 1, 1, 0, 0, 0, 7),
            "007|007|007|0070|fffff|007000|fffffff");
  EXPECT_EQ(Format("t tt ttt aa", 2024, 1, 1, 12, 0), "PM PM ttt aa");
  EXPECT_EQ(Format("z zz zzzz", 2024, 1, 1, 0, 0), "z zz zzzz");
}

TEST(PatternFormat, TwelveHourClockShowsTwelveAtMidnightAndNoon) {
  EXPECT_EQ(Format("hh tt|h tt|hh", 2024, 1, 1, 0, 30), "12 AM|12 AM|12");
  EXPECT_EQ(Format("hh tt|h", 2024, 1, 1, 12, 0), "12 PM|12");
  EXPECT_EQ(Format("hh|h", 2024, 1, 1, 23, 0), "11|11");
}

TEST(PatternFormat, MonthNameNeverReadsOutsideTheTable) {
  EXPECT_EQ(Format("MMM", 2024, 0, 1, 0, 0), "MMM");
  EXPECT_EQ(Format("MMM", 2024, 13, 1, 0, 0), "MMM");
  EXPECT_EQ(Format("MMM", 2024, 0xFFFFFFFFu, 1, 0, 0), "MMM");
}

TEST(PatternFormat, Literals) {
  EXPECT_EQ(Format("'T'HH", 2024, 1, 1, 13, 0), "T13");
  EXPECT_EQ(Format("'it\\'s' HH", 2024, 1, 1, 13, 0), "it\\'s 13");
  EXPECT_EQ(Format("HH'open", 2024, 1, 1, 13, 0), "13open");
  EXPECT_EQ(Format("'yyyy'yyyy", 2024, 1, 1, 0, 0), "yyyy2024");
  EXPECT_EQ(Format("''", 2024, 1, 1, 0, 0), "");
  Buffer out;
  ASSERT_EQ(out.SetString("old"), 0);
  FormatDateTime(out, nullptr, 2024, 1, 1, 0, 0, 0, 0, -1);
  EXPECT_EQ(Text(out), "");
}

TEST(PatternFormat, AppendDatePartWidths) {
  Buffer out;
  AppendDatePart(out, 7, 4);
  AppendDatePart(out, 7, 3);
  AppendDatePart(out, 7, 2);
  AppendDatePart(out, 7, 0);
  AppendDatePart(out, 7, 1);
  AppendDatePart(out, -5, 4);
  AppendDatePart(out, 123456, 2);
  EXPECT_EQ(Text(out), "0007007077-005123456");
}

TEST_F(LocalTime, OffsetOfZonesWithHalfHourBias) {
  UseZone("Asia/Kolkata");
  EXPECT_EQ(Format("zzz", 2024, 1, 15, 12, 0), "+05:30");
  UseZone("America/St_Johns");
  EXPECT_EQ(Format("zzz", 2024, 1, 15, 12, 0), "-03:30");
  // The offset in force at the formatted time, summer time included.
  EXPECT_EQ(Format("yyyy-MM-dd HH:mm zzz", 2024, 7, 15, 12, 0), "2024-07-15 12:00 -02:30");
}

TEST_F(LocalTime, OffsetSignComesFromTheWholeOffset) {
  UseZone("XXX+0:30");  // 30 minutes west of UTC
  EXPECT_EQ(Format("zzz", 2024, 1, 15, 12, 0), "-00:30");
  Buffer out;
  FormatDateTimeWithOffset(out, "zzz", 2024, 1, 1, 0, 0, 0, 0, -1, 0, -30);
  EXPECT_EQ(Text(out), "-00:30");
  FormatDateTimeWithOffset(out, "zzz", 2024, 1, 1, 0, 0, 0, 0, -1, 5, 45);
  EXPECT_EQ(Text(out), "+05:45");
}

TEST_F(LocalTime, UtcOffsetPartsTruncateTowardZero) {
  UseZone("NST3:30");  // fixed, no summer time
  int32_t hours = 0, minutes = 0;
  EXPECT_EQ(GetUtcOffsetParts(&hours, &minutes), 0);
  EXPECT_EQ(hours, -3);
  EXPECT_EQ(minutes, -30);
  UseZone("IST-5:30");
  EXPECT_EQ(GetUtcOffsetParts(&hours, &minutes), 0);
  EXPECT_EQ(hours, 5);
  EXPECT_EQ(minutes, 30);
}

TEST_F(LocalTime, LocalConversionsApplySummerTime) {
  UseZone("Europe/Berlin");
  int64_t ms = 0;
  ASSERT_EQ(DatePartsToUnixMs(2024, 7, 1, 10, 0, 0, 5, &ms), 0);
  EXPECT_EQ(UnixMsToLocal(ms) - ms, 2 * 3600000);
  uint32_t y = 2024, mo = 12, d = 31, h = 23, mi = 30, s = 0, msp = 1;
  int32_t weekday = -1;
  EXPECT_EQ(DatePartsToLocal(&y, &mo, &d, &h, &mi, &s, &msp, &weekday), 1);
  EXPECT_EQ(y, 2025u);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(weekday, 3);
  mo = 13;
  EXPECT_EQ(DatePartsToLocal(&y, &mo, &d, &h, &mi, &s, &msp), 0);
  EXPECT_EQ(mo, 13u);

  uint64_t utc = 0, local = 0, back = 0;
  UnixMsToFileTime(ms, &utc);
  ASSERT_EQ(UtcFileTimeToLocal(utc, &local), 0);
  ASSERT_EQ(LocalFileTimeToUtc(local, &back), 0);
  EXPECT_EQ(back, utc);
  EXPECT_EQ(UtcFileTimeToLocal(0x8000000000000000ULL, &local), kInvalidDate);
}

TEST_F(LocalTime, ReformatTimeTextCases) {
  Buffer out;
  int zone = -1;
  ASSERT_EQ(ReformatTimeText("yyyyMMddHHmmss", "20280229235959Z", out, 0, &zone), 1);
  EXPECT_EQ(Text(out), "20280229235959");
  EXPECT_EQ(zone, 1);
  ASSERT_EQ(ReformatTimeText("yyyyMMddHHmmss", "202802292359+0100", out, 0, &zone), 1);
  EXPECT_EQ(Text(out), "20280229225900");
  ASSERT_EQ(ReformatTimeText("yyyyMMddHHmmss", "2028022923", out, 0, &zone), 1);
  EXPECT_EQ(Text(out), "20280229230000");
  EXPECT_EQ(zone, 0);
  ASSERT_EQ(ReformatTimeText("yyyyMMddHHmmss", "20280301003000+0100", out, 0, nullptr), 1);
  EXPECT_EQ(Text(out), "20280229233000");
  ASSERT_EQ(ReformatTimeText("yyyyMMddHHmm", "202812312300-0330", out, 0, nullptr), 1);
  EXPECT_EQ(Text(out), "202901010230");
  ASSERT_EQ(ReformatTimeText("ss.fff", "20280229235959.5Z", out, 0, nullptr), 1);
  EXPECT_EQ(Text(out), "59.500");
  ASSERT_EQ(ReformatTimeText("fff", "20280229235959.05Z", out, 0, nullptr), 1);
  EXPECT_EQ(Text(out), "050");
  ASSERT_EQ(ReformatTimeText("fff", "20280229235959.05189Z", out, 0, nullptr), 1);
  EXPECT_EQ(Text(out), "051");
}

TEST_F(LocalTime, ReformatTimeTextRejectsBadText) {
  Buffer out;
  ASSERT_EQ(out.SetString("kept"), 0);
  const char* bad[] = {nullptr,
                       "202802292",              // shorter than ten
                       "abcdefghij",             // no digits at all
                       "2028a22923",             // a letter in the month
                       "20280229 3",             // a blank in the hour
                       "2028022923+01",          // offset too short
                       "2028022923+01000",       // offset too long
                       "2028022923+01x0",        // offset not digits
                       "2028022923+0160",        // offset minutes out of range
                       "2028133023Z",            // month 13
                       "2027022923Z"};           // no 29 February in 2027
  for (const char* text : bad) {
    EXPECT_EQ(ReformatTimeText("yyyyMMddHH", text, out, 0, nullptr), 0) << (text ? text : "(null)");
    EXPECT_EQ(Text(out), "kept");
  }
}

TEST_F(LocalTime, ReformatTimeTextToLocalShowsTheSummerOffset) {
  UseZone("Europe/Berlin");
  Buffer out;
  ASSERT_EQ(ReformatTimeText("yyyy-MM-dd HH:mm zzz", "20280701120000Z", out, 1, nullptr), 1);
  EXPECT_EQ(Text(out), "2028-07-01 14:00 +02:00");
  ASSERT_EQ(ReformatTimeText("yyyy-MM-dd HH:mm zzz", "20280101120000Z", out, 1, nullptr), 1);
  EXPECT_EQ(Text(out), "2028-01-01 13:00 +01:00");
  // Without a zone the text is not moved.
  ASSERT_EQ(ReformatTimeText("HH:mm", "202807011200", out, 1, nullptr), 1);
  EXPECT_EQ(Text(out), "12:00");
}

uint32_t Dos(uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute, uint32_t second) {
  return ((year - 1980) << 25) | (month << 21) | (day << 16) | (hour << 11) | (minute << 5) | (second / 2);
}

TEST_F(LocalTime, DosDateTimeLimits) {
  int64_t ms = 0;
  ASSERT_EQ(DatePartsToUnixMs(1979, 12, 31, 23, 59, 59, 0, &ms), 0);
  EXPECT_EQ(UnixMsToDosDateTime(ms), 0u);
  ASSERT_EQ(DatePartsToUnixMs(1980, 1, 1, 0, 0, 0, 0, &ms), 0);
  EXPECT_EQ(DosDateTimeToUnixMs(0), ms);  // day and month 0 read as 1
  EXPECT_EQ(UnixMsToDosDateTime(ms), Dos(1980, 1, 1, 0, 0, 0));
  ASSERT_EQ(DatePartsToUnixMs(2107, 12, 31, 23, 59, 59, 0, &ms), 0);
  EXPECT_EQ(UnixMsToDosDateTime(ms), Dos(2107, 12, 31, 23, 59, 58));
  EXPECT_EQ(DosDateTimeToUnixMs(Dos(2107, 12, 31, 23, 59, 58)), ms - 1000);
  ASSERT_EQ(DatePartsToUnixMs(2108, 1, 1, 0, 0, 0, 0, &ms), 0);
  EXPECT_EQ(UnixMsToDosDateTime(ms), 0u);  // the 7-bit year would wrap to 1980

  EXPECT_EQ(DosDateTimeToUnixMs(Dos(2024, 13, 1, 0, 0, 0)), 0);
  EXPECT_EQ(DosDateTimeToUnixMs(Dos(2024, 2, 30, 0, 0, 0)), 0);
  EXPECT_EQ(DosDateTimeToUnixMs(Dos(2024, 1, 1, 24, 0, 0)), 0);
  uint64_t ft = 5;
  EXPECT_EQ(DosDateTimeToFileTime(Dos(2024, 15, 1, 0, 0, 0), &ft), kInvalidDate);
  EXPECT_EQ(ft, 5u);
  ASSERT_EQ(DosDateTimeToFileTime(Dos(1980, 1, 1, 0, 0, 62), &ft), 0);  // 31 x 2 seconds wrap to 2
  EXPECT_EQ(FileTimeToUnixMs(ft), 315532802000);

  UseZone("Asia/Tokyo");  // the DOS value is local time
  ASSERT_EQ(DatePartsToUnixMs(2024, 6, 1, 0, 0, 0, 0, &ms), 0);
  EXPECT_EQ(UnixMsToDosDateTime(ms), Dos(2024, 6, 1, 9, 0, 0));
  EXPECT_EQ(DosDateTimeToUnixMs(Dos(2024, 6, 1, 9, 0, 0)), ms);
}

TEST(DateShift, HoursAndMinutesUseSixtyFourBitProducts) {
  uint32_t y = 2024, mo = 1, d = 1, h = 0, mi = 0;
  ASSERT_EQ(DateAddHours(&y, &mo, &d, &h, 1000), 0);  // 3.6e9 ms does not fit 32 bits
  EXPECT_EQ(y * 10000 + mo * 100 + d, 20240211u);
  EXPECT_EQ(h, 16u);
  ASSERT_EQ(DateAddMinutes(&y, &mo, &d, &h, &mi, -1000 * 60 - 1), 0);
  EXPECT_EQ(y * 10000 + mo * 100 + d, 20231231u);
  EXPECT_EQ(h, 23u);
  EXPECT_EQ(mi, 59u);
  ASSERT_EQ(DateAddMinutes(&y, &mo, &d, &h, &mi, INT32_MAX), 0);
  EXPECT_EQ(y, 6107u);

  y = 1601, mo = 1, d = 1, h = 0;
  EXPECT_EQ(DateAddHours(&y, &mo, &d, &h, -1), kInvalidDate);
  EXPECT_EQ(y, 1601u);
  mo = 13;
  EXPECT_EQ(DateAddHours(&y, &mo, &d, &h, 1), kInvalidDate);
  EXPECT_EQ(mo, 13u);
}

// The Unix-ms <-> parts conversions against Python's datetime on random instants from 1601 to 9999.
TEST(UnixMsConversions, MatchPythonDatetimeOnRandomInstants) {
  if (std::system("command -v python3 >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is not installed";
  const uint32_t seed = static_cast<uint32_t>(std::random_device{}());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  const int64_t first = -11644473600000;  // 1601-01-01
  const int64_t last = 253402300799999;   // 9999-12-31 23:59:59.999
  std::uniform_int_distribution<int64_t> pick(first, last);

  char input_name[] = "/tmp/velmora_dates_XXXXXX";
  const int fd = mkstemp(input_name);
  ASSERT_GE(fd, 0);
  close(fd);
  std::vector<int64_t> instants = {first, last, -1, 0, 951782400000 /* 2000-02-29 */};
  for (int i = 0; i < 3000; ++i) instants.push_back(pick(random));
  {
    std::ofstream input(input_name);
    for (int64_t v : instants) input << v << "\n";
  }
  const std::string command =
      std::string("python3 -c \"import sys, datetime\n"
                  "e = datetime.datetime(1970, 1, 1)\n"
                  "for line in sys.stdin:\n"
                  "  t = e + datetime.timedelta(milliseconds=int(line))\n"
                  "  print(t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond // 1000,\n"
                  "        t.isoweekday() % 7)\n"
                  "\" < ") + input_name;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  size_t checked = 0;
  for (int64_t v : instants) {
    unsigned ey, emo, ed, eh, emi, es, ems;
    int ew;
    if (std::fscanf(pipe, "%u %u %u %u %u %u %u %d", &ey, &emo, &ed, &eh, &emi, &es, &ems, &ew) != 8) break;
    uint32_t y, mo, d, h, mi, s, ms;
    int32_t w = -1;
    ASSERT_EQ(UnixMsToDateParts(v, &y, &mo, &d, &h, &mi, &s, &ms, &w), 0) << v;
    ASSERT_EQ(std::vector<uint32_t>({y, mo, d, h, mi, s, ms}), std::vector<uint32_t>({ey, emo, ed, eh, emi, es, ems}))
        << "ms " << v;
    ASSERT_EQ(w, ew) << "ms " << v;
    int64_t back = 0;
    ASSERT_EQ(DatePartsToUnixMs(ey, emo, ed, eh, emi, es, ems, &back), 0);
    ASSERT_EQ(back, v);
    ++checked;
  }
  pclose(pipe);
  std::remove(input_name);
  EXPECT_EQ(checked, instants.size());
}

}  // namespace
}  // namespace velmora::core
