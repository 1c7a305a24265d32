#include "qv/testing/smtp_sink_session.hpp"

#include <algorithm>
#include <cctype>
#include <exception>
#include <optional>
#include <utility>

namespace qv::testing {

namespace {

constexpr std::string_view kOk = "250 2.0.0 Ok\r\n";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// "FROM:<path> params" or "FROM: <path>" (or a bare address); false when the
// keyword or the path is missing.
bool ParsePath(std::string_view argument, std::string_view keyword, std::string& path) {
  if (!StartsWithNoCase(argument, keyword)) return false;
  argument = TrimSpaces(argument.substr(keyword.size()));
  if (argument.empty()) return false;
  if (argument.front() == '<') {
    const std::size_t close = argument.find('>');
    if (close == std::string_view::npos) return false;
    path.assign(argument.substr(1, close - 1));
    return true;
  }
  path.assign(argument.substr(0, argument.find(' ')));
  return true;
}

// A reply text may not carry line ends of its own.
std::string OneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return text;
}

// A response that carried credentials does not stay in freed memory.
void Wipe(std::string& text) {
  volatile char* p = text.data();
  for (std::size_t i = 0; i < text.size(); ++i) p[i] = '\0';
  text.clear();
}

// Strict base64 (RFC 4648, padded); nullopt for anything else.
std::optional<std::string> DecodeBase64(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=') : 0;
    int v[4] = {0, 0, 0, 0};
    for (int k = 0; k < 4 - pad; ++k) {
      v[k] = value(text[i + static_cast<std::size_t>(k)]);
      if (v[k] < 0) return std::nullopt;
    }
    const unsigned group = static_cast<unsigned>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
    out.push_back(static_cast<char>(group >> 16));
    if (pad < 2) out.push_back(static_cast<char>(group >> 8 & 0xFF));
    if (pad < 1) out.push_back(static_cast<char>(group & 0xFF));
  }
  return out;
}

constexpr std::string_view kUndecodable = "501 5.5.2 Error: cannot decode the response\r\n";

}  // namespace

SmtpSinkSession::SmtpSinkSession(std::string server_name, SinkStore& store,
                                 const SinkObserver& observer)
    : server_name_(std::move(server_name)), store_(store), observer_(observer) {}

std::string SmtpSinkSession::Greeting() const {
  return "220 " + server_name_ + " qvsmtp sink ready\r\n";
}

void SmtpSinkSession::Receive(std::string_view bytes, std::string& replies) {
  while (!bytes.empty() && !finished_ && !start_tls_accepted_) {
    if (in_data_) {
      bytes.remove_prefix(ReceiveData(bytes, replies));
      continue;
    }
    const std::size_t end = bytes.find('\n');
    const std::string_view part = bytes.substr(0, end);
    if (!line_too_long_) {
      if (line_.size() + part.size() >= kMaxCommandLine) {
        line_too_long_ = true;
        line_.clear();
      } else {
        line_.append(part);
      }
    }
    if (end == std::string_view::npos) return;
    bytes.remove_prefix(end + 1);
    // An AUTH command or response may carry credentials.
    const bool secret = auth_step_ != AuthStep::kNone || StartsWithNoCase(line_, "AUTH");
    if (line_too_long_) {
      auth_step_ = AuthStep::kNone;
      Wipe(auth_login_user_);
      replies += "500 5.5.6 Error: line too long\r\n";
    } else {
      std::string_view line = line_;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (auth_step_ != AuthStep::kNone) {
        AuthResponse(line, replies);
      } else {
        Command(line, replies);
      }
    }
    if (secret) Wipe(line_);
    line_.clear();
    line_too_long_ = false;
  }
}

