#include "core/date_time.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/core/python_oracle.h"
#include "tests/test_support.h"

namespace velmora::core {
namespace {

using testing_support::Text;

// LocalTime runs each test in UTC unless it picks another zone.
class LocalTime : public testing_support::ZoneTest {};

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
  EXPECT_EQ(std::vector<uint32_t>({y, mo, d, h, mi, s, ms}), std::vector<uint32_t>({1970, 1, 1, 0, 0, 0, 0}));
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
  int64_t out = 42;
  for (const auto& p : {std::vector<uint32_t>{2024, 13, 1}, {2024, 1, 0}, {2023, 2, 29}, {65536 + 2024, 1, 1}}) {
    EXPECT_EQ(DatePartsToUnixMs(p[0], p[1], p[2], 0, 0, 0, 0, &out), kInvalidDate) << p[0] << "-" << p[1];
  }
  EXPECT_EQ(out, 42);
  EXPECT_EQ(UnixMsToLocal(INT64_MIN), INT64_MIN);
}

TEST(PatternFormat, CasesOfTheTokenTable) {
  EXPECT_EQ(Format("HH:mm", 2024, 3, 5, 13, 5), "13:05");
  EXPECT_EQ(Format("h tt", 2024, 3, 5, 13, 5), "1 PM");
  EXPECT_EQ(Format("H:m:s a", 2024, 3, 5, 9, 5, 7), "9:5:7 AM");
  EXPECT_EQ(Format("yyyyMMddHHmmss", 2024, 3, 5, 7, 8, 9), "20240305070809");
  EXPECT_EQ(Format("dd-MMM-yyyy HH:mm:ss", 2028, 2, 29, 23, 59, 59), "29-Feb-2028 23:59:59");
  EXPECT_EQ(Format("y/yy/yyy/yyyyy", 2009, 1, 1, 0, 0), "09/09/2009/yyyyy");
  EXPECT_EQ(Format("M MM MMMM", 7, 7, 1, 0, 0), "7 07 MMMM");
  EXPECT_EQ(Format("d dd ddd dddd", 2024, 1, 6, 0, 0, 0, 0, 6), "6 06 Sat dddd");
  EXPECT_EQ(Format("ddd|", 2024, 1, 6, 0, 0, 0, 0, -1) + Format("ddd", 2024, 1, 6, 0, 0, 0, 0, 7), "ddd|ddd");
  EXPECT_EQ(Format("f|ff|fff|ffff|fffff|ffffff|fffffff", 2024, 1, 1, 0, 0, 0, 7),
            "007|007|007|0070|fffff|007000|fffffff");
  EXPECT_EQ(Format("t tt ttt aa", 2024, 1, 1, 12, 0), "PM PM ttt aa");
  EXPECT_EQ(Format("z zz zzzz", 2024, 1, 1, 0, 0), "z zz zzzz");
  // The 12-hour clock shows 12 at midnight and noon.
  EXPECT_EQ(Format("hh tt|h tt|hh", 2024, 1, 1, 0, 30), "12 AM|12 AM|12");
  EXPECT_EQ(Format("hh tt|h|hh", 2024, 1, 1, 12, 0), "12 PM|12|12");
  EXPECT_EQ(Format("hh|h", 2024, 1, 1, 23, 0), "11|11");
  // A month outside 1..12 never indexes the name table.
  for (uint32_t month : {0u, 13u, 0xFFFFFFFFu}) EXPECT_EQ(Format("MMM", 2024, month, 1, 0, 0), "MMM") << month;
}

TEST(PatternFormat, LiteralsAndPartWidths) {
  EXPECT_EQ(Format("'T'HH", 2024, 1, 1, 13, 0), "T13");
  EXPECT_EQ(Format("'it\\'s' HH", 2024, 1, 1, 13, 0), "it\\'s 13");
  EXPECT_EQ(Format("HH'open", 2024, 1, 1, 13, 0), "13open");
  EXPECT_EQ(Format("'yyyy'yyyy", 2024, 1, 1, 0, 0), "yyyy2024");
  EXPECT_EQ(Format("''", 2024, 1, 1, 0, 0), "");
  Buffer out;
  ASSERT_EQ(out.SetString("old"), 0);
  FormatDateTime(out, nullptr, 2024, 1, 1, 0, 0, 0, 0, -1);
  EXPECT_EQ(Text(out), "");
  for (const auto& [value, width] : {std::pair{7, 4}, {7, 3}, {7, 2}, {7, 0}, {7, 1}, {-5, 4}, {123456, 2}}) {
    AppendDatePart(out, value, width);
  }
  EXPECT_EQ(Text(out), "0007007077-005123456");
}

TEST_F(LocalTime, ZoneOffsetIsTheOneInForceWithItsOwnSign) {
  UseZone("Asia/Kolkata");
  EXPECT_EQ(Format("zzz", 2024, 1, 15, 12, 0), "+05:30");
  UseZone("America/St_Johns");
  EXPECT_EQ(Format("zzz", 2024, 1, 15, 12, 0), "-03:30");
  EXPECT_EQ(Format("yyyy-MM-dd HH:mm zzz", 2024, 7, 15, 12, 0), "2024-07-15 12:00 -02:30");  // summer time
  UseZone("XXX+0:30");  // 30 minutes west of UTC: the sign comes from the whole offset
  EXPECT_EQ(Format("zzz", 2024, 1, 15, 12, 0), "-00:30");
  Buffer out;
  FormatDateTimeWithOffset(out, "zzz", 2024, 1, 1, 0, 0, 0, 0, -1, 0, -30);
  EXPECT_EQ(Text(out), "-00:30");
  FormatDateTimeWithOffset(out, "zzz", 2024, 1, 1, 0, 0, 0, 0, -1, 5, 45);
  EXPECT_EQ(Text(out), "+05:45");
  UseZone("NST3:30");  // the parts truncate toward zero
  int32_t hours = 0, minutes = 0;
  EXPECT_EQ(GetUtcOffsetParts(&hours, &minutes), 0);
  EXPECT_EQ(std::pair(hours, minutes), std::pair(-3, -30));
}

TEST_F(LocalTime, LocalConversionsApplySummerTime) {
  UseZone("Europe/Berlin");
  int64_t ms = 0;
  ASSERT_EQ(DatePartsToUnixMs(2024, 7, 1, 10, 0, 0, 5, &ms), 0);
  EXPECT_EQ(UnixMsToLocal(ms) - ms, 2 * 3600000);
  uint32_t y = 2024, mo = 12, d = 31, h = 23, mi = 30, s = 0, msp = 1;
  int32_t weekday = -1;
  EXPECT_EQ(DatePartsToLocal(&y, &mo, &d, &h, &mi, &s, &msp, &weekday), 1);
  EXPECT_EQ(std::vector<uint32_t>({y, h}), std::vector<uint32_t>({2025, 0}));
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
  const struct {
    const char *pattern, *text, *expected;
    int to_local, zone;
  } cases[] = {
      {"yyyyMMddHHmmss", "20280229235959Z", "20280229235959", 0, 1},
      {"yyyyMMddHHmmss", "202802292359+0100", "20280229225900", 0, 1},
      {"yyyyMMddHHmmss", "2028022923", "20280229230000", 0, 0},
      {"yyyyMMddHHmmss", "20280301003000+0100", "20280229233000", 0, 1},
      {"yyyyMMddHHmm", "202812312300-0330", "202901010230", 0, 1},
      {"ss.fff", "20280229235959.5Z", "59.500", 0, 1},
      {"fff", "20280229235959.05189Z", "051", 0, 1},
      {"yyyy-MM-dd HH:mm zzz", "20280701120000Z", "2028-07-01 14:00 +02:00", 1, 1},  // to local: summer offset
      {"yyyy-MM-dd HH:mm zzz", "20280101120000Z", "2028-01-01 13:00 +01:00", 1, 1},
      {"HH:mm", "202807011200", "12:00", 1, 0},  // without a zone the text is not moved
  };
  UseZone("Europe/Berlin");
  for (const auto& c : cases) {
    Buffer out;
    int zone = -1;
    ASSERT_EQ(ReformatTimeText(c.pattern, c.text, out, c.to_local, &zone), 1) << c.text;
    EXPECT_EQ(Text(out), c.expected);
    EXPECT_EQ(zone, c.zone) << c.text;
  }
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
  EXPECT_EQ(std::vector<uint32_t>({y, mo, d, h}), std::vector<uint32_t>({2024, 2, 11, 16}));
  ASSERT_EQ(DateAddMinutes(&y, &mo, &d, &h, &mi, -1000 * 60 - 1), 0);
  EXPECT_EQ(std::vector<uint32_t>({y, mo, d, h, mi}), std::vector<uint32_t>({2023, 12, 31, 23, 59}));
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
constexpr char kDateOracle[] = R"PY(
import sys, datetime
e = datetime.datetime(1970, 1, 1)
for line in sys.stdin:
    t = e + datetime.timedelta(milliseconds=int(line))
    print(t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond // 1000, t.isoweekday() % 7)
)PY";

TEST(UnixMsConversions, MatchPythonDatetimeOnRandomInstants) {
  if (!testing_support::PythonAvailable()) GTEST_SKIP() << "python3 is not available: differential test skipped";
  const uint32_t seed = static_cast<uint32_t>(std::random_device{}());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  const int64_t first = -11644473600000;  // 1601-01-01
  const int64_t last = 253402300799999;   // 9999-12-31 23:59:59.999
  std::uniform_int_distribution<int64_t> pick(first, last);
  std::vector<int64_t> instants = {first, last, -1, 0, 951782400000 /* 2000-02-29 */};
  for (int i = 0; i < 3000; ++i) instants.push_back(pick(random));
  std::string input, output;
  for (int64_t v : instants) input += std::to_string(v) + "\n";
  ASSERT_TRUE(testing_support::RunPython(kDateOracle, "", input, &output));
  const auto lines = testing_support::Lines(output);
  ASSERT_EQ(lines.size(), instants.size());
  for (size_t i = 0; i < instants.size(); ++i) {
    ASSERT_EQ(lines[i].size(), 8u);
    std::vector<uint32_t> expected;
    for (size_t f = 0; f < 7; ++f) expected.push_back(static_cast<uint32_t>(std::stoul(lines[i][f])));
    uint32_t y, mo, d, h, mi, s, ms;
    int32_t w = -1;
    ASSERT_EQ(UnixMsToDateParts(instants[i], &y, &mo, &d, &h, &mi, &s, &ms, &w), 0) << instants[i];
    ASSERT_EQ(std::vector<uint32_t>({y, mo, d, h, mi, s, ms}), expected) << "ms " << instants[i];
    ASSERT_EQ(w, std::stoi(lines[i][7])) << "ms " << instants[i];
    int64_t back = 0;
    ASSERT_EQ(DatePartsToUnixMs(y, mo, d, h, mi, s, ms, &back), 0);
    ASSERT_EQ(back, instants[i]);
  }
}

}  // namespace
}  // namespace velmora::core
