// The receiving SMTP server: its dialogue fed bytes directly (split at every
// offset), the Maildir store, and the server on the loop with real clients.
#include "qv/runtime/smtp_sink.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qv/core/automation_error.hpp"
#include "qv/runtime/control_site.hpp"

namespace qv::runtime {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// A store in memory that can be told to fail.

struct MemoryStore final : SinkStore {
  struct Kept {
    SinkEnvelope envelope;
    std::string data;
  };
  std::vector<Kept> kept;
  bool fail_begin = false;
  std::size_t fail_after = static_cast<std::size_t>(-1);  // bytes an Append may take
  int discarded = 0;

  class Message final : public SinkMessage {
   public:
    Message(MemoryStore& store, SinkEnvelope envelope)
        : store_(store), envelope_(std::move(envelope)) {}
    ~Message() override {
      if (!committed_) ++store_.discarded;
    }
    void Append(std::string_view bytes) override {
      if (data_.size() + bytes.size() > store_.fail_after) throw std::runtime_error("disk full");
      data_.append(bytes);
    }
    std::string Commit() override {
      committed_ = true;
      store_.kept.push_back({envelope_, data_});
      return "memory/" + std::to_string(store_.kept.size());
    }

   private:
    MemoryStore& store_;
    SinkEnvelope envelope_;
    std::string data_;
    bool committed_ = false;
  };

  std::unique_ptr<SinkMessage> Begin(const SinkEnvelope& envelope) override {
    if (fail_begin) throw std::runtime_error("no space");
    return std::make_unique<Message>(*this, envelope);
  }
};

// The reply codes in a block of replies, one per line.
std::vector<int> Codes(const std::string& replies) {
  std::vector<int> codes;
  std::istringstream lines(replies);
  std::string line;
  while (std::getline(lines, line)) codes.push_back(std::stoi(line.substr(0, 3)));
  return codes;
}

struct Dialogue {
  MemoryStore store;
  SinkObserver observer;
  std::vector<StoredMessage> stored;
  std::vector<std::string> failures;
  SmtpSinkSession session{"sink.test", store, observer};

  Dialogue() {
    observer.stored = [this](const StoredMessage& m) { stored.push_back(m); };
    observer.failed = [this](const SinkEnvelope&, const std::string& why) {
      failures.push_back(why);
    };
  }

