// The message text: headers, body sources, transparency, and failures inside
// the message step.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "mail/message_text.hpp"
#include "mail/recipient_list.hpp"
#include "rig.hpp"

namespace qv::testing {
namespace {

using namespace mail::session_state;

// The text the server receives from its 354 to the end of the data.
std::string MessageOf(Rig& rig) {
  rig.BringToWaitDataAck();
  const std::size_t first = rig.socket.writes.size();
  rig.socket.ServerSends(u"354 go ahead\r\n");
  rig.Tick();
  rig.Tick();
  std::string text;
  for (std::size_t i = first; i < rig.socket.writes.size(); ++i)
    text += ToUtf8(rig.socket.writes[i]);
  return text;
}

// eight_bit: the body holds text outside ASCII, and the header says so.
std::string HeaderBlock(const std::string& to = "a@example.com, b@example.com",
                        const std::string& subject = "Hi", bool eight_bit = false) {
  return "Priority: Normal\r\nFrom: from@example.com\r\nTo: " + to +
         "\r\nDate: Fri, 9 Mar 2001 07:05:03 -0500\r\nMessage-ID: <1@example.com>\r\nMIME-Version: "
         "1.0\r\n" +
         (eight_bit ? "Content-type: text/plain; charset=UTF-8\r\n"
                      "Content-Transfer-Encoding: 8bit\r\n"
                    : "Content-type: text/plain; charset=US-ASCII\r\n") +
         "X-Mailer: qvSMTP by Quenvix\r\nSubject: " + subject + "\r\n\r\n";
}

struct BodyCase {
  const char* name;
  Variant body;
  Integer body_event;
  std::string body_on_wire;  // between the blank line and the end of data
};

class MessageBody : public ::testing::TestWithParam<BodyCase> {};

TEST_P(MessageBody, IsWrittenTransparentlyBetweenHeaderAndEnd) {
  const BodyCase& c = GetParam();
  Rig rig;
  rig.control.put_Body(c.body);
  rig.control.put_BodyEvent(c.body_event);
  const bool eight_bit = std::any_of(c.body_on_wire.begin(), c.body_on_wire.end(),
                                     [](char b) { return (b & 0x80) != 0; });
  EXPECT_EQ(MessageOf(rig), HeaderBlock("a@example.com, b@example.com", "Hi", eight_bit) +
                                c.body_on_wire + "\r\n.\r\n");
  EXPECT_EQ(rig.sink.CountOf("SendBody"), 0);
  EXPECT_EQ(rig.state(), kWaitMessageAck);
}

INSTANTIATE_TEST_SUITE_P(
    , MessageBody,
    ::testing::Values(BodyCase{"Empty", Variant(), 0, ""}, BodyCase{"Null", Variant::Null(), 0, ""},
                      BodyCase{"EmptyText", Variant(u""), 0, ""},
                      BodyCase{"OneLine", Variant(u"Hello"), 0, "Hello\r\n"},
                      BodyCase{"NegativeBodyEventMeansBody", Variant(u"Hello"), -1, "Hello\r\n"},
                      BodyCase{"IntegerZero", Variant(Integer{0}), 0, "0\r\n"},
                      BodyCase{"Double", Variant(2.5), 0, "2.5\r\n"},
                      BodyCase{"EndsWithLineEnd", Variant(u"a\r\n"), 0, "a\r\n\r\n"},
                      BodyCase{"BareLineEndsBecomeCrLf", Variant(u"a\nb\rc\r\nd"), 0,
                               "a\r\nb\r\nc\r\nd\r\n"},
                      BodyCase{"LoneDotLineCannotEndTheData", Variant(u"one\r\n.\r\nQUIT"), 0,
                               "one\r\n..\r\nQUIT\r\n"},
                      BodyCase{"LeadingDotsAreDoubled", Variant(u".x\n..y\nz.\n"), 0,
                               "..x\r\n...y\r\nz.\r\n\r\n"},
                      BodyCase{"DotAfterBareCr", Variant(u"a\r.b"), 0, "a\r\n..b\r\n"},
                      BodyCase{"NonAscii", Variant(u"Gr\u00fc\u00dfe \u2603"), 0,
                               "Gr\xc3\xbc\xc3\x9f"
                               "e \xe2\x98\x83\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Message, BodyEventRaisesSendBodyAndIgnoresBody) {
  Rig rig;
  rig.control.put_BodyEvent(3);
  rig.sink.on_send_body = [&](Integer& iTag) {
    EXPECT_EQ(iTag, 3);
    EXPECT_EQ(rig.state(), kSendMessage);
    Variant piece(u"raw\r\n.line");  // the host owns this text: no changes
    rig.control.SendData(piece);
  };
  EXPECT_EQ(MessageOf(rig), HeaderBlock() + "raw\r\n.line\r\n.\r\n");
  EXPECT_EQ(rig.sink.CountOf("SendBody"), 1);
  EXPECT_EQ(rig.control.get_BodyEvent(), 3);
}

TEST(Message, SendBodyHandlerCanSwitchTheNextMessageToBody) {
  Rig rig;
  rig.control.put_BodyEvent(3);
  rig.sink.on_send_body = [](Integer& iTag) { iTag = 0; };
  rig.host.changed.clear();
  MessageOf(rig);
  EXPECT_EQ(rig.control.get_BodyEvent(), 0);
  EXPECT_TRUE(rig.host.changed.empty());  // the handler's change is not a property write
}

TEST(Message, HeaderValuesCannotStartHeaderLines) {
  Rig rig;
  rig.control.put_Subject(u"Hi\r\nBcc: victim@example.com\rX\nY");
  const std::string message = MessageOf(rig);
  EXPECT_NE(message.find("Subject: Hi Bcc: victim@example.com X Y\r\n"), std::string::npos);
  EXPECT_EQ(message.find("\nBcc"), std::string::npos);
}

TEST(Message, DateHeaderCarriesTheClocksZoneForThatDate) {
  Rig rig;
  rig.clock.SetUtcOffsetMinutes(60);
  const std::string message = MessageOf(rig);
  EXPECT_NE(message.find("Date: Fri, 9 Mar 2001 07:05:03 +0100\r\n"), std::string::npos);
}

TEST(Message, SenderLineBreaksCannotSmuggleACommand) {
  Rig rig;
  rig.control.put_MailFrom(u"a@x>\r\nRCPT TO: <evil@x");
  rig.StartAndGreet();
  rig.Serve(Rig::Accepting);
  EXPECT_EQ(ToUtf8(rig.socket.writes[1]), "MAIL FROM: <a@x>RCPT TO: <evil@x>\r\n");
  EXPECT_EQ(rig.sink.events[3], "DebugMessage Sending FROM: a@x>\r\nRCPT TO: <evil@x");
}

TEST(Message, EmptySubjectStillWritesTheHeader) {
  Rig rig;
  rig.control.put_Subject(u"");
  EXPECT_EQ(MessageOf(rig), HeaderBlock("a@example.com, b@example.com", "") + "Hello\r\n\r\n.\r\n");
}

TEST(Message, NoDebugMessageBetweenDataAckAndMessageAck) {
  Rig rig;
  MessageOf(rig);
  EXPECT_EQ(rig.sink.events.back(), "DebugMessage Sending DATA");
}

TEST(MessageText, DateHeaderForm) {
  const struct {
    double days;
    int offset;
    const char16_t* text;
  } cases[] = {
      {36959.29517361111, -300, u"Fri, 9 Mar 2001 07:05:03 -0500"},
      {0.0, -300, u"Sat, 30 Dec 1899 00:00:00 -0500"},
      {36951.0, 60, u"Thu, 1 Mar 2001 00:00:00 +0100"},
      {-1.25, 0, u"Fri, 29 Dec 1899 06:00:00 +0000"},
      {45123.75, -240, u"Sun, 16 Jul 2023 18:00:00 -0400"},
      {45127.0, 330, u"Thu, 20 Jul 2023 00:00:00 +0530"},
      {2958465.0, 0, u"Fri, 31 Dec 9999 00:00:00 +0000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mail::DateHeaderText(Date{c.days}, c.offset), c.text) << c.days;
  }
}

TEST(MessageText, DateHeaderWithoutCalendarDateFails) {
  EXPECT_THROW(mail::DateHeaderText(Date{std::nan("")}, 0), AutomationError);
  EXPECT_THROW(mail::DateHeaderText(Date{3e6}, 0), AutomationError);
}

TEST(MessageText, HeaderValueTurnsEveryLineBreakIntoOneSpace) {
  EXPECT_EQ(mail::HeaderValue(u"a\r\nb\rc\nd\r\r\ne"), u"a b c d  e");
  EXPECT_EQ(mail::HeaderValue(u"plain"), u"plain");
}

TEST(MessageText, ControlCharactersLeaveAddressesAndBecomeSpacesInHeaders) {
  const struct {
    std::u16string_view text;
    std::u16string_view envelope;  // between the brackets of MAIL FROM / RCPT TO
    std::u16string_view header;    // a header value as written
  } cases[] = {
      {u"a@x", u"a@x", u"a@x"},
      {std::u16string_view(u"a\0b@x", 5), u"ab@x", u"a b@x"},
      {u"a\x01\x1b[2Jb\x1f", u"a[2Jb", u"a  [2Jb "},
      {u"tab\tstays", u"tab\tstays", u"tab\tstays"},
      {u" a\r\nb ", u"ab", u" a b "},
      {u"del\x7f and \u0085 are not C0", u"del\x7f and \u0085 are not C0",
       u"del\x7f and \u0085 are not C0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mail::EnvelopeAddress(c.text), c.envelope) << ToUtf8(c.text);
    EXPECT_EQ(mail::HeaderValue(c.text), c.header) << ToUtf8(c.text);
  }
}

// The bytes that a base64 encoded-word carries.
std::string DecodeWord(std::string_view word) {
  constexpr std::string_view kStart = "=?UTF-8?B?";
  if (word.substr(0, kStart.size()) != kStart || word.substr(word.size() - 2) != "?=") {
    ADD_FAILURE() << "not an encoded-word: " << word;
    return {};
  }
  word = word.substr(kStart.size(), word.size() - kStart.size() - 2);
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (const char c : word) {
    if (c == '=') break;
    bits = bits << 6 | static_cast<unsigned>(alphabet.find(c));
    if ((count += 6) >= 8) out.push_back(static_cast<char>(bits >> (count -= 8) & 0xFF));
  }
  return out;
}

TEST(MessageText, UnstructuredValuesOutsideAsciiBecomeFoldedEncodedWords) {
  const std::u16string long_ascii(200, u'x');
  const struct {
    std::u16string_view name;  // with ": "
    std::u16string value;
    std::u16string_view exact;  // the value as written, when given
  } cases[] = {
      {u"Subject: ", u"Hi", u"Hi"},
      {u"Subject: ", long_ascii, long_ascii},  // ASCII is never folded
      {u"Subject: ", u"Gr\u00fc\u00dfe", u"=?UTF-8?B?R3LDvMOfZQ==?="},
      {u"Subject: ", u"a\r\n\u00fc", u"=?UTF-8?B?YSDDvA==?="},  // the space, then encoded
      {u"Priority: ", u"H\u00f6chste", u"=?UTF-8?B?SMO2Y2hzdGU=?="},
      {u"Subject: ", std::u16string(100, u'\u00fc'), u""},
      {u"X-Mailer: ", std::u16string(40, u'\u20ac') + u" end", u""},
      {u"Subject: ",
       [] {
         std::u16string emoji;
         for (int i = 0; i < 40; ++i) emoji += u"\U0001F600";
         return emoji;
       }(),
       u""},
  };
  for (const auto& c : cases) {
    const String written = mail::UnstructuredHeaderValue(c.name.size(), c.value);
    if (!c.exact.empty()) {
      EXPECT_EQ(written, c.exact) << ToUtf8(c.value);
      continue;
    }
    // Folded lines of at most 78 characters, each one word of whole sequences,
    // that together decode to the value.
    const std::string line = ToUtf8(String(c.name) + written);
    std::string decoded;
    std::size_t from = 0;
    while (from < line.size()) {
      std::size_t end = line.find("\r\n", from);
      if (end == std::string::npos) end = line.size();
      const std::string_view one = std::string_view(line).substr(from, end - from);
      EXPECT_LE(one.size(), 78u) << one;
      const std::size_t word_at = from == 0 ? c.name.size() : 1;
      if (from != 0) {
        EXPECT_EQ(one.substr(0, 1), " ");
      }
      const std::string bytes = DecodeWord(one.substr(word_at));
      EXPECT_EQ(ToUtf8(FromUtf8(bytes)), bytes) << "a word splits a sequence: " << one;
      decoded += bytes;
      from = end == line.size() ? end : end + 2;
    }
    EXPECT_EQ(decoded, ToUtf8(c.value));
    EXPECT_GT(std::count(line.begin(), line.end(), '\n'), 0) << "long values fold";
  }
}

TEST(MessageText, ContentTypeSaysUtf8OnlyInsteadOfAFalseUsAscii) {
  const struct {
    std::u16string_view given;
    bool utf8_text;
    std::u16string_view written;
  } cases[] = {
      {u"text/plain; charset=US-ASCII", false, u"text/plain; charset=US-ASCII"},
      {u"text/plain; charset=US-ASCII", true, u"text/plain; charset=UTF-8"},
      {u"text/plain; charset=us-ascii", true, u"text/plain; charset=UTF-8"},
      {u"text/plain; CHARSET=\"Us-Ascii\"", true, u"text/plain; CHARSET=\"UTF-8\""},
      {u"text/plain; charset = us-ascii; format=flowed", true,
       u"text/plain; charset = UTF-8; format=flowed"},
      {u"text/plain; charset=ISO-8859-1", true, u"text/plain; charset=ISO-8859-1"},
      {u"text/plain; charset=us-ascii-x", true, u"text/plain; charset=us-ascii-x"},
      {u"text/html", true, u"text/html"},
      {u"", true, u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mail::DeclaredContentType(c.given, c.utf8_text), c.written) << ToUtf8(c.given);
  }
}

struct LabelCase {
  const char* name;
  std::u16string subject;
  std::u16string body;
  Integer body_event;
  std::u16string content_type;
  std::string header_lines;  // from Content-type to the end of the header
};

class MessageLabels : public ::testing::TestWithParam<LabelCase> {};

// The header says what the wire carries: UTF-8 where the text leaves ASCII,
// 8bit where the body from Body does; an ASCII message keeps its eight lines.
TEST_P(MessageLabels, DeclareWhatGoesOnTheWire) {
  const LabelCase& c = GetParam();
  Rig rig;
  rig.control.put_Subject(c.subject);
  rig.control.put_Body(Variant(c.body));
  rig.control.put_BodyEvent(c.body_event);
  ControlInternals::Properties(rig.control).ContentType = c.content_type;  // as restored
  const std::string message = MessageOf(rig);
  const std::size_t from = message.find("Content-type: ");
  const std::size_t to = message.find("\r\n\r\n");
  ASSERT_NE(from, std::string::npos);
  EXPECT_EQ(message.substr(from, to + 2 - from), c.header_lines);
}

INSTANTIATE_TEST_SUITE_P(
    , MessageLabels,
    ::testing::Values(
        LabelCase{"Ascii", u"Hi", u"Hello", 0, u"text/plain; charset=US-ASCII",
                  "Content-type: text/plain; charset=US-ASCII\r\n"
                  "X-Mailer: qvSMTP by Quenvix\r\nSubject: Hi\r\n"},
        LabelCase{"SubjectOutsideAscii", u"Gr\u00fc\u00dfe", u"Hello", 0,
                  u"text/plain; charset=US-ASCII",
                  "Content-type: text/plain; charset=UTF-8\r\n"
                  "X-Mailer: qvSMTP by Quenvix\r\nSubject: =?UTF-8?B?R3LDvMOfZQ==?=\r\n"},
        LabelCase{"BodyOutsideAscii", u"Hi", u"Gr\u00fc\u00dfe", 0, u"text/plain; charset=us-ascii",
                  "Content-type: text/plain; charset=UTF-8\r\n"
                  "Content-Transfer-Encoding: 8bit\r\n"
                  "X-Mailer: qvSMTP by Quenvix\r\nSubject: Hi\r\n"},
        // The host writes the body: unseen when the header goes out.
        LabelCase{"StreamedBody", u"Hi", u"Gr\u00fc\u00dfe", 1, u"text/plain; charset=US-ASCII",
                  "Content-type: text/plain; charset=US-ASCII\r\n"
                  "X-Mailer: qvSMTP by Quenvix\r\nSubject: Hi\r\n"},
        LabelCase{"NulInSubject", std::u16string(u"a\0b", 3), u"Hello", 0,
                  u"text/plain; charset=US-ASCII",
                  "Content-type: text/plain; charset=US-ASCII\r\n"
                  "X-Mailer: qvSMTP by Quenvix\r\nSubject: a b\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A step that fails part-way ends the send as a socket error, keeps what was
// written, and never crashes.
struct StepFailureCase {
  const char* name;
  std::function<void(Rig&)> arrange;
  int writes_before_failure;  // writes of the message step that stay written
};

class StepFailure : public ::testing::TestWithParam<StepFailureCase> {};

TEST_P(StepFailure, EndsAsSocketError) {
  const StepFailureCase& c = GetParam();
  Rig rig;
  c.arrange(rig);
  rig.BringToWaitDataAck();
  const std::size_t before = rig.socket.writes.size();
  rig.socket.ServerSends(u"354 go\r\n");
  rig.Tick();
  rig.Tick();
  EXPECT_EQ(rig.control.get_status(), 2);
  EXPECT_FALSE(rig.control.get_StatusStr().empty());
  EXPECT_EQ(rig.control.get_Busy(), kFalse);
  EXPECT_FALSE(rig.timer.Enabled());
  EXPECT_EQ(rig.socket.State(), socket_state::kClosed);
  EXPECT_EQ(rig.socket.writes.size() - before, static_cast<std::size_t>(c.writes_before_failure));
  EXPECT_EQ(rig.state(), kSendMessage);
  EXPECT_EQ(rig.sink.CountOf("SendComplete"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    , StepFailure,
    ::testing::Values(
        StepFailureCase{"DateIsNaN", [](Rig& r) { r.control.put_DateHeader(Date{std::nan("")}); },
                        3},
        StepFailureCase{"DatePastYear9999", [](Rig& r) { r.control.put_DateHeader(Date{3e6}); }, 3},
        StepFailureCase{"BodyWriteRefused",
                        [](Rig& r) {
                          r.sink.on_debug_message = [&r](String& msg) {
                            if (msg == u"Sending DATA") r.socket.FailWrite(11);
                          };
                        },
                        9}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StepFailures, RefusedCommandWriteKeepsTheStateAndEndsTheSend) {
  Rig rig;
  rig.control.Send();
  rig.socket.AcceptConnection();
  rig.socket.ServerSends(u"220 ready\r\n");
  rig.Tick();
  rig.socket.FailWrite(1);
  rig.Tick();
  EXPECT_EQ(rig.state(), kSendHelo);
  EXPECT_EQ(rig.control.get_status(), 2);
  EXPECT_EQ(rig.control.get_StatusStr(),
            u"Wrong protocol or connection state for the requested transaction or request");
}

TEST(StepFailures, QuitThatCannotBeWrittenKeepsTheServersAnswer) {
  Rig rig;
  rig.StartAndGreet();
  rig.sink.on_debug_message = [&](String& msg) {
    if (msg == u"Sending QUIT command.") rig.socket.FailWrite(1);
  };
  rig.Serve(Rig::Accepting);
  EXPECT_EQ(rig.control.get_status(), 0);
  EXPECT_EQ(rig.control.get_StatusStr(), u"Success");
}

TEST(SendData, WritesTheTextFormUnchangedInOnePiece) {
  Rig rig;
  Variant text(u"no line end");
  Variant number(Integer{42});
  Variant empty;
  rig.control.SendData(text);
  rig.control.SendData(number);
  rig.control.SendData(empty);
  EXPECT_EQ(rig.socket.writes, (std::vector<String>{u"no line end", u"42", u""}));
  EXPECT_EQ(text, Variant(u"no line end"));
  Variant null = Variant::Null();
  try {
    rig.control.SendData(null);
    FAIL() << "Null has no text form";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), error_number::kInvalidUseOfNull);
  }
  EXPECT_EQ(rig.socket.writes.size(), 3u);
}

TEST(SendData, RefusedWriteReachesTheCaller) {
  Rig rig;
  rig.socket.FailWrite(1);
  Variant text(u"x");
  EXPECT_THROW(rig.control.SendData(text), AutomationError);
}

TEST(Quit, SkippedSilentlyWhenNotConnected) {
  Rig rig;
  rig.StartAndGreet();
  rig.Serve([&](const std::u16string& line) -> std::u16string {
    if (line == u"\r\n.\r\n") rig.socket.PeerCloses();
    return Rig::Accepting(line);
  });
  EXPECT_EQ(rig.control.get_status(), 0);
  EXPECT_EQ(rig.sink.CountOf("DebugMessage Sending QUIT"), 0);
  EXPECT_EQ(rig.socket.writes.back(), u"\r\n.\r\n");
}

// Every message carries one Message-ID: a host's own for the message it was
// set for, otherwise 128 random bits in hex at the sender's domain (the HELO
// name when the sender has none); the property tells which was used.
TEST(MessageId, OnePerMessageAtTheSendersDomainOrTheHostsOwn) {
  const struct {
    const char* name;
    std::u16string from;
    std::u16string host_id;  // empty: none set
    std::string pattern;
  } cases[] = {
      {"the sender's domain", u"from@mail.example.org", u"", "[0-9a-f]{32}@mail\\.example\\.org"},
      {"a sender without a domain", u"postmaster", u"", "[0-9a-f]{32}@client\\.example\\.com"},
      {"the host's own, cleaned", u"from@example.com", u" <own\r\n@id.example> ",
       "own@id\\.example"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.control.put_MailFrom(c.from);
    rig.control.put_MessageId(c.host_id);  // replaces the rig's own
    std::vector<std::string> ids;
    for (int send = 0; send < 2; ++send) {
      rig.StartAndGreet();
      rig.Serve(Rig::Accepting);
      ids.push_back(ToUtf8(rig.control.get_MessageId()));
      EXPECT_NE(rig.Transcript().find("Message-ID: <" + ids.back() + ">\r\n"), std::string::npos);
    }
    EXPECT_TRUE(std::regex_match(ids[0], std::regex(c.pattern))) << ids[0];
    // The next message never repeats an id, the host's own included.
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_TRUE(std::regex_match(ids[1], std::regex("[0-9a-f]{32}@.+"))) << ids[1];
  }
}

}  // namespace
}  // namespace qv::testing
