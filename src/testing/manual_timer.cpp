#include "qv/testing/manual_timer.hpp"

namespace qv::testing {

bool ManualTimer::Tick() {
  if (!enabled_ || ticking_ || events_ == nullptr) return false;
  ticking_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{ticking_};
  events_->OnTimer();
  return true;
}

int ManualTimer::TickTimes(int n) {
  int delivered = 0;
  while (delivered < n && Tick()) ++delivered;
  return delivered;
}

void ManualTimer::SetEnabled(bool enabled) {
  enabled_history.push_back(enabled);
  enabled_ = enabled;
}

}  // namespace qv::testing
