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

using test_support::PlaySmtpServerClosingAfter;

// After QUIT the peer closes 50 ms after the client's end: the
// acknowledgement of that end reaches the client's socket alone, a readiness
// no operation waits for.
void PlaySmtpServerClosingLate(Peer& peer) { PlaySmtpServerClosingAfter(peer, 50ms); }

TEST(SharedRuntime, SendsOnTheHostsIoContextRunToItsEnd) {
  LoopbackServer server(PlaySmtpServerClosingLate);
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
