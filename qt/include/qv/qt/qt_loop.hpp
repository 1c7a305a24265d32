// The connection core's Loop on Qt's event loop of the thread that creates it:
// posted calls are queued events, timers are precise single-shot QTimers, and
// descriptor waits are QSocketNotifiers. Whatever runs the thread's Qt event
// loop (QCoreApplication::exec, a QEventLoop, a modal dialog, processEvents)
// runs the control's services.
//
// No exception unwinds through Qt's event loop: one that leaves a posted call,
// a timer's or a watch's function is caught at the loop and reported with
// qWarning ("qvSMTP: error <number> in a notification: <text>" for an
// AutomationError, "qvSMTP: failure in a notification: <text>" otherwise); the
// loop goes on.
//
// Thread: the creating thread's, which must run a Qt event loop (its
// QCoreApplication's, or a QThread's). Create, use and destroy the loop and
// everything made from it there; only Post may be called from any thread, while
// the loop lives. Timers and watches made from the loop must not outlive it.
// Calls posted and not yet run when the loop is destroyed are dropped.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "qv/connection/loop.hpp"
#include "qv/qt/export.hpp"

class QObject;

namespace qv::qt {

class QV_QT_EXPORT QtLoop final : public connection::Loop {
 public:
  QtLoop();
  ~QtLoop() override;

  // The loop the controls of the calling thread share (so that their ticks
  // share the loop's beats), made on first use and kept until the thread
  // ends, so that what a closed socket still sends has its loop.
  static std::shared_ptr<QtLoop> ForThisThread();

  // Thread-safe: fn runs on the loop's thread from its Qt event loop.
  void Post(std::function<void()> fn) override;
  std::unique_ptr<connection::LoopTimer> MakeTimer() override;
  // fd must be a valid descriptor while the watch lives.
  std::unique_ptr<connection::FdWatch> Watch(int fd) override;

  // Turns the thread's Qt event loop until done() holds or limit has passed;
  // true when done() held. For programs and tests without an exec() of
  // their own; call on the loop's thread.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

 private:
  std::unique_ptr<QObject> context_;
};

}  // namespace qv::qt
