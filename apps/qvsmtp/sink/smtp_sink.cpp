#include "sink/smtp_sink.hpp"

#include <unordered_set>
#include <utility>
#include <vector>

#include <asio/error.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"
#include "qv/host/socket.hpp"
#include "qv/runtime/asio_socket.hpp"
#include "qv/testing/smtp_sink_session.hpp"

namespace qvsmtp {

using qv::AutomationError;
using qv::testing::SinkObserver;
using qv::testing::SinkStore;
using qv::testing::SmtpSinkSession;
using qv::testing::StoredMessage;

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
    throw AutomationError(qv::socket_error::kAddressFamilyNotSupported,
                          "Address family not supported: " + where);
  }
  if (ec == e::host_not_found || ec == e::host_not_found_try_again || ec == e::no_data) {
    throw AutomationError(qv::socket_error::kHostNotFound, "Host not found: " + where);
  }
  throw AutomationError(static_cast<qv::Long>(ec.value()), ec.message() + ": " + where);
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
        server_name_(qv::ToUtf8(qv::runtime::LocalHostName())) {
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

SmtpSink::SmtpSink(asio::io_context& io, SinkStore& store, SinkObserver observer,
                   SmtpSinkOptions options)
    : core_(
          std::make_shared<detail::SinkCore>(io, store, std::move(observer), std::move(options))) {
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
