// The sink's server on the program's loop, with real clients on threads of their
// own and with a control on the same loop.
#include "sink/smtp_sink.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "program_runner.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/runtime/control_site.hpp"
#include "qv/runtime/event_loop.hpp"
#include "qv/testing/memory_sink_store.hpp"
#include "sink/maildir_store.hpp"
#include "sink/sink_tls.hpp"
#include "support/sink_conversation.hpp"

namespace qvsmtp::test_support {
namespace {

using qv::testing::MemorySinkStore;
using qv::testing::SinkObserver;
using qv::testing::StoredMessage;

using qv::test_support::kSinkConversation;
using qv::test_support::kSinkStoredData;
using qv::test_support::ReplyCodes;

// A blocking client on a thread of its own: sends its lines and keeps every
// byte the server answers until the server closes or time runs out.
class Client {
 public:
  Client(std::uint16_t port, std::vector<std::string> sends, std::chrono::milliseconds pause = 0ms)
      : thread_([this, port, sends = std::move(sends), pause] { Run(port, sends, pause); }) {}
  ~Client() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  // Valid after Join.
  const std::string& received() const { return received_; }
  bool closed_by_server() const { return closed_; }

 private:
  void Run(std::uint16_t port, const std::vector<std::string>& sends,
           std::chrono::milliseconds pause) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return;
    }
    for (const std::string& text : sends) {
      std::this_thread::sleep_for(pause);
      ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    }
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      received_.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
  }

  std::string received_;
  bool closed_ = false;
  std::thread thread_;
};

SmtpSinkOptions AnyPort() {
  SmtpSinkOptions options;
  options.address = "127.0.0.1";
  options.port = 0;
  return options;
}

TEST(SmtpSink, ServesClientsAndReportsEachStoredMessage) {
  qv::runtime::EventLoop loop;  // the program's own, as in `qvsmtp sink`
  MemorySinkStore store;
  std::vector<StoredMessage> stored;
  SmtpSink sink(loop, store, {[&](const StoredMessage& m) { stored.push_back(m); }, {}}, AnyPort());
  ASSERT_NE(sink.port(), 0);
  EXPECT_EQ(sink.address(), "127.0.0.1");

  Client a(sink.port(), {kSinkConversation});
  // The second client sends its lines in pieces with pauses between them.
  Client b(
      sink.port(),
      {"HELO b\r\nMAIL FROM:<x@y>\r\n", "RCPT TO:<z@y>\r\nDA", "TA\r\nbody\r", "\n.\r\nQUIT\r\n"},
      20ms);
  ASSERT_TRUE(loop.RunUntil([&] { return stored.size() == 2 && sink.OpenConnections() == 0; }, 3s));
  a.Join();
  b.Join();
  EXPECT_EQ(ReplyCodes(a.received()), (std::vector<int>{220, 250, 250, 250, 250, 354, 250, 221}));
  EXPECT_TRUE(a.closed_by_server());
  EXPECT_EQ(ReplyCodes(b.received()), (std::vector<int>{220, 250, 250, 250, 354, 250, 221}));
  EXPECT_EQ(sink.MessagesStored(), 2u);
  ASSERT_EQ(store.kept.size(), 2u);
  for (const auto& kept : store.kept) {
    if (kept.envelope.mail_from == "x@y") {
      EXPECT_EQ(kept.data, "body\r\n");
    } else {
      EXPECT_EQ(kept.data, kSinkStoredData);
    }
  }
}

TEST(SmtpSink, TakesAMessageFromTheControl) {
  TempDir temp;
  qv::runtime::EventLoop loop;
  MaildirStore store(temp.path());
  std::vector<StoredMessage> stored;
  SmtpSink sink(loop, store, {[&](const StoredMessage& m) { stored.push_back(m); }, {}}, AnyPort());

  qv::connection::SocketOptions options;
  options.port = sink.port();
  qv::runtime::ControlSite site(loop, options);
  site->put_RemoteHost(u"127.0.0.1");
  site->put_MailFrom(u"alice@example.com");
  site->put_RcptTo(u"bob@example.com; carol@example.com");
  site->put_Subject(u"Test");
  site->put_Body(qv::Variant(u"first\n.second\r\n."));
  ASSERT_EQ(site->Send(), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return site->get_Busy() == qv::kFalse; }, 5s));
  EXPECT_EQ(site->get_status(), 0);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].envelope.mail_from, "alice@example.com");
  EXPECT_EQ(stored[0].envelope.recipients,
            (std::vector<std::string>{"bob@example.com", "carol@example.com"}));
  const std::string text = ReadFile(stored[0].location);
  EXPECT_EQ(text.size(), stored[0].size);
  EXPECT_EQ(text.substr(0, 18), "Priority: Normal\r\n");
  // The control doubled the dots and ended the body with CR LF; the sink took
  // the doubling off again.
  EXPECT_TRUE(text.ends_with("\r\nSubject: Test\r\n\r\nfirst\r\n.second\r\n.\r\n\r\n")) << text;
}

