#include "qv/testing/smtp_sink_session.hpp"

#include <algorithm>
#include <cctype>
#include <exception>
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
    if (line_too_long_) {
      replies += "500 5.5.6 Error: line too long\r\n";
    } else {
      std::string_view line = line_;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      Command(line, replies);
    }
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
  replies += "250-" + server_name_ + "\r\n250-PIPELINING\r\n";
  replies +=
      start_tls_offered_ && !secured_ ? "250-8BITMIME\r\n250 STARTTLS\r\n" : "250 8BITMIME\r\n";
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
  Reset();
}

void SmtpSinkSession::Mail(std::string_view argument, std::string& replies) {
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
  message_.reset();
  in_data_ = false;
  Reset();
}

}  // namespace qv::testing
