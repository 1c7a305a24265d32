#include "qv/runtime/event_loop.hpp"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "loopback_server.hpp"
#include "qv/core/text.hpp"
#include "qv/runtime/asio_socket.hpp"
#include "qv/runtime/asio_timer.hpp"

namespace qv::runtime {
namespace {

using namespace std::chrono_literals;
using test_support::LoopbackServer;
using test_support::Peer;

TEST(EventLoop, PollRunsWhatIsReadyInOrderAndReturnsTheCount) {
  EventLoop loop;
  std::string order;
  loop.Post([&] { order += 'a'; });
  loop.Post([&] {
    order += 'b';
    loop.Post([&] { order += 'c'; });
  });
  EXPECT_EQ(loop.Poll(), 3u);  // c became ready while polling
  EXPECT_EQ(order, "abc");
  EXPECT_EQ(loop.Poll(), 0u);
}

TEST(EventLoop, RunAndRunUntilReturnWhenNoWorkRemains) {
  EventLoop loop;
  int runs = 0;
  loop.Post([&] { ++runs; });
  loop.Run();
  EXPECT_EQ(runs, 1);
  loop.Post([&] { ++runs; });
  EXPECT_FALSE(loop.RunUntil([&] { return runs == 5; }));
  EXPECT_EQ(runs, 2);
  loop.Post([&] { ++runs; });
  loop.Post([&] { ++runs; });
  EXPECT_TRUE(loop.RunUntil([&] { return runs == 3; }));
  EXPECT_EQ(runs, 3);  // stopped as soon as done
}

TEST(EventLoop, RunUntilWithALimitGivesUpInTime) {
  EventLoop loop;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 40ms));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 40ms);
  EXPECT_LT(took, 500ms);
  int runs = 0;
  loop.Post([&] { ++runs; });
  EXPECT_TRUE(loop.RunUntil([&] { return runs == 1; }, 1s));
}

TEST(EventLoop, StopEndsRunAndTheNextCallRunsAgain) {
  EventLoop loop;
  AsioTimer timer(loop);
  struct Ticks : TimerEvents {
    EventLoop* loop = nullptr;
    int count = 0;
    void OnTimer() override {
      if (++count == 2) loop->Stop();
    }
  } ticks;
  ticks.loop = &loop;
  timer.SetEvents(&ticks);
  timer.SetInterval(5);
  timer.SetEnabled(true);
  loop.Run();  // would run forever without Stop
  EXPECT_EQ(ticks.count, 2);
  EXPECT_TRUE(loop.RunUntil([&] { return ticks.count == 3; }, 1s));
}

// Socket and timer of one owner, on the loop's gate.
struct Owner : SocketEvents, TimerEvents {
  explicit Owner(AsioSocket& s, AsioTimer& t) : socket(s), timer(t) {
    socket.SetEvents(this);
    timer.SetEvents(this);
  }
  AsioSocket& socket;
  AsioTimer& timer;
  std::vector<std::string> log;
  bool in_tick = false;
  bool notified_in_tick = false;
  std::function<void()> tick;
  std::function<void()> connect;

  void OnConnect() override {
    Note("Connect");
    if (connect) connect();
  }
  void OnDataArrival(Long) override { Note("Data " + ToUtf8(socket.GetData())); }
  void OnError(Long, const String& text) override { Note("Error " + ToUtf8(text)); }
  void OnTimer() override {
    log.push_back("Tick");
    in_tick = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{in_tick};
    if (tick) tick();
  }
  void Note(const std::string& what) {
    if (in_tick) notified_in_tick = true;
    log.push_back(what);
  }
  bool Has(const std::string& entry) const {
    return std::find(log.begin(), log.end(), entry) != log.end();
  }
};

SocketOptions RedirectTo(std::uint16_t port) {
  SocketOptions options;
  options.port_25_redirect = port;
  return options;
}

// The server answers "go" with a greeting.
LoopbackServer::Script AnswerGo() {
  return [](Peer& peer) {
    if (peer.ReadUntil("go\r\n")) peer.Send("220 hi\r\n");
    peer.ReadToEnd(2s);
  };
}

TEST(DeliveryGate, HoldsSocketNotificationsBackWhileATickStepsTheLoop) {
  LoopbackServer server(AnswerGo());
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  AsioTimer timer(loop);
  Owner owner(socket, timer);
  owner.tick = [&] {
    timer.SetEnabled(false);
    socket.SendData(u"go\r\n");
    loop.RunFor(100ms);  // the answer arrives meanwhile
  };
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return owner.Has("Connect"); }, 3s));
  timer.SetInterval(5);
  timer.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return owner.Has("Data 220 hi\r\n"); }, 3s));
  EXPECT_FALSE(owner.notified_in_tick);
  EXPECT_EQ(owner.log, (std::vector<std::string>{"Connect", "Tick", "Data 220 hi\r\n"}));
  socket.Close();
}

