#include "qv/qt/delivery_gate.hpp"

#include <QtGlobal>
#include <exception>
#include <utility>

#include "qv/core/automation_error.hpp"

namespace qv::qt {

void DeliveryGate::Deliver(const void* owner, std::function<void()> fn) {
  if (depth_ > 0) {
    waiting_.push_back({owner, std::move(fn)});
    return;
  }
  ++depth_;
  Run(fn);
  Leave();
}

void DeliveryGate::Cancel(const void* owner) {
  std::erase_if(waiting_, [owner](const Waiting& w) { return w.owner == owner; });
}

void DeliveryGate::Run(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const AutomationError& e) {
    qWarning("qvSMTP: error %d in a notification: %s", static_cast<int>(e.number()), e.what());
  } catch (const std::exception& e) {
    qWarning("qvSMTP: failure in a notification: %s", e.what());
  }
}

void DeliveryGate::Leave() {
  if (depth_ > 1 || draining_) {
    --depth_;
    return;
  }
  // Still counted as busy while the waiting deliveries run, so that one
  // queued behind them cannot overtake them.
  draining_ = true;
  while (!waiting_.empty()) {
    Waiting next = std::move(waiting_.front());
    waiting_.pop_front();
    Run(next.fn);
  }
  draining_ = false;
  --depth_;
  if (after_) after_();
}

}  // namespace qv::qt
