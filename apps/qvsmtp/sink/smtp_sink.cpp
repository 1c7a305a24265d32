#include "qv/runtime/smtp_sink.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <unordered_set>
#include <utility>

#include <asio/error.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "loop_access.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"
#include "qv/runtime/asio_socket.hpp"

namespace qv::runtime {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Maildir

namespace {

std::error_code LastError() { return std::error_code(errno, std::generic_category()); }

// The host part of a Maildir name may not hold "/" or ":".
std::string MaildirHostName() {
  std::string out;
  for (char c : ToUtf8(LocalHostName())) {
    if (c == '/') {
      out += "\\057";
    } else if (c == ':') {
      out += "\\072";
    } else {
      out += c;
    }
  }
  return out;
}

class MaildirMessage final : public SinkMessage {
 public:
  MaildirMessage(int fd, fs::path temp, fs::path target)
      : fd_(fd), temp_(std::move(temp)), target_(std::move(target)) {}

  ~MaildirMessage() override {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(temp_.c_str());
  }

  void Append(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throw fs::filesystem_error("cannot write the message", temp_, LastError());
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  std::string Commit() override {
    // The 250 hands over responsibility: the bytes must be on disk first.
    if (::fsync(fd_) != 0)
      throw fs::filesystem_error("cannot flush the message", temp_, LastError());
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0)
      throw fs::filesystem_error("cannot close the message", temp_, LastError());
    // link() refuses to replace an existing file, which rename() would do.
    if (::link(temp_.c_str(), target_.c_str()) != 0) {
      if (errno != EPERM && errno != ENOTSUP && errno != EXDEV) {
        throw fs::filesystem_error("cannot move the message into new/", temp_, target_,
                                   LastError());
      }
      if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        throw fs::filesystem_error("cannot move the message into new/", temp_, target_,
                                   LastError());
      }
    } else {
      ::unlink(temp_.c_str());
    }
    committed_ = true;
    return target_.string();
  }

 private:
  int fd_;
  fs::path temp_;
  fs::path target_;
  bool committed_ = false;
};

}  // namespace

MaildirStore::MaildirStore(fs::path dir) : dir_(std::move(dir)), host_(MaildirHostName()) {
  for (const char* sub : {"tmp", "new", "cur"}) fs::create_directories(dir_ / sub);
}

std::unique_ptr<SinkMessage> MaildirStore::Begin(const SinkEnvelope&) {
  const long long seconds = static_cast<long long>(std::time(nullptr));
  const long pid = static_cast<long>(::getpid());
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string name = std::to_string(seconds) + "." + std::to_string(pid) + "_" +
                             std::to_string(++sequence_) + "." + host_;
    fs::path temp = dir_ / "tmp" / name;
    fs::path target = dir_ / "new" / name;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      throw fs::filesystem_error("cannot create a message file", temp, LastError());
    }
    struct stat existing;
    if (::stat(target.c_str(), &existing) == 0) {  // left by an earlier process
      ::close(fd);
      ::unlink(temp.c_str());
      continue;
    }
    return std::make_unique<MaildirMessage>(fd, std::move(temp), std::move(target));
  }
  throw fs::filesystem_error("no unique message name is free", dir_ / "tmp",
                             std::make_error_code(std::errc::file_exists));
}

