// Handlers for a control's events that stay attached exactly as long as the
// Subscription object Subscribe returns: its end detaches them, so no handler
// runs after its owner is gone.
//
// Either side may go first. A control destroyed first leaves the subscription
// inert (active() false) and its end touches nothing; a subscription ended
// first detaches the handlers from the living control. Advise, another
// Subscribe, or the component's AdviseDispatch on the same control replaces
// the handlers: the older subscription then goes inert as well.
//
// Threads and lifetime: the control's own (see qvsmtp.hpp); create, move and
// destroy subscriptions on the control's thread. A handler may end its own
// subscription while it runs. Handlers throw as qvSMTPEvents describes.
#pragma once

#include <functional>
#include <memory>

#include "qv/control/qvsmtp.hpp"
#include "qv/core/types.hpp"
#include "qv/export.hpp"

namespace qv {

// One function per event of qvSMTPEvents; an empty one ignores its event.
// Each may be left out of a designated initializer.
struct EventHandlers {
  std::function<void(Integer& iTag)> send_body = {};
  std::function<void(Integer& status)> send_complete = {};
  std::function<void(String& msg)> debug_message = {};
};

class Subscription;

// Attaches handlers as control's sink, replacing any sink it had. Throws
// std::bad_alloc only.
[[nodiscard]] QV_EXPORT Subscription Subscribe(qvSMTP& control, EventHandlers handlers);

class QV_EXPORT Subscription {
 public:
  // Attached to nothing.
  Subscription() noexcept;
  ~Subscription();
  Subscription(Subscription&& other) noexcept;
  // Ends this subscription first, then takes other's.
  Subscription& operator=(Subscription&& other) noexcept;
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;

  // Whether the handlers are still the control's sink.
  bool active() const noexcept;
  // Detaches now (when still active); the object stays usable as empty.
  void Reset() noexcept;

  struct State;

 private:
  friend Subscription Subscribe(qvSMTP& control, EventHandlers handlers);
  explicit Subscription(std::shared_ptr<State> state) noexcept;

  std::shared_ptr<State> state_;
};

}  // namespace qv
