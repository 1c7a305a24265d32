// The plain loopback socket peer of the large-body benchmark: what the same
// bytes cost with nothing but write(2) and read(2).
//
//   plain_client send --port P --file F          raw bytes to a discard reader
//   plain_client send --port P --file F --smtp   HELO, MAIL, RCPT, DATA, then
//                                                the bytes and ".", timed from
//                                                the 354 to the 250
//   plain_client discard --port-file F           the discard reader
//   plain_client receive --port-file F --log L   an SMTP receiver that answers
//                                                at once and logs, per message,
//                                                the time from its 354 to the
//                                                end of the data
//   plain_client memory --bytes N                how fast fresh memory fills,
//                                                and memory already touched
//
// The servers take one connection at a time and run until killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("send");
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void WriteAll(int fd, std::string_view text) { WriteAll(fd, text.data(), text.size()); }

// Reads one SMTP reply (every line of a multi-line one); returns its code.
class ReplyReader {
 public:
  explicit ReplyReader(int fd) : fd_(fd) {}

  int Read() {
    while (true) {
      const std::size_t end = buffer_.find("\r\n");
      if (end == std::string::npos) {
        char chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("the server closed the connection");
        buffer_.append(chunk, static_cast<std::size_t>(n));
        continue;
      }
      const std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 2);
      if (line.size() >= 4 && line[3] == '-') continue;  // more lines follow
      return line.size() >= 3 ? std::atoi(line.substr(0, 3).c_str()) : 0;
    }
  }

 private:
  int fd_;
  std::string buffer_;
};

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Fail("connect");
  // Commands and the last line of the data must not wait for an ACK.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// The file mapped with every page present, so that neither reading it nor
// faulting it in is timed: this is the socket's figure.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail("cannot open " + path);
    struct stat info {};
    ::fstat(fd, &info);
    size_ = static_cast<std::size_t>(info.st_size);
    if (size_ > 0) {
      data_ = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
      if (data_ == MAP_FAILED) Fail("cannot map " + path);
    }
    ::close(fd);
  }
  ~MappedFile() {
    if (size_ > 0) ::munmap(data_, size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  std::string_view view() const { return {static_cast<const char*>(data_), size_}; }

 private:
  void* data_ = nullptr;
  std::size_t size_ = 0;
};

void Expect(ReplyReader& replies, int code, const char* after) {
  const int got = replies.Read();
  if (got != code) {
    throw std::runtime_error(std::string("expected ") + std::to_string(code) + " after " + after +
                             ", got " + std::to_string(got));
  }
}

int Send(int port, const std::string& path, bool smtp) {
  const MappedFile file(path);
  const std::string_view data = file.view();
  const int fd = Connect(port);
  if (!smtp) {
    const auto start = Clock::now();
    WriteAll(fd, data);
    ::shutdown(fd, SHUT_WR);
    char sink[4096];
    while (::recv(fd, sink, sizeof sink, 0) > 0) {
    }  // the reader closes once it has everything
    const double seconds = Seconds(Clock::now() - start);
    ::close(fd);
    std::printf("{\"mode\":\"raw\",\"bytes\":%zu,\"seconds\":%.6f}\n", data.size(), seconds);
    return 0;
  }

  ReplyReader replies(fd);
  Expect(replies, 220, "connecting");
  WriteAll(fd, "HELO plain.client\r\n");
  Expect(replies, 250, "HELO");
  WriteAll(fd, "MAIL FROM:<bench@example.org>\r\n");
  Expect(replies, 250, "MAIL");
  WriteAll(fd, "RCPT TO:<rcpt1@example.net>\r\n");
  Expect(replies, 250, "RCPT");
  WriteAll(fd, "DATA\r\n");
  Expect(replies, 354, "DATA");
  const auto start = Clock::now();
  WriteAll(fd, data);
  const bool ends_line = data.ends_with("\r\n");
  WriteAll(fd, ends_line ? ".\r\n" : "\r\n.\r\n");
  Expect(replies, 250, "the data");
  const double seconds = Seconds(Clock::now() - start);
  WriteAll(fd, "QUIT\r\n");
  replies.Read();
  ::close(fd);
  std::printf("{\"mode\":\"smtp\",\"bytes\":%zu,\"seconds_after_354\":%.6f}\n", data.size(),
              seconds);
  return 0;
}

int Listen(const std::string& port_file) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail("socket");
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Fail("bind");
  if (::listen(fd, 64) != 0) Fail("listen");
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  // Written whole, then renamed, so that a reader never sees half a number.
  const std::string partial = port_file + ".part";
  std::ofstream(partial) << ntohs(address.sin_port) << "\n";
  if (std::rename(partial.c_str(), port_file.c_str()) != 0) Fail("rename " + port_file);
  return fd;
}

