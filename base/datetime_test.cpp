#include "base/datetime.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace pmr {
namespace {

DateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return DateTime::FromFields({y, mo, d, h, mi, s, ms});
}

DateTimeFields Fields(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return {y, mo, d, h, mi, s, ms};
}

TEST(DateTimeTest, CountsDaysFromTheClassicEpoch) {
  EXPECT_EQ(At(1899, 12, 30).days(), 0.0);
  EXPECT_EQ(At(1900, 1, 1).days(), 2.0);
  EXPECT_EQ(At(1970, 1, 1).days(), 25569.0);
  EXPECT_EQ(At(2020, 9, 13).days(), 44087.0);
  EXPECT_EQ(At(1, 1, 1).days(), -693593.0);
  EXPECT_EQ(At(9999, 12, 31).days(), 2958465.0);
  EXPECT_EQ(At(1970, 1, 1, 6).days(), 25569.25);
}

TEST(DateTimeTest, NegativeValuesTakeTheTimeOfDayInAbsoluteValue) {
  EXPECT_EQ(At(1899, 12, 29, 6).days(), -1.25);
  EXPECT_EQ(DateTime(-1.25).ToFields(), Fields(1899, 12, 29, 6));
  EXPECT_EQ(DateTime(-1.75).ToFields(), Fields(1899, 12, 29, 18));
  // Between -1 and 0 the day is 1899-12-30 itself.
  EXPECT_EQ(DateTime(-0.5).ToFields(), Fields(1899, 12, 30, 12));
  EXPECT_EQ(DateTime(0.5).ToFields(), Fields(1899, 12, 30, 12));
  EXPECT_EQ(DateTime(-1.25).LinearDays(), -0.75);
  EXPECT_EQ(DateTime::FromLinearDays(-0.75).days(), -1.25);
  EXPECT_EQ(DateTime::FromLinearDays(-0.25).ToFields(), Fields(1899, 12, 29, 18));
}

TEST(DateTimeTest, FieldsRoundTripAcrossTheWholeRange) {
  int checked = 0;
  for (double day = -693593; day <= 2958465; day += 997) {
    for (double time : {0.0, 0.5, 0.999}) {
      // Compose from the fields that the value decodes to, and back again.
      const DateTimeFields f = DateTime(day + (day < 0 ? -time : time)).ToFields();
      ASSERT_EQ(DateTime::FromFields(f).ToFields(), f) << day;
      ++checked;
    }
  }
  EXPECT_GT(checked, 10000);
  for (const DateTimeFields& f :
       {Fields(1, 1, 1), Fields(1600, 2, 29, 23, 59, 59, 999),
        Fields(1899, 12, 29, 23, 59, 59, 999), Fields(1899, 12, 31, 0, 0, 0, 1),
        Fields(1900, 2, 28, 12), Fields(1969, 12, 31, 23, 59, 59), Fields(2000, 2, 29, 1, 2, 3, 4),
        Fields(9999, 12, 31, 23, 59, 59, 999)}) {
    EXPECT_EQ(DateTime::FromFields(f).ToFields(), f) << f.year << "-" << f.month << "-" << f.day;
  }
}

TEST(DateTimeTest, RoundsToTheMillisecondWithCarry) {
  EXPECT_EQ(DateTime(1.0 - 1e-10).ToFields(), Fields(1899, 12, 31));
  EXPECT_EQ(DateTime(-1.9999999999).ToFields(), Fields(1899, 12, 30));
  EXPECT_EQ(DateTime(-0.9999999999).ToFields(), Fields(1899, 12, 31));
}

TEST(DateTimeTest, RejectsInvalidFieldsAndValues) {
  for (const DateTimeFields& f :
       {Fields(0, 12, 31), Fields(10000, 1, 1), Fields(2021, 0, 1), Fields(2021, 13, 1),
        Fields(2021, 2, 29), Fields(1900, 2, 29), Fields(2021, 4, 31), Fields(2021, 1, 0),
        Fields(2021, 1, 1, 24), Fields(2021, 1, 1, -1), Fields(2021, 1, 1, 0, 60),
        Fields(2021, 1, 1, 0, 0, 60), Fields(2021, 1, 1, 0, 0, 0, 1000)}) {
    EXPECT_THROW(DateTime::FromFields(f), DateTimeError);
  }
  for (double v : {std::nan(""), std::numeric_limits<double>::infinity(), -1e300, 1e300, 2958466.0,
                   -693594.0, 2958465.9999999999}) {
    EXPECT_THROW(DateTime(v).ToFields(), DateTimeError) << v;
    EXPECT_THROW(FormatDateTimeText(DateTime(v), DateTimeFormat{}), DateTimeError);
    EXPECT_THROW(FormatTakeTime(DateTime(v)), DateTimeError);
  }
  EXPECT_EQ(DateTime(-693593.9).ToFields().year, 1);
}

