#include "qv/connection/tick_timer.hpp"

#include <chrono>
#include <cstdint>
#include <memory>

#include "cadence.hpp"
#include "qv/core/automation_error.hpp"

namespace qv::connection {

namespace {
constexpr Long kInvalidPropertyValue = 380;
}  // namespace

class TimerCore final : public std::enable_shared_from_this<TimerCore>, private Cadence::Member {
 public:
  using Clock = std::chrono::steady_clock;

  TimerCore(Loop& loop, DeliveryGate& gate)
      : loop_(loop), cadences_(loop.cadences()), gate_(gate) {}

  void SetEvents(TimerEvents* events) { events_ = events; }
  bool Enabled() const { return enabled_; }
  Long Interval() const { return interval_; }

  void SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (enabled) {
      Start();
    } else {
      Stop();
    }
  }

  void SetInterval(Long milliseconds) {
    if (milliseconds < 0) {
      throw AutomationError(kInvalidPropertyValue, "Invalid property value");
    }
    if (enabled_) Stop();
    interval_ = milliseconds;
    cadence_ = nullptr;
    if (enabled_) Start();
  }

  // Ends every wait; a tick held back by the gate is dropped.
  void Shutdown() {
    events_ = nullptr;
    enabled_ = false;
    Stop();
  }

 private:
  Clock::duration Period() const { return std::chrono::milliseconds(interval_); }

  void Start() {
    first_deadline_ = loop_.Now() + Period();
    join_pending_ = true;
    // Inside a tick the wait begins when the tick's handler returns.
    if (!ticking_) Join();
  }

  void Stop() {
    join_pending_ = false;
    if (cadence_) cadence_->Leave(*this);
    gate_.Cancel(this);
  }

  // The ticks share their wake-ups with the loop's other timers of the same
  // interval (the first one at most a tenth of the interval late).
  void Join() {
    join_pending_ = false;
    if (interval_ <= 0) return;
    if (!cadence_) cadence_ = &cadences_.For(Period());
    cadence_->Join(*this, first_deadline_);
  }

  void OnBeat() override {
    if (!enabled_) return;
    gate_.Deliver(this, [self = shared_from_this()] { self->Tick(); });
  }

  void Tick() {
    if (!enabled_ || ticking_) return;
    struct Rearm {
      TimerCore& core;
      ~Rearm() {
        core.ticking_ = false;
        if (!core.enabled_) return;
        if (core.join_pending_) {
          core.Join();  // restarted inside its tick
        } else if (core.cadence_) {
          // The first deadline still ahead: a slow handler costs the ticks it
          // overran instead of a burst of them.
          core.cadence_->Next(core);
        }
      }
    };
    ticking_ = true;
    Rearm rearm{*this};
    if (events_) events_->OnTimer();
  }

  Loop& loop_;
  Cadences& cadences_;
  Cadence* cadence_ = nullptr;  // of the current interval, once joined
  DeliveryGate& gate_;
  TimerEvents* events_ = nullptr;
  bool enabled_ = false;
  bool ticking_ = false;
  bool join_pending_ = false;
  Long interval_ = kMailTimerInterval;
  Clock::time_point first_deadline_{};
};

TickTimer::TickTimer(Loop& loop, DeliveryGate& gate)
    : core_(std::make_shared<TimerCore>(loop, gate)) {}

TickTimer::~TickTimer() { core_->Shutdown(); }

void TickTimer::SetEvents(TimerEvents* events) { core_->SetEvents(events); }
void TickTimer::SetEnabled(bool enabled) { core_->SetEnabled(enabled); }
bool TickTimer::Enabled() { return core_->Enabled(); }
void TickTimer::SetInterval(Long milliseconds) { core_->SetInterval(milliseconds); }
Long TickTimer::Interval() { return core_->Interval(); }

}  // namespace qv::connection
