// Loopback peers for the runtime's tests: a listener on 127.0.0.1 or ::1 (port
// chosen by the system) whose connections are played by scripts on threads of
// their own, with plain blocking sockets and bounded waits.
#pragma once

#include "support/loopback_port.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qv::runtime::test_support {

using namespace std::chrono_literals;

// One accepted connection, seen from the server's side.
class Peer {
 public:
  explicit Peer(int fd) : fd_(fd) {
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Peer() { Close(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Writes all of bytes; false when the client has gone.
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // Reads until marker arrives after what earlier calls consumed; false on
  // time-out or the client's end.
  bool ReadUntil(std::string_view marker, std::chrono::milliseconds limit = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // Each byte is searched once, not once per piece read: megabytes arrive.
    std::size_t from = consumed_;
    while (true) {
      const auto at = received_.find(marker, from);
      if (at != std::string::npos) {
        consumed_ = at + marker.size();
        return true;
      }
      from = std::max(from, received_.size() - std::min(received_.size(), marker.size() - 1));
      if (!ReadSome(deadline)) return false;
    }
  }

  // The next line without its CR LF; empty when none came in time.
  std::optional<std::string> ReadLine(std::chrono::milliseconds limit = 3s) {
    const std::size_t from = consumed_;
    if (!ReadUntil("\r\n", limit)) return std::nullopt;
    return received_.substr(from, consumed_ - from - 2);
  }

  // Reads until the client ends the connection; true when it did in time.
  bool ReadToEnd(std::chrono::milliseconds limit = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (ReadSome(deadline)) {
    }
    return ended_;
  }

  // Ends the connection with a reset instead of an orderly close.
  void Reset() {
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
  }

  // Ends the server's side in order and reads no more (a peer shutting down).
  void HalfClose() { ::shutdown(fd_, SHUT_WR); }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Everything the client sent so far, and whether it has ended.
  const std::string& received() const { return received_; }
  bool ended() const { return ended_; }
  // Bytes received after the last marker found.
  std::string_view Unconsumed() const { return std::string_view(received_).substr(consumed_); }

 private:
  bool ReadSome(std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0 || ended_) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ended_ = true;
      return false;
    }
    received_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  int fd_;
  std::string received_;
  std::size_t consumed_ = 0;
  bool ended_ = false;
};

// Listens on a loopback address. Each accepted connection runs the script on a
// thread; the destructor waits for them all.
class LoopbackServer {
 public:
  enum class Family { kIPv4, kIPv6 };
  using Script = std::function<void(Peer&)>;

  // receive_buffer: when not 0, the accepted connections' kernel receive
  // buffer (small ones make a peer that stops reading stop the client soon).
  explicit LoopbackServer(Script script, Family family = Family::kIPv4, int connections = 1,
                          int receive_buffer = 0)
      : script_(std::move(script)), connections_(connections) {
    fd_ = ::socket(family == Family::kIPv4 ? AF_INET : AF_INET6, SOCK_STREAM, 0);
    if (fd_ < 0) return;
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receive_buffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_storage address{};
    socklen_t size = 0;
    if (family == Family::kIPv4) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
      v4->sin_family = AF_INET;
      v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      size = sizeof(sockaddr_in);
    } else {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
      v6->sin6_family = AF_INET6;
      v6->sin6_addr = in6addr_loopback;
      ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
      size = sizeof(sockaddr_in6);
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd_, 64) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    port_ = ntohs(family == Family::kIPv4 ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                          : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    acceptor_ = std::thread([this] { AcceptAll(); });
  }

  ~LoopbackServer() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& t : workers_) t.join();
    if (fd_ >= 0) ::close(fd_);
  }

  bool ok() const { return fd_ >= 0; }
  std::uint16_t port() const { return port_; }
  // Scripts that have run to their end.
  int finished() const { return finished_.load(); }

  // What each finished connection received, in the order they finished.
  std::vector<std::string> transcripts() const {
    std::lock_guard lock(mutex_);
    return transcripts_;
  }

 private:
  void AcceptAll() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (int accepted = 0; accepted < connections_ && !stop_;) {
      if (std::chrono::steady_clock::now() > deadline) return;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int client = ::accept(fd_, nullptr, nullptr);
      if (client < 0) continue;
      ++accepted;
      std::lock_guard lock(mutex_);
      workers_.emplace_back([this, client] {
        Peer peer(client);
        script_(peer);
        {
          std::lock_guard inner(mutex_);
          transcripts_.push_back(peer.received());
        }
        peer.Close();
        ++finished_;
      });
    }
  }

  Script script_;
  int connections_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> finished_{0};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<std::thread> workers_;
  std::vector<std::string> transcripts_;
};

// What a script's own answer to a command line did: nothing (the usual
// answer follows), answered it, or ended the conversation.
enum class OwnAnswer { kNone, kAnswered, kEnded };
using OwnAnswers = std::function<OwnAnswer(Peer&, const std::string& line)>;

// Answers 220, then 250 to every command, 354 to DATA, 250 to the end of the
// data and 221 to QUIT; then waits for the client's end and, close_after it
// later, closes its own. own, when given, answers a line first.
inline void PlaySmtpServerClosingAfter(Peer& peer, std::chrono::milliseconds close_after,
                                       const OwnAnswers& own = {}) {
  peer.Send("220 test.invalid ready\r\n");
  while (auto line = peer.ReadLine()) {
    const OwnAnswer answer = own ? own(peer, *line) : OwnAnswer::kNone;
    if (answer == OwnAnswer::kEnded) return;
    if (answer == OwnAnswer::kAnswered) continue;
    if (*line == "DATA") {
      peer.Send("354 go ahead\r\n");
      if (!peer.ReadUntil("\r\n.\r\n")) return;
      peer.Send("250 queued\r\n");
    } else if (*line == "QUIT") {
      peer.Send("221 bye\r\n");
      peer.ReadToEnd(1s);
      std::this_thread::sleep_for(close_after);
      return;
    } else {
      peer.Send("250 ok\r\n");
    }
  }
}

inline void PlaySmtpServer(Peer& peer) { PlaySmtpServerClosingAfter(peer, 0ms); }

using qv::test_support::UnusedLoopbackPort;

}  // namespace qv::runtime::test_support
