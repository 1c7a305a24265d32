// The control on Qt's event loop: whole sends against loopback servers, and
// the delivery rules that keep a step from being entered twice.
#include <gtest/gtest.h>

#include <QDialog>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "qt_wait.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"
#include "qv/qt/delivery_gate.hpp"
#include "qv/qt/qt_timer.hpp"
#include "qv/qt/qvsmtp_widget.hpp"
#include "runtime/loopback_server.hpp"
#include "support/loopback_port.hpp"

namespace qv::qt {
namespace {

using namespace std::chrono_literals;
using qv::runtime::test_support::LoopbackServer;
using qv::runtime::test_support::Peer;
using test_support::TurnUntil;

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
  bool server;          // a loopback server listens (else the port refuses)
  std::string refuse;   // command prefix the server answers with 550
  bool reset;           // ... or with a reset of the connection
  QString host;         // RemoteHost
  int status;           // outcome
  QString status_text;  // StatusStr
  QString helo_name;    // the socket's local_host_name; empty: the machine's
};

class QtSend : public ::testing::TestWithParam<SendCase> {};

TEST_P(QtSend, EndsWithTheOutcomeOnTheWire) {
  const SendCase& c = GetParam();
  LoopbackServer server(SmtpServer(c.refuse, c.reset));
  ASSERT_TRUE(server.ok());
  SocketOptions options;
  options.port_25_redirect = c.server ? server.port() : qv::test_support::UnusedLoopbackPort();
  options.local_host_name = c.helo_name;
  // Without a name of its own the socket says the machine's fully qualified
  // name, or else its address on the connection (the server is IPv4 only).
  const QString full_name = FullyQualifiedHostName(std::chrono::seconds(2));
  const QString helo = !c.helo_name.isEmpty() ? c.helo_name
                       : !full_name.isEmpty() ? full_name
                                              : "[127.0.0.1]";
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
  const std::string head = "HELO " + helo.toStdString() +
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

// The HELO name goes onto the wire as it is: one that could end the line is
// refused when the socket is made, and later changes reach only the port.
TEST(QtSocketOptions, AHeloNameThatCouldEndTheLineIsRefused) {
  DeliveryGate gate;
  for (const char* name : {"a b", "mail\r\nRCPT TO: <x@example.com>", "tab\there"}) {
    SocketOptions options;
    options.local_host_name = name;
    EXPECT_THROW(QtSocket(gate, options), AutomationError) << name;
  }
}

// OnSendComplete once the peer has taken everything; a peer that stops
// taking fails the connection after the stall limit.
TEST(QtSocketWrites, CompleteWhenTakenAndFailWhenStalled) {
  for (const bool peer_reads : {true, false}) {
    std::atomic<bool> release{false};
    LoopbackServer server([&](Peer& peer) {
      if (peer_reads) {
        peer.ReadToEnd(5s);
      } else {
        while (!release) std::this_thread::sleep_for(10ms);
      }
    });
    ASSERT_TRUE(server.ok());
    DeliveryGate gate;
    SocketOptions options;
    options.stall_limit = 300ms;
    QtSocket socket(gate, options);
    struct Recorder : SocketEvents {
      bool connected = false;
      int complete = 0;
      Long error = 0;
      String description;
      void OnConnect() override { connected = true; }
      void OnDataArrival(Long) override {}
      void OnError(Long number, const String& text) override {
        error = number;
        description = text;
      }
      void OnSendComplete() override { ++complete; }
    } events;
    socket.SetEvents(&events);
    socket.Connect(u"127.0.0.1", static_cast<Integer>(server.port()));
    ASSERT_TRUE(TurnUntil([&] { return events.connected; }, 3s));
    const String chunk(1 << 20, u'x');
    for (int i = 0; i < 24; ++i) socket.SendData(chunk);  // more than the kernel buffers
    ASSERT_TRUE(TurnUntil([&] { return events.complete > 0 || events.error != 0; }, 5s));
    if (peer_reads) {
      EXPECT_EQ(events.complete, 1);
      EXPECT_EQ(events.error, 0);
      EXPECT_EQ(socket.BytesQueued(), 0u);
    } else {
      EXPECT_EQ(events.complete, 0);
      EXPECT_EQ(events.error, socket_error::kTimedOut);
      EXPECT_EQ(events.description, u"Timed out sending: the server took no data for 0.3 seconds");
      EXPECT_EQ(socket.State(), socket_state::kError);
    }
    socket.Close();
    release = true;
  }
}

// A body streamed from a SendBody slot, and the slot's assignments through the
// references landing in the control's storage.
TEST(QtSendSignals, SlotsWriteThroughTheirReferences) {
  LoopbackServer server(SmtpServer());
  ASSERT_TRUE(server.ok());
  SocketOptions options;
  options.port_25_redirect = server.port();
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
      DeliveryGate gate;
      QtTimer timer(gate);
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
  SocketOptions options;
  options.port_25_redirect = server.port();
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