int Accept(int listener) {
  while (true) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != EINTR && errno != ECONNABORTED) Fail("accept");
  }
}

int Discard(const std::string& port_file) {
  const int listener = Listen(port_file);
  std::vector<char> buffer(1 << 20);
  while (true) {
    const int fd = Accept(listener);
    while (true) {
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n > 0 || (n < 0 && errno == EINTR)) continue;
      break;
    }
    ::close(fd);
  }
}

// One SMTP session of the receiver. Commands are answered at once; the data
// is scanned for its end without being kept.
class ReceiverSession {
 public:
  ReceiverSession(int fd, std::FILE* log) : fd_(fd), log_(log), buffer_(1 << 20) {}

  void Run() {
    WriteAll(fd_, "220 receiver ESMTP\r\n");
    while (true) {
      if (data_mode_) {
        if (!ScanData()) return;
        continue;
      }
      const std::size_t end = commands_.find("\r\n");
      if (end == std::string::npos) {
        const ssize_t n = Receive();
        if (n <= 0) return;
        commands_.append(buffer_.data(), static_cast<std::size_t>(n));
        continue;
      }
      std::string verb = commands_.substr(0, std::min<std::size_t>(4, end));
      for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      commands_.erase(0, end + 2);
      if (verb == "QUIT") {
        WriteAll(fd_, "221 Bye\r\n");
        return;
      }
      if (verb == "DATA") {
        WriteAll(fd_, "354 End data with <CR><LF>.<CR><LF>\r\n");
        StartData();
        continue;
      }
      WriteAll(fd_, "250 Ok\r\n");
    }
  }

 private:
  static constexpr std::string_view kEnd = "\r\n.\r\n";

  ssize_t Receive() {
    while (true) {
      const ssize_t n = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
      if (n >= 0 || errno != EINTR) return n;
    }
  }

  void StartData() {
    data_mode_ = true;
    data_bytes_ = 0;
    started_ = Clock::now();
    // The line before the data ended with CR LF: a "." line at once ends it.
    carry_ = "\r\n";
    pending_ = std::move(commands_);  // pipelined data after DATA
    commands_.clear();
  }

  // Returns false when the peer has gone.
  bool ScanData() {
    std::string_view chunk;
    if (!pending_.empty()) {
      scratch_ = std::move(pending_);
      pending_.clear();
      chunk = scratch_;
    } else {
      const ssize_t n = Receive();
      if (n <= 0) return false;
      chunk = std::string_view(buffer_.data(), static_cast<std::size_t>(n));
    }
    // The end may straddle two reads: look at the carried tail joined to the
    // start of this read first, then at the read itself.
    const std::size_t tail = kEnd.size() - 1;
    std::string seam = carry_;
    seam.append(chunk.substr(0, std::min(chunk.size(), tail)));
    std::size_t end_in_chunk = std::string::npos;
    if (const std::size_t found = seam.find(kEnd); found != std::string::npos) {
      end_in_chunk = found + kEnd.size() - carry_.size();
    } else if (const void* hit = ::memmem(chunk.data(), chunk.size(), kEnd.data(), kEnd.size())) {
      end_in_chunk =
          static_cast<std::size_t>(static_cast<const char*>(hit) - chunk.data()) + kEnd.size();
    }
    if (end_in_chunk == std::string::npos) {
      data_bytes_ += chunk.size();
      carry_.append(chunk.substr(chunk.size() - std::min(chunk.size(), tail)));
      if (carry_.size() > tail) carry_.erase(0, carry_.size() - tail);
      return true;
    }
    data_bytes_ += end_in_chunk;
    const double seconds = Seconds(Clock::now() - started_);
    // Logged before the reply, so the line is there when the client ends.
    std::fprintf(log_, "{\"bytes\":%zu,\"seconds_after_354\":%.6f}\n", data_bytes_, seconds);
    std::fflush(log_);
    WriteAll(fd_, "250 2.0.0 Ok: queued\r\n");
    data_mode_ = false;
    commands_.assign(chunk.substr(end_in_chunk));
    return true;
  }

