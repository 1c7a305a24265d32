// The control driven through its test doubles by a script the fuzzer writes:
// server text in any pieces, connects, socket errors, clock jumps (forward,
// back, across midnight), failing writes, property writes, Send and SendData,
// and event handlers that act at any point (SendData, Send, assignments to
// their argument, or a host loop that delivers notifications and ticks).
//
// Checked throughout:
//  - every started send ends with exactly one SendComplete carrying its
//    outcome (a refused Send's SendComplete carries 1 and ends nothing);
//  - at a completion Busy is false and the timer stopped; while busy, status
//    is 1 and the timer runs;
//  - the control writes nothing between a completion and the next start;
//  - the control writes the commands and the message in their order, and
//    every piece it writes ends in CR LF and holds no bare CR or LF,
//    and no line of it but the end of data begins with a single dot;
//  - a host loop run inside a handler (Send's DebugMessage, say) delivers
//    ticks and notifications only outside ticks and notifications, as the
//    services promise;
//  - outcome codes are 0, 2, 3 or 4 with their texts;
//  - in the ESMTP conversations: EHLO first, HELO only after a refused EHLO
//    and never when TLS is required; when TLS is required, nothing after
//    EHLO but STARTTLS until the handshake is done, and EHLO again first
//    after it (no MAIL FROM, no data in the clear); AUTH only after EHLO and
//    only over TLS (the server is not on this machine), and the password
//    never in an event;
//  - only AutomationError reaches the host, and every send ends in bounded
//    time once the server falls silent.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "control/control_internals.hpp"
#include "mail/session_state.hpp"
#include "qv/control/qvsmtp.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"
#include "qv/testing/fake_host.hpp"
#include "qv/testing/fake_socket.hpp"
#include "qv/testing/manual_clock.hpp"
#include "qv/testing/manual_timer.hpp"

