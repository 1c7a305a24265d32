#include "qv/connection/delivery_gate.hpp"

#include <algorithm>

namespace qv::connection {

DeliveryGate::DeliveryGate(Loop& loop) : state_(std::make_shared<State>(loop)) {}

DeliveryGate::~DeliveryGate() {
  state_->waiting.clear();
  state_->after = nullptr;
}

void DeliveryGate::Cancel(const void* source) {
  std::erase_if(state_->waiting, [source](const Waiting& w) { return w.source == source; });
}

DeliveryGate::Running::~Running() {
  --state.depth;
  if (state.depth > 0 || state.waiting.empty()) return;
  // A handler threw: the exception leaves through the loop, so what waited
  // behind it follows from a fresh call.
  if (std::uncaught_exceptions() > exceptions) PostDrain(state);
}

void DeliveryGate::PostDrain(State& state) {
  // The gate may be gone by then; its state is not.
  state.loop.Post([weak = state.weak_from_this()] {
    if (const std::shared_ptr<State> kept = weak.lock()) Leave(kept);
  });
}

DeliveryGate::Hold::~Hold() {
  if (--state_->depth > 0 || state_->draining) return;
  if (!state_->waiting.empty()) {
    PostDrain(*state_);
  } else if (state_->after) {
    state_->after();
  }
}

void DeliveryGate::Leave(const std::shared_ptr<State>& state) {
  if (state->depth > 0 || state->draining) return;
  // Still counted as busy while the waiting deliveries run, so that one
  // queued behind them cannot overtake them.
  state->draining = true;
  struct EndDrain {
    State& state;
    ~EndDrain() { state.draining = false; }
  } end{*state};
  while (!state->waiting.empty() && state->depth == 0) {
    std::function<void()> fn = std::move(state->waiting.front().fn);
    state->waiting.pop_front();
    Running running(*state);
    fn();
  }
  if (state->depth == 0 && state->after) state->after();
}

}  // namespace qv::connection
