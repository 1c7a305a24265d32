// Turning Qt's event loop in a test until a condition holds.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <chrono>
#include <functional>

namespace qv::qt::test_support {

inline bool TurnUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  QDeadlineTimer deadline(limit);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
  }
  return true;
}

}  // namespace qv::qt::test_support
