// What every Loop promises the connection core, whichever host runs it: one
// typed suite, instantiated beside the socket's for each host.
//
// A host type offers:
//   connection::Loop& loop();
//   bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
//   void RunFor(std::chrono::milliseconds duration);
//   void RemakeLoop();  // destroys the loop and makes another in its place
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qv/connection/loop.hpp"

namespace qv::connection::contract {

using namespace std::chrono_literals;

// A timer, a watch of one end of a socket pair, and what their functions counted.
struct Waits {
  explicit Waits(Loop& l) : loop(l) {
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd), 0);
    timer = loop.MakeTimer();
    watch = loop.Watch(fd[0]);
  }
  ~Waits() {
    watch.reset(), other.reset();
    ::close(fd[0]);
    ::close(fd[1]);
  }
  // Counts only a call at or after the deadline.
  void Start(LoopTimer& t, LoopTimer::Clock::duration in, int& count) {
    const auto deadline = LoopTimer::Clock::now() + in;
    t.Start(deadline, [&count, deadline] { count += LoopTimer::Clock::now() >= deadline; });
  }
  static std::function<void()> Count(int& count) {
    return [&count] { ++count; };
  }
  // Counts only a call that finds a byte waiting, and leaves it there: a
  // wait that ran twice would count twice.
  std::function<void()> Read(int& count) {
    return [this, &count] {
      char byte;
      count += ::recv(fd[0], &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
    };
  }
  void Feed() { EXPECT_EQ(::send(fd[1], "x", 1, 0), 1); }
  void FeedLater() {
    later = loop.MakeTimer();
    later->Start(LoopTimer::Clock::now() + 20ms, [this] { Feed(); });
  }

  Loop& loop;
  int fd[2] = {-1, -1};
  std::unique_ptr<LoopTimer> timer, later;
  std::unique_ptr<FdWatch> watch, other;
  int first = 0, second = 0;
};

// How a test arranges timers and waits, and what each should then have run.
struct WaitCase {
  const char* name;
  std::function<void(Waits&)> arrange;
  int first, second;
};

// Deadlines and data come 20 ms in, within the run: a wait dropped before
// then would have been due.
inline const std::vector<WaitCase>& WaitCases() {
  static const std::vector<WaitCase> cases = {
      {"timer left alone", [](Waits& w) { w.Start(*w.timer, 20ms, w.first); }, 1, 0},
      {"timer started again",
       [](Waits& w) { w.Start(*w.timer, 20ms, w.first), w.Start(*w.timer, 10ms, w.second); }, 0, 1},
      {"timer started again, deadline passed",
       [](Waits& w) { w.Start(*w.timer, 20ms, w.first), w.Start(*w.timer, -1h, w.second); }, 0, 1},
      {"timer cancelled", [](Waits& w) { w.Start(*w.timer, 20ms, w.first), w.timer->Cancel(); }, 0,
       0},
      {"timer cancelled, then started",
       [](Waits& w) {
         w.Start(*w.timer, 20ms, w.first), w.timer->Cancel(), w.Start(*w.timer, 10ms, w.second);
       },
       0, 1},
      {"timer destroyed", [](Waits& w) { w.Start(*w.timer, 20ms, w.first), w.timer.reset(); }, 0,
       0},
      {"read, data comes later",
       [](Waits& w) { w.watch->WaitReadable(w.Read(w.first)), w.FeedLater(); }, 1, 0},
      {"read, no data", [](Waits& w) { w.watch->WaitReadable(w.Count(w.first)); }, 0, 0},
      {"write", [](Waits& w) { w.watch->WaitWritable(w.Count(w.first)); }, 1, 0},
      {"read and write on one watch",
       [](Waits& w) {
         w.watch->WaitReadable(w.Read(w.first)), w.watch->WaitWritable(w.Count(w.second));
         w.Feed();
       },
       1, 1},
      {"read and write on two watches",
       [](Waits& w) {
         w.other = w.loop.Watch(w.fd[0]);
         w.other->WaitWritable(w.Count(w.second)), w.watch->WaitReadable(w.Read(w.first));
         w.FeedLater();
       },
       1, 1},
      {"read replaced",
       [](Waits& w) {
         w.watch->WaitReadable(w.Count(w.first)), w.watch->WaitReadable(w.Read(w.second));
         w.Feed();
       },
       0, 1},
      {"write replaced",
       [](Waits& w) {
         w.watch->WaitWritable(w.Count(w.first)), w.watch->WaitWritable(w.Count(w.second));
       },
       0, 1},
      {"watch cancelled",
       [](Waits& w) {
         w.watch->WaitReadable(w.Count(w.first)), w.watch->WaitWritable(w.Count(w.first));
         w.Feed(), w.watch->Cancel();
       },
       0, 0},
      {"watch cancelled, then asked again",
       [](Waits& w) {
         w.watch->WaitReadable(w.Count(w.first)), w.watch->WaitWritable(w.Count(w.first));
         w.Feed(), w.watch->Cancel();
         w.later = w.loop.MakeTimer();  // asks again once the loop has turned
         w.later->Start({}, [&w] { w.watch->WaitReadable(w.Read(w.second)); });
       },
       0, 1},
      {"watch destroyed",
       [](Waits& w) {
         w.watch->WaitReadable(w.Count(w.first)), w.watch->WaitWritable(w.Count(w.first));
         w.Feed(), w.watch.reset();
       },
       0, 0},
  };
  return cases;
}