  std::string Feed(std::string_view bytes) {
    std::string replies;
    session.Receive(bytes, replies);
    return replies;
  }
};

// What the control writes for a two-recipient message with a dotted body.
const std::string kConversation =
    "HELO client.test\r\n"
    "MAIL FROM: <alice@example.com>\r\n"
    "RCPT TO: <bob@example.com>\r\n"
    "RCPT TO:<carol@example.com>\r\n"
    "DATA\r\n"
    "Subject: dots\r\n"
    "\r\n"
    "..leading dot\r\n"
    "...\r\n"
    "a.b\r\n"
    "\r\n"
    ".\r\n"
    "QUIT\r\n";
const std::string kStoredData =
    "Subject: dots\r\n"
    "\r\n"
    ".leading dot\r\n"
    "..\r\n"
    "a.b\r\n"
    "\r\n";

TEST(SmtpSinkSession, TakesAWholeConversationAndStoresTheDataWithoutTheDoubledDots) {
  Dialogue d;
  EXPECT_EQ(d.session.Greeting(), "220 sink.test qvsmtp sink ready\r\n");
  const std::string replies = d.Feed(kConversation);
  EXPECT_EQ(Codes(replies), (std::vector<int>{250, 250, 250, 250, 354, 250, 221}));
  EXPECT_TRUE(d.session.Finished());
  ASSERT_EQ(d.store.kept.size(), 1u);
  EXPECT_EQ(d.store.kept[0].data, kStoredData);
  ASSERT_EQ(d.stored.size(), 1u);
  EXPECT_EQ(d.stored[0].envelope.client_name, "client.test");
  EXPECT_EQ(d.stored[0].envelope.mail_from, "alice@example.com");
  EXPECT_EQ(d.stored[0].envelope.recipients,
            (std::vector<std::string>{"bob@example.com", "carol@example.com"}));
  EXPECT_EQ(d.stored[0].size, kStoredData.size());
  EXPECT_EQ(d.stored[0].location, "memory/1");
}

TEST(SmtpSinkSession, GivesTheSameResultWhereverTheBytesAreSplit) {
  Dialogue whole;
  const std::string expected_replies = whole.Feed(kConversation);
  for (std::size_t first = 0; first <= kConversation.size(); ++first) {
    for (std::size_t second = first; second <= kConversation.size(); second += 7) {
      Dialogue d;
      std::string replies = d.Feed(std::string_view(kConversation).substr(0, first));
      replies += d.Feed(std::string_view(kConversation).substr(first, second - first));
      replies += d.Feed(std::string_view(kConversation).substr(second));
      ASSERT_EQ(replies, expected_replies) << "split at " << first << " and " << second;
      ASSERT_EQ(d.store.kept.size(), 1u) << "split at " << first << " and " << second;
      ASSERT_EQ(d.store.kept[0].data, kStoredData) << "split at " << first << " and " << second;
    }
  }
  Dialogue bytewise;
  std::string replies;
  for (char c : kConversation) replies += bytewise.Feed(std::string_view(&c, 1));
  EXPECT_EQ(replies, expected_replies);
  ASSERT_EQ(bytewise.store.kept.size(), 1u);
  EXPECT_EQ(bytewise.store.kept[0].data, kStoredData);
}

TEST(SmtpSinkSession, EndsTheDataOnlyAtALineHoldingADotAlone) {
  struct Case {
    const char* name;
    std::string data;    // after the 354
    std::string stored;  // what the store keeps
  };
  const std::vector<Case> cases = {
      {"empty message", ".\r\n", ""},
      {"one line", "x\r\n.\r\n", "x\r\n"},
      {"dot inside a line", "a.\r\n.b\r\n.\r\n", "a.\r\nb\r\n"},
      {"doubled dot alone", "..\r\n.\r\n", ".\r\n"},
      {"dot then CR without LF", ".\rx\r\n.\r\n", "\rx\r\n"},
      {"bare LF line ends", "a\n..b\n.\n", "a\n.b\n"},
      {"dot line ending in spaces is text", ". \r\n.\r\n", " \r\n"},
      {"CR LF dot not at a line start", "a\r.\r\n.\r\n", "a\r.\r\n"},
  };
  for (const Case& c : cases) {
    Dialogue d;
    d.Feed("HELO c\r\nMAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\n");
    const std::string replies = d.Feed(c.data + "NOOP\r\n");
    EXPECT_EQ(Codes(replies), (std::vector<int>{250, 250})) << c.name;
    ASSERT_EQ(d.store.kept.size(), 1u) << c.name;
    EXPECT_EQ(d.store.kept[0].data, c.stored) << c.name;
  }
}

TEST(SmtpSinkSession, AnswersCommandsOutOfOrderOrUnknownWithoutStoring) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<int> codes;
  };
  const std::vector<Case> cases = {
      {"RCPT before MAIL", "RCPT TO:<b>\r\n", {503}},
      {"DATA before MAIL", "DATA\r\n", {503}},
      {"DATA without recipients", "MAIL FROM:<a>\r\nDATA\r\n", {250, 554}},
      {"nested MAIL", "MAIL FROM:<a>\r\nMAIL FROM:<a>\r\n", {250, 503}},
      {"MAIL without FROM:", "MAIL <a>\r\n", {501}},
      {"RCPT without a closing bracket", "MAIL FROM:<a>\r\nRCPT TO:<b\r\n", {250, 501}},
      {"DATA with an argument", "MAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA x\r\n", {250, 250, 501}},
      {"unknown command", "ETRN x\r\n", {502}},
      {"empty line", "\r\n", {500}},
      {"RSET forgets the transaction", "MAIL FROM:<a>\r\nRSET\r\nRCPT TO:<b>\r\n", {250, 250, 503}},
      {"lower case and LF alone",
       "helo c\nmail from:<a>\nrcpt to:<b>\nnoop\n",
       {250, 250, 250, 250}},
      {"others", "VRFY x\r\nHELP\r\nNOOP\r\n", {252, 214, 250}},
  };
  for (const Case& c : cases) {
    Dialogue d;
    EXPECT_EQ(Codes(d.Feed(c.input)), c.codes) << c.name;
    EXPECT_TRUE(d.store.kept.empty()) << c.name;
    EXPECT_FALSE(d.session.Finished()) << c.name;
  }
}

