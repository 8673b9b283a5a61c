#include "base/datetime.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace pmr {
namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;
// Days from 1899-12-30 to 1970-01-01.
constexpr std::int64_t kUnixEpochDay = 25'569;
// Day numbers of 0001-01-01 and 9999-12-31.
constexpr std::int64_t kFirstDay = -693'593;
constexpr std::int64_t kLastDay = 2'958'465;

// Proleptic Gregorian calendar, counted in days from 1970-01-01, valid for any year; after
// H. Hinnant's "chrono-compatible low-level date algorithms".
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
  month = static_cast<int>(m);
  day = static_cast<int>(d);
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// The day number and the millisecond of the day, rounded to the nearest millisecond with the
// carry into the next day.
struct DayAndMs {
  std::int64_t day;
  std::int64_t ms;
};

DayAndMs Split(double days) {
  // Checked before any conversion to an integer, so NaN and huge values cannot overflow.
  if (!std::isfinite(days) || days <= static_cast<double>(kFirstDay - 1) ||
      days >= static_cast<double>(kLastDay + 1)) {
    throw DateTimeError("date-time value out of range");
  }
  const double whole = std::trunc(days);
  auto day = static_cast<std::int64_t>(whole);
  auto ms = std::llround(std::fabs(days - whole) * static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    ++day;
  }
  if (day > kLastDay) throw DateTimeError("date-time value out of range");
  return {day, ms};
}

struct Fields {
  DateTimeFields f;
  int weekday;  // 0 is Sunday
};

Fields Decompose(DateTime value) {
  const DayAndMs parts = Split(value.days());
  Fields out;
  const std::int64_t unix_day = parts.day - kUnixEpochDay;
  CivilFromDays(unix_day, out.f.year, out.f.month, out.f.day);
  // 1970-01-01 was a Thursday.
  out.weekday = static_cast<int>(((unix_day + 4) % 7 + 7) % 7);
  std::int64_t ms = parts.ms;
  out.f.hour = static_cast<int>(ms / 3'600'000);
  ms %= 3'600'000;
  out.f.minute = static_cast<int>(ms / 60'000);
  ms %= 60'000;
  out.f.second = static_cast<int>(ms / 1000);
  out.f.millisecond = static_cast<int>(ms % 1000);
  return out;
}

void AppendNumber(std::string& out, int value, int min_digits) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*d", min_digits, value);
  out += buffer;
}

// The first character of a UTF-8 text.
std::string_view FirstCharacter(std::string_view text) {
  if (text.empty()) return text;
  std::size_t n = 1;
  while (n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) ++n;
  return text.substr(0, n);
}

