// A timer double ticked by hand.
#pragma once

#include <vector>

#include "qv/host/timer.hpp"
#include "qv/testing/export.hpp"

namespace qv::testing {

class QV_TESTING_EXPORT ManualTimer final : public Timer {
 public:
  // Every SetEnabled value in order.
  std::vector<bool> enabled_history;

  // Delivers one tick when enabled and no tick is being handled; returns
  // whether it did. A tick asked for from inside a tick is not delivered.
  bool Tick();
  // Ticks up to n times while the timer stays enabled; returns ticks delivered.
  int TickTimes(int n);

  void SetEvents(TimerEvents* events) override { events_ = events; }
  void SetEnabled(bool enabled) override;
  bool Enabled() override { return enabled_; }
  void SetInterval(Long milliseconds) override { interval_ = milliseconds; }
  Long Interval() override { return interval_; }

 private:
  TimerEvents* events_ = nullptr;
  bool enabled_ = false;
  bool ticking_ = false;
  Long interval_ = kMailTimerInterval;
};

}  // namespace qv::testing
