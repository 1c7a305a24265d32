#include "qv/runtime/asio_socket.hpp"

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

#include "local_host_name.hpp"
#include "loopback_server.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"
#include "qv/runtime/asio_timer.hpp"
#include "qv/runtime/event_loop.hpp"

namespace qv::runtime {
namespace {

using namespace std::chrono_literals;
using test_support::LoopbackServer;
using test_support::Peer;
using test_support::UnusedLoopbackPort;

// Records the socket's notifications; fetches arriving text unless told not to.
class Recorder : public SocketEvents {
 public:
  explicit Recorder(AsioSocket& socket) : socket_(&socket) { socket.SetEvents(this); }

  std::vector<std::string> events;
  String text;
  bool fetch = true;
  Long error_number = 0;
  std::string error_text;
  std::function<void()> on_connect;
  std::function<void()> on_data;
  std::function<void()> on_error;
  std::chrono::steady_clock::time_point send_complete_at;

  void OnConnect() override {
    events.push_back("Connect");
    if (on_connect) on_connect();
  }
  void OnDataArrival(Long bytes_total) override {
    events.push_back("Data");
    EXPECT_GT(bytes_total, 0);
    if (fetch) text += socket_->GetData();
    if (on_data) on_data();
  }
  void OnSendComplete() override {
    events.push_back("SendComplete");
    send_complete_at = std::chrono::steady_clock::now();
  }
  void OnError(Long number, const String& description) override {
    error_number = number;
    error_text = ToUtf8(description);
    events.push_back("Error " + std::to_string(number) + " " + error_text);
    if (on_error) on_error();
  }

  bool Connected() const { return Has("Connect"); }
  bool Failed() const { return error_number != 0; }
  bool Has(const std::string& event) const { return Count(event) > 0; }
  int Count(const std::string& event) const {
    int n = 0;
    for (const auto& e : events) n += e == event ? 1 : 0;
    return n;
  }

