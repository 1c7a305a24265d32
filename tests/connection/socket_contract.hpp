// What every socket service promises, whichever loop drives it: one typed
// suite, instantiated for each host's Loop (the runtime's own, a host's
// io_context, Qt's event loop) against loopback peers on threads of their own.
//
// A host type offers:
//   connection::Loop& loop();
//   bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
//   void RunFor(std::chrono::milliseconds duration);
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "connection/socket_recorder.hpp"
#include "qv/connection/connection_socket.hpp"
#include "qv/connection/delivery_gate.hpp"
#include "qv/connection/host_name.hpp"
#include "qv/connection/tick_timer.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"
#include "runtime/loopback_server.hpp"

namespace qv::connection::contract {

using namespace std::chrono_literals;
using runtime::test_support::LoopbackServer;
using runtime::test_support::Peer;
using runtime::test_support::UnusedLoopbackPort;

inline SocketOptions ToPort(std::uint16_t port) {
  SocketOptions options;
  options.port = port;
  return options;
}

// One host's loop with a gate, and sockets made on them.
template <typename Host>
class SocketContract : public ::testing::Test {
 protected:
  std::unique_ptr<ConnectionSocket> Make(SocketOptions options) {
    return std::make_unique<ConnectionSocket>(host.loop(), gate, std::move(options));
  }
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 3s) {
    return host.RunUntil(done, limit);
  }
  // Closes and lets the connection wind down.
  void Finish(Socket& socket) {
    socket.Close();
    host.RunFor(30ms);
  }

  Host host;
  DeliveryGate gate{host.loop()};
};

TYPED_TEST_SUITE_P(SocketContract);

