// The control logging in to real servers: the private Postfix's listeners
// that take mail only after AUTH (Cyrus SASL, PLAIN and LOGIN) and
// aiosmtpd-oauth, which takes one bearer token by XOAUTH2 or OAUTHBEARER
// (store_server.py). ctest starts both (servers.py); without them these
// tests skip themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/real_server.hpp"
#include "qv/control/protocol.hpp"
#include "qv/core/text.hpp"
#include "qv/runtime/control_site.hpp"
#include "qv/runtime/event_loop.hpp"
#include "qv/testing/recording_sink.hpp"

namespace qv::runtime {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace integration;
using qv::testing::RecordingSink;

constexpr SmtpProtocol kStartTls = SmtpProtocol::kStartTls;
constexpr SmtpProtocol kImplicitTls = SmtpProtocol::kImplicitTls;

// The lines the control sent up to DATA, by command word, AUTH lines whole
// and secret-bearing continuations as the trace shows them; "|" where TLS
// began: "EHLO STARTTLS | EHLO AUTH PLAIN **** MAIL RCPT DATA".
std::string Conversation(const Wire& wire) {
  std::string out;
  bool data = false;
  const auto add = [&](const std::string& text) {
    for (std::size_t at = 0; at < text.size() && !data;) {
      std::size_t end = text.find("\r\n", at);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(at, end - at);
      const std::string word = line.rfind("AUTH ", 0) == 0 ? line : line.substr(0, line.find(' '));
      out += (out.empty() ? "" : " ") + word;
      data = word == "DATA";
      at = end + 2;
    }
  };
  add(wire.clear);
  if (!wire.secured.empty()) {
    out += out.empty() ? "|" : " |";
    add(wire.encrypted);
  }
  return out;
}

// The one Message-ID line of a delivered message's header (any case), or
// "" when there is none or more than one.
std::string MessageIdLine(const std::string& message) {
  std::string header = UnfoldedHeader(message);
  std::erase(header, '\r');
  std::string found;
  int count = 0;
  for (std::size_t at = 0; at < header.size();) {
    std::size_t end = header.find('\n', at);
    if (end == std::string::npos) end = header.size();
    std::string line = header.substr(at, end - at);
    std::string name = line.substr(0, 11);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "message-id:") {
      ++count;
      found = line;
    }
    at = end + 1;
  }
  return count == 1 ? found : "";
}

// What the control is given to log in with: the server's user with its
// password or token, or another one.
enum class Login { kNone, kPassword, kWrongPassword, kToken, kWrongToken };

// An authenticated conversation, and how it ends.
struct AuthCase {
  const char* name;
  const char* server;    // servers.py's name: postfix or aiosmtpd-oauth
  const char* listener;  // the state file's key of its port
  SmtpProtocol protocol;
  const char16_t* mechanism;  // AuthMechanism
  Login login;
  bool utf8_addresses;   // sender and recipient with UTF-8 local parts
  bool over_size_limit;  // a body longer than Postfix's message_size_limit
  Integer status;
  const char* status_str;  // UTF-8, a part of StatusStr
  const char* conversation;
  // How Postfix's Received: line names the protocol of a delivered message:
  // "ESMTPSA" after AUTH, "UTF8SMTPSA" when SMTPUTF8 was asked for too.
  const char* received_with = nullptr;
  // The listener's own name in Postfix's log, where only this case uses it.
  const char* log_name = nullptr;
};

// The ends of the connections to the listener that logs as name, as Postfix
// counts their commands: "ehlo=1 quit=1 commands=2".
std::vector<std::string> Disconnects(const fs::path& log, const std::string& name) {
  std::vector<std::string> found;
  std::istringstream lines(ReadBytes(log));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find(": disconnect from ");
    if (line.find(" " + name + "/smtpd[") == std::string::npos || at == std::string::npos) {
      continue;
    }
    found.push_back(line.substr(line.find("] ", at) + 2));
  }
  return found;
}

void PrintTo(const AuthCase& c, std::ostream* out) { *out << c.name; }

class Authentication : public RealServer, public ::testing::WithParamInterface<AuthCase> {
 protected:
  void SetUp() override { Load(GetParam().server); }
};