TEST(SmtpSinkSession, RefusesAnOverlongLineAndCarriesOn) {
  Dialogue d;
  std::string line = "NOOP " + std::string(SmtpSinkSession::kMaxCommandLine, 'x') + "\r\n";
  // In pieces, so that the limit is met across calls.
  std::string replies = d.Feed(line.substr(0, 1000));
  replies += d.Feed(line.substr(1000));
  replies += d.Feed("NOOP\r\n");
  EXPECT_EQ(Codes(replies), (std::vector<int>{500, 250}));
}

TEST(SmtpSinkSession, IgnoresWhatFollowsQuit) {
  Dialogue d;
  EXPECT_EQ(Codes(d.Feed("QUIT\r\nNOOP\r\n")), (std::vector<int>{221}));
  EXPECT_TRUE(d.session.Finished());
  EXPECT_EQ(d.Feed("NOOP\r\n"), "");
}

TEST(SmtpSinkSession, AStoreThatFailsGives451AndTheNextMessageStillGoesThrough) {
  Dialogue d;
  d.store.fail_begin = true;
  EXPECT_EQ(Codes(d.Feed("MAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\n")),
            (std::vector<int>{250, 250, 451}));
  EXPECT_FALSE(d.session.InData());
  ASSERT_EQ(d.failures.size(), 1u);

  d.store.fail_begin = false;
  d.store.fail_after = 10;
  // The whole data is read and dropped, then 451; the dot line is not taken
  // for a command.
  EXPECT_EQ(Codes(d.Feed("MAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\n")),
            (std::vector<int>{250, 250, 354}));
  EXPECT_EQ(Codes(d.Feed("this line is longer than ten bytes\r\n.\r\n")), (std::vector<int>{451}));
  EXPECT_EQ(d.store.discarded, 1);
  EXPECT_EQ(d.failures.size(), 2u);

  d.store.fail_after = static_cast<std::size_t>(-1);
  EXPECT_EQ(Codes(d.Feed("MAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\nok\r\n.\r\n")),
            (std::vector<int>{250, 250, 354, 250}));
  ASSERT_EQ(d.store.kept.size(), 1u);
  EXPECT_EQ(d.store.kept[0].data, "ok\r\n");
}

TEST(SmtpSinkSession, AbortDropsTheMessageInProgress) {
  Dialogue d;
  d.Feed("MAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\nhalf a message\r\n");
  ASSERT_TRUE(d.session.InData());
  d.session.Abort();
  EXPECT_EQ(d.store.discarded, 1);
  EXPECT_TRUE(d.store.kept.empty());
}

// ---------------------------------------------------------------------------
// Maildir

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "qv-sink-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::vector<fs::path> Files(const fs::path& dir) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
  return files;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(MaildirStore, WritesUnderTmpAndMovesTheFinishedMessageIntoNew) {
  TempDir temp;
  MaildirStore store(temp.path() / "box");
  for (const char* sub : {"tmp", "new", "cur"})
    EXPECT_TRUE(fs::is_directory(temp.path() / "box" / sub));

  auto first = store.Begin({});
  first->Append("line 1\r\n");
  ASSERT_EQ(Files(temp.path() / "box" / "tmp").size(), 1u);  // written there first
  EXPECT_TRUE(Files(temp.path() / "box" / "new").empty());
  first->Append(std::string("\0bytes\xff\r\n", 9));
  const fs::path where = first->Commit();
  first.reset();

  EXPECT_EQ(where.parent_path(), temp.path() / "box" / "new");
  EXPECT_EQ(ReadFile(where), std::string("line 1\r\n\0bytes\xff\r\n", 17));
  EXPECT_TRUE(Files(temp.path() / "box" / "tmp").empty());
  // SECONDS.PID_SEQ.HOST
  const std::string name = where.filename().string();
  EXPECT_NE(name.find("." + std::to_string(::getpid()) + "_"), std::string::npos) << name;

  auto second = store.Begin({});
  second->Append("x");
  const std::string other = second->Commit();
  EXPECT_NE(other, where.string());
  EXPECT_EQ(Files(temp.path() / "box" / "new").size(), 2u);
}

