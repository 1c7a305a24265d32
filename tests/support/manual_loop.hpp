// A connection::Loop whose time moves only when a test says so: posted calls
// run on RunPosted, timers on Advance, in deadline order. No descriptors.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <utility>

#include "qv/connection/loop.hpp"

namespace qv::test_support {

class ManualLoop final : public connection::Loop {
 public:
  using Clock = connection::LoopTimer::Clock;

  ~ManualLoop() override { EndCoreWork(); }

  void Post(std::function<void()> fn) override { posted_.push_back(std::move(fn)); }
  std::unique_ptr<connection::LoopTimer> MakeTimer() override {
    return std::make_unique<Timer>(*this);
  }
  std::unique_ptr<connection::FdWatch> Watch(int) override {
    throw std::logic_error("a manual loop watches no descriptors");
  }
  Clock::time_point Now() override { return now_; }

  // Runs what is posted, also what that posts; returns how many ran.
  int RunPosted() {
    int ran = 0;
    while (!posted_.empty()) {
      auto fn = std::move(posted_.front());
      posted_.pop_front();
      fn();
      ++ran;
    }
    return ran;
  }

  // Moves time on, running each timer at its deadline and what it posts.
  void Advance(Clock::duration by) {
    const Clock::time_point until = now_ + by;
    RunPosted();
    while (!timers_.empty() && timers_.begin()->first <= until) {
      auto node = timers_.extract(timers_.begin());
      now_ = node.key();
      node.mapped().owner->armed_ = timers_.end();
      auto fn = std::move(node.mapped().fn);
      fn();
      RunPosted();
    }
    now_ = until;
  }

  std::size_t PendingTimers() const { return timers_.size(); }

 private:
  struct Timer;
  struct Entry {
    Timer* owner;
    std::function<void()> fn;
  };
  using Timers = std::multimap<Clock::time_point, Entry>;

  struct Timer final : connection::LoopTimer {
    explicit Timer(ManualLoop& l) : loop(l), armed_(l.timers_.end()) {}
    ~Timer() override { Cancel(); }
    void Start(Clock::time_point deadline, std::function<void()> fn) override {
      Cancel();
      armed_ = loop.timers_.emplace(deadline, Entry{this, std::move(fn)});
    }
    void Cancel() override {
      if (armed_ != loop.timers_.end()) loop.timers_.erase(armed_);
      armed_ = loop.timers_.end();
    }
    ManualLoop& loop;
    Timers::iterator armed_;
  };

  Clock::time_point now_{std::chrono::hours(1)};
  std::deque<std::function<void()>> posted_;
  Timers timers_;
};

}  // namespace qv::test_support
