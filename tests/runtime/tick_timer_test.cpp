#include "qv/connection/tick_timer.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "qv/connection/delivery_gate.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/runtime/event_loop.hpp"

namespace qv::runtime {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using connection::DeliveryGate;
using connection::TickTimer;

// Records tick times and how deeply ticks nest; runs an optional action inside.
struct TickLog : TimerEvents {
  std::vector<Clock::time_point> at;
  int depth = 0;
  int deepest = 0;
  std::function<void()> inside;

  void OnTimer() override {
    ++depth;
    deepest = std::max(deepest, depth);
    at.push_back(Clock::now());
    if (inside) inside();
    --depth;
  }
  int count() const { return static_cast<int>(at.size()); }
};

void BusyWait(std::chrono::microseconds d) {
  const auto until = Clock::now() + d;
  while (Clock::now() < until) {
  }
}

TEST(TickTimer, StartsDisabledWithTheMailInterval) {
  EventLoop loop;
  DeliveryGate gate(loop);
  TickTimer timer(loop, gate);
  EXPECT_FALSE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), kMailTimerInterval);
  TickLog log;
  timer.SetEvents(&log);
  loop.RunFor(80ms);  // nothing to run: returns at once
  EXPECT_EQ(log.count(), 0);
}

TEST(TickTimer, TicksAtItsIntervalWhileEnabled) {
  EventLoop loop;
  DeliveryGate gate(loop);
  TickTimer timer(loop, gate);
  TickLog log;
  timer.SetEvents(&log);
  timer.SetInterval(20);
  const auto start = Clock::now();
  timer.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return log.count() == 5; }, 2s));
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 100ms);  // five whole intervals, never early
  EXPECT_LT(took, 400ms);
  timer.SetEnabled(false);
  loop.Run();  // no work left once disabled
  EXPECT_EQ(log.count(), 5);
}

TEST(TickTimer, FollowsDeadlinesSoHandlerTimeDoesNotAccumulate) {
  EventLoop loop;
  DeliveryGate gate(loop);
  TickTimer timer(loop, gate);
  TickLog log;
  log.inside = [] { BusyWait(6ms); };
  timer.SetEvents(&log);
  timer.SetInterval(20);
  timer.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return log.count() == 15; }, 2s));
  // A timer that waited a whole interval after each handler could never tick
  // sooner than 26 ms after the previous tick; one that keeps its deadlines
  // does, whenever it is not late.
  int short_gaps = 0;
  for (std::size_t i = 1; i < log.at.size(); ++i) {
    if (log.at[i] - log.at[i - 1] < 24ms) ++short_gaps;
  }
  EXPECT_GE(short_gaps, 5);
}

TEST(TickTimer, SkipsDeadlinesMissedByASlowHandler) {
  EventLoop loop;
  DeliveryGate gate(loop);
  TickTimer timer(loop, gate);
  TickLog log;
  Clock::time_point slow_end;
  log.inside = [&] {
    if (log.count() == 1) {
      BusyWait(65ms);  // overruns six deadlines
      slow_end = Clock::now();
    }
  };
  timer.SetEvents(&log);
  timer.SetInterval(10);
  timer.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return log.count() == 4; }, 2s));
  // No burst: at most one tick within half an interval after the slow one.
  int soon_after = 0;
  for (const auto& at : log.at) {
    if (at >= slow_end && at - slow_end < 5ms) ++soon_after;
  }
  EXPECT_LE(soon_after, 1);
  EXPECT_GT(log.at[2] - slow_end, 10ms);
}

