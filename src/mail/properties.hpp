// The stored values of the control's properties (all but Enabled, which the
// host keeps). The mail engine reads them and writes status, Busy and
// StatusStr directly; the control's accessors add the checks and notices.
#pragma once

#include <memory>

#include "mail/secret.hpp"
#include "qv/core/date.hpp"
#include "qv/core/types.hpp"
#include "qv/core/variant.hpp"

namespace qv::mail {

// Body's value. Text is held shared and never changed in place: the message
// step hands it to the socket without a copy, and a later assignment replaces
// it instead of changing text that is still being sent. What the message
// plan asks of a text is found when it is assigned, so that a large body is
// not read again between the server's 354 and its first byte.
class BodyValue {
 public:
  BodyValue() = default;
  BodyValue(Variant value);  // NOLINT: assigned from Variant like the others

  Variant Get() const { return text_ ? Variant(*text_) : other_; }
  // Empty or Null: no body at all.
  bool HasNoValue() const { return !text_ && (other_.IsEmpty() || other_.IsNull()); }
  // The text when Body holds a string, otherwise nullptr (see NonText).
  const std::shared_ptr<const String>& Text() const { return text_; }
  const Variant& NonText() const { return other_; }
  // Whether Text() holds characters outside ASCII; found once, on assignment,
  // not in the message step.
  bool TextHoldsNonAscii() const { return text_non_ascii_; }
  // Whether Text() can go only quoted-printable (a NUL, an over-long line);
  // found on assignment too.
  bool TextNeedsQuotedPrintable() const { return text_needs_quoted_printable_; }

 private:
  std::shared_ptr<const String> text_;
  Variant other_;
  bool text_non_ascii_ = false;
  bool text_needs_quoted_printable_ = false;
};

struct Properties {
  String RemoteHost;
  String MailFrom;
  BodyValue Body;
  String RemoteHostIP;
  String Subject;
  Date DateHeader;
  String RcptTo;
  Integer status = 0;
  String XMailer;
  String Priority;
  String ContentType;
  Boolean Busy = kFalse;
  String StatusStr;
  Integer BodyEvent = 0;
  // The conversation (protocol::kHelo ...), the server's port (0: the
  // conversation's own) and the CA file trusted instead of the system's.
  Integer Protocol = 0;
  Long Port = 0;
  String CaFile;
  // Authentication, in the ESMTP conversations: the login, its password or
  // bearer token (never stored, never shown), the mechanism ("" chooses),
  // and whether a server on this machine may have them without TLS.
  String UserName;
  Secret Password;
  Secret OAuthToken;
  String AuthMechanism;
  Boolean AuthInTheClear = kFalse;
  // The Message-ID of the last message, or the host's own for the next one
  // (MessageIdGiven); without one, each message gets a new id.
  String MessageId;
  bool MessageIdGiven = false;
};

// The conversations a control can hold.
namespace protocol {
inline constexpr Integer kHelo = 0;         // HELO, plain text: the original conversation
inline constexpr Integer kEsmtp = 1;        // EHLO, plain text
inline constexpr Integer kStartTls = 2;     // EHLO, then STARTTLS, required
inline constexpr Integer kImplicitTls = 3;  // TLS from the first byte (port 465)
inline constexpr Integer kLast = kImplicitTls;
}  // namespace protocol

}  // namespace qv::mail