 private:
  AsioSocket* socket_;
};

SocketOptions RedirectTo(std::uint16_t port) {
  SocketOptions options;
  options.port_25_redirect = port;
  return options;
}

TEST(AsioSocket, ConnectsThroughThePortRedirectAndGathersPiecesInOrder) {
  LoopbackServer server([](Peer& peer) {
    peer.Send("220 mail");
    usleep(20'000);
    peer.Send(".example ready");
    usleep(20'000);
    peer.Send("\r\n");
    peer.ReadUntil("QUIT\r\n");
  });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  Recorder events(socket);

  socket.Connect(u"127.0.0.1", 25);
  EXPECT_EQ(socket.State(), socket_state::kConnecting);
  ASSERT_TRUE(loop.RunUntil([&] { return events.text.size() >= 24; }, 3s));
  EXPECT_EQ(socket.State(), socket_state::kConnected);
  EXPECT_EQ(events.text, u"220 mail.example ready\r\n");
  EXPECT_EQ(events.events.front(), "Connect");
  socket.SendData(u"QUIT\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return server.finished() == 1; }, 3s));
}

TEST(AsioSocket, ResolvesNamesBeforeConnecting) {
  LoopbackServer server([](Peer& peer) { peer.Send("220 hi\r\n"); });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  Recorder events(socket);

  // localhost may resolve to ::1 as well; every address is tried in turn.
  socket.Connect(u"localhost", 25);
  EXPECT_EQ(socket.State(), socket_state::kResolvingHost);
  ASSERT_TRUE(loop.RunUntil([&] { return !events.text.empty() || events.Failed(); }, 3s));
  EXPECT_EQ(events.text, u"220 hi\r\n");
}

TEST(AsioSocket, PortsOtherThan25AreNotRedirected) {
  LoopbackServer server([](Peer& peer) { peer.Send("ok\r\n"); });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(UnusedLoopbackPort()));
  Recorder events(socket);

  socket.Connect(u"127.0.0.1", static_cast<Integer>(server.port()));
  ASSERT_TRUE(loop.RunUntil([&] { return !events.text.empty() || events.Failed(); }, 3s));
  EXPECT_EQ(events.text, u"ok\r\n");
}

TEST(AsioSocket, ConnectsOverIPv6Loopback) {
  LoopbackServer server([](Peer& peer) { peer.Send("220 six\r\n"); }, LoopbackServer::Family::kIPv6,
                        2);
  if (!server.ok()) GTEST_SKIP() << "no IPv6 loopback here";
  for (const char16_t* host : {u"::1", u"[::1]"}) {
    SCOPED_TRACE(ToUtf8(host));
    EventLoop loop;
    AsioSocket socket(loop, RedirectTo(server.port()));
    Recorder events(socket);
    socket.Connect(host, 25);
    ASSERT_TRUE(loop.RunUntil([&] { return !events.text.empty() || events.Failed(); }, 3s));
    EXPECT_EQ(events.text, u"220 six\r\n");
  }
}

struct FailureCase {
  const char* name;
  std::u16string host;
  Long number;
  std::string text;
};

class AsioSocketFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(AsioSocketFailure, ReportsOneErrorWithAReadableDescription) {
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(UnusedLoopbackPort()));
  Recorder events(socket);

  socket.Connect(GetParam().host, 25);
  ASSERT_TRUE(loop.RunUntil([&] { return events.Failed(); }, 3s));
  EXPECT_EQ(socket.State(), socket_state::kError);
  EXPECT_EQ(events.error_number, GetParam().number);
  EXPECT_EQ(events.error_text, GetParam().text);
  EXPECT_EQ(events.events.size(), 1u);
  loop.RunFor(20ms);
  EXPECT_EQ(events.events.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AsioSocketFailure,
    ::testing::Values(FailureCase{"Refused", u"127.0.0.1", socket_error::kConnectionRefused,
                                  "Connection refused"},
                      // An empty label fails in the resolver itself, without asking the network.
                      FailureCase{"UnknownHost", u"bad..name.invalid", socket_error::kHostNotFound,
                                  "Host not found: bad..name.invalid"},
                      FailureCase{"EmptyHost", u"", socket_error::kHostNotFound,
                                  "No host name given"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AsioSocket, AResetGivesAnErrorAndAnOrderlyCloseGivesState8) {
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
    EventLoop loop;
    AsioSocket socket(loop, RedirectTo(server.port()));
    Recorder events(socket);
    socket.Connect(u"127.0.0.1", 25);
    ASSERT_TRUE(loop.RunUntil(
        [&] {
          return socket.State() == socket_state::kPeerClosing ||
                 socket.State() == socket_state::kError;
        },
        3s));
    loop.RunFor(20ms);
    EXPECT_EQ(events.text, u"421 going away\r\n");
    if (reset) {
      EXPECT_EQ(socket.State(), socket_state::kError);
      EXPECT_EQ(events.error_number, socket_error::kConnectionReset);
      EXPECT_EQ(events.error_text, "Connection reset by peer");
    } else {
      EXPECT_EQ(socket.State(), socket_state::kPeerClosing);
      EXPECT_FALSE(events.Failed());
      EXPECT_THROW(socket.SendData(u"QUIT\r\n"), AutomationError);
    }
  }
}

TEST(AsioSocket, EncodesUtf8AndDecodesAcrossPieceBoundaries) {
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
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  Recorder events(socket);
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return events.Connected(); }, 3s));
  socket.SendData(u"Gr\u00fc\u00dfe \u20ac \U0001F600\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return socket.State() == socket_state::kPeerClosing; }, 3s));
  loop.RunFor(10ms);
  EXPECT_EQ(events.text, u"Gr\u00fc\u00dfe \u20ac \U0001F600|\u00ff|\u00e2\u0082");
  ASSERT_EQ(server.transcripts().size(), 1u);
  EXPECT_EQ(server.transcripts()[0], utf8 + "\r\n");
}

TEST(AsioSocket, CloseStillDeliversQueuedTextAndNotifiesNothingMore) {
  LoopbackServer server([](Peer& peer) {
    peer.Send("250 ok\r\n");
    if (peer.ReadUntil("QUIT\r\n")) peer.Send("221 bye\r\n");
    peer.ReadToEnd();
  });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  Recorder events(socket);
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return !events.text.empty(); }, 3s));