void SmtpSinkSession::Command(std::string_view line, std::string& replies) {
  const std::size_t space = line.find(' ');
  const std::string_view verb = line.substr(0, space);
  const std::string_view argument =
      space == std::string_view::npos ? std::string_view() : TrimSpaces(line.substr(space + 1));
  auto is = [&verb](std::string_view name) {
    return verb.size() == name.size() && StartsWithNoCase(verb, name);
  };

  if (Scripted(verb, replies)) return;
  if (is("HELO") || is("EHLO")) {
    Hello(is("EHLO"), argument, replies);
  } else if (is("STARTTLS") && (start_tls_offered_ || secured_)) {
    StartTls(argument, replies);
  } else if (is("AUTH") && credential_check_) {
    Auth(argument, replies);
  } else if (is("MAIL")) {
    Mail(argument, replies);
  } else if (is("RCPT")) {
    Recipient(argument, replies);
  } else if (is("DATA")) {
    Data(argument, replies);
  } else if (is("RSET")) {
    Reset();
    replies += kOk;
  } else if (is("NOOP")) {
    replies += kOk;
  } else if (is("QUIT")) {
    Reset();
    finished_ = true;
    replies += "221 2.0.0 Bye\r\n";
  } else if (is("VRFY")) {
    replies += "252 2.0.0 Cannot VRFY user, but will accept message\r\n";
  } else if (is("HELP")) {
    replies += "214 2.0.0 Commands: HELO EHLO MAIL RCPT DATA RSET NOOP VRFY HELP QUIT\r\n";
  } else if (line.empty()) {
    replies += "500 5.5.2 Error: bad syntax\r\n";
  } else {
    replies += "502 5.5.2 Error: command not recognized\r\n";
  }
}

void SmtpSinkSession::Hello(bool extended, std::string_view argument, std::string& replies) {
  client_name_.assign(argument);
  Reset();
  if (!extended) {
    replies += "250 " + server_name_ + "\r\n";
    return;
  }
  // Pipelined commands and 8-bit text are taken as they come.
  std::vector<std::string_view> extensions{"PIPELINING", "8BITMIME"};
  if (AuthOffered()) extensions.push_back("AUTH PLAIN LOGIN");
  if (start_tls_offered_ && !secured_) extensions.push_back("STARTTLS");
  replies += "250-" + server_name_ + "\r\n";
  for (std::size_t i = 0; i < extensions.size(); ++i) {
    replies += i + 1 < extensions.size() ? "250-" : "250 ";
    replies.append(extensions[i]);
    replies += "\r\n";
  }
}

// As a submission server that takes passwords only over TLS: with STARTTLS
// on offer, AUTH waits for it.
bool SmtpSinkSession::AuthOffered() const {
  return credential_check_ && (secured_ || !start_tls_offered_);
}

void SmtpSinkSession::Auth(std::string_view argument, std::string& replies) {
  if (!AuthOffered()) {
    replies += "530 5.7.0 Must issue a STARTTLS command first\r\n";
    return;
  }
  if (!auth_user_.empty()) {
    replies += "503 5.5.1 Error: already authenticated\r\n";
    return;
  }
  if (have_sender_) {
    replies += "503 5.5.1 Error: MAIL transaction in progress\r\n";
    return;
  }
  const std::size_t space = argument.find(' ');
  const std::string_view mechanism = argument.substr(0, space);
  const std::optional<std::string_view> initial =
      space == std::string_view::npos ? std::nullopt
                                      : std::optional(TrimSpaces(argument.substr(space + 1)));
  auto is = [&mechanism](std::string_view name) {
    return mechanism.size() == name.size() && StartsWithNoCase(mechanism, name);
  };
  if (mechanism.empty()) {
    replies += "501 5.5.4 Syntax: AUTH mechanism\r\n";
  } else if (is("PLAIN")) {
    auth_step_ = AuthStep::kPlain;
    if (initial) return AuthResponse(*initial, replies);
    replies += "334 \r\n";
  } else if (is("LOGIN")) {
    auth_step_ = AuthStep::kLoginUser;
    if (initial) return AuthResponse(*initial, replies);
    replies += "334 VXNlcm5hbWU6\r\n";  // "Username:"
  } else {
    replies += "504 5.5.4 Error: unsupported authentication mechanism\r\n";
  }
}

