#include "qv/connection/stream_transport.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "address_literal.hpp"
#include "socket_failure.hpp"

namespace qv::connection {

namespace {

struct Address {
  sockaddr_storage storage{};
  socklen_t size = 0;
};

// The resolver's way back to its transport: the thread posts only while the
// transport (and so its loop) is still there.
struct ResolveToken {
  std::mutex mutex;
  Loop* loop = nullptr;
};

// An address literal needs no lookup, so it is tried at once.
bool ParseLiteral(const std::string& host, std::uint16_t port, Address& out) {
  auto& v4 = reinterpret_cast<sockaddr_in&>(out.storage);
  if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    out.size = sizeof(sockaddr_in);
    return true;
  }
  auto& v6 = reinterpret_cast<sockaddr_in6&>(out.storage);
  if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    out.size = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

class StreamTransport final : public Transport {
 public:
  StreamTransport(Loop& loop, std::size_t read_buffer_size)
      : loop_(loop), read_buffer_size_(read_buffer_size) {}

  ~StreamTransport() override {
    if (resolve_) {
      std::lock_guard lock(resolve_->mutex);
      resolve_->loop = nullptr;
    }
    CloseSocket();
  }

  void SetEvents(TransportEvents* events) override { events_ = events; }

  void Connect(const std::string& host, std::uint16_t port) override {
    host_ = host;
    Address literal;
    if (ParseLiteral(host, port, literal)) {
      addresses_.push_back(literal);
      // Outcomes come from the loop, never inside the call.
      Post([this] { TryNext(); });
      return;
    }
    resolve_ = std::make_shared<ResolveToken>();
    resolve_->loop = &loop_;
    // The lookup runs on a thread of its own, where the loop cannot see it:
    // a wait kept armed meanwhile tells a loop run that work is under way.
    resolving_ = loop_.MakeTimer();
    resolving_->Start(loop_.Now() + std::chrono::hours(24), [] {});
    auto token = resolve_;
    auto* self = this;
    try {
      // getaddrinfo blocks; the loop must not. Detached: a slow name service
      // must not hold up the program's end.
      std::thread([token, self, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const int code = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
        const int system_error = errno;
        std::vector<Address> addresses;
        for (const addrinfo* a = found; code == 0 && a != nullptr; a = a->ai_next) {
          if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
          Address address;
          std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
          address.size = static_cast<socklen_t>(a->ai_addrlen);
          addresses.push_back(address);
        }
        if (found != nullptr) ::freeaddrinfo(found);
        std::lock_guard lock(token->mutex);
        if (token->loop == nullptr) return;
        token->loop->Post([token, self, code, system_error, addresses = std::move(addresses)] {
          // On the loop's thread: the transport is there as long as the token
          // still names the loop.
          if (token->loop == nullptr) return;
          self->Resolved(code, system_error, addresses);
        });
      }).detach();
    } catch (const std::system_error& e) {
      Post([this, code = e.code().value()] { Fail(SystemFailure(code)); });
    }
  }

  std::size_t Write(std::span<const std::string_view> pieces) override {
    if (fd_ < 0 || !connected_) return 0;
    std::array<iovec, 16> parts{};
    std::size_t count = 0;
    std::size_t total = 0;
    for (const std::string_view piece : pieces) {
      if (count == parts.size()) break;
      parts[count++] = {const_cast<char*>(piece.data()), piece.size()};
      total += piece.size();
    }
    msghdr message{};
    message.msg_iov = parts.data();
    message.msg_iovlen = count;
    const ssize_t sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        const int error = errno;
        Post([this, error] { Fail(SystemFailure(error)); });
        return 0;
      }
    }
    const std::size_t taken = sent < 0 ? 0 : static_cast<std::size_t>(sent);
    if (taken < total) {
      watch_->WaitWritable([this] {
        if (events_) events_->OnTransportWritable();
      });
    }
    return taken;
  }

  void SetReading(bool reading) override {
    reading_ = reading;
    if (reading) ArmRead();
  }

