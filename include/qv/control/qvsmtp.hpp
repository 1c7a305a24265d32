// The mail control qvSMTP: sends one e-mail at a time to an SMTP server.
//
// A host sets the properties, calls Send, and learns through the events of
// qvSMTPEvents how the conversation goes and how it ended. The control drives
// only the services it is given (socket, timer, clock, component host), all on
// one thread; it never blocks and takes no locks.
//
// Readers and writers keep the names of the automation interface: get_X reads
// property X and put_X writes it. A refused write throws AutomationError with
// the host's text for 393 or 394 (number()); put_Enabled passes on what the
// host's service throws.
//
// Threads: a control is created, used and destroyed on one thread, the one
// that delivers its timer ticks and socket notifications (its event loop's
// thread). Nothing is locked; calls from other threads are not allowed.
//
// Events: Advise attaches a plain sink the host keeps alive; Subscribe
// (qv/control/subscription.hpp) attaches handlers for as long as the object
// it returns lives. Outcome codes by name: qv/control/outcome.hpp.
#pragma once

#include <memory>
#include <string_view>

#include "qv/control/session_snapshot.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/date.hpp"
#include "qv/core/types.hpp"
#include "qv/core/variant.hpp"
#include "qv/export.hpp"
#include "qv/host/clock.hpp"
#include "qv/host/component_host.hpp"
#include "qv/host/property_bag.hpp"
#include "qv/host/socket.hpp"
#include "qv/host/timer.hpp"
#include "qv/mail/events.hpp"

namespace qv {

// The control's fixed size, in twips (24 x 22 pixels at 15 twips a pixel).
inline constexpr Long kControlWidth = 360;
inline constexpr Long kControlHeight = 330;

class QV_EXPORT qvSMTP {
 public:
  // The services must outlive the control. No lifecycle notification is sent
  // here: the creator sends Initialize, then InitProperties or ReadProperties.
  qvSMTP(Socket& socket, Timer& timer, Clock& clock, ComponentHost& host);
  // A subscription still attached stops receiving; its end does nothing.
  ~qvSMTP();
  qvSMTP(const qvSMTP&) = delete;
  qvSMTP& operator=(const qvSMTP&) = delete;

  // The control as its library builds it for a container: the design size
  // given to the host (kControlWidth x kControlHeight), the timer set to
  // kMailTimerInterval and disabled, the socket's stored settings cleared,
  // then the control created and sent Initialize. The host sends
  // InitProperties or ReadProperties next. The services must outlive the
  // control; a failing service propagates its exception.
  static std::unique_ptr<qvSMTP> Create(Socket& socket, Timer& timer, Clock& clock,
                                        ComponentHost& host);

  // One sink at a time; nullptr detaches. Events without a sink do nothing.
  // The sink must outlive its attachment: detach it (or destroy the control)
  // before destroying the sink. Replaces a Subscribe's handlers too.
  void Advise(qvSMTPEvents* sink);

  // Properties, in slot order.
  Boolean get_Enabled();
  void put_Enabled(Boolean value);
  String get_RemoteHost() const;
  void put_RemoteHost(const String& value);
  String get_MailFrom() const;
  void put_MailFrom(const String& value);
  Variant get_Body() const;
  // Taken by value: a large body is moved in, not copied.
  void put_Body(Variant value);
  String get_RemoteHostIP() const;
  void put_RemoteHostIP(const String& value);
  String get_Subject() const;
  void put_Subject(const String& value);
  Date get_DateHeader() const;
  void put_DateHeader(Date value);
  String get_RcptTo() const;
  void put_RcptTo(const String& value);
  Integer get_status() const;
  void put_status(Integer value);
  String get_XMailer() const;
  void put_XMailer(const String& value);
  String get_Priority() const;
  void put_Priority(const String& value);
  String get_ContentType() const;
  void put_ContentType(const String& value);
  Boolean get_Busy() const;
  void put_Busy(Boolean value);

