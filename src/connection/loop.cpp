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

std::uint64_t Loop::AddEnding(std::function<void()> end) {
  endings_.emplace(++next_ending_, std::move(end));
  return next_ending_;
}

void Loop::RemoveEnding(std::uint64_t id) { endings_.erase(id); }

void Loop::EndCoreWork() {
  if (cadences_) cadences_->Shutdown();
  while (!endings_.empty()) {
    auto end = std::move(endings_.begin()->second);
    endings_.erase(endings_.begin());
    end();
  }
}

}  // namespace qv::connection