  int fd_;
  std::FILE* log_;
  std::vector<char> buffer_;
  std::string commands_;
  std::string pending_;
  std::string scratch_;
  std::string carry_;
  bool data_mode_ = false;
  std::size_t data_bytes_ = 0;
  Clock::time_point started_{};
};

int Receive(const std::string& port_file, const std::string& log_path) {
  std::FILE* log = std::fopen(log_path.c_str(), "a");
  if (log == nullptr) Fail("cannot open " + log_path);
  const int listener = Listen(port_file);
  while (true) {
    const int fd = Accept(listener);
    try {
      ReceiverSession(fd, log).Run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "plain_client receive: %s\n", e.what());
    }
    ::close(fd);
  }
}

// First touch of fresh pages against a copy into pages already touched: how
// much a program pays for each new full-size buffer on this machine.
int Memory(std::size_t bytes) {
  std::vector<char> source(bytes, 'x');
  auto fresh = std::make_unique_for_overwrite<char[]>(bytes);
  auto start = Clock::now();
  std::memcpy(fresh.get(), source.data(), bytes);
  const double fresh_s = Seconds(Clock::now() - start);
  start = Clock::now();
  std::memcpy(fresh.get(), source.data() + 1, bytes - 1);
  const double warm_s = Seconds(Clock::now() - start);
  volatile char keep = fresh[bytes / 2];
  (void)keep;
  std::printf("{\"bytes\":%zu,\"fresh_bytes_per_s\":%.0f,\"warm_bytes_per_s\":%.0f}\n", bytes,
              double(bytes) / fresh_s, double(bytes) / warm_s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Plain loopback socket peer of the large-body benchmark");
  app.require_subcommand(1);
  int port = 0;
  std::string file, port_file, log_path;
  bool smtp = false;
  CLI::App* send = app.add_subcommand("send", "Write a file's bytes to 127.0.0.1:PORT");
  send->add_option("--port", port, "Port on 127.0.0.1")->required()->check(CLI::Range(1, 65535));
  send->add_option("--file", file, "The bytes to send")->required();
  send->add_flag("--smtp", smtp, "Speak SMTP and send the bytes as the message data");
  CLI::App* discard = app.add_subcommand("discard", "Read and drop every connection's bytes");
  discard->add_option("--port-file", port_file, "Where the listening port is written")->required();
  CLI::App* receive =
      app.add_subcommand("receive", "SMTP receiver that logs the time from 354 to end of data");
  receive->add_option("--port-file", port_file, "Where the listening port is written")->required();
  receive->add_option("--log", log_path, "One JSON line per message is appended here")->required();
  std::size_t bytes = 100 * 1000 * 1000;
  CLI::App* memory = app.add_subcommand("memory", "Fill rate of fresh and of touched memory");
  memory->add_option("--bytes", bytes, "Buffer size")->check(CLI::Range(4096, 1 << 30));
  CLI11_PARSE(app, argc, argv);

  try {
    if (*send) return Send(port, file, smtp);
    if (*discard) return Discard(port_file);
    if (*memory) return Memory(bytes);
    return Receive(port_file, log_path);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "plain_client: %s\n", e.what());
    return 1;
  }
}
