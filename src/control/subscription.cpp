// Event handlers bound to the life of a Subscription object.
#include "qv/control/subscription.hpp"

#include "control/control_internals.hpp"

namespace qv {

// Each handler runs with the state kept alive, so that a handler may end the
// subscription that holds it.
void Subscription::State::SendBody(Integer& iTag) {
  const auto keep = shared_from_this();
  if (handlers.send_body) handlers.send_body(iTag);
}

void Subscription::State::SendComplete(Integer& status) {
  const auto keep = shared_from_this();
  if (handlers.send_complete) handlers.send_complete(status);
}

void Subscription::State::DebugMessage(String& msg) {
  const auto keep = shared_from_this();
  if (handlers.debug_message) handlers.debug_message(msg);
}

Subscription::Subscription() noexcept = default;
Subscription::Subscription(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}
Subscription::~Subscription() { Reset(); }
Subscription::Subscription(Subscription&& other) noexcept = default;

Subscription& Subscription::operator=(Subscription&& other) noexcept {
  if (this != &other) {
    Reset();
    state_ = std::move(other.state_);
  }
  return *this;
}

bool Subscription::active() const noexcept {
  return state_ != nullptr && state_->control != nullptr;
}

void Subscription::Reset() noexcept {
  if (state_ == nullptr) return;
  // Advise(nullptr) ends the control's link and clears state_->control.
  if (state_->control != nullptr) state_->control->Advise(nullptr);
  state_.reset();
}

Subscription Subscribe(qvSMTP& control, EventHandlers handlers) {
  auto state = std::make_shared<Subscription::State>(std::move(handlers));
  ControlInternals::Attach(control, *state);
  return Subscription(std::move(state));
}

}  // namespace qv
