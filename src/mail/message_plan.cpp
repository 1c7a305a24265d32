// How the message travels: its transfer encoding, and what MAIL FROM
// declares in the ESMTP conversations (SIZE, BODY=8BITMIME, SMTPUTF8). What
// the server cannot take is found out before MAIL FROM, not after the data.
#include <exception>
#include <string>

#include "mail/message_id.hpp"
#include "mail/message_text.hpp"
#include "mail/quoted_printable.hpp"
#include "mail/recipient_list.hpp"
#include "mail/session.hpp"
#include "qv/core/text.hpp"

namespace qv::mail {
namespace {

// The Body's text, or its text form; nullptr without one.
std::shared_ptr<const String> BodyTextOf(const BodyValue& body) {
  if (body.HasNoValue()) return nullptr;
  if (body.Text()) return body.Text();
  try {
    return std::make_shared<const String>(ToText(body.NonText()));
  } catch (const std::exception&) {
    return nullptr;  // writing it fails later, at the body, as it always has
  }
}

// Octets of the transparent wire form of text and its closing CR LF, as
// AppendTransparentBody and the socket's UTF-8 make them.
std::uint64_t WireOctets(std::u16string_view text) {
  std::uint64_t octets = 2;
  bool line_start = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == u'\r' || c == u'\n') {
      octets += 2;
      if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
      line_start = true;
      continue;
    }
    if (line_start && c == u'.') ++octets;
    line_start = false;
    octets += Utf8Octets(c);
  }
  return octets;
}

// The first address of the envelope outside ASCII; empty when all are ASCII.
String FirstNonAsciiAddress(const String& mail_from, String recipients) {
  if (HoldsNonAscii(mail_from)) return WithoutControlCharacters(mail_from);
  while (!recipients.empty()) {
    const String address = EnvelopeAddress(CutNextRecipient(recipients));
    if (HoldsNonAscii(address)) return address;
  }
  return {};
}

}  // namespace

Session::MessagePlan Session::PlanMessage() const {
  const Properties& p = properties_;
  MessagePlan plan;
  bool eight_bit = false;
  if (p.BodyEvent > 0) {
    // The host's text is not known ahead: its label says what it holds.
    eight_bit = DeclaresNonAsciiCharset(p.ContentType);
  } else if (const std::shared_ptr<const String> text = BodyTextOf(p.Body)) {
    // Found once, when Body was assigned, for a text Body.
    const bool assigned_text = p.Body.Text() != nullptr;
    eight_bit = assigned_text ? p.Body.TextHoldsNonAscii() : HoldsNonAscii(*text);
    // NUL is allowed in neither 7bit nor 8bit text (RFC 2045 2.7, 2.8).
    plan.quoted_printable =
        assigned_text ? p.Body.TextNeedsQuotedPrintable() : NeedsQuotedPrintable(*text);
  }
  // An ESMTP server that did not take BODY=8BITMIME takes 7-bit data only
  // (RFC 6152).
  if (eight_bit && Esmtp() && !declared_8bitmime_) plan.quoted_printable = true;
  plan.eight_bit = eight_bit && !plan.quoted_printable;
  return plan;
}

std::uint64_t Session::MessageOctets(const MessagePlan& plan, const String& message_id) const {
  std::uint64_t octets = 0;
  HeaderLines(plan, message_id, [&octets](const String& line) { octets += ToUtf8(line).size(); });
  // The line end before the final dot belongs to the message.
  octets += 2;
  const std::shared_ptr<const String> text = BodyTextOf(properties_.Body);
  if (!text || text->empty()) return octets;
  if (!plan.quoted_printable) return octets + WireOctets(*text);
  std::string encoded;
  QuotedPrintableEncoder encoder;
  encoder.Encode(TransparentBodyUtf8(*text), encoded);
  encoder.Finish(encoded);
  return octets + encoded.size();
}

bool Session::WriteMailFromParameters(String& parameters) {
  const String address = FirstNonAsciiAddress(properties_.MailFrom, properties_.RcptTo);
  if (!address.empty()) {
    if (!Offers(u"SMTPUTF8")) {
      QuitAndFinish(outcome::kSocketError,
                    u"The address " + address +
                        u" is outside ASCII, and the server does not offer SMTPUTF8: nothing of "
                        u"the message was sent.");
      return false;
    }
    parameters += u" SMTPUTF8";
  }
  declared_8bitmime_ = Offers(u"8BITMIME");
  const MessagePlan plan = PlanMessage();
  declared_8bitmime_ = declared_8bitmime_ && plan.eight_bit;
  if (declared_8bitmime_) parameters += u" BODY=8BITMIME";

  // RFC 1870: the size is declared when it is known, which it is not for a
  // body the host writes.
  if (!Offers(u"SIZE") || properties_.BodyEvent > 0) return true;
  planned_message_id_ = MessageIdFor();
  const std::uint64_t octets = MessageOctets(plan, planned_message_id_);
  std::uint64_t limit = 0;
  for (const String& entry : capabilities_) {
    if (entry.rfind(u"SIZE ", 0) != 0) continue;
    for (const char16_t c : std::u16string_view(entry).substr(5)) {
      if (c < u'0' || c > u'9' || limit > UINT64_MAX / 10 - 9) break;
      limit = limit * 10 + static_cast<std::uint64_t>(c - u'0');
    }
  }
  // 0 or no number: the server sets no limit.
  if (limit > 0 && octets > limit) {
    QuitAndFinish(outcome::kSocketError, u"The message is " + FromUtf8(std::to_string(octets)) +
                                             u" bytes, and the server takes at most " +
                                             FromUtf8(std::to_string(limit)) +
                                             u": nothing of it was sent.");
    return false;
  }
  parameters += u" SIZE=" + FromUtf8(std::to_string(octets));
  return true;
}

String Session::MessageIdFor() const {
  if (properties_.MessageIdGiven && !properties_.MessageId.empty()) return properties_.MessageId;
  // The HELO name only when the sender has no domain.
  const String fallback = SenderDomain(properties_.MailFrom).empty()
                              ? ToText(socket_.ReadSetting(socket_setting::kLocalHostName))
                              : String();
  return NewMessageId(properties_.MailFrom, fallback);
}

}  // namespace qv::mail
