// The message step: header, blank line, body and end of data, in one tick.
#include <exception>
#include <memory>

#include "mail/body_text.hpp"
#include "mail/message_id.hpp"
#include "mail/message_text.hpp"
#include "mail/session.hpp"

namespace qv::mail {

namespace {

// The body from Body holds text outside ASCII. A Body without text form counts
// as ASCII here; writing it fails later, at the body, as it always has.
bool BodyHoldsNonAscii(const BodyValue& body) {
  if (body.HasNoValue()) return false;
  if (body.Text()) return body.TextHoldsNonAscii();
  try {
    return HoldsNonAscii(ToText(body.NonText()));
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

void Session::WriteHeader(std::u16string_view name, std::u16string_view value) {
  String line;
  line.reserve(name.size() + value.size() + 4);
  line.append(name);
  line += u": ";
  line += HeaderValue(value);
  line += u"\r\n";
  socket_.SendData(line);
}

void Session::WriteTextHeader(std::u16string_view name, std::u16string_view value) {
  String line;
  line.reserve(name.size() + value.size() + 4);
  line.append(name);
  line += u": ";
  line += UnstructuredHeaderValue(name.size() + 2, value);
  line += u"\r\n";
  socket_.SendData(line);
}

void Session::WriteMessage() {
  const Properties& p = properties_;
  const bool body_non_ascii = p.BodyEvent <= 0 && BodyHoldsNonAscii(p.Body);
  // The socket sends UTF-8; a label that says US-ASCII would then be false.
  const bool utf8_text = body_non_ascii || HoldsNonAscii(p.Priority) || HoldsNonAscii(p.MailFrom) ||
                         HoldsNonAscii(p.RcptTo) || HoldsNonAscii(p.XMailer) ||
                         HoldsNonAscii(p.Subject);
  WriteTextHeader(u"Priority", p.Priority);
  WriteHeader(u"From", p.MailFrom);
  WriteHeader(u"To", p.RcptTo);
  WriteHeader(u"Date", DateHeaderText(p.DateHeader, clock_.UtcOffsetMinutes(p.DateHeader)));
  // Beside the Date: together they identify the message. A host's own id
  // serves one message; after it, each gets a new one.
  if (!properties_.MessageIdGiven || properties_.MessageId.empty()) {
    // The HELO name only when the sender has no domain.
    const String fallback = SenderDomain(p.MailFrom).empty()
                                ? ToText(socket_.ReadSetting(socket_setting::kLocalHostName))
                                : String();
    properties_.MessageId = NewMessageId(p.MailFrom, fallback);
  }
  properties_.MessageIdGiven = false;
  socket_.SendData(u"Message-ID: <" + properties_.MessageId + u">\r\n");
  WriteHeader(u"MIME-Version", u"1.0");
  WriteHeader(u"Content-type", DeclaredContentType(p.ContentType, utf8_text));
  if (body_non_ascii) socket_.SendData(u"Content-Transfer-Encoding: 8bit\r\n");
  WriteTextHeader(u"X-Mailer", p.XMailer);
  WriteTextHeader(u"Subject", p.Subject);
  socket_.SendData(u"\r\n");

  if (properties_.BodyEvent > 0) {
    const Generation generation = generation_;
    RaiseSendBody();
    if (generation_ != generation) return;  // ended while the handler ran
  } else if (!properties_.Body.HasNoValue()) {
    // The text is shared with Body, not copied: the socket encodes it as the
    // connection drains.
    std::shared_ptr<const String> text = properties_.Body.Text();
    if (!text) text = std::make_shared<const String>(ToText(properties_.Body.NonText()));
    if (!text->empty()) socket_.SendText(std::make_unique<BodyText>(std::move(text)));
  }

  socket_.SendData(u"\r\n.\r\n");
  awaiting_send_complete_ = socket_.ReportsSendComplete();
  if (awaiting_send_complete_) socket_.RequestSendComplete();
  MarkStateStart();
  session_state_ = session_state::kWaitMessageAck;
}

}  // namespace qv::mail