TEST(MaildirStore, AMessageNeverCommittedLeavesNothingBehind) {
  TempDir temp;
  MaildirStore store(temp.path());
  {
    auto message = store.Begin({});
    message->Append("partial");
  }
  EXPECT_TRUE(Files(temp.path() / "tmp").empty());
  EXPECT_TRUE(Files(temp.path() / "new").empty());
}

TEST(MaildirStore, RefusesAFolderItCannotCreate) {
  TempDir temp;
  std::ofstream(temp.path() / "plain-file") << "x";
  EXPECT_THROW(MaildirStore(temp.path() / "plain-file"), fs::filesystem_error);
}

// ---------------------------------------------------------------------------
// The server on the loop

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
  EventLoop loop;
  MemoryStore store;
  std::vector<StoredMessage> stored;
  SmtpSink sink(loop, store, {[&](const StoredMessage& m) { stored.push_back(m); }, {}}, AnyPort());
  ASSERT_NE(sink.port(), 0);
  EXPECT_EQ(sink.address(), "127.0.0.1");

  Client a(sink.port(), {kConversation});
  // The second client sends its lines in pieces with pauses between them.
  Client b(
      sink.port(),
      {"HELO b\r\nMAIL FROM:<x@y>\r\n", "RCPT TO:<z@y>\r\nDA", "TA\r\nbody\r", "\n.\r\nQUIT\r\n"},
      20ms);
  ASSERT_TRUE(loop.RunUntil([&] { return stored.size() == 2 && sink.OpenConnections() == 0; }, 3s));
  a.Join();
  b.Join();
  EXPECT_EQ(Codes(a.received()), (std::vector<int>{220, 250, 250, 250, 250, 354, 250, 221}));
  EXPECT_TRUE(a.closed_by_server());
  EXPECT_EQ(Codes(b.received()), (std::vector<int>{220, 250, 250, 250, 354, 250, 221}));
  EXPECT_EQ(sink.MessagesStored(), 2u);
  ASSERT_EQ(store.kept.size(), 2u);
  for (const auto& kept : store.kept) {
    if (kept.envelope.mail_from == "x@y") {
      EXPECT_EQ(kept.data, "body\r\n");
    } else {
      EXPECT_EQ(kept.data, kStoredData);
    }
  }
}

TEST(SmtpSink, TakesAMessageFromTheControl) {
  TempDir temp;
  EventLoop loop;
  MaildirStore store(temp.path());
  std::vector<StoredMessage> stored;
  SmtpSink sink(loop, store, {[&](const StoredMessage& m) { stored.push_back(m); }, {}}, AnyPort());

  SocketOptions options;
  options.port_25_redirect = sink.port();
  ControlSite site(loop, options);
  site->put_RemoteHost(u"127.0.0.1");
  site->put_MailFrom(u"alice@example.com");
  site->put_RcptTo(u"bob@example.com; carol@example.com");
  site->put_Subject(u"Test");
  site->put_Body(Variant(u"first\n.second\r\n."));
  ASSERT_EQ(site->Send(), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return site->get_Busy() == kFalse; }, 5s));
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
  EventLoop loop;
  MemoryStore store;
  SmtpSink first(loop, store, {}, AnyPort());
  SmtpSinkOptions same = AnyPort();
  same.port = first.port();
  try {
    SmtpSink second(loop, store, {}, same);
    ADD_FAILURE() << "a second sink listened on the same port";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 10048);
    EXPECT_NE(std::string(e.what()).find(std::to_string(first.port())), std::string::npos);
  }
}

TEST(SmtpSink, HangsUpOnAnIdleClientAndOnClientsBeyondTheLimit) {
  EventLoop loop;
  MemoryStore store;
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
  EXPECT_EQ(Codes(idle.received()), (std::vector<int>{220, 250, 250, 250, 354, 421}));
  EXPECT_TRUE(idle.closed_by_server());
  EXPECT_EQ(Codes(extra.received()), (std::vector<int>{421}));
  EXPECT_EQ(store.discarded, 1);
  EXPECT_TRUE(store.kept.empty());
}

TEST(SmtpSink, DestroyingTheSinkDiscardsAMessageInProgress) {
  EventLoop loop;
  MemoryStore store;
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
}  // namespace qv::runtime
