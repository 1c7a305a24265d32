#include "qv/runtime/event_loop.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "loopback_server.hpp"
#include "qv/connection/connection_socket.hpp"
#include "qv/connection/delivery_gate.hpp"
#include "qv/connection/tick_timer.hpp"
#include "qv/core/text.hpp"
#include "qv/runtime/control_site.hpp"

namespace qv::runtime {
namespace {

using namespace std::chrono_literals;
using connection::ConnectionSocket;
using connection::DeliveryGate;
using connection::SocketOptions;
using connection::TickTimer;
using test_support::LoopbackServer;
using test_support::Peer;
using Steady = std::chrono::steady_clock;

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
  DeliveryGate gate(loop);
  TickTimer timer(loop, gate);
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

// Socket and timer of one owner, sharing its gate.
struct Owner : SocketEvents, TimerEvents {
  explicit Owner(ConnectionSocket& s, TickTimer& t) : socket(s), timer(t) {
    socket.SetEvents(this);
    timer.SetEvents(this);
  }
  ConnectionSocket& socket;
  TickTimer& timer;
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
  options.port = port;
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
  DeliveryGate gate(loop);
  ConnectionSocket socket(loop, gate, RedirectTo(server.port()));
  TickTimer timer(loop, gate);
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

// A program that sends and then runs the loop to its end: Run returns once
// the connection has wound down, the QUIT line delivered and the peer's late
// close seen.
TEST(EventLoop, RunReturnsOnceASentMessagesConnectionHasEnded) {
  LoopbackServer server([](Peer& peer) { test_support::PlaySmtpServerClosingAfter(peer, 50ms); });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  ControlSite site(loop, RedirectTo(server.port()));
  site->put_RemoteHost(u"127.0.0.1");
  site->put_MailFrom(u"host@example.com");
  site->put_RcptTo(u"peer@example.com");
  site->put_Body(Variant(u"Sent by a run to the end"));
  ASSERT_EQ(site->Send(), 0);
  loop.Run();
  EXPECT_EQ(site->get_StatusStr(), u"Success");
  for (int i = 0; i < 300 && server.finished() == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(server.transcripts().size(), 1u);
  const std::string wire = server.transcripts()[0];
  EXPECT_NE(wire.find("\r\n\r\nSent by a run to the end\r\n"), std::string::npos);
  EXPECT_TRUE(wire.ends_with("\r\n.\r\nQUIT\r\n"));
}

TEST(DeliveryGate, HoldsTicksBackWhileASocketNotificationStepsTheLoop) {
  LoopbackServer server(AnswerGo());
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  DeliveryGate gate(loop);
  ConnectionSocket socket(loop, gate, RedirectTo(server.port()));
  TickTimer timer(loop, gate);
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
  DeliveryGate gate(loop);
  ConnectionSocket socket(loop, gate, RedirectTo(server.port()));
  TickTimer timer(loop, gate);
  Owner owner(socket, timer);
  timer.SetInterval(5);
  owner.connect = [&] {
    timer.SetEnabled(true);
    socket.SendData(u"go\r\n");
    loop.RunFor(60ms);  // a tick and the greeting are both held back
    timer.SetEnabled(false);
    socket.Close();
  };
  // By name: the lookup on its own thread is work the run waits for.
  socket.Connect(u"localhost", 25);
  loop.Run();  // ends when the connection has wound down
  EXPECT_EQ(owner.log, std::vector<std::string>{"Connect"});
}

TEST(DeliveryGate, OwnersWithGatesOfTheirOwnDoNotWaitForEachOther) {
  EventLoop loop;
  DeliveryGate gate_a(loop);
  DeliveryGate gate_b(loop);
  TickTimer timer_a(loop, gate_a);
  TickTimer timer_b(loop, gate_b);
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
  DeliveryGate gate(loop);
  ConnectionSocket socket(loop, gate, RedirectTo(server.port()));
  TickTimer timer(loop, gate);
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

// The loop's calls, as a host or a handler makes them.
struct Call {
  const char* name;
  std::function<void(EventLoop&)> make;
};
const Call kCalls[] = {
    {"Run", [](EventLoop& loop) { loop.Run(); }},
    {"RunUntil", [](EventLoop& loop) { loop.RunUntil([] { return false; }); }},
    {"RunUntil with a limit", [](EventLoop& loop) { loop.RunUntil([] { return false; }, 50ms); }},
    {"Poll", [](EventLoop& loop) { loop.Poll(); }},
    {"RunFor", [](EventLoop& loop) { loop.RunFor(50ms); }},
};

// Two connected stream sockets, closed at the end.
struct SocketPair {
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd), 0); }
  ~SocketPair() {
    ::close(fd[0]);
    ::close(fd[1]);
  }
  // Makes fd[0] readable.
  void Feed() { EXPECT_EQ(::write(fd[1], "x", 1), 1); }
  void Drain() {
    char c;
    while (::read(fd[0], &c, 1) == 1) {
    }
  }
  int fd[2] = {-1, -1};
};

TEST(EventLoop, AHandlerMayMakeEveryCallAndTheOuterCallGoesOn) {
  for (const Call& inner : kCalls) {
    SCOPED_TRACE(inner.name);
    EventLoop loop;
    SocketPair pair;
    auto timer = loop.MakeTimer();
    auto watch = loop.Watch(pair.fd[0]);
    std::string order;
    loop.Post([&] {
      order += 'a';
      loop.Post([&] { order += 'p'; });
      timer->Start(Steady::now(), [&] { order += 't'; });
      watch->WaitReadable([&] { order += 'r'; });
      pair.Feed();
      inner.make(loop);
      order += 'A';
      loop.Post([&] { order += 'z'; });
    });
    loop.Run();
    ASSERT_EQ(order.size(), 6u) << order;
    for (const char inside : {'p', 't', 'r'}) {
      EXPECT_EQ(std::count(order.begin(), order.end(), inside), 1) << order;
      EXPECT_LT(order.find(inside), order.find('A')) << order;
    }
    EXPECT_EQ(order.front(), 'a');
    EXPECT_EQ(order.substr(4), "Az");
  }
}

TEST(EventLoop, AThrowingHandlerLeavesTheCallAndLosesNothingElse) {
  for (const Call& call : kCalls) {
    SCOPED_TRACE(call.name);
    EventLoop loop;
    SocketPair pair;
    auto timer = loop.MakeTimer();
    auto watch = loop.Watch(pair.fd[0]);
    std::string order;
    // Thrown inside a nested call: it leaves every call it passes.
    loop.Post([&] {
      loop.Post([] { throw std::runtime_error("handler failed"); });
      loop.Poll();
      order += 'X';
    });
    loop.Post([&] { order += 'p'; });
    timer->Start(Steady::now(), [&] { order += 't'; });
    watch->WaitReadable([&] { order += 'r'; });
    pair.Feed();
    EXPECT_THROW(call.make(loop), std::runtime_error);
    loop.Run();
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, "prt");
  }
}

// A host's own loop watches Descriptor(): readable exactly while a handler
// is ready to run.
TEST(EventLoop, TheDescriptorIsReadableWhileAHandlerIsReady) {
  const auto readable = [](const EventLoop& loop, int wait_ms) {
    pollfd p{loop.Descriptor(), POLLIN, 0};
    return ::poll(&p, 1, wait_ms) == 1 && (p.revents & POLLIN) != 0;
  };
  struct Source {
    const char* name;
    std::function<void(EventLoop&, connection::LoopTimer&, connection::FdWatch&, SocketPair&,
                       std::function<void()>)>
        arm;
  };
  const Source sources[] = {
      {"posted", [](EventLoop& loop, auto&, auto&, auto&, auto fn) { loop.Post(fn); }},
      {"timer", [](EventLoop&, auto& timer, auto&, auto&,
                   auto fn) { timer.Start(Steady::now() + 20ms, fn); }},
      {"descriptor",
       [](EventLoop&, auto&, auto& watch, auto& pair, auto fn) {
         watch.WaitReadable([&pair, fn] {
           pair.Drain();
           fn();
         });
         pair.Feed();
       }},
  };
  for (const Source& source : sources) {
    SCOPED_TRACE(source.name);
    EventLoop loop;
    SocketPair pair;
    auto timer = loop.MakeTimer();
    auto watch = loop.Watch(pair.fd[0]);
    EXPECT_FALSE(readable(loop, 0));
    int ran = 0;
    source.arm(loop, *timer, *watch, pair, [&] { ++ran; });
    EXPECT_TRUE(readable(loop, 2000));
    EXPECT_EQ(loop.Poll(), 1u);
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(readable(loop, 0));
  }
}

}  // namespace
}  // namespace qv::runtime
