// Hands the notifications of one control's services (its socket and timer) to
// the control one at a time.
//
// While one notification is being handled, even when its handler steps the
// loop (a nested event loop, a modal dialog, a host stepping the runtime's
// loop from an event handler), the others wait and follow, in order, as soon
// as it returns. So a control never sees a socket notification or a tick
// inside its own step.
//
// A handler that throws: the exception leaves Deliver, and so the loop call
// that ran the notification; what waited behind it follows from a fresh call
// posted to the loop. (Each host says what its loop does with an exception:
// the runtime's loop lets it leave Run, Qt's reports it with qWarning.)
//
// Not thread-safe: one thread, the control's.
#pragma once

#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <utility>

#include "qv/connection/export.hpp"
#include "qv/connection/loop.hpp"

namespace qv::connection {

class QV_CONNECTION_EXPORT DeliveryGate {
  struct Waiting {
    const void* source;
    std::function<void()> fn;
  };
  // Shared with a drain posted to the loop after a throw, which may outlive
  // the gate.
  struct State : std::enable_shared_from_this<State> {
    explicit State(Loop& l) : loop(l) {}
    Loop& loop;
    int depth = 0;
    bool draining = false;
    std::deque<Waiting> waiting;
    std::function<void()> after;
  };

 public:
  // The loop must outlive the gate.
  explicit DeliveryGate(Loop& loop);
  ~DeliveryGate();
  DeliveryGate(const DeliveryGate&) = delete;
  DeliveryGate& operator=(const DeliveryGate&) = delete;

  // True while a delivery (or a Hold) is in progress.
  bool Busy() const { return state_->depth > 0; }

  // Runs fn now when the gate is free and nothing waits before it; otherwise
  // queues it behind the others. source identifies the service for Cancel.
  // Only a queued fn is made a std::function (a tick mostly runs at once).
  template <typename Fn>
  void Deliver(const void* source, Fn&& fn) {
    if (state_->depth > 0 || !state_->waiting.empty()) {
      state_->waiting.push_back({source, std::function<void()>(std::forward<Fn>(fn))});
      return;
    }
    const std::shared_ptr<State> keep = state_;  // a handler may destroy the gate
    {
      Running running(*keep);
      fn();
    }
    Leave(keep);
  }
  // Drops what source has waiting.
  void Cancel(const void* source);

  // Called after each outermost delivery (and Hold) has returned, and after
  // the deliveries that waited behind it (a host announces property changes
  // there).
  void SetAfterDelivery(std::function<void()> fn) { state_->after = std::move(fn); }

  // Holds deliveries back while a host call into the control (Send, SendData)
  // runs; they follow from the loop once the last Hold has ended (never from
  // the Hold's end itself, where a throwing handler could not leave).
  class QV_CONNECTION_EXPORT Hold {
   public:
    explicit Hold(DeliveryGate& gate) : state_(gate.state_) { ++state_->depth; }
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    std::shared_ptr<State> state_;
  };

 private:
  // The gate is busy for as long as one of these lives; one left by an
  // exception posts the drain of what waits.
  struct QV_CONNECTION_EXPORT Running {
    explicit Running(State& s) : state(s) { ++state.depth; }
    ~Running();
    State& state;
    int exceptions = std::uncaught_exceptions();
  };
  // After a delivery: when the gate is free, runs what waits, then the
  // after-delivery call.
  static void Leave(const std::shared_ptr<State>& state);
  // Runs what waits from a fresh call of the loop.
  static void PostDrain(State& state);

  std::shared_ptr<State> state_;
};

}  // namespace qv::connection
