// Starting and ending a conversation, the tick dispatch, the waiting steps and
// the socket notifications.
#include "mail/session.hpp"

#include <cmath>
#include <exception>

#include "mail/message_text.hpp"
#include "mail/recipient_list.hpp"
#include "mail/reply_code.hpp"
#include "qv/core/text.hpp"

namespace qv::mail {
namespace {

constexpr double kSecondsPerDay = 86400.0;
// RFC 5321 4.5.3.1.3: the longest reverse-path or forward-path.
constexpr std::size_t kPathOctets = 256;
constexpr Integer kSmtpPort = 25;
constexpr Integer kSubmissionsPort = 465;  // TLS from the first byte

// Limits of the waits, in seconds.
constexpr double kConnectLimit = 60.0;
constexpr double kGreetingLimit = 60.0;
constexpr double kReplyLimit = 10.0;
// The ESMTP conversations wait as long as a server may take by RFC 5321
// 4.5.3.2: a submission server scans the mail before it answers the end of
// the data, and a client that gives up first reports as failed mail that
// was queued, which a retry then sends twice.
constexpr double kEsmtpGreetingLimit = 300.0;
constexpr double kEsmtpCommandLimit = 300.0;  // MAIL, RCPT
constexpr double kEsmtpDataLimit = 120.0;     // DATA's go-ahead
constexpr double kEsmtpEndOfDataLimit = 600.0;

// The tick of the ESMTP conversations while no SendBody is wanted, in ms.
constexpr Long kEsmtpTickInterval = 1000;

// Reply codes the waits accept.
constexpr Integer kServiceReady = 220;
constexpr Integer kOk = 250;
constexpr Integer kStartMailInput = 354;
constexpr Integer kMailboxUnavailable = 550;

}  // namespace

Session::Session(Properties& properties, Socket& socket, Timer& timer, Clock& clock)
    : properties_(properties), socket_(socket), timer_(timer), clock_(clock) {
  socket_.SetEvents(this);
  timer_.SetEvents(this);
}

Session::~Session() {
  socket_.SetEvents(nullptr);
  timer_.SetEvents(nullptr);
}

Integer Session::Send() {
  if (properties_.Busy == kTrue) {
    // The running conversation goes on undisturbed; the handler's assignment
    // goes to a temporary.
    Integer refused = outcome::kInProgress;
    RaiseSendComplete(refused);
    return outcome::kInProgress;
  }
  if (socket_.State() > socket_state::kClosed) socket_.Close();
  for (const socket_setting::Cleared& setting : socket_setting::kClearedBeforeConnect) {
    socket_.WriteSetting(setting.id, socket_setting::ClearedValue(setting));
  }

  properties_.Busy = kTrue;
  properties_.status = outcome::kInProgress;
  reply_buffer_.clear();
  reply_tail_.Reset();
  awaiting_send_complete_ = false;
  pipelined_ = false;
  pending_recipients_ = properties_.RcptTo;
  protocol_ = properties_.Protocol >= protocol::kHelo && properties_.Protocol <= protocol::kLast
                  ? properties_.Protocol
                  : protocol::kHelo;
  capabilities_.clear();
  tls_.clear();
  MarkStateStart();
  session_state_ = session_state::kWaitConnect;
  const Generation started = ++generation_;

  // The ESMTP conversations step on arrival: their tick only keeps the time
  // limits, a minute at the shortest, so one a second keeps each to within a
  // second, for a twentieth of the wake-ups of a waiting control. SendBody
  // keeps its beat.
  const Long tick = Esmtp() && properties_.BodyEvent <= 0 ? kEsmtpTickInterval : kMailTimerInterval;
  if (timer_.Interval() != tick) timer_.SetInterval(tick);
  timer_.SetEnabled(true);
  try {
    RaiseDebugMessage(u"Connecting to " + properties_.RemoteHost);
  } catch (...) {
    EndAfterFailure(started);
    throw;
  }
  if (generation_ != started) return outcome::kSuccess;  // the handler's loop ended it
  if (const String too_long = OverlongAddress(); !too_long.empty()) {
    // No server takes it; a megabyte of sender would go out as one line.
    FinishSession(outcome::kSocketError, too_long);
    return outcome::kSuccess;
  }
  Long port = properties_.Port;
  if (port == 0) port = protocol_ == protocol::kImplicitTls ? kSubmissionsPort : kSmtpPort;
  port_ = port;
  if (protocol_ == protocol::kImplicitTls) {
    socket_.StartTls(TlsRequest{properties_.RemoteHost, properties_.CaFile});
  }
  // Ports above 32767 travel as the negative 16-bit number of the same bits.
  socket_.Connect(properties_.RemoteHost, static_cast<Integer>(static_cast<std::uint16_t>(port)));
  return outcome::kSuccess;
}

String Session::OverlongAddress() const {
  const auto check = [](const String& address) -> String {
    const std::size_t octets = ToUtf8(address).size() + 2;  // with its angle brackets
    if (octets <= kPathOctets) return {};
    return u"An address of " + FromUtf8(std::to_string(octets)) +
           u" octets with its angle brackets is longer than the 256 a server takes (RFC 5321 "
           u"4.5.3.1.3): " +
           address.substr(0, 64) + u"...; nothing was sent.";
  };
  String problem = check(WithoutControlCharacters(properties_.MailFrom));
  for (String pending = properties_.RcptTo; problem.empty() && !pending.empty();) {
    problem = check(EnvelopeAddress(CutNextRecipient(pending)));
  }
  return problem;
}

void Session::FinishSession(Integer code, String text) {
  if (socket_.State() > socket_state::kClosed) socket_.Close();
  properties_.Busy = kFalse;
  CompleteSend(code, std::move(text));
}

void Session::CompleteSend(Integer code, String text) {
  timer_.SetEnabled(false);
  properties_.status = code;
  properties_.StatusStr = std::move(text);
  ++generation_;
  RaiseSendComplete(properties_.status);
}

void Session::EndWithSocketError(String text) {
  socket_.Close();
  properties_.Busy = kFalse;
  CompleteSend(outcome::kSocketError, std::move(text));
}

void Session::OnTimer() {
  StepOnce();
  StepWhileReady();
}

void Session::StepWhileReady() {
  using namespace session_state;
  // Each pass runs one step; a step that leaves the state as it was waits on.
  while (Esmtp() && !in_step_ && properties_.Busy == kTrue) {
    bool ready = false;
    switch (session_state_) {
      case kSendEhlo:
      case kSendStartTls:
      case kSendAuth:
      case kSendHelo:
      case kSendMailFrom:
      case kSendRcptTo:
      case kSendDataCommand:
        ready = true;
        break;
      case kSendMessage:
        // The host writes its body from the tick, as it always has.
        ready = properties_.BodyEvent <= 0;
        break;
      default:
        ready = AwaitedReplyArrived();
        break;
    }
    if (!ready) return;
    const Generation generation = generation_;
    const Integer state = session_state_;
    StepOnce();
    if (generation_ != generation || session_state_ == state) return;
  }
}

void Session::StepOnce() {
  // A tick that arrives while a step runs (a handler stepped the host's loop)
  // would start the step again.
  if (in_step_) return;
  struct StepGuard {
    bool& flag;
    explicit StepGuard(bool& f) : flag(f) { flag = true; }
    ~StepGuard() { flag = false; }
  } guard(in_step_);

  const Generation generation = generation_;
  handler_failed_ = false;
  try {
    RunStep();
    return;
  } catch (...) {
    if (generation_ != generation) throw;  // raised after the ending: the host's own
    // A step that fails part-way ends the conversation as a socket error does;
    // what was already written stays written. A failure of the host's own
    // handler then goes on to the host.
    const bool from_handler = handler_failed_;
    EndAfterFailure(generation);
    if (from_handler) throw;
  }
}

void Session::EndAfterFailure(Generation generation) {
  if (generation_ != generation || properties_.Busy != kTrue) return;
  String failure = u"Unknown failure in the mail conversation";
  try {
    throw;
  } catch (const std::exception& e) {
    failure = FromUtf8(e.what());
  } catch (...) {
  }
  EndWithSocketError(std::move(failure));
}

void Session::RunStep() {
  using namespace session_state;
  switch (session_state_) {
    case kWaitConnect:
      WaitConnect();
      break;
    case kWaitGreeting:
      WaitForReply(kServiceReady, Esmtp() ? kSendEhlo : kSendHelo,
                   Limit(kGreetingLimit, kEsmtpGreetingLimit), u"Timeout waiting for remote hello.",
                   true);
      break;
    case kSendHelo:
      WriteHelo();
      break;
    case kWaitHeloAck:
      WaitForReply(kOk, kSendMailFrom, Limit(kReplyLimit, kEsmtpCommandLimit),
                   u"Timeout waiting for HELO ack.", true);
      break;
    case kSendMailFrom:
      WriteMailFrom();
      break;
    case kWaitFromAck:
    case kWaitRcptAck:
      WaitAddressAck(kSendRcptTo);
      break;
    case kSendRcptTo:
      WriteNextRecipient();
      break;
    case kSendDataCommand:
      WriteDataCommand();
      break;
    case kWaitDataAck:
      WaitForReply(kStartMailInput, kSendMessage, Limit(kReplyLimit, kEsmtpDataLimit),
                   u"Timeout waiting for DATA ack.", false);
      break;
    case kSendMessage:
      WriteMessage();
      break;
    case kWaitMessageAck:
      WaitMessageAck();
      break;
    default:
      if (const EsmtpStep* step = FindEsmtpStep(session_state_)) RunEsmtpStep(*step);
      break;  // Idle and numbers no step sets: nothing runs.
  }
}

double Session::Limit(double helo_limit, double esmtp_limit) const {
  return Esmtp() ? esmtp_limit : helo_limit;
}

bool Session::EndedByRefusal(Integer code) {
  if (!Esmtp() || code < 400 || code >= 600 || WholeReplySize(reply_buffer_) == 0) return false;
  QuitAndFinish(outcome::kAddressRefused, FrontReply());
  return true;
}

bool Session::TimedOut(double limit) {
  double elapsed = Now() - state_start_time_;
  // The seconds-of-day clock restarts at midnight; a wait is never half a day.
  if (elapsed < -kSecondsPerDay / 2) elapsed += kSecondsPerDay;
  return elapsed > limit;
}

void Session::WaitConnect() {
  if (!TimedOut(kConnectLimit)) return;
  const Generation generation = generation_;
  RaiseDebugMessage(u"Timeout waiting for remote connection.");
  if (generation_ != generation) return;
  FinishSession(outcome::kTimeout, u"Timeout waiting for connect.");
}

void Session::WaitForReply(Integer accepted, Integer next_state, double limit,
                           const char16_t* timeout_text, bool debug_after_finish) {
  const Integer code = ReplyCode(reply_buffer_);
  if (code == accepted) {
    AcceptReply(next_state);
    return;
  }
  if (EndedByRefusal(code)) return;
  if (!TimedOut(limit)) return;
  FinishSession(outcome::kTimeout, timeout_text);
  // These waits tell the host after the ending, so a SendComplete handler
  // that starts a new send has already done so when this message arrives.
  if (debug_after_finish) RaiseDebugMessage(timeout_text);
}

void Session::WaitAddressAck(Integer next_state) {
  const Integer code = ReplyCode(reply_buffer_);
  if (code == kOk) {
    AcceptReply(next_state);
    return;
  }
  // In the ESMTP conversations a refusal is shown whole, as every other is.
  if (code == kMailboxUnavailable && !(Esmtp() && WholeReplySize(reply_buffer_) == 0)) {
    QuitAndFinish(outcome::kAddressRefused, FrontReply());
    return;
  }
  if (EndedByRefusal(code)) return;
  if (TimedOut(Limit(kReplyLimit, kEsmtpCommandLimit)))
    FinishSession(outcome::kTimeout, u"Timeout waiting for addr ack.");
}

void Session::WaitMessageAck() {
  const Integer code = ReplyCode(reply_buffer_);
  if (code == kOk) {
    QuitAndFinish(outcome::kSuccess, u"Success");
    return;
  }
  if (EndedByRefusal(code)) return;
  // Still leaving: a slow link is not a silent server. A socket that stops
  // making progress reports an error of its own.
  if (awaiting_send_complete_) return;
  if (TimedOut(Limit(kReplyLimit, kEsmtpEndOfDataLimit))) {
    FinishSession(outcome::kTimeout, u"Timeout waiting for MESSAGE ack.");
  }
}

String Session::FrontReply() const {
  const std::size_t whole = pipelined_ ? WholeReplySize(reply_buffer_) : 0;
  return whole > 0 ? reply_buffer_.substr(0, whole) : reply_buffer_;
}

void Session::AcceptReply(Integer next_state) {
  session_state_ = next_state;
  if (pipelined_) {
    // The replies to commands written together arrive together: each wait
    // takes its own, and the next stays for the next wait.
    const std::size_t whole = WholeReplySize(reply_buffer_);
    if (whole > 0) {
      reply_buffer_.erase(0, whole);
      return;
    }
  }
  reply_tail_.Accepted(reply_buffer_);
  reply_buffer_.clear();
}

bool Session::AwaitedReplyArrived() const {
  using namespace session_state;
  const Integer code = ReplyCode(reply_buffer_);
  // In the ESMTP conversations every whole reply decides.
  if (Esmtp() && code >= 200 && code < 600 && WholeReplySize(reply_buffer_) > 0) return true;
  switch (session_state_) {
    case kWaitGreeting:
      return code == kServiceReady;
    case kWaitHeloAck:
    case kWaitMessageAck:
      return code == kOk;
    case kWaitFromAck:
    case kWaitRcptAck:
      return code == kOk || code == kMailboxUnavailable;
    case kWaitDataAck:
      return code == kStartMailInput;
    default:
      return false;
  }
}

void Session::OnConnect() {
  const Generation generation = generation_;
  try {
    OnConnected();
  } catch (...) {
    EndAfterFailure(generation);
    throw;
  }
}

void Session::OnConnected() {
  const Generation generation = generation_;
  if (protocol_ == protocol::kImplicitTls) {
    tls_ = socket_.TlsDescription();
    RaiseDebugMessage(u"TLS started: " + tls_);
    if (generation_ != generation) return;
  }
  RaiseDebugMessage(u"Connected, waiting for HELO");
  session_state_ = session_state::kWaitGreeting;
  // A conversation that starts again from the greeting waits for no reply
  // to what was pipelined before: DATA, above all, is written again.
  pipelined_ = false;
  MarkStateStart();
  if (generation_ == generation) StepWhileReady();
}

void Session::OnSecured() {
  if (session_state_ != session_state::kWaitTlsHandshake) return;
  const Generation generation = generation_;
  // What the server offered in the clear may have been a meddler's: the
  // server is asked again over the encrypted connection.
  capabilities_.clear();
  tls_ = socket_.TlsDescription();
  session_state_ = session_state::kSendEhlo;
  MarkStateStart();
  try {
    RaiseDebugMessage(u"TLS started: " + tls_);
  } catch (...) {
    EndAfterFailure(generation);
    throw;
  }
  if (generation_ == generation) StepWhileReady();
}

void Session::OnDataArrival(Long /*bytes_total*/) {
  const String text = socket_.GetData();
  const std::u16string_view fresh = reply_tail_.Drop(text);
  if (reply_buffer_.size() < kReplyBufferLimit) {
    reply_buffer_.append(fresh.substr(0, kReplyBufferLimit - reply_buffer_.size()));
  }
  StepWhileReady();
}

void Session::OnError(Long /*number*/, const String& description) {
  // A server may answer and drop the connection at once: the answer that
  // arrived first decides, as the next tick would have.
  if (properties_.Busy == kTrue && !in_step_ && AwaitedReplyArrived()) {
    const Generation generation = generation_;
    StepOnce();
    if (generation_ != generation) return;
  }
  EndWithSocketError(description);
}

void Session::OnSendComplete() {
  if (session_state_ != session_state::kWaitMessageAck || !awaiting_send_complete_) return;
  awaiting_send_complete_ = false;
  MarkStateStart();
  StepWhileReady();
}

void Session::RaiseDebugMessage(const String& text) {
  if (sink_ == nullptr) return;
  String msg = text;  // the handler gets a copy: its assignments are lost
  CallHandler([&] { sink_->DebugMessage(msg); });
}

void Session::RaiseSendComplete(Integer& status) {
  if (sink_ != nullptr) CallHandler([&] { sink_->SendComplete(status); });
}

void Session::RaiseSendBody() {
  // iTag is BodyEvent itself: what the handler assigns decides the body
  // source of later messages.
  if (sink_ != nullptr) CallHandler([&] { sink_->SendBody(properties_.BodyEvent); });
}

void Session::MarkStateStart() { state_start_time_ = static_cast<Long>(std::nearbyint(Now())); }

double Session::Now() { return clock_.SecondsSinceMidnight(); }

}  // namespace qv::mail