void SmtpSinkSession::AuthResponse(std::string_view line, std::string& replies) {
  const AuthStep step = auth_step_;
  auth_step_ = AuthStep::kNone;
  if (line == "*") {
    Wipe(auth_login_user_);
    replies += "501 5.7.0 Error: authentication cancelled\r\n";
    return;
  }
  // "=" stands for an empty response.
  std::optional<std::string> decoded = line == "=" ? std::string() : DecodeBase64(line);
  if (!decoded) {
    Wipe(auth_login_user_);
    replies += kUndecodable;
    return;
  }
  std::string& text = *decoded;
  if (step == AuthStep::kLoginUser) {
    auth_login_user_ = std::move(text);
    auth_step_ = AuthStep::kLoginPassword;
    replies += "334 UGFzc3dvcmQ6\r\n";  // "Password:"
    return;
  }
  if (step == AuthStep::kLoginPassword) {
    AuthCheck(auth_login_user_, text, replies);
    Wipe(auth_login_user_);
    Wipe(text);
    return;
  }
  // PLAIN: an authorization identity (none, or the user's own), the user and
  // the password, apart by NULs.
  const std::size_t first = text.find('\0');
  const std::size_t second = first == std::string::npos ? first : text.find('\0', first + 1);
  if (second == std::string::npos || text.find('\0', second + 1) != std::string::npos) {
    replies += kUndecodable;
  } else {
    const std::string_view whole = text;
    const std::string_view authorization = whole.substr(0, first);
    const std::string_view user = whole.substr(first + 1, second - first - 1);
    if (!authorization.empty() && authorization != user) {
      replies += "535 5.7.8 Authentication credentials invalid\r\n";
    } else {
      AuthCheck(user, whole.substr(second + 1), replies);
    }
  }
  Wipe(text);
}

void SmtpSinkSession::AuthCheck(std::string_view user, std::string_view password,
                                std::string& replies) {
  if (user.empty() || !credential_check_(user, password)) {
    replies += "535 5.7.8 Authentication credentials invalid\r\n";
    return;
  }
  auth_user_.assign(user);
  replies += "235 2.7.0 Authentication successful\r\n";
}

void SmtpSinkSession::StartTls(std::string_view argument, std::string& replies) {
  if (secured_) {
    replies += "503 5.5.1 Error: TLS already active\r\n";
  } else if (!argument.empty()) {
    replies += "501 5.5.4 Syntax: STARTTLS\r\n";
  } else {
    start_tls_accepted_ = true;
    replies += "220 2.0.0 Ready to start TLS\r\n";
  }
}

void SmtpSinkSession::Secured() {
  secured_ = true;
  start_tls_accepted_ = false;
  line_.clear();
  line_too_long_ = false;
  // Nothing said in the clear carries over: the client greets again.
  client_name_.clear();
  auth_step_ = AuthStep::kNone;
  auth_user_.clear();
  Wipe(auth_login_user_);
  Reset();
}

void SmtpSinkSession::Mail(std::string_view argument, std::string& replies) {
  if (credential_check_ && auth_user_.empty()) {
    replies += "530 5.7.0 Authentication required\r\n";
    return;
  }
  if (have_sender_) {
    replies += "503 5.5.1 Error: nested MAIL command\r\n";
    return;
  }
  std::string path;
  if (!ParsePath(argument, "FROM:", path)) {
    replies += "501 5.5.4 Syntax: MAIL FROM:<address>\r\n";
    return;
  }
  have_sender_ = true;
  envelope_.mail_from = std::move(path);
  replies += "250 2.1.0 Ok\r\n";
}

void SmtpSinkSession::Recipient(std::string_view argument, std::string& replies) {
  if (!have_sender_) {
    replies += "503 5.5.1 Error: need MAIL command\r\n";
    return;
  }
  std::string path;
  if (!ParsePath(argument, "TO:", path)) {
    replies += "501 5.5.4 Syntax: RCPT TO:<address>\r\n";
    return;
  }
  if (envelope_.recipients.size() >= kMaxRecipients) {
    replies += "452 4.5.3 Error: too many recipients\r\n";
    return;
  }
  envelope_.recipients.push_back(std::move(path));
  replies += "250 2.1.5 Ok\r\n";
}