TEST(EventTimeTest, AddsMillisecondsAndAFixedEightHours) {
  EXPECT_EQ(EventTimeFromUnixMs(0).ToFields(), Fields(1970, 1, 1, 8));
  EXPECT_EQ(EventTimeFromUnixMs(1600000000000).ToFields(), Fields(2020, 9, 13, 20, 26, 40));
  EXPECT_EQ(EventTimeFromUnixMs(1600000000123).ToFields(), Fields(2020, 9, 13, 20, 26, 40, 123));
  EXPECT_EQ(EventTimeFromUnixMs(0).days(), 25569.0 + 8.0 / 24.0);
}

TEST(EventTimeTest, NegativeCountsGoBackBefore1970AndBefore1899) {
  EXPECT_EQ(EventTimeFromUnixMs(-1).ToFields(), Fields(1970, 1, 1, 7, 59, 59, 999));
  EXPECT_EQ(EventTimeFromUnixMs(-28800000).ToFields(), Fields(1970, 1, 1));
  EXPECT_EQ(EventTimeFromUnixMs(-28800001).ToFields(), Fields(1969, 12, 31, 23, 59, 59, 999));
  EXPECT_EQ(EventTimeFromUnixMs(-365LL * 86400000).ToFields(), Fields(1969, 1, 1, 8));
  // 1899-12-30 00:00 UTC is -25569 days from 1970.
  constexpr std::int64_t kClassicEpochMs = -25569LL * 86400000;
  EXPECT_EQ(EventTimeFromUnixMs(kClassicEpochMs).ToFields(), Fields(1899, 12, 30, 8));
  EXPECT_EQ(EventTimeFromUnixMs(kClassicEpochMs - 86400000).ToFields(), Fields(1899, 12, 29, 8));
  EXPECT_EQ(EventTimeFromUnixMs(kClassicEpochMs - 86400000).days(), -1.0 - 8.0 / 24.0);
  EXPECT_EQ(EventTimeFromUnixMs(kClassicEpochMs - 28800000 - 1).ToFields(),
            Fields(1899, 12, 29, 23, 59, 59, 999));
}

TEST(EventTimeTest, KeepsEveryMillisecond) {
  for (std::int64_t base : {std::int64_t{1600000000000}, std::int64_t{-2300000000000},
                            std::int64_t{253402271999000 - 5000}}) {
    for (std::int64_t i = 0; i < 3000; ++i) {
      const std::int64_t ms = base + i;
      const DateTimeFields f = EventTimeFromUnixMs(ms).ToFields();
      const std::int64_t expected_ms = ((ms % 1000) + 1000) % 1000;
      ASSERT_EQ(f.millisecond, expected_ms) << ms;
    }
  }
}

TEST(EventTimeTest, CountsOutsideTheCalendarThrow) {
  // 10000-01-01 00:00 UTC+8 is the first instant past the range.
  constexpr std::int64_t kPastEnd = 253402300800000 - 28800000;
  EXPECT_EQ(EventTimeFromUnixMs(kPastEnd - 1).ToFields(), Fields(9999, 12, 31, 23, 59, 59, 999));
  EXPECT_THROW(EventTimeFromUnixMs(kPastEnd), DateTimeError);
  EXPECT_THROW(EventTimeFromUnixMs(std::numeric_limits<std::int64_t>::max()), DateTimeError);
  EXPECT_THROW(EventTimeFromUnixMs(std::numeric_limits<std::int64_t>::min()), DateTimeError);
}

