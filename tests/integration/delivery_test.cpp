// The control on the real runtime against SMTP servers that no one here wrote:
// aiosmtpd, which stores every message it takes (store_server.py), Postfix's
// smtp-sink, and a private Postfix instance with TLS listeners and a test CA
// of its own. ctest starts them (servers.py) and names the folder where they
// are recorded in QV_INTEGRATION_SERVERS; without it these tests skip
// themselves, as they do when the state says a server is unavailable here.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "integration/real_server.hpp"
#include "qv/control/protocol.hpp"
#include "qv/core/date.hpp"
#include "qv/core/text.hpp"
#include "qv/runtime/control_site.hpp"
#include "qv/runtime/event_loop.hpp"
#include "qv/testing/recording_sink.hpp"
#include "support/helo_name.hpp"

namespace qv::runtime {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using connection::SocketOptions;
using qv::testing::RecordingSink;
using namespace integration;

class Aiosmtpd : public RealServer {
 protected:
  void SetUp() override {
    // A zone with summer time: the Date header carries the offset of its own
    // date, not of today.
    if (const char* tz = std::getenv("TZ")) saved_tz_ = tz;
    ::setenv("TZ", "America/New_York", 1);
    ::tzset();
    Load("aiosmtpd");
  }
  void TearDown() override {
    if (saved_tz_) {
      ::setenv("TZ", saved_tz_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

  // Sends and steps the loop until SendComplete.
  void SendAndWait(EventLoop& loop, ControlSite& site) {
    ASSERT_EQ(site->Send(), 0);
    ASSERT_TRUE(loop.RunUntil([&] { return site->get_Busy() == kFalse; }, 60s));
  }

  std::optional<std::string> saved_tz_;
};

TEST_F(Aiosmtpd, TheStoredMessageIsTheComposedOne) {
  EventLoop loop;
  ControlSite site(loop, Options());
  RecordingSink sink;
  site->Advise(&sink);
  const std::string sender = UniqueSender("library");
  site->put_RemoteHost(u"127.0.0.1");
  site->put_MailFrom(FromUtf8(sender));
  site->put_RcptTo(u" ann@example.test,bea@example.test");
  site->put_Priority(u"High");
  site->put_Subject(u"Gr\u00fc\u00dfe\r\nvom Test");
  site->put_DateHeader(*FromCalendar(2021, 7, 4, 9, 30, 0));
  site->put_Body(Variant(String(u".\n.x\nline\r\n\u65e5\u672c \U0001F600\r..")));

  SendAndWait(loop, site);
  EXPECT_EQ(site->get_status(), 0);
  EXPECT_EQ(site->get_StatusStr(), u"Success");
  EXPECT_EQ(sink.CountOf("SendComplete"), 1);

  const std::vector<Stored> stored = StoredFrom(spool_, sender);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].envelope.at("rcpt_tos"),
            nlohmann::json({"ann@example.test", "bea@example.test"}));
  EXPECT_EQ(stored[0].envelope.at("helo"), qv::test_support::ExpectedLoopbackHeloName());
  EXPECT_EQ(stored[0].message,
            "Priority: High\r\n"
            "From: " +
                sender +
                "\r\n"
                "To:  ann@example.test,bea@example.test\r\n"
                "Date: Sun, 4 Jul 2021 09:30:00 -0400\r\n"
                "Message-ID: <" +
                ToUtf8(site->get_MessageId()) +
                ">\r\n"
                "MIME-Version: 1.0\r\n"
                "Content-type: text/plain; charset=UTF-8\r\n"
                "Content-Transfer-Encoding: 8bit\r\n"
                "X-Mailer: qvSMTP by Quenvix\r\n"
                "Subject: =?UTF-8?B?R3LDvMOfZSB2b20gVGVzdA==?=\r\n"
                "\r\n"
                ".\r\n"
                ".x\r\n"
                "line\r\n"
                "\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\r\n"
                "..\r\n"
                "\r\n");
}

TEST_F(Aiosmtpd, ASecondSendTakesItsBodyFromTheHandler) {
  EventLoop loop;
  ControlSite site(loop, Options());
  RecordingSink sink;
  site->Advise(&sink);
  const std::string sender = UniqueSender("handler");
  site->put_RemoteHost(u"127.0.0.1");
  site->put_MailFrom(FromUtf8(sender));
  site->put_RcptTo(u"ann@example.test");
  site->put_Subject(u"first");
  site->put_DateHeader(*FromCalendar(2001, 1, 1, 0, 0, 0));
  site->put_Body(Variant(String(u"from Body")));
  SendAndWait(loop, site);
  ASSERT_EQ(site->get_status(), 0);
  const std::string first_id = ToUtf8(site->get_MessageId());

  // The handler's text goes out unchanged: dot-stuffing is its own affair.
  std::vector<Integer> tags;
  sink.on_send_body = [&](Integer& tag) {
    tags.push_back(tag);
    Variant text(String(u"first line\r\n..stuffed by the host\r\nlast"));
    site->SendData(text);
    tag = 0;
  };
  site->put_BodyEvent(3);
  site->put_Subject(u"second");
  SendAndWait(loop, site);
  EXPECT_EQ(site->get_status(), 0);
  EXPECT_EQ(tags, std::vector<Integer>{3});
  EXPECT_EQ(site->get_BodyEvent(), 0);

  const std::vector<Stored> stored = StoredFrom(spool_, sender);
  ASSERT_EQ(stored.size(), 2u);
  const auto head = [&](const std::string& id) {
    return "Priority: Normal\r\nFrom: " + sender +
           "\r\nTo: ann@example.test\r\nDate: Mon, 1 Jan 2001 00:00:00 -0500\r\nMessage-ID: <" +
           id +
           ">\r\nMIME-Version: 1.0\r\nContent-type: text/plain; charset=US-ASCII\r\n"
           "X-Mailer: qvSMTP by Quenvix\r\n";
  };
  std::vector<std::string> messages{stored[0].message, stored[1].message};
  if (messages[0].find("\r\nSubject: first\r\n") == std::string::npos) {
    std::swap(messages[0], messages[1]);  // "first" before "second"
  }
  EXPECT_EQ(messages[0], head(first_id) + "Subject: first\r\n\r\nfrom Body\r\n\r\n");
  EXPECT_EQ(messages[1],
            head(ToUtf8(site->get_MessageId())) +
                "Subject: second\r\n\r\nfirst line\r\n.stuffed by the host\r\nlast\r\n");
}

TEST_F(Aiosmtpd, ARefusedRecipientEndsTheSendWithTheServersReply) {
  EventLoop loop;
  ControlSite site(loop, Options());
  RecordingSink sink;
  site->Advise(&sink);
  const std::string sender = UniqueSender("refused");
  site->put_RemoteHost(u"127.0.0.1");
  site->put_MailFrom(FromUtf8(sender));
  site->put_RcptTo(u"ann@example.test, refuse-this@example.test, cid@example.test");
  site->put_Body(Variant(String(u"never delivered")));
  SendAndWait(loop, site);

  EXPECT_EQ(site->get_status(), 4);
  EXPECT_EQ(site->get_StatusStr(),
            u"550 5.1.1 <refuse-this@example.test>: Recipient address rejected: no such "
            u"user\r\n");
  EXPECT_EQ(sink.CountOf("SendComplete"), 1);
  EXPECT_EQ(sink.CountOf("DebugMessage Sending RCPT: "), 2);
  EXPECT_EQ(sink.CountOf("DebugMessage Sending DATA"), 0);
  EXPECT_TRUE(StoredFrom(spool_, sender).empty());
}

class SmtpSink : public RealServer {
 protected:
  void SetUp() override { Load("smtp-sink"); }
};

TEST_F(SmtpSink, ManyControlsOnOneLoopAllSucceed) {
  constexpr int kControls = 100;
  EventLoop loop;
  std::vector<std::unique_ptr<ControlSite>> sites;
  std::vector<std::unique_ptr<RecordingSink>> sinks;
  String body;
  for (int i = 0; i < 50; ++i) body += u"a line of the body that is just long enough\r\n";
  for (int i = 0; i < kControls; ++i) {
    sites.push_back(std::make_unique<ControlSite>(loop, Options()));
    sinks.push_back(std::make_unique<RecordingSink>());
    ControlSite& site = *sites.back();
    site->Advise(sinks.back().get());
    site->put_RemoteHost(u"127.0.0.1");
    site->put_MailFrom(FromUtf8("load" + std::to_string(i) + "@example.test"));
    site->put_RcptTo(u"a@example.test, b@example.test, c@example.test");
    site->put_Body(Variant(body));
  }
  const auto start = std::chrono::steady_clock::now();
  for (auto& site : sites) ASSERT_EQ((*site)->Send(), 0);
  const bool all_done = loop.RunUntil(
      [&] {
        for (auto& site : sites) {
          if ((*site)->get_Busy() != kFalse) return false;
        }
        return true;
      },
      90s);
  ASSERT_TRUE(all_done);
  int succeeded = 0;
  for (int i = 0; i < kControls; ++i) {
    ControlSite& site = *sites[i];
    if (site->get_status() == 0) {
      ++succeeded;
    } else {
      ADD_FAILURE() << "control " << i << ": status " << site->get_status() << " "
                    << ToUtf8(site->get_StatusStr());
    }
    EXPECT_EQ(sinks[i]->CountOf("SendComplete"), 1);
  }
  EXPECT_EQ(succeeded, kControls);
  std::printf("%d messages in %.1f s\n", kControls,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// The command words of the lines in text, one space between them:
// "EHLO STARTTLS".
std::string Commands(const std::string& text) {
  std::string commands;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    commands += (commands.empty() ? "" : " ") + line.substr(0, line.find(' '));
    at = end + 2;
  }
  return commands;
}

// A conversation with one of the private Postfix's listeners, and how it ends.
struct TlsCase {
  const char* name;
  const char* listener;  // the state file's key of its port
  SmtpProtocol protocol;
  const char16_t* remote_host;
  bool trust_test_ca;  // CaFile names the fixture's CA; otherwise the system's store
  Integer status;
  const char16_t* status_str;
  // The commands that went out before TLS began: after a refusal, nothing
  // more did.
  const char* clear_commands;
};

void PrintTo(const TlsCase& c, std::ostream* out) { *out << c.name; }

class PostfixTls : public RealServer, public ::testing::WithParamInterface<TlsCase> {
 protected:
  void SetUp() override { Load("postfix"); }
};

// The private Postfix's TLS listeners (servers.py lists them): mail goes
// through over STARTTLS and over TLS from the first byte; without TLS, or
// with a certificate that cannot be trusted for the server as the user named
// it, the send ends before anything more goes out. The wire trace sees every
// command, in the clear and encrypted.
TEST_P(PostfixTls, EndsAsTheListenerAllows) {
  const TlsCase& c = GetParam();
  Wire wire;
  EventLoop loop;
  ControlSite site(loop, TracedTo(wire));
  RecordingSink sink;
  site->Advise(&sink);
  const std::string sender = UniqueSender(std::string("tls-") + c.name);
  site->put_RemoteHost(c.remote_host);
  site->put_Protocol(static_cast<Integer>(c.protocol));
  site->put_Port(state_.at(c.listener).get<Long>());
  if (c.trust_test_ca) site->put_CaFile(FromUtf8(state_.at("ca_file").get<std::string>()));
  site->put_MailFrom(FromUtf8(sender));
  site->put_RcptTo(u"ann@qvsmtp.test");
  site->put_Subject(u"Over TLS");
  site->put_Body(Variant(String(u"sealed")));
  ASSERT_EQ(site->Send(), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return site->get_Busy() == kFalse; }, 60s));