  socket.SendData(u"QUIT\r\n");
  socket.Close();
  EXPECT_EQ(socket.State(), socket_state::kClosed);
  const auto seen = events.events.size();
  // The connection winds down by itself; then the loop has no work left.
  const auto start = std::chrono::steady_clock::now();
  loop.Run();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(events.events.size(), seen);
  ASSERT_EQ(server.transcripts().size(), 1u);
  EXPECT_EQ(server.transcripts()[0], "QUIT\r\n");
}

TEST(AsioSocket, CloseGivesUpOnAPeerThatStopsReading) {
  LoopbackServer server([](Peer& peer) {
    peer.Send("220 hi\r\n");
    usleep(600'000);  // reads nothing meanwhile
    peer.ReadToEnd(1s);
  });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  SocketOptions options = RedirectTo(server.port());
  options.close_linger = 150ms;
  AsioSocket socket(loop, options);
  Recorder events(socket);
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return !events.text.empty(); }, 3s));

  socket.SendData(String(16 << 20, u'x'));  // far more than the socket buffers hold
  socket.Close();
  const auto start = std::chrono::steady_clock::now();
  loop.Run();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 100ms);
  EXPECT_LT(took, 500ms);
}

TEST(AsioSocket, RefusesWritesAndConnectsInTheWrongState) {
  EventLoop loop;
  AsioSocket socket(loop);
  try {
    socket.SendData(u"HELO x\r\n");
    FAIL() << "SendData on a closed socket was accepted";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 40006);
    EXPECT_STREQ(e.what(),
                 "Wrong protocol or connection state for the requested transaction or request");
  }
  try {
    socket.Connect(u"127.0.0.1", 0);
    FAIL() << "port 0 was accepted";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), socket_error::kInvalidPropertyValue);
  }
  socket.Connect(u"127.0.0.1", static_cast<Integer>(UnusedLoopbackPort()));
  try {
    socket.Connect(u"127.0.0.1", 25);
    FAIL() << "a second Connect was accepted";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), socket_error::kInvalidOperation);
  }
  EXPECT_THROW(socket.SendData(u"early\r\n"), AutomationError);
  EXPECT_THROW(socket.WriteSetting(2, Variant(Integer{0})), AutomationError);
  socket.Close();
  EXPECT_NO_THROW(socket.Close());  // accepted in every state
  EXPECT_THROW(socket.ReadSetting(4), AutomationError);
  EXPECT_THROW(socket.WriteSetting(7, Variant(Integer{0})), AutomationError);
}

struct HeloNameCase {
  const char* name;
  LoopbackServer::Family family;
  std::string option;   // SocketOptions::local_host_name
  std::string literal;  // expected without a fully qualified name
};

class AsioSocketHeloName : public ::testing::TestWithParam<HeloNameCase> {};

