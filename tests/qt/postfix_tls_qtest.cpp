// The mail form, and the control on Qt's event loop inside it, against the
// TLS listeners of the private Postfix instance (tests/integration/servers.py):
// deliveries over STARTTLS and TLS from the first byte, the refusals of
// certificates the control must not trust, and the submission listeners that
// take mail only from a user who logged in with the form's user and password.
// ctest starts the instance and names the folder where it is recorded in
// QV_INTEGRATION_SERVERS; without it, or where the instance cannot run, these
// tests skip themselves.
#include <gtest/gtest.h>

#include <QTest>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>

#include "form_screenshot.hpp"
#include "integration/real_server.hpp"
#include "mail_window.hpp"
#include "qt_wait.hpp"
#include "qv/qt/qvsmtp_widget.hpp"
#include "ui_mail_window.h"

namespace qvmail {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qv::qt::test_support::SaveScreenshot;
using qv::qt::test_support::TurnUntil;
using qv::runtime::integration::Delivered;
using qv::runtime::integration::ReadBytes;
using qv::runtime::integration::UniqueSender;

// What the form's user and password fields hold.
enum class Login { kNone, kRight, kWrongPassword };

struct TlsCase {
  const char* name;
  const char* choice;    // the form's security choice
  const char* listener;  // its port's key in the state file
  bool test_ca;          // the test CA in the CA file field, else the system's CAs
  const char* host;      // the server's name as typed
  const char* status;    // the status bar's code
  QString status_text;   // what the status bar's text starts with
  const char* picture;   // a screenshot after the send, else nullptr
  Login login = Login::kNone;
};

class PostfixTls : public ::testing::TestWithParam<TlsCase> {};

TEST_P(PostfixTls, DeliversOrRefuses) {
  const TlsCase& c = GetParam();
  const char* dir = std::getenv("QV_INTEGRATION_SERVERS");
  if (dir == nullptr || *dir == '\0') {
    GTEST_SKIP() << "QV_INTEGRATION_SERVERS is not set (run through ctest)";
  }
  const fs::path state_path = fs::path(dir) / "postfix.json";
  const nlohmann::json state = nlohmann::json::parse(ReadBytes(state_path), nullptr, false);
  ASSERT_TRUE(state.is_object()) << "no server recorded in " << state_path;
  if (state.contains("unavailable")) {
    GTEST_SKIP() << "postfix cannot run here: " << state.at("unavailable").get<std::string>();
  }
  ASSERT_TRUE(state.contains(c.listener)) << "no " << c.listener << " in " << state_path;
  const auto port = state.at(c.listener).get<std::uint16_t>();
  const std::string sender = UniqueSender(std::string("qt-") + c.name);

  MailWindow w;
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  Ui::MailWindow& ui = w.ui();
  ui.securityCombo->setCurrentIndex(ui.securityCombo->findText(c.choice));
  ui.portSpin->setValue(port);
  if (c.test_ca) {
    QTest::keyClicks(ui.caFileEdit, QString::fromStdString(state.at("ca_file").get<std::string>()));
  }
  if (c.login != Login::kNone) {
    const std::string password = state.at("sasl_password").get<std::string>();
    QTest::keyClicks(ui.userEdit, QString::fromStdString(state.at("sasl_user").get<std::string>()));
    QTest::keyClicks(ui.passwordEdit,
                     QString::fromStdString(c.login == Login::kRight ? password : password + "x"));
  }
  QTest::keyClicks(ui.serverEdit, c.host);
  QTest::keyClicks(ui.senderEdit, QString::fromStdString(sender));
  QTest::keyClicks(ui.recipientsEdit, "ann@qvsmtp.test");
  QTest::keyClicks(ui.subjectEdit, "Encrypted");
  ui.bodyEdit->setPlainText("Sent through the Qt host.");
  QTest::mouseClick(ui.sendButton, Qt::LeftButton);
  ASSERT_TRUE(TurnUntil([&] { return ui.sendButton->isEnabled(); }, 30s));
  if (c.picture != nullptr) {
    EXPECT_TRUE(SaveScreenshot(w, QString(c.picture) + ".png"));
  }

  EXPECT_EQ(w.statusCode(), c.status);
  EXPECT_TRUE(w.statusText().startsWith(c.status_text)) << w.statusText().toStdString();
  if (c.login != Login::kNone) {
    EXPECT_TRUE(ui.logView->toPlainText().contains("Sending AUTH PLAIN\n"))
        << ui.logView->toPlainText().toStdString();
  }
  // "TLSv1.3 TLS_AES_256_GCM_SHA384", as Postfix names them in the Received
  // line it adds: "(using TLSv1.3 with cipher TLS_AES_256_GCM_SHA384 ...".
  // A refused certificate (status 2) ends the send before any is agreed.
  const QStringList agreed = w.statusSecurity().split(' ', Qt::SkipEmptyParts);
  ASSERT_EQ(agreed.size(), QString(c.status) == "2" ? 0 : 2) << w.statusSecurity().toStdString();
  if (QString(c.status) != "0") {
    EXPECT_EQ(w.statusMessageId().toStdString(), "");  // refused before the message
    return;
  }
  const std::vector<std::string> delivered =
      Delivered(fs::path(state.at("mail").get<std::string>()) / "ann", sender, 15s);
  ASSERT_FALSE(delivered.empty()) << "nothing from " << sender << " reached ann";
  const std::string& message = delivered.front();
  const std::string used =
      "(using " + agreed[0].toStdString() + " with cipher " + agreed[1].toStdString() + " ";
  EXPECT_NE(message.find(used), std::string::npos) << message;
  ASSERT_FALSE(w.statusMessageId().isEmpty());
  EXPECT_NE(message.find("\nMessage-ID: " + w.statusMessageId().toStdString() + "\n"),
            std::string::npos)
      << message;
}

INSTANTIATE_TEST_SUITE_P(
    Listeners, PostfixTls,
    ::testing::Values(
        TlsCase{"StartTls", "STARTTLS", "port_starttls", true, "localhost", "0", "Success",
                "qvmail-starttls"},
        TlsCase{"ImplicitTls", "TLS", "port_tls", true, "127.0.0.1", "0", "Success", nullptr},
        // The test CA is in no system's store.
        TlsCase{"Untrusted", "STARTTLS", "port_starttls", false, "127.0.0.1", "2",
                "The server's certificate is not trusted: ", nullptr},
        TlsCase{"OtherName", "STARTTLS", "port_starttls_wrong_name", true, "127.0.0.1", "2",
                "The server's certificate is not for 127.0.0.1: it is for mx.elsewhere.test",
                nullptr},
        // The plain listener: TLS asked for, never offered.
        TlsCase{"NotOffered", "STARTTLS", "port", true, "127.0.0.1", "2",
                "TLS is required, and the server does not offer STARTTLS: nothing more was sent.",
                nullptr},
        TlsCase{"Expired", "TLS", "port_tls_expired", true, "127.0.0.1", "2",
                "The server's certificate is not valid now: ", nullptr},
        TlsCase{"AuthStartTls", "STARTTLS", "port_submission", true, "localhost", "0", "Success",
                "qvmail-auth", Login::kRight},
        TlsCase{"AuthImplicitTls", "TLS", "port_submissions", true, "127.0.0.1", "0", "Success",
                nullptr, Login::kRight},
        TlsCase{"WrongPassword", "STARTTLS", "port_submission", true, "localhost", "4",
                "535 5.7.8 Error: authentication failed", nullptr, Login::kWrongPassword},
        // Nothing is taken from a client that did not log in.
        TlsCase{"NoLogin", "STARTTLS", "port_submission", true, "localhost", "4",
                "554 5.7.1 <ann@qvsmtp.test>: Recipient address rejected", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qvmail
