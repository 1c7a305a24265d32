#include "sink/smtp_sink.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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

  void Listen() {
    std::string name = options_.address;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
      name = name.substr(1, name.size() - 2);
    }
    const std::string where = Endpoint(name, options_.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc =
        ::getaddrinfo(name.c_str(), std::to_string(options_.port).c_str(), &hints, &found);
    if (rc == EAI_SYSTEM) ThrowListenError(errno, where);
    if (rc != 0 || found == nullptr) {
      throw AutomationError(qv::socket_error::kHostNotFound, "Host not found: " + where);
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int err = errno;
    if (fd >= 0) {
      const int one = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      socklen_t length = sizeof local_;
      if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0 ||
          ::getsockname(fd, reinterpret_cast<sockaddr*>(&local_), &length) != 0) {
        err = errno;
        ::close(fd);
      } else {
        listen_fd_ = fd;
      }
    }
    ::freeaddrinfo(found);
    if (listen_fd_ < 0) ThrowListenError(err, where);
    listening_ = loop_.Watch(listen_fd_);
  }

  void Accept();

  void StopListening() {
    listening_.reset();  // before the descriptor closes
    retry_.reset();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
  }

  void Shutdown();

  std::string Address() const {
    char text[INET6_ADDRSTRLEN] = "";
    if (local_.ss_family == AF_INET6) {
      ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(local_).sin6_addr, text,
                  sizeof text);
    } else {
      ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(local_).sin_addr, text,
                  sizeof text);
    }
    return text;
  }
  std::uint16_t Port() const {
    // sin_port and sin6_port sit at the same place.
    return ntohs(reinterpret_cast<const sockaddr_in&>(local_).sin_port);
  }
  std::size_t OpenConnections() const { return connections_.size(); }
  std::uint64_t Stored() const { return stored_; }

 private:
  friend class SinkConnection;

  void TakeConnections();

  qv::connection::Loop& loop_;
  int listen_fd_ = -1;
  std::unique_ptr<qv::connection::FdWatch> listening_;
  std::unique_ptr<qv::connection::LoopTimer> retry_;
  sockaddr_storage local_{};
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
  }

  ~SinkConnection() {
    core_->connections_.erase(this);
    watch_.reset();
    if (!closed_) ::close(fd_);
  }

  void Start() { Write(session_.Greeting()); }

  // Answers and hangs up: the server has no room for another connection.
  void Refuse() {
    finishing_ = true;
    Write("421 4.3.2 " + core_->server_name_ + " Error: too many connections\r\n");
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

  // Every read and every write is bounded by the idle limit.
  void ArmIdle() {
    idle_->Start(SteadyClock::now() + core_->options_.idle_limit,
                 [self = shared_from_this()] { self->IdleTimeout(); });
  }

  void Read() {
    if (closed_) return;
    ArmIdle();
    watch_->WaitReadable([self = shared_from_this()] { self->OnReadable(); });
  }

  void OnReadable() {
    if (closed_) return;
    const ssize_t n = ::read(fd_, buffer_.get(), kBufferSize);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return Read();
    if (n <= 0) return Close();  // the client left (a message in progress is dropped)
    idle_->Cancel();
    std::string replies;
    session_.Receive(std::string_view(buffer_.get(), static_cast<std::size_t>(n)), replies);
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
      const ssize_t n =
          ::send(fd_, outgoing_.data() + written_, outgoing_.size() - written_, MSG_NOSIGNAL);
      if (n > 0) {
        written_ += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno == EAGAIN) {
        watch_->WaitWritable([self = shared_from_this()] { self->Flush(); });
        return;
      } else {
        writing_ = false;
        return Close();
      }
    }
    if (closed_) return;
    writing_ = false;
    idle_->Cancel();
    if (finishing_ || session_.Finished()) {
      ::shutdown(fd_, SHUT_WR);
      return Close();
    }
    Read();
  }

  void IdleTimeout() {
    if (closed_) return;
    if (writing_) return Close();  // the client reads nothing either
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
  std::string outgoing_;
  std::size_t written_ = 0;
  bool closed_ = false;
  bool writing_ = false;
  bool finishing_ = false;
};

void SinkCore::Accept() {
  if (!listening_) return;
  // The wait holds the core only weakly: the sink's owner ends it.
  listening_->WaitReadable([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->TakeConnections();
  });
}

void SinkCore::TakeConnections() {
  while (listening_) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      // Out of descriptors and the like: try again shortly rather than spin.
      if (!retry_) retry_ = loop_.MakeTimer();
      retry_->Start(SteadyClock::now() + std::chrono::milliseconds(100), [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->Accept();
      });
      return;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const bool full = connections_.size() >= options_.max_connections;
    auto connection = std::make_shared<SinkConnection>(shared_from_this(), fd);
    if (full) {
      connection->Refuse();
    } else {
      connection->Start();
    }
  }
  Accept();
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
  core_->Accept();
}

SmtpSink::~SmtpSink() { core_->Shutdown(); }

std::string SmtpSink::address() const { return core_->Address(); }
std::uint16_t SmtpSink::port() const { return core_->Port(); }
void SmtpSink::StopListening() { core_->StopListening(); }
std::size_t SmtpSink::OpenConnections() const { return core_->OpenConnections(); }
std::uint64_t SmtpSink::MessagesStored() const { return core_->Stored(); }

}  // namespace qvsmtp