  EXPECT_EQ(site->get_status(), c.status) << ToUtf8(site->get_StatusStr());
  EXPECT_EQ(site->get_StatusStr(), c.status_str);
  EXPECT_EQ(sink.CountOf("SendComplete"), 1);
  EXPECT_EQ(Commands(wire.clear), c.clear_commands);
  if (c.status != 0) {
    EXPECT_EQ(wire.secured, "");
    EXPECT_EQ(wire.encrypted, "");
    return;
  }
  // The control's account of the encryption is the server's.
  ASSERT_EQ(wire.secured.rfind("TLSv1.", 0), 0u) << wire.secured;
  EXPECT_EQ(ToUtf8(site->Snapshot().tls), wire.secured);
  // The server was asked again over TLS; the envelope went only there.
  EXPECT_EQ(Commands(wire.encrypted).rfind("EHLO MAIL RCPT DATA ", 0), 0u) << wire.encrypted;
  const std::vector<std::string> found =
      Delivered(state_.at("mail").get<std::string>() + "/ann", sender, 15s);
  ASSERT_EQ(found.size(), 1u);
  const std::size_t space = wire.secured.find(' ');
  EXPECT_NE(UnfoldedHeader(found[0]).find("(using " + wire.secured.substr(0, space) +
                                          " with cipher " + wire.secured.substr(space + 1) + " "),
            std::string::npos)
      << found[0];
}

constexpr SmtpProtocol kStartTls = SmtpProtocol::kStartTls;
constexpr SmtpProtocol kImplicitTls = SmtpProtocol::kImplicitTls;

INSTANTIATE_TEST_SUITE_P(
    , PostfixTls,
    ::testing::Values(
        TlsCase{"StartTlsDelivers", "port_starttls", kStartTls, u"localhost", true, 0, u"Success",
                "EHLO STARTTLS"},
        TlsCase{"ImplicitTlsDelivers", "port_tls", kImplicitTls, u"127.0.0.1", true, 0, u"Success",
                ""},
        TlsCase{"StartTlsNotOffered", "port", kStartTls, u"127.0.0.1", true, 2,
                u"TLS is required, and the server does not offer STARTTLS: nothing more was "
                u"sent.",
                "EHLO"},
        TlsCase{"CaUnknownToTheSystemStore", "port_tls", kImplicitTls, u"127.0.0.1", false, 2,
                u"The server's certificate is not trusted: unable to get local issuer certificate",
                ""},
        TlsCase{"CertificateForAnotherName", "port_starttls_wrong_name", kStartTls, u"localhost",
                true, 2,
                u"The server's certificate is not for localhost: it is for mx.elsewhere.test",
                "EHLO STARTTLS"},
        TlsCase{"CertificateForAnotherAddress", "port_starttls_wrong_name", kStartTls, u"127.0.0.1",
                true, 2,
                u"The server's certificate is not for 127.0.0.1: it is for mx.elsewhere.test",
                "EHLO STARTTLS"},
        TlsCase{"CertificateExpired", "port_tls_expired", kImplicitTls, u"localhost", true, 2,
                u"The server's certificate is not valid now: certificate has expired", ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qv::runtime
