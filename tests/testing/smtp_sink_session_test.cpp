// The receiving SMTP session fed bytes directly (split at every offset), its
// scripted refusals, and the session playing the server for a control.
#include "qv/testing/smtp_sink_session.hpp"

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "qv/control/qvsmtp.hpp"
#include "qv/core/text.hpp"
#include "qv/testing/fake_host.hpp"
#include "qv/testing/fake_socket.hpp"
#include "qv/testing/manual_clock.hpp"
#include "qv/testing/manual_timer.hpp"
#include "qv/testing/memory_sink_store.hpp"
#include "qv/testing/recording_sink.hpp"
#include "support/sink_conversation.hpp"

namespace qv::testing {
namespace {

struct Dialogue {
  MemorySinkStore store;
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

using qv::test_support::kSinkConversation;
using qv::test_support::kSinkStoredData;
using qv::test_support::ReplyCodes;

TEST(SmtpSinkSession, TakesAWholeConversationAndStoresTheDataWithoutTheDoubledDots) {
  Dialogue d;
  EXPECT_EQ(d.session.Greeting(), "220 sink.test qvsmtp sink ready\r\n");
  const std::string replies = d.Feed(kSinkConversation);
  EXPECT_EQ(ReplyCodes(replies), (std::vector<int>{250, 250, 250, 250, 354, 250, 221}));
  EXPECT_TRUE(d.session.Finished());
  ASSERT_EQ(d.store.kept.size(), 1u);
  EXPECT_EQ(d.store.kept[0].data, kSinkStoredData);
  ASSERT_EQ(d.stored.size(), 1u);
  EXPECT_EQ(d.stored[0].envelope.client_name, "client.test");
  EXPECT_EQ(d.stored[0].envelope.mail_from, "alice@example.com");
  EXPECT_EQ(d.stored[0].envelope.recipients,
            (std::vector<std::string>{"bob@example.com", "carol@example.com"}));
  EXPECT_EQ(d.stored[0].size, kSinkStoredData.size());
  EXPECT_EQ(d.stored[0].location, "memory/1");
}

TEST(SmtpSinkSession, GivesTheSameResultWhereverTheBytesAreSplit) {
  Dialogue whole;
  const std::string expected_replies = whole.Feed(kSinkConversation);
  for (std::size_t first = 0; first <= kSinkConversation.size(); ++first) {
    for (std::size_t second = first; second <= kSinkConversation.size(); second += 7) {
      Dialogue d;
      std::string replies = d.Feed(std::string_view(kSinkConversation).substr(0, first));
      replies += d.Feed(std::string_view(kSinkConversation).substr(first, second - first));
      replies += d.Feed(std::string_view(kSinkConversation).substr(second));
      ASSERT_EQ(replies, expected_replies) << "split at " << first << " and " << second;
      ASSERT_EQ(d.store.kept.size(), 1u) << "split at " << first << " and " << second;
      ASSERT_EQ(d.store.kept[0].data, kSinkStoredData) << "split at " << first << " and " << second;
    }
  }
  Dialogue bytewise;
  std::string replies;
  for (char c : kSinkConversation) replies += bytewise.Feed(std::string_view(&c, 1));
  EXPECT_EQ(replies, expected_replies);
  ASSERT_EQ(bytewise.store.kept.size(), 1u);
  EXPECT_EQ(bytewise.store.kept[0].data, kSinkStoredData);
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
    EXPECT_EQ(ReplyCodes(replies), (std::vector<int>{250, 250})) << c.name;
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
    EXPECT_EQ(ReplyCodes(d.Feed(c.input)), c.codes) << c.name;
    EXPECT_TRUE(d.store.kept.empty()) << c.name;
    EXPECT_FALSE(d.session.Finished()) << c.name;
  }
}

TEST(SmtpSinkSession, OffersStartTlsOnlyInTheClearAndDropsWhatFollowsIt) {
  struct Case {
    const char* name;
    bool offered;
    bool secured;
    std::string input;
    std::string replies;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"not offered", false, false, "EHLO c\r\nSTARTTLS\r\n",
       "250-sink.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n502 5.5.2 Error: command not "
       "recognized\r\n",
       false},
      // A command pipelined behind STARTTLS in the clear must not be obeyed.
      {"offered", true, false, "EHLO c\r\nSTARTTLS\r\nMAIL FROM:<a>\r\n",
       "250-sink.test\r\n250-PIPELINING\r\n250-8BITMIME\r\n250 STARTTLS\r\n220 2.0.0 Ready "
       "to start TLS\r\n",
       true},
      {"with an argument", true, false, "STARTTLS x\r\n", "501 5.5.4 Syntax: STARTTLS\r\n", false},
      {"already encrypted", true, true, "EHLO c\r\nSTARTTLS\r\n",
       "250-sink.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n503 5.5.1 Error: TLS already "
       "active\r\n",
       false},
  };
  for (const Case& c : cases) {
    Dialogue d;
    d.session.OfferStartTls(c.offered);
    if (c.secured) d.session.Secured();
    EXPECT_EQ(d.Feed(c.input), c.replies) << c.name;
    EXPECT_EQ(d.session.StartTlsAccepted(), c.accepted) << c.name;
    EXPECT_EQ(d.Feed("NOOP\r\n").empty(), c.accepted) << c.name;
  }
}

// alice's password is "secret".
TEST(SmtpSinkSession, RequiredAuthGuardsMailAndWaitsForTls) {
  struct Case {
    const char* name;
    bool required;
    bool tls_offered;   // and not yet encrypted
    std::string input;  // after EHLO
    bool listed;        // EHLO lists AUTH PLAIN LOGIN
    std::vector<int> codes;
    std::string user;  // authenticated as
  };
  // The responses: base64 of "\0alice\0secret", "\0alice\0wrong", "alice", "secret".
  const std::string alice = "AGFsaWNlAHNlY3JldA==\r\n";
  const std::string plain = "AUTH PLAIN " + alice;
  const std::string wrong = "AUTH PLAIN AGFsaWNlAHdyb25n\r\n";
  const std::string login = "AUTH LOGIN\r\nYWxpY2U=\r\nc2VjcmV0\r\n";
  const std::string mail = "MAIL FROM:<a>\r\n";
  const std::vector<Case> cases = {
      {"not required", false, false, "AUTH PLAIN\r\n" + mail, false, {502, 250}, ""},
      {"MAIL before AUTH", true, false, mail, true, {530}, ""},
      {"PLAIN with its response", true, false, plain + mail, true, {235, 250}, "alice"},
      {"334 first", true, false, "AUTH PLAIN\r\n" + alice + mail, true, {334, 235, 250}, "alice"},
      {"wrong password", true, false, wrong + mail, true, {535, 530}, ""},
      // "bob\0alice\0secret": alice's password, asking to act for bob
      {"for someone else", true, false, "AUTH PLAIN Ym9iAGFsaWNlAHNlY3JldA==\r\n", true, {535}, ""},
      {"LOGIN", true, false, login + mail, true, {334, 334, 235, 250}, "alice"},
      {"cancelled", true, false, "auth login\r\n*\r\n" + mail, true, {334, 501, 530}, ""},
      {"not base64", true, false, "AUTH PLAIN !!!!\r\n", true, {501}, ""},
      {"unknown mechanism", true, false, "AUTH CRAM-MD5\r\n", true, {504}, ""},
      {"twice", true, false, plain + "AUTH LOGIN\r\n", true, {235, 503}, "alice"},
      {"before TLS", true, true, plain + mail, false, {530, 530}, ""},
  };
  for (const Case& c : cases) {
    Dialogue d;
    d.session.OfferStartTls(c.tls_offered);
    if (c.required) {
      d.session.RequireAuth([](std::string_view user, std::string_view password) {
        return user == "alice" && password == "secret";
      });
    }
    EXPECT_EQ(d.Feed("EHLO c\r\n").find("AUTH PLAIN LOGIN\r\n") != std::string::npos, c.listed)
        << c.name;
    EXPECT_EQ(ReplyCodes(d.Feed(c.input)), c.codes) << c.name;
    EXPECT_EQ(d.session.AuthenticatedUser(), c.user) << c.name;
  }
  // Once encrypted, what STARTTLS held back is offered, and taken.
  Dialogue d;
  d.session.OfferStartTls(true);
  d.session.RequireAuth([](std::string_view, std::string_view) { return true; });
  d.session.Secured();
  EXPECT_NE(d.Feed("EHLO c\r\n").find("250 AUTH PLAIN LOGIN\r\n"), std::string::npos);
  EXPECT_EQ(ReplyCodes(d.Feed(plain)), std::vector<int>{235});
}

TEST(SmtpSinkSession, RefusesAnOverlongLineAndCarriesOn) {
  Dialogue d;
  std::string line = "NOOP " + std::string(SmtpSinkSession::kMaxCommandLine, 'x') + "\r\n";
  // In pieces, so that the limit is met across calls.
  std::string replies = d.Feed(line.substr(0, 1000));
  replies += d.Feed(line.substr(1000));
  replies += d.Feed("NOOP\r\n");
  EXPECT_EQ(ReplyCodes(replies), (std::vector<int>{500, 250}));
}

TEST(SmtpSinkSession, IgnoresWhatFollowsQuit) {
  Dialogue d;
  EXPECT_EQ(ReplyCodes(d.Feed("QUIT\r\nNOOP\r\n")), (std::vector<int>{221}));
  EXPECT_TRUE(d.session.Finished());
  EXPECT_EQ(d.Feed("NOOP\r\n"), "");
}

TEST(SmtpSinkSession, AStoreThatFailsGives451AndTheNextMessageStillGoesThrough) {
  Dialogue d;
  d.store.fail_begin = true;
  EXPECT_EQ(ReplyCodes(d.Feed("MAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\n")),
            (std::vector<int>{250, 250, 451}));
  EXPECT_FALSE(d.session.InData());
  ASSERT_EQ(d.failures.size(), 1u);

  d.store.fail_begin = false;
  d.store.fail_after = 10;
  // The whole data is read and dropped, then 451; the dot line is not taken
  // for a command.
  EXPECT_EQ(ReplyCodes(d.Feed("MAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\n")),
            (std::vector<int>{250, 250, 354}));
  EXPECT_EQ(ReplyCodes(d.Feed("this line is longer than ten bytes\r\n.\r\n")),
            (std::vector<int>{451}));
  EXPECT_EQ(d.store.discarded, 1);
  EXPECT_EQ(d.failures.size(), 2u);

  d.store.fail_after = static_cast<std::size_t>(-1);
  EXPECT_EQ(ReplyCodes(d.Feed("MAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\nok\r\n.\r\n")),
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

TEST(SmtpSinkSession, AScriptedReplyRefusesTheNthCommandWithItsVerbAndNothingElse) {
  const std::string message = "MAIL FROM:<a>\r\nRCPT TO:<b>\r\nRCPT TO:<c>\r\nDATA\r\nx\r\n.\r\n";
  struct Case {
    const char* name;
    std::vector<std::tuple<std::string, std::string, int>> scripts;  // verb, reply, nth
    std::vector<int> codes;
    std::vector<std::string> recipients;  // of the stored message; none stored when empty
  };
  const std::vector<Case> cases = {
      {"no script", {}, {250, 250, 250, 354, 250}, {"b", "c"}},
      {"second RCPT refused", {{"rcpt", "550 5.1.1 no\r\n", 2}}, {250, 250, 550, 354, 250}, {"b"}},
      {"every RCPT refused",
       {{"RCPT", "550 no b\r\n", 1}, {"RCPT", "550 no c\r\n", 2}},
       {250, 550, 550, 554},  // no recipient: DATA refused, the data lines are commands
       {}},
      {"MAIL refused", {{"MAIL", "421 4.3.0 busy\r\n", 1}}, {421, 503, 503, 503}, {}},
      {"end of data refused", {{".", "552 5.3.4 too big\r\n", 1}}, {250, 250, 250, 354, 552}, {}},
      {"two scripts due at once both answer",
       {{"MAIL", "450-first\r\n", 1}, {"MAIL", "450 second\r\n", 1}},
       {450, 450, 503, 503, 503},
       {}},
  };
  for (const Case& c : cases) {
    Dialogue d;
    for (const auto& [verb, reply, nth] : c.scripts) d.session.ScriptReply(verb, reply, nth);
    std::vector<int> codes = ReplyCodes(d.Feed(message));
    // Lines of data taken for commands after a refused DATA answer 502 or 500.
    std::erase_if(codes, [](int code) { return code == 502 || code == 500; });
    EXPECT_EQ(codes, c.codes) << c.name;
    if (c.recipients.empty()) {
      EXPECT_TRUE(d.store.kept.empty()) << c.name;
    } else {
      ASSERT_EQ(d.store.kept.size(), 1u) << c.name;
      EXPECT_EQ(d.store.kept[0].envelope.recipients, c.recipients) << c.name;
    }
    // Used up: the next message goes through untouched.
    EXPECT_EQ(ReplyCodes(d.Feed("RSET\r\n" + message)),
              (std::vector<int>{250, 250, 250, 250, 354, 250}))
        << c.name;
  }
}

// The session as the server of a control on the test doubles, as a host
// program's own test would use it.
TEST(SmtpSinkSession, PlaysTheServerForAControl) {
  struct Case {
    const char* name;
    int refused_rcpt;  // 0: none
    Integer status;
    std::size_t stored;
  };
  for (const Case& c : {Case{"accepted", 0, 0, 1}, Case{"second address refused", 2, 4, 0}}) {
    FakeSocket socket;
    ManualTimer timer;
    ManualClock clock;
    FakeHost host;
    RecordingSink events;
    MemorySinkStore store;
    SinkObserver observer;
    SmtpSinkSession server("mail.test", store, observer);
    if (c.refused_rcpt > 0)
      server.ScriptReply("RCPT", "550 5.1.1 unknown user\r\n", c.refused_rcpt);

    qvSMTP control(socket, timer, clock, host);
    control.Initialize();
    control.InitProperties();
    control.Advise(&events);
    control.put_RemoteHost(u"mail.test");
    control.put_MailFrom(u"alice@example.com");
    control.put_RcptTo(u"bob@example.com, carol@example.com");
    control.put_Body(Variant(u"Hello\r\n.dot"));
    control.Send();
    socket.AcceptConnection();
    socket.ServerSends(FromUtf8(server.Greeting()));
    std::size_t seen = 0;
    for (int tick = 0; tick < 100 && timer.Enabled(); ++tick) {
      clock.Advance(0.05);
      timer.Tick();
      std::string replies;
      for (; seen < socket.writes.size(); ++seen)
        server.Receive(ToUtf8(socket.writes[seen]), replies);
      if (!replies.empty()) socket.ServerSends(FromUtf8(replies));
    }
    EXPECT_EQ(control.get_status(), c.status) << c.name;
    EXPECT_TRUE(server.Finished()) << c.name;  // QUIT reached the server
    ASSERT_EQ(store.kept.size(), c.stored) << c.name;
    if (c.stored > 0) {
      EXPECT_EQ(store.kept[0].envelope.recipients,
                (std::vector<std::string>{"bob@example.com", "carol@example.com"}));
      EXPECT_NE(store.kept[0].data.find("\r\n\r\nHello\r\n.dot\r\n"), std::string::npos)
          << store.kept[0].data;
    }
  }
}

}  // namespace
}  // namespace qv::testing