TEST(TickTimer, NeverTicksInsideATickEvenWhenTheHandlerStepsTheLoop) {
  struct Case {
    const char* name;
    std::function<void(EventLoop&, TickTimer&)> step;
  };
  const std::vector<Case> cases = {
      {"Poll",
       [](EventLoop& loop, TickTimer&) {
         for (int i = 0; i < 30; ++i) {
           loop.Poll();
           BusyWait(1ms);
         }
       }},
      {"RunFor", [](EventLoop& loop, TickTimer&) { loop.RunFor(30ms); }},
      // A handler that ends and restarts the conversation re-enables the timer.
      {"RestartThenRunFor",
       [](EventLoop& loop, TickTimer& timer) {
         timer.SetEnabled(false);
         timer.SetEnabled(true);
         loop.RunFor(30ms);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EventLoop loop;
    DeliveryGate gate(loop);
    TickTimer timer(loop, gate);
    TickLog log;
    log.inside = [&] { c.step(loop, timer); };
    timer.SetEvents(&log);
    timer.SetInterval(5);
    timer.SetEnabled(true);
    ASSERT_TRUE(loop.RunUntil([&] { return log.count() >= 3; }, 2s));
    EXPECT_EQ(log.deepest, 1);
  }
}

TEST(TickTimer, DisablingInsideATickStopsTheTicks) {
  EventLoop loop;
  DeliveryGate gate(loop);
  TickTimer timer(loop, gate);
  TickLog log;
  log.inside = [&] { timer.SetEnabled(false); };
  timer.SetEvents(&log);
  timer.SetInterval(5);
  timer.SetEnabled(true);
  loop.Run();  // returns once nothing is left to wait for
  EXPECT_EQ(log.count(), 1);
  EXPECT_FALSE(timer.Enabled());
}

TEST(TickTimer, IntervalZeroGivesNoTicksAndNegativeIsRefused) {
  EventLoop loop;
  DeliveryGate gate(loop);
  TickTimer timer(loop, gate);
  TickLog log;
  timer.SetEvents(&log);
  timer.SetInterval(0);
  timer.SetEnabled(true);
  loop.RunFor(30ms);
  EXPECT_EQ(log.count(), 0);
  try {
    timer.SetInterval(-1);
    FAIL() << "a negative interval was accepted";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 380);
  }
  EXPECT_EQ(timer.Interval(), 0);
  timer.SetInterval(5);  // takes effect on the running timer
  ASSERT_TRUE(loop.RunUntil([&] { return log.count() == 2; }, 1s));
}

TEST(TickTimer, ATimerMayBeDestroyedInsideItsOwnTick) {
  EventLoop loop;
  DeliveryGate gate(loop);
  auto timer = std::make_unique<TickTimer>(loop, gate);
  TickLog log;
  log.inside = [&] { timer.reset(); };
  timer->SetEvents(&log);
  timer->SetInterval(5);
  timer->SetEnabled(true);
  loop.Run();
  EXPECT_EQ(log.count(), 1);
  EXPECT_EQ(timer, nullptr);
}

}  // namespace
}  // namespace qv::runtime