TEST_P(AsioSocketHeloName, IsTheOptionTheFullNameOrTheLocalAddressLiteral) {
  const HeloNameCase& c = GetParam();
  LoopbackServer server([](Peer& peer) { peer.ReadToEnd(1s); }, c.family);
  if (!server.ok()) GTEST_SKIP() << "no such loopback here";
  EventLoop loop;
  SocketOptions options = RedirectTo(server.port());
  options.local_host_name = c.option;
  AsioSocket socket(loop, options);
  Recorder events(socket);
  socket.Connect(c.family == LoopbackServer::Family::kIPv4 ? u"127.0.0.1" : u"::1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return events.Connected(); }, 3s));

  const std::string full = FullyQualifiedHostName();
  std::string expected = c.option;
  if (expected.empty()) expected = full.empty() ? c.literal : full;
  const Variant value = socket.ReadSetting(socket_setting::kLocalHostName);
  ASSERT_NE(value.get_if<String>(), nullptr);
  EXPECT_EQ(ToUtf8(*value.get_if<String>()), expected);
  if (!full.empty()) {
    EXPECT_NE(full.find('.'), std::string::npos);
  }
  socket.Close();
  loop.Run();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AsioSocketHeloName,
    ::testing::Values(
        HeloNameCase{"AutomaticIPv4", LoopbackServer::Family::kIPv4, "", "[127.0.0.1]"},
        HeloNameCase{"AutomaticIPv6", LoopbackServer::Family::kIPv6, "", "[IPv6:::1]"},
        HeloNameCase{"SetByTheHost", LoopbackServer::Family::kIPv4, "relay.example.org", ""},
        HeloNameCase{"SetNonAscii", LoopbackServer::Family::kIPv4, "b\xC3\xBCro.example", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AsioSocket, RefusesAHeloNameThatWouldAddACommandLine) {
  EventLoop loop;
  for (const char* name : {"a.example\r\nRSET", "a b", "tab\there", "nul\x7F"}) {
    SocketOptions options;
    options.local_host_name = name;
    EXPECT_THROW(AsioSocket socket(loop, options), AutomationError) << name;
  }
}

TEST(AsioSocket, AddressLiteralsFollowTheMailForm) {
  const std::pair<const char*, const char*> cases[] = {
      {"192.0.2.1", "[192.0.2.1]"},
      {"2001:db8::1", "[IPv6:2001:db8::1]"},
      {"::ffff:192.0.2.7", "[192.0.2.7]"},  // an IPv4 peer on a dual-stack socket
      {"fe80::1%1", "[IPv6:fe80::1]"},      // the zone means nothing to the server
  };
  for (const auto& [address, literal] : cases) {
    EXPECT_EQ(detail::AddressLiteral(asio::ip::make_address(address)), literal) << address;
  }
}

TEST(AsioSocket, ClearingTheSettingsDropsTextLeftByAnEarlierConnection) {
  LoopbackServer server([](Peer& peer) { peer.Send("550 leftover\r\n"); });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  Recorder events(socket);
  events.fetch = false;
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return events.Has("Data"); }, 3s));
  EXPECT_EQ(socket.BytesWaiting(), 14u);
  socket.Close();
  for (Integer id : {2, 1, 10, 3}) socket.WriteSetting(id, Variant(Integer{0}));
  EXPECT_EQ(socket.BytesWaiting(), 0u);
  EXPECT_EQ(socket.GetData(), u"");
}

TEST(AsioSocket, WritesPiecesInCallOrder) {
  std::string expected;
  for (int i = 0; i < 500; ++i) expected += "line " + std::to_string(i) + "\r\n";
  LoopbackServer server([&expected](Peer& peer) {
    peer.ReadUntil("line 499\r\n");
    peer.Send("done\r\n");
  });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  Recorder events(socket);
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return events.Connected(); }, 3s));
  for (int i = 0; i < 500; ++i) socket.SendData(FromUtf8("line " + std::to_string(i) + "\r\n"));
  ASSERT_TRUE(loop.RunUntil([&] { return !events.text.empty(); }, 3s));
  ASSERT_TRUE(loop.RunUntil([&] { return server.finished() == 1; }, 3s));
  EXPECT_EQ(server.transcripts()[0], expected);
}

// A text handed over whole but encoded as the connection drains. Its estimate
// of what remains may fall short of the truth, as a non-ASCII text's does.
class TextOf final : public OutgoingText {
 public:
  explicit TextOf(std::string bytes, std::size_t estimate_divisor = 1)
      : bytes_(std::move(bytes)), divisor_(estimate_divisor) {}
  std::size_t Encode(char* out, std::size_t room) override {
    const std::size_t n = std::min(room, bytes_.size() - offset_);
    bytes_.copy(out, n, offset_);
    offset_ += n;
    return n;
  }
  std::size_t Remaining() const override {
    const std::size_t left = bytes_.size() - offset_;
    return left == 0 ? 0 : std::max<std::size_t>(1, left / divisor_);
  }
  String Whole() const override { return FromUtf8(bytes_); }

 private:
  std::string bytes_;
  std::size_t divisor_;
  std::size_t offset_ = 0;
};

