// The control's construction and its property accessors.
#include "control/control_internals.hpp"
#include "mail/auth.hpp"
#include "mail/message_id.hpp"
#include "qv/control/outcome.hpp"
#include "qv/control/protocol.hpp"

namespace qv {

qvSMTP::qvSMTP(Socket& socket, Timer& timer, Clock& clock, ComponentHost& host)
    : socket_(socket),
      timer_(timer),
      clock_(clock),
      host_(host),
      impl_(std::make_unique<Impl>(socket, timer, clock)) {}

qvSMTP::~qvSMTP() { impl_->DetachSubscription(); }

// The public state numbers are the engine's.
static_assert(SessionSnapshot::kIdle == mail::session_state::kIdle);
static_assert(SessionSnapshot::kWaitConnect == mail::session_state::kWaitConnect);
static_assert(SessionSnapshot::kWaitGreeting == mail::session_state::kWaitGreeting);
static_assert(SessionSnapshot::kSendHelo == mail::session_state::kSendHelo);
static_assert(SessionSnapshot::kWaitHeloAck == mail::session_state::kWaitHeloAck);
static_assert(SessionSnapshot::kSendMailFrom == mail::session_state::kSendMailFrom);
static_assert(SessionSnapshot::kWaitFromAck == mail::session_state::kWaitFromAck);
static_assert(SessionSnapshot::kSendRcptTo == mail::session_state::kSendRcptTo);
static_assert(SessionSnapshot::kWaitRcptAck == mail::session_state::kWaitRcptAck);
static_assert(SessionSnapshot::kSendDataCommand == mail::session_state::kSendDataCommand);
static_assert(SessionSnapshot::kWaitDataAck == mail::session_state::kWaitDataAck);
static_assert(SessionSnapshot::kSendMessage == mail::session_state::kSendMessage);
static_assert(SessionSnapshot::kWaitMessageAck == mail::session_state::kWaitMessageAck);
static_assert(SessionSnapshot::kSendEhlo == mail::session_state::kSendEhlo);
static_assert(SessionSnapshot::kWaitEhloAck == mail::session_state::kWaitEhloAck);
static_assert(SessionSnapshot::kSendStartTls == mail::session_state::kSendStartTls);
static_assert(SessionSnapshot::kWaitStartTlsAck == mail::session_state::kWaitStartTlsAck);
static_assert(SessionSnapshot::kWaitTlsHandshake == mail::session_state::kWaitTlsHandshake);
static_assert(SessionSnapshot::kSendAuth == mail::session_state::kSendAuth);
static_assert(SessionSnapshot::kWaitAuthAck == mail::session_state::kWaitAuthAck);
static_assert(static_cast<Integer>(SmtpProtocol::kHelo) == mail::protocol::kHelo);
static_assert(static_cast<Integer>(SmtpProtocol::kEsmtp) == mail::protocol::kEsmtp);
static_assert(static_cast<Integer>(SmtpProtocol::kStartTls) == mail::protocol::kStartTls);
static_assert(static_cast<Integer>(SmtpProtocol::kImplicitTls) == mail::protocol::kImplicitTls);

// The public outcome names are the engine's codes.
static_assert(static_cast<Integer>(SendOutcome::kSuccess) == mail::outcome::kSuccess);
static_assert(static_cast<Integer>(SendOutcome::kBusy) == mail::outcome::kInProgress);
static_assert(static_cast<Integer>(SendOutcome::kSocketError) == mail::outcome::kSocketError);
static_assert(static_cast<Integer>(SendOutcome::kTimeout) == mail::outcome::kTimeout);
static_assert(static_cast<Integer>(SendOutcome::kAddressRefused) == mail::outcome::kAddressRefused);

void qvSMTP::Advise(qvSMTPEvents* sink) {
  impl_->DetachSubscription();
  impl_->session.SetEventSink(sink);
}

void qvSMTP::SendData(const Variant& data) { impl_->session.SendData(data); }
void qvSMTP::SendDataUtf8(std::string_view data) { impl_->session.SendDataUtf8(data); }

Integer qvSMTP::Send() { return impl_->session.Send(); }

SessionSnapshot qvSMTP::Snapshot() const {
  const mail::Session& session = impl_->session;
  return SessionSnapshot{session.SessionState(), session.StateStartTime(), session.Capabilities(),
                         session.Tls()};
}

void qvSMTP::Changed(std::u16string_view name) { host_.PropertyChanged(name); }

// The properties the engine owns refuse every outside write: silently while
// the container is designed, with 393 while it runs.
void qvSMTP::RefuseSilentlyAtDesignTime() {
  if (host_.UserMode() == kFalse) return;
  if (host_.UserMode() != kFalse) {
    throw AutomationError(error_number::kCannotSetAtRunTime,
                          host_.ErrorText(error_number::kCannotSetAtRunTime));
  }
}

Boolean qvSMTP::get_Enabled() { return host_.Enabled(); }

// The stored values, as the engine last left them.
String qvSMTP::get_RemoteHost() const { return impl_->properties.RemoteHost; }
String qvSMTP::get_MailFrom() const { return impl_->properties.MailFrom; }
Variant qvSMTP::get_Body() const { return impl_->properties.Body.Get(); }
String qvSMTP::get_RemoteHostIP() const { return impl_->properties.RemoteHostIP; }
String qvSMTP::get_Subject() const { return impl_->properties.Subject; }
Date qvSMTP::get_DateHeader() const { return impl_->properties.DateHeader; }
String qvSMTP::get_RcptTo() const { return impl_->properties.RcptTo; }
Integer qvSMTP::get_status() const { return impl_->properties.status; }
String qvSMTP::get_XMailer() const { return impl_->properties.XMailer; }
String qvSMTP::get_Priority() const { return impl_->properties.Priority; }
String qvSMTP::get_ContentType() const { return impl_->properties.ContentType; }
Boolean qvSMTP::get_Busy() const { return impl_->properties.Busy; }
String qvSMTP::get_StatusStr() const { return impl_->properties.StatusStr; }
Integer qvSMTP::get_BodyEvent() const { return impl_->properties.BodyEvent; }

void qvSMTP::put_Enabled(Boolean value) {
  host_.SetEnabled(value);
  Changed(u"Enabled");
}

void qvSMTP::put_RemoteHost(const String& value) {
  impl_->properties.RemoteHost = value;
  Changed(u"RemoteHost");
}

void qvSMTP::put_MailFrom(const String& value) {
  impl_->properties.MailFrom = value;
  Changed(u"MailFrom");
}

void qvSMTP::put_Body(Variant value) {
  impl_->properties.Body = std::move(value);
  Changed(u"Body");
}

void qvSMTP::put_RemoteHostIP(const String&) { RefuseSilentlyAtDesignTime(); }

void qvSMTP::put_Subject(const String& value) {
  impl_->properties.Subject = value;
  Changed(u"Subject");
}

void qvSMTP::put_DateHeader(Date value) {
  impl_->properties.DateHeader = value;
  Changed(u"DateHeader");
}

void qvSMTP::put_RcptTo(const String& value) {
  impl_->properties.RcptTo = value;
  Changed(u"RcptTo");
}

void qvSMTP::put_status(Integer) { RefuseSilentlyAtDesignTime(); }

void qvSMTP::put_XMailer(const String&) { RefuseSilentlyAtDesignTime(); }

void qvSMTP::put_Priority(const String& value) {
  impl_->properties.Priority = value;
  Changed(u"Priority");
}

void qvSMTP::put_ContentType(const String&) { RefuseSilentlyAtDesignTime(); }

void qvSMTP::put_Busy(Boolean) { RefuseSilentlyAtDesignTime(); }

// StatusStr refuses even at design time, where the others stay silent.
void qvSMTP::put_StatusStr(const String&) {
  if (host_.UserMode() == kFalse) {
    throw AutomationError(error_number::kCannotSetAtDesignTime,
                          host_.ErrorText(error_number::kCannotSetAtDesignTime));
  }
  if (host_.UserMode() != kFalse) {
    throw AutomationError(error_number::kCannotSetAtRunTime,
                          host_.ErrorText(error_number::kCannotSetAtRunTime));
  }
}

void qvSMTP::put_BodyEvent(Integer value) {
  impl_->properties.BodyEvent = value;
  Changed(u"BodyEvent");
}

namespace {
void RequireInRange(Long value, Long low, Long high) {
  if (value < low || value > high) {
    throw AutomationError(error_number::kInvalidPropertyValue, "Invalid property value");
  }
}
}  // namespace

Integer qvSMTP::get_Protocol() const { return impl_->properties.Protocol; }

void qvSMTP::put_Protocol(Integer value) {
  RequireInRange(value, mail::protocol::kHelo, mail::protocol::kLast);
  impl_->properties.Protocol = value;
  Changed(u"Protocol");
}

Long qvSMTP::get_Port() const { return impl_->properties.Port; }

void qvSMTP::put_Port(Long value) {
  RequireInRange(value, 0, 65535);
  impl_->properties.Port = value;
  Changed(u"Port");
}

String qvSMTP::get_CaFile() const { return impl_->properties.CaFile; }

void qvSMTP::put_CaFile(const String& value) {
  impl_->properties.CaFile = value;
  Changed(u"CaFile");
}

String qvSMTP::get_UserName() const { return impl_->properties.UserName; }

void qvSMTP::put_UserName(const String& value) {
  impl_->properties.UserName = value;
  Changed(u"UserName");
}

String qvSMTP::get_Password() const { return {}; }

void qvSMTP::put_Password(const String& value) {
  impl_->properties.Password.Set(value);
  Changed(u"Password");
}

String qvSMTP::get_OAuthToken() const { return {}; }

void qvSMTP::put_OAuthToken(const String& value) {
  impl_->properties.OAuthToken.Set(value);
  Changed(u"OAuthToken");
}

String qvSMTP::get_AuthMechanism() const { return impl_->properties.AuthMechanism; }

void qvSMTP::put_AuthMechanism(const String& value) {
  if (!value.empty() && !mail::ParseMechanism(value)) {
    throw AutomationError(error_number::kInvalidPropertyValue, "Invalid property value");
  }
  impl_->properties.AuthMechanism = value;
  Changed(u"AuthMechanism");
}

String qvSMTP::get_MessageId() const { return impl_->properties.MessageId; }

void qvSMTP::put_MessageId(const String& value) {
  impl_->properties.MessageId = mail::CleanMessageId(value);
  impl_->properties.MessageIdGiven = !impl_->properties.MessageId.empty();
  Changed(u"MessageId");
}

Boolean qvSMTP::get_AuthInTheClear() const { return impl_->properties.AuthInTheClear; }

void qvSMTP::put_AuthInTheClear(Boolean value) {
  impl_->properties.AuthInTheClear = value != kFalse ? kTrue : kFalse;
  Changed(u"AuthInTheClear");
}

}  // namespace qv