// Mail goes through where the server takes the login, by each mechanism; a
// refusal ends the send with the server's reply, and a send that could only
// have given the credentials away in the clear ends before AUTH. No secret is
// in anything the host or the wire trace sees. Every message delivered bears
// a Message-ID of its own, the one the control reports.
TEST_P(Authentication, EndsAsTheServerAllows) {
  const AuthCase& c = GetParam();
  const bool postfix = state_.at("kind") == "postfix";
  std::string user;
  std::string secret;
  if (c.login == Login::kPassword || c.login == Login::kWrongPassword) {
    user = state_.at("sasl_user").get<std::string>();
    secret = state_.at("sasl_password").get<std::string>();
  } else if (c.login != Login::kNone) {
    user = state_.at("oauth_user").get<std::string>();
    secret = state_.at("oauth_token").get<std::string>();
  }
  const bool wrong = c.login == Login::kWrongPassword || c.login == Login::kWrongToken;
  Wire wire;
  EventLoop loop;
  ControlSite site(loop, TracedTo(wire));
  RecordingSink sink;
  site->Advise(&sink);
  const std::string sender = UniqueSender(c.utf8_addresses ? "j\xC3\xB6rg" : "auth");
  const std::string recipient = c.utf8_addresses ? state_.at("utf8_recipient").get<std::string>()
                                                 : std::string("ann@qvsmtp.test");
  site->put_RemoteHost(u"localhost");
  site->put_Protocol(static_cast<Integer>(c.protocol));
  site->put_Port(state_.at(c.listener).get<Long>());
  site->put_CaFile(FromUtf8(state_.at("ca_file").get<std::string>()));
  site->put_AuthMechanism(c.mechanism);
  site->put_UserName(FromUtf8(user));
  if (c.login == Login::kPassword || c.login == Login::kWrongPassword) {
    site->put_Password(FromUtf8(wrong ? "not-" + secret : secret));
  } else if (c.login != Login::kNone) {
    site->put_OAuthToken(FromUtf8(wrong ? "not-" + secret : secret));
  }
  site->put_MailFrom(FromUtf8(sender));
  site->put_RcptTo(FromUtf8(recipient));
  site->put_Subject(u"Signed in");
  String body(u"from a known sender\r\n");
  if (c.over_size_limit) {
    const std::size_t limit = state_.at("size_limit").get<std::size_t>();
    while (body.size() <= limit) body += u"a line of the body that is just long enough\r\n";
  }
  site->put_Body(Variant(body));
  // A message delivered is sent once more, for a second Message-ID.
  const int sends = c.status == 0 ? 2 : 1;
  const fs::path log = state_.value("log", "");
  const std::size_t before = c.log_name ? Disconnects(log, c.log_name).size() : 0;
  std::vector<std::string> message_ids;
  for (int send = 0; send < sends; ++send) {
    ASSERT_EQ(site->Send(), 0);
    ASSERT_TRUE(loop.RunUntil([&] { return site->get_Busy() == kFalse; }, 60s))
        << Conversation(wire);
    EXPECT_EQ(site->get_status(), c.status) << ToUtf8(site->get_StatusStr());
    message_ids.push_back(ToUtf8(site->get_MessageId()));
  }

  EXPECT_NE(ToUtf8(site->get_StatusStr()).find(c.status_str), std::string::npos)
      << ToUtf8(site->get_StatusStr());
  EXPECT_EQ(sink.CountOf("SendComplete"), sends);
  EXPECT_EQ(Conversation(wire), c.conversation);
  if (!secret.empty()) {
    std::vector<std::string> seen{wire.clear, wire.encrypted, ToUtf8(site->get_StatusStr())};
    seen.insert(seen.end(), sink.events.begin(), sink.events.end());
    for (const std::string& text : seen) {
      EXPECT_EQ(text.find(secret.substr(0, 16)), std::string::npos) << text;
    }
  }
  if (c.log_name != nullptr) {
    // The server's own account of the connection: no AUTH came.
    std::vector<std::string> ends = Disconnects(log, c.log_name);
    for (int tries = 0; tries < 100 && ends.size() <= before; ++tries) {
      std::this_thread::sleep_for(100ms);
      ends = Disconnects(log, c.log_name);
    }
    ASSERT_EQ(ends.size(), before + 1);
    EXPECT_EQ(ends.back(), "ehlo=1 quit=1 commands=2");
  }
  if (c.status != 0) return;

  std::vector<std::string> messages;
  if (postfix) {
    const std::string maildir = c.utf8_addresses ? state_.at("utf8_maildir").get<std::string>()
                                                 : state_.at("mail").get<std::string>() + "/ann";
    messages = Delivered(maildir, sender, 15s, sends);
  } else {
    // The server took the login by the mechanism the conversation shows.
    for (const Stored& stored : StoredFrom(spool_, sender)) {
      EXPECT_EQ(stored.envelope.at("login"), user);
      const std::string auth = "AUTH " + stored.envelope.value("mechanism", "?") + " ";
      EXPECT_NE(std::string(c.conversation).find(auth), std::string::npos) << auth;
      messages.push_back(stored.message);
    }
  }
  ASSERT_EQ(messages.size(), 2u);
  std::vector<std::string> lines{MessageIdLine(messages[0]), MessageIdLine(messages[1])};
  std::sort(lines.begin(), lines.end());
  std::sort(message_ids.begin(), message_ids.end());
  ASSERT_NE(message_ids[0], message_ids[1]);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(lines[i], "Message-ID: <" + message_ids[i] + ">");
  if (c.received_with != nullptr) {
    for (const std::string& message : messages) {
      EXPECT_NE(UnfoldedHeader(message).find(std::string(" with ") + c.received_with + " id "),
                std::string::npos)
          << message;
    }
  }
}

