#include <windows.h>

#include "base/datetime.h"

namespace pmr {

DateTime SystemClock::Now() const {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  DateTimeFields f;
  f.year = now.wYear;
  f.month = now.wMonth;
  f.day = now.wDay;
  f.hour = now.wHour;
  f.minute = now.wMinute;
  f.second = now.wSecond;
  f.millisecond = now.wMilliseconds;
  return DateTime::FromFields(f);
}

// The zh-CN convention until the user's locale settings are read here.
DateTimeFormat SystemDateTimeFormat() { return DateTimeFormat{}; }

}  // namespace pmr
