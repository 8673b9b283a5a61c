#include <time.h>

#include <algorithm>

#include "base/datetime.h"

namespace pmr {

DateTime SystemClock::Now() const {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  if (localtime_r(&now.tv_sec, &local) == nullptr) {
    throw DateTimeError("the local time is not available");
  }
  DateTimeFields f;
  f.year = local.tm_year + 1900;
  f.month = local.tm_mon + 1;
  f.day = local.tm_mday;
  f.hour = local.tm_hour;
  f.minute = local.tm_min;
  f.second = std::min(local.tm_sec, 59);  // a leap second shows as :59
  f.millisecond = static_cast<int>(now.tv_nsec / 1'000'000);
  return DateTime::FromFields(f);
}

DateTimeFormat SystemDateTimeFormat() { return DateTimeFormat{}; }

}  // namespace pmr
