// The plain loopback socket peer of the large-body benchmark: what the same
// bytes cost with nothing but write(2) and read(2).
//
//   plain_client send --port P --file F          raw bytes to a discard reader
//   plain_client send --port P --file F --smtp   HELO, MAIL, RCPT, DATA, then
//                                                the bytes and ".", timed from
//                                                the 354 to the 250
//   plain_client send ... --smtp --tls --ca-file C
//                                                the same over STARTTLS: EHLO,
//                                                STARTTLS, the handshake (the
//                                                certificate checked against C
//                                                and 127.0.0.1), EHLO, then as
//                                                above with SSL_write
//   plain_client discard --port-file F           the discard reader
//   plain_client receive --port-file F --log L   an SMTP receiver that answers
//                                                at once and logs, per message,
//                                                the time from its 354 to the
//                                                end of the data
//   plain_client receive ... --tls-cert C --tls-key K
//                                                the same receiver offering
//                                                STARTTLS in its EHLO reply
//                                                (the handshake is not timed)
//   plain_client memory --bytes N                how fast fresh memory fills,
//                                                and memory already touched
//
// The servers take one connection at a time and run until killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <climits>
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

// --- TLS ---------------------------------------------------------------------

[[noreturn]] void TlsFail(const std::string& what) {
  const unsigned long code = ERR_get_error();
  char text[256] = "no reason given";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  throw std::runtime_error(what + ": " + text);
}

struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using Ssl = std::unique_ptr<SSL, SslFree>;
using SslContext = std::unique_ptr<SSL_CTX, SslFree>;