TYPED_TEST_P(SocketContract, ConnectsToTheGivenPortAndGathersPiecesInOrder) {
  LoopbackServer server([](Peer& peer) {
    peer.Send("220 mail");
    usleep(20'000);
    peer.Send(".example ready");
    usleep(20'000);
    peer.Send("\r\n");
    peer.ReadUntil("QUIT\r\n");
  });
  ASSERT_TRUE(server.ok());
  auto socket = this->Make(ToPort(server.port()));
  Recorder events(*socket);
  socket->Connect(u"127.0.0.1", 25);
  EXPECT_EQ(socket->State(), socket_state::kConnecting);
  ASSERT_TRUE(this->RunUntil([&] { return events.text.size() >= 24; }));
  EXPECT_EQ(socket->State(), socket_state::kConnected);
  EXPECT_EQ(events.text, u"220 mail.example ready\r\n");
  EXPECT_EQ(events.events.front(), "Connect");
  socket->SendData(u"QUIT\r\n");
  ASSERT_TRUE(this->RunUntil([&] { return server.finished() == 1; }));
}

// A name is resolved first (localhost may give ::1 as well: each address is
// tried in turn); an IPv6 literal, bracketed or not, connects over IPv6; a
// port other than 25 is used as given when no port option is set.
TYPED_TEST_P(SocketContract, ReachesNamesLiteralsAndPortsAsAsked) {
  struct Case {
    const char16_t* host;
    LoopbackServer::Family family;
    bool port_option;
  };
  for (const Case& c : {Case{u"localhost", LoopbackServer::Family::kIPv4, true},
                        Case{u"::1", LoopbackServer::Family::kIPv6, true},
                        Case{u"[::1]", LoopbackServer::Family::kIPv6, true},
                        Case{u"127.0.0.1", LoopbackServer::Family::kIPv4, false}}) {
    SCOPED_TRACE(ToUtf8(c.host));
    LoopbackServer server([](Peer& peer) { peer.Send("220 hi\r\n"); }, c.family);
    if (!server.ok()) continue;  // no IPv6 loopback here
    auto socket = this->Make(c.port_option ? ToPort(server.port()) : SocketOptions{});
    Recorder events(*socket);
    socket->Connect(c.host, static_cast<Integer>(c.port_option ? 25 : server.port()));
    if (c.host[0] == u'l') {
      EXPECT_EQ(socket->State(), socket_state::kResolvingHost);
    }
    ASSERT_TRUE(this->RunUntil([&] { return !events.text.empty() || events.Failed(); }));
    EXPECT_EQ(events.text, u"220 hi\r\n");
    this->Finish(*socket);
  }
}

// Every host reports the same number and sentence for the same failure.
TYPED_TEST_P(SocketContract, ReportsOneErrorWithAReadableDescription) {
  struct Case {
    std::u16string host;
    Long number;
    std::string text;
  };
  for (const Case& c : {
           Case{u"127.0.0.1", socket_error::kConnectionRefused, "Connection refused"},
           // An empty label fails in the resolver itself, without asking the network.
           Case{u"bad..name.invalid", socket_error::kHostNotFound,
                "Host not found: bad..name.invalid"},
           Case{u"", socket_error::kHostNotFound, "No host name given"},
       }) {
    SCOPED_TRACE(ToUtf8(c.host));
    auto socket = this->Make(ToPort(UnusedLoopbackPort()));
    Recorder events(*socket);
    socket->Connect(c.host, 25);
    ASSERT_TRUE(this->RunUntil([&] { return events.Failed(); }));
    EXPECT_EQ(socket->State(), socket_state::kError);
    EXPECT_EQ(events.error_number, c.number);
    EXPECT_EQ(events.error_text, c.text);
    this->host.RunFor(20ms);
    EXPECT_EQ(events.events.size(), 1u);
  }
}

TYPED_TEST_P(SocketContract, AResetGivesAnErrorAndAnOrderlyCloseGivesState8) {
  for (const bool reset : {true, false}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    LoopbackServer server([reset](Peer& peer) {
      peer.Send("421 going away\r\n");
      usleep(30'000);
      if (reset) {
        peer.Reset();
      } else {
        peer.Close();
      }
    });
    ASSERT_TRUE(server.ok());
    auto socket = this->Make(ToPort(server.port()));
    Recorder events(*socket);
    socket->Connect(u"127.0.0.1", 25);
    ASSERT_TRUE(this->RunUntil([&] {
      return socket->State() == socket_state::kPeerClosing ||
             socket->State() == socket_state::kError;
    }));
    this->host.RunFor(20ms);
    EXPECT_EQ(events.text, u"421 going away\r\n");
    if (reset) {
      EXPECT_EQ(socket->State(), socket_state::kError);
      EXPECT_EQ(events.error_number, socket_error::kConnectionReset);
      EXPECT_EQ(events.error_text, "Connection reset by peer");
    } else {
      EXPECT_EQ(socket->State(), socket_state::kPeerClosing);
      EXPECT_FALSE(events.Failed());
      EXPECT_THROW(socket->SendData(u"QUIT\r\n"), AutomationError);
    }
    this->Finish(*socket);
  }
}

TYPED_TEST_P(SocketContract, EncodesUtf8AndDecodesAcrossPieceBoundaries) {
  // "Grüße € 😀" in UTF-8, sent one byte per write; then a stray byte and a
  // sequence cut off by the end of the connection.
  const std::string utf8 =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xF0\x9F\x98\x80";
  LoopbackServer server([&utf8](Peer& peer) {
    peer.ReadUntil("\r\n");
    for (char byte : utf8) {
      peer.Send(std::string(1, byte));
      usleep(2'000);
    }
    peer.Send("|\xFF|\xE2\x82");
  });
  ASSERT_TRUE(server.ok());
  auto socket = this->Make(ToPort(server.port()));
  Recorder events(*socket);
  socket->Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(this->RunUntil([&] { return events.Connected(); }));
  socket->SendData(u"Gr\u00fc\u00dfe \u20ac \U0001F600\r\n");
  ASSERT_TRUE(this->RunUntil([&] { return socket->State() == socket_state::kPeerClosing; }));
  this->host.RunFor(10ms);
  EXPECT_EQ(events.text, u"Gr\u00fc\u00dfe \u20ac \U0001F600|\u00ff|\u00e2\u0082");
  ASSERT_EQ(server.transcripts().size(), 1u);
  EXPECT_EQ(server.transcripts()[0], utf8 + "\r\n");
  this->Finish(*socket);
}

// After Close the queued text still goes out and nothing more is notified;
// a peer that stops reading is given up on after the linger time.
TYPED_TEST_P(SocketContract, CloseDeliversQueuedTextWithinTheLinger) {
  LoopbackServer server(
      [](Peer& peer) {
        peer.Send("250 ok\r\n");
        if (peer.ReadUntil("QUIT\r\n")) peer.Send("221 bye\r\n");
        peer.ReadToEnd();
      },
      LoopbackServer::Family::kIPv4, 1);
  ASSERT_TRUE(server.ok());
  auto socket = this->Make(ToPort(server.port()));
  Recorder events(*socket);
  socket->Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(this->RunUntil([&] { return !events.text.empty(); }));
  socket->SendData(u"QUIT\r\n");
  socket->Close();
  EXPECT_EQ(socket->State(), socket_state::kClosed);
  const auto seen = events.events.size();
  ASSERT_TRUE(this->RunUntil([&] { return server.finished() == 1; }, 2s));
  EXPECT_EQ(events.events.size(), seen);
  EXPECT_EQ(server.transcripts()[0], "QUIT\r\n");

  std::atomic<bool> ended{false};
  LoopbackServer stalled([&ended](Peer& peer) {
    peer.Send("220 hi\r\n");
    usleep(600'000);  // reads nothing meanwhile
    ended = peer.ReadToEnd(1s);
  });
  ASSERT_TRUE(stalled.ok());
  SocketOptions options = ToPort(stalled.port());
  options.close_linger = 150ms;
  auto second = this->Make(options);
  Recorder second_events(*second);
  second->Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(this->RunUntil([&] { return !second_events.text.empty(); }));
  second->SendData(String(16 << 20, u'x'));  // far more than the socket buffers hold
  second->Close();
  // The linger ends the connection (with a reset) well before the peer has
  // read 16 MiB.
  ASSERT_TRUE(this->RunUntil([&] { return stalled.finished() == 1; }, 3s));
  EXPECT_TRUE(ended.load());
  EXPECT_LT(stalled.transcripts()[0].size(), 16u << 20);
}

TYPED_TEST_P(SocketContract, RefusesWritesAndConnectsInTheWrongState) {
  auto socket = this->Make({});
  try {
    socket->SendData(u"HELO x\r\n");
    FAIL() << "SendData on a closed socket was accepted";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 40006);
    EXPECT_STREQ(e.what(),
                 "Wrong protocol or connection state for the requested transaction or request");
  }
  try {
    socket->Connect(u"127.0.0.1", 0);
    FAIL() << "port 0 was accepted";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), socket_error::kInvalidPropertyValue);
  }
  socket->Connect(u"127.0.0.1", static_cast<Integer>(UnusedLoopbackPort()));
  try {
    socket->Connect(u"127.0.0.1", 25);
    FAIL() << "a second Connect was accepted";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), socket_error::kInvalidOperation);
  }
  EXPECT_THROW(socket->SendData(u"early\r\n"), AutomationError);
  EXPECT_THROW(socket->WriteSetting(2, Variant(Integer{0})), AutomationError);
  socket->Close();
  EXPECT_NO_THROW(socket->Close());  // accepted in every state
  EXPECT_THROW(socket->ReadSetting(4), AutomationError);
  EXPECT_THROW(socket->WriteSetting(7, Variant(Integer{0})), AutomationError);
  for (const char* name : {"a.example\r\nRSET", "a b", "tab\there", "nul\x7F"}) {
    SocketOptions options;
    options.local_host_name = name;
    EXPECT_THROW(this->Make(options), AutomationError) << name;
  }
}

