// The host's clock.
#pragma once

#include "qv/core/date.hpp"
#include "qv/export.hpp"

namespace qv {

class QV_EXPORT Clock {
 public:
  virtual ~Clock() = default;
  // Current local date and time.
  virtual Date Now() = 0;
  // Seconds since local midnight, with their fraction (0 <= s < 86400).
  virtual double SecondsSinceMidnight() = 0;
  // Offset of local time from UTC, in minutes east, in force at the given
  // local date and time (so it follows daylight saving for that date).
  virtual int UtcOffsetMinutes(Date local) = 0;
};

// The system's clock and time zone (TZ applies).
class QV_EXPORT SystemClock final : public Clock {
 public:
  Date Now() override;
  double SecondsSinceMidnight() override;
  int UtcOffsetMinutes(Date local) override;
};

}  // namespace qv
