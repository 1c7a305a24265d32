#include "qv/qt/qt_timer.hpp"

#include <QTimer>
#include <chrono>

#include "qv/core/automation_error.hpp"

namespace qv::qt {

namespace {
constexpr Long kInvalidPropertyValue = 380;
using SteadyClock = std::chrono::steady_clock;
}  // namespace

struct QtTimer::Impl {
  explicit Impl(DeliveryGate& g) : gate(g) {
    qtimer.setSingleShot(true);
    qtimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&qtimer, &QTimer::timeout, [this] { OnExpired(); });
  }

  SteadyClock::duration Period() const { return std::chrono::milliseconds(interval); }

  void Restart() {
    next_deadline = SteadyClock::now() + Period();
    // Inside a tick the wait begins when the tick's handler returns.
    if (!ticking) Arm();
  }

  void Arm() {
    if (interval <= 0) return;
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(next_deadline - SteadyClock::now());
    qtimer.start(std::max<std::chrono::milliseconds>(wait, std::chrono::milliseconds(0)));
  }

  void Disarm() {
    qtimer.stop();
    gate.Cancel(this);
  }

  void OnExpired() {
    if (!enabled) return;
    gate.Deliver(this, [this] { Tick(); });
  }

  void Tick() {
    if (!enabled || ticking) return;
    struct Rearm {
      Impl& impl;
      ~Rearm() {
        impl.ticking = false;
        if (impl.enabled && !impl.qtimer.isActive()) impl.ScheduleNext();
      }
    };
    ticking = true;
    Rearm rearm{*this};
    if (events) events->OnTimer();
  }

  // The first deadline of the cadence still ahead.
  void ScheduleNext() {
    if (interval <= 0) return;
    const auto now = SteadyClock::now();
    const auto period = Period();
    if (next_deadline <= now) next_deadline += ((now - next_deadline) / period + 1) * period;
    Arm();
  }

  DeliveryGate& gate;
  QTimer qtimer;
  TimerEvents* events = nullptr;
  bool enabled = false;
  bool ticking = false;
  Long interval = kMailTimerInterval;
  SteadyClock::time_point next_deadline{};
};

QtTimer::QtTimer(DeliveryGate& gate) : impl_(std::make_unique<Impl>(gate)) {}

QtTimer::~QtTimer() {
  impl_->events = nullptr;
  impl_->enabled = false;
  impl_->Disarm();
}

void QtTimer::SetEvents(TimerEvents* events) { impl_->events = events; }

void QtTimer::SetEnabled(bool enabled) {
  if (enabled == impl_->enabled) return;
  impl_->enabled = enabled;
  if (enabled) {
    impl_->Restart();
  } else {
    impl_->Disarm();
  }
}

bool QtTimer::Enabled() { return impl_->enabled; }

void QtTimer::SetInterval(Long milliseconds) {
  if (milliseconds < 0) throw AutomationError(kInvalidPropertyValue, "Invalid property value");
  impl_->interval = milliseconds;
  if (impl_->enabled) {
    impl_->qtimer.stop();
    impl_->Restart();
  }
}

Long QtTimer::Interval() { return impl_->interval; }

}  // namespace qv::qt
