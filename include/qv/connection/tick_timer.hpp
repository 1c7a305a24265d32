// The periodic timer service the control drives (qv::Timer), written once for
// every host on its Loop's timers.
//
// Ticks follow deadlines (start + n * interval), so they do not drift over a
// long wait. Deadlines missed while a handler was slow are skipped, not made up
// in a burst. The next wait begins only when a tick's handler has returned, so
// no tick comes while an earlier one is still being handled, even when the
// handler steps the loop. Ticks pass through the DeliveryGate.
//
// Timers of one loop with the same interval tick together, on one wake-up of
// the loop: a timer enabled while others are running starts at most a tenth
// of an interval after its own first deadline (5 ms for the mail timer), on
// the nearest of their beats, and keeps that place. A timer alone on its loop
// ticks exactly on its deadlines.
//
// Thread: the loop's. The loop and the gate must outlive the timer.
#pragma once

#include <memory>

#include "qv/connection/delivery_gate.hpp"
#include "qv/connection/export.hpp"
#include "qv/connection/loop.hpp"
#include "qv/core/types.hpp"
#include "qv/host/timer.hpp"

namespace qv::connection {

class TimerCore;

class QV_CONNECTION_EXPORT TickTimer final : public Timer {
 public:
  // Disabled, interval kMailTimerInterval.
  TickTimer(Loop& loop, DeliveryGate& gate);
  ~TickTimer() override;
  TickTimer(const TickTimer&) = delete;
  TickTimer& operator=(const TickTimer&) = delete;

  void SetEvents(TimerEvents* events) override;
  // Enabling starts the count afresh: the first tick comes one interval later
  // (never sooner; at most a tenth of an interval later to share a beat).
  // Enabling an enabled timer changes nothing. Disabling drops a tick that was
  // due but held back.
  void SetEnabled(bool enabled) override;
  bool Enabled() override;
  // Milliseconds; 0 gives no ticks. Negative fails with 380. Restarts the count
  // of an enabled timer.
  void SetInterval(Long milliseconds) override;
  Long Interval() override;

 private:
  std::shared_ptr<TimerCore> core_;
};

}  // namespace qv::connection
