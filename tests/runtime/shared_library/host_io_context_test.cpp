// A host as users build one: the runtime is the shared library it links, and
// the host owns its io_context and runs it to the end with its own Asio. The
// runtime's socket then completes inside the host's Asio code, and the two
// copies of Asio in the process must find the running thread alike.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <string>
#include <thread>

#include "loopback_server.hpp"
#include "qv/runtime/control_site.hpp"
#include "qv/runtime/event_loop.hpp"

namespace qv::runtime {
namespace {

using namespace std::chrono_literals;
using test_support::LoopbackServer;
using test_support::Peer;

// Answers every command; after QUIT, closes once the client has.
void PlaySmtpServer(Peer& peer) {
  peer.Send("220 test.invalid ready\r\n");
  while (auto line = peer.ReadLine()) {
    if (*line == "DATA") {
      peer.Send("354 go ahead\r\n");
      if (!peer.ReadUntil("\r\n.\r\n")) return;
      peer.Send("250 queued\r\n");
    } else if (*line == "QUIT") {
      peer.Send("221 bye\r\n");
      // The client's end, then ours a little later: the acknowledgement of
      // its end reaches its socket alone, a readiness no operation waits for.
      peer.ReadToEnd(1s);
      std::this_thread::sleep_for(50ms);
      return;
    } else {
      peer.Send("250 ok\r\n");
    }
  }
}

TEST(SharedRuntime, SendsOnTheHostsIoContextRunToItsEnd) {
  LoopbackServer server(PlaySmtpServer);
  ASSERT_TRUE(server.ok());
  asio::io_context io;
  EventLoop loop(io);
  SocketOptions options;
  options.port_25_redirect = server.port();
  ControlSite site(loop, options);
  site->put_RemoteHost(u"127.0.0.1");
  site->put_MailFrom(u"host@example.com");
  site->put_RcptTo(u"peer@example.com");
  site->put_Body(Variant(u"Sent from the host's own run"));

  ASSERT_EQ(site->Send(), 0);
  io.run_for(10s);  // returns once no work is left: the connection has closed

  EXPECT_TRUE(io.stopped());
  EXPECT_EQ(site->get_StatusStr(), u"Success");
  ASSERT_EQ(server.transcripts().size(), 1u);
  const std::string wire = server.transcripts()[0];
  EXPECT_NE(wire.find("\r\n\r\nSent from the host's own run\r\n"), std::string::npos);
  EXPECT_TRUE(wire.ends_with("\r\n.\r\nQUIT\r\n"));
}

}  // namespace
}  // namespace qv::runtime
