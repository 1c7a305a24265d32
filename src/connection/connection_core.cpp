#include "connection_core.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <limits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "address_literal.hpp"
#include "connection.hpp"
#include "helo_name.hpp"
#include "qv/connection/stream_transport.hpp"
#include "qv/core/automation_error.hpp"

namespace qv::connection {

namespace {

constexpr const char* kWrongStateText =
    "Wrong protocol or connection state for the requested transaction or request";
constexpr const char* kInvalidOperationText = "Invalid operation at current state";
constexpr const char* kInvalidValueText = "Invalid property value";

// True when every byte is ASCII: the high bits of 64 bytes at a time.
bool IsAscii(std::string_view bytes) {
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
#if defined(__SSE2__)
  for (; end - p >= 64; p += 64) {
    const auto load = [p](int at) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    };
    const __m128i any =
        _mm_or_si128(_mm_or_si128(load(0), load(16)), _mm_or_si128(load(32), load(48)));
    if (_mm_movemask_epi8(any) != 0) return false;
  }
#endif
  for (; end - p >= 8; p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if ((word & 0x8080808080808080ULL) != 0) return false;
  }
  for (; p < end; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80) return false;
  }
  return true;
}

}  // namespace

ConnectionCore::ConnectionCore(Loop& loop, DeliveryGate& gate, SocketOptions options,
                               TransportFactory make_transport)
    : loop_(loop),
      gate_(gate),
      options_(std::move(options)),
      make_transport_(std::move(make_transport)) {
  options_.read_buffer_size = std::max<std::size_t>(options_.read_buffer_size, 64);
  options_.receive_limit = std::max(options_.receive_limit, options_.read_buffer_size);
  // The name goes onto the HELO line as it is: a space, CR or LF in it
  // would let the host's text become a command of its own.
  for (const unsigned char c : options_.local_host_name) {
    if (c <= 0x20 || c == 0x7F) {
      throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
    }
  }
  if (options_.local_host_name.empty()) StartFullyQualifiedNameLookup();
}

void ConnectionCore::Close() {
  const Integer was = state_;
  state_ = socket_state::kClosed;
  gate_.Cancel(this);
  arrival_queued_ = false;
  implicit_tls_.reset();
  tls_ = nullptr;
  if (!conn_) return;
  const std::shared_ptr<Connection> c = std::move(conn_);
  c->Detach(was == socket_state::kConnected || was == socket_state::kPeerClosing,
            options_.close_linger);
}

void ConnectionCore::Shutdown() {
  events_ = nullptr;
  Close();
}

void ConnectionCore::WriteSetting(Integer id) {
  if (!socket_setting::IsClearable(id)) {
    throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
  }
  if (state_ != socket_state::kClosed) {
    throw AutomationError(socket_error::kInvalidOperation, kInvalidOperationText);
  }
  ClearLeftovers();
}

std::string ConnectionCore::HeloName() const {
  return connection::HeloName(options_.local_host_name,
                              conn_ ? conn_->LocalAddressLiteral() : std::string());
}

void ConnectionCore::Connect(const String& remote_host, Integer remote_port) {
  if (state_ != socket_state::kClosed) {
    throw AutomationError(socket_error::kInvalidOperation, kInvalidOperationText);
  }
  // A 16-bit argument carries ports above 32767 as negative numbers.
  auto port = static_cast<std::uint16_t>(remote_port);
  if (port == 0) throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
  if (options_.port != 0) port = options_.port;

  ClearLeftovers();
  connected_port_ = port;
  const std::string name = WithoutBrackets(ToUtf8(remote_host));
  std::unique_ptr<Transport> transport = make_transport_();
  tls_ = nullptr;
  if (implicit_tls_) {
    implicit_tls_->port = port;
    auto filter = std::make_unique<TlsFilter>(loop_, std::move(transport), *implicit_tls_);
    tls_ = filter.get();
    transport = std::move(filter);
    implicit_tls_.reset();
  }
  conn_ = std::make_shared<Connection>(loop_, *this, std::move(transport));
  state_ = IsIpAddress(name) ? socket_state::kConnecting : socket_state::kResolvingHost;
  if (name.empty()) {
    // Reported from the loop, as every other connection failure is.
    loop_.Post([weak = weak_from_this(), c = std::weak_ptr<Connection>(conn_)] {
      const auto self = weak.lock();
      const auto conn = c.lock();
      if (self && conn && self->conn_ == conn) {
        conn->OnTransportFailed(socket_error::kHostNotFound, "No host name given");
      }
    });
    return;
  }
  conn_->Start(name, port);
}

