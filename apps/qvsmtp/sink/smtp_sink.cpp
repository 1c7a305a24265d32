#include "sink/smtp_sink.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>
#include <utility>
#include <vector>

#include "qv/connection/host_name.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"
#include "qv/host/socket.hpp"
#include "qv/testing/smtp_sink_session.hpp"

namespace qvsmtp {

using qv::AutomationError;
using qv::testing::SinkObserver;
using qv::testing::SinkStore;
using qv::testing::SmtpSinkSession;
using qv::testing::StoredMessage;
using SteadyClock = std::chrono::steady_clock;

namespace {

[[noreturn]] void ThrowListenError(int err, const std::string& where) {
  switch (err) {
    case EADDRINUSE:
      throw AutomationError(qv::socket_error::kAddressInUse, "Address in use: " + where);
    case EADDRNOTAVAIL:
      throw AutomationError(qv::socket_error::kAddressNotAvailable,
                            "Address not available: " + where);
    case EACCES:
    case EPERM:
      throw AutomationError(qv::socket_error::kPermissionDenied, "Permission denied: " + where);
    case EAFNOSUPPORT:
      throw AutomationError(qv::socket_error::kAddressFamilyNotSupported,
                            "Address family not supported: " + where);
    default:
      throw AutomationError(static_cast<qv::Long>(err), std::strerror(err) + (": " + where));
  }
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
  SinkCore(qv::connection::Loop& loop, SinkStore& store, SinkObserver observer,
           SmtpSinkOptions options)
      : loop_(loop),
        store_(store),
        user_(std::move(observer)),
        options_(std::move(options)),
        server_name_(qv::ToUtf8(qv::connection::LocalHostName())) {
    counted_.stored = [this](const StoredMessage& message) {
      ++stored_;
      if (user_.stored) user_.stored(message);
    };
    counted_.failed = user_.failed;
  }
  ~SinkCore() { StopListening(); }
  SinkCore(const SinkCore&) = delete;
  SinkCore& operator=(const SinkCore&) = delete;

  // The port given, and with TLS from the first byte its own port on the
  // same address.
  void Listen() {
    listeners_.push_back(OpenListener(options_.port, false));
    if (options_.tls && options_.implicit_tls_port) {
      listeners_.push_back(OpenListener(*options_.implicit_tls_port, true));
    }
  }

  void Accept(std::size_t index);
  void AcceptAll() {
    for (std::size_t i = 0; i < listeners_.size(); ++i) Accept(i);
  }

  void StopListening() {
    retry_.reset();
    for (Listener& listener : listeners_) {
      listener.watch.reset();  // before the descriptor closes
      if (listener.fd >= 0) ::close(listener.fd);
      listener.fd = -1;
    }
  }

  void Shutdown();

  std::string Address() const {
    const sockaddr_storage& local = listeners_.front().local;
    char text[INET6_ADDRSTRLEN] = "";
    if (local.ss_family == AF_INET6) {
      ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(local).sin6_addr, text,
                  sizeof text);
    } else {
      ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(local).sin_addr, text,
                  sizeof text);
    }
    return text;
  }
  std::uint16_t Port(std::size_t index = 0) const {
    if (index >= listeners_.size()) return 0;
    // sin_port and sin6_port sit at the same place.
    return ntohs(reinterpret_cast<const sockaddr_in&>(listeners_[index].local).sin_port);
  }
  std::size_t OpenConnections() const { return connections_.size(); }
  std::uint64_t Stored() const { return stored_; }

 private:
  friend class SinkConnection;

  struct Listener {
    int fd = -1;
    std::unique_ptr<qv::connection::FdWatch> watch;
    sockaddr_storage local{};
    bool implicit_tls = false;
  };

  Listener OpenListener(std::uint16_t port, bool implicit_tls);
  void TakeConnections(std::size_t index);

  qv::connection::Loop& loop_;
  std::vector<Listener> listeners_;
  std::unique_ptr<qv::connection::LoopTimer> retry_;
  SinkStore& store_;
  SinkObserver user_;
  SinkObserver counted_;
  SmtpSinkOptions options_;
  std::string server_name_;
  std::unordered_set<SinkConnection*> connections_;
  std::uint64_t stored_ = 0;
};

// Owned by the loop's waits it has armed (each holds the connection); Close
// drops them, and with them the connection.
class SinkConnection : public std::enable_shared_from_this<SinkConnection> {
 public:
  SinkConnection(std::shared_ptr<SinkCore> core, int fd)
      : core_(std::move(core)),
        fd_(fd),
        watch_(core_->loop_.Watch(fd)),
        idle_(core_->loop_.MakeTimer()),
        session_(core_->server_name_, core_->store_, core_->counted_),
        buffer_(std::make_unique<char[]>(kBufferSize)) {
    core_->connections_.insert(this);
    session_.OfferStartTls(core_->options_.tls != nullptr);
    if (core_->options_.auth_check) session_.RequireAuth(core_->options_.auth_check);
  }