// Blocking socket underneath: SSL_write returns once every byte is in records
// handed to the kernel.
void TlsWriteAll(SSL* ssl, const char* data, std::size_t size) {
  while (size > 0) {
    const int n = SSL_write(ssl, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (n <= 0) {
      if (SSL_get_error(ssl, n) == SSL_ERROR_SYSCALL && errno == EINTR) continue;
      TlsFail("SSL_write");
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Like recv: the clear bytes of (at most) one record, 0 once the peer has
// ended the connection, with or without its close_notify.
ssize_t TlsRead(SSL* ssl, char* data, std::size_t size) {
  while (true) {
    const int n = SSL_read(ssl, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (n > 0) return n;
    const int error = SSL_get_error(ssl, n);
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    if (error == SSL_ERROR_SYSCALL) {
      if (errno == EINTR) continue;
      ERR_clear_error();
      return errno == 0 ? 0 : -1;
    }
    TlsFail("SSL_read");
  }
}

std::string TlsDescription(SSL* ssl) {
  return std::string(SSL_get_version(ssl)) + " " + SSL_CIPHER_get_name(SSL_get_current_cipher(ssl));
}

// Reads one SMTP reply (every line of a multi-line one); returns its code.
class ReplyReader {
 public:
  explicit ReplyReader(int fd) : fd_(fd) {}

  int Read() {
    text_.clear();
    while (true) {
      const std::size_t end = buffer_.find("\r\n");
      if (end == std::string::npos) {
        char chunk[4096];
        const ssize_t n = ssl_ != nullptr ? TlsRead(ssl_, chunk, sizeof chunk)
                                          : ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("the server closed the connection");
        buffer_.append(chunk, static_cast<std::size_t>(n));
        continue;
      }
      const std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 2);
      text_ += line + "\n";
      if (line.size() >= 4 && line[3] == '-') continue;  // more lines follow
      return line.size() >= 3 ? std::atoi(line.substr(0, 3).c_str()) : 0;
    }
  }

  // Every line of the last reply.
  const std::string& text() const { return text_; }

  // From here on the replies come through TLS. Bytes read before the
  // handshake cannot be trusted as part of the encrypted conversation.
  void UseTls(SSL* ssl) {
    if (!buffer_.empty()) throw std::runtime_error("text after the go-ahead to STARTTLS");
    ssl_ = ssl;
  }

 private:
  int fd_;
  SSL* ssl_ = nullptr;
  std::string buffer_;
  std::string text_;
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

// The same conversation over STARTTLS, as a plain OpenSSL client speaks it:
// blocking socket, default ciphers, the server's certificate checked against
// the CA file and 127.0.0.1; the body handed to SSL_write in 1 MiB chunks.
int SendTls(int port, const std::string& path, const std::string& ca_file) {
  const MappedFile file(path);
  const std::string_view data = file.view();
  const SslContext context(SSL_CTX_new(TLS_client_method()));
  if (!context) TlsFail("SSL_CTX_new");
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  if (SSL_CTX_load_verify_locations(context.get(), ca_file.c_str(), nullptr) != 1) {
    TlsFail("cannot load " + ca_file);
  }
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  const int fd = Connect(port);

  ReplyReader replies(fd);
  Expect(replies, 220, "connecting");
  WriteAll(fd, "EHLO plain.client\r\n");
  Expect(replies, 250, "EHLO");
  if (replies.text().find("STARTTLS") == std::string::npos) {
    throw std::runtime_error("the server does not offer STARTTLS");
  }
  WriteAll(fd, "STARTTLS\r\n");
  Expect(replies, 220, "STARTTLS");
  const Ssl ssl(SSL_new(context.get()));
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) TlsFail("SSL_new");
  if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), "127.0.0.1") != 1) {
    TlsFail("X509_VERIFY_PARAM_set1_ip_asc");
  }
  if (SSL_connect(ssl.get()) != 1) TlsFail("TLS handshake");
  replies.UseTls(ssl.get());
  const auto say = [&](std::string_view text) { TlsWriteAll(ssl.get(), text.data(), text.size()); };
  say("EHLO plain.client\r\n");
  Expect(replies, 250, "EHLO");
  say("MAIL FROM:<bench@example.org>\r\n");
  Expect(replies, 250, "MAIL");
  say("RCPT TO:<rcpt1@example.net>\r\n");
  Expect(replies, 250, "RCPT");
  say("DATA\r\n");
  Expect(replies, 354, "DATA");
  const auto start = Clock::now();
  constexpr std::size_t kChunk = 1 << 20;
  for (std::size_t at = 0; at < data.size(); at += kChunk) {
    TlsWriteAll(ssl.get(), data.data() + at, std::min(kChunk, data.size() - at));
  }
  const bool ends_line = data.ends_with("\r\n");
  say(ends_line ? ".\r\n" : "\r\n.\r\n");
  Expect(replies, 250, "the data");
  const double seconds = Seconds(Clock::now() - start);
  say("QUIT\r\n");
  replies.Read();
  const std::string tls = TlsDescription(ssl.get());
  SSL_shutdown(ssl.get());
  ::close(fd);
  std::printf("{\"mode\":\"smtp\",\"tls\":\"%s\",\"bytes\":%zu,\"seconds_after_354\":%.6f}\n",
              tls.c_str(), data.size(), seconds);
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
// is scanned for its end without being kept. With a TLS context, EHLO offers
// STARTTLS and the session turns to TLS on it.
class ReceiverSession {
 public:
  ReceiverSession(int fd, std::FILE* log, SSL_CTX* tls = nullptr)
      : fd_(fd), log_(log), tls_(tls), buffer_(1 << 20) {}

  void Run() {
    Reply("220 receiver ESMTP\r\n");
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
      if (tls_ != nullptr && TlsCommand(verb, end)) continue;
      commands_.erase(0, end + 2);
      if (verb == "QUIT") {
        Reply("221 Bye\r\n");
        if (ssl_) SSL_shutdown(ssl_.get());
        return;
      }
      if (verb == "DATA") {
        Reply("354 End data with <CR><LF>.<CR><LF>\r\n");
        StartData();
        continue;
      }
      Reply("250 Ok\r\n");
    }
  }

 private:
  static constexpr std::string_view kEnd = "\r\n.\r\n";

  ssize_t Receive() {
    if (ssl_) return TlsRead(ssl_.get(), buffer_.data(), buffer_.size());
    while (true) {
      const ssize_t n = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
      if (n >= 0 || errno != EINTR) return n;
    }
  }

  void Reply(std::string_view text) {
    if (ssl_) return TlsWriteAll(ssl_.get(), text.data(), text.size());
    WriteAll(fd_, text);
  }

  // EHLO and STARTTLS of a receiver that offers TLS; true when the command
  // (the line ending at end) was one of them and is answered.
  bool TlsCommand(const std::string& verb, std::size_t end) {
    if (verb == "EHLO") {
      commands_.erase(0, end + 2);
      Reply(ssl_ ? "250-receiver\r\n250 8BITMIME\r\n"
                 : "250-receiver\r\n250-8BITMIME\r\n250 STARTTLS\r\n");
      return true;
    }
    std::string line = commands_.substr(0, end);
    for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (ssl_ || line != "STARTTLS") return false;
    commands_.erase(0, end + 2);
    if (!commands_.empty()) throw std::runtime_error("commands pipelined after STARTTLS");
    Reply("220 2.0.0 Ready to start TLS\r\n");
    ssl_.reset(SSL_new(tls_));
    if (!ssl_ || SSL_set_fd(ssl_.get(), fd_) != 1) TlsFail("SSL_new");
    if (SSL_accept(ssl_.get()) != 1) TlsFail("TLS handshake");
    tls_text_ = TlsDescription(ssl_.get());
    resumed_ = SSL_session_reused(ssl_.get()) == 1;
    return true;
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
    if (ssl_) {
      std::fprintf(log_,
                   "{\"tls\":\"%s\",\"resumed\":%s,\"bytes\":%zu,\"seconds_after_354\":%.6f}\n",
                   tls_text_.c_str(), resumed_ ? "true" : "false", data_bytes_, seconds);
    } else {
      std::fprintf(log_, "{\"bytes\":%zu,\"seconds_after_354\":%.6f}\n", data_bytes_, seconds);
    }
    std::fflush(log_);
    Reply("250 2.0.0 Ok: queued\r\n");
    data_mode_ = false;
    commands_.assign(chunk.substr(end_in_chunk));
    return true;
  }

  int fd_;
  std::FILE* log_;
  SSL_CTX* tls_;
  Ssl ssl_;
  std::string tls_text_;
  bool resumed_ = false;
  std::vector<char> buffer_;
  std::string commands_;
  std::string pending_;
  std::string scratch_;
  std::string carry_;
  bool data_mode_ = false;
  std::size_t data_bytes_ = 0;
  Clock::time_point started_{};
};

// The server side of STARTTLS: one certificate, and by default no session
// tickets, so that every connection has a full handshake (which is not
// timed); with tickets, a client that keeps them resumes. Reading ahead lets
// OpenSSL take many records from the kernel in one read.
SslContext ServerContext(const std::string& cert, const std::string& key, bool tickets) {
  SslContext context(SSL_CTX_new(TLS_server_method()));
  if (!context) TlsFail("SSL_CTX_new");
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(context.get(), cert.c_str()) != 1) {
    TlsFail("cannot load " + cert);
  }
  if (SSL_CTX_use_PrivateKey_file(context.get(), key.c_str(), SSL_FILETYPE_PEM) != 1) {
    TlsFail("cannot load " + key);
  }
  if (!tickets) SSL_CTX_set_num_tickets(context.get(), 0);
  // A client that closes after QUIT without its close_notify ends the session
  // as a plain one would.
  SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_read_ahead(context.get(), 1);
  SSL_CTX_set_default_read_buffer_len(context.get(), 256 * 1024);
  return context;
}