void AppendPicture(std::string& out, const Fields& value, std::string_view picture,
                   const DateTimeFormat& format) {
  const DateTimeFields& f = value.f;
  std::size_t i = 0;
  while (i < picture.size()) {
    const char c = picture[i];
    if (c == '\'' && i + 1 < picture.size() && picture[i + 1] == '\'') {
      out += '\'';
      i += 2;
      continue;
    }
    if (c == '\'') {
      ++i;
      // Up to the closing quote; '' inside is one quote.
      while (i < picture.size()) {
        if (picture[i] == '\'') {
          if (i + 1 < picture.size() && picture[i + 1] == '\'') {
            out += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        out += picture[i++];
      }
      continue;
    }
    std::size_t run = 1;
    while (i + run < picture.size() && picture[i + run] == c) ++run;
    const int n = static_cast<int>(run);
    switch (c) {
      case 'd':
        if (n <= 2) {
          AppendNumber(out, f.day, n);
        } else {
          const auto& names = n == 3 ? format.short_day_names : format.day_names;
          out += names[static_cast<std::size_t>(value.weekday)];
        }
        break;
      case 'M':
        if (n <= 2) {
          AppendNumber(out, f.month, n);
        } else {
          const auto& names = n == 3 ? format.short_month_names : format.month_names;
          out += names[static_cast<std::size_t>(f.month - 1)];
        }
        break;
      case 'y':
        if (n <= 2) {
          AppendNumber(out, f.year % 100, n);
        } else {
          AppendNumber(out, f.year, 4);
        }
        break;
      case 'h': {
        const int h12 = f.hour % 12 == 0 ? 12 : f.hour % 12;
        AppendNumber(out, h12, n >= 2 ? 2 : 1);
        break;
      }
      case 'H':
        AppendNumber(out, f.hour, n >= 2 ? 2 : 1);
        break;
      case 'm':
        AppendNumber(out, f.minute, n >= 2 ? 2 : 1);
        break;
      case 's':
        AppendNumber(out, f.second, n >= 2 ? 2 : 1);
        break;
      case 't': {
        const std::string& designator = f.hour < 12 ? format.am_designator : format.pm_designator;
        out += n == 1 ? FirstCharacter(designator) : std::string_view(designator);
        break;
      }
      default:
        out.append(run, c);
        break;
    }
    i += run;
  }
}

}  // namespace

DateTime DateTime::FromFields(const DateTimeFields& f) {
  if (f.year < 1 || f.year > 9999 || f.month < 1 || f.month > 12 || f.day < 1 ||
      f.day > DaysInMonth(f.year, f.month) || f.hour < 0 || f.hour > 23 || f.minute < 0 ||
      f.minute > 59 || f.second < 0 || f.second > 59 || f.millisecond < 0 || f.millisecond > 999) {
    throw DateTimeError("invalid date-time fields");
  }
  const auto day = static_cast<double>(
      DaysFromCivil(f.year, static_cast<unsigned>(f.month), static_cast<unsigned>(f.day)) +
      kUnixEpochDay);
  const double time =
      static_cast<double>(((f.hour * 60 + f.minute) * 60 + f.second) * 1000 + f.millisecond) /
      static_cast<double>(kMsPerDay);
  return DateTime(day >= 0 ? day + time : day - time);
}

DateTimeFields DateTime::ToFields() const { return Decompose(*this).f; }

double DateTime::LinearDays() const {
  const double whole = std::trunc(days_);
  return whole + std::fabs(days_ - whole);
}

DateTime DateTime::FromLinearDays(double linear_days) {
  const double day = std::floor(linear_days);
  const double time = linear_days - day;
  return DateTime(day >= 0 ? day + time : day - time);
}

DateTime EventTimeFromUnixMs(std::int64_t unix_ms) {
  const double linear = static_cast<double>(kUnixEpochDay) +
                        static_cast<double>(unix_ms) / static_cast<double>(kMsPerDay) + 8.0 / 24.0;
  const DateTime result = DateTime::FromLinearDays(linear);
  Split(result.days());  // range check
  return result;
}

double AgeSeconds(DateTime now, DateTime event) {
  // Both times carry whole milliseconds; rounding to them keeps floating-point noise from
  // turning an age of exactly ten seconds into 9.99999999.
  const double ms = std::fabs(now.LinearDays() - event.LinearDays()) * 86'400'000.0;
  return std::round(ms) / 1000.0;
}

std::string FormatDateTimePicture(DateTime value, std::string_view picture,
                                  const DateTimeFormat& format) {
  std::string out;
  AppendPicture(out, Decompose(value), picture, format);
  return out;
}

std::string FormatDateTimeText(DateTime value, const DateTimeFormat& format) {
  const Fields fields = Decompose(value);
  std::string out;
  AppendPicture(out, fields, format.short_date, format);
  const DateTimeFields& f = fields.f;
  if (f.hour != 0 || f.minute != 0 || f.second != 0 || f.millisecond != 0) {
    out += ' ';
    AppendPicture(out, fields, format.long_time, format);
  }
  return out;
}

std::string FormatTakeTime(DateTime value) {
  const DateTimeFields f = value.ToFields();
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day,
                f.hour, f.minute, f.second);
  return buffer;
}

std::string FormatGeneral(double value, char decimal_separator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  if (value == 0) return "0";
  // The printf "%.15G" rules, free of the process locale.
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  std::string text(buffer, result.ptr);
  std::string out;
  const std::size_t e = text.find('e');
  std::string_view mantissa = std::string_view(text).substr(0, e);
  for (char c : mantissa) out += c == '.' ? decimal_separator : c;
  if (e != std::string::npos) {
    out += 'E';
    std::size_t at = e + 1;
    if (text[at] == '-') out += '-';
    if (text[at] == '-' || text[at] == '+') ++at;
    while (at + 1 < text.size() && text[at] == '0') ++at;
    out.append(text, at, std::string::npos);
  }
  return out;
}

DateTime FixedClock::Now() const {
  MutexLock lock(mutex_);
  return now_;
}

void FixedClock::Set(DateTime now) {
  MutexLock lock(mutex_);
  now_ = now;
}

void FixedClock::AdvanceSeconds(double seconds) {
  MutexLock lock(mutex_);
  now_ = DateTime::FromLinearDays(now_.LinearDays() + seconds / 86'400.0);
}

}  // namespace pmr
