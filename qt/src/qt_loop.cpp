#include "qv/qt/qt_loop.hpp"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <climits>
#include <exception>
#include <utility>

#include "qv/core/automation_error.hpp"

namespace qv::qt {

namespace {

using namespace std::chrono_literals;

// Everything the loop runs comes through here: an exception must not unwind
// through Qt's event loop, which is not written for it.
void RunReported(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const AutomationError& e) {
    qWarning("qvSMTP: error %d in a notification: %s", static_cast<int>(e.number()), e.what());
  } catch (const std::exception& e) {
    qWarning("qvSMTP: failure in a notification: %s", e.what());
  } catch (...) {
    qWarning("qvSMTP: failure in a notification: an exception of unknown type");
  }
}

class QtLoopTimer final : public connection::LoopTimer {
 public:
  QtLoopTimer() {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Fire(); });
  }

  void Start(Clock::time_point deadline, std::function<void()> fn) override {
    fn_ = std::move(fn);
    deadline_ = deadline;
    Arm();
  }

  void Cancel() override {
    timer_.stop();
    fn_ = nullptr;
  }

 private:
  void Arm() {
    const Clock::time_point now = Clock::now();
    // Rounded up: QTimer counts whole milliseconds, and a deadline further off
    // than QTimer can wait is reached in steps.
    long long ms = 0;
    if (deadline_ > now) {
      ms = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - now).count();
    }
    timer_.start(static_cast<int>(std::min<long long>(ms, INT_MAX)));
  }

  void Fire() {
    if (!fn_) return;
    // Never before the deadline, even when Qt wakes a little early.
    if (Clock::now() < deadline_) {
      Arm();
      return;
    }
    // Moved out first: fn may start this timer again or destroy it.
    const std::function<void()> fn = std::exchange(fn_, nullptr);
    RunReported(fn);
  }

  QTimer timer_;
  Clock::time_point deadline_;
  std::function<void()> fn_;
};

class QtFdWatch final : public connection::FdWatch {
 public:
  explicit QtFdWatch(int fd)
      : read_(fd, QSocketNotifier::Read), write_(fd, QSocketNotifier::Write) {
    // Enabled only while a wait is pending: the descriptor stays readable or
    // writable, and an idle notifier would wake the loop for nothing.
    read_.setEnabled(false);
    write_.setEnabled(false);
    QObject::connect(&read_, &QSocketNotifier::activated, &read_,
                     [this] { Fire(read_, read_fn_); });
    QObject::connect(&write_, &QSocketNotifier::activated, &write_,
                     [this] { Fire(write_, write_fn_); });
  }

  void WaitReadable(std::function<void()> fn) override { Wait(read_, read_fn_, std::move(fn)); }
  void WaitWritable(std::function<void()> fn) override { Wait(write_, write_fn_, std::move(fn)); }

  void Cancel() override {
    read_.setEnabled(false);
    write_.setEnabled(false);
    read_fn_ = nullptr;
    write_fn_ = nullptr;
  }

 private:
  static void Wait(QSocketNotifier& notifier, std::function<void()>& slot,
                   std::function<void()> fn) {
    slot = std::move(fn);
    notifier.setEnabled(static_cast<bool>(slot));
  }

  static void Fire(QSocketNotifier& notifier, std::function<void()>& slot) {
    notifier.setEnabled(false);
    // An activation already on its way when the wait was dropped runs nothing.
    if (!slot) return;
    // Moved out first: fn may wait again or destroy the watch.
    const std::function<void()> fn = std::exchange(slot, nullptr);
    RunReported(fn);
  }

  QSocketNotifier read_;
  QSocketNotifier write_;
  std::function<void()> read_fn_;
  std::function<void()> write_fn_;
};

}  // namespace

QtLoop::QtLoop() : context_(std::make_unique<QObject>()) {}

QtLoop::~QtLoop() {
  EndCoreWork();
  // Deleting the context drops the calls still queued for it.
  context_.reset();
}

std::shared_ptr<QtLoop> QtLoop::ForThisThread() {
  // Kept until the thread ends, not only while controls hold it: a closed
  // socket's text may still be going out on it after its control is gone.
  thread_local const std::shared_ptr<QtLoop> shared = std::make_shared<QtLoop>();
  return shared;
}

void QtLoop::Post(std::function<void()> fn) {
  QMetaObject::invokeMethod(
      context_.get(), [fn = std::move(fn)] { RunReported(fn); }, Qt::QueuedConnection);
}

std::unique_ptr<connection::LoopTimer> QtLoop::MakeTimer() {
  return std::make_unique<QtLoopTimer>();
}

std::unique_ptr<connection::FdWatch> QtLoop::Watch(int fd) {
  return std::make_unique<QtFdWatch>(fd);
}

bool QtLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const QDeadlineTimer deadline(limit, Qt::PreciseTimer);
  // Wakes the wait below at least every 100 ms and at the limit, so that a
  // condition changed by another thread is seen and the limit is kept.
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    wake.start(static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 0, 100)));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

}  // namespace qv::qt
