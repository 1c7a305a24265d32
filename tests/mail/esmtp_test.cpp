// The ESMTP conversations against a scripted server: EHLO and its
// capabilities, STARTTLS required, TLS from the first byte, and what a
// meddler on the path can try.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "qv/control/protocol.hpp"
#include "rig.hpp"

namespace qv::testing {
namespace {

using namespace mail::session_state;

constexpr char16_t kEhloReply[] =
    u"250-mail.example.com greets you\r\n250-SIZE 10240000\r\n250-starttls\r\n250 8BITMIME\r\n";

// A server that offers what kEhloReply offers and accepts everything.
std::u16string Submission(const std::u16string& line) {
  if (line.rfind(u"EHLO", 0) == 0) return kEhloReply;
  if (line == u"STARTTLS\r\n") return u"220 2.0.0 Ready to start TLS\r\n";
  return Rig::Accepting(line);
}

// The same server behind a relay that strips STARTTLS from its offer.
std::u16string Stripped(const std::u16string& line) {
  if (line.rfind(u"EHLO", 0) == 0) return u"250-mail.example.com\r\n250 SIZE 10240000\r\n";
  return Submission(line);
}

// A server that answers the command with reply, and every other line as rest
// does.
std::function<std::u16string(const std::u16string&)> Answering(
    std::u16string command, std::u16string reply,
    std::u16string (*rest)(const std::u16string&) = Submission) {
  return
      [=](const std::u16string& line) { return line.rfind(command, 0) == 0 ? reply : rest(line); };
}

enum class Handshake { kCompletes, kFails, kStalls };

// The commands written, in order, with "." for the end of the data.
std::string Verbs(const FakeSocket& socket) {
  std::string verbs;
  for (const String& write : socket.writes) {
    std::string text = ToUtf8(write);
    text = text == "\r\n.\r\n" ? "." : text.substr(0, text.find_first_of(" \r"));
    if (text.empty() ||
        text.find_first_not_of(".ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string::npos) {
      continue;  // the message's own lines
    }
    if (!verbs.empty()) verbs += ' ';
    verbs += text;
  }
  return verbs;
}

struct Outcome {
  Integer status;
  std::string verbs;
  std::string status_text;
};

// Plays server for a whole send in protocol; handshake says what the TLS
// handshake that StartTls begins comes to; each reply arrives piece
// characters at a time (0: whole).
Outcome Converse(Rig& rig, SmtpProtocol protocol,
                 const std::function<std::u16string(const std::u16string&)>& server,
                 Handshake handshake = Handshake::kCompletes,
                 std::u16string greeting = u"220 ready\r\n", std::size_t piece = 0) {
  rig.control.put_Protocol(static_cast<Integer>(protocol));
  rig.control.Send();
  if (protocol == SmtpProtocol::kImplicitTls) rig.socket.Secure();
  rig.socket.AcceptConnection();
  rig.socket.ServerSends(greeting);
  std::size_t seen = 0;
  for (int tick = 0; tick < 20000 && rig.timer.Enabled(); ++tick) {
    rig.Tick();
    for (; seen < rig.socket.writes.size(); ++seen) {
      const std::u16string reply = server(rig.socket.writes[seen]);
      const std::size_t step = piece == 0 ? reply.size() : piece;
      for (std::size_t at = 0; at < reply.size(); at += step) {
        rig.socket.ServerSends(reply.substr(at, step));
      }
    }
    if (rig.state() == kWaitTlsHandshake && rig.socket.TlsDescription().empty()) {
      if (handshake == Handshake::kCompletes) rig.socket.Secure();
      if (handshake == Handshake::kFails) {
        rig.socket.ReportError(20003, u"The server's certificate is for another name");
      }
    }
  }
  return {rig.control.get_status(), Verbs(rig.socket), ToUtf8(rig.control.get_StatusStr())};
}

TEST(Esmtp, ConversationsAndTheirEndings) {
  const std::string kDelivered = "MAIL RCPT RCPT DATA . QUIT";
  // A row per case.
  // clang-format off
  const struct {
    const char* name;
    SmtpProtocol protocol;
    std::function<std::u16string(const std::u16string&)> server;
    Handshake handshake;
    Outcome want;
  } cases[] = {
      {"EHLO in plain text", SmtpProtocol::kEsmtp, Submission, Handshake::kCompletes, {0,
       "EHLO " + kDelivered, "Success"}},
      {"EHLO refused: the original conversation", SmtpProtocol::kEsmtp, Answering(u"EHLO",
       u"502 5.5.2 Error: command not recognized\r\n", Rig::Accepting), Handshake::kCompletes, {0,
       "EHLO HELO " + kDelivered, "Success"}},
      {"STARTTLS, then EHLO again", SmtpProtocol::kStartTls, Submission, Handshake::kCompletes, {0,
       "EHLO STARTTLS EHLO " + kDelivered, "Success"}},
      {"TLS from the first byte", SmtpProtocol::kImplicitTls, Submission, Handshake::kCompletes, {0,
       "EHLO " + kDelivered, "Success"}},
      {"STARTTLS stripped from the offer", SmtpProtocol::kStartTls, Stripped, Handshake::kCompletes,
       {2, "EHLO", "does not offer STARTTLS"}},
      {"STARTTLS refused", SmtpProtocol::kStartTls, Answering(u"STARTTLS",
       u"454 4.7.0 TLS not available\r\n", Submission), Handshake::kCompletes, {2, "EHLO STARTTLS",
       "refused STARTTLS: 454 4.7.0"}},
      {"EHLO refused when TLS is required", SmtpProtocol::kStartTls, Answering(u"EHLO",
       u"500 unknown\r\n", Submission), Handshake::kCompletes, {2, "EHLO",
       "refused EHLO: 500 unknown"}},
      {"text injected after the go-ahead", SmtpProtocol::kStartTls, Answering(u"STARTTLS",
       u"220 go ahead\r\n250-injected\r\n250 STARTTLS\r\n", Submission), Handshake::kCompletes, {2,
       "EHLO STARTTLS", "something on the path added it"}},
      {"a handshake that fails", SmtpProtocol::kStartTls, Submission, Handshake::kFails, {2,
       "EHLO STARTTLS", "for another name"}},
      {"a handshake that stalls", SmtpProtocol::kStartTls, Submission, Handshake::kStalls, {3,
       "EHLO STARTTLS", "Timeout waiting for TLS handshake."}},
      {"a refusal ends the send at once", SmtpProtocol::kEsmtp, Answering(u"MAIL",
       u"530 5.7.0 Must issue a STARTTLS command first\r\n", Submission), Handshake::kCompletes, {4,
       "EHLO MAIL QUIT", "530 5.7.0 Must issue a STARTTLS"}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.control.put_CaFile(u"/etc/relay-ca.pem");
    const Outcome got = Converse(rig, c.protocol, c.server, c.handshake);
    EXPECT_EQ(got.status, c.want.status);
    EXPECT_EQ(got.verbs, c.want.verbs);
    EXPECT_NE(got.status_text.find(c.want.status_text), std::string::npos) << got.status_text;
    if (c.protocol != SmtpProtocol::kEsmtp && c.want.status == 0) {
      // The certificate is checked against the name the user gave.
      EXPECT_NE(std::find(rig.socket.calls.begin(), rig.socket.calls.end(),
                          "StartTls mail.example.com /etc/relay-ca.pem"),
                rig.socket.calls.end());
    }
  }
}

TEST(Esmtp, CapabilitiesComeFromTheWholeReplyWhereverItIsSplit) {
  const std::u16string reply = kEhloReply;
  for (std::size_t split = 1; split < reply.size(); ++split) {
    SCOPED_TRACE(split);
    Rig rig;
    rig.control.put_Protocol(static_cast<Integer>(SmtpProtocol::kStartTls));
    rig.StartAndGreet();
    while (rig.state() != kWaitEhloAck) ASSERT_TRUE(rig.Tick());
    rig.socket.ServerSends(reply.substr(0, split));
    ASSERT_TRUE(rig.Tick());
    EXPECT_EQ(rig.state(), kWaitEhloAck);  // never before the last line
    rig.socket.ServerSends(reply.substr(split));
    // On arrival, not at the next tick: STARTTLS is already written.
    EXPECT_EQ(rig.state(), kWaitStartTlsAck);
    EXPECT_EQ(rig.control.Snapshot().capabilities,
              (std::vector<String>{u"SIZE 10240000", u"STARTTLS", u"8BITMIME"}));
  }
}

TEST(Esmtp, TlsFromTheFirstByteGoesToItsOwnPortAndSaysSo) {
  Rig rig;
  ASSERT_EQ(Converse(rig, SmtpProtocol::kImplicitTls, Submission).status, 0);
  const auto start =
      std::find(rig.socket.calls.begin(), rig.socket.calls.end(), "StartTls mail.example.com ");
  ASSERT_NE(start, rig.socket.calls.end());
  EXPECT_EQ(*std::next(start), "Connect mail.example.com 465");
  EXPECT_EQ(rig.sink.CountOf("DebugMessage TLS started: TLSv1.3 TLS_AES_256_GCM_SHA384"), 1);
  EXPECT_EQ(rig.control.Snapshot().tls, u"TLSv1.3 TLS_AES_256_GCM_SHA384");

  Rig other_port;
  other_port.control.put_Port(2465);
  Converse(other_port, SmtpProtocol::kImplicitTls, Submission);
  EXPECT_NE(std::find(other_port.socket.calls.begin(), other_port.socket.calls.end(),
                      "Connect mail.example.com 2465"),
            other_port.socket.calls.end());
}

// In the ESMTP conversations a reply moves the conversation on when it
// arrives: a whole send needs no tick at all. A reply that
// arrives while a handler runs waits until that step has returned: steps are
// never nested, and the events come in the order of the original
// conversation.
TEST(Esmtp, StepsRunOnArrivalNeverInsideAHandler) {
  for (const bool answer_inside_handler : {false, true}) {
    SCOPED_TRACE(answer_inside_handler);
    Rig rig;
    int depth = 0;
    int deepest = 0;
    std::size_t answered = 0;
    const auto serve = [&] {
      while (answered < rig.socket.writes.size()) {
        const std::u16string reply = Submission(rig.socket.writes[answered++]);
        if (!reply.empty()) rig.socket.ServerSends(reply);
      }
    };
    rig.sink.on_debug_message = [&](String&) {
      deepest = std::max(deepest, ++depth);
      if (answer_inside_handler) serve();  // as a host that steps its loop here
      --depth;
    };
    rig.control.put_Protocol(static_cast<Integer>(SmtpProtocol::kEsmtp));
    rig.StartAndGreet();
    serve();  // no tick at all
    EXPECT_FALSE(rig.control.get_Busy());
    EXPECT_EQ(rig.control.get_status(), 0);
    EXPECT_EQ(Verbs(rig.socket), "EHLO MAIL RCPT RCPT DATA . QUIT");
    EXPECT_EQ(deepest, 1);
  }
}

// With PIPELINING the envelope and DATA go in one write, and the replies,
// however they arrive, are taken in order: the outcome is the unpipelined
// conversation's, and after DATA nothing is written before its 354.
TEST(Esmtp, PipelinedRepliesAreTakenInOrder) {
  const std::u16string ehlo = u"250-mail.example.com\r\n250 PIPELINING\r\n";
  const std::u16string refused = u"550 5.1.1 <b@example.com>: no such user\r\n";
  // clang-format off
  const struct {
    const char* name;
    std::size_t piece;  // the replies arrive this many characters at a time (0: whole)
    std::u16string rcpt_b;
    Integer status;
    std::string status_text;
    std::string verbs;
    bool reconnect = false;  // the socket connects again instead of replying
  } cases[] = {
      {"replies together", 0, u"250 ok\r\n", 0, "Success", "EHLO MAIL . QUIT"},
      {"replies a character at a time", 1, u"250 ok\r\n", 0, "Success", "EHLO MAIL . QUIT"},
      {"550 to the second of three", 0, refused, 4, ToUtf8(refused), "EHLO MAIL"},
      {"550 to the second, in pieces", 3, refused, 4, ToUtf8(refused), "EHLO MAIL"},
      // The conversation starts again: DATA is written again before the message.
      {"connected again", 0, u"250 ok\r\n", 0, "Success", "EHLO MAIL EHLO MAIL RCPT RCPT RCPT DATA . QUIT", true},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.control.put_RcptTo(u"a@example.com, b@example.com, c@example.com");
    int mails = 0;
    const auto server = [&](const std::u16string& line) -> std::u16string {
      // Connected again, the server no longer offers PIPELINING.
      if (line.rfind(u"EHLO", 0) == 0) return mails == 0 ? ehlo : u"250 mail.example.com\r\n";
      if (line.rfind(u"MAIL", 0) != 0 || mails++ > 0) return Rig::Accepting(line);
      // What a server answers, in order, to what was written together.
      EXPECT_EQ(line,
                u"MAIL FROM: <from@example.com>\r\nRCPT TO: <a@example.com>\r\n"
                u"RCPT TO: <b@example.com>\r\nRCPT TO: <c@example.com>\r\nDATA\r\n");
      if (!c.reconnect)
        return u"250 sender ok\r\n250 ok\r\n" + c.rcpt_b + u"250 ok\r\n354 go ahead\r\n";
      rig.socket.AcceptConnection();
      return u"220 ready again\r\n";
    };
    const Outcome got = Converse(rig, SmtpProtocol::kEsmtp, server, Handshake::kCompletes,
                                 u"220 ready\r\n", c.piece);
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.status_text, c.status_text);
    EXPECT_EQ(got.verbs, c.verbs);
  }
}

// Submission servers scan the mail before they answer its end: the ESMTP
// conversations wait ten minutes for that answer, the original one ten
// seconds. Their clock: the ESMTP conversations tick once a second, which
// limits of a minute and more need, unless the host writes the body.
TEST(Esmtp, TheEndOfDataIsWaitedForTenMinutes) {
  for (const SmtpProtocol protocol : {SmtpProtocol::kHelo, SmtpProtocol::kEsmtp}) {
    Rig rig;
    double end_of_data = 0;
    const Outcome got = Converse(rig, protocol, [&](const std::u16string& line) -> std::u16string {
      if (line != u"\r\n.\r\n") return Submission(line);
      end_of_data = rig.clock.SecondsSinceMidnight();
      return u"";
    });
    EXPECT_EQ(got.status, 3);
    const double waited = rig.clock.SecondsSinceMidnight() - end_of_data;
    EXPECT_NEAR(waited, protocol == SmtpProtocol::kHelo ? 10.0 : 600.0, 1.0);
    EXPECT_EQ(rig.timer.Interval(), protocol == SmtpProtocol::kHelo ? 50 : 1000);
  }
  Rig streaming;  // SendBody keeps its 50 ms beat
  streaming.control.put_Protocol(static_cast<Integer>(SmtpProtocol::kEsmtp));
  streaming.control.put_BodyEvent(1);
  streaming.control.Send();
  EXPECT_EQ(streaming.timer.Interval(), 50);
}

// What MAIL FROM declares, and what the control does when the server cannot
// take the message as it is: SIZE, 8BITMIME, SMTPUTF8, and the mends that hold
// in every conversation (NUL in the body, an over-long address or header).
TEST(Esmtp, TheMessageGoesAsTheServerCanTakeIt) {
  const auto offering = [](std::u16string keywords) {
    return [keywords](const std::u16string& line) -> std::u16string {
      if (line.rfind(u"EHLO", 0) == 0)
        return u"250-mail.example.com\r\n" + keywords + u"250 HELP\r\n";
      return Rig::Accepting(line);
    };
  };
  const std::u16string all = u"250-SIZE 10240000\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n";
  const String grusse = u"Gr\u00fc\u00dfe";
  // A row per case.
  // clang-format off
  const struct {
    const char* name;
    SmtpProtocol protocol;
    std::u16string offered;
    std::function<void(Rig&)> arrange;
    Integer status;
    std::string mail_from;  // the MAIL FROM line's parameters, or the status text
    std::string wire_has;   // in the message as written
  } cases[] = {
      {"SIZE declares the message's own size", SmtpProtocol::kEsmtp, all, [](Rig&) {}, 0,
       " SIZE=", ""},
      {"a message larger than SIZE allows", SmtpProtocol::kEsmtp, u"250-SIZE 100\r\n",
       [](Rig& r) { r.control.put_Body(Variant(String(200, u'x'))); }, 2,
       "bytes, and the server takes at most 100: nothing of it was sent.", ""},
      {"8-bit text declared to a server that takes it", SmtpProtocol::kEsmtp, all,
       [&](Rig& r) { r.control.put_Body(Variant(grusse)); }, 0,
       " BODY=8BITMIME SIZE=", "Content-Transfer-Encoding: 8bit\r\n"},
      {"8-bit text quoted-printable to one that does not", SmtpProtocol::kEsmtp, u"",
       [&](Rig& r) { r.control.put_Body(Variant(grusse + u" a=b")); }, 0, "",
       "Content-Transfer-Encoding: quoted-printable\r\nX-Mailer: qvSMTP by Quenvix\r\n"
       "Subject: Hi\r\n\r\nGr=C3=BC=C3=9Fe a=3Db\r\n"},
      {"a streamed UTF-8 body quoted-printable on its way", SmtpProtocol::kEsmtp, u"",
       [&](Rig& r) {
         ControlInternals::Properties(r.control).ContentType = u"text/plain; charset=UTF-8";
         r.control.put_BodyEvent(1);
         r.sink.on_send_body = [&r](Integer&) {
           r.control.SendData(Variant(String(u"\u00e9t\u00e9 ")));
         };
       },
       0, "", "Content-Transfer-Encoding: quoted-printable\r\n"},
      {"an address outside ASCII to a server with SMTPUTF8", SmtpProtocol::kEsmtp, all,
       [](Rig& r) { r.control.put_RcptTo(u"j\u00f6rg@example.com"); }, 0, " SMTPUTF8 SIZE=", ""},
      {"an address outside ASCII to a server without", SmtpProtocol::kEsmtp, u"250-8BITMIME\r\n",
       [](Rig& r) { r.control.put_RcptTo(u"a@example.com, j\u00f6rg@example.com"); }, 2,
       "The address j\xC3\xB6rg@example.com is outside ASCII, and the server does not offer "
       "SMTPUTF8",
       ""},
      {"NUL in the body goes quoted-printable, also after HELO", SmtpProtocol::kHelo, u"",
       [](Rig& r) { r.control.put_Body(Variant(String(u"a\0b", 3))); }, 0, "",
       "quoted-printable\r\nX-Mailer: qvSMTP by Quenvix\r\nSubject: Hi\r\n\r\na=00b\r\n"},
      {"an address longer than any server takes", SmtpProtocol::kHelo, u"",
       [](Rig& r) { r.control.put_MailFrom(String(300, u'a') + u"@example.com"); }, 2,
       "octets with its angle brackets is longer than the 256 a server takes", ""},
      {"a header line past 998 octets is folded", SmtpProtocol::kHelo, u"",
       [](Rig& r) { r.control.put_Subject(String(600, u'x') + u" " + String(600, u'y')); }, 0, "",
       "\r\nSubject: " + std::string(600, 'x') + "\r\n " + std::string(600, 'y') + "\r\n"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    c.arrange(rig);
    const Outcome got = Converse(rig, c.protocol, offering(c.offered));
    EXPECT_EQ(got.status, c.status) << got.status_text;
    std::string message;
    std::string mail_from;
    for (const String& write : rig.socket.writes) {
      const std::string text = ToUtf8(write);
      if (text.rfind("MAIL FROM:", 0) == 0) mail_from = text;
      if (message.ends_with("\r\n.\r\n")) break;
      if (!message.empty() || text.rfind("Priority:", 0) == 0) message += text;
    }
    if (c.status != 0) {
      EXPECT_NE(got.status_text.find(c.mail_from), std::string::npos) << got.status_text;
      EXPECT_EQ(mail_from, "");  // ended before MAIL FROM
      continue;
    }
    const std::string params = mail_from.substr(mail_from.find('>') + 1);
    EXPECT_EQ(params.substr(0, c.mail_from.size()), c.mail_from) << mail_from;
    EXPECT_NE(message.find(c.wire_has), std::string::npos) << message;
    std::size_t line_start = 0;  // no line past 998 octets
    for (std::size_t end; (end = message.find("\r\n", line_start)) != std::string::npos;
         line_start = end + 2) {
      EXPECT_LE(end - line_start, 998u);
    }
    if (const std::size_t size = params.find("SIZE="); size != std::string::npos) {
      // What SIZE declared is what went, up to the final dot.
      EXPECT_EQ(std::stoul(params.substr(size + 5)), message.size() - 3) << message;
    }
  }
}

// A submission server that wants AUTH: it offers mechanisms, asks LOGIN's
// two questions, and answers each secret as the case says.
struct AuthServer {
  std::u16string offered = u"PLAIN LOGIN XOAUTH2 OAUTHBEARER";
  std::u16string verdict = u"235 2.7.0 Authentication successful\r\n";
  std::u16string token_error;  // a 334 error challenge before the verdict

  static AuthServer Offering(std::u16string offered = u"PLAIN LOGIN XOAUTH2 OAUTHBEARER",
                             std::u16string verdict = u"235 2.7.0 Authentication successful\r\n",
                             std::u16string token_error = u"") {
    return {std::move(offered), std::move(verdict), std::move(token_error)};
  }

  std::u16string operator()(const std::u16string& line) const {
    if (line.rfind(u"EHLO", 0) == 0) {
      return u"250-mail.example.com\r\n250-STARTTLS\r\n" +
             (offered.empty() ? u"" : u"250-AUTH " + offered + u"\r\n") + u"250 8BITMIME\r\n";
    }
    if (line == u"AUTH LOGIN\r\n") return u"334 VXNlcm5hbWU6\r\n";
    if (line == u"YW5u\r\n") return u"334 UGFzc3dvcmQ6\r\n";  // "ann"
    if (line.rfind(u"AUTH XOAUTH2", 0) == 0 || line.rfind(u"AUTH OAUTHBEARER", 0) == 0) {
      return token_error.empty() ? verdict : token_error;
    }
    // The answers to an error challenge; the message's own blank line is not one.
    const bool after_error = !token_error.empty() && (line == u"\r\n" || line == u"AQ==\r\n");
    if (line.rfind(u"AUTH", 0) == 0 || line == u"czNjcmV0\r\n" || after_error) return verdict;
    return Submission(line);
  }
};

TEST(Auth, MechanismsRefusalsAndTheRuleOfTls) {
  const std::u16string kError =
      u"334 eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJtYWlsIn0=\r\n";
  const std::string kDelivered = "MAIL RCPT RCPT DATA . QUIT";
  // A row per case.
  // clang-format off
  const struct {
    const char* name;
    SmtpProtocol protocol;
    std::u16string host;
    bool token;
    std::u16string forced;
    bool in_the_clear;
    AuthServer server;
    Outcome want;
    const char* auth_line;  // what the wire carries for AUTH, "" for none
  } cases[] = {
      {"PLAIN over STARTTLS", SmtpProtocol::kStartTls, u"mail.example.com", false, u"", false, {},
       {0, "EHLO STARTTLS EHLO AUTH " + kDelivered, "Success"}, "AUTH PLAIN AGFubgBzM2NyZXQ=\r\n"},
      {"LOGIN where only LOGIN is offered", SmtpProtocol::kImplicitTls, u"mail.example.com",
       false, u"", false, AuthServer::Offering(u"LOGIN"), {0, "EHLO AUTH " + kDelivered, "Success"},
       "AUTH LOGIN\r\n"},
      {"XOAUTH2 chosen for a token", SmtpProtocol::kImplicitTls, u"mail.example.com", true, u"",
       false, AuthServer::Offering(), {0, "EHLO AUTH " + kDelivered, "Success"},
       "AUTH XOAUTH2 dXNlcj1hbm4BYXV0aD1CZWFyZXIgdDBrZW4BAQ==\r\n"},
      {"an XOAUTH2 error challenge gets the empty line", SmtpProtocol::kImplicitTls,
       u"mail.example.com", true, u"", false, AuthServer::Offering(u"XOAUTH2",
       u"535 5.7.8 Username and Password not accepted\r\n", kError), {4, "EHLO AUTH QUIT",
       "535 5.7.8 Username and Password not accepted"}, nullptr},
      {"an OAUTHBEARER error challenge gets ^A", SmtpProtocol::kImplicitTls, u"mail.example.com",
       true, u"oauthbearer", false, AuthServer::Offering(u"OAUTHBEARER XOAUTH2",
       u"535 5.7.8 invalid token\r\n", kError), {4, "EHLO AUTH QUIT", "535 5.7.8 invalid token"},
       nullptr},
      {"a wrong password", SmtpProtocol::kStartTls, u"mail.example.com", false, u"", false,
       AuthServer::Offering(u"PLAIN", u"535 5.7.8 Error: authentication failed\r\n"), {4,
       "EHLO STARTTLS EHLO AUTH QUIT", "535 5.7.8 Error: authentication failed"}, nullptr},
      {"a temporary failure", SmtpProtocol::kStartTls, u"mail.example.com", false, u"", false,
       AuthServer::Offering(u"PLAIN", u"454 4.7.0 Temporary authentication failure\r\n"), {4,
       "EHLO STARTTLS EHLO AUTH QUIT", "454 4.7.0"}, nullptr},
      {"no TLS: nothing of the secret is sent", SmtpProtocol::kEsmtp, u"mail.example.com", false,
       u"", true, AuthServer::Offering(), {2, "EHLO QUIT", "only over TLS"}, ""},
      {"no TLS, to this machine, allowed", SmtpProtocol::kEsmtp, u"127.0.0.1", false, u"", true,
       AuthServer::Offering(), {0, "EHLO AUTH " + kDelivered, "Success"},
       "AUTH PLAIN AGFubgBzM2NyZXQ=\r\n"},
      {"no TLS, to this machine, not allowed", SmtpProtocol::kEsmtp, u"localhost", false, u"",
       false, AuthServer::Offering(), {2, "EHLO QUIT", "only over TLS"}, ""},
      {"AUTH not offered", SmtpProtocol::kStartTls, u"mail.example.com", false, u"", false,
       AuthServer::Offering(u""), {2, "EHLO STARTTLS EHLO QUIT", "does not offer AUTH"}, ""},
      {"a forced mechanism not offered", SmtpProtocol::kStartTls, u"mail.example.com", false,
       u"LOGIN", false, AuthServer::Offering(u"PLAIN"), {2, "EHLO STARTTLS EHLO QUIT",
       "does not offer AUTH LOGIN"}, ""},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.control.put_RemoteHost(c.host);
    rig.control.put_UserName(u"ann");
    if (c.token) {
      rig.control.put_OAuthToken(u"t0ken");
    } else {
      rig.control.put_Password(u"s3cret");
    }
    rig.control.put_AuthMechanism(c.forced);
    rig.control.put_AuthInTheClear(c.in_the_clear ? kTrue : kFalse);
    const Outcome got = Converse(rig, c.protocol, c.server);
    EXPECT_EQ(got.status, c.want.status);
    EXPECT_EQ(got.verbs, c.want.verbs);
    EXPECT_NE(got.status_text.find(c.want.status_text), std::string::npos) << got.status_text;
    const std::string wire = rig.Transcript();
    if (c.auth_line != nullptr) {
      EXPECT_EQ(wire.find("AUTH") == std::string::npos, *c.auth_line == '\0');
      if (*c.auth_line != '\0') {
        EXPECT_NE(wire.find(c.auth_line), std::string::npos) << wire;
      }
    }
    // The secret and its encodings appear nowhere but on the wire.
    EXPECT_EQ(rig.control.get_Password(), u"");
    EXPECT_EQ(rig.control.get_OAuthToken(), u"");
    for (const std::vector<std::string>* shown : {&rig.socket.calls, &rig.sink.events}) {
      for (const std::string& entry : *shown) {
        for (const char* secret : {"s3cret", "t0ken", "AGFubgBz", "dXNlcj1hbm4B"}) {
          EXPECT_EQ(entry.find(secret), std::string::npos) << entry;
        }
      }
    }
  }
}

// LOGIN's question is answered only once it has arrived whole, wherever TCP
// cuts it: an answer to half a question would be read as the next line.
TEST(Auth, AChallengeIsAnsweredOnlyWhole) {
  const std::u16string challenge = u"334 VXNlcm5hbWU6\r\n";
  for (std::size_t split = 1; split < challenge.size(); ++split) {
    SCOPED_TRACE(split);
    Rig rig;
    rig.control.put_UserName(u"ann");
    rig.control.put_Password(u"s3cret");
    rig.control.put_AuthMechanism(u"LOGIN");
    rig.control.put_Protocol(static_cast<Integer>(SmtpProtocol::kImplicitTls));
    rig.control.Send();
    rig.socket.Secure();
    rig.socket.AcceptConnection();
    rig.socket.ServerSends(u"220 ready\r\n");
    for (int tick = 0; tick < 50 && rig.state() != kWaitAuthAck; ++tick) {
      rig.Tick();
      if (rig.state() == kWaitEhloAck && rig.socket.writes.size() == 1) {
        rig.socket.ServerSends(AuthServer::Offering(u"LOGIN")(rig.socket.writes.back()));
      }
    }
    ASSERT_EQ(rig.state(), kWaitAuthAck);
    const std::size_t written = rig.socket.writes.size();
    rig.socket.ServerSends(challenge.substr(0, split));
    rig.Tick();
    EXPECT_EQ(rig.socket.writes.size(), written);
    rig.socket.ServerSends(challenge.substr(split));
    rig.Tick();
    EXPECT_EQ(rig.socket.writes.size(), written + 1);
  }
}

}  // namespace
}  // namespace qv::testing