// The HELO name is read at once after connecting, never waiting for the
// name service: the option, else the fully qualified name, else the local
// address literal.
TYPED_TEST_P(SocketContract, HeloNameIsTheOptionTheFullNameOrTheAddressLiteral) {
  struct Case {
    LoopbackServer::Family family;
    std::string option;
    std::string literal;
  };
  for (const Case& c : {Case{LoopbackServer::Family::kIPv4, "", "[127.0.0.1]"},
                        Case{LoopbackServer::Family::kIPv6, "", "[IPv6:::1]"},
                        Case{LoopbackServer::Family::kIPv4, "relay.example.org", ""},
                        Case{LoopbackServer::Family::kIPv4, "b\xC3\xBCro.example", ""}}) {
    SCOPED_TRACE(c.option + c.literal);
    LoopbackServer server([](Peer& peer) { peer.ReadToEnd(1s); }, c.family);
    if (!server.ok()) continue;
    const std::string full = FullyQualifiedHostName(2s);
    SocketOptions options = ToPort(server.port());
    options.local_host_name = c.option;
    auto socket = this->Make(options);
    Recorder events(*socket);
    socket->Connect(c.family == LoopbackServer::Family::kIPv4 ? u"127.0.0.1" : u"::1", 25);
    ASSERT_TRUE(this->RunUntil([&] { return events.Connected(); }));
    std::string expected = c.option;
    if (expected.empty()) expected = full.empty() ? c.literal : full;
    const Variant value = socket->ReadSetting(socket_setting::kLocalHostName);
    ASSERT_NE(value.get_if<String>(), nullptr);
    EXPECT_EQ(ToUtf8(*value.get_if<String>()), expected);
    this->Finish(*socket);
  }
}

