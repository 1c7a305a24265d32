// The mail form driven as a user would: fields typed, Send clicked, the
// status bar read, against loopback servers; one of them slow, to show the
// window stays alive (and to photograph it) while the control waits.
#include <gtest/gtest.h>

#include <QTest>
#include <atomic>
#include <string>

#include "form_screenshot.hpp"
#include "mail_window.hpp"
#include "qt_wait.hpp"
#include "qv/qt/qvsmtp_widget.hpp"
#include "runtime/loopback_server.hpp"
#include "ui_mail_window.h"

namespace qvmail {
namespace {

using namespace std::chrono_literals;
using qv::qt::test_support::SaveScreenshot;
using qv::qt::test_support::TurnUntil;
using qv::runtime::test_support::LoopbackServer;
using qv::runtime::test_support::Peer;

// A sink that accepts everything; the answer to the data waits reply_delay.
LoopbackServer::Script Sink(std::chrono::milliseconds reply_delay, std::atomic<bool>* waiting) {
  return [reply_delay, waiting](Peer& peer) {
    peer.Send("220 sink ready\r\n");
    while (auto line = peer.ReadLine()) {
      if (*line == "DATA") {
        peer.Send("354 go ahead\r\n");
        if (!peer.ReadUntil("\r\n.\r\n", 10s)) return;
        *waiting = true;
        std::this_thread::sleep_for(reply_delay);
        *waiting = false;
        peer.Send("250 queued\r\n");
      } else if (*line == "QUIT") {
        peer.Send("221 bye\r\n");
        peer.ReadToEnd(1s);
        return;
      } else {
        peer.Send("250 ok\r\n");
      }
    }
  };
}

// Counts the window's repaints.
struct PaintCounter : QObject {
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

void Fill(MailWindow& w, std::uint16_t port, const QString& body) {
  Ui::MailWindow& ui = w.ui();
  QTest::keyClicks(ui.serverEdit, "127.0.0.1");
  ui.portSpin->setValue(port);
  QTest::keyClicks(ui.senderEdit, "me@example.com");
  QTest::keyClicks(ui.recipientsEdit, "you@example.com");
  QTest::keyClicks(ui.subjectEdit, "From the form");
  ui.bodyEdit->setPlainText(body);
}

struct FormCase {
  const char* name;
  std::chrono::milliseconds reply_delay;
  int body_lines;       // long bodies are streamed through SendBody
  const char* picture;  // screenshots during the slow wait and after, else nullptr
};

class MailForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(MailForm, SendsAndReportsInTheStatusBar) {
  const FormCase& c = GetParam();
  std::atomic<bool> waiting{false};
  LoopbackServer server(Sink(c.reply_delay, &waiting));
  ASSERT_TRUE(server.ok());
  MailWindow w;
  PaintCounter counter;
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  QString body;
  for (int i = 0; i < c.body_lines; ++i) body += QString(".line %1 of the body\n").arg(i);
  Fill(w, server.port(), body);

  QTest::mouseClick(w.ui().sendButton, Qt::LeftButton);
  EXPECT_FALSE(w.ui().sendButton->isEnabled());
  if (c.picture != nullptr) {
    ASSERT_TRUE(TurnUntil([&] { return waiting.load(); }, 5s));
    for (QWidget* child : w.findChildren<QWidget*>()) child->installEventFilter(&counter);
    QTest::qWait(1200);  // the form runs while the server holds its answer
    EXPECT_TRUE(waiting.load());
    EXPECT_GT(counter.paints, 3) << "the window did not repaint during the wait";
    EXPECT_TRUE(SaveScreenshot(w, QString(c.picture) + "-waiting.png"));
  }
  ASSERT_TRUE(TurnUntil([&] { return w.ui().sendButton->isEnabled(); }, 10s));
  if (c.picture != nullptr) {
    EXPECT_TRUE(SaveScreenshot(w, QString(c.picture) + "-done.png"));
  }
  EXPECT_EQ(w.statusCode(), "0");
  EXPECT_EQ(w.statusText(), "Success");
  EXPECT_EQ(w.ui().progressBar->value(), 100);
  EXPECT_TRUE(w.ui().logView->toPlainText().startsWith("Connecting to 127.0.0.1"));

