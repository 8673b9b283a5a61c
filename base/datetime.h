#pragma once

// The desktop date-time model, the terminal's timestamps, the texts of dates, times and numbers,
// and an injectable clock. Values and formatters are pure and safe on any thread; conversions
// raise DateTimeError for invalid fields and for values outside the years 1 to 9999.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/mutex.h"

namespace pmr {

class DateTimeError : public Error {
 public:
  using Error::Error;
};

struct DateTimeFields {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;

  friend bool operator==(const DateTimeFields&, const DateTimeFields&) = default;
};

// A local date-time: days since 1899-12-30 00:00 as a double. The integer part (toward zero)
// is the day, and the fraction's absolute value is the time of day; so before 1899-12-30 the
// value is the negative day minus the time (-1.25 is 1899-12-29 06:00), and a value between
// -1 and 0 lies on 1899-12-30 itself. Fields are read to the nearest millisecond.
class DateTime {
 public:
  constexpr DateTime() = default;
  constexpr explicit DateTime(double days) : days_(days) {}

  constexpr double days() const { return days_; }

  static DateTime FromFields(const DateTimeFields& fields);
  DateTimeFields ToFields() const;

  // The same instant on a continuous scale (days since 1899-12-30 00:00, time flowing forward
  // also before that day), where differences and sums are plain arithmetic.
  double LinearDays() const;
  static DateTime FromLinearDays(double linear_days);

  friend constexpr bool operator==(DateTime, DateTime) = default;

 private:
  double days_ = 0;
};

// The terminal's event time: 1970-01-01 00:00:00 + `unix_ms` milliseconds + a fixed 8 hours
// (UTC+8, without consulting the PC's zone). Throws DateTimeError outside the years 1 to 9999.
DateTime EventTimeFromUnixMs(std::int64_t unix_ms);

// Absolute difference of two instants in seconds, to the millisecond.
double AgeSeconds(DateTime now, DateTime event);

// A locale's date and time conventions. Pictures follow the Windows rules: d dd ddd dddd,
// M MM MMM MMMM, y yy yyyy, h hh (12-hour), H HH, m mm, s ss, t tt (AM/PM designator),
// 'quoted' literals ('' is a quote); every other character stands for itself.
// The defaults are the zh-CN convention.
struct DateTimeFormat {
  std::string short_date = "yyyy/M/d";
  std::string long_time = "H:mm:ss";
  char decimal_separator = '.';
  std::string am_designator = "上午";
  std::string pm_designator = "下午";
  std::array<std::string, 12> month_names = {"一月", "二月", "三月", "四月", "五月",   "六月",
                                             "七月", "八月", "九月", "十月", "十一月", "十二月"};
  std::array<std::string, 12> short_month_names = {"1月", "2月", "3月", "4月",  "5月",  "6月",
                                                   "7月", "8月", "9月", "10月", "11月", "12月"};
  // Sunday first.
  std::array<std::string, 7> day_names = {"星期日", "星期一", "星期二", "星期三",
                                          "星期四", "星期五", "星期六"};
  std::array<std::string, 7> short_day_names = {"周日", "周一", "周二", "周三",
                                                "周四", "周五", "周六"};
};

// The PC's conventions. Off Windows this is the zh-CN default, not the process locale, so the
// texts do not change with the environment a service happens to start in.
DateTimeFormat SystemDateTimeFormat();

// `value` written with a Windows-style picture.
std::string FormatDateTimePicture(DateTime value, std::string_view picture,
                                  const DateTimeFormat& format);

// Short date, a blank, long time; at exactly midnight (milliseconds included) only the date.
std::string FormatDateTimeText(DateTime value, const DateTimeFormat& format);

// "yyyy-mm-dd hh:mm:ss" with two-digit fields and hours 00 to 23, the capture time's form.
std::string FormatTakeTime(DateTime value);

// General number format: at most 15 significant digits, no trailing zeros. Plain digits when
// the decimal exponent is from -4 to 14 (0.0001 up to below 1E15), otherwise scientific with
// an unsigned or "-" exponent and no leading zeros ("1E20", "1.5E-7", "1E-5", "1E15").
// Non-finite values give "NAN", "INF" and "-INF"; both zeros give "0".
std::string FormatGeneral(double value, char decimal_separator);

// A source of the current local time. Now() is safe to call from any thread.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual DateTime Now() const = 0;
};

// The PC's local time, to the millisecond.
class SystemClock final : public Clock {
 public:
  DateTime Now() const override;
};

// A clock that shows what it is told; safe to set from one thread while others read it.
class FixedClock final : public Clock {
 public:
  explicit FixedClock(DateTime now) : now_(now) {}
  DateTime Now() const override;
  void Set(DateTime now);
  void AdvanceSeconds(double seconds);

 private:
  mutable Mutex mutex_;
  DateTime now_ GUARDED_BY(mutex_);
};

}  // namespace pmr
