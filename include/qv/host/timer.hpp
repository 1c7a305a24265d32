// The periodic timer service (the control's inner component mailTimer).
#pragma once

#include "qv/core/types.hpp"
#include "qv/export.hpp"

namespace qv {

class QV_EXPORT TimerEvents {
 public:
  virtual void OnTimer() = 0;

 protected:
  ~TimerEvents() = default;
};

// While enabled, OnTimer comes every Interval() milliseconds. A timer never
// delivers a tick while an earlier tick is still being handled (the control's
// step runs event handlers, which may step the host's loop).
class QV_EXPORT Timer {
 public:
  virtual ~Timer() = default;
  virtual void SetEvents(TimerEvents* events) = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() = 0;
  virtual void SetInterval(Long milliseconds) = 0;
  virtual Long Interval() = 0;
};

inline constexpr Long kMailTimerInterval = 50;

}  // namespace qv
