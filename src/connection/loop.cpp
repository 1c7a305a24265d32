#include "qv/connection/loop.hpp"

#include "cadence.hpp"

namespace qv::connection {

Loop::Loop() = default;

Loop::~Loop() = default;

Cadences& Loop::cadences() {
  // Made on first use: a loop without tick timers never needs it.
  if (!cadences_) cadences_ = std::make_unique<Cadences>(*this);
  return *cadences_;
}

void Loop::ShutdownCadences() {
  if (cadences_) cadences_->Shutdown();
}

}  // namespace qv::connection
