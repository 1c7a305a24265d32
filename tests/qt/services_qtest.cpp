// The control on Qt's event loop: whole sends against loopback servers, and
// the delivery rules that keep a step from being entered twice.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <QDialog>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "qt_wait.hpp"
#include "qv/connection/delivery_gate.hpp"
#include "qv/connection/tick_timer.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"
#include "qv/qt/qt_loop.hpp"
#include "qv/qt/qvsmtp_widget.hpp"
#include "runtime/loopback_server.hpp"
#include "support/helo_name.hpp"
#include "support/loopback_port.hpp"

namespace qv::qt {
namespace {

using namespace std::chrono_literals;
using qv::runtime::test_support::LoopbackServer;
using qv::runtime::test_support::Peer;
using test_support::TurnUntil;

// --- QtLoop: what it runs may throw (the rest of its promises: LoopContract) ---

// A connected pair of local stream sockets.
struct SocketPair {
  SocketPair() { ok = ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0; }
  ~SocketPair() {
    if (!ok) return;
    ::close(fds[0]);
    ::close(fds[1]);
  }
  int fds[2] = {-1, -1};
  bool ok = false;
};

// The warnings Qt's message handler receives while one lives.
class Warnings {
 public:
  Warnings() : previous_(qInstallMessageHandler(&Warnings::Record)) { seen().clear(); }
  ~Warnings() { qInstallMessageHandler(previous_); }
  static std::vector<std::string>& seen() {
    static std::vector<std::string> messages;
    return messages;
  }

