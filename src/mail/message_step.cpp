// The message step: header, blank line, body and end of data, in one tick.
#include <exception>
#include <memory>

#include "mail/body_text.hpp"
#include "mail/message_id.hpp"
#include "mail/message_text.hpp"
#include "mail/quoted_printable.hpp"
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

namespace {

String HeaderLine(std::u16string_view name, std::u16string_view value) {
  String line;
  line.reserve(name.size() + value.size() + 4);
  line.append(name);
  line += u": ";
  line.append(value);
  return FoldedHeaderLine(line) + u"\r\n";
}

// An unstructured header: text outside ASCII goes as encoded-words, folded
// already.
String TextHeaderLine(std::u16string_view name, std::u16string_view value) {
  const String text = UnstructuredHeaderValue(name.size() + 2, value);
  if (HoldsNonAscii(value)) return String(name) + u": " + text + u"\r\n";
  return HeaderLine(name, text);
}

}  // namespace

void Session::HeaderLines(const MessagePlan& plan, const String& message_id,
                          const std::function<void(const String&)>& put) const {
  const Properties& p = properties_;
  const bool body_non_ascii = p.BodyEvent <= 0 && BodyHoldsNonAscii(p.Body);
  // The socket sends UTF-8; a label that says US-ASCII would then be false.
  const bool utf8_text = body_non_ascii || HoldsNonAscii(p.Priority) || HoldsNonAscii(p.MailFrom) ||
                         HoldsNonAscii(p.RcptTo) || HoldsNonAscii(p.XMailer) ||
                         HoldsNonAscii(p.Subject);
  put(TextHeaderLine(u"Priority", p.Priority));
  put(HeaderLine(u"From", HeaderValue(p.MailFrom)));
  put(HeaderLine(u"To", HeaderValue(p.RcptTo)));
  put(HeaderLine(u"Date", DateHeaderText(p.DateHeader, clock_.UtcOffsetMinutes(p.DateHeader))));
  // Beside the Date: together they identify the message.
  put(HeaderLine(u"Message-ID", u"<" + message_id + u">"));
  put(HeaderLine(u"MIME-Version", u"1.0"));
  put(HeaderLine(u"Content-type", HeaderValue(DeclaredContentType(p.ContentType, utf8_text))));
  if (plan.quoted_printable) {
    put(u"Content-Transfer-Encoding: quoted-printable\r\n");
  } else if (plan.eight_bit) {
    put(u"Content-Transfer-Encoding: 8bit\r\n");
  }
  put(TextHeaderLine(u"X-Mailer", p.XMailer));
  put(TextHeaderLine(u"Subject", p.Subject));
  put(u"\r\n");
}

void Session::WriteMessage() {
  pipelined_ = false;  // DATA has its 354: one reply at a time from here
  // The plan again: a handler may have changed the body since MAIL FROM;
  // what MAIL FROM declared still holds.
  const MessagePlan plan = PlanMessage();
  // A host's own id serves one message; after it, each gets a new one.
  properties_.MessageId = planned_message_id_.empty() ? MessageIdFor() : planned_message_id_;
  planned_message_id_.clear();
  properties_.MessageIdGiven = false;
  // Line by line: what was written stays written when a later line fails.
  HeaderLines(plan, properties_.MessageId, [this](const String& line) { socket_.SendData(line); });

  if (properties_.BodyEvent > 0) {
    const Generation generation = generation_;
    // What the host writes is encoded on its way while the handler runs.
    if (plan.quoted_printable) stream_encoder_.emplace();
    std::string rest;
    {
      struct EncoderReset {
        std::optional<QuotedPrintableEncoder>& encoder;
        ~EncoderReset() { encoder.reset(); }
      } reset{stream_encoder_};
      RaiseSendBody();
      if (generation_ != generation) return;  // ended while the handler ran
      if (stream_encoder_) stream_encoder_->Finish(rest);
    }
    if (!rest.empty()) socket_.SendUtf8(rest);
  } else if (!properties_.Body.HasNoValue()) {
    // The text is shared with Body, not copied: the socket encodes it as the
    // connection drains.
    std::shared_ptr<const String> text = properties_.Body.Text();
    if (!text) text = std::make_shared<const String>(ToText(properties_.Body.NonText()));
    if (plan.quoted_printable && !text->empty()) {
      std::string encoded;
      QuotedPrintableEncoder encoder;
      encoder.Encode(TransparentBodyUtf8(*text), encoded);
      encoder.Finish(encoded);
      socket_.SendUtf8(encoded);
    } else if (!text->empty()) {
      socket_.SendText(std::make_unique<BodyText>(std::move(text)));
    }
  }

  socket_.SendData(u"\r\n.\r\n");
  awaiting_send_complete_ = socket_.ReportsSendComplete();
  if (awaiting_send_complete_) socket_.RequestSendComplete();
  MarkStateStart();
  session_state_ = session_state::kWaitMessageAck;
}

}  // namespace qv::mail