namespace {

using qv::Integer;
using qv::String;
namespace state = qv::mail::session_state;
namespace outcome = qv::mail::outcome;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// QV_FUZZ_TRACE=1 prints what an input does, for reading a crash.
const bool kTrace = std::getenv("QV_FUZZ_TRACE") != nullptr;

std::string Show(std::u16string_view text) {
  std::string out;
  for (char c : qv::ToUtf8(text)) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

constexpr std::u16string_view kReplies[] = {
    u"220 mail.example.com ready\r\n",
    u"250 OK\r\n",
    u"354 End data with <CR><LF>.<CR><LF>\r\n",
    u"550 No such user\r\n",
    u"421 Service not available\r\n",
    u"250-mail.example.com\r\n250-SIZE 1000\r\n250 HELP\r\n",
    u"553 Not allowed\r\n",
    u"250",
    u" OK\r\n",
    u"\r\n",
    u"250-mail.example.com\r\n250-PIPELINING\r\n250 STARTTLS\r\n",
    u"220 2.0.0 Ready to start TLS\r\n",
    u"220-first line\r\n",
    u"500 5.5.1 Command unrecognized\r\n",
    u"454 4.7.0 TLS not available\r\n",
};

// Bodies that would end the data early or lose a dot if sent as they are.
constexpr std::u16string_view kBodies[] = {
    u".", u"line\r\n.\r\nQUIT\r\n", u".hidden\nlast", u"a\rb\nc\r\n..\r\n", u"\r\n.\r", u"\n.\n",
};

constexpr std::u16string_view kTimeoutTexts[] = {
    u"Timeout waiting for connect.",       u"Timeout waiting for remote hello.",
    u"Timeout waiting for HELO ack.",      u"Timeout waiting for addr ack.",
    u"Timeout waiting for DATA ack.",      u"Timeout waiting for MESSAGE ack.",
    u"Timeout waiting for EHLO ack.",      u"Timeout waiting for STARTTLS ack.",
    u"Timeout waiting for TLS handshake.", u"Timeout waiting for AUTH ack.",
};

constexpr std::u16string_view kPassword = u"pw-s3cret";

class Harness final : public qv::qvSMTPEvents {
 public:
  explicit Harness(FuzzedDataProvider& in) : in_(in), control_(socket_, timer_, clock_, host_) {
    control_.Initialize();
    control_.InitProperties();
    control_.Advise(this);
    control_.put_RemoteHost(u"mail.example.com");
    control_.put_MailFrom(u"me@example.com");
    control_.put_RcptTo(u"you@example.com");
    control_.put_Body(qv::Variant(u"Hello"));
  }

  ~Harness() { control_.Advise(nullptr); }

  void Run() {
    while (in_.remaining_bytes() > 0) {
      TopLevel([&] { Step(); });
    }
    // The server falls silent: every wait must run out.
    Trace("server silent");
    for (int i = 0; i < 4000 && control_.get_Busy() == qv::kTrue; ++i) {
      TopLevel([&] {
        clock_.Advance(30.0);
        Deliver([&] { timer_.Tick(); });
      });
    }
    Check(control_.get_Busy() == qv::kFalse);
    Check(completions_ == starts_);
  }

  // Events.
  void SendComplete(Integer& status) override {
    Trace("event SendComplete " + std::to_string(status) + " " + Show(control_.get_StatusStr()));
    Enter enter(depth_);
    CatchUp();
    if (status == outcome::kInProgress) {
      // A refused Send; the running send goes on.
      Check(control_.get_Busy() == qv::kTrue);
      Act(&status, nullptr);
      return;
    }
    Check(control_.get_Busy() == qv::kFalse);
    Check(!timer_.Enabled());
    Check(control_.get_status() == status);  // the property itself
    CheckOutcome(status, control_.get_StatusStr());
    ++completions_;
    Check(completions_ == starts_);
    idle_ = true;
    status_assigned_ = false;
    Act(&status, nullptr);
  }

  void SendBody(Integer& iTag) override {
    Trace("event SendBody " + std::to_string(iTag));
    Enter enter(depth_);
    CatchUp();
    Check(control_.get_Busy() == qv::kTrue);
    Check(qv::ControlInternals::Session(control_).SessionState() == state::kSendMessage);
    Check(iTag == control_.get_BodyEvent() && iTag > 0);
    Act(nullptr, &iTag);
  }

  void DebugMessage(String& msg) override {
    Trace("event DebugMessage " + Show(msg));
    Enter enter(depth_);
    CatchUp();
    Check(!msg.empty());
    Check(msg.find(kPassword) == String::npos);
    Act(nullptr, nullptr);
    if (in_.ConsumeBool()) msg = u"changed by the handler";
  }

 private:
  // One line of the trace, indented by handler depth, with the bytes left.
  void Trace(const std::string& what) {
    if (kTrace) {
      std::fprintf(stderr, "[%4zu] %*s%s\n", in_.remaining_bytes(), 2 * depth_, "", what.c_str());
    }
  }

  struct Enter {
    int& depth;
    explicit Enter(int& d) : depth(d) { ++depth; }
    ~Enter() { --depth; }
  };

  // Runs one action of the host and checks the invariants that hold between
  // actions. Only AutomationError may reach the host.
  template <typename F>
  void TopLevel(F&& action) {
    try {
      action();
    } catch (const qv::AutomationError& error) {
      Trace(std::string("AutomationError ") + error.what());
    }
    CatchUp();
    if (control_.get_Busy() == qv::kTrue) {
      Check(!idle_);
      Check(completions_ == starts_ - 1);
      Check(control_.get_status() == outcome::kInProgress);
      Check(timer_.Enabled());
    } else {
      Check(control_.get_Busy() == qv::kFalse);
      Check(idle_);
      Check(completions_ == starts_);
      Check(!timer_.Enabled());
      if (!status_assigned_) {
        const Integer s = control_.get_status();
        Check(s == 0 || s == 2 || s == 3 || s == 4);
      }
    }
  }

  // A timer tick or a socket notification. Neither is delivered while
  // another is being handled, as the services promise.
  template <typename F>
  void Deliver(F&& notify) {
    if (delivering_) return;
    delivering_ = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{delivering_};
    notify();
  }

  void CheckOutcome(Integer code, const String& text) {
    switch (code) {
      case outcome::kSuccess:
        Check(text == u"Success");
        break;
      case outcome::kSocketError:
        break;  // the socket's or the failure's own wording
      case outcome::kTimeout: {
        bool known = false;
        for (std::u16string_view t : kTimeoutTexts) known = known || text == t;
        Check(known);
        break;
      }
      case outcome::kAddressRefused:
        // The original conversation ends so on 550 only; the ESMTP ones on
        // any refusal, with the server's reply.
        Check(text.size() > 5 && (text.compare(0, 3, u"550") == 0 ||
                                  (esmtp_ && (text[0] == u'4' || text[0] == u'5'))));
        break;
      default:
        Check(false);
    }
  }

  // Classifies the writes made since the last call: the control's own unless
  // the host made them through SendData.
  void CatchUp() {
    for (; seen_writes_ < socket_.writes.size(); ++seen_writes_) {
      if (seen_writes_ < host_write_.size() && host_write_[seen_writes_]) continue;
      Trace("wire " + Show(socket_.writes[seen_writes_]));
      Check(!idle_);  // nothing after a completion until the next start
      CheckWireText(socket_.writes[seen_writes_]);
      CheckOrder(socket_.writes[seen_writes_]);
    }
  }

  // What the control may write next, given what it wrote last in this send:
  // HELO, MAIL FROM, RCPT TO for each entry, DATA, the nine header lines
  // (with the 8bit or quoted-printable line after Content-type), the
  // blank line, the body (unless empty or the host's), the end of data, QUIT;
  // QUIT also right after a refused address. Envelope commands and header
  // lines carry no control characters but tab and their own line ends.
  void CheckOrder(const String& text) {
    // To a server that offers PIPELINING the envelope and DATA go in one
    // write: each of its commands is checked in turn.
    const auto envelope = [](const String& t) {
      return t.rfind(u"MAIL FROM: <", 0) == 0 || t.rfind(u"RCPT TO: <", 0) == 0;
    };
    if (envelope(text)) {
      const std::size_t end = text.find(u"\r\n");
      if (end != String::npos && end + 2 < text.size()) {
        // ...and only to such a server.
        Check(qv::ControlInternals::Session(control_).Offers(u"PIPELINING"));
        CheckOrder(text.substr(0, end + 2));
        CheckOrder(text.substr(end + 2));
        return;
      }
    }
    // The HELO name is the socket's and the body the host's: both unchecked.
    const bool greeting = text.rfind(u"EHLO ", 0) == 0 || text.rfind(u"HELO ", 0) == 0;
    if (wire_ != Wire::kNothing && wire_ != Wire::kBlank && !greeting) {
      for (const char16_t c : text) Check(c >= 0x20 || c == u'\t' || c == u'\r' || c == u'\n');
    }
    static constexpr std::u16string_view kHeaders[] = {
        u"Priority: ",     u"From: ",         u"To: ",       u"Date: ",   u"Message-ID: <",
        u"MIME-Version: ", u"Content-type: ", u"X-Mailer: ", u"Subject: "};
    const auto starts = [&text](std::u16string_view prefix) {
      return text.compare(0, prefix.size(), prefix) == 0;
    };
    const bool secured = !qv::ControlInternals::Session(control_).Tls().empty();
    // In the ESMTP conversations any refusal is answered with QUIT.
    if (esmtp_ && text == u"QUIT\r\n" && wire_ != Wire::kQuit && wire_ != Wire::kStartTls) {
      wire_ = Wire::kQuit;
      return;
    }
    switch (wire_) {
      case Wire::kNothing:
        if (esmtp_) {
          Check(starts(u"EHLO "));
          wire_ = Wire::kEhlo;
        } else {
          Check(starts(u"HELO "));
          wire_ = Wire::kHelo;
        }
        return;
      case Wire::kAuth:
        if (starts(u"MAIL FROM: <")) {
          wire_ = Wire::kMailFrom;
        } else {
          Check(text.find(u' ') == String::npos);  // the answers to challenges
        }
        return;
      case Wire::kEhlo:
        if (starts(u"AUTH ")) {
          Check(secured);
          wire_ = Wire::kAuth;
        } else if (text == u"STARTTLS\r\n") {
          Check(tls_required_ && !secured);
          wire_ = Wire::kStartTls;
        } else if (starts(u"HELO ")) {
          Check(!tls_required_);  // falling back in the clear only when TLS is not asked for
          wire_ = Wire::kHelo;
        } else {
          Check(starts(u"MAIL FROM: <"));
          Check(!tls_required_ || secured);
          wire_ = Wire::kMailFrom;
        }
        return;
      case Wire::kStartTls:
        // Nothing in the clear after STARTTLS: the next command is EHLO over TLS.
        Check(secured && starts(u"EHLO "));
        wire_ = Wire::kEhlo;
        return;
      case Wire::kHelo:
        Check(starts(u"MAIL FROM: <"));
        Check(!tls_required_ || secured);
        wire_ = Wire::kMailFrom;
        return;
      case Wire::kMailFrom:
      case Wire::kRcptTo:
        if (starts(u"RCPT TO: <")) {
          wire_ = Wire::kRcptTo;
        } else if (text == u"DATA\r\n") {
          wire_ = Wire::kData;
          header_ = 0;
        } else {
          Check(text == u"QUIT\r\n");
          wire_ = Wire::kQuit;
        }
        return;
      case Wire::kData:
        if (header_ == 7 && (text == u"Content-Transfer-Encoding: 8bit\r\n" ||
                             text == u"Content-Transfer-Encoding: quoted-printable\r\n")) {
          return;
        }
        if (header_ < std::size(kHeaders)) {
          Check(starts(kHeaders[header_++]));
        } else {
          Check(text == u"\r\n");
          wire_ = Wire::kBlank;
        }
        return;
      case Wire::kBlank:
        wire_ = text == u"\r\n.\r\n" ? Wire::kEnd : Wire::kBody;
        return;
      case Wire::kBody:
        // A body that goes quoted-printable as the host writes it ends with
        // what the encoder held back.
        if (text == u"\r\n.\r\n") wire_ = Wire::kEnd;
        return;
      case Wire::kEnd:
        Check(text == u"QUIT\r\n");
        wire_ = Wire::kQuit;
        return;
      case Wire::kQuit:
        Check(false);
        return;
    }
  }

  static void CheckWireText(const String& text) {
    Check(text.size() >= 2 && text.compare(text.size() - 2, 2, u"\r\n") == 0);
    if (text == u"\r\n.\r\n") return;  // the end of data
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == u'\r') {
        Check(i + 1 < text.size() && text[i + 1] == u'\n');
        // A line may begin with a dot only when the dot was doubled.
        Check(text[line_start] != u'.' || (i > line_start + 1 && text[line_start + 1] == u'.'));
        line_start = i + 2;
        ++i;
      } else {
        Check(text[i] != u'\n');
      }
    }
  }

