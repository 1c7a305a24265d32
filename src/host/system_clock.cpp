#include <time.h>

#include <cmath>
#include <optional>

#include "qv/host/clock.hpp"

namespace qv {
namespace {

struct LocalNow {
  struct tm fields;
  double fraction;  // of the current second
};

LocalNow ReadLocalNow() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  LocalNow result{};
  const time_t seconds = now.tv_sec;
  localtime_r(&seconds, &result.fields);
  result.fraction = static_cast<double>(now.tv_nsec) / 1e9;
  return result;
}

// A leap second reads as the last second of its minute.
int SecondOf(const struct tm& fields) { return fields.tm_sec > 59 ? 59 : fields.tm_sec; }

double SecondsOfDay(const LocalNow& now) {
  const struct tm& t = now.fields;
  return t.tm_hour * 3600.0 + t.tm_min * 60.0 + SecondOf(t) + now.fraction;
}

int CurrentOffsetMinutes() {
  const time_t now = time(nullptr);
  struct tm fields {};
  localtime_r(&now, &fields);
  return static_cast<int>(fields.tm_gmtoff / 60);
}

}  // namespace

Date SystemClock::Now() {
  const LocalNow now = ReadLocalNow();
  const struct tm& t = now.fields;
  const std::optional<Date> midnight = FromCalendar(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  if (!midnight) return Date{};
  // Present-day dates are positive, so the time of day adds.
  return Date{midnight->days + SecondsOfDay(now) / 86400.0};
}

double SystemClock::SecondsSinceMidnight() {
  const double seconds = SecondsOfDay(ReadLocalNow());
  return seconds < 86400.0 ? seconds : std::nextafter(86400.0, 0.0);
}

int SystemClock::UtcOffsetMinutes(Date local) {
  const std::optional<CalendarTime> t = ToCalendar(local);
  if (!t) return CurrentOffsetMinutes();
  struct tm fields {};
  fields.tm_year = t->year - 1900;
  fields.tm_mon = t->month - 1;
  fields.tm_mday = t->day;
  fields.tm_hour = t->hour;
  fields.tm_min = t->minute;
  fields.tm_sec = t->second;
  fields.tm_isdst = -1;  // let the zone rules decide
  fields.tm_wday = -1;   // set by mktime only when it succeeds
  mktime(&fields);
  if (fields.tm_wday < 0) return CurrentOffsetMinutes();
  return static_cast<int>(fields.tm_gmtoff / 60);
}

}  // namespace qv