TEST(DeliveryGate, HoldsNotificationsBackWhileATickRunsTheHostsIoContext) {
  LoopbackServer server(AnswerGo());
  ASSERT_TRUE(server.ok());
  asio::io_context io;
  EventLoop loop(io);
  AsioSocket socket(loop, RedirectTo(server.port()));
  AsioTimer timer(loop);
  Owner owner(socket, timer);
  owner.tick = [&] {
    socket.SendData(u"go\r\n");
    io.run_for(100ms);  // the host's own call: the answer and more ticks arrive meanwhile
    timer.SetEnabled(false);
  };
  socket.Connect(u"127.0.0.1", 25);
  while (!owner.Has("Connect") && io.run_one_for(3s) > 0) {
  }
  timer.SetInterval(5);
  timer.SetEnabled(true);
  while (!owner.Has("Data 220 hi\r\n") && io.run_one_for(3s) > 0) {
  }
  EXPECT_FALSE(owner.notified_in_tick);
  EXPECT_EQ(owner.log, (std::vector<std::string>{"Connect", "Tick", "Data 220 hi\r\n"}));
  socket.Close();
}

TEST(EventLoop, PostMayBeCalledFromAnotherThread) {
  EventLoop loop;
  constexpr int kPosts = 1000;
  int ran = 0;
  bool all_on_loop_thread = true;
  const std::thread::id loop_thread = std::this_thread::get_id();
  std::thread worker([&] {
    for (int i = 0; i < kPosts; ++i) {
      loop.Post([&] {
        ++ran;
        all_on_loop_thread = all_on_loop_thread && std::this_thread::get_id() == loop_thread;
      });
    }
  });
  EXPECT_TRUE(loop.RunUntil([&] { return ran == kPosts; }, 5s));
  worker.join();
  loop.Poll();
  EXPECT_EQ(ran, kPosts);
  EXPECT_TRUE(all_on_loop_thread);
}

TEST(DeliveryGate, HoldsTicksBackWhileASocketNotificationStepsTheLoop) {
  LoopbackServer server(AnswerGo());
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  AsioTimer timer(loop);
  Owner owner(socket, timer);
  timer.SetInterval(5);
  owner.connect = [&] {
    timer.SetEnabled(true);
    loop.RunFor(40ms);  // several deadlines pass
  };
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return owner.Has("Tick"); }, 3s));
  // The held-back tick came after the notification, once only.
  EXPECT_EQ(owner.log, (std::vector<std::string>{"Connect", "Tick"}));
  socket.SendData(u"go\r\n");
  socket.Close();
}

TEST(DeliveryGate, DisablingOrClosingDropsWhatWasHeldBack) {
  LoopbackServer server(AnswerGo());
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  AsioTimer timer(loop);
  Owner owner(socket, timer);
  timer.SetInterval(5);
  owner.connect = [&] {
    timer.SetEnabled(true);
    socket.SendData(u"go\r\n");
    loop.RunFor(60ms);  // a tick and the greeting are both held back
    timer.SetEnabled(false);
    socket.Close();
  };
  socket.Connect(u"127.0.0.1", 25);
  loop.Run();  // ends when the connection has wound down
  EXPECT_EQ(owner.log, std::vector<std::string>{"Connect"});
}

TEST(DeliveryGate, OwnersWithGatesOfTheirOwnDoNotWaitForEachOther) {
  EventLoop loop;
  DeliveryGate gate_a(loop);
  DeliveryGate gate_b(loop);
  AsioTimer timer_a(loop, gate_a);
  AsioTimer timer_b(loop, gate_b);
  struct Ticks : TimerEvents {
    std::function<void()> inside;
    int count = 0;
    void OnTimer() override {
      ++count;
      if (inside) inside();
    }
  } a, b;
  int b_inside_a = 0;
  a.inside = [&] {
    timer_a.SetEnabled(false);
    EXPECT_TRUE(gate_a.Busy());
    EXPECT_FALSE(gate_b.Busy());
    const int before = b.count;
    loop.RunFor(40ms);
    b_inside_a = b.count - before;
  };
  timer_a.SetEvents(&a);
  timer_b.SetEvents(&b);
  timer_a.SetInterval(5);
  timer_b.SetInterval(5);
  timer_a.SetEnabled(true);
  timer_b.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return a.count == 1 && b_inside_a > 0; }, 2s));
  EXPECT_GE(b_inside_a, 2);
}

TEST(DeliveryGate, WhatWasHeldBackFollowsAnExceptionFromAHandler) {
  LoopbackServer server(AnswerGo());
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  AsioTimer timer(loop);
  Owner owner(socket, timer);
  owner.tick = [&] {
    timer.SetEnabled(false);
    socket.SendData(u"go\r\n");
    loop.RunFor(60ms);
    throw std::runtime_error("handler failed");
  };
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return owner.Has("Connect"); }, 3s));
  timer.SetInterval(5);
  timer.SetEnabled(true);
  EXPECT_THROW(loop.RunUntil([] { return false; }, 2s), std::runtime_error);
  EXPECT_TRUE(loop.RunUntil([&] { return owner.Has("Data 220 hi\r\n"); }, 2s));
  EXPECT_FALSE(owner.notified_in_tick);
  socket.Close();
}

}  // namespace
}  // namespace qv::runtime
