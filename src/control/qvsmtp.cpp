// The control's construction and its property accessors.
#include "qv/control/qvsmtp.hpp"

namespace qv {

qvSMTP::qvSMTP(Socket& socket, Timer& timer, Clock& clock, ComponentHost& host)
    : socket_(socket),
      timer_(timer),
      clock_(clock),
      host_(host),
      session_(properties_, socket, timer, clock) {}

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

void qvSMTP::put_Enabled(Boolean value) {
  host_.SetEnabled(value);
  Changed(u"Enabled");
}

void qvSMTP::put_RemoteHost(const String& value) {
  properties_.RemoteHost = value;
  Changed(u"RemoteHost");
}

void qvSMTP::put_MailFrom(const String& value) {
  properties_.MailFrom = value;
  Changed(u"MailFrom");
}

void qvSMTP::put_Body(const Variant& value) {
  properties_.Body = value;
  Changed(u"Body");
}

void qvSMTP::put_RemoteHostIP(const String&) { RefuseSilentlyAtDesignTime(); }

void qvSMTP::put_Subject(const String& value) {
  properties_.Subject = value;
  Changed(u"Subject");
}

void qvSMTP::put_DateHeader(Date value) {
  properties_.DateHeader = value;
  Changed(u"DateHeader");
}

void qvSMTP::put_RcptTo(const String& value) {
  properties_.RcptTo = value;
  Changed(u"RcptTo");
}

void qvSMTP::put_status(Integer) { RefuseSilentlyAtDesignTime(); }

void qvSMTP::put_XMailer(const String&) { RefuseSilentlyAtDesignTime(); }

void qvSMTP::put_Priority(const String& value) {
  properties_.Priority = value;
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
  properties_.BodyEvent = value;
  Changed(u"BodyEvent");
}

}  // namespace qv