  long Unacknowledged() override {
    int count = 0;
    if (fd_ < 0 || ::ioctl(fd_, SIOCOUTQ, &count) != 0) return -1;
    return count;
  }

  std::string LocalAddressLiteral() override {
    if (fd_ < 0 || !connected_) return {};
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) != 0) return {};
    return AddressLiteral(local);
  }

  void ShutdownSend() override {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
  }

 private:
  void Post(std::function<void()> fn) {
    // Dropped once the transport is gone.
    loop_.Post([alive = std::weak_ptr<bool>(alive_), fn = std::move(fn)] {
      if (!alive.expired()) fn();
    });
  }

  void Resolved(int code, int system_error, const std::vector<Address>& addresses) {
    resolve_.reset();
    resolving_.reset();
    if (code != 0) return Fail(ResolverFailure(code, system_error, host_));
    if (addresses.empty()) return Fail(ResolverFailure(EAI_NONAME, 0, host_));
    addresses_ = addresses;
    if (events_) events_->OnTransportResolved();
    TryNext();
  }

  // Tries each address in turn; the last one's failure is reported.
  void TryNext() {
    while (next_ < addresses_.size()) {
      const Address& address = addresses_[next_++];
      CloseSocket();
      fd_ = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd_ < 0) {
        last_error_ = errno;
        continue;
      }
      const int one = 1;
      ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      watch_ = loop_.Watch(fd_);
      if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address.storage), address.size) == 0) {
        return OnConnected();
      }
      if (errno == EINPROGRESS) {
        watch_->WaitWritable([this] { ConnectDone(); });
        return;
      }
      last_error_ = errno;
    }
    CloseSocket();
    Fail(SystemFailure(last_error_ != 0 ? last_error_ : ECONNREFUSED));
  }

  void ConnectDone() {
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error != 0) {
      last_error_ = error;
      return TryNext();
    }
    OnConnected();
  }

  void OnConnected() {
    connected_ = true;
    buffer_ = std::make_unique_for_overwrite<char[]>(read_buffer_size_);
    ArmRead();
    if (events_) events_->OnTransportConnected();
  }

  void ArmRead() {
    if (!connected_ || eof_ || read_armed_ || !reading_ || fd_ < 0) return;
    read_armed_ = true;
    watch_->WaitReadable([this] {
      read_armed_ = false;
      Read();
    });
  }

  void Read() {
    if (fd_ < 0 || !reading_) return;
    const ssize_t n = ::recv(fd_, buffer_.get(), read_buffer_size_, MSG_DONTWAIT);
    if (n > 0) {
      ArmRead();  // before the notification, whose handler may throw
      if (events_) events_->OnTransportReceived({buffer_.get(), static_cast<std::size_t>(n)});
      return;
    }
    if (n == 0) {
      eof_ = true;
      if (events_) events_->OnTransportPeerClosed();
      return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ArmRead();
    Fail(SystemFailure(errno));
  }

  void Fail(const SocketFailure& failure) {
    if (failed_) return;
    failed_ = true;
    CloseSocket();
    if (events_) events_->OnTransportFailed(failure.number, failure.description);
  }

  void CloseSocket() {
    watch_.reset();
    read_armed_ = false;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  Loop& loop_;
  const std::size_t read_buffer_size_;
  TransportEvents* events_ = nullptr;
  std::string host_;
  std::vector<Address> addresses_;
  std::size_t next_ = 0;
  int last_error_ = 0;
  std::shared_ptr<ResolveToken> resolve_;
  std::unique_ptr<LoopTimer> resolving_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  int fd_ = -1;
  std::unique_ptr<FdWatch> watch_;
  std::unique_ptr<char[]> buffer_;
  bool connected_ = false;
  bool reading_ = true;
  bool read_armed_ = false;
  bool eof_ = false;
  bool failed_ = false;
};

}  // namespace

std::unique_ptr<Transport> MakeStreamTransport(Loop& loop, std::size_t read_buffer_size) {
  return std::make_unique<StreamTransport>(loop, read_buffer_size);
}

}  // namespace qv::connection