int Receive(const std::string& port_file, const std::string& log_path, const std::string& cert,
            const std::string& key, bool tickets) {
  std::FILE* log = std::fopen(log_path.c_str(), "a");
  if (log == nullptr) Fail("cannot open " + log_path);
  SslContext tls;
  if (!cert.empty()) {
    tls = ServerContext(cert, key, tickets);
    ::signal(SIGPIPE, SIG_IGN);  // OpenSSL writes to the socket with write(2)
  }
  const int listener = Listen(port_file);
  while (true) {
    const int fd = Accept(listener);
    // Replies go at once: a reply held back for the client's delayed
    // acknowledgement of a session ticket would cost every client 40 ms.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    try {
      ReceiverSession(fd, log, tls.get()).Run();
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
  std::string file, port_file, log_path, ca_file, cert, key;
  bool smtp = false;
  bool tls = false;
  CLI::App* send = app.add_subcommand("send", "Write a file's bytes to 127.0.0.1:PORT");
  send->add_option("--port", port, "Port on 127.0.0.1")->required()->check(CLI::Range(1, 65535));
  send->add_option("--file", file, "The bytes to send")->required();
  CLI::Option* smtp_flag =
      send->add_flag("--smtp", smtp, "Speak SMTP and send the bytes as the message data");
  CLI::Option* tls_flag =
      send->add_flag("--tls", tls, "With --smtp: STARTTLS before MAIL (needs --ca-file)")
          ->needs(smtp_flag);
  CLI::Option* ca_option =
      send->add_option("--ca-file", ca_file, "PEM CAs that the server's certificate must chain to")
          ->check(CLI::ExistingFile);
  tls_flag->needs(ca_option);
  ca_option->needs(tls_flag);
  CLI::App* discard = app.add_subcommand("discard", "Read and drop every connection's bytes");
  discard->add_option("--port-file", port_file, "Where the listening port is written")->required();
  CLI::App* receive =
      app.add_subcommand("receive", "SMTP receiver that logs the time from 354 to end of data");
  receive->add_option("--port-file", port_file, "Where the listening port is written")->required();
  receive->add_option("--log", log_path, "One JSON line per message is appended here")->required();
  CLI::Option* cert_option =
      receive->add_option("--tls-cert", cert, "PEM certificate chain: offer STARTTLS with it")
          ->check(CLI::ExistingFile);
  CLI::Option* key_option = receive->add_option("--tls-key", key, "PEM private key of --tls-cert")
                                ->check(CLI::ExistingFile);
  bool tickets = false;
  receive->add_flag("--session-tickets", tickets, "With --tls-cert: issue session tickets")
      ->needs(cert_option);
  cert_option->needs(key_option);
  key_option->needs(cert_option);
  std::size_t bytes = 100 * 1000 * 1000;
  CLI::App* memory = app.add_subcommand("memory", "Fill rate of fresh and of touched memory");
  memory->add_option("--bytes", bytes, "Buffer size")->check(CLI::Range(4096, 1 << 30));
  CLI11_PARSE(app, argc, argv);

  try {
    if (*send && tls) {
      ::signal(SIGPIPE, SIG_IGN);  // OpenSSL writes to the socket with write(2)
      return SendTls(port, file, ca_file);
    }
    if (*send) return Send(port, file, smtp);
    if (*discard) return Discard(port_file);
    if (*memory) return Memory(bytes);
    return Receive(port_file, log_path, cert, key, tickets);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "plain_client: %s\n", e.what());
    return 1;
  }
}