  ASSERT_TRUE(TurnUntil([&] { return server.finished() == 1; }, 3s));
  const std::string wire = server.transcripts().at(0);
  // Streamed or not, the same data section.
  const std::string data = TransparentBody(body).toStdString() + "\r\n\r\n.\r\nQUIT\r\n";
  EXPECT_TRUE(wire.ends_with(data));
  EXPECT_NE(wire.find("\r\n..line 0 of the body\r\n"), std::string::npos);
  EXPECT_NE(wire.find("\r\nMessage-ID: " + w.statusMessageId().toStdString() + "\r\n"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, MailForm,
                         ::testing::Values(FormCase{"ShortBody", 0ms, 3, nullptr},
                                           FormCase{"StreamedBodySlowServer", 2500ms, 8000,
                                                    "qvmail"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The security choice as the control receives it, and what the server gets
// first: the sink offers no STARTTLS, and answers TLS's hello in plain text.
struct SecurityCase {
  const char* choice;      // the list's text
  int protocol;            // the control's Protocol after Send
  int usual_port;          // the port field once chosen
  QString ca_typed;        // put in the CA file field
  QString ca_file;         // the control's CaFile after Send
  QString user_name;       // the control's UserName after Send ("alice" typed)
  std::string wire_start;  // the first bytes the server received
  const char* status;      // the status bar's code
  const char* picture;     // a screenshot of the filled form, else nullptr
};

class MailFormSecurity : public ::testing::TestWithParam<SecurityCase> {};

TEST_P(MailFormSecurity, ReachesTheControl) {
  const SecurityCase& c = GetParam();
  std::atomic<bool> waiting{false};
  LoopbackServer server(Sink(0ms, &waiting));
  ASSERT_TRUE(server.ok());
  MailWindow w;
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  Ui::MailWindow& ui = w.ui();
  ui.securityCombo->setCurrentIndex(ui.securityCombo->findText(c.choice));
  EXPECT_EQ(ui.portSpin->value(), c.usual_port);
  ui.caFileEdit->setText(c.ca_typed);
  ui.userEdit->setText("alice");
  ui.passwordEdit->setText("pw-7f3a");
  EXPECT_EQ(ui.passwordEdit->echoMode(), QLineEdit::Password);
  Fill(w, server.port(), "Hello");
  if (c.picture != nullptr) {
    EXPECT_TRUE(SaveScreenshot(w, QString(c.picture) + ".png"));
  }

  QTest::mouseClick(ui.sendButton, Qt::LeftButton);
  ASSERT_TRUE(TurnUntil([&] { return ui.sendButton->isEnabled(); }, 10s));
  EXPECT_EQ(w.control().Protocol(), c.protocol);
  EXPECT_EQ(w.control().Port(), server.port());
  EXPECT_EQ(w.control().CaFile(), c.ca_file);
  EXPECT_EQ(w.control().UserName(), c.user_name);
  EXPECT_EQ(w.statusCode(), c.status) << w.statusText().toStdString();
  EXPECT_EQ(w.statusSecurity(), "");
  ASSERT_TRUE(TurnUntil([&] { return server.finished() == 1; }, 5s));
  EXPECT_TRUE(server.transcripts().at(0).starts_with(c.wire_start)) << server.transcripts().at(0);
}

INSTANTIATE_TEST_SUITE_P(
    Choices, MailFormSecurity,
    ::testing::Values(
        // A CA file left in the field is not given when there is no certificate to check,
        // nor are a user and password: they would go in the clear.
        SecurityCase{"None (HELO)", 0, 25, "/etc/relay-ca.pem", "", "", "HELO ", "0", nullptr},
        SecurityCase{"None (EHLO)", 1, 25, "", "", "", "EHLO ", "0", nullptr},
        SecurityCase{"STARTTLS", 2, 587, "/etc/relay-ca.pem", "/etc/relay-ca.pem", "alice", "EHLO ",
                     "2", "qvmail-security"},
        // A TLS record: the handshake's hello, checked against the system's CAs.
        SecurityCase{"TLS", 3, 465, "", "", "alice", "\x16\x03", "2", nullptr}),
    [](const auto& info) { return "Protocol" + std::to_string(info.param.protocol); });

TEST(MailForm, ARefusedConnectionShowsTheSocketsText) {
  MailWindow w;
  w.show();
  Fill(w, qv::test_support::UnusedLoopbackPort(), "Hello");
  w.control().setMessageId("earlier@example.com");  // as an earlier send leaves the control
  QTest::mouseClick(w.ui().sendButton, Qt::LeftButton);
  ASSERT_TRUE(TurnUntil([&] { return w.ui().sendButton->isEnabled(); }, 5s));
  EXPECT_EQ(w.statusCode(), "2");
  EXPECT_EQ(w.statusText(), "Connection refused");
  EXPECT_EQ(w.statusMessageId().toStdString(), "");  // no message was written
}

}  // namespace
}  // namespace qvmail
