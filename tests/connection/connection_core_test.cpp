// The connection core on a scripted transport and a manual clock: what no
// loopback peer can show on cue (a transport that takes a byte at a time, a
// stall of exactly the limit, a failure at a chosen write).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "connection/socket_recorder.hpp"
#include "qv/connection/connection_socket.hpp"
#include "qv/core/automation_error.hpp"
#include "support/manual_loop.hpp"
#include "support/scripted_transport.hpp"

namespace qv::connection {
namespace {

using namespace std::chrono_literals;
using contract::Recorder;
using contract::TextOf;
using test_support::ManualLoop;
using test_support::ScriptedTransport;
using test_support::TransportScript;

struct Rig {
  explicit Rig(SocketOptions options = {}) {
    options.port = 2525;
    socket = std::make_unique<ConnectionSocket>(loop, gate, std::move(options), [this] {
      script = std::make_shared<TransportScript>();
      return std::make_unique<ScriptedTransport>(script);
    });
    events = std::make_unique<Recorder>(*socket);
  }
  void Connect() {
    socket->Connect(u"mail.example", 25);
    script->Connect();
    loop.RunPosted();
  }

  ManualLoop loop;
  DeliveryGate gate{loop};
  std::shared_ptr<TransportScript> script;
  std::unique_ptr<ConnectionSocket> socket;
  std::unique_ptr<Recorder> events;
};

// Whatever a transport takes per write, every kind of piece reaches the wire
// once, whole and in call order, and the queue's count comes back to 0.
TEST(ConnectionCore, PartialWritesKeepOrderAndAccounting) {
  for (const std::size_t take : {std::size_t{3}, std::size_t{4096}, std::size_t{100000}}) {
    SCOPED_TRACE(take);
    Rig rig;
    rig.Connect();
    EXPECT_EQ(rig.script->host, "mail.example");
    EXPECT_EQ(rig.script->port, 2525);
    rig.script->take_per_write = take;
    const std::string big(300'000, 'b');
    rig.socket->SendData(u"MAIL FROM:<a@b>\r\n");
    rig.socket->SendText(std::make_unique<TextOf>("text\r\n" + big, 3));
    rig.socket->SendUtf8("bad \xff\r\n");
    rig.socket->SendUtf8(big);  // long: offered at once, behind what waits
    rig.socket->SendData(u".\r\n");
    rig.loop.RunPosted();
    for (int i = 0; i < 1'000'000 && rig.socket->BytesQueued() > 0; ++i) {
      rig.script->Drain(take);
      rig.loop.RunPosted();
    }
    EXPECT_EQ(rig.socket->BytesQueued(), 0u);
    EXPECT_EQ(rig.script->wire,
              "MAIL FROM:<a@b>\r\ntext\r\n" + big + "bad \xc3\xbf\r\n" + big + ".\r\n");
  }
}

// The stall limit counts on the loop's clock from the last progress; the
// peer's own end does not stop the count, and progress restarts it.
TEST(ConnectionCore, AStallEndsTheConnectionAfterTheLimitOnly) {
  SocketOptions options;
  options.stall_limit = 60s;
  Rig rig(options);
  rig.Connect();
  rig.script->unacknowledged = 100;
  rig.socket->SendData(u"DATA\r\n");
  rig.socket->RequestSendComplete();
  rig.loop.RunPosted();
  rig.script->PeerClose();
  rig.loop.Advance(59s);
  rig.script->unacknowledged = 50;  // progress
  rig.loop.Advance(59s);
  EXPECT_FALSE(rig.events->Failed());
  rig.loop.Advance(2s);
  ASSERT_TRUE(rig.events->Failed());
  EXPECT_EQ(rig.events->events.back(),
            "Error 10060 Timed out sending: the server took no data for 60 seconds");
  EXPECT_EQ(rig.socket->State(), socket_state::kError);
  EXPECT_TRUE(rig.script->destroyed);
}

// After Close the text already handed over still leaves, then the connection
// half-closes; the linger ends it when the peer never does.
TEST(ConnectionCore, CloseFinishesWritesThenLingersAtMost) {
  SocketOptions options;
  options.close_linger = 5s;
  Rig rig(options);
  rig.Connect();
  rig.script->take_per_write = 3;
  rig.socket->SendData(u"QUIT\r\n");
  rig.socket->Close();
  EXPECT_EQ(rig.socket->State(), socket_state::kClosed);
  EXPECT_FALSE(rig.script->shut_down);
  rig.script->Drain();
  rig.loop.RunPosted();
  EXPECT_EQ(rig.script->wire, "QUIT\r\n");
  EXPECT_TRUE(rig.script->shut_down);
  rig.loop.Advance(4s);
  EXPECT_FALSE(rig.script->destroyed);
  rig.loop.Advance(2s);
  EXPECT_TRUE(rig.script->destroyed);
  EXPECT_EQ(rig.events->events, std::vector<std::string>{"Connect"});
}

// A connection still closing when its loop goes away ends with it, while
// the loop's timers still work, instead of outliving it.
TEST(ConnectionCore, AClosingConnectionEndsWithItsLoop) {
  auto rig = std::make_unique<Rig>();
  rig->Connect();
  rig->script->take_per_write = 0;  // the peer takes nothing
  rig->socket->SendData(u"QUIT\r\n");
  rig->socket->Close();
  rig->loop.RunPosted();
  const std::shared_ptr<TransportScript> script = rig->script;
  EXPECT_FALSE(script->destroyed);
  rig.reset();
  EXPECT_TRUE(script->destroyed);
}

// A failure reported by the transport at any write is one error, and the
// socket takes no more text.
TEST(ConnectionCore, ATransportFailureIsOneErrorAtAnyWrite) {
  for (int fail_at = 1; fail_at <= 3; ++fail_at) {
    SCOPED_TRACE(fail_at);
    Rig rig;
    rig.Connect();
    for (int i = 1; i <= 3; ++i) {
      rig.socket->SendData(u"RCPT TO:<x@y>\r\n");
      rig.loop.RunPosted();
      if (i == fail_at) rig.script->Fail(10054, "Connection reset by peer");
      if (rig.events->Failed()) break;
    }
    EXPECT_EQ(rig.events->Count("Error 10054 Connection reset by peer"), 1);
    EXPECT_THROW(rig.socket->SendData(u"QUIT\r\n"), AutomationError);
    EXPECT_EQ(rig.script->writes, fail_at);
  }
}

}  // namespace
}  // namespace qv::connection
