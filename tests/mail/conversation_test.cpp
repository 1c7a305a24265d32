// Whole conversations against the doubles, byte for byte and event by event.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "mail/reply_code.hpp"
#include "rig.hpp"

namespace qv::testing {
namespace {

using ::testing::ElementsAre;
using namespace mail::session_state;

constexpr char kTwoRecipientWire[] =
    "HELO client.example.com\r\n"
    "MAIL FROM: <from@example.com>\r\n"
    "RCPT TO: <a@example.com>\r\n"
    "RCPT TO: <b@example.com>\r\n"
    "DATA\r\n"
    "Priority: Normal\r\n"
    "From: from@example.com\r\n"
    "To: a@example.com, b@example.com\r\n"
    "Date: Fri, 9 Mar 2001 07:05:03 -0500\r\n"
    "Message-ID: <1@example.com>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-type: text/plain; charset=US-ASCII\r\n"
    "X-Mailer: qvSMTP by Quenvix\r\n"
    "Subject: Hi\r\n"
    "\r\n"
    "Hello\r\n"
    "\r\n.\r\n"
    "QUIT\r\n";

TEST(Conversation, TwoRecipientsSucceed) {
  Rig rig;
  rig.StartAndGreet();
  const int ticks = rig.Serve(Rig::Accepting);

  EXPECT_EQ(rig.Transcript(), kTwoRecipientWire);
  EXPECT_EQ(ticks, 14);  // 12 for one recipient, 2 more for the second
  EXPECT_THAT(rig.sink.events,
              ElementsAre("DebugMessage Connecting to mail.example.com",
                          "DebugMessage Connected, waiting for HELO", "DebugMessage Sending HELO",
                          "DebugMessage Sending FROM: from@example.com",
                          "DebugMessage Sending RCPT: a@example.com",
                          "DebugMessage Sending RCPT:  b@example.com", "DebugMessage Sending DATA",
                          "DebugMessage Sending QUIT command.", "SendComplete 0"));
  EXPECT_EQ(rig.control.get_status(), 0);
  EXPECT_EQ(rig.control.get_StatusStr(), u"Success");
  EXPECT_EQ(rig.control.get_Busy(), kFalse);
  EXPECT_FALSE(rig.timer.Enabled());
  EXPECT_EQ(rig.socket.State(), socket_state::kClosed);
  EXPECT_EQ(rig.state(), kWaitMessageAck);  // kept after the ending
}

TEST(Conversation, SendResetsTheSocketBeforeConnecting) {
  Rig rig;
  rig.socket.SetState(socket_state::kConnected);  // left open from earlier
  const auto mark = rig.socket.Mark();
  EXPECT_EQ(rig.control.Send(), 0);
  EXPECT_THAT(
      rig.socket.CallsSince(mark),
      ElementsAre("State", "Close", "WriteSetting 2 0", "WriteSetting 1 0", "WriteSetting 10 \"\"",
                  "WriteSetting 3 0", "Connect mail.example.com 25"));
  EXPECT_EQ(rig.control.get_status(), 1);
  EXPECT_EQ(rig.control.get_Busy(), kTrue);
  EXPECT_EQ(rig.state(), kWaitConnect);
  EXPECT_TRUE(rig.timer.Enabled());
}

TEST(Conversation, DebugMessageOfSendComesWithTheTimerRunningAndBeforeConnect) {
  Rig rig;
  bool timer_running = false;
  std::size_t calls_at_message = 0;
  rig.sink.on_debug_message = [&](String&) {
    timer_running = rig.timer.Enabled();
    calls_at_message = rig.socket.calls.size();
  };
  rig.control.Send();
  EXPECT_TRUE(timer_running);
  EXPECT_EQ(rig.socket.calls.back(), "Connect mail.example.com 25");
  EXPECT_EQ(calls_at_message, rig.socket.calls.size() - 1);
}

TEST(Conversation, RefusedSendLeavesTheRunningOneAlone) {
  Rig rig;
  rig.control.Send();
  rig.sink.on_send_complete = [](Integer& status) { status = 42; };  // lost: a temporary
  const auto mark = rig.socket.Mark();
  EXPECT_EQ(rig.control.Send(), 1);
  EXPECT_TRUE(rig.socket.CallsSince(mark).empty());
  EXPECT_EQ(rig.control.get_status(), 1);
  EXPECT_EQ(rig.sink.events.back(), "SendComplete 1");
  rig.sink.on_send_complete = nullptr;

  rig.socket.AcceptConnection();
  rig.socket.ServerSends(u"220 hi there\r\n");
  rig.Serve(Rig::Accepting);
  EXPECT_EQ(rig.control.get_status(), 0);
  EXPECT_EQ(rig.sink.CountOf("SendComplete"), 2);
}

TEST(Conversation, SendAgainFromSendCompleteStartsCleanly) {
  Rig rig;
  int completions = 0;
  rig.sink.on_send_complete = [&](Integer&) {
    if (++completions == 1) {
      EXPECT_EQ(rig.control.Send(), 0);
    }
  };
  rig.StartAndGreet();
  rig.Serve(Rig::Accepting);
  ASSERT_EQ(completions, 1);
  EXPECT_EQ(rig.state(), kWaitConnect);
  EXPECT_TRUE(rig.timer.Enabled());
  EXPECT_EQ(rig.control.get_Busy(), kTrue);
  EXPECT_EQ(rig.control.get_status(), 1);
  EXPECT_EQ(rig.control.get_StatusStr(), u"Success");  // the last outcome until the next
  EXPECT_TRUE(ControlInternals::Session(rig.control).ReplyBuffer().empty());
}

TEST(Conversation, SendCompleteHandlerCanChangeStatus) {
  Rig rig;
  rig.sink.on_send_complete = [](Integer& status) { status = 7; };
  rig.StartAndGreet();
  rig.Serve(Rig::Accepting);
  EXPECT_EQ(rig.control.get_status(), 7);
}

TEST(Conversation, DebugMessageHandlerChangesNothingAndCannotSend) {
  Rig rig;
  rig.sink.on_debug_message = [&](String& msg) {
    msg = u"changed";
    EXPECT_EQ(rig.control.Send(), 1);
  };
  rig.StartAndGreet();
  rig.Serve(Rig::Accepting);
  EXPECT_EQ(rig.Transcript(), kTwoRecipientWire);
  EXPECT_EQ(rig.control.get_status(), 0);
}

struct RefusalCase {
  const char* name;
  const char16_t* from_reply;
  const char16_t* first_rcpt_reply;
  const char* wire;
};

class AddressRefused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(AddressRefused, EndsWithCode4AndTheServerText) {
  const RefusalCase& c = GetParam();
  Rig rig;
  rig.StartAndGreet();
  rig.Serve([&](const std::u16string& line) -> std::u16string {
    if (line.rfind(u"MAIL", 0) == 0) return c.from_reply;
    if (line.rfind(u"RCPT", 0) == 0) return c.first_rcpt_reply;
    return Rig::Accepting(line);
  });
  EXPECT_EQ(rig.Transcript(), c.wire);
  EXPECT_EQ(rig.control.get_status(), 4);
  const String refusal = rig.control.get_StatusStr();
  EXPECT_EQ(refusal.substr(0, 4), u"550 ");
  EXPECT_EQ(rig.sink.events.back(), "SendComplete 4");
  EXPECT_EQ(rig.sink.events[rig.sink.events.size() - 2], "DebugMessage Sending QUIT command.");
}

INSTANTIATE_TEST_SUITE_P(
    , AddressRefused,
    ::testing::Values(
        RefusalCase{"Sender", u"550 5.1.0 sender rejected\r\n", u"250 OK\r\n",
                    "HELO client.example.com\r\nMAIL FROM: <from@example.com>\r\nQUIT\r\n"},
        RefusalCase{"FirstRecipient", u"250 OK\r\n", u"550 5.1.1 no such user\r\n",
                    "HELO client.example.com\r\nMAIL FROM: <from@example.com>\r\n"
                    "RCPT TO: <a@example.com>\r\nQUIT\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Conversation, RefusalTextIsTheWholeBuffer) {
  Rig rig;
  rig.StartAndGreet();
  rig.Serve([](const std::u16string& line) -> std::u16string {
    if (line.rfind(u"RCPT", 0) == 0) return u"550-first line\r\n550 second line\r\n";
    return Rig::Accepting(line);
  });
  EXPECT_EQ(rig.control.get_StatusStr(), u"550-first line\r\n550 second line\r\n");
}

struct TimeoutCase {
  const char* name;
  Integer state_when_silent;  // the server stops answering here
  double limit;
  const char* status_text;
  std::vector<std::string> last_events;
};

class Timeouts : public ::testing::TestWithParam<TimeoutCase> {};

// Plays the conversation until the wait of state_when_silent, then lets the
// clock run: nothing happens at the limit, the ending comes just past it.
TEST_P(Timeouts, EndJustPastTheLimitWithTheirTextAndOrder) {
  const TimeoutCase& c = GetParam();
  Rig rig;
  rig.control.Send();
  if (c.state_when_silent != kWaitConnect) rig.socket.AcceptConnection();
  if (c.state_when_silent != kWaitConnect && c.state_when_silent != kWaitGreeting) {
    rig.socket.ServerSends(u"220 ready\r\n");
  }
  std::size_t seen = 0;
  while (rig.state() != c.state_when_silent) {
    ASSERT_TRUE(rig.Tick());
    if (rig.state() == c.state_when_silent) break;  // leave this command unanswered
    for (; seen < rig.socket.writes.size(); ++seen) {
      rig.socket.ServerSends(Rig::Accepting(rig.socket.writes[seen]));
    }
  }
  // The wait started at a whole second; run up to exactly the limit.
  const double start = ControlInternals::Session(rig.control).StateStartTime();
  rig.clock.Advance(start + c.limit - rig.clock.SecondsSinceMidnight());
  ASSERT_TRUE(rig.timer.Tick());
  EXPECT_EQ(rig.state(), c.state_when_silent) << "ended at the limit, not past it";
  EXPECT_EQ(rig.control.get_Busy(), kTrue);
  const auto mark = rig.socket.Mark();
  rig.clock.Advance(0.01);
  ASSERT_TRUE(rig.timer.Tick());

  EXPECT_EQ(rig.control.get_status(), 3);
  EXPECT_EQ(ToUtf8(rig.control.get_StatusStr()), c.status_text);
  EXPECT_EQ(rig.control.get_Busy(), kFalse);
  EXPECT_FALSE(rig.timer.Enabled());
  for (const std::string& call : rig.socket.CallsSince(mark)) {
    EXPECT_EQ(call.find("QUIT"), std::string::npos) << "a time-out sends no QUIT";
  }
  const std::vector<std::string> tail(rig.sink.events.end() - c.last_events.size(),
                                      rig.sink.events.end());
  EXPECT_EQ(tail, c.last_events);
  EXPECT_EQ(rig.sink.CountOf("SendComplete"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    , Timeouts,
    ::testing::Values(
        TimeoutCase{"Connect",
                    kWaitConnect,
                    60,
                    "Timeout waiting for connect.",
                    {"DebugMessage Timeout waiting for remote connection.", "SendComplete 3"}},
        TimeoutCase{"Greeting",
                    kWaitGreeting,
                    60,
                    "Timeout waiting for remote hello.",
                    {"SendComplete 3", "DebugMessage Timeout waiting for remote hello."}},
        TimeoutCase{"HeloAck",
                    kWaitHeloAck,
                    10,
                    "Timeout waiting for HELO ack.",
                    {"SendComplete 3", "DebugMessage Timeout waiting for HELO ack."}},
        TimeoutCase{"FromAck",
                    kWaitFromAck,
                    10,
                    "Timeout waiting for addr ack.",
                    {"DebugMessage Sending FROM: from@example.com", "SendComplete 3"}},
        TimeoutCase{"RcptAck",
                    kWaitRcptAck,
                    10,
                    "Timeout waiting for addr ack.",
                    {"DebugMessage Sending RCPT: a@example.com", "SendComplete 3"}},
        TimeoutCase{"DataAck",
                    kWaitDataAck,
                    10,
                    "Timeout waiting for DATA ack.",
                    {"DebugMessage Sending DATA", "SendComplete 3"}},
        TimeoutCase{"MessageAck",
                    kWaitMessageAck,
                    10,
                    "Timeout waiting for MESSAGE ack.",
                    {"DebugMessage Sending DATA", "SendComplete 3"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Plays an accepting server until state is reached, leaving the command that
// led there unanswered.
void PlayUntil(Rig& rig, Integer state) {
  rig.StartAndGreet();
  std::size_t seen = 0;
  while (rig.state() != state && rig.Tick()) {
    if (rig.state() == state) break;
    for (; seen < rig.socket.writes.size(); ++seen) {
      rig.socket.ServerSends(Rig::Accepting(rig.socket.writes[seen]));
    }
  }
}

struct MessageAckCase {
  const char* name;
  bool reports;        // the socket reports when written text has left
  Integer body_event;  // > 0: a SendBody handler writes the body
  double all_sent_at;  // seconds after the end of data; < 0: never
  double reply_at;     // the server's 250; < 0: never
  double error_at;     // the socket's stall error; < 0: never
  Integer status;
  double limit;  // the ending comes within half a second around this
};

class MessageAck : public ::testing::TestWithParam<MessageAckCase> {};

// The wait for the message's acknowledgement counts from the moment the
// message has left, when the socket can tell; until then only the socket's
// own error ends it.
TEST_P(MessageAck, CountsFromTheMomentTheMessageHasLeft) {
  const MessageAckCase& c = GetParam();
  Rig rig;
  rig.socket.SetReportsSendComplete(c.reports);
  rig.control.put_BodyEvent(c.body_event);
  rig.sink.on_send_body = [&](Integer&) {
    rig.control.SendData(Variant(u"streamed\r\n"));
    rig.socket.AllSent();  // the body so far, not the message: changes nothing
  };
  PlayUntil(rig, kWaitDataAck);
  rig.socket.ServerSends(u"354 go ahead\r\n");
  ASSERT_TRUE(rig.Tick());
  ASSERT_TRUE(rig.Tick());
  ASSERT_EQ(rig.state(), kWaitMessageAck);

  double t = 0;
  while (rig.timer.Enabled() && t < 200) {
    auto crossing = [&](double at) { return at >= 0 && t < at && t + 0.05 >= at; };
    if (crossing(c.all_sent_at)) rig.socket.AllSent();
    if (crossing(c.reply_at)) rig.socket.ServerSends(u"250 2.0.0 Ok: queued\r\n");
    if (crossing(c.error_at)) {
      rig.socket.ReportError(10060, u"Timed out sending: the server took no data for 60 seconds");
    }
    t += 0.05;
    rig.Tick();
  }
  EXPECT_EQ(rig.control.get_status(), c.status);
  EXPECT_GT(t, c.limit - 0.55);
  EXPECT_LT(t, c.limit + 0.6);
  EXPECT_EQ(rig.sink.CountOf("SendComplete"), 1);
  // The socket is asked to follow the message alone, once it is all handed over.
  const auto requested = std::find(rig.socket.calls.begin(), rig.socket.calls.end(),
                                   std::string("RequestSendComplete"));
  EXPECT_EQ(std::count(rig.socket.calls.begin(), rig.socket.calls.end(),
                       std::string("RequestSendComplete")),
            c.reports ? 1 : 0);
  if (c.reports && requested != rig.socket.calls.begin()) {
    EXPECT_EQ(*std::prev(requested), "SendData \r\n.\r\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    , MessageAck,
    ::testing::Values(MessageAckCase{"SocketThatCannotTell", false, 0, -1, -1, -1, 3, 10},
                      MessageAckCase{"SocketThatCannotTellIgnoresReports", false, 0, 5, -1, -1, 3,
                                     10},
                      MessageAckCase{"SlowLinkThenAnswer", true, 0, 25, 30, -1, 0, 30},
                      MessageAckCase{"SlowLinkThenSilence", true, 0, 25, -1, -1, 3, 35},
                      MessageAckCase{"StreamedBodyThenSilence", true, 1, 25, -1, -1, 3, 35},
                      MessageAckCase{"AnswerBeforeTheReport", true, 0, -1, 2, -1, 0, 2},
                      MessageAckCase{"StalledLink", true, 0, -1, -1, 60, 2, 60}),
    [](const auto& info) { return std::string(info.param.name); });

struct ErrorAfterReplyCase {
  const char* name;
  Integer state;
  std::u16string arrived;  // in the buffer when the error comes
  Integer status;
  std::u16string status_text;
};

class ErrorAfterReply : public ::testing::TestWithParam<ErrorAfterReplyCase> {};

// A server that answers and resets at once: the answer the wait was waiting
// for decides; anything else leaves the error in charge.
TEST_P(ErrorAfterReply, TheAwaitedReplyDecidesFirst) {
  const ErrorAfterReplyCase& c = GetParam();
  Rig rig;
  PlayUntil(rig, c.state);
  const std::size_t writes = rig.socket.writes.size();
  rig.socket.ServerSends(c.arrived);
  rig.socket.ReportError(10054, u"Connection reset by peer");
  EXPECT_EQ(rig.control.get_status(), c.status);
  EXPECT_EQ(rig.control.get_StatusStr(), c.status_text);
  EXPECT_EQ(rig.control.get_Busy(), kFalse);
  EXPECT_FALSE(rig.timer.Enabled());
  EXPECT_EQ(rig.sink.CountOf("SendComplete"), 1);
  EXPECT_EQ(rig.socket.writes.size(), writes) << "nothing goes to a failed connection";
}

INSTANTIATE_TEST_SUITE_P(
    , ErrorAfterReply,
    ::testing::Values(ErrorAfterReplyCase{"MessageAccepted", kWaitMessageAck, u"250 2.0.0 Ok\r\n",
                                          0, u"Success"},
                      ErrorAfterReplyCase{"RecipientRefused", kWaitRcptAck,
                                          u"550 5.1.1 unknown\r\n", 4, u"550 5.1.1 unknown\r\n"},
                      ErrorAfterReplyCase{"OtherReply", kWaitMessageAck, u"451 4.3.0 later\r\n", 2,
                                          u"Connection reset by peer"},
                      ErrorAfterReplyCase{"ReplyNotYetReadable", kWaitMessageAck, u"250", 2,
                                          u"Connection reset by peer"},
                      ErrorAfterReplyCase{"DataAcceptedButNoConnectionLeft", kWaitDataAck,
                                          u"354 go\r\n", 2, u"Connection reset by peer"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Conversation, UnexpectedReplyIsNotActedOnAndTheWaitTimesOut) {
  Rig rig;
  rig.StartAndGreet();
  rig.Serve(
      [](const std::u16string& line) -> std::u16string {
        if (line.rfind(u"HELO", 0) == 0) return u"421 closing\r\n";
        return Rig::Accepting(line);
      },
      1000);
  EXPECT_EQ(rig.control.get_status(), 3);
  EXPECT_EQ(rig.control.get_StatusStr(), u"Timeout waiting for HELO ack.");
}

TEST(Conversation, ReplyWinsOverTimeoutAtTheSameTick) {
  Rig rig;
  rig.BringToWaitDataAck();
  rig.clock.Advance(30);
  rig.socket.ServerSends(u"354 go\r\n");
  ASSERT_TRUE(rig.timer.Tick());
  EXPECT_EQ(rig.state(), kSendMessage);
  EXPECT_EQ(rig.control.get_Busy(), kTrue);
}

TEST(Conversation, WaitSpanningMidnightTimesOutOnTime) {
  Rig rig;
  rig.clock.Set(Date{36959.0 + 86395.0 / 86400.0});  // 23:59:55
  rig.control.Send();
  rig.clock.Advance(30);  // 00:00:25: 30 s into the 60 s wait
  ASSERT_TRUE(rig.timer.Tick());
  EXPECT_EQ(rig.control.get_Busy(), kTrue);
  rig.clock.Advance(31);
  ASSERT_TRUE(rig.timer.Tick());
  EXPECT_EQ(rig.control.get_StatusStr(), u"Timeout waiting for connect.");
}

TEST(Conversation, SocketErrorInALateStateEndsWithItsDescription) {
  Rig rig;
  rig.BringToWaitDataAck();
  const auto mark = rig.socket.Mark();
  rig.socket.ReportError(10054, u"Connection reset by peer");
  EXPECT_THAT(rig.socket.CallsSince(mark), ElementsAre("Close"));
  EXPECT_EQ(rig.control.get_status(), 2);
  EXPECT_EQ(rig.control.get_StatusStr(), u"Connection reset by peer");
  EXPECT_EQ(rig.control.get_Busy(), kFalse);
  EXPECT_FALSE(rig.timer.Enabled());
  EXPECT_EQ(rig.sink.CountOf("SendComplete"), 1);
  EXPECT_EQ(rig.state(), kWaitDataAck);
}

TEST(Conversation, SocketErrorWithoutAConversationStillCompletes) {
  Rig rig;
  rig.socket.ReportError(10061, u"Connection refused");
  EXPECT_EQ(rig.sink.events, std::vector<std::string>{"SendComplete 2"});
}

// A socket error injected before each tick in turn ends the send exactly once
// and nothing but QUIT is ever written after an ending. Only the server's 250
// to the message, already arrived, outweighs it.
TEST(Conversation, SocketErrorBeforeEveryStep) {
  for (int fail_at = 0; fail_at < 14; ++fail_at) {
    Rig rig;
    rig.StartAndGreet();
    int tick = 0;
    std::size_t seen = 0;
    Integer expected = 2;
    while (rig.timer.Enabled()) {
      if (tick++ == fail_at) {
        if (rig.state() == kWaitMessageAck &&
            mail::ReplyCode(ControlInternals::Session(rig.control).ReplyBuffer()) == 250) {
          expected = 0;
        }
        rig.socket.ReportError(10053, u"Software caused connection abort");
      }
      if (!rig.Tick()) break;
      for (; seen < rig.socket.writes.size(); ++seen) {
        rig.socket.ServerSends(Rig::Accepting(rig.socket.writes[seen]));
      }
    }
    const std::size_t writes = rig.socket.writes.size();
    rig.timer.TickTimes(3);
    EXPECT_EQ(rig.socket.writes.size(), writes) << fail_at;
    EXPECT_EQ(rig.sink.CountOf("SendComplete"), 1) << fail_at;
    EXPECT_EQ(rig.control.get_status(), expected) << fail_at;
    EXPECT_EQ(rig.control.get_Busy(), kFalse) << fail_at;
  }
}

TEST(Conversation, ConnectNotificationAfterTheEndRunsNoStep) {
  Rig rig;
  rig.socket.ReportError(10061, u"Connection refused");
  rig.socket.AcceptConnection();
  EXPECT_EQ(rig.state(), kWaitGreeting);
  EXPECT_FALSE(rig.Tick());
}

TEST(Conversation, ConnectRefusedAtOnceReachesTheCallerAndTimesOutLater) {
  Rig rig;
  rig.socket.FailConnect(10049, "Address not available");
  EXPECT_THROW(rig.control.Send(), AutomationError);
  EXPECT_EQ(rig.state(), kWaitConnect);
  EXPECT_TRUE(rig.timer.Enabled());
  rig.clock.Advance(61);
  rig.timer.Tick();
  EXPECT_EQ(rig.control.get_StatusStr(), u"Timeout waiting for connect.");
}

}  // namespace
}  // namespace qv::testing