  void HostSendData(const qv::Variant& data) {
    CatchUp();
    const std::size_t before = socket_.writes.size();
    qv::Variant copy = data;
    Trace("SendData of kind " + std::to_string(static_cast<int>(data.type())));
    try {
      control_.SendData(copy);
    } catch (...) {
      MarkHostWrites(before);
      throw;
    }
    MarkHostWrites(before);
    Check(copy == data);  // the argument is never modified
  }

  void MarkHostWrites(std::size_t before) {
    Check(socket_.writes.size() <= before + 1);
    if (host_write_.size() < socket_.writes.size()) host_write_.resize(socket_.writes.size());
    for (std::size_t i = before; i < socket_.writes.size(); ++i) host_write_[i] = true;
  }

  void HostSend() {
    CatchUp();
    const bool was_busy = control_.get_Busy() == qv::kTrue;
    Trace(was_busy ? "Send (busy)" : "Send");
    if (!was_busy) {
      // Counted first: the Send's own DebugMessage handler may already end it.
      ++starts_;
      idle_ = false;
      wire_ = Wire::kNothing;
      status_assigned_ = false;
      esmtp_ = control_.get_Protocol() != 0;
      tls_required_ = control_.get_Protocol() >= 2;
      implicit_tls_ = control_.get_Protocol() == 3;
    }
    const Integer result = control_.Send();
    Check(result == (was_busy ? outcome::kInProgress : outcome::kSuccess));
  }

