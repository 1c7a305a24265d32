#include "qv/testing/manual_clock.hpp"

#include <cmath>

namespace qv::testing {
namespace {
constexpr double kSecondsPerDay = 86400.0;
}

void ManualClock::Set(Date now) {
  day_ = std::trunc(now.days);
  seconds_ = std::fabs(now.days - day_) * kSecondsPerDay;
  if (seconds_ >= kSecondsPerDay) seconds_ = 0.0;
}

void ManualClock::Advance(double seconds) {
  seconds_ += seconds;
  // Days counted forward through the calendar: for dates before 1900 the
  // serial of the next day is one less negative.
  while (seconds_ >= kSecondsPerDay) {
    seconds_ -= kSecondsPerDay;
    day_ += 1.0;
  }
  while (seconds_ < 0.0) {
    seconds_ += kSecondsPerDay;
    day_ -= 1.0;
  }
}

Date ManualClock::Now() {
  const double fraction = seconds_ / kSecondsPerDay;
  return Date{day_ < 0.0 ? day_ - fraction : day_ + fraction};
}

}  // namespace qv::testing
