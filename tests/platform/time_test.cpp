#include "platform/time.h"

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "tests/test_support.h"

namespace velmora::platform {
namespace {

SystemTime Parts(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int ms = 0) {
  SystemTime t;
  uint16_t* fields[] = {&t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second, &t.milliseconds};
  int values[] = {year, month, day, hour, minute, second, ms};
  for (int i = 0; i < 7; ++i) *fields[i] = static_cast<uint16_t>(values[i]);
  return t;
}

TEST(FileTimeCalendar, LimitsOfTheRange) {
  SystemTime t;
  ASSERT_TRUE(FileTimeToSystemTime(0, &t));
  EXPECT_EQ(t.year, 1601);
  EXPECT_EQ(t.day_of_week, 1);  // a Monday
  ASSERT_TRUE(FileTimeToSystemTime(0x7FFFFFFFFFFFFFFFULL, &t));
  EXPECT_EQ(t.year, 30828);
  SetLastError(0);
  EXPECT_FALSE(FileTimeToSystemTime(0x8000000000000000ULL, &t));
  EXPECT_EQ(GetLastError(), 87u);
}

TEST(FileTimeCalendar, RejectsPartsOutOfRange) {
  const SystemTime bad[] = {Parts(1600, 12, 31), Parts(30828, 1, 1), Parts(2024, 0, 1),  Parts(2024, 13, 1),
                            Parts(2024, 1, 0),   Parts(2023, 2, 29),  Parts(1900, 2, 29), Parts(2024, 4, 31),
                            Parts(2024, 1, 1, 24), Parts(2024, 1, 1, 0, 60), Parts(2024, 1, 1, 0, 0, 60),
                            Parts(2024, 1, 1, 0, 0, 0, 1000)};
  for (const SystemTime& t : bad) {
    uint64_t ft = 12345;
    SetLastError(0);
    EXPECT_FALSE(SystemTimeToFileTime(t, &ft)) << t.year << "-" << t.month << "-" << t.day;
    EXPECT_EQ(ft, 12345u);
    EXPECT_EQ(GetLastError(), 87u);
  }
  uint64_t ft = 0;
  EXPECT_TRUE(SystemTimeToFileTime(Parts(2000, 2, 29), &ft));
  EXPECT_TRUE(SystemTimeToFileTime(Parts(30827, 12, 31, 23, 59, 59, 999), &ft));
}

TEST(FileTimeCalendar, EveryDayRoundTripsAcrossCenturies) {
  // Walk day by day over 1601..2500: weekdays follow each other and parts and ticks agree both ways.
  uint64_t ft = 0;
  int previous_weekday = 0;  // 1600-12-31 was a Sunday
  for (uint64_t day = 0; day < 328718; ++day, ft += 864000000000ULL) {
    SystemTime t;
    ASSERT_TRUE(FileTimeToSystemTime(ft + 1234 * kFileTimeTicksPerMs, &t));
    ASSERT_EQ(t.day_of_week, (previous_weekday + 1) % 7);
    previous_weekday = t.day_of_week;
    uint64_t back = 0;
    ASSERT_TRUE(SystemTimeToFileTime(t, &back));
    ASSERT_EQ(back, ft + 1234 * kFileTimeTicksPerMs);
  }
}

TEST(FileTimeCalendar, FixedNowIsReadUntilReleased) {
  uint64_t fixed = 0;
  ASSERT_TRUE(SystemTimeToFileTime(Parts(2030, 6, 15, 12, 30, 5), &fixed));
  test::SetNowFileTime(fixed);
  SystemTime t;
  GetSystemTime(&t);
  const uint64_t read = NowFileTime();
  test::SetNowFileTime(0);
  EXPECT_EQ(read, fixed);
  EXPECT_EQ(t.year, 2030);
  EXPECT_EQ(t.second, 5);
  EXPECT_LT(NowFileTime(), fixed);  // the real clock again
}

class ZoneRules : public testing_support::ZoneTest {};

TEST_F(ZoneRules, ConversionsStayInsideTheRange) {
  UseZone("Asia/Tokyo");
  uint64_t out = 77;
  // Local 1601-01-01 00:00 in a zone east of UTC lies before the first FILETIME.
  EXPECT_FALSE(LocalFileTimeToUtcFileTime(0, &out));
  EXPECT_EQ(out, 77u);
  UseZone("America/New_York");
  EXPECT_FALSE(UtcFileTimeToLocalFileTime(0, &out));
  EXPECT_FALSE(UtcFileTimeToLocalFileTime(0x8000000000000000ULL, &out));
  SystemTime utc;
  ASSERT_TRUE(LocalToUtc(Parts(2024, 7, 15, 20, 30, 5, 7), &utc));
  EXPECT_EQ(utc.day, 16);
  EXPECT_EQ(utc.hour, 0);
  EXPECT_EQ(utc.milliseconds, 7);
  // 1969-12-31 23:59:59 in UTC is also the value mktime reports failure with.
  UseZone("UTC");
  uint64_t local = kFileTimeUnixEpoch - 10000000ULL;
  ASSERT_TRUE(LocalFileTimeToUtcFileTime(local, &out));
  EXPECT_EQ(out, local);
}

}  // namespace
}  // namespace velmora::platform
