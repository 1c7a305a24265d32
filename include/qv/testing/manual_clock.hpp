// A clock double set by hand. Seconds since midnight follow from the date.
#pragma once

#include "qv/host/clock.hpp"
#include "qv/testing/export.hpp"

namespace qv::testing {

class QV_TESTING_EXPORT ManualClock final : public Clock {
 public:
  ManualClock() = default;
  explicit ManualClock(Date now) { Set(now); }

  void Set(Date now);
  // Moves forward (or back, for negative seconds); crosses midnight as a real
  // clock does.
  void Advance(double seconds);
  void SetUtcOffsetMinutes(int minutes) { offset_minutes_ = minutes; }

  Date Now() override;
  double SecondsSinceMidnight() override { return seconds_; }
  int UtcOffsetMinutes(Date) override { return offset_minutes_; }

 private:
  // Kept as a day and exact seconds, so that tests can step to the edge of a
  // time limit without rounding in the way.
  double day_ = 36959.0;  // 9 March 2001
  double seconds_ = 0.0;
  int offset_minutes_ = -300;
};

}  // namespace qv::testing