TEST(SmtpSink, ReportsAnAddressInUseWithItsNumber) {
  qv::runtime::EventLoop loop;
  MemorySinkStore store;
  SmtpSink first(loop, store, {}, AnyPort());
  SmtpSinkOptions same = AnyPort();
  same.port = first.port();
  try {
    SmtpSink second(loop, store, {}, same);
    ADD_FAILURE() << "a second sink listened on the same port";
  } catch (const qv::AutomationError& e) {
    EXPECT_EQ(e.number(), 10048);
    EXPECT_NE(std::string(e.what()).find(std::to_string(first.port())), std::string::npos);
  }
}

TEST(SmtpSink, HangsUpOnAnIdleClientAndOnClientsBeyondTheLimit) {
  qv::runtime::EventLoop loop;
  MemorySinkStore store;
  SmtpSinkOptions options = AnyPort();
  options.idle_limit = 150ms;
  options.max_connections = 1;
  SmtpSink sink(loop, store, {}, options);
  Client idle(sink.port(), {"HELO x\r\nMAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\npart"});
  ASSERT_TRUE(loop.RunUntil([&] { return sink.OpenConnections() == 1; }, 2s));
  Client extra(sink.port(), {});
  ASSERT_TRUE(loop.RunUntil([&] { return sink.OpenConnections() == 0; }, 3s));
  idle.Join();
  extra.Join();
  EXPECT_EQ(ReplyCodes(idle.received()), (std::vector<int>{220, 250, 250, 250, 354, 421}));
  EXPECT_TRUE(idle.closed_by_server());
  EXPECT_EQ(ReplyCodes(extra.received()), (std::vector<int>{421}));
  EXPECT_EQ(store.discarded, 1);
  EXPECT_TRUE(store.kept.empty());
}

TEST(SmtpSink, DropsAClientThatDoesNotCompleteTheTlsHandshake) {
  struct Case {
    const char* name;
    bool implicit_port;
    std::vector<std::string> sends;
    const char* last;  // the last reply in the clear ("": none at all)
    bool reported;     // the handshake failure is told
  };
  const std::vector<Case> cases = {
      {"plain text on the port of TLS", true, {"EHLO x\r\n"}, "", true},
      {"silence on the port of TLS", true, {}, "", false},
      // Text after the go-ahead is a handshake gone wrong, never a command.
      {"plain text after STARTTLS",
       false,
       {"EHLO x\r\nSTARTTLS\r\n", "MAIL FROM:<a>\r\n"},
       "220 2.0.0 Ready to start TLS\r\n",
       true},
  };
  TempDir temp;
  const ThrowawayCertificate certificate = MakeThrowawayCertificate(temp.path());
  for (const Case& c : cases) {
    qv::runtime::EventLoop loop;
    MemorySinkStore store;
    SmtpSinkOptions options = AnyPort();
    options.idle_limit = 300ms;
    options.tls = SinkTls::Load(certificate.certificate, certificate.key);
    options.implicit_tls_port = 0;
    std::vector<std::string> failures;
    options.tls_failed = [&](const std::string& reason) { failures.push_back(reason); };
    SmtpSink sink(loop, store, {}, options);
    Client client(c.implicit_port ? sink.implicit_tls_port() : sink.port(), c.sends, 100ms);
    ASSERT_TRUE(loop.RunUntil([&] { return sink.OpenConnections() == 1; }, 2s)) << c.name;
    ASSERT_TRUE(loop.RunUntil([&] { return sink.OpenConnections() == 0; }, 3s)) << c.name;
    client.Join();
    EXPECT_TRUE(client.closed_by_server()) << c.name;
    // After the last reply in the clear at most a TLS alert (which begins
    // with its record type, 21).
    const std::string& received = client.received();
    const std::size_t at = received.find(c.last);
    ASSERT_NE(at, std::string::npos) << c.name << ": " << received;
    const std::size_t end = at + std::string_view(c.last).size();
    EXPECT_TRUE(received.size() == end || received[end] == '\x15') << c.name << ": " << received;
    EXPECT_EQ(failures.size(), c.reported ? 1u : 0u) << c.name;
  }
}

TEST(SmtpSink, DestroyingTheSinkDiscardsAMessageInProgress) {
  qv::runtime::EventLoop loop;
  MemorySinkStore store;
  auto sink = std::make_unique<SmtpSink>(loop, store, SinkObserver{}, AnyPort());
  Client client(sink->port(), {"HELO x\r\nMAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\nhalf"});
  ASSERT_TRUE(
      loop.RunUntil([&] { return store.discarded == 0 && sink->OpenConnections() == 1; }, 2s));
  loop.RunFor(100ms);  // the data arrives
  sink.reset();
  EXPECT_EQ(store.discarded, 1);
  loop.RunFor(50ms);
  client.Join();
  EXPECT_TRUE(client.closed_by_server());
  EXPECT_TRUE(store.kept.empty());
}

}  // namespace
}  // namespace qvsmtp::test_support
