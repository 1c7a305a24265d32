#include "qv/runtime/asio_timer.hpp"

#include <chrono>
#include <cstdint>
#include <memory>

#include "loop_access.hpp"
#include "qv/core/automation_error.hpp"
#include "tick_grid.hpp"

namespace qv::runtime {

namespace detail {

constexpr Long kInvalidPropertyValue = 380;

class TimerCore final : public std::enable_shared_from_this<TimerCore>, private TickGrid::Client {
 public:
  using Clock = std::chrono::steady_clock;

  TimerCore(asio::io_context& io, std::shared_ptr<Gate> gate)
      : grid_(TickGrid::Of(io)), gate_(std::move(gate)) {}

  void SetEvents(TimerEvents* events) { events_ = events; }
  bool Enabled() const { return enabled_; }
  Long Interval() const { return interval_; }

  void SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (enabled) {
      Restart();
    } else {
      Disarm();
      gate_->Cancel(this);
    }
  }

  void SetInterval(Long milliseconds) {
    if (milliseconds < 0) {
      throw AutomationError(kInvalidPropertyValue, "Invalid property value");
    }
    interval_ = milliseconds;
    if (enabled_) {
      Disarm();
      Restart();
    }
  }

  // Ends every wait; a tick held back by the gate is dropped.
  void Shutdown() {
    events_ = nullptr;
    enabled_ = false;
    Disarm();
    gate_->Cancel(this);
  }

 private:
  Clock::duration Period() const { return std::chrono::milliseconds(interval_); }

  void Restart() {
    next_deadline_ = Clock::now() + Period();
    // Inside a tick the wait begins when the tick's handler returns.
    if (!ticking_) Arm();
  }

  // The deadline's wake-up is shared with the loop's other timers (at most
  // TickGrid::kStep late); the cadence itself stays exact.
  void Arm() {
    if (interval_ <= 0 || waiting_) return;
    waiting_ = true;
    ticket_ =
        grid_.Add(next_deadline_, std::shared_ptr<TickGrid::Client>(shared_from_this(), this));
  }

  void Disarm() {
    if (!waiting_) return;
    waiting_ = false;
    grid_.Remove(ticket_);
  }

  void OnGridStep(std::uint64_t ticket) override {
    if (!waiting_ || ticket != ticket_.key) return;  // a wait since dropped
    waiting_ = false;
    if (!enabled_) return;
    gate_->Deliver(this, [self = shared_from_this()] { self->Tick(); });
  }

  void Tick() {
    if (!enabled_ || ticking_) return;
    struct Rearm {
      TimerCore& core;
      ~Rearm() {
        core.ticking_ = false;
        if (core.enabled_) core.ScheduleNext();
      }
    };
    ticking_ = true;
    Rearm rearm{*this};
    if (events_) events_->OnTimer();
  }

  // The first deadline of the cadence still ahead: a slow handler costs the
  // ticks it overran instead of a burst of them.
  void ScheduleNext() {
    if (interval_ <= 0 || waiting_) return;
    const auto now = Clock::now();
    const auto period = Period();
    if (next_deadline_ <= now) {
      next_deadline_ += ((now - next_deadline_) / period + 1) * period;
    }
    Arm();
  }

  TickGrid& grid_;
  TickGrid::Ticket ticket_;
  std::shared_ptr<Gate> gate_;
  TimerEvents* events_ = nullptr;
  bool enabled_ = false;
  bool ticking_ = false;
  bool waiting_ = false;
  Long interval_ = kMailTimerInterval;
  Clock::time_point next_deadline_{};
};

}  // namespace detail

AsioTimer::AsioTimer(EventLoop& loop)
    : core_(std::make_shared<detail::TimerCore>(detail::LoopAccess::Context(loop),
                                                detail::LoopAccess::LoopGate(loop))) {}

AsioTimer::AsioTimer(EventLoop& loop, DeliveryGate& gate)
    : core_(std::make_shared<detail::TimerCore>(detail::LoopAccess::Context(loop),
                                                detail::LoopAccess::GateOf(gate))) {}

AsioTimer::~AsioTimer() { core_->Shutdown(); }

void AsioTimer::SetEvents(TimerEvents* events) { core_->SetEvents(events); }
void AsioTimer::SetEnabled(bool enabled) { core_->SetEnabled(enabled); }
bool AsioTimer::Enabled() { return core_->Enabled(); }
void AsioTimer::SetInterval(Long milliseconds) { core_->SetInterval(milliseconds); }
Long AsioTimer::Interval() { return core_->Interval(); }

}  // namespace qv::runtime