// ---------------------------------------------------------------------------
// The dialogue

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
  while (!bytes.empty() && !finished_) {
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

  if (is("HELO") || is("EHLO")) {
    client_name_.assign(argument);
    Reset();
    replies += "250 " + server_name_ + "\r\n";
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

void SmtpSinkSession::Reset() {
  have_sender_ = false;
  envelope_ = SinkEnvelope{client_name_, {}, {}};
}

void SmtpSinkSession::Abort() {
  message_.reset();
  in_data_ = false;
  Reset();
}

// ---------------------------------------------------------------------------
// The server on the loop

namespace {

using asio::ip::tcp;

[[noreturn]] void ThrowListenError(const std::error_code& ec, const std::string& where) {
  namespace e = asio::error;
  if (ec == e::address_in_use) throw AutomationError(10048, "Address in use: " + where);
  if (ec == std::errc::address_not_available) {
    throw AutomationError(10049, "Address not available: " + where);
  }
  if (ec == e::access_denied) throw AutomationError(10013, "Permission denied: " + where);
  if (ec == e::address_family_not_supported) {
    throw AutomationError(socket_error::kAddressFamilyNotSupported,
                          "Address family not supported: " + where);
  }
  if (ec == e::host_not_found || ec == e::host_not_found_try_again || ec == e::no_data) {
    throw AutomationError(socket_error::kHostNotFound, "Host not found: " + where);
  }
  throw AutomationError(static_cast<Long>(ec.value()), ec.message() + ": " + where);
}

std::string Endpoint(const std::string& address, std::uint16_t port) {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

}  // namespace

namespace detail {

class SinkConnection;

class SinkCore : public std::enable_shared_from_this<SinkCore> {
 public:
  SinkCore(asio::io_context& io, SinkStore& store, SinkObserver observer, SmtpSinkOptions options)
      : io_(io),
        acceptor_(io),
        retry_(io),
        store_(store),
        user_(std::move(observer)),
        options_(std::move(options)),
        server_name_(ToUtf8(LocalHostName())) {
    counted_.stored = [this](const StoredMessage& message) {
      ++stored_;
      if (user_.stored) user_.stored(message);
    };
    counted_.failed = user_.failed;
  }

  void Listen() {
    std::string name = options_.address;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
      name = name.substr(1, name.size() - 2);
    }
    const std::string where = Endpoint(name, options_.port);
    std::error_code ec;
    tcp::endpoint endpoint;
    const auto address = asio::ip::make_address(name, ec);
    if (!ec) {
      endpoint = tcp::endpoint(address, options_.port);
    } else {
      tcp::resolver resolver(io_);
      auto results = resolver.resolve(name, std::to_string(options_.port),
                                      tcp::resolver::numeric_service | tcp::resolver::passive, ec);
      if (ec) ThrowListenError(ec, where);
      if (results.empty()) ThrowListenError(asio::error::host_not_found, where);
      endpoint = results.begin()->endpoint();
    }
    acceptor_.open(endpoint.protocol(), ec);
    if (ec) ThrowListenError(ec, where);
    acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    acceptor_.bind(endpoint, ec);
    if (ec) ThrowListenError(ec, where);
    acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) ThrowListenError(ec, where);
    local_ = acceptor_.local_endpoint(ec);
    if (ec) ThrowListenError(ec, where);
  }

  void Accept();

  void StopListening() {
    std::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
  }

  void Shutdown();

  std::string Address() const { return local_.address().to_string(); }
  std::uint16_t Port() const { return local_.port(); }
  std::size_t OpenConnections() const { return connections_.size(); }
  std::uint64_t Stored() const { return stored_; }

 private:
  friend class SinkConnection;

  asio::io_context& io_;
  tcp::acceptor acceptor_;
  asio::steady_timer retry_;
  tcp::endpoint local_;
  SinkStore& store_;
  SinkObserver user_;
  SinkObserver counted_;
  SmtpSinkOptions options_;
  std::string server_name_;
  std::unordered_set<SinkConnection*> connections_;
  std::uint64_t stored_ = 0;
};

class SinkConnection : public std::enable_shared_from_this<SinkConnection> {
 public:
  SinkConnection(std::shared_ptr<SinkCore> core, tcp::socket socket)
      : core_(std::move(core)),
        socket_(std::move(socket)),
        idle_(core_->io_),
        session_(core_->server_name_, core_->store_, core_->counted_),
        buffer_(std::make_unique<char[]>(kBufferSize)) {
    core_->connections_.insert(this);
  }

  ~SinkConnection() { core_->connections_.erase(this); }

  void Start() { Write(session_.Greeting()); }

  // Answers and hangs up: the server has no room for another connection.
  void Refuse() {
    finishing_ = true;
    Write("421 4.3.2 " + core_->server_name_ + " Error: too many connections\r\n");
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    session_.Abort();
    idle_.cancel();
    std::error_code ignored;
    socket_.close(ignored);
  }

 private:
  static constexpr std::size_t kBufferSize = 64 * 1024;

  // Every read and every write is bounded by the idle limit.
  void ArmIdle() {
    idle_.expires_after(core_->options_.idle_limit);
    idle_.async_wait([self = shared_from_this()](const std::error_code& ec) {
      if (!ec) self->IdleTimeout();
    });
  }

  void Read() {
    if (closed_) return;
    ArmIdle();
    socket_.async_read_some(asio::buffer(buffer_.get(), kBufferSize),
                            [self = shared_from_this()](const std::error_code& ec, std::size_t n) {
                              self->OnRead(ec, n);
                            });
  }

  void OnRead(const std::error_code& ec, std::size_t n) {
    if (closed_ || ec == asio::error::operation_aborted) return;
    idle_.cancel();
    if (ec) return Close();  // the client left (a message in progress is dropped)
    std::string replies;
    session_.Receive(std::string_view(buffer_.get(), n), replies);
    if (!replies.empty()) return Write(std::move(replies));
    Read();
  }

  // Writes, then reads again: a client that sends without reading the
  // replies is held back by its own unread replies.
  void Write(std::string text) {
    if (closed_) return;
    outgoing_ = std::move(text);
    writing_ = true;
    ArmIdle();
    asio::async_write(socket_, asio::buffer(outgoing_),
                      [self = shared_from_this()](const std::error_code& ec, std::size_t) {
                        self->OnWritten(ec);
                      });
  }

  void OnWritten(const std::error_code& ec) {
    writing_ = false;
    if (closed_) return;
    idle_.cancel();
    if (ec) return Close();
    if (finishing_ || session_.Finished()) {
      std::error_code ignored;
      socket_.shutdown(tcp::socket::shutdown_send, ignored);
      return Close();
    }
    Read();
  }

  void IdleTimeout() {
    if (closed_) return;
    if (writing_) return Close();  // the client reads nothing either
    finishing_ = true;
    session_.Abort();
    std::error_code ignored;
    socket_.cancel(ignored);  // the pending read ends; the reply below goes out
    Write("421 4.4.2 " + core_->server_name_ + " Error: timeout exceeded\r\n");
  }

  std::shared_ptr<SinkCore> core_;
  tcp::socket socket_;
  asio::steady_timer idle_;
  SmtpSinkSession session_;
  std::unique_ptr<char[]> buffer_;
  std::string outgoing_;
  bool closed_ = false;
  bool writing_ = false;
  bool finishing_ = false;
};

void SinkCore::Accept() {
  if (!acceptor_.is_open()) return;
  acceptor_.async_accept(
      [self = shared_from_this()](const std::error_code& ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !self->acceptor_.is_open()) return;
        if (ec) {
          // Out of descriptors and the like: try again shortly rather than spin.
          self->retry_.expires_after(std::chrono::milliseconds(100));
          self->retry_.async_wait([self](const std::error_code& wait_ec) {
            if (!wait_ec) self->Accept();
          });
          return;
        }
        std::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        const bool full = self->connections_.size() >= self->options_.max_connections;
        auto connection = std::make_shared<SinkConnection>(self, std::move(socket));
        if (full) {
          connection->Refuse();
        } else {
          connection->Start();
        }
        self->Accept();
      });
}

void SinkCore::Shutdown() {
  StopListening();
  // Copied: closing may end a connection's life.
  std::vector<SinkConnection*> open(connections_.begin(), connections_.end());
  for (SinkConnection* connection : open) connection->Close();
  user_ = SinkObserver{};
  counted_.failed = nullptr;
}

}  // namespace detail

SmtpSink::SmtpSink(EventLoop& loop, SinkStore& store, SinkObserver observer,
                   SmtpSinkOptions options)
    : core_(std::make_shared<detail::SinkCore>(detail::LoopAccess::Context(loop), store,
                                               std::move(observer), std::move(options))) {
  core_->Listen();
  core_->Accept();
}

SmtpSink::~SmtpSink() { core_->Shutdown(); }

std::string SmtpSink::address() const { return core_->Address(); }
std::uint16_t SmtpSink::port() const { return core_->Port(); }
void SmtpSink::StopListening() { core_->StopListening(); }
std::size_t SmtpSink::OpenConnections() const { return core_->OpenConnections(); }
std::uint64_t SmtpSink::MessagesStored() const { return core_->Stored(); }

}  // namespace qv::runtime
