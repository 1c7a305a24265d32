#include "qv/qt/qt_clock.hpp"

#include <QDateTime>
#include <QTimeZone>

#include "qv/qt/conversions.hpp"

namespace qv::qt {

namespace {
constexpr double kSecondsPerDay = 86400.0;
}

Date QtClock::Now() {
  const QDateTime now = QDateTime::currentDateTime();
  const QTime t = now.time();
  const std::optional<Date> day = FromQDateTime(QDateTime(now.date(), QTime(0, 0)));
  const double seconds = t.msecsSinceStartOfDay() / 1000.0;
  return Date{day->days + seconds / kSecondsPerDay};
}

double QtClock::SecondsSinceMidnight() {
  return QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
}

int QtClock::UtcOffsetMinutes(Date local) {
  const QDateTime at = ToQDateTime(local);
  return (at.isValid() ? at : QDateTime::currentDateTime()).offsetFromUtc() / 60;
}

}  // namespace qv::qt