// Each step hands over several pieces of every kind; what arrives is every
// piece in call order, across steps and around texts encoded later, a text
// whose estimate falls short of its size included.
TEST(AsioSocket, KeepsCallOrderAcrossStepsAndKindsOfPiece) {
  std::string big(3 << 20, 'b');
  for (std::size_t i = 0; i < big.size(); i += 997) big[i] = static_cast<char>('c' + i % 20);
  const std::string under = big.substr(0, 300'001);
  std::string expected;
  LoopbackServer server([](Peer& peer) { peer.ReadUntil("END\r\n"); });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  Recorder events(socket);
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return events.Connected(); }, 3s));
  int steps = 0;
  for (int step = 0; step < 4; ++step) {
    loop.Post([&, step] {
      const std::string n = std::to_string(step);
      socket.SendData(FromUtf8("data " + n + "\r\n"));
      socket.SendText(std::make_unique<TextOf>("text " + n + "\r\n" + (step == 1 ? big : "")));
      if (step == 2) socket.SendText(std::make_unique<TextOf>(under, 7));
      socket.SendUtf8("utf8 \xc3\xa9 " + n + "\r\n");
      socket.SendUtf8("bad \xff " + n + "\r\n");
      expected += "data " + n + "\r\ntext " + n + "\r\n" + (step == 1 ? big : "") +
                  (step == 2 ? under : "") + "utf8 \xc3\xa9 " + n + "\r\nbad \xc3\xbf " + n +
                  "\r\n";
      ++steps;
    });
  }
  ASSERT_TRUE(loop.RunUntil([&] { return steps == 4 && socket.BytesQueued() == 0; }, 5s));
  // A long piece with nothing queued goes straight to the kernel, which takes
  // only part of one this long; the rest and what follows keep their order.
  loop.Post([&] {
    const std::string longer(12 << 20, 'L');
    socket.SendUtf8(longer);
    EXPECT_LT(socket.BytesQueued(), longer.size());
    socket.SendUtf8("after\r\n");
    socket.SendData(u"END\r\n");
    expected += longer + "after\r\nEND\r\n";
    ++steps;
  });
  ASSERT_TRUE(loop.RunUntil([&] { return steps == 5 && socket.BytesQueued() == 0; }, 5s));
  ASSERT_TRUE(loop.RunUntil([&] { return server.finished() == 1; }, 5s));
  EXPECT_EQ(server.transcripts()[0], expected);
}

TEST(AsioSocket, ALargeWriteDoesNotStallTheLoop) {
  constexpr std::size_t kSize = 32 << 20;
  LoopbackServer server([](Peer& peer) {
    usleep(150'000);  // let the client's buffers fill first
    peer.ReadToEnd(5s);
  });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  Recorder events(socket);
  AsioTimer timer(loop);
  struct Ticks : TimerEvents {
    int count = 0;
    void OnTimer() override { ++count; }
  } ticks;
  timer.SetEvents(&ticks);
  timer.SetInterval(10);
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return events.Connected(); }, 3s));

  String body(kSize, u'a');
  body[kSize - 1] = u'z';
  socket.SendData(body);
  EXPECT_GT(socket.BytesQueued(), 0u);
  timer.SetEnabled(true);
  // Ticks keep coming while the peer is not reading.
  ASSERT_TRUE(loop.RunUntil([&] { return ticks.count >= 5; }, 3s));
  EXPECT_GT(socket.BytesQueued(), 0u);
  timer.SetEnabled(false);
  ASSERT_TRUE(loop.RunUntil([&] { return socket.BytesQueued() == 0; }, 5s));
  socket.Close();
  loop.Run();
  const auto transcripts = server.transcripts();
  ASSERT_EQ(transcripts.size(), 1u);
  const std::string& got = transcripts[0];
  ASSERT_EQ(got.size(), kSize);
  EXPECT_EQ(got.back(), 'z');
  EXPECT_EQ(got.find_first_not_of('a'), kSize - 1);
}