 private:
  static void Record(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtWarningMsg) seen().push_back(text.toStdString());
  }
  QtMessageHandler previous_;
};

// Where a function the loop runs throws from.
enum class Thrower { kPost, kTimer, kWatch, kTick };

struct ThrowCase {
  const char* name;
  Thrower where;
  bool automation;  // an AutomationError, else a std::runtime_error
  std::string warning;
};

class QtLoopExceptions : public ::testing::TestWithParam<ThrowCase> {};

TEST_P(QtLoopExceptions, AreReportedAndTheLoopGoesOn) {
  const ThrowCase& c = GetParam();
  Warnings warnings;
  QtLoop loop;
  connection::DeliveryGate gate(loop);
  int throws = 0;
  const auto fail = [&] {
    ++throws;
    if (c.automation) throw AutomationError(40006, "not connected");
    throw std::runtime_error("out of paper");
  };
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  std::unique_ptr<connection::LoopTimer> timer = loop.MakeTimer();
  std::unique_ptr<connection::FdWatch> watch = loop.Watch(pair.fds[0]);
  struct Ticks : TimerEvents {
    std::function<void()> first;
    int count = 0;
    void OnTimer() override {
      if (++count == 1) first();
    }
  } tick_events;
  tick_events.first = fail;
  connection::TickTimer ticks(loop, gate);
  switch (c.where) {
    case Thrower::kPost:
      loop.Post(fail);
      break;
    case Thrower::kTimer:
      timer->Start(connection::LoopTimer::Clock::now(), fail);
      break;
    case Thrower::kWatch:
      watch->WaitWritable(fail);
      break;
    case Thrower::kTick:
      ticks.SetEvents(&tick_events);
      ticks.SetInterval(20);
      ticks.SetEnabled(true);
      break;
  }
  ASSERT_TRUE(loop.RunUntil([&] { return throws == 1; }, 2s));
  // The loop and the gate go on: a later call runs, and so does the next tick.
  bool later = false;
  loop.Post([&] { later = true; });
  EXPECT_TRUE(loop.RunUntil([&] { return later; }, 2s));
  if (c.where == Thrower::kTick) {
    EXPECT_TRUE(loop.RunUntil([&] { return tick_events.count >= 2; }, 2s));
    ticks.SetEnabled(false);
  }
  EXPECT_EQ(warnings.seen(), std::vector<std::string>{c.warning});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QtLoopExceptions,
    ::testing::Values(ThrowCase{"PostAutomation", Thrower::kPost, true,
                                "qvSMTP: error 40006 in a notification: not connected"},
                      ThrowCase{"PostOther", Thrower::kPost, false,
                                "qvSMTP: failure in a notification: out of paper"},
                      ThrowCase{"TimerAutomation", Thrower::kTimer, true,
                                "qvSMTP: error 40006 in a notification: not connected"},
                      ThrowCase{"TimerOther", Thrower::kTimer, false,
                                "qvSMTP: failure in a notification: out of paper"},
                      ThrowCase{"WatchAutomation", Thrower::kWatch, true,
                                "qvSMTP: error 40006 in a notification: not connected"},
                      ThrowCase{"WatchOther", Thrower::kWatch, false,
                                "qvSMTP: failure in a notification: out of paper"},
                      ThrowCase{"TickThroughTheGate", Thrower::kTick, true,
                                "qvSMTP: error 40006 in a notification: not connected"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the control as a widget ---

// 220, then 250 to every command except those named in refuse (550, or a
// reset of the connection when reset is set), 354 to DATA, 250 after the
// data, 221 to QUIT.
LoopbackServer::Script SmtpServer(std::string refuse = "", bool reset = false) {
  return [refuse, reset](Peer& peer) {
    using qv::runtime::test_support::OwnAnswer;
    qv::runtime::test_support::PlaySmtpServerClosingAfter(
        peer, 0ms, [&](Peer&, const std::string& line) {
          if (refuse.empty() || !line.starts_with(refuse)) return OwnAnswer::kNone;
          if (reset) {
            peer.Reset();
            return OwnAnswer::kEnded;
          }
          peer.Send("550 no such user\r\n");
          return OwnAnswer::kAnswered;
        });
  };
}

std::string ZoneText(int offset) {
  const int magnitude = offset < 0 ? -offset : offset;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d%02d", offset < 0 ? '-' : '+', magnitude / 60,
                magnitude % 60);
  return text;
}

void Address(QvSmtpWidget& w, const QString& host) {
  w.setRemoteHost(host);
  w.setMailFrom("from@example.com");
  w.setRcptTo("a@example.com, b@example.com");
  w.setSubject(
      QString::fromUtf8("Gr\xC3\xBC\xC3\x9F"
                        "e"));
  w.setDateHeader(QDateTime(QDate(2001, 3, 9), QTime(7, 5, 3)));
  w.setBody(QString("Hello"));
}

struct SendCase {
  const char* name;
  bool server;            // a loopback server listens (else the port refuses)
  std::string refuse;     // command prefix the server answers with 550
  bool reset;             // ... or with a reset of the connection
  QString host;           // RemoteHost
  int status;             // outcome
  QString status_text;    // StatusStr
  std::string helo_name;  // the socket's local_host_name; empty: the machine's
};

class QtSend : public ::testing::TestWithParam<SendCase> {};

TEST_P(QtSend, EndsWithTheOutcomeOnTheWire) {
  const SendCase& c = GetParam();
  LoopbackServer server(SmtpServer(c.refuse, c.reset));
  ASSERT_TRUE(server.ok());
  connection::SocketOptions options;
  options.port = c.server ? server.port() : qv::test_support::UnusedLoopbackPort();
  options.local_host_name = c.helo_name;
  // Without a name of its own the socket says the machine's fully qualified
  // name, or else its address on the connection (the server is IPv4 only).
  const std::string helo =
      !c.helo_name.empty() ? c.helo_name : qv::test_support::ExpectedLoopbackHeloName();
  QvSmtpWidget w(QvSmtpWidget::Mode::RunTime, nullptr, options);
  Address(w, c.host);
  std::vector<QString> log;
  std::vector<int> completions;
  int busy_notices = 0;
  QObject::connect(&w, &QvSmtpWidget::DebugMessage, [&](QString& m) { log.push_back(m); });
  QObject::connect(&w, &QvSmtpWidget::SendComplete, [&](qint16& s) { completions.push_back(s); });
  QObject::connect(&w, &QvSmtpWidget::BusyChanged, [&] { ++busy_notices; });

  ASSERT_EQ(w.Send(), 0);
  EXPECT_TRUE(w.Busy());
  ASSERT_TRUE(TurnUntil([&] { return !w.Busy(); }, 5s));
  EXPECT_EQ(w.status(), c.status);
  EXPECT_EQ(w.StatusStr(), c.status_text);
  EXPECT_EQ(completions, std::vector<int>{c.status});
  EXPECT_EQ(busy_notices, 2);  // true after Send, false after the last step
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), "Connecting to " + c.host);
  if (!c.server) return;

  ASSERT_TRUE(TurnUntil([&] { return server.finished() == 1; }, 3s));
  const int zone = QDateTime(QDate(2001, 3, 9), QTime(7, 5, 3)).offsetFromUtc() / 60;
  const std::string head = "HELO " + helo +
                           "\r\n"
                           "MAIL FROM: <from@example.com>\r\n"
                           "RCPT TO: <a@example.com>\r\n";
  const std::string expected = c.reset         ? head
                               : c.status != 0 ? head + "QUIT\r\n"
                                               : head +
                                                     "RCPT TO: <b@example.com>\r\n"
                                                     "DATA\r\n"
                                                     "Priority: Normal\r\n"
                                                     "From: from@example.com\r\n"
                                                     "To: a@example.com, b@example.com\r\n"
                                                     "Date: Fri, 9 Mar 2001 07:05:03 " +
                                                     ZoneText(zone) +
                                                     "\r\n"
                                                     "Message-ID: <" +
                                                     w.MessageId().toStdString() +
                                                     ">\r\n"
                                                     "MIME-Version: 1.0\r\n"
                                                     "Content-type: text/plain; charset=UTF-8\r\n"
                                                     "X-Mailer: qvSMTP by Quenvix\r\n"
                                                     "Subject: =?UTF-8?B?R3LDvMOfZQ==?=\r\n"
                                                     "\r\n"
                                                     "Hello\r\n"
                                                     "\r\n.\r\n"
                                                     "QUIT\r\n";
  ASSERT_EQ(server.transcripts().size(), 1u);
  EXPECT_EQ(server.transcripts()[0], expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QtSend,
    ::testing::Values(
        SendCase{"Success", true, "", false, "127.0.0.1", 0, "Success", ""},
        SendCase{"OwnHeloName", true, "", false, "127.0.0.1", 0, "Success", "client.example.com"},
        SendCase{"NamedHost", true, "", false, "localhost", 0, "Success", ""},
        SendCase{"AddressRefused", true, "RCPT TO: <a@", false, "127.0.0.1", 4,
                 "550 no such user\r\n", ""},
        SendCase{"ResetByServer", true, "RCPT TO: <a@", true, "127.0.0.1", 2,
                 "Connection reset by peer", ""},
        SendCase{"ConnectionRefused", false, "", false, "127.0.0.1", 2, "Connection refused", ""},
        SendCase{"NoHostName", false, "", false, "", 2, "No host name given", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The HELO name goes onto the wire as it is: a widget asked for one that could
// end the line is refused when it is made, not after the first connection.
TEST(QtWidgetOptions, AHeloNameThatCouldEndTheLineIsRefused) {
  for (const char* name : {"a b", "mail\r\nRCPT TO: <x@example.com>", "tab\there"}) {
    connection::SocketOptions options;
    options.local_host_name = name;
    try {
      QvSmtpWidget w(QvSmtpWidget::Mode::RunTime, nullptr, options);
      ADD_FAILURE() << "accepted " << name;
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.number(), 380) << name;
    }
  }
}

// The port the form sets replaces the control's 25 for the next Send.
TEST(QtWidgetOptions, SetPortReachesTheNextSend) {
  LoopbackServer server(SmtpServer());
  ASSERT_TRUE(server.ok());
  QvSmtpWidget w;
  Address(w, "127.0.0.1");
  w.setPort(server.port());
  ASSERT_EQ(w.Send(), 0);
  ASSERT_TRUE(TurnUntil([&] { return !w.Busy(); }, 5s));
  EXPECT_EQ(w.StatusStr(), "Success");
  EXPECT_TRUE(TurnUntil([&] { return server.finished() == 1; }, 3s));
}

// A body streamed from a SendBody slot, and the slot's assignments through the
// references landing in the control's storage.
TEST(QtSendSignals, SlotsWriteThroughTheirReferences) {
  LoopbackServer server(SmtpServer());
  ASSERT_TRUE(server.ok());
  connection::SocketOptions options;
  options.port = server.port();
  QvSmtpWidget w(QvSmtpWidget::Mode::RunTime, nullptr, options);
  Address(w, "127.0.0.1");
  w.setBodyEvent(7);
  std::string body;
  for (int i = 0; i < 20000; ++i) body += "line of the body, number " + std::to_string(i) + "\r\n";
  QObject::connect(&w, &QvSmtpWidget::SendBody, [&](qint16& iTag) {
    EXPECT_EQ(iTag, 7);
    EXPECT_TRUE(w.SendData(QString::fromStdString(body)));
    iTag = 9;
  });
  QObject::connect(&w, &QvSmtpWidget::SendComplete, [](qint16& status) { status = 42; });

  ASSERT_EQ(w.Send(), 0);
  ASSERT_TRUE(TurnUntil([&] { return !w.Busy(); }, 5s));
  EXPECT_EQ(w.StatusStr(), "Success");
  EXPECT_EQ(w.BodyEvent(), 9);
  EXPECT_EQ(w.status(), 42);
  ASSERT_TRUE(TurnUntil([&] { return server.finished() == 1; }, 3s));
  const std::string wire = server.transcripts().at(0);
  const std::string data = "\r\n\r\n" + body + "\r\n.\r\nQUIT\r\n";
  ASSERT_GE(wire.size(), data.size());
  EXPECT_EQ(wire.substr(wire.size() - data.size()), data);
}

// Runs a nested event loop for 300 ms: a plain QEventLoop or a modal dialog.
void RunNestedLoop(bool modal_dialog) {
  if (modal_dialog) {
    QDialog dialog;
    QTimer::singleShot(300, &dialog, &QDialog::accept);
    dialog.exec();
  } else {
    QEventLoop inner;
    QTimer::singleShot(300, &inner, &QEventLoop::quit);
    inner.exec();
  }
}

// No tick arrives while a tick's handler, or a socket notification's handler
// on the same gate, runs a nested event loop; the ticks resume afterwards.
TEST(QtDelivery, NoTickInsideAHandlerThatRunsANestedLoop) {
  for (const bool inside_tick : {true, false}) {
    for (const bool modal_dialog : {false, true}) {
      QtLoop loop;
      connection::DeliveryGate gate(loop);
      connection::TickTimer timer(loop, gate);
      struct Counter : TimerEvents {
        std::function<void()> first;
        int ticks = 0;
        int nested = 0;
        bool inside = false;
        void OnTimer() override {
          ++ticks;
          if (inside) ++nested;
          if (ticks == 1 && first) first();
        }
      } counter;
      const auto nested_loop = [&] {
        counter.inside = true;
        RunNestedLoop(modal_dialog);
        counter.inside = false;
      };
      if (inside_tick) counter.first = nested_loop;
      timer.SetEvents(&counter);
      timer.SetEnabled(true);
      if (!inside_tick) {
        // What a socket notification does: a delivery on the control's gate.
        QTimer::singleShot(0, [&] { gate.Deliver(&counter, nested_loop); });
      }
      ASSERT_TRUE(TurnUntil([&] { return counter.ticks >= 3; }, 2s));
      EXPECT_EQ(counter.nested, 0) << inside_tick << modal_dialog;
      timer.SetEnabled(false);
    }
  }
}

TEST(QtDelivery, AModalDialogInDebugMessageHoldsTheConversationBack) {
  LoopbackServer server(SmtpServer());
  ASSERT_TRUE(server.ok());
  connection::SocketOptions options;
  options.port = server.port();
  QvSmtpWidget w(QvSmtpWidget::Mode::RunTime, nullptr, options);
  Address(w, "127.0.0.1");
  int depth = 0;
  int nested = 0;
  int dialogs = 0;
  QObject::connect(&w, &QvSmtpWidget::DebugMessage, [&](QString& m) {
    if (depth > 0) ++nested;
    if (!m.startsWith("Connected")) return;
    ++depth;
    ++dialogs;
    QDialog dialog;
    dialog.setWindowTitle(m);
    QTimer::singleShot(400, &dialog, &QDialog::accept);
    dialog.exec();  // the greeting arrives and ticks fall due meanwhile
    --depth;
  });
  ASSERT_EQ(w.Send(), 0);
  ASSERT_TRUE(TurnUntil([&] { return !w.Busy(); }, 5s));
  EXPECT_EQ(dialogs, 1);
  EXPECT_EQ(nested, 0);
  EXPECT_EQ(w.StatusStr(), "Success");
}

}  // namespace
}  // namespace qv::qt
