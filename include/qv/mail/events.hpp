// The control's events (its event interface __qvSMTP), numbered by their
// 1-based index. Each handler receives its one argument by reference and runs
// before the raise returns, on the control's thread; what it assigns is in
// the referenced storage afterwards.
//
// A handler may throw: the exception leaves through the call that raised the
// event (Send, or the event loop's run for ticks and socket notifications),
// after the send it interrupted has ended as a socket failure (status 2, the
// exception's text in StatusStr), so the control is ready for the next Send.
#pragma once

#include "qv/core/types.hpp"
#include "qv/export.hpp"

namespace qv {

namespace event_id {
inline constexpr Long kSendBody = 1;
inline constexpr Long kSendComplete = 2;
inline constexpr Long kDebugMessage = 3;
}  // namespace event_id

class QV_EXPORT qvSMTPEvents {
 public:
  // iTag is the control's BodyEvent itself: an assignment changes it.
  virtual void SendBody(Integer& iTag) { (void)iTag; }
  // At the end of a send, status is the control's status itself; for a
  // refused Send it is a temporary holding 1.
  virtual void SendComplete(Integer& status) { (void)status; }
  // msg is always a temporary copy.
  virtual void DebugMessage(String& msg) { (void)msg; }

 protected:
  ~qvSMTPEvents() = default;
};

}  // namespace qv
