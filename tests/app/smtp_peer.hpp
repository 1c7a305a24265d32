// A scripted SMTP server on a thread of its own, for the program's tests: it
// answers each command line as told and keeps every byte the client sent.
#pragma once

#include "support/loopback_port.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace qvsmtp::test_support {

using namespace std::chrono_literals;

class SmtpPeer {
 public:
  // The reply to a command line (given without its CR LF), or "" for none.
  // The end of the message data is given as the line ".".
  using Answer = std::function<std::string(std::string_view line)>;

  // 220, then 250 to everything, 354 to DATA and 221 to QUIT.
  static std::string Standard(std::string_view line) {
    if (line == "DATA") return "354 go ahead\r\n";
    if (line == "QUIT") return "221 bye\r\n";
    return "250 ok\r\n";
  }

  explicit SmtpPeer(Answer answer = Standard, std::string greeting = "220 peer.test ready\r\n")
      : answer_(std::move(answer)), greeting_(std::move(greeting)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size);
    ::listen(fd_, 16);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }

  ~SmtpPeer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }

  std::uint16_t port() const { return port_; }
  // Connections accepted so far.
  int connections() const { return connections_.load(); }
  // Everything the client sent on the first connection so far.
  std::string transcript() const {
    std::lock_guard lock(mutex_);
    return transcript_;
  }
  // The message data as sent on the wire (between 354 and the final dot line,
  // that line's leading CR LF excluded).
  std::string data() const {
    std::lock_guard lock(mutex_);
    return data_;
  }

 private:
  void Serve() {
    int client = -1;
    while (!stop_ && client < 0) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) client = ::accept(fd_, nullptr, nullptr);
    }
    if (client < 0) return;
    ++connections_;
    Send(client, greeting_);
    std::string pending;
    bool in_data = false;
    char buffer[65536];
    while (!stop_) {
      pollfd p{client, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      {
        std::lock_guard lock(mutex_);
        transcript_.append(buffer, static_cast<std::size_t>(n));
      }
      pending.append(buffer, static_cast<std::size_t>(n));
      bool quit = false;
      while (true) {
        if (in_data) {
          // The data may be empty: then the dot line follows the 354 at once.
          const std::size_t end = pending.rfind(".\r\n", 0) == 0 ? 0 : pending.find("\r\n.\r\n");
          if (end == std::string::npos) break;
          {
            std::lock_guard lock(mutex_);
            data_ = pending.substr(0, end);
          }
          pending.erase(0, end == 0 ? 3 : end + 5);
          in_data = false;
          Send(client, answer_("."));
          continue;
        }
        const std::size_t end = pending.find("\r\n");
        if (end == std::string::npos) break;
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        const std::string reply = answer_(line);
        Send(client, reply);
        if (line == "DATA" && reply.rfind("354", 0) == 0) in_data = true;
        if (line == "QUIT") quit = true;
      }
      if (quit) break;
    }
    ::close(client);
  }

  static void Send(int fd, const std::string& text) {
    std::string_view rest = text;
    while (!rest.empty()) {
      const ssize_t n = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  Answer answer_;
  std::string greeting_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::string transcript_;
  std::string data_;
  std::thread thread_;
};

using qv::test_support::UnusedLoopbackPort;

}  // namespace qvsmtp::test_support