  String Text(std::size_t max_length) {
    return qv::FromUtf8(in_.ConsumeRandomLengthString(max_length));
  }

  String ReplyPiece() {
    const std::u16string_view reply =
        kReplies[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kReplies) - 1)];
    const std::size_t from = in_.ConsumeIntegralInRange<std::size_t>(0, reply.size());
    const std::size_t length = in_.ConsumeIntegralInRange<std::size_t>(0, reply.size() - from);
    if (from == 0 && length == 0) return String(reply);
    return String(reply.substr(from, length));
  }

  // What a well-behaved server would say in the current state.
  String ExpectedReply() {
    switch (qv::ControlInternals::Session(control_).SessionState()) {
      case state::kWaitGreeting:
        return u"220 ready\r\n";
      case state::kWaitHeloAck:
      case state::kWaitFromAck:
      case state::kWaitRcptAck:
      case state::kWaitMessageAck:
        return in_.ConsumeIntegralInRange(0, 7) == 0 ? u"550 refused\r\n" : u"250 OK\r\n";
      case state::kWaitDataAck:
        return u"354 go ahead\r\n";
      case state::kWaitEhloAck:
        return in_.ConsumeBool()
                   ? u"250-mail.example.com\r\n250-AUTH PLAIN LOGIN\r\n250 STARTTLS\r\n"
                   : u"250 mail.example.com\r\n";
      case state::kWaitStartTlsAck:
        return u"220 go ahead\r\n";
      case state::kWaitAuthAck:
        return in_.ConsumeBool() ? u"235 2.7.0 Authentication successful\r\n"
                                 : u"334 VXNlcm5hbWU6\r\n";
      default:
        return u"250 OK\r\n";
    }
  }

  qv::Variant Value() {
    switch (in_.ConsumeIntegralInRange(0, 8)) {
      case 0:
        return qv::Variant();
      case 1:
        return qv::Variant::Null();
      case 2:
        return qv::Variant(in_.ConsumeIntegral<Integer>());
      case 3:
        return qv::Variant(in_.ConsumeFloatingPoint<double>());
      case 4:
        return qv::Variant(qv::Date{in_.ConsumeFloatingPoint<double>()});
      case 5:
        return qv::Variant(in_.ConsumeBool());
      case 6:
        return qv::Variant(
            kBodies[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kBodies) - 1)]);
      default:
        return qv::Variant(Text(256));
    }
  }

  // Property writes as a host makes them; the refused ones throw.
  void WriteProperty() {
    const int which = in_.ConsumeIntegralInRange(0, 16);
    Trace("property write " + std::to_string(which));
    switch (which) {
      case 0:
        control_.put_RemoteHost(Text(32));
        break;
      case 1:
        control_.put_MailFrom(Text(64));
        break;
      case 2:
        control_.put_RcptTo(Text(128));
        break;
      case 3:
        control_.put_Body(Value());
        break;
      case 4:
        control_.put_BodyEvent(in_.ConsumeIntegralInRange<Integer>(-2, 5));
        break;
      case 5:
        control_.put_Subject(Text(64));
        break;
      case 6:
        control_.put_Priority(Text(16));
        break;
      case 7:
        control_.put_DateHeader(
            qv::Date{in_.ConsumeBool() ? in_.ConsumeFloatingPoint<double>()
                                       : in_.ConsumeFloatingPointInRange(-700000.0, 3000000.0)});
        break;
      case 8:
        control_.put_status(in_.ConsumeIntegral<Integer>());
        break;
      case 9:
        control_.put_Busy(in_.ConsumeBool() ? qv::kTrue : qv::kFalse);
        break;
      case 10:
        control_.put_StatusStr(Text(16));
        break;
      case 11:
        control_.put_XMailer(Text(16));
        break;
      case 12:
        control_.put_ContentType(Text(16));
        break;
      case 14:
        control_.put_Protocol(in_.ConsumeIntegralInRange<Integer>(-1, 4));
        break;
      case 15:
        control_.put_Port(in_.ConsumeIntegralInRange<qv::Long>(-1, 70000));
        break;
      case 16:
        control_.put_UserName(in_.ConsumeBool() ? u"ann" : u"");
        control_.put_Password(in_.ConsumeBool() ? String(kPassword) : String());
        break;
      default:
        host_.user_mode = in_.ConsumeBool() ? qv::kTrue : qv::kFalse;
        break;
    }
  }

  void MoveClock() {
    struct Report {
      Harness& h;
      ~Report() { h.Trace("clock " + std::to_string(h.clock_.SecondsSinceMidnight())); }
    } report{*this};
    switch (in_.ConsumeIntegralInRange(0, 4)) {
      case 0:  // a tick's worth or a little more
        clock_.Advance(in_.ConsumeFloatingPointInRange(0.0, 2.0));
        break;
      case 1:  // up to past the longest limit
        clock_.Advance(in_.ConsumeFloatingPointInRange(0.0, 70.0));
        break;
      case 2:  // back, as a corrected or daylight-saving clock goes
        clock_.Advance(-in_.ConsumeFloatingPointInRange(0.0, 7200.0));
        break;
      case 3:  // to just before midnight
        clock_.Advance(86400.0 - clock_.SecondsSinceMidnight() -
                       in_.ConsumeFloatingPointInRange(0.0, 15.0));
        break;
      default:
        clock_.Advance(in_.ConsumeFloatingPointInRange(-100000.0, 100000.0));
        break;
    }
  }

  // The control greets the server anew on every connect notification, so
  // the order of its writes starts again too.
  void Connected() {
    Deliver([&] {
      CatchUp();
      const Wire before = wire_;
      const int starts = starts_;
      wire_ = Wire::kNothing;
      // From the first byte, a socket tells of the connection once TLS stands.
      if (implicit_tls_) socket_.Secure();
      try {
        socket_.AcceptConnection();
      } catch (...) {
        // A handler's failure ended the notification before the control
        // moved to the greeting: its conversation goes on where it was.
        if (starts_ == starts &&
            qv::ControlInternals::Session(control_).SessionState() != state::kWaitGreeting) {
          wire_ = before;
        }
        throw;
      }
    });
  }

  void ServerText(String text) {
    Trace("server " + Show(text));
    Deliver([&] { socket_.ServerSends(text); });
  }

  void ReportError() {
    // An error while no send runs would complete a send nobody started.
    if (control_.get_Busy() != qv::kTrue) return;
    Trace("socket error");
    Deliver([&] { socket_.ReportError(10053, u"Connection is aborted due to timeout"); });
  }

  // The TLS handshake that STARTTLS began: done, failed, or a socket that
  // refuses to start it (text from before the handshake).
  void Handshake() {
    switch (in_.ConsumeIntegralInRange(0, 2)) {
      case 0:
        Trace("TLS handshake done");
        Deliver([&] { socket_.Secure(); });
        break;
      case 1:
        if (control_.get_Busy() != qv::kTrue) return;
        Trace("TLS handshake failed");
        Deliver([&] {
          socket_.ReportError(20002, u"The server's certificate is not trusted: self-signed");
        });
        break;
      default:
        socket_.FailStartTls(20007, "Text arrived before the TLS handshake");
        break;
    }
  }

  // One action of the script at the top level.
  void Step() {
    switch (in_.ConsumeIntegralInRange(0, 16)) {
      case 0:
      case 1:
        Deliver([&] {
          const int ticks = in_.ConsumeIntegralInRange(1, 4);
          Trace("tick x" + std::to_string(ticks) + " in state " +
                std::to_string(qv::ControlInternals::Session(control_).SessionState()));
          timer_.TickTimes(ticks);
        });
        break;
      case 2:
        ServerText(ReplyPiece());
        break;
      case 3:
        ServerText(ExpectedReply());
        break;
      case 4:
        ServerText(Text(64));
        break;
      case 5:
        Trace("connected");
        Connected();
        break;
      case 6:
        ReportError();
        break;
      case 7:
        MoveClock();
        break;
      case 8:
        HostSend();
        break;
      case 9:
        HostSendData(Value());
        break;
      case 10:
        WriteProperty();
        break;
      case 11: {
        const int nth = in_.ConsumeIntegralInRange(1, 12);
        Trace("write " + std::to_string(nth) + " from now fails");
        socket_.FailWrite(nth);
        break;
      }
      case 12:
        socket_.FailConnect(10049, "Address is not available from the local machine");
        break;
      case 13:
        if (in_.ConsumeBool()) {
          socket_.PeerCloses();
        } else {
          socket_.SetState(in_.ConsumeIntegralInRange<Integer>(0, 9));
        }
        break;
      case 14: {
        // Host names hold no line breaks.
        String name;
        for (char16_t c : Text(32)) {
          if (c != u'\r' && c != u'\n') name.push_back(c);
        }
        socket_.SetLocalHostName(name);
        break;
      }
      case 15:
        clock_.SetUtcOffsetMinutes(in_.ConsumeIntegralInRange(-24 * 60, 24 * 60));
        break;
      default:
        Handshake();
        break;
    }
  }

  // What a handler does. status: the SendComplete argument; tag: SendBody's.
  // A failure of the handler's own calls may pass out of it, as a host's
  // unhandled error would.
  void Act(Integer* status, Integer* tag) {
    if (depth_ > 4) return;
    switch (in_.ConsumeIntegralInRange(0, 11)) {
      case 0:
      case 1:
      case 2:
        return;
      case 3:
        HostSendData(Value());
        return;
      case 4:
        try {
          HostSendData(Value());
        } catch (const qv::AutomationError&) {
        }
        return;
      case 5:
        HostSend();
        return;
      case 6:
        if (status != nullptr) {
          *status = in_.ConsumeIntegral<Integer>();
          if (control_.get_Busy() == qv::kFalse) status_assigned_ = true;
        }
        if (tag != nullptr) *tag = in_.ConsumeIntegralInRange<Integer>(-2, 5);
        return;
      case 7:
        WriteProperty();
        return;
      case 8:
        MoveClock();
        return;
      case 9:  // the host's loop runs inside the handler
        Trace("tick");
        Deliver([&] { timer_.Tick(); });
        return;
      case 10:
        switch (in_.ConsumeIntegralInRange(0, 3)) {
          case 0:
            Trace("connected");
            Connected();
            return;
          case 1:
            ServerText(ExpectedReply());
            return;
          case 2:
            ServerText(ReplyPiece());
            return;
          default:
            ReportError();
            return;
        }
      default: {
        const int nth = in_.ConsumeIntegralInRange(1, 3);
        Trace("write " + std::to_string(nth) + " from now fails");
        socket_.FailWrite(nth);
        return;
      }
    }
  }

  FuzzedDataProvider& in_;
  qv::testing::FakeSocket socket_;
  qv::testing::ManualTimer timer_;
  qv::testing::ManualClock clock_;
  qv::testing::FakeHost host_;
  qv::qvSMTP control_;

  int starts_ = 0;
  int completions_ = 0;
  bool idle_ = true;  // between a completion and the next start
  bool status_assigned_ = false;
  bool delivering_ = false;
  int depth_ = 0;
  enum class Wire {
    kNothing,
    kEhlo,
    kStartTls,
    kAuth,
    kHelo,
    kMailFrom,
    kRcptTo,
    kData,
    kBlank,
    kBody,
    kEnd,
    kQuit
  };
  // The conversation of the running send, as it was when the send started.
  bool esmtp_ = false;
  bool tls_required_ = false;
  bool implicit_tls_ = false;
  Wire wire_ = Wire::kNothing;  // the control's last write in this send
  std::size_t header_ = 0;      // header lines written after DATA
  std::size_t seen_writes_ = 0;
  std::vector<bool> host_write_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Harness harness(in);
  harness.Run();
  return 0;
}