void SmtpSinkSession::Data(std::string_view argument, std::string& replies) {
  if (!argument.empty()) {
    replies += "501 5.5.4 Syntax: DATA\r\n";
    return;
  }
  if (!have_sender_) {
    replies += "503 5.5.1 Error: need MAIL command\r\n";
    return;
  }
  if (envelope_.recipients.empty()) {
    replies += "554 5.5.1 Error: no valid recipients\r\n";
    return;
  }
  try {
    message_ = store_.Begin(envelope_);
  } catch (const std::exception& e) {
    replies +=
        OneLine("451 4.3.0 Error: cannot store the message: " + std::string(e.what())) + "\r\n";
    if (observer_.failed) observer_.failed(envelope_, e.what());
    Reset();
    return;
  }
  in_data_ = true;
  store_failure_.clear();
  size_ = 0;
  line_start_ = true;
  dot_ = false;
  dot_cr_ = false;
  replies += "354 End data with <CR><LF>.<CR><LF>\r\n";
}

std::size_t SmtpSinkSession::ReceiveData(std::string_view bytes, std::string& replies) {
  std::string out;
  out.reserve(bytes.size());
  bool ended = false;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const char c = bytes[i];
    if (dot_cr_) {
      dot_cr_ = false;
      if (c == '\n') {
        ended = true;
        ++i;
        break;
      }
      out.push_back('\r');  // the dot was a doubled one; the CR is text
    } else if (dot_) {
      dot_ = false;
      if (c == '\r') {
        dot_cr_ = true;
        ++i;
        continue;
      }
      if (c == '\n') {  // a bare LF ends the data too, as many servers allow
        ended = true;
        ++i;
        break;
      }
      // Otherwise the leading dot was the doubled one: it goes; c is text.
    } else if (line_start_ && c == '.') {
      dot_ = true;
      line_start_ = false;
      ++i;
      continue;
    }
    // Copy up to and including the next line end in one go.
    const std::size_t end = bytes.find('\n', i);
    if (end == std::string_view::npos) {
      out.append(bytes.substr(i));
      line_start_ = false;
      i = bytes.size();
    } else {
      out.append(bytes.substr(i, end + 1 - i));
      line_start_ = true;
      i = end + 1;
    }
  }

  if (message_ && !out.empty()) {
    try {
      message_->Append(out);
      size_ += out.size();
    } catch (const std::exception& e) {
      store_failure_ = e.what();
      message_.reset();  // discards what was kept; the rest of the data is read and dropped
    }
  }
  if (ended) EndData(replies);
  return i;
}

void SmtpSinkSession::EndData(std::string& replies) {
  in_data_ = false;
  std::unique_ptr<SinkMessage> message = std::move(message_);
  if (Scripted(".", replies)) {
    message.reset();
    Reset();
    return;
  }
  if (message && store_failure_.empty()) {
    try {
      StoredMessage stored{envelope_, size_, message->Commit()};
      if (observer_.stored) observer_.stored(stored);
      replies += "250 2.0.0 Ok: message stored\r\n";
      Reset();
      return;
    } catch (const std::exception& e) {
      store_failure_ = e.what();
    }
  }
  if (store_failure_.empty()) store_failure_ = "the store took no message";
  replies += OneLine("451 4.3.0 Error: cannot store the message: " + store_failure_) + "\r\n";
  if (observer_.failed) observer_.failed(envelope_, store_failure_);
  Reset();
}

void SmtpSinkSession::ScriptReply(std::string_view verb, std::string reply, int nth) {
  std::string upper(verb);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  scripts_.push_back({std::move(upper), std::max(nth, 1), std::move(reply)});
}

bool SmtpSinkSession::Scripted(std::string_view verb, std::string& replies) {
  if (scripts_.empty()) return false;
  bool answered = false;
  for (auto script = scripts_.begin(); script != scripts_.end();) {
    const bool same = script->verb.size() == verb.size() && StartsWithNoCase(verb, script->verb);
    if (same && --script->remaining == 0) {
      replies += script->reply;
      answered = true;
      script = scripts_.erase(script);
    } else {
      ++script;
    }
  }
  return answered;
}

void SmtpSinkSession::Reset() {
  have_sender_ = false;
  envelope_ = SinkEnvelope{client_name_, {}, {}};
}

void SmtpSinkSession::Abort() {
  auth_step_ = AuthStep::kNone;
  Wipe(auth_login_user_);
  message_.reset();
  in_data_ = false;
  Reset();
}

}  // namespace qv::testing