  ~SinkConnection() {
    core_->connections_.erase(this);
    watch_.reset();
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (!closed_) ::close(fd_);
  }

  void Start() { Write(session_.Greeting()); }

  // Answers and hangs up: the server has no room for another connection.
  void Refuse() {
    finishing_ = true;
    Write("421 4.3.2 " + core_->server_name_ + " Error: too many connections\r\n");
  }

  // TLS from here on: at once on the port of TLS from the first byte (the
  // greeting follows the handshake), or after the 220 to STARTTLS.
  void StartTls() {
    if (closed_) return;
    ssl_ = SSL_new(core_->options_.tls->context());
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) return TlsFailed(TakeTlsErrors());
    SSL_set_accept_state(ssl_);
    SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    handshaking_ = true;
    ArmIdle();
    Handshake();
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    const auto keep = shared_from_this();  // the waits dropped below own it
    session_.Abort();
    idle_->Cancel();
    watch_.reset();
    ::close(fd_);
  }

 private:
  static constexpr std::size_t kBufferSize = 64 * 1024;

  // What a read or a write of the connection came to: bytes moved, or the
  // readiness to wait for before trying again, or the end.
  enum class Io { kDone, kWaitRead, kWaitWrite, kEnded };
  struct Moved {
    Io io;
    std::size_t bytes = 0;
  };

  Moved Receive() {
    if (ssl_ == nullptr) {
      const ssize_t n = ::read(fd_, buffer_.get(), kBufferSize);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return {Io::kWaitRead};
      if (n <= 0) return {Io::kEnded};
      return {Io::kDone, static_cast<std::size_t>(n)};
    }
    ERR_clear_error();
    const int n = SSL_read(ssl_, buffer_.get(), static_cast<int>(kBufferSize));
    if (n > 0) return {Io::kDone, static_cast<std::size_t>(n)};
    return {TlsWait(n)};
  }

  Moved Send(std::string_view text) {
    if (ssl_ == nullptr) {
      const ssize_t n = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
      if (n > 0) return {Io::kDone, static_cast<std::size_t>(n)};
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return {Io::kWaitWrite};
      return {Io::kEnded};
    }
    ERR_clear_error();
    const int n = SSL_write(ssl_, text.data(),
                            static_cast<int>(std::min<std::size_t>(text.size(), kBufferSize)));
    if (n > 0) return {Io::kDone, static_cast<std::size_t>(n)};
    return {TlsWait(n)};
  }

  Io TlsWait(int result) {
    switch (SSL_get_error(ssl_, result)) {
      case SSL_ERROR_WANT_READ:
        return Io::kWaitRead;
      case SSL_ERROR_WANT_WRITE:
        return Io::kWaitWrite;
      default:
        return Io::kEnded;
    }
  }

  // Runs fn once the connection is ready for what io asks.
  void WaitFor(Io io, void (SinkConnection::*fn)()) {
    auto again = [self = shared_from_this(), fn] { ((*self).*fn)(); };
    if (io == Io::kWaitWrite) {
      watch_->WaitWritable(std::move(again));
    } else {
      watch_->WaitReadable(std::move(again));
    }
  }

  void Handshake() {
    if (closed_) return;
    ERR_clear_error();
    const int result = SSL_accept(ssl_);
    if (result == 1) {
      handshaking_ = false;
      idle_->Cancel();
      const bool implicit = !session_.StartTlsAccepted();
      session_.Secured();
      return implicit ? Start() : Read();
    }
    const Io io = TlsWait(result);
    if (io == Io::kEnded) {
      std::string reason = TakeTlsErrors();
      return TlsFailed(reason.empty() ? "the client closed the connection" : reason);
    }
    WaitFor(io, &SinkConnection::Handshake);
  }

  void TlsFailed(const std::string& reason) {
    if (core_->options_.tls_failed) core_->options_.tls_failed(reason);
    Close();
  }

  // Every read and every write is bounded by the idle limit.
  void ArmIdle() {
    idle_->Start(SteadyClock::now() + core_->options_.idle_limit,
                 [self = shared_from_this()] { self->IdleTimeout(); });
  }

  void Read() {
    if (closed_) return;
    ArmIdle();
    // Text OpenSSL has already taken off the socket makes it no more readable.
    if (ssl_ != nullptr && SSL_has_pending(ssl_) == 1) {
      core_->loop_.Post([self = shared_from_this()] { self->OnReadable(); });
      return;
    }
    watch_->WaitReadable([self = shared_from_this()] { self->OnReadable(); });
  }

  void OnReadable() {
    if (closed_) return;
    const Moved moved = Receive();
    if (moved.io == Io::kWaitRead) return Read();
    if (moved.io == Io::kWaitWrite) return WaitFor(moved.io, &SinkConnection::OnReadable);
    if (moved.io == Io::kEnded)
      return Close();  // the client left (a message in progress is dropped)
    idle_->Cancel();
    std::string replies;
    session_.Receive(std::string_view(buffer_.get(), moved.bytes), replies);
    if (!replies.empty()) return Write(std::move(replies));
    Read();
  }

  // Writes, then reads again: a client that sends without reading the
  // replies is held back by its own unread replies.
  void Write(std::string text) {
    if (closed_) return;
    outgoing_ = std::move(text);
    written_ = 0;
    writing_ = true;
    ArmIdle();
    Flush();
  }

  void Flush() {
    while (!closed_ && written_ < outgoing_.size()) {
      const Moved moved = Send(std::string_view(outgoing_).substr(written_));
      if (moved.io == Io::kDone) {
        written_ += moved.bytes;
      } else if (moved.io == Io::kEnded) {
        writing_ = false;
        return Close();
      } else {
        return WaitFor(moved.io, &SinkConnection::Flush);
      }
    }
    if (closed_) return;
    writing_ = false;
    idle_->Cancel();
    if (finishing_ || session_.Finished()) {
      if (ssl_ != nullptr) {
        ERR_clear_error();
        SSL_shutdown(ssl_);  // the close_notify, if the socket takes it now
      }
      ::shutdown(fd_, SHUT_WR);
      return Close();
    }
    // The 220 is out in the clear; whatever follows is the handshake.
    if (session_.StartTlsAccepted()) return StartTls();
    Read();
  }

  void IdleTimeout() {
    if (closed_) return;
    if (writing_ || handshaking_) return Close();  // the client reads nothing either
    finishing_ = true;
    session_.Abort();
    watch_->Cancel();  // the pending read ends; the reply below goes out
    Write("421 4.4.2 " + core_->server_name_ + " Error: timeout exceeded\r\n");
  }

  std::shared_ptr<SinkCore> core_;
  int fd_;
  std::unique_ptr<qv::connection::FdWatch> watch_;
  std::unique_ptr<qv::connection::LoopTimer> idle_;
  SmtpSinkSession session_;
  std::unique_ptr<char[]> buffer_;
  SSL* ssl_ = nullptr;
  std::string outgoing_;
  std::size_t written_ = 0;
  bool closed_ = false;
  bool writing_ = false;
  bool finishing_ = false;
  bool handshaking_ = false;
};