TYPED_TEST_P(SocketContract, ClearingTheSettingsDropsTextLeftByAnEarlierConnection) {
  LoopbackServer server(
      [](Peer& peer) {
        peer.Send("220 first\r\n\xE2");  // ends inside a character
        peer.ReadToEnd(1s);
      },
      LoopbackServer::Family::kIPv4, 2);
  ASSERT_TRUE(server.ok());
  auto socket = this->Make(ToPort(server.port()));
  Recorder events(*socket);
  events.fetch = false;
  socket->Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(this->RunUntil([&] { return socket->BytesWaiting() == 12; }));
  socket->Close();
  for (Integer id : {2, 1, 10, 3}) socket->WriteSetting(id, Variant(Integer{0}));
  EXPECT_EQ(socket->BytesWaiting(), 0u);
  EXPECT_EQ(socket->GetData(), u"");
  // A new connection starts clean, without the cut character.
  socket->Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(this->RunUntil([&] { return socket->BytesWaiting() == 12; }));
  EXPECT_EQ(socket->GetData(), u"220 first\r\n");
  this->Finish(*socket);
}

// Each step hands over several pieces of every kind; what arrives is every
// piece in call order, across steps and around texts encoded later (one
// whose estimate falls short included). Ill-formed UTF-8 goes out as its
// decoded form would, on every host.
TYPED_TEST_P(SocketContract, KeepsCallOrderAcrossStepsAndKindsOfPiece) {
  std::string big(3 << 20, 'b');
  for (std::size_t i = 0; i < big.size(); i += 997) big[i] = static_cast<char>('c' + i % 20);
  const std::string under = big.substr(0, 300'001);
  std::string expected;
  LoopbackServer server([](Peer& peer) { peer.ReadUntil("END\r\n", 10s); });
  ASSERT_TRUE(server.ok());
  auto socket = this->Make(ToPort(server.port()));
  Recorder events(*socket);
  socket->Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(this->RunUntil([&] { return events.Connected(); }));
  int steps = 0;
  for (int step = 0; step < 4; ++step) {
    this->host.loop().Post([&, step] {
      const std::string n = std::to_string(step);
      socket->SendData(FromUtf8("data " + n + "\r\n"));
      socket->SendText(std::make_unique<TextOf>("text " + n + "\r\n" + (step == 1 ? big : "")));
      if (step == 2) socket->SendText(std::make_unique<TextOf>(under, 7));
      socket->SendUtf8("utf8 \xc3\xa9 " + n + "\r\n");
      socket->SendUtf8("bad \xff " + n + "\r\n");
      expected += "data " + n + "\r\ntext " + n + "\r\n" + (step == 1 ? big : "") +
                  (step == 2 ? under : "") + "utf8 \xc3\xa9 " + n + "\r\nbad \xc3\xbf " + n +
                  "\r\n";
      ++steps;
    });
  }
  ASSERT_TRUE(this->RunUntil([&] { return steps == 4 && socket->BytesQueued() == 0; }, 5s));
  // A long piece with nothing queued goes straight to the kernel, which takes
  // only part of one this long; the rest and what follows keep their order.
  this->host.loop().Post([&] {
    const std::string longer(12 << 20, 'L');
    socket->SendUtf8(longer);
    EXPECT_LT(socket->BytesQueued(), longer.size());
    socket->SendUtf8("after\r\n");
    socket->SendData(u"END\r\n");
    expected += longer + "after\r\nEND\r\n";
    ++steps;
  });
  ASSERT_TRUE(this->RunUntil([&] { return steps == 5 && socket->BytesQueued() == 0; }, 5s));
  ASSERT_TRUE(this->RunUntil([&] { return server.finished() == 1; }, 10s));
  EXPECT_EQ(server.transcripts()[0], expected);
  this->Finish(*socket);
}

// Ticks keep coming while a large write waits for a peer that does not read.
TYPED_TEST_P(SocketContract, ALargeWriteDoesNotStallTheLoop) {
  constexpr std::size_t kSize = 32 << 20;
  // The peer reads only once the ticks have been seen, however slowly a busy
  // machine runs them (bounded, so a failing test still ends).
  std::atomic<bool> read_now{false};
  LoopbackServer server([&read_now](Peer& peer) {
    for (int i = 0; i < 1000 && !read_now; ++i) usleep(10'000);
    peer.ReadToEnd(5s);
  });
  ASSERT_TRUE(server.ok());
  auto socket = this->Make(ToPort(server.port()));
  Recorder events(*socket);
  TickTimer timer(this->host.loop(), this->gate);
  struct Ticks : TimerEvents {
    int count = 0;
    void OnTimer() override { ++count; }
  } ticks;
  timer.SetEvents(&ticks);
  timer.SetInterval(10);
  socket->Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(this->RunUntil([&] { return events.Connected(); }));
  String body(kSize, u'a');
  body[kSize - 1] = u'z';
  socket->SendData(body);
  EXPECT_GT(socket->BytesQueued(), 0u);
  timer.SetEnabled(true);
  ASSERT_TRUE(this->RunUntil([&] { return ticks.count >= 5; }));
  EXPECT_GT(socket->BytesQueued(), 0u);
  read_now = true;
  timer.SetEnabled(false);
  ASSERT_TRUE(this->RunUntil([&] { return socket->BytesQueued() == 0; }, 5s));
  socket->Close();
  ASSERT_TRUE(this->RunUntil([&] { return server.finished() == 1; }, 5s));
  const std::string got = server.transcripts()[0];
  ASSERT_EQ(got.size(), kSize);
  EXPECT_EQ(got.find_first_not_of('a'), kSize - 1);
}

// Text handed over after the peer has reset the connection (and while reading
// is paused, so only the write can find out) fails it with one error; an
// owner may destroy the socket inside that notification.
TYPED_TEST_P(SocketContract, AWriteIntoAResetConnectionFailsIt) {
  LoopbackServer server([](Peer& peer) {
    peer.Send(std::string(256, 'x'));
    usleep(50'000);
    peer.Reset();
  });
  ASSERT_TRUE(server.ok());
  SocketOptions options = ToPort(server.port());
  options.read_buffer_size = 64;
  options.receive_limit = 64;
  auto socket = this->Make(options);
  Recorder events(*socket);
  events.fetch = false;
  events.on_error = [&] { socket.reset(); };
  socket->Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(this->RunUntil([&] { return events.Has("Data"); }));
  usleep(150'000);  // the reset arrives meanwhile; the loop has nothing to wait for
  ASSERT_FALSE(events.Failed());
  socket->SendData(u"QUIT\r\n");
  ASSERT_TRUE(this->RunUntil([&] { return events.Failed(); }));
  this->host.RunFor(50ms);
  EXPECT_EQ(socket, nullptr);
  const std::vector<std::string> expected = {"Connect", "Data",
                                             "Error 10054 Connection reset by peer"};
  EXPECT_EQ(events.events, expected);
}

TYPED_TEST_P(SocketContract, StopsReadingWhileTheOwnerDoesNotFetch) {
  constexpr std::size_t kFlood = 8 << 20;
  LoopbackServer server([](Peer& peer) { peer.Send(std::string(kFlood, 'f')); });
  ASSERT_TRUE(server.ok());
  SocketOptions options = ToPort(server.port());
  options.receive_limit = 64 << 10;
  auto socket = this->Make(options);
  Recorder events(*socket);
  events.fetch = false;
  socket->Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(this->RunUntil([&] { return socket->BytesWaiting() >= (64u << 10); }));
  this->host.RunFor(50ms);
  EXPECT_LE(socket->BytesWaiting(), (64u << 10) + 4096);
  std::size_t total = 0;
  events.on_data = [&] { total += socket->GetData().size(); };
  total += socket->GetData().size();
  ASSERT_TRUE(this->RunUntil([&] { return total == kFlood; }, 5s));
  this->Finish(*socket);
}

// The notification means the peer has the text, not that this side's kernel
// holds it; a peer that takes nothing fails the connection after the stall
// limit, also once it has closed its side; every wait ends. Only text the
// owner asked about is followed.
TYPED_TEST_P(SocketContract, SendCompleteFollowsThePeerAndEveryWaitEnds) {
  enum class Peers { kReads, kReadsLate, kAnswers, kNeverReads, kRefusesAndCloses, kHalfCloses };
  struct Case {
    const char* name;
    std::size_t size;
    Peers peer;
    bool request;
    std::vector<std::string> expected;  // notifications after Connect
  };
  const std::string stalled =
      "Error 10060 Timed out sending: the server took no data for 0.4 seconds";
  for (const Case& c : {
           Case{"ALineThePeerTakesAtOnce", 6, Peers::kReads, true, {"SendComplete"}},
           Case{"ALineNotAskedAbout", 6, Peers::kReads, false, {}},
           Case{"ABodyNotAskedAbout", 2 << 20, Peers::kAnswers, false, {"Data"}},
           Case{"ABodyThePeerTakesLate", 2 << 20, Peers::kReadsLate, true, {"SendComplete"}},
           Case{"ABodyThePeerAnswers", 2 << 20, Peers::kAnswers, true, {"SendComplete", "Data"}},
           Case{"ABodyThePeerNeverTakes", 2 << 20, Peers::kNeverReads, true, {stalled}},
           // A server that reads the message, refuses it for now and closes.
           Case{"ARefusalAndClose",
                2 << 20,
                Peers::kRefusesAndCloses,
                true,
                {"SendComplete", "Data"}},
           Case{"AHalfCloseWithoutReading", 2 << 20, Peers::kHalfCloses, true, {stalled}},
       }) {
    SCOPED_TRACE(c.name);
    std::atomic<std::chrono::steady_clock::time_point::rep> reading_from{0};
    LoopbackServer server(
        [&](Peer& peer) {
          if (c.peer == Peers::kHalfCloses) peer.HalfClose();
          if (c.peer == Peers::kReadsLate || c.peer == Peers::kAnswers) usleep(300'000);
          if (c.peer == Peers::kNeverReads || c.peer == Peers::kHalfCloses) usleep(2'000'000);
          reading_from = std::chrono::steady_clock::now().time_since_epoch().count();
          if (c.peer == Peers::kRefusesAndCloses) {
            if (peer.ReadUntil("\r\n", 5s)) peer.Send("421 4.7.0 try again later\r\n");
            return;
          }
          if (c.peer == Peers::kAnswers && peer.ReadUntil("\r\n", 5s)) peer.Send("250 ok\r\n");
          peer.ReadToEnd(3s);
        },
        LoopbackServer::Family::kIPv4, 1, 4096);
    ASSERT_TRUE(server.ok());
    SocketOptions options = ToPort(server.port());
    options.stall_limit = 400ms;
    auto socket = this->Make(options);
    EXPECT_TRUE(socket->ReportsSendComplete());
    Recorder events(*socket);
    socket->Connect(u"127.0.0.1", 25);
    ASSERT_TRUE(this->RunUntil([&] { return events.Connected(); }));
    socket->SendData(String(c.size, u'x') + u"\r\n");
    if (c.request) socket->RequestSendComplete();
    const std::size_t want = c.expected.size() + 1;
    if (want > 1) {
      ASSERT_TRUE(this->RunUntil([&] { return events.events.size() >= want; }, 5s));
    }
    this->host.RunFor(want > 1 ? 100ms : 300ms);  // nothing more follows
    const std::vector<std::string> after(events.events.begin() + 1, events.events.end());
    EXPECT_EQ(after, c.expected);
    if (events.Has("SendComplete") && c.peer == Peers::kReadsLate) {
      EXPECT_GE(events.send_complete_at.time_since_epoch().count(), reading_from.load());
      // Text handed later has a notification of its own, when asked for.
      socket->SendData(u"QUIT\r\n");
      socket->RequestSendComplete();
      ASSERT_TRUE(this->RunUntil([&] { return events.Count("SendComplete") == 2; }));
    }
    socket->Close();
    this->host.RunFor(20ms);
  }
}

TYPED_TEST_P(SocketContract, TracesEveryPieceEachWayInOrder) {
  LoopbackServer server([](Peer& peer) {
    peer.Send("220 hi\r\n");
    if (!peer.ReadUntil("<a@b>\r\n")) return;
    peer.Send("250 gr\xC3\xBC\xC3");
    usleep(20'000);
    peer.Send(
        "\x9F"
        "e\r\n");
    if (peer.ReadUntil("QUIT\r\n")) peer.Send("221 bye\r\n");
    peer.ReadToEnd(1s);
  });
  ASSERT_TRUE(server.ok());
  using Piece = std::pair<WireDirection, std::string>;
  std::vector<Piece> trace;
  SocketOptions options = ToPort(server.port());
  options.wire_trace = [&trace](WireDirection direction, std::string_view piece) {
    if (!trace.empty() && trace.back().first == direction &&
        direction == WireDirection::kReceived) {
      trace.back().second += piece;  // TCP may cut received text anywhere
    } else {
      trace.emplace_back(direction, piece);
    }
  };
  auto socket = this->Make(options);
  Recorder events(*socket);
  socket->Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(this->RunUntil([&] { return events.text == u"220 hi\r\n"; }));
  socket->SendData(u"HELO b\u00fcro\r\n");
  socket->SendData(u"");  // nothing goes out, nothing is traced
  socket->SendData(u"MAIL FROM: <a@b>\r\n");
  ASSERT_TRUE(this->RunUntil([&] { return events.text.ends_with(u"e\r\n"); }));
  socket->SendData(u"QUIT\r\n");
  socket->Close();  // the server's 221 still arrives, for no one
  ASSERT_TRUE(this->RunUntil([&] { return server.finished() == 1; }));
  const std::vector<Piece> expected = {
      {WireDirection::kReceived, "220 hi\r\n"},
      {WireDirection::kSent, "HELO b\xC3\xBCro\r\n"},
      {WireDirection::kSent, "MAIL FROM: <a@b>\r\n"},
      {WireDirection::kReceived,
       "250 gr\xC3\xBC\xC3\x9F"
       "e\r\n"},
      {WireDirection::kSent, "QUIT\r\n"},
  };
  EXPECT_EQ(trace, expected);
}

REGISTER_TYPED_TEST_SUITE_P(
    SocketContract, ConnectsToTheGivenPortAndGathersPiecesInOrder,
    ReachesNamesLiteralsAndPortsAsAsked, ReportsOneErrorWithAReadableDescription,
    AResetGivesAnErrorAndAnOrderlyCloseGivesState8, EncodesUtf8AndDecodesAcrossPieceBoundaries,
    CloseDeliversQueuedTextWithinTheLinger, RefusesWritesAndConnectsInTheWrongState,
    HeloNameIsTheOptionTheFullNameOrTheAddressLiteral,
    ClearingTheSettingsDropsTextLeftByAnEarlierConnection, KeepsCallOrderAcrossStepsAndKindsOfPiece,
    ALargeWriteDoesNotStallTheLoop, AWriteIntoAResetConnectionFailsIt,
    StopsReadingWhileTheOwnerDoesNotFetch, SendCompleteFollowsThePeerAndEveryWaitEnds,
    TracesEveryPieceEachWayInOrder);

}  // namespace qv::connection::contract
