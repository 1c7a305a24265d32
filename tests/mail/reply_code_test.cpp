#include "mail/reply_code.hpp"

#include <gtest/gtest.h>

#include "rig.hpp"

namespace qv::mail {
namespace {

TEST(ReplyCode, ReadsTheFrontOfTheBufferOnceSixCharactersHaveArrived) {
  const struct {
    std::u16string_view buffer;
    Integer code;
  } cases[] = {
      {u"", kNoReply},
      {u"250\r\n", kNoReply},  // five characters never count
      {u"250 O", kNoReply},
      {u"250 OK", 250},
      {u"220-first\r\n220 second\r\n", 220},
      // A reply whose first line continues counts once its last line is whole.
      {u"220-first", kNoReply},
      {u"220-first\r\n", kNoReply},
      {u"220-first\r\n220-second\r\n220 last", kNoReply},
      {u"220-first\r\n220-second\r\n220 last\r\n", 220},
      {u"220-first\n220 bare line feed\n", 220},
      {u"354 go\r\n250 OK\r\n", 354},  // always the first reply
      {u"abc def", kUnreadableReply},
      {u" 25 xyz", kUnreadableReply},
      {u"2x0 hello", kUnreadableReply},
      {u"\uff12\uff15\uff10 OK", kUnreadableReply},  // full-width digits are not digits
      {u"999999", 999},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReplyCode(c.buffer), c.code) << qv::ToUtf8(c.buffer);
  }
}

// A greeting split into pieces of every size is accepted at the first tick
// after its sixth character, never before.
TEST(ReplyCode, GreetingInPiecesIsAcceptedAfterTheSixthCharacter) {
  const std::u16string greeting = u"220 mail.example.com ready\r\n";
  for (std::size_t piece = 1; piece <= 4; ++piece) {
    testing::Rig rig;
    rig.control.Send();
    rig.socket.AcceptConnection();
    std::size_t sent = 0;
    while (sent < greeting.size()) {
      const std::size_t n = std::min(piece, greeting.size() - sent);
      rig.socket.ServerSends(std::u16string_view(greeting).substr(sent, n));
      sent += n;
      ASSERT_TRUE(rig.Tick());
      if (sent < 6) {
        EXPECT_EQ(rig.state(), session_state::kWaitGreeting) << piece << " " << sent;
      } else {
        EXPECT_NE(rig.state(), session_state::kWaitGreeting) << piece << " " << sent;
        break;
      }
    }
  }
}

TEST(ReplyCode, ThreeDigitsAndLineEndAreNeverAccepted) {
  testing::Rig rig;
  rig.StartAndGreet();
  rig.Serve(
      [](const std::u16string& line) -> std::u16string {
        if (line.rfind(u"HELO", 0) == 0) return u"250\r\n";
        return testing::Rig::Accepting(line);
      },
      1000);
  EXPECT_EQ(rig.control.get_StatusStr(), u"Timeout waiting for HELO ack.");
}

// Every reply handed over in several notifications of a few characters each:
// the same wire and the same outcome every time.
TEST(ReplyCode, ConversationWithRepliesInSmallPieces) {
  std::string expected_wire;
  for (std::size_t piece = 1; piece <= 9; ++piece) {
    testing::Rig rig;
    auto send_in_pieces = [&](std::u16string_view reply) {
      for (std::size_t at = 0; at < reply.size(); at += piece) {
        rig.socket.ServerSends(reply.substr(at, piece));
      }
    };
    rig.control.Send();
    rig.socket.AcceptConnection();
    send_in_pieces(u"220 ready\r\n");
    std::size_t seen = 0;
    while (rig.Tick()) {
      for (; seen < rig.socket.writes.size(); ++seen) {
        send_in_pieces(testing::Rig::Accepting(rig.socket.writes[seen]));
      }
    }
    EXPECT_EQ(rig.control.get_status(), 0) << piece;
    if (piece == 1) expected_wire = rig.Transcript();
    EXPECT_EQ(rig.Transcript(), expected_wire) << piece;
  }
}

// A greeting of several lines is waited for whole: nothing is written before
// its last line has arrived, then the next wait reads its own answer.
TEST(ReplyCode, AMultiLineGreetingIsWaitedForWhole) {
  testing::Rig rig;
  rig.control.Send();
  rig.socket.AcceptConnection();
  rig.socket.ServerSends(u"220-mail.example.com");
  ASSERT_TRUE(rig.Tick());
  rig.socket.ServerSends(u"\r\n220 second");
  ASSERT_TRUE(rig.Tick());
  EXPECT_EQ(rig.state(), session_state::kWaitGreeting);
  rig.socket.ServerSends(u" line\r\n");
  ASSERT_TRUE(rig.Tick());  // accepted
  ASSERT_TRUE(rig.Tick());  // HELO written
  EXPECT_EQ(rig.Transcript(), "HELO client.example.com\r\n");
  EXPECT_EQ(ControlInternals::Session(rig.control).ReplyBuffer(), u"");
  rig.socket.ServerSends(u"250 hello\r\n");
  ASSERT_TRUE(rig.Tick());
  EXPECT_EQ(rig.state(), session_state::kSendMailFrom);
}

TEST(ReplyBuffer, KeepsAtMostItsLimitAndStillReadsTheCode) {
  testing::Rig rig;
  rig.control.Send();
  rig.socket.AcceptConnection();
  rig.socket.ServerSends(u"220 ");
  rig.socket.ServerSends(String(kReplyBufferLimit, u'x'));
  rig.socket.ServerSends(String(1000, u'y'));
  EXPECT_EQ(ControlInternals::Session(rig.control).ReplyBuffer().size(), kReplyBufferLimit);
  EXPECT_EQ(ControlInternals::Session(rig.control).ReplyBuffer().find(u'y'), String::npos);
  ASSERT_TRUE(rig.Tick());
  EXPECT_EQ(rig.state(), session_state::kSendHelo);
}

TEST(ReplyBuffer, PiecesAreJoinedInOrderAfterWhatWasThere) {
  testing::Rig rig;
  rig.control.Send();
  rig.socket.ServerSends(u"ab");
  rig.socket.ServerSends(u"cd");
  rig.socket.ServerSends(u"ef");
  EXPECT_EQ(ControlInternals::Session(rig.control).ReplyBuffer(), u"abcdef");
}

}  // namespace
}  // namespace qv::mail
