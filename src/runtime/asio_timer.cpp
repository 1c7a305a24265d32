#include "qv/runtime/asio_timer.hpp"

#include <chrono>
#include <cstdint>
#include <memory>

#include <asio/steady_timer.hpp>

#include "loop_access.hpp"
#include "qv/core/automation_error.hpp"

namespace qv::runtime {

namespace detail {

constexpr Long kInvalidPropertyValue = 380;

class TimerCore : public std::enable_shared_from_this<TimerCore> {
 public:
  using Clock = std::chrono::steady_clock;

  TimerCore(asio::io_context& io, std::shared_ptr<Gate> gate)
      : timer_(io), gate_(std::move(gate)) {}

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

  void Arm() {
    if (interval_ <= 0 || waiting_) return;
    waiting_ = true;
    const std::uint64_t wait = ++wait_id_;
    timer_.expires_at(next_deadline_);
    timer_.async_wait([self = shared_from_this(), wait](const std::error_code& ec) {
      self->OnExpired(wait, ec);
    });
  }

  void Disarm() {
    waiting_ = false;
    ++wait_id_;  // a completion already on its way is ignored
    timer_.cancel();
  }

  void OnExpired(std::uint64_t wait, const std::error_code& ec) {
    if (ec || wait != wait_id_) return;
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

  asio::steady_timer timer_;
  std::shared_ptr<Gate> gate_;
  TimerEvents* events_ = nullptr;
  bool enabled_ = false;
  bool ticking_ = false;
  bool waiting_ = false;
  std::uint64_t wait_id_ = 0;
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