  // Methods.
  // Writes data's text form to the connection as it is (the host owns it):
  // no line end added, no dot doubled. data is not modified. Throws
  // AutomationError when the socket cannot take the text (no connection) or
  // data has no text form.
  void SendData(const Variant& data);
  // The same for UTF-8 text a host already has: on the wire exactly as
  // SendData(Variant(FromUtf8(data))), without the conversion to UTF-16 and
  // back. Throws as SendData does.
  void SendDataUtf8(std::string_view data);
  // 0: a conversation has started. 1: refused, one is running. Mail failures
  // are outcomes (status, StatusStr, SendComplete), never exceptions. Throws
  // AutomationError with the socket's number when the socket refuses the
  // connection request itself, and passes on an event handler's exception
  // (see qvSMTPEvents).
  Integer Send();

  String get_StatusStr() const;
  void put_StatusStr(const String& value);
  Integer get_BodyEvent() const;
  void put_BodyEvent(Integer value);

  // The conversation (qv/control/protocol.hpp): 0 (the default) is the
  // original HELO conversation in plain text; 1 EHLO; 2 EHLO, then STARTTLS,
  // required; 3 TLS from the first byte. Other values throw 380. Read when
  // Send starts.
  Integer get_Protocol() const;
  void put_Protocol(Integer value);
  // The server's port, 0 to 65535 (others throw 380); 0, the default: 465
  // for TLS from the first byte, otherwise 25.
  Long get_Port() const;
  void put_Port(Long value);
  // A PEM file of CAs the server's certificate is checked against instead of
  // the system's trust store; empty, the default: the system's.
  String get_CaFile() const;
  void put_CaFile(const String& value);

  // Authentication (AUTH), in the ESMTP conversations only. With a user name
  // and a password or token, the control authenticates after EHLO (after
  // TLS), before MAIL FROM; credentials go only over TLS unless
  // AuthInTheClear allows a server on this machine (a loopback address).
  String get_UserName() const;
  void put_UserName(const String& value);
  // The password and the bearer token are secrets: reading gives "" always,
  // WriteProperties never stores them, no event, trace or snapshot shows
  // them, and their memory is overwritten when replaced or destroyed.
  String get_Password() const;
  void put_Password(const String& value);
  String get_OAuthToken() const;
  void put_OAuthToken(const String& value);
  // "" (the default) chooses among what the server offers: XOAUTH2 or
  // OAUTHBEARER with a token, else PLAIN, else LOGIN. "PLAIN", "LOGIN",
  // "XOAUTH2" or "OAUTHBEARER" (any case) forces one; other names throw 380.
  String get_AuthMechanism() const;
  void put_AuthMechanism(const String& value);
  Boolean get_AuthInTheClear() const;
  void put_AuthInTheClear(Boolean value);

  // Every message carries a Message-ID header, "<unique@domain>": the unique
  // part 128 random bits, the domain the sender's (the HELO name when the
  // sender has none). Once the message is written this holds its id, without
  // the angle brackets, to match a bounce to it. A host may set its own
  // before Send (control characters, spaces and angle brackets are dropped):
  // it serves that one message, and the next gets a new id again. Not stored.
  String get_MessageId() const;
  void put_MessageId(const String& value);

  // Container lifecycle: Initialize, then InitProperties or ReadProperties,
  // then any of Resize, WriteProperties and the members, Terminate last.
  void Initialize();
  void InitProperties();
  // Restores the properties in order; a failing read or conversion
  // propagates and leaves the later entries untouched. Entries the store does
  // not hold take their defaults (a record saved before Protocol, Port and
  // CaFile existed reads as before).
  void ReadProperties(PropertyBag& bag);
  // Writes the fifteen original entries always, and the later ones
  // (Protocol, Port, CaFile, UserName, AuthMechanism, AuthInTheClear) only
  // when they differ from their defaults, so a control that does not use
  // them stores exactly the record it always did. Secrets are never written.
  void WriteProperties(PropertyBag& bag);
  void Resize();
  void Terminate();

  // The conversation's state, for hosts' progress displays and diagnostics.
  SessionSnapshot Snapshot() const;

 private:
  // The engine and the stored property values; no engine header is public.
  struct Impl;
  friend struct ControlInternals;

  void Changed(std::u16string_view name);
  void RefuseSilentlyAtDesignTime();

  Socket& socket_;
  Timer& timer_;
  Clock& clock_;
  ComponentHost& host_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qv
