// The periodic timer service on Qt's event loop (the control's mailTimer).
//
// Ticks follow deadlines (start + n * interval) so they do not drift over a
// long wait; deadlines missed while a handler was slow are skipped, not made up
// in a burst. The next wait begins only when a tick's handler has returned, and
// ticks pass through the control's DeliveryGate, so no tick comes while an
// earlier step or socket notification is still being handled, even when its
// handler runs a nested event loop.
#pragma once

#include <memory>

#include "qv/core/types.hpp"
#include "qv/host/timer.hpp"
#include "qv/qt/delivery_gate.hpp"
#include "qv/qt/export.hpp"

namespace qv::qt {

class QV_QT_EXPORT QtTimer final : public Timer {
 public:
  // Disabled, interval kMailTimerInterval. The gate must outlive the timer.
  // Lives on the creating thread, which must run a Qt event loop.
  explicit QtTimer(DeliveryGate& gate);
  ~QtTimer() override;
  QtTimer(const QtTimer&) = delete;
  QtTimer& operator=(const QtTimer&) = delete;

  void SetEvents(TimerEvents* events) override;
  // Enabling starts the count afresh: the first tick comes one interval later.
  // Disabling drops a tick that was due but held back.
  void SetEnabled(bool enabled) override;
  bool Enabled() override;
  // Milliseconds; 0 gives no ticks. Negative fails with 380 (AutomationError).
  void SetInterval(Long milliseconds) override;
  Long Interval() override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qv::qt
