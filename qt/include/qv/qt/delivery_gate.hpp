// Hands the notifications of one control's services (socket and timer) to the
// control one at a time, on Qt's event loop.
//
// While one notification is being handled, even when its handler runs a nested
// event loop (a modal dialog, QEventLoop::exec), the others wait and follow, in
// order, as soon as it returns. So the control never sees a socket
// notification or a tick inside its own step. Not thread-safe: one thread, the
// control's.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

#include "qv/qt/export.hpp"

namespace qv::qt {

class QV_QT_EXPORT DeliveryGate {
 public:
  DeliveryGate() = default;
  DeliveryGate(const DeliveryGate&) = delete;
  DeliveryGate& operator=(const DeliveryGate&) = delete;

  // True while a delivery (or a Hold) is in progress.
  bool Busy() const { return depth_ > 0; }

  // Runs fn now, or after the delivery in progress returns. owner identifies
  // the service for Cancel. An exception that leaves fn is caught and reported
  // with qWarning: nothing may unwind through Qt's event loop.
  void Deliver(const void* owner, std::function<void()> fn);
  // Drops owner's deliveries still waiting.
  void Cancel(const void* owner);

  // Called after each outermost delivery (and Hold) has returned, and after
  // the deliveries that waited behind it.
  void SetAfterDelivery(std::function<void()> fn) { after_ = std::move(fn); }

  // Holds deliveries back while a host call into the control (Send, SendData)
  // runs; they follow when the last Hold ends.
  class Hold {
   public:
    explicit Hold(DeliveryGate& gate) : gate_(gate) { ++gate_.depth_; }
    ~Hold() { gate_.Leave(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    DeliveryGate& gate_;
  };

 private:
  struct Waiting {
    const void* owner;
    std::function<void()> fn;
  };

  void Run(const std::function<void()>& fn);
  void Leave();

  int depth_ = 0;
  bool draining_ = false;
  std::deque<Waiting> waiting_;
  std::function<void()> after_;
};

}  // namespace qv::qt
