// The periodic timer service on the event loop.
//
// Ticks follow deadlines (start + n * interval), so they do not drift over a
// long wait. Deadlines missed while a handler was slow are skipped, not made up
// in a burst. The next wait begins only when a tick's handler has returned, so
// no tick comes while an earlier one is still being handled, even when the
// handler steps the loop.
//
// Timers of one loop with the same interval tick together, on one wake-up of
// the loop: a timer enabled while others are running starts at most a tenth
// of an interval after its own first deadline (5 ms for the mail timer), on
// the nearest of their beats, and keeps that place. A timer alone on its loop
// ticks exactly on its deadlines.
#pragma once

#include <memory>

#include "qv/core/types.hpp"
#include "qv/host/timer.hpp"
#include "qv/runtime/event_loop.hpp"
#include "qv/runtime/export.hpp"

namespace qv::runtime {

namespace detail {
class TimerCore;
}

class QV_RUNTIME_EXPORT AsioTimer final : public Timer {
 public:
  // Disabled, interval kMailTimerInterval. Ticks share the loop's gate, or the
  // given one. The loop must outlive the timer.
  explicit AsioTimer(EventLoop& loop);
  AsioTimer(EventLoop& loop, DeliveryGate& gate);
  ~AsioTimer() override;
  AsioTimer(const AsioTimer&) = delete;
  AsioTimer& operator=(const AsioTimer&) = delete;

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
  std::shared_ptr<detail::TimerCore> core_;
};

}  // namespace qv::runtime
