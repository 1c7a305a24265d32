// A clock double set by hand. Seconds since midnight follow from the date.
#pragma once

#include "qv/host/clock.hpp"

namespace qv::testing {

class ManualClock final : public Clock {
 public:
  ManualClock() = default;
  explicit ManualClock(Date now) : now_(now) {}

  void Set(Date now) { now_ = now; }
  // Moves forward (or back, for negative seconds); crosses midnight as a real
  // clock does.
  void Advance(double seconds);
  void SetUtcOffsetMinutes(int minutes) { offset_minutes_ = minutes; }

  Date Now() override { return now_; }
  double SecondsSinceMidnight() override;
  int UtcOffsetMinutes(Date) override { return offset_minutes_; }

 private:
  Date now_{36959.0};  // 9 March 2001 00:00
  int offset_minutes_ = -300;
};

}  // namespace qv::testing
