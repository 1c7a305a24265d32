// The steps only the ESMTP conversations take: EHLO with the server's
// capabilities, and STARTTLS with its handshake. Each step is a row of one
// table (what it announces and writes, or the reply it waits for, what then
// runs, its limit and its time-out text), so a new step is a new row and,
// where it decides something, one function.
#include <algorithm>

#include "mail/auth.hpp"
#include "mail/reply_code.hpp"
#include "mail/secret.hpp"
#include "mail/session.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"

namespace qv::mail {

struct Session::EsmtpStep {
  Integer state;
  // A sending step announces itself, writes its command line (EHLO with the
  // HELO name after it) and goes on to its wait.
  std::u16string_view announce;
  std::u16string_view command;
  Integer wait_state;
  // A waiting step: the code it accepts and what then runs; a whole 4xx or
  // 5xx reply runs on_refused. Without an accepted code the step waits for a
  // socket notification that moves it on.
  Integer accepted;
  // False while the accepted reply has yet to arrive whole: the wait goes on,
  // bounded by its limit.
  bool (Session::*on_accepted)();
  void (Session::*on_refused)(Integer code);
  double limit;  // seconds
  std::u16string_view timeout_text;
  // A reply that asks for more (334 to AUTH) runs on_challenge.
  Integer challenge = 0;
  bool (Session::*on_challenge)() = nullptr;
  // A step that works out its own command runs this instead.
  void (Session::*run)() = nullptr;
};

namespace {

using namespace session_state;
constexpr Integer kOk = 250;
constexpr Integer kServiceReady = 220;
constexpr Integer kAuthenticated = 235;
constexpr Integer kAuthChallenge = 334;

// A server on this machine, by the name or address the user gave.
bool IsLoopback(std::u16string_view host) {
  if (host.size() > 2 && host.front() == u'[' && host.back() == u']') {
    host = host.substr(1, host.size() - 2);
  }
  return host == u"localhost" || host == u"::1" || host.rfind(u"127.", 0) == 0;
}

// Keyword in capitals, then its parameters as the server wrote them, for
// every line after the first of a whole EHLO reply.
std::vector<String> ParseCapabilities(std::u16string_view reply) {
  std::vector<String> capabilities;
  std::size_t start = reply.find(u'\n');
  while (start != std::u16string_view::npos && start + 1 < reply.size()) {
    const std::size_t begin = start + 1;
    std::size_t end = reply.find(u'\n', begin);
    std::u16string_view line = reply.substr(
        begin, end == std::u16string_view::npos ? std::u16string_view::npos : end - begin);
    if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
    if (line.size() > 4) {
      String entry(line.substr(4));
      const std::size_t keyword_end = std::min(entry.find(u' '), entry.size());
      std::transform(
          entry.begin(), entry.begin() + static_cast<std::ptrdiff_t>(keyword_end), entry.begin(),
          [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; });
      capabilities.push_back(std::move(entry));
    }
    start = end;
  }
  return capabilities;
}

}  // namespace

namespace {

// The kinds of row.
Session::EsmtpStep Command(Integer state, std::u16string_view announce, std::u16string_view command,
                           Integer wait_state) {
  Session::EsmtpStep step{};
  step.state = state;
  step.announce = announce;
  step.command = command;
  step.wait_state = wait_state;
  return step;
}

Session::EsmtpStep Wait(Integer state, Integer accepted, bool (Session::*on_accepted)(),
                        void (Session::*on_refused)(Integer), double limit,
                        std::u16string_view timeout_text) {
  Session::EsmtpStep step{};
  step.state = state;
  step.accepted = accepted;
  step.on_accepted = on_accepted;
  step.on_refused = on_refused;
  step.limit = limit;
  step.timeout_text = timeout_text;
  return step;
}

Session::EsmtpStep Challenged(Session::EsmtpStep step, Integer challenge,
                              bool (Session::*on_challenge)()) {
  step.challenge = challenge;
  step.on_challenge = on_challenge;
  return step;
}

Session::EsmtpStep Computed(Integer state, void (Session::*run)()) {
  Session::EsmtpStep step{};
  step.state = state;
  step.run = run;
  return step;
}

}  // namespace

const Session::EsmtpStep* Session::FindEsmtpStep(Integer state) {
  // RFC 5321 4.5.3.2 gives no limit for EHLO or STARTTLS: they wait as MAIL
  // does. The handshake is a few round trips: a minute is ample.
  static const EsmtpStep kSteps[] = {
      Command(kSendEhlo, u"Sending EHLO", u"EHLO", kWaitEhloAck),
      Wait(kWaitEhloAck, kOk, &Session::OnEhloAccepted, &Session::OnEhloRefused, 300.0,
           u"Timeout waiting for EHLO ack."),
      Command(kSendStartTls, u"Sending STARTTLS", u"STARTTLS", kWaitStartTlsAck),
      Wait(kWaitStartTlsAck, kServiceReady, &Session::OnStartTlsAccepted,
           &Session::OnStartTlsRefused, 300.0, u"Timeout waiting for STARTTLS ack."),
      // Moved on by the socket's OnSecured.
      Wait(kWaitTlsHandshake, 0, nullptr, nullptr, 60.0, u"Timeout waiting for TLS handshake."),
      Computed(kSendAuth, &Session::WriteAuth),
      Challenged(Wait(kWaitAuthAck, kAuthenticated, &Session::OnAuthAccepted,
                      &Session::OnAuthRefused, 300.0, u"Timeout waiting for AUTH ack."),
                 kAuthChallenge, &Session::OnAuthChallenge),
  };
  for (const EsmtpStep& step : kSteps) {
    if (step.state == state) return &step;
  }
  return nullptr;
}

void Session::RunEsmtpStep(const EsmtpStep& step) {
  if (step.run != nullptr) return (this->*step.run)();
  if (!step.announce.empty()) {
    const Generation generation = generation_;
    RaiseDebugMessage(String(step.announce));
    if (generation_ != generation) return;
    String line(step.command);
    if (step.state == kSendEhlo) {
      // The name is read at the moment of the step, as for HELO.
      line += u" " + ToText(socket_.ReadSetting(socket_setting::kLocalHostName));
    }
    socket_.SendData(line + u"\r\n");
    session_state_ = step.wait_state;
    MarkStateStart();
    return;
  }
  if (step.accepted != 0) {
    const Integer code = ReplyCode(reply_buffer_);
    if (code == step.accepted && (this->*step.on_accepted)()) return;
    if (code == step.challenge && step.challenge != 0 && (this->*step.on_challenge)()) return;
    if (code >= 400 && code < 600 && WholeReplySize(reply_buffer_) > 0) {
      return (this->*step.on_refused)(code);
    }
  }
  if (!TimedOut(step.limit)) return;
  const String text(step.timeout_text);
  FinishSession(outcome::kTimeout, text);
  RaiseDebugMessage(text);
}

bool Session::Offers(std::u16string_view keyword) const {
  return std::any_of(capabilities_.begin(), capabilities_.end(), [keyword](const String& entry) {
    return entry.compare(0, entry.find(u' '), keyword) == 0;
  });
}

bool Session::OnEhloAccepted() {
  const std::size_t whole = WholeReplySize(reply_buffer_);
  if (whole == 0) return false;  // a single line's code is read before its end
  capabilities_ = ParseCapabilities(std::u16string_view(reply_buffer_).substr(0, whole));
  if (!TlsRequired() || !tls_.empty()) {
    AcceptReply(HasCredentials() ? kSendAuth : kSendMailFrom);
  } else if (!Offers(u"STARTTLS")) {
    EndWithoutTls(
        u"TLS is required, and the server does not offer STARTTLS: nothing more was sent.");
  } else {
    AcceptReply(kSendStartTls);
  }
  return true;
}

void Session::OnEhloRefused(Integer code) {
  if (TlsRequired()) {
    return EndWithoutTls(u"TLS is required, and the server refused EHLO: " + reply_buffer_);
  }
  if (code < 500) return (void)EndedByRefusal(code);
  // A server of the original protocol only: the original conversation.
  const String reply = reply_buffer_;
  AcceptReply(kSendHelo);
  RaiseDebugMessage(u"EHLO refused, falling back to HELO: " + reply);
}

bool Session::OnStartTlsAccepted() {
  const std::size_t whole = WholeReplySize(reply_buffer_);
  if (whole == 0) return false;  // the handshake starts right after the line end
  // RFC 3207: nothing may follow the go-ahead in the clear. What did was put
  // there on the path, to be read as the server's answers after the handshake.
  if (reply_buffer_.size() > whole) {
    EndWithoutTls(
        u"Text arrived after the server's go-ahead to STARTTLS and before the TLS handshake: "
        u"something on the path added it, so nothing more was sent.");
    return true;
  }
  AcceptReply(kWaitTlsHandshake);
  MarkStateStart();
  try {
    socket_.StartTls(TlsRequest{properties_.RemoteHost, properties_.CaFile});
  } catch (const AutomationError& error) {
    EndWithoutTls(FromUtf8(error.what()));
    return true;
  }
  RaiseDebugMessage(u"Starting TLS handshake");
  return true;
}

void Session::OnStartTlsRefused(Integer /*code*/) {
  EndWithoutTls(u"TLS is required, and the server refused STARTTLS: " + reply_buffer_);
}

bool Session::HasCredentials() const {
  return !properties_.UserName.empty() &&
         !(properties_.Password.Empty() && properties_.OAuthToken.Empty());
}

void Session::WriteAuth() {
  const std::vector<String> offered = OfferedMechanisms(capabilities_);
  const auto list = [&offered] {
    String names;
    for (const String& name : offered) names += (names.empty() ? u"" : u" ") + name;
    return names;
  };
  if (offered.empty()) {
    return QuitAndFinish(outcome::kSocketError,
                         u"A user name and secret were given, and the server does not offer AUTH: "
                         u"nothing of them was sent.");
  }
  // RFC 4954 section 4: a secret in the clear is anyone's on the path.
  if (tls_.empty() &&
      !(properties_.AuthInTheClear == kTrue && IsLoopback(properties_.RemoteHost))) {
    return QuitAndFinish(outcome::kSocketError,
                         u"Credentials are sent only over TLS, and this connection has none: "
                         u"nothing of them was sent. Choose STARTTLS or TLS from the first byte.");
  }
  const std::optional<AuthMechanism> forced =
      properties_.AuthMechanism.empty() ? std::nullopt : ParseMechanism(properties_.AuthMechanism);
  const std::optional<AuthMechanism> chosen =
      ChooseMechanism(forced, offered, !properties_.OAuthToken.Empty());
  if (!chosen) {
    return QuitAndFinish(
        outcome::kSocketError,
        (forced ? u"The server does not offer AUTH " + String(MechanismName(*forced))
                : String(u"The server offers no AUTH mechanism for these credentials")) +
            u" (it offers " + list() + u"): nothing of them was sent.");
  }
  auth_mechanism_ = *chosen;
  auth_step_ = 0;
  const Generation generation = generation_;
  RaiseDebugMessage(u"Sending AUTH " + String(MechanismName(auth_mechanism_)));
  if (generation_ != generation) return;
  WriteAuthLine();
  session_state_ = kWaitAuthAck;
  MarkStateStart();
}

void Session::WriteAuthLine() {
  const bool token =
      auth_mechanism_ == AuthMechanism::kXoauth2 || auth_mechanism_ == AuthMechanism::kOauthBearer;
  const AuthCredentials credentials{
      properties_.UserName, token ? properties_.OAuthToken.View() : properties_.Password.View(),
      properties_.RemoteHost, port_};
  std::optional<String> line = AuthLine(auth_mechanism_, auth_step_, credentials);
  if (!line) {
    // A challenge this mechanism does not expect: cancel (RFC 4954), and
    // the server's refusal ends the send.
    socket_.SendData(u"*\r\n");
    return;
  }
  *line += u"\r\n";
  socket_.SendSecret(*line, ShownAuthLine(auth_mechanism_, auth_step_));
  Cleanse(*line);
}

bool Session::OnAuthAccepted() {
  AcceptReply(kSendMailFrom);
  return true;
}

bool Session::OnAuthChallenge() {
  // The challenge is read whole: what follows it would answer the next line.
  if (WholeReplySize(reply_buffer_) == 0) return false;
  AcceptReply(kWaitAuthAck);
  MarkStateStart();
  ++auth_step_;
  WriteAuthLine();
  return true;
}

void Session::OnAuthRefused(Integer /*code*/) {
  QuitAndFinish(outcome::kAddressRefused, reply_buffer_);
}

void Session::EndWithoutTls(String text) { FinishSession(outcome::kSocketError, std::move(text)); }

}  // namespace qv::mail