TEST(AgeTest, IsTheAbsoluteDifferenceInSeconds) {
  const DateTime event = EventTimeFromUnixMs(1600000000000);
  EXPECT_NEAR(AgeSeconds(EventTimeFromUnixMs(1600000002500), event), 2.5, 1e-5);
  EXPECT_NEAR(AgeSeconds(event, EventTimeFromUnixMs(1600000010000)), 10.0, 1e-5);
  EXPECT_EQ(AgeSeconds(event, event), 0.0);
  // Across 1899-12-30 the raw values are not a linear scale.
  EXPECT_NEAR(AgeSeconds(At(1899, 12, 30, 0, 0, 1), At(1899, 12, 29, 23, 59, 59)), 2.0, 1e-5);
}

TEST(DateTimeTextTest, ShortDateBlankLongTime) {
  const DateTimeFormat zh;
  EXPECT_EQ(FormatDateTimeText(At(2020, 9, 13, 20, 26, 40), zh), "2020/9/13 20:26:40");
  EXPECT_EQ(FormatDateTimeText(EventTimeFromUnixMs(0), zh), "1970/1/1 8:00:00");
  EXPECT_EQ(FormatDateTimeText(At(2021, 12, 1, 0, 5, 9, 999), zh), "2021/12/1 0:05:09");
  EXPECT_EQ(FormatDateTimeText(At(1899, 12, 29, 6), zh), "1899/12/29 6:00:00");
}

TEST(DateTimeTextTest, MidnightLeavesOutTheTime) {
  const DateTimeFormat zh;
  EXPECT_EQ(FormatDateTimeText(At(2020, 9, 13), zh), "2020/9/13");
  EXPECT_EQ(FormatDateTimeText(EventTimeFromUnixMs(-28800000), zh), "1970/1/1");
  EXPECT_EQ(FormatDateTimeText(DateTime(-2.0), zh), "1899/12/28");
  // A millisecond after midnight is not midnight.
  EXPECT_EQ(FormatDateTimeText(At(2020, 9, 13, 0, 0, 0, 1), zh), "2020/9/13 0:00:00");
}

TEST(DateTimeTextTest, FollowsTheGivenPictures) {
  const DateTime friday_morning = At(2021, 3, 5, 7, 8, 9);
  const DateTimeFormat german{"dd.MM.yyyy", "HH:mm:ss", ','};
  EXPECT_EQ(FormatDateTimeText(friday_morning, german), "05.03.2021 07:08:09");

  DateTimeFormat us{"M/d/yyyy", "h:mm:ss tt", '.'};
  us.am_designator = "AM";
  us.pm_designator = "PM";
  EXPECT_EQ(FormatDateTimeText(friday_morning, us), "3/5/2021 7:08:09 AM");
  EXPECT_EQ(FormatDateTimeText(At(2021, 3, 5, 0, 30), us), "3/5/2021 12:30:00 AM");
  EXPECT_EQ(FormatDateTimeText(At(2021, 3, 5, 12, 0, 1), us), "3/5/2021 12:00:01 PM");
  EXPECT_EQ(FormatDateTimeText(At(2021, 3, 5, 23, 59, 59), us), "3/5/2021 11:59:59 PM");

  const DateTimeFormat zh;
  EXPECT_EQ(FormatDateTimePicture(friday_morning, "yyyy'年'M'月'd'日' dddd ddd MMMM MMM", zh),
            "2021年3月5日 星期五 周五 三月 3月");
  EXPECT_EQ(FormatDateTimePicture(At(2005, 11, 20, 15), "yy y tt t hh", zh), "05 5 下午 下 03");
  EXPECT_EQ(FormatDateTimePicture(friday_morning, "'It''s' h 'o''clock'", zh), "It's 7 o'clock");
  EXPECT_EQ(FormatDateTimePicture(friday_morning, "''H'unterminated", zh), "'7unterminated");
  EXPECT_EQ(FormatDateTimePicture(At(987, 1, 2), "yyyy-MM-dd", zh), "0987-01-02");
  EXPECT_EQ(FormatDateTimePicture(friday_morning, "", zh), "");
  EXPECT_EQ(SystemDateTimeFormat().short_date, "yyyy/M/d");
  EXPECT_EQ(SystemDateTimeFormat().long_time, "H:mm:ss");
}