namespace qv::runtime {
namespace {

// Many timers on one loop share their wake-ups; each still ticks once per
// period, never twice at once and never inside its own tick, also while
// handlers step the loop and take time.
struct ManyTimersCase {
  int timers;
  bool handlers_step_the_loop;
  std::chrono::microseconds handler_work;
};

class ManyTimers : public ::testing::TestWithParam<ManyTimersCase> {};

TEST_P(ManyTimers, EachTicksOncePerPeriodNeverNestedOrDoubled) {
  const ManyTimersCase& c = GetParam();
  EventLoop loop;
  std::vector<std::unique_ptr<DeliveryGate>> gates;
  std::vector<std::unique_ptr<TickTimer>> timers;
  std::vector<TickLog> logs(static_cast<std::size_t>(c.timers));
  for (int i = 0; i < c.timers; ++i) {
    gates.push_back(std::make_unique<DeliveryGate>(loop));
    timers.push_back(std::make_unique<TickTimer>(loop, *gates.back()));
    TickLog& log = logs[static_cast<std::size_t>(i)];
    log.inside = [&loop, &c] {
      if (c.handlers_step_the_loop) loop.Poll();
      BusyWait(c.handler_work);
    };
    timers.back()->SetEvents(&log);
  }
  const auto start = Clock::now();
  for (auto& timer : timers) timer->SetEnabled(true);
  loop.RunFor(520ms);
  const auto window = Clock::now() - start;
  for (auto& timer : timers) timer->SetEnabled(false);

  const int due = static_cast<int>(window / 50ms);
  for (const TickLog& log : logs) {
    EXPECT_EQ(log.deepest, 1);
    EXPECT_LE(log.count(), due);
    EXPECT_GE(log.count(), due - 2);
    for (std::size_t i = 1; i < log.at.size(); ++i) {
      // A late tick shortens the gap to the next deadline, never below half.
      EXPECT_GE(log.at[i] - log.at[i - 1], 25ms) << "two ticks at once";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(, ManyTimers,
                         ::testing::Values(ManyTimersCase{1, false, 0ms},
                                           ManyTimersCase{500, false, 0ms},
                                           ManyTimersCase{200, true, 0ms},
                                           ManyTimersCase{100, false, 200us}));

}  // namespace
}  // namespace qv::runtime

namespace qv::runtime {
namespace {

// Timers of one interval enabled together tick on one wake-up of the loop.
// What the first one's tick does to the others of that beat takes effect at
// once, before their ticks of the same beat are delivered.
TEST(TickTimer, ATickActsAtOnceOnTheOtherTimersOfItsBeat) {
  struct Beat {
    EventLoop& loop;
    std::vector<std::unique_ptr<TickTimer>>& timers;  // a, b, c
    std::vector<TickLog>& logs;
    Clock::time_point b_restarted{};
  };
  struct Case {
    const char* name;
    std::function<void(Beat&)> in_first_tick_of_a;
    bool b_ticks_with_a;
    bool b_ticks_after;
  };
  const std::vector<Case> cases = {
      {"does nothing", [](Beat&) {}, true, true},
      {"disables b", [](Beat& t) { t.timers[1]->SetEnabled(false); }, false, false},
      {"destroys b", [](Beat& t) { t.timers[1].reset(); }, false, false},
      {"restarts b",
       [](Beat& t) {
         t.timers[1]->SetEnabled(false);
         t.timers[1]->SetEnabled(true);
         t.b_restarted = Clock::now();
       },
       false, true},
      {"destroys a", [](Beat& t) { t.timers[0].reset(); }, true, true},
      {"steps the loop until c ticked",
       [](Beat& t) { t.loop.RunUntil([&] { return t.logs[2].count() > 0; }, 1s); }, true, true},
      {"throws", [](Beat&) { throw std::runtime_error("handler failed"); }, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EventLoop loop;
    std::vector<std::unique_ptr<DeliveryGate>> gates;
    std::vector<std::unique_ptr<TickTimer>> timers;
    std::vector<TickLog> logs(3);
    for (int i = 0; i < 3; ++i) {
      gates.push_back(std::make_unique<DeliveryGate>(loop));
      timers.push_back(std::make_unique<TickTimer>(loop, *gates.back()));
      timers.back()->SetEvents(&logs[static_cast<std::size_t>(i)]);
    }
    Beat beat{loop, timers, logs};
    // A ticks first in its beat; b and c learn whether that beat's handler
    // has returned (the marker a posts runs after it).
    bool beat_over = false;
    bool b_with_a = false;
    bool c_with_a = false;
    logs[0].inside = [&] {
      if (logs[0].count() > 1) return;
      loop.Post([&] { beat_over = true; });
      try {
        c.in_first_tick_of_a(beat);
      } catch (...) {
        --logs[0].depth;  // the log's own count of nesting does not unwind
        throw;
      }
    };
    logs[1].inside = [&] { b_with_a = b_with_a || (logs[1].count() == 1 && !beat_over); };
    logs[2].inside = [&] { c_with_a = c_with_a || (logs[2].count() == 1 && !beat_over); };

    // Enabled from one tick, so that they want the same beat of the loop.
    DeliveryGate pacer_gate(loop);
    TickTimer pacer(loop, pacer_gate);
    TickLog pacer_log;
    Clock::time_point enabled_at;
    pacer_log.inside = [&] {
      enabled_at = Clock::now();
      for (auto& timer : timers) timer->SetEnabled(true);
      pacer.SetEnabled(false);
    };
    pacer.SetEvents(&pacer_log);
    pacer.SetEnabled(true);
    const auto until = Clock::now() + 260ms;
    while (Clock::now() < until) {
      try {
        loop.RunFor(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()));
      } catch (const std::runtime_error&) {
        // the throwing handler's exception leaves through the loop
      }
    }

    ASSERT_GT(logs[0].count(), 0);
    EXPECT_GE(logs[0].at[0] - enabled_at, 50ms) << "a tick before its interval";
    EXPECT_TRUE(c_with_a) << "c's tick did not share a's beat";
    EXPECT_EQ(b_with_a, c.b_ticks_with_a);
    EXPECT_EQ(logs[1].count() > 1 || (logs[1].count() == 1 && !b_with_a), c.b_ticks_after);
    if (beat.b_restarted != Clock::time_point{}) {
      EXPECT_FALSE(b_with_a);
      ASSERT_GE(logs[1].count(), 1);
      EXPECT_GE(logs[1].at[0] - beat.b_restarted, 50ms) << "a restarted timer ticked early";
    }
    for (const TickLog& log : logs) {
      EXPECT_LE(log.deepest, 1);
      for (std::size_t i = 1; i < log.at.size(); ++i) {
        EXPECT_GE(log.at[i] - log.at[i - 1], 25ms) << "two ticks at once";
      }
    }
  }
}

}  // namespace
}  // namespace qv::runtime
