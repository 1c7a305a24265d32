// The message step: header, blank line, body and end of data, in one tick.
#include "mail/message_text.hpp"
#include "mail/session.hpp"

namespace qv::mail {

void Session::WriteHeader(std::u16string_view name, std::u16string_view value) {
  String line;
  line.reserve(name.size() + value.size() + 4);
  line.append(name);
  line += u": ";
  line += HeaderValue(value);
  line += u"\r\n";
  socket_.SendData(line);
}

void Session::WriteMessage() {
  const Properties& p = properties_;
  WriteHeader(u"Priority", p.Priority);
  WriteHeader(u"From", p.MailFrom);
  WriteHeader(u"To", p.RcptTo);
  WriteHeader(u"Date", DateHeaderText(p.DateHeader, clock_.UtcOffsetMinutes(p.DateHeader)));
  WriteHeader(u"MIME-Version", u"1.0");
  WriteHeader(u"Content-type", p.ContentType);
  WriteHeader(u"X-Mailer", p.XMailer);
  WriteHeader(u"Subject", p.Subject);
  socket_.SendData(u"\r\n");

  if (properties_.BodyEvent > 0) {
    const Generation generation = generation_;
    // iTag is BodyEvent itself: what the handler assigns decides the body
    // source of later messages.
    if (sink_ != nullptr) sink_->SendBody(properties_.BodyEvent);
    if (generation_ != generation) return;  // ended while the handler ran
  } else if (!properties_.Body.IsEmpty() && !properties_.Body.IsNull()) {
    String piece;
    if (const String* text = properties_.Body.get_if<String>()) {
      AppendTransparentBody(*text, piece);
    } else {
      AppendTransparentBody(ToText(properties_.Body), piece);
    }
    if (!piece.empty()) {
      piece += u"\r\n";
      socket_.SendData(piece);
    }
  }

  socket_.SendData(u"\r\n.\r\n");
  MarkStateStart();
  session_state_ = session_state::kWaitMessageAck;
}

}  // namespace qv::mail