template <typename Host>
class LoopContract : public ::testing::Test {
 protected:
  Loop& loop() { return host.loop(); }
  Host host;
};

TYPED_TEST_SUITE_P(LoopContract);

// Each runs once when due and never before; a replaced, cancelled or
// destroyed one never; a descriptor outlives its watches.
TYPED_TEST_P(LoopContract, EachWaitRunsOnceWhenDueUnlessDropped) {
  for (const WaitCase& c : WaitCases()) {
    SCOPED_TRACE(c.name);
    Waits w(this->loop());
    c.arrange(w);
    this->host.RunUntil([&] { return w.first == c.first && w.second == c.second; }, 2s);
    this->host.RunFor(60ms);  // past every deadline: nothing more runs
    EXPECT_EQ(w.first, c.first);
    EXPECT_EQ(w.second, c.second);
    w.other.reset(), w.watch.reset();
    EXPECT_EQ(::send(w.fd[0], "y", 1, 0), 1);
  }
}

TYPED_TEST_P(LoopContract, AWaitThatRanMayBeAskedAgain) {
  Waits w(this->loop());
  w.watch->WaitReadable(w.Read(w.first));
  w.watch->WaitWritable(w.Count(w.second));
  w.Feed();
  ASSERT_TRUE(this->host.RunUntil([&] { return w.first == 1 && w.second == 1; }, 2s));
  w.watch->WaitReadable(w.Read(w.first));
  EXPECT_TRUE(this->host.RunUntil([&] { return w.first == 2; }, 2s));
}

// A watch and two timers, all ready at once: whichever runs first destroys
// the others, which then never run, though the loop may already have seen
// them ready.
TYPED_TEST_P(LoopContract, AWatchOrTimerDestroyedWhileReadyNeverRuns) {
  Waits w(this->loop());
  std::unique_ptr<LoopTimer> another = this->loop().MakeTimer();
  const auto destroy_all = [&] {
    ++w.first;
    w.watch.reset(), w.timer.reset(), another.reset();
  };
  w.Feed();
  w.watch->WaitReadable(destroy_all);
  w.timer->Start(LoopTimer::Clock::now() - 1ms, destroy_all);
  another->Start(LoopTimer::Clock::now() - 1ms, destroy_all);
  std::this_thread::sleep_for(5ms);
  this->host.RunFor(50ms);
  EXPECT_EQ(w.first, 1);
}

TYPED_TEST_P(LoopContract, TimersRunInDeadlineOrder) {
  std::string order;
  std::unique_ptr<LoopTimer> timers[4];
  for (auto& timer : timers) timer = this->loop().MakeTimer();
  const auto now = LoopTimer::Clock::now();
  timers[0]->Start(now + 30ms, [&] { order += 'L'; });
  timers[1]->Start(now + 10ms, [&] { order += 'E'; });
  timers[2]->Start(now + 5ms, [&] { order += 'x'; });
  timers[2]->Start(now + 20ms, [&] { order += 'M'; });  // moves behind E
  timers[3]->Start(now + 15ms, [&] { order += 'C'; });
  timers[3]->Cancel();
  EXPECT_TRUE(this->host.RunUntil([&] { return order.size() == 3; }, 2s));
  this->host.RunFor(20ms);
  EXPECT_EQ(order, "EML");
}

TYPED_TEST_P(LoopContract, PostsRunInOrderOnTheLoopsThreadFromAnyThread) {
  for (const bool from_other_thread : {false, true}) {
    SCOPED_TRACE(from_other_thread ? "another thread" : "the loop's thread");
    constexpr int kPosts = 1000;
    std::vector<int> order;
    bool off_thread = false;
    const auto loop_thread = std::this_thread::get_id();
    const auto post_all = [&] {
      for (int i = 0; i < kPosts; ++i) {
        this->loop().Post([&, i] {
          off_thread = off_thread || std::this_thread::get_id() != loop_thread;
          order.push_back(i);
        });
      }
    };
    std::thread poster;
    if (from_other_thread) {
      poster = std::thread(post_all);  // posts while the loop runs
    } else {
      post_all();
    }
    EXPECT_TRUE(this->host.RunUntil([&] { return order.size() == kPosts; }, 5s));
    if (poster.joinable()) poster.join();
    this->host.RunFor(10ms);
    EXPECT_FALSE(off_thread);
    ASSERT_EQ(order.size(), std::size_t{kPosts});
    for (int i = 0; i < kPosts; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  }
}

TYPED_TEST_P(LoopContract, CallsStillQueuedWhenTheLoopGoesAreDropped) {
  bool ran = false;
  this->loop().Post([&] { ran = true; });
  this->host.RemakeLoop();
  bool turned = false;
  this->loop().Post([&] { turned = true; });
  ASSERT_TRUE(this->host.RunUntil([&] { return turned; }, 2s));
  this->host.RunFor(10ms);
  EXPECT_FALSE(ran);
}

REGISTER_TYPED_TEST_SUITE_P(LoopContract, EachWaitRunsOnceWhenDueUnlessDropped,
                            AWaitThatRanMayBeAskedAgain, AWatchOrTimerDestroyedWhileReadyNeverRuns,
                            TimersRunInDeadlineOrder, PostsRunInOrderOnTheLoopsThreadFromAnyThread,
                            CallsStillQueuedWhenTheLoopGoesAreDropped);

}  // namespace qv::connection::contract