void ConnectionCore::SendData(const String& text) {
  RequireConnected();
  conn_->Queue(ToUtf8(text));
}

void ConnectionCore::SendText(std::unique_ptr<OutgoingText> text) {
  RequireConnected();
  conn_->QueueText(std::move(text));
}

void ConnectionCore::SendUtf8(std::string_view bytes) {
  RequireConnected();
  // Bytes that are not well-formed UTF-8 go out as SendData sends their
  // decoded form; plain ASCII is the same either way.
  if (!IsAscii(bytes)) return conn_->Queue(ToUtf8(FromUtf8(bytes)));
  conn_->QueueUtf8(bytes);
}

void ConnectionCore::SendSecret(const String& text, const String& shown) {
  RequireConnected();
  conn_->QueueSecret(ToUtf8(text), ToUtf8(shown) + "\r\n");
}

void ConnectionCore::RequestSendComplete() {
  if (!conn_ || state_ != socket_state::kConnected) return;
  conn_->RequestSendComplete();
}

String ConnectionCore::GetData() {
  String text;
  text.swap(incoming_);
  bytes_waiting_ = decoder_.pending();  // received, but not yet a whole character
  if (conn_ && bytes_waiting_ < options_.receive_limit) conn_->SetReading(true);
  return text;
}

void ConnectionCore::StartTls(const TlsRequest& request) {
  TlsSettings settings;
  settings.server_name = WithoutBrackets(ToUtf8(request.server_name));
  settings.ca_file = ToUtf8(request.ca_file);
  settings.port = connected_port_;
  if (state_ == socket_state::kClosed) {
    implicit_tls_ = std::move(settings);
    return;
  }
  if (state_ != socket_state::kConnected || !conn_ || tls_ != nullptr || conn_->QueuedBytes() > 0) {
    throw AutomationError(socket_error::kInvalidOperation, kInvalidOperationText);
  }
  // Whatever came after the go-ahead came before the handshake, in the clear:
  // read after it, it would pass for the server's encrypted answer.
  if (!incoming_.empty() || bytes_waiting_ > 0) {
    throw AutomationError(tls_error::kTextBeforeHandshake,
                          std::to_string(bytes_waiting_ + incoming_.size()) +
                              " bytes arrived after the server's go-ahead to STARTTLS and before "
                              "the TLS handshake: something on the path added them");
  }
  tls_ = &conn_->StartTls(std::move(settings));
}

String ConnectionCore::TlsDescription() const {
  if (tls_ == nullptr || tls_->session().version.empty()) return {};
  return FromUtf8(tls_->session().version + " " + tls_->session().cipher);
}

std::size_t ConnectionCore::BytesQueued() const { return conn_ ? conn_->QueuedBytes() : 0; }

void ConnectionCore::RequireConnected() const {
  if (state_ != socket_state::kConnected) {
    throw AutomationError(socket_error::kWrongProtocolOrState, kWrongStateText);
  }
}

void ConnectionCore::ClearLeftovers() {
  String().swap(incoming_);
  decoder_ = Utf8StreamDecoder();
  bytes_waiting_ = 0;
}

void ConnectionCore::Trace(WireDirection direction, std::string_view bytes) const {
  if (options_.wire_trace && !bytes.empty()) options_.wire_trace(direction, bytes);
}

void ConnectionCore::Resolved() {
  if (state_ == socket_state::kResolvingHost) state_ = socket_state::kConnecting;
}

void ConnectionCore::Connected() {
  state_ = socket_state::kConnected;
  if (tls_ != nullptr) TraceSecured();
  gate_.Deliver(this, [self = shared_from_this()] {
    if (self->events_) self->events_->OnConnect();
  });
}

void ConnectionCore::Secured() {
  TraceSecured();
  gate_.Deliver(this, [self = shared_from_this()] {
    if (self->events_) self->events_->OnSecured();
  });
}

void ConnectionCore::TraceSecured() const {
  if (tls_ == nullptr) return;
  Trace(WireDirection::kSecured, tls_->session().version + " " + tls_->session().cipher);
}

