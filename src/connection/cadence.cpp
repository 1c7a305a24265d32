#include "cadence.hpp"

#include <algorithm>

namespace qv::connection {

Cadence::Cadence(Loop& loop, Clock::duration period)
    : loop_(loop), period_(period), step_(period / kPhases), timer_(loop.MakeTimer()) {
  if (step_ <= Clock::duration::zero()) step_ = Clock::duration(1);
}

void Cadence::Join(Member& member, Clock::time_point earliest) {
  if (member.InCadence()) Leave(member);
  if (members_ == 0) anchor_ = earliest;
  // The first grid point at or after earliest (earliest may lie before the
  // anchor: integer division rounds towards zero).
  auto steps = (earliest - anchor_) / step_;
  Clock::time_point due = anchor_ + steps * step_;
  if (due < earliest) due += step_;
  member.slot_ = slots_.size();
  slots_.push_back({&member, due, false});
  ++members_;
  ArmFor(due);
}

void Cadence::Next(Member& member) {
  if (!member.InCadence()) return;
  Slot& slot = slots_[member.slot_];
  if (!slot.told) return;
  slot.told = false;
  slot.due += period_;
  const Clock::time_point now = loop_.Now();
  if (slot.due <= now) slot.due += ((now - slot.due) / period_ + 1) * period_;
  if (passing_ > 0 && cursor_ < slots_.size()) {
    // Armed once, as the pass reaches its end (which a tick that steps the
    // loop does not hold back).
    pass_next_ = std::min(pass_next_, slot.due);
  } else {
    ArmFor(slot.due);
  }
}

void Cadence::Leave(Member& member) {
  if (!member.InCadence()) return;
  slots_[member.slot_].member = nullptr;
  member.slot_ = kNoSlot;
  ++holes_;
  if (--members_ == 0) {
    // Nothing left to wake the loop for, so a run of the loop can end.
    if (armed_ != kNever && timer_) timer_->Cancel();
    armed_ = kNever;
  }
  if (passing_ == 0 && holes_ > members_) Compact();
}

void Cadence::Shutdown() {
  for (Slot& slot : slots_) {
    if (slot.member) slot.member->slot_ = kNoSlot;
  }
  slots_.clear();
  members_ = holes_ = cursor_ = 0;
  timer_.reset();
}

void Cadence::ArmFor(Clock::time_point due) {
  if (due >= armed_ || members_ == 0 || !timer_) return;
  armed_ = due;
  // A wait replaced or cancelled never runs: the timer drops its fn.
  timer_->Start(due, [this] { OnExpired(); });
}

void Cadence::OnExpired() {
  armed_ = kNever;
  // A beat that comes while a pass is under way (a tick stepped the loop)
  // starts the pass over: told members are skipped, so none is told twice.
  beat_ = loop_.Now();
  cursor_ = 0;
  pass_next_ = kNever;
  Pass();
}

void Cadence::Pass() {
  struct Depth {
    Cadence& cadence;
    ~Depth() {
      --cadence.passing_;
      if (cadence.cursor_ < cadence.slots_.size()) return;  // left to the posted handler
      // One wait for the earliest beat still ahead, not one per member.
      cadence.ArmFor(cadence.pass_next_);
      if (cadence.passing_ == 0) cadence.Compact();
    }
  };
  ++passing_;
  Depth depth{*this};
  while (cursor_ < slots_.size()) {
    Slot& slot = slots_[cursor_++];
    if (slot.member == nullptr || slot.told) continue;
    if (slot.due > beat_) {
      pass_next_ = std::min(pass_next_, slot.due);
      continue;
    }
    slot.told = true;
    Member& member = *slot.member;  // slot may move: OnBeat can add members
    // A tick that steps the loop, or throws out of it, must not hold back the
    // members after it: the rest of the pass follows from a handler of its own.
    if (!resume_posted_) {
      resume_posted_ = true;
      loop_.Post([this] {
        resume_posted_ = false;
        Pass();
      });
    }
    member.OnBeat();
  }
}

// Only between passes, or with a pass left to a posted handler (a tick
// threw): the cursor moves with the slots.
void Cadence::Compact() {
  if (holes_ == 0) return;
  std::size_t kept = 0;
  std::size_t cursor = 0;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (i == cursor_) cursor = kept;
    if (slots_[i].member == nullptr) continue;
    slots_[i].member->slot_ = kept;
    slots_[kept++] = slots_[i];
  }
  cursor_ = cursor_ >= slots_.size() ? kept : cursor;
  slots_.resize(kept);
  holes_ = 0;
}

Cadence& Cadences::For(Cadence::Clock::duration period) {
  for (auto& cadence : cadences_) {
    if (cadence->Period() == period) return *cadence;
  }
  return *cadences_.emplace_back(std::make_unique<Cadence>(loop_, period));
}

void Cadences::Shutdown() {
  for (auto& cadence : cadences_) cadence->Shutdown();
}

}  // namespace qv::connection
