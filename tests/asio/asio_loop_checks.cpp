// The control on a host's own io_context, built once per Asio configuration.
#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <type_traits>

#include "connection/loop_contract.hpp"
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
using connection::contract::Waits;

// A wait that ran or was dropped leaves nothing in io: the host's run ends
// on its own (a wait left behind keeps io busy past 2 s).
TEST(AsioLoop, WaitsThatEndedLeaveNothingInTheIoContext) {
  const struct {
    const char* name;
    std::function<void(Waits&)> arrange;
  } cases[] = {
      {"timer ran", [](Waits& w) { w.Start(*w.timer, 10ms, w.first); }},
      {"timer started again",
       [](Waits& w) { w.Start(*w.timer, 1h, w.first), w.Start(*w.timer, 10ms, w.first); }},
      {"timer cancelled", [](Waits& w) { w.Start(*w.timer, 1h, w.first), w.timer->Cancel(); }},
      {"timer cancelled, then started",
       [](Waits& w) {
         w.Start(*w.timer, 1h, w.first), w.timer->Cancel(), w.Start(*w.timer, 10ms, w.first);
       }},
      {"timer destroyed", [](Waits& w) { w.Start(*w.timer, 1h, w.first), w.timer.reset(); }},
      {"read ran", [](Waits& w) { w.watch->WaitReadable(w.Count(w.first)), w.FeedLater(); }},
      {"read replaced",
       [](Waits& w) {
         w.watch->WaitReadable(w.Count(w.first)), w.watch->WaitReadable(w.Count(w.first));
         w.FeedLater();
       }},
      {"watch cancelled",
       [](Waits& w) {
         w.watch->WaitReadable(w.Count(w.first)), w.watch->WaitWritable(w.Count(w.first));
         w.watch->Cancel();
       }},
      {"watch destroyed",
       [](Waits& w) { w.watch->WaitReadable(w.Count(w.first)), w.watch.reset(); }},
      {"two watches",
       [](Waits& w) {
         w.other = w.loop.Watch(w.fd[0]);
         w.other->WaitWritable(w.Count(w.first)), w.watch->WaitReadable(w.Count(w.first));
         w.FeedLater();
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::asio::io_context io;
    AsioLoop loop{io};
    Waits waits(loop);
    c.arrange(waits);
    io.run_for(2s);
    EXPECT_TRUE(io.stopped());
  }
}

TEST(AsioLoop, SendsInTheHostsOwnRunBesideItsTimer) {
  // The peer closes 50 ms after the client's end: that readiness comes alone.
  runtime::test_support::LoopbackServer server([](runtime::test_support::Peer& peer) {
    runtime::test_support::PlaySmtpServerClosingAfter(peer, 50ms);
  });
  ASSERT_TRUE(server.ok());
  ::asio::io_context io;
  AsioLoop loop{io};
  int host_ticks = 0;
  ::asio::steady_timer host_timer(io, 100ms);
  host_timer.async_wait([&](std::error_code failed) { host_ticks += !failed; });
  connection::SocketOptions options;
  options.port = server.port();
  runtime::ControlSite site(loop, options);
  site->put_RemoteHost(u"127.0.0.1");
  site->put_MailFrom(u"host@example.com");
  site->put_RcptTo(u"peer@example.com");
  site->put_Body(Variant(u"Sent from the host's own run"));

  ASSERT_EQ(site->Send(), 0);
  io.run_for(10s);

  EXPECT_TRUE(io.stopped());  // nothing of the control's left waiting
  EXPECT_EQ(site->get_StatusStr(), u"Success");
  EXPECT_EQ(host_ticks, 1);
  ASSERT_EQ(server.transcripts().size(), 1u);
  const std::string wire = server.transcripts()[0];
  EXPECT_NE(wire.find("\r\n\r\nSent from the host's own run\r\n"), std::string::npos);
  EXPECT_TRUE(wire.ends_with("\r\n.\r\nQUIT\r\n"));
}

}  // namespace
}  // namespace qv::asio_host