TEST(TakeTimeTest, UsesTwoDigitFieldsAnd24Hours) {
  EXPECT_EQ(FormatTakeTime(EventTimeFromUnixMs(1600000000000)), "2020-09-13 20:26:40");
  EXPECT_EQ(FormatTakeTime(At(2021, 3, 5, 7, 8, 9, 999)), "2021-03-05 07:08:09");
  EXPECT_EQ(FormatTakeTime(At(2021, 3, 5)), "2021-03-05 00:00:00");
  EXPECT_EQ(FormatTakeTime(At(2021, 12, 31, 23, 59, 59)), "2021-12-31 23:59:59");
}

TEST(FormatGeneralTest, PlainDigitsForModerateMagnitudes) {
  EXPECT_EQ(FormatGeneral(0.25, '.'), "0.25");
  EXPECT_EQ(FormatGeneral(12, '.'), "12");
  EXPECT_EQ(FormatGeneral(3.5, '.'), "3.5");
  EXPECT_EQ(FormatGeneral(3.5, ','), "3,5");
  EXPECT_EQ(FormatGeneral(-2.5, '.'), "-2.5");
  EXPECT_EQ(FormatGeneral(0.1 + 0.2, '.'), "0.3");
  EXPECT_EQ(FormatGeneral(1.0 / 3.0, '.'), "0.333333333333333");
  EXPECT_EQ(FormatGeneral(2.0 / 3.0, '.'), "0.666666666666667");
  EXPECT_EQ(FormatGeneral(0.0001, '.'), "0.0001");
  EXPECT_EQ(FormatGeneral(999999999999999, '.'), "999999999999999");
  EXPECT_EQ(FormatGeneral(0.0, '.'), "0");
  EXPECT_EQ(FormatGeneral(-0.0, '.'), "0");
  // An age as it is computed from two date-times.
  const double age = AgeSeconds(EventTimeFromUnixMs(1600000001000), EventTimeFromUnixMs(0));
  EXPECT_EQ(FormatGeneral(age, '.').substr(0, 8), "16000000");
  EXPECT_LE(FormatGeneral(age, '.').size(), 16u);
}

TEST(FormatGeneralTest, ScientificBeyond) {
  EXPECT_EQ(FormatGeneral(1e20, '.'), "1E20");
  EXPECT_EQ(FormatGeneral(1.5e-7, '.'), "1.5E-7");
  EXPECT_EQ(FormatGeneral(1.5e-7, ','), "1,5E-7");
  EXPECT_EQ(FormatGeneral(0.00001, '.'), "1E-5");
  EXPECT_EQ(FormatGeneral(1e15, '.'), "1E15");
  EXPECT_EQ(FormatGeneral(-1e15, '.'), "-1E15");
  EXPECT_EQ(FormatGeneral(123456789012345678.0, '.'), "1.23456789012346E17");
  EXPECT_EQ(FormatGeneral(1e-300, '.'), "1E-300");
  EXPECT_EQ(FormatGeneral(std::numeric_limits<double>::max(), '.'), "1.79769313486232E308");
  EXPECT_EQ(FormatGeneral(std::numeric_limits<double>::denorm_min(), '.'), "4.94065645841247E-324");
  EXPECT_EQ(FormatGeneral(std::nan(""), '.'), "NAN");
  EXPECT_EQ(FormatGeneral(std::numeric_limits<double>::infinity(), '.'), "INF");
  EXPECT_EQ(FormatGeneral(-std::numeric_limits<double>::infinity(), '.'), "-INF");
}

TEST(ClockTest, FixedClockShowsWhatItIsTold) {
  FixedClock clock(At(2020, 9, 13, 20, 26, 40));
  const Clock& as_clock = clock;
  EXPECT_EQ(as_clock.Now(), At(2020, 9, 13, 20, 26, 40));
  clock.AdvanceSeconds(9.5);
  EXPECT_EQ(clock.Now().ToFields(), Fields(2020, 9, 13, 20, 26, 49, 500));
  clock.Set(At(1899, 12, 29, 23, 59, 59));
  clock.AdvanceSeconds(2);
  EXPECT_EQ(clock.Now().ToFields(), Fields(1899, 12, 30, 0, 0, 1));
}

TEST(ClockTest, SystemClockShowsTheLocalTime) {
  const time_t now = time(nullptr);
  tm local{};
  ASSERT_NE(localtime_r(&now, &local), nullptr);
  const DateTime expected = At(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                               local.tm_min, local.tm_sec);
  EXPECT_LT(AgeSeconds(SystemClock().Now(), expected), 2.0);
}

}  // namespace
}  // namespace pmr