constexpr auto kPassword = Login::kPassword;
constexpr auto kToken = Login::kToken;

INSTANTIATE_TEST_SUITE_P(
    , Authentication,
    ::testing::Values(
        AuthCase{"PostfixPlainOverStartTls", "postfix", "port_submission", kStartTls, u"",
                 kPassword, false, false, 0, "Success",
                 "EHLO STARTTLS | EHLO AUTH PLAIN **** MAIL RCPT DATA", "ESMTPSA"},
        AuthCase{"PostfixLoginOverImplicitTls", "postfix", "port_submissions", kImplicitTls,
                 u"LOGIN", kPassword, false, false, 0, "Success",
                 "| EHLO AUTH LOGIN **** **** MAIL RCPT DATA", "ESMTPSA"},
        AuthCase{"PostfixWrongPassword", "postfix", "port_submission", kStartTls, u"",
                 Login::kWrongPassword, false, false, 4,
                 "535 5.7.8 Error: authentication failed: authentication failure\r\n",
                 "EHLO STARTTLS | EHLO AUTH PLAIN **** QUIT"},
        AuthCase{"PostfixNoCredentials", "postfix", "port_submission", kStartTls, u"", Login::kNone,
                 false, false, 4,
                 "554 5.7.1 <ann@qvsmtp.test>: Recipient address rejected: Access denied\r\n",
                 // Pipelined: DATA went with RCPT, and no QUIT follows an unanswered DATA.
                 "EHLO STARTTLS | EHLO MAIL RCPT DATA"},
        AuthCase{"PostfixOffersAuthWithoutTls", "postfix", "port_auth_in_clear",
                 SmtpProtocol::kEsmtp, u"", kPassword, false, false, 2,
                 "Credentials are sent only over TLS, and this connection has none: nothing of "
                 "them was sent. Choose STARTTLS or TLS from the first byte.",
                 "EHLO QUIT", nullptr, "postfix/auth-in-clear"},
        AuthCase{"PostfixSmtputf8Addresses", "postfix", "port_submission", kStartTls, u"",
                 kPassword, true, false, 0, "Success",
                 "EHLO STARTTLS | EHLO AUTH PLAIN **** MAIL RCPT DATA", "UTF8SMTPSA"},
        // The server's SIZE says so before MAIL FROM: no byte of the data goes.
        AuthCase{"PostfixOverSizeLimitEndsBeforeMail", "postfix", "port_submission", kStartTls, u"",
                 kPassword, false, true, 2,
                 " bytes, and the server takes at most 200000: nothing of it was sent.",
                 "EHLO STARTTLS | EHLO AUTH PLAIN **** QUIT"},
        AuthCase{"AiosmtpdXoauth2", "aiosmtpd-oauth", "port", kStartTls, u"", kToken, false, false,
                 0, "Success", "EHLO STARTTLS | EHLO AUTH XOAUTH2 **** MAIL RCPT DATA"},
        AuthCase{"AiosmtpdOauthBearer", "aiosmtpd-oauth", "port", kStartTls, u"OAUTHBEARER", kToken,
                 false, false, 0, "Success",
                 "EHLO STARTTLS | EHLO AUTH OAUTHBEARER **** MAIL RCPT DATA"},
        AuthCase{"AiosmtpdXoauth2WrongToken", "aiosmtpd-oauth", "port", kStartTls, u"XOAUTH2",
                 Login::kWrongToken, false, false, 4,
                 "535 5.7.8 XOAUTH2: the token was not accepted\r\n",
                 "EHLO STARTTLS | EHLO AUTH XOAUTH2 **** **** QUIT"},
        AuthCase{"AiosmtpdOauthBearerWrongToken", "aiosmtpd-oauth", "port", kStartTls,
                 u"OAUTHBEARER", Login::kWrongToken, false, false, 4,
                 "535 5.7.8 OAUTHBEARER: the token was not accepted\r\n",
                 "EHLO STARTTLS | EHLO AUTH OAUTHBEARER **** **** QUIT"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qv::runtime