void ConnectionCore::Received(std::string_view bytes) {
  Trace(WireDirection::kReceived, bytes);
  decoder_.Decode(bytes, incoming_);
  bytes_waiting_ += bytes.size();
  if (bytes_waiting_ >= options_.receive_limit) conn_->SetReading(false);
  QueueArrival();
}

// An orderly close: no error, State 8. A sequence cut off by the end becomes
// characters of its bytes.
void ConnectionCore::PeerClosed() {
  decoder_.Flush(incoming_);
  if (state_ == socket_state::kConnected) state_ = socket_state::kPeerClosing;
  if (!incoming_.empty()) QueueArrival();
}

void ConnectionCore::Failed(Long number, const std::string& description) {
  state_ = socket_state::kError;
  // The connection stays the socket's until Close, for its HELO name and
  // accounting; it has ended.
  gate_.Deliver(this, [self = shared_from_this(), number, text = FromUtf8(description)] {
    if (self->events_) self->events_->OnError(number, text);
  });
}

void ConnectionCore::ReportSendComplete() {
  gate_.Deliver(this, [self = shared_from_this(), c = std::weak_ptr<Connection>(conn_)] {
    if (self->conn_ != c.lock() || !self->events_) return;
    if (self->state_ != socket_state::kConnected && self->state_ != socket_state::kPeerClosing) {
      return;
    }
    self->events_->OnSendComplete();
  });
}

void ConnectionCore::QueueArrival() {
  if (arrival_queued_) return;  // one notification reports everything waiting
  arrival_queued_ = true;
  gate_.Deliver(this, [self = shared_from_this()] {
    self->arrival_queued_ = false;
    if (self->incoming_.empty() || !self->events_) return;
    self->events_->OnDataArrival(
        static_cast<Long>(std::min<std::size_t>(self->bytes_waiting_, LONG_MAX)));
  });
}

ConnectionSocket::ConnectionSocket(Loop& loop, DeliveryGate& gate, SocketOptions options)
    : ConnectionSocket(loop, gate, options, TransportFactory()) {}

ConnectionSocket::ConnectionSocket(Loop& loop, DeliveryGate& gate, SocketOptions options,
                                   TransportFactory make_transport) {
  if (!make_transport) {
    const std::size_t read_buffer = std::max<std::size_t>(options.read_buffer_size, 64);
    make_transport = [&loop, read_buffer] { return MakeStreamTransport(loop, read_buffer); };
  }
  core_ =
      std::make_shared<ConnectionCore>(loop, gate, std::move(options), std::move(make_transport));
}

ConnectionSocket::~ConnectionSocket() { core_->Shutdown(); }

void ConnectionSocket::SetEvents(SocketEvents* events) { core_->SetEvents(events); }
Integer ConnectionSocket::State() { return core_->State(); }
void ConnectionSocket::Close() { core_->Close(); }
void ConnectionSocket::WriteSetting(Integer id, const Variant&) { core_->WriteSetting(id); }

Variant ConnectionSocket::ReadSetting(Integer id) {
  if (id != socket_setting::kLocalHostName) {
    throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
  }
  return Variant(FromUtf8(core_->HeloName()));
}

void ConnectionSocket::Connect(const String& remote_host, Integer remote_port) {
  core_->Connect(remote_host, remote_port);
}
void ConnectionSocket::SendData(const String& text) { core_->SendData(text); }
void ConnectionSocket::SendText(std::unique_ptr<OutgoingText> text) {
  core_->SendText(std::move(text));
}
void ConnectionSocket::SendUtf8(std::string_view bytes) { core_->SendUtf8(bytes); }
void ConnectionSocket::SendSecret(const String& text, const String& shown) {
  core_->SendSecret(text, shown);
}
void ConnectionSocket::RequestSendComplete() { core_->RequestSendComplete(); }
String ConnectionSocket::GetData() { return core_->GetData(); }
void ConnectionSocket::StartTls(const TlsRequest& request) { core_->StartTls(request); }
String ConnectionSocket::TlsDescription() { return core_->TlsDescription(); }
std::size_t ConnectionSocket::BytesWaiting() const { return core_->BytesWaiting(); }
std::size_t ConnectionSocket::BytesQueued() const { return core_->BytesQueued(); }
const SocketOptions& ConnectionSocket::options() const { return core_->options(); }
void ConnectionSocket::SetPort(std::uint16_t port) { core_->SetPort(port); }

}  // namespace qv::connection