SinkCore::Listener SinkCore::OpenListener(std::uint16_t port, bool implicit_tls) {
  std::string name = options_.address;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  const std::string where = Endpoint(name, port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc == EAI_SYSTEM) ThrowListenError(errno, where);
  if (rc != 0 || found == nullptr) {
    throw AutomationError(qv::socket_error::kHostNotFound, "Host not found: " + where);
  }
  Listener listener;
  listener.implicit_tls = implicit_tls;
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int err = errno;
  if (fd >= 0) {
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    socklen_t length = sizeof listener.local;
    if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&listener.local), &length) != 0) {
      err = errno;
      ::close(fd);
    } else {
      listener.fd = fd;
    }
  }
  ::freeaddrinfo(found);
  if (listener.fd < 0) ThrowListenError(err, where);
  listener.watch = loop_.Watch(listener.fd);
  return listener;
}

void SinkCore::Accept(std::size_t index) {
  if (!listeners_[index].watch) return;
  // The wait holds the core only weakly: the sink's owner ends it.
  listeners_[index].watch->WaitReadable([weak = weak_from_this(), index] {
    if (auto self = weak.lock()) self->TakeConnections(index);
  });
}

void SinkCore::TakeConnections(std::size_t index) {
  const Listener& listener = listeners_[index];
  while (listener.watch) {
    const int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      // Out of descriptors and the like: try again shortly rather than spin.
      if (!retry_) retry_ = loop_.MakeTimer();
      retry_->Start(SteadyClock::now() + std::chrono::milliseconds(100), [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->AcceptAll();
      });
      return;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const bool full = connections_.size() >= options_.max_connections;
    auto connection = std::make_shared<SinkConnection>(shared_from_this(), fd);
    if (full && listener.implicit_tls) {
      connection->Close();  // a 421 in the clear would only break its handshake
    } else if (full) {
      connection->Refuse();
    } else if (listener.implicit_tls) {
      connection->StartTls();
    } else {
      connection->Start();
    }
  }
  Accept(index);
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

SmtpSink::SmtpSink(qv::connection::Loop& loop, SinkStore& store, SinkObserver observer,
                   SmtpSinkOptions options)
    : core_(std::make_shared<detail::SinkCore>(loop, store, std::move(observer),
                                               std::move(options))) {
  core_->Listen();
  core_->AcceptAll();
}

SmtpSink::~SmtpSink() { core_->Shutdown(); }

std::string SmtpSink::address() const { return core_->Address(); }
std::uint16_t SmtpSink::port() const { return core_->Port(); }
std::uint16_t SmtpSink::implicit_tls_port() const { return core_->Port(1); }
void SmtpSink::StopListening() { core_->StopListening(); }
std::size_t SmtpSink::OpenConnections() const { return core_->OpenConnections(); }
std::uint64_t SmtpSink::MessagesStored() const { return core_->Stored(); }

}  // namespace qvsmtp
