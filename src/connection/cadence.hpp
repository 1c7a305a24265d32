// Timers of one loop with the same period tick together. A cadence
// wakes the loop once per beat for every timer due in it, instead of once per
// timer, and goes through its timers in one pass: a thousand controls waiting
// on their 50 ms ticks cost a few wake-ups of the loop per period, and the
// commands they write leave together.
//
// Beats fall on a grid of a tenth of the period, anchored at the first
// deadline of the timer that starts an idle cadence, so a timer alone on its
// loop ticks exactly on its own deadlines. A timer that joins a running
// cadence takes the first grid point at or after its own first deadline: at
// most a tenth of a period late, never early. From then on it keeps that
// phase, one tick per period.
#pragma once

#include <chrono>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <vector>
#include "qv/connection/loop.hpp"

namespace qv::connection {

class Cadence {
 public:
  using Clock = std::chrono::steady_clock;
  // Grid points per period: a joining timer is at most period / kPhases late.
  static constexpr int kPhases = 10;

  class Member {
   public:
    // Its beat has come. Called on the loop's thread from the cadence's own
    // handler; the member is not due again until it calls Next.
    virtual void OnBeat() = 0;

   protected:
    ~Member() = default;
    bool InCadence() const { return slot_ != kNoSlot; }

   private:
    friend class Cadence;
    std::size_t slot_ = kNoSlot;
  };

  Cadence(Loop& loop, Clock::duration period);
  Cadence(const Cadence&) = delete;
  Cadence& operator=(const Cadence&) = delete;

  Clock::duration Period() const { return period_; }

  // The member's first beat is the first grid point at or after earliest.
  void Join(Member& member, Clock::time_point earliest);
  // After the tick of its beat: the member's next beat is the first of its
  // phase after now (beats missed while it was busy are skipped). A member
  // whose beat has not come keeps it.
  void Next(Member& member);
  // No beat reaches the member any more, also none of a pass under way.
  void Leave(Member& member);
  // Drops every member and the wait (the loop is going away).
  void Shutdown();

 private:
  static constexpr std::size_t kNoSlot = std::numeric_limits<std::size_t>::max();
  static constexpr Clock::time_point kNever = Clock::time_point::max();

  struct Slot {
    Member* member;
    Clock::time_point due;
    bool told;  // its beat was delivered and its tick not yet done
  };

  void ArmFor(Clock::time_point due);
  void OnExpired();
  void Pass();
  void Compact();

  Loop& loop_;
  Clock::duration period_;
  Clock::duration step_;
  std::unique_ptr<LoopTimer> timer_;
  Clock::time_point armed_ = kNever;
  Clock::time_point anchor_{};
  // In the order the members joined, which every pass keeps; left members
  // leave holes until no pass is under way.
  std::vector<Slot> slots_;
  std::size_t members_ = 0;
  std::size_t holes_ = 0;
  // The pass: members due at or before beat_ are told, slots_[cursor_] next;
  // pass_next_ is the earliest beat still ahead of those seen.
  Clock::time_point beat_{};
  Clock::time_point pass_next_ = kNever;
  std::size_t cursor_ = 0;
  int passing_ = 0;
  bool resume_posted_ = false;
};

// The cadences of one loop, one per period in use.
class Cadences {
 public:
  explicit Cadences(Loop& loop) : loop_(loop) {}
  Cadence& For(Cadence::Clock::duration period);
  // Drops every member and wait (the loop is going away).
  void Shutdown();

 private:
  Loop& loop_;
  std::vector<std::unique_ptr<Cadence>> cadences_;
};

}  // namespace qv::connection