// Text handed over after the peer has reset the connection (and while reading
// is paused, so only the write can find out) fails it with one error.
TEST(AsioSocket, AWriteIntoAResetConnectionFailsIt) {
  LoopbackServer server([](Peer& peer) {
    peer.Send(std::string(256, 'x'));
    usleep(50'000);
    peer.Reset();
  });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  SocketOptions options = RedirectTo(server.port());
  options.read_buffer_size = 64;
  options.receive_limit = 64;
  AsioSocket socket(loop, options);
  Recorder events(socket);
  events.fetch = false;
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return events.Has("Data"); }, 3s));
  usleep(150'000);  // the reset arrives meanwhile; the loop has nothing to wait for
  ASSERT_FALSE(events.Failed());
  socket.SendData(u"QUIT\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return events.Failed(); }, 3s));
  loop.RunFor(50ms);
  EXPECT_EQ(socket.State(), socket_state::kError);
  const std::vector<std::string> expected = {"Connect", "Data",
                                             "Error 10054 Connection reset by peer"};
  EXPECT_EQ(events.events, expected);
}

TEST(AsioSocket, StopsReadingWhileTheOwnerDoesNotFetch) {
  constexpr std::size_t kFlood = 8 << 20;
  LoopbackServer server([](Peer& peer) { peer.Send(std::string(kFlood, 'f')); });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  SocketOptions options = RedirectTo(server.port());
  options.receive_limit = 64 << 10;
  AsioSocket socket(loop, options);
  Recorder events(socket);
  events.fetch = false;
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return socket.BytesWaiting() >= (64u << 10); }, 3s));
  loop.RunFor(50ms);
  EXPECT_LE(socket.BytesWaiting(), (64u << 10) + 4096);

  std::size_t total = 0;
  events.on_data = [&] { total += socket.GetData().size(); };
  total += socket.GetData().size();
  ASSERT_TRUE(loop.RunUntil([&] { return total == kFlood; }, 5s));
}

TEST(AsioSocket, AnOwnerMayDestroyTheSocketInsideANotification) {
  LoopbackServer server([](Peer& peer) {
    peer.Send("220 hi\r\n");
    usleep(20'000);
    peer.Reset();
  });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  auto socket = std::make_unique<AsioSocket>(loop, RedirectTo(server.port()));
  Recorder events(*socket);
  bool destroyed = false;
  events.on_error = [&] {
    socket.reset();
    destroyed = true;
  };
  socket->Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return destroyed; }, 3s));
  loop.Run();
  EXPECT_EQ(events.error_number, socket_error::kConnectionReset);
}

TEST(AsioSocket, NothingArrivesFromAPeerThatNeverAnswers) {
  LoopbackServer server([](Peer& peer) { peer.ReadUntil("never", 300ms); });
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  Recorder events(socket);
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return events.Connected(); }, 3s));
  loop.RunFor(100ms);
  EXPECT_EQ(events.events, std::vector<std::string>{"Connect"});
  EXPECT_EQ(socket.State(), socket_state::kConnected);
  socket.Close();
}

TEST(AsioSocket, ANewConnectionAfterCloseStartsClean) {
  LoopbackServer server(
      [](Peer& peer) {
        peer.Send("220 first\r\n\xE2");  // ends inside a character
        peer.ReadToEnd(1s);
      },
      LoopbackServer::Family::kIPv4, 2);
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  AsioSocket socket(loop, RedirectTo(server.port()));
  Recorder events(socket);
  events.fetch = false;
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return socket.BytesWaiting() == 12; }, 3s));
  socket.Close();
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return socket.BytesWaiting() == 12; }, 3s));
  EXPECT_EQ(socket.GetData(), u"220 first\r\n");
  socket.Close();
  loop.Run();
}

struct SendCompleteCase {
  const char* name;
  std::size_t size;                      // bytes handed to SendData
  std::chrono::milliseconds peer_pause;  // the peer reads nothing for this long
  std::chrono::milliseconds stall_limit;
  bool answer;                        // the peer answers once it has it all
  bool request;                       // RequestSendComplete after the text
  std::vector<std::string> expected;  // notifications after Connect
};

class AsioSocketSendComplete : public ::testing::TestWithParam<SendCompleteCase> {};

