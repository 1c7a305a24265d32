// The control on a host's own io_context, built once per Asio configuration.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <type_traits>

#include "qv/asio/asio_loop.hpp"
#include "qv/runtime/control_site.hpp"
#include "runtime/loopback_server.hpp"

// After the io_context, which Asio's reactor header needs first.
#include <asio/detail/reactor.hpp>

// The configuration asked for is the one compiled.
#if defined(ASIO_DISABLE_EPOLL)
static_assert(std::is_same_v<::asio::detail::reactor, ::asio::detail::select_reactor>);
#else
static_assert(std::is_same_v<::asio::detail::reactor, ::asio::detail::epoll_reactor>);
#endif

namespace qv::asio_host {
namespace {

using namespace std::chrono_literals;
using connection::FdWatch;
using connection::LoopTimer;

struct Rig {
  ::asio::io_context io;
  AsioLoop loop{io};
  int first = 0, second = 0;
  std::unique_ptr<FdWatch> other;
  // A wait left behind keeps io busy past 2 s.
  bool RunToEnd() { return io.run_for(2s), io.stopped(); }
};

// Each fn counts only a call at or after its deadline.
void StartCounting(LoopTimer& timer, std::chrono::milliseconds in, int& count) {
  const auto deadline = LoopTimer::Clock::now() + in;
  timer.Start(deadline, [&count, deadline] { count += LoopTimer::Clock::now() >= deadline; });
}

TEST(AsioLoop, TimerRunsOnlyItsCurrentWait) {
  using After = std::function<void(Rig&, std::unique_ptr<LoopTimer>&)>;
  const After again = [](Rig& r, auto& t) { StartCounting(*t, 10ms, r.second); };
  const struct {
    const char* name;
    std::chrono::milliseconds first_in;
    After after;
    int first, second;
  } cases[] = {
      {"left alone", 20ms, [](Rig&, auto&) {}, 1, 0},
      {"started again", 1h, again, 0, 1},
      {"cancelled", 1h, [](Rig&, auto& t) { t->Cancel(); }, 0, 0},
      {"cancelled, then started", 1h, [&](Rig& r, auto& t) { t->Cancel(), again(r, t); }, 0, 1},
      {"destroyed", 1h, [](Rig&, auto& t) { t.reset(); }, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    std::unique_ptr<LoopTimer> timer = rig.loop.MakeTimer();
    StartCounting(*timer, c.first_in, rig.first);
    c.after(rig, timer);
    EXPECT_TRUE(rig.RunToEnd());
    EXPECT_EQ(rig.first, c.first);
    EXPECT_EQ(rig.second, c.second);
  }
}

TEST(AsioLoop, WatchRunsOnceOnReadiness) {
  // Counts only a call that finds data waiting.
  const auto read = [](int fd, int& count) {
    return [fd, &count] {
      char byte;
      count += ::recv(fd, &byte, 1, MSG_DONTWAIT) == 1;
    };
  };
  using Arrange = std::function<void(Rig&, FdWatch&, int fd)>;
  const struct {
    const char* name;
    Arrange arrange;
    bool peer_writes;
    int first, second;
  } cases[] = {
      {"readable", [&](Rig& r, auto& w, int fd) { w.WaitReadable(read(fd, r.first)); }, 1, 1, 0},
      {"read wait replaced",
       [&](Rig& r, auto& w, int fd) {
         w.WaitReadable(read(fd, r.first)), w.WaitReadable(read(fd, r.second));
       },
       1, 0, 1},
      {"cancelled",
       [&](Rig& r, auto& w, int fd) {
         w.WaitReadable(read(fd, r.first)), w.WaitWritable([&r] { ++r.second; }), w.Cancel();
       },
       0, 0, 0},
      {"watched twice",
       [&](Rig& r, auto& w, int fd) {
         r.other = r.loop.Watch(fd);
         r.other->WaitWritable([&r] { ++r.second; }), w.WaitReadable(read(fd, r.first));
       },
       1, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    auto watch = rig.loop.Watch(fds[0]);
    c.arrange(rig, *watch, fds[0]);
    ::asio::steady_timer peer(rig.io, 20ms);
    peer.async_wait([&](std::error_code) {
      if (c.peer_writes) ::send(fds[1], "x", 1, 0);
    });
    EXPECT_TRUE(rig.RunToEnd());
    EXPECT_EQ(rig.first, c.first);
    EXPECT_EQ(rig.second, c.second);
    rig.other.reset(), watch.reset();
    EXPECT_EQ(::send(fds[0], "y", 1, 0), 1);  // still open for its owner
    ::close(fds[0]), ::close(fds[1]);
  }
}

TEST(AsioLoop, PostedCallsOfADestroyedLoopAreDropped) {
  ::asio::io_context io;
  bool ran = false;
  std::make_unique<AsioLoop>(io)->Post([&] { ran = true; });
  io.run();
  EXPECT_FALSE(ran);
}

TEST(AsioLoop, SendsInTheHostsOwnRunBesideItsTimer) {
  // The peer closes 50 ms after the client's end: that readiness comes alone.
  runtime::test_support::LoopbackServer server([](runtime::test_support::Peer& peer) {
    runtime::test_support::PlaySmtpServerClosingAfter(peer, 50ms);
  });
  ASSERT_TRUE(server.ok());
  Rig rig;
  ::asio::steady_timer host_timer(rig.io, 100ms);
  host_timer.async_wait([&](std::error_code failed) { rig.second += !failed; });
  connection::SocketOptions options;
  options.port = server.port();
  runtime::ControlSite site(rig.loop, options);
  site->put_RemoteHost(u"127.0.0.1");
  site->put_MailFrom(u"host@example.com");
  site->put_RcptTo(u"peer@example.com");
  site->put_Body(Variant(u"Sent from the host's own run"));

  ASSERT_EQ(site->Send(), 0);
  rig.io.run_for(10s);

  EXPECT_TRUE(rig.io.stopped());  // nothing of the control's left waiting
  EXPECT_EQ(site->get_StatusStr(), u"Success");
  EXPECT_EQ(rig.second, 1);
  ASSERT_EQ(server.transcripts().size(), 1u);
  const std::string wire = server.transcripts()[0];
  EXPECT_NE(wire.find("\r\n\r\nSent from the host's own run\r\n"), std::string::npos);
  EXPECT_TRUE(wire.ends_with("\r\n.\r\nQUIT\r\n"));
}

}  // namespace
}  // namespace qv::asio_host
