// What lies behind a qvSMTP: the stored property values and the engine that
// runs the conversation. Private to the library, its tests and fuzz targets.
#pragma once

#include "mail/properties.hpp"
#include "mail/session.hpp"
#include "qv/control/qvsmtp.hpp"
#include "qv/control/subscription.hpp"

namespace qv {

// The sink behind a Subscription. The control and the subscription each
// point at it; whichever ends first clears the other's link.
struct Subscription::State final : qvSMTPEvents, std::enable_shared_from_this<State> {
  explicit State(EventHandlers h) : handlers(std::move(h)) {}
  void SendBody(Integer& iTag) override;
  void SendComplete(Integer& status) override;
  void DebugMessage(String& msg) override;

  EventHandlers handlers;
  qvSMTP* control = nullptr;  // null once the control or another sink took over
};

struct qvSMTP::Impl {
  Impl(Socket& socket, Timer& timer, Clock& clock) : session(properties, socket, timer, clock) {}

  // Ends the link to the attached subscription, if any: it no longer
  // receives, and its end leaves the control alone.
  void DetachSubscription() {
    if (subscription != nullptr) subscription->control = nullptr;
    subscription = nullptr;
  }

  mail::Properties properties;
  mail::Session session;
  Subscription::State* subscription = nullptr;
};

// The engine of a control, for tests that check its conversation fields.
struct ControlInternals {
  static const mail::Session& Session(const qvSMTP& control) { return control.impl_->session; }
  // The stored values, for tests of those a host cannot set while running
  // (a restored property store sets them the same way).
  static mail::Properties& Properties(qvSMTP& control) { return control.impl_->properties; }
  // Attaches state as the control's sink, ending any earlier attachment.
  static void Attach(qvSMTP& control, Subscription::State& state) {
    control.Advise(&state);
    control.impl_->subscription = &state;
    state.control = &control;
  }
};

}  // namespace qv