// The notification means the peer has the text, not that this side's kernel
// holds it: it never comes before the peer has started taking data, and a peer
// that takes nothing fails the connection after the stall limit instead. The
// peer's answer to the text never comes before the notification. Only text the
// owner asked about is followed.
TEST_P(AsioSocketSendComplete, FollowsThePeerNotTheLocalBuffer) {
  const SendCompleteCase& c = GetParam();
  std::atomic<std::chrono::steady_clock::time_point::rep> reading_from{0};
  LoopbackServer server(
      [&](Peer& peer) {
        std::this_thread::sleep_for(c.peer_pause);
        reading_from = std::chrono::steady_clock::now().time_since_epoch().count();
        if (c.answer && peer.ReadUntil("\r\n", 5s)) peer.Send("250 ok\r\n");
        peer.ReadToEnd(5s);
      },
      LoopbackServer::Family::kIPv4, 1, 4096);
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  SocketOptions options = RedirectTo(server.port());
  options.stall_limit = c.stall_limit;
  AsioSocket socket(loop, options);
  EXPECT_TRUE(socket.ReportsSendComplete());
  Recorder events(socket);
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return events.Connected(); }, 3s));

  socket.SendData(String(c.size, u'x') + u"\r\n");
  if (c.request) socket.RequestSendComplete();
  if (!c.expected.empty()) {
    ASSERT_TRUE(loop.RunUntil([&] { return events.events.size() > 1; }, 5s));
  }
  loop.RunFor(c.expected.empty() ? 300ms : 100ms);  // nothing more follows
  const std::vector<std::string> after(events.events.begin() + 1, events.events.end());
  EXPECT_EQ(after, c.expected);
  if (events.Has("SendComplete")) {
    // A body larger than the peer's buffer is not complete before it reads.
    if (c.peer_pause > 0ms) {
      EXPECT_GE(events.send_complete_at.time_since_epoch().count(), reading_from.load());
    }
    // Text handed later has a notification of its own, when asked for.
    socket.SendData(u"QUIT\r\n");
    socket.RequestSendComplete();
    ASSERT_TRUE(loop.RunUntil([&] { return events.Count("SendComplete") == 2; }, 3s));
  }
  socket.Close();
  loop.Run();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AsioSocketSendComplete,
    ::testing::Values(
        SendCompleteCase{"ALineThePeerTakesAtOnce", 6, 0ms, 60s, false, true, {"SendComplete"}},
        SendCompleteCase{"ALineNotAskedAbout", 6, 0ms, 60s, false, false, {}},
        SendCompleteCase{"ABodyNotAskedAbout", 2 << 20, 100ms, 60s, true, false, {"Data"}},
        SendCompleteCase{
            "ABodyThePeerTakesLate", 2 << 20, 400ms, 60s, false, true, {"SendComplete"}},
        SendCompleteCase{
            "ABodyThePeerAnswers", 2 << 20, 100ms, 60s, true, true, {"SendComplete", "Data"}},
        SendCompleteCase{
            "ABodyThePeerNeverTakes",
            2 << 20,
            3s,
            700ms,
            false,
            true,
            {"Error 10060 Timed out sending: the server took no data for 0.7 seconds"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AsioSocket, TracesEveryPieceEachWayInOrder) {
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
  EventLoop loop;
  using Piece = std::pair<WireDirection, std::string>;
  std::vector<Piece> trace;
  SocketOptions options = RedirectTo(server.port());
  options.wire_trace = [&trace](WireDirection direction, std::string_view piece) {
    if (!trace.empty() && trace.back().first == direction &&
        direction == WireDirection::kReceived) {
      trace.back().second += piece;  // TCP may cut received text anywhere
    } else {
      trace.emplace_back(direction, piece);
    }
  };
  AsioSocket socket(loop, options);
  Recorder events(socket);
  socket.Connect(u"127.0.0.1", 25);
  ASSERT_TRUE(loop.RunUntil([&] { return events.text == u"220 hi\r\n"; }, 3s));
  socket.SendData(u"HELO b\u00fcro\r\n");
  socket.SendData(u"");  // nothing goes out, nothing is traced
  socket.SendData(u"MAIL FROM: <a@b>\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return events.text.ends_with(u"e\r\n"); }, 3s));
  socket.SendData(u"QUIT\r\n");
  socket.Close();  // the server's 221 still arrives, for no one
  loop.Run();

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

}  // namespace
}  // namespace qv::runtime
