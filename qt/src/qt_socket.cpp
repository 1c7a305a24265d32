#include "qv/qt/qt_socket.hpp"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"

namespace qv::qt {

namespace {

constexpr const char* kWrongStateText =
    "Wrong protocol or connection state for the requested transaction or request";
constexpr const char* kInvalidOperationText = "Invalid operation at current state";
constexpr const char* kInvalidValueText = "Invalid property value";

struct Failure {
  Long number;
  QString description;
};

// The same numbers and sentences as the Asio runtime's socket, so that a
// program's status texts do not depend on the host it runs in.
Failure Describe(QAbstractSocket::SocketError error, const QString& host, const QString& qt_text) {
  using E = QAbstractSocket::SocketError;
  switch (error) {
    case E::ConnectionRefusedError:
      return {socket_error::kConnectionRefused, "Connection refused"};
    case E::HostNotFoundError:
      return {socket_error::kHostNotFound, "Host not found: " + host};
    case E::SocketTimeoutError:
      return {socket_error::kTimedOut, "Connection timed out"};
    case E::NetworkError:
      return {socket_error::kNetworkUnreachable, "Network is unreachable"};
    case E::SocketAccessError:
      return {socket_error::kPermissionDenied, "Permission denied"};
    case E::SocketResourceError:
      return {socket_error::kNoBufferSpace, "No buffer space available"};
    case E::AddressInUseError:
      return {socket_error::kAddressInUse, "Address already in use"};
    case E::SocketAddressNotAvailableError:
      return {socket_error::kAddressNotAvailable, "Address not available"};
    case E::UnsupportedSocketOperationError:
      return {socket_error::kAddressFamilyNotSupported, "Address family not supported"};
    default:
      return {socket_error::kConnectionAborted,
              qt_text.isEmpty() ? QStringLiteral("Connection aborted") : qt_text};
  }
}

QString ToQString(const String& text) { return QString::fromStdU16String(text); }

constexpr std::chrono::milliseconds kDrainPoll{20};

QString SecondsText(std::chrono::milliseconds duration) {
  const double seconds = static_cast<double>(duration.count()) / 1000.0;
  return QString::number(seconds, 'g', 6) + (duration.count() == 1000 ? " second" : " seconds");
}

// "[192.0.2.1]" or "[IPv6:2001:db8::1]"; an IPv4 address mapped into IPv6 in
// its IPv4 form, an IPv6 zone left out.
QString AddressLiteral(const QHostAddress& address) {
  bool mapped = false;
  const quint32 v4 = address.toIPv4Address(&mapped);
  if (mapped) return "[" + QHostAddress(v4).toString() + "]";
  QHostAddress plain = address;
  plain.setScopeId(QString());
  return "[IPv6:" + plain.toString() + "]";
}

struct NameLookup {
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;
  QString name;
};

// Never destroyed: a lookup still running when the program ends must not
// find it gone.
NameLookup& Lookup() {
  static auto* lookup = new NameLookup;
  return *lookup;
}

QString CanonicalHostName(const QByteArray& host) {
  if (host.isEmpty()) return {};
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.constData(), nullptr, &hints, &result) != 0 || result == nullptr) {
    return {};
  }
  QString name = QString::fromUtf8(result->ai_canonname != nullptr ? result->ai_canonname : "");
  ::freeaddrinfo(result);
  while (name.endsWith('.')) name.chop(1);
  // A name without a dot is what servers refuse as not fully qualified.
  return name.contains('.') ? name : QString();
}

void StartFullyQualifiedNameLookup() {
  static std::once_flag started;
  std::call_once(started, [] {
    const QByteArray host = QHostInfo::localHostName().toUtf8();
    auto publish = [](QString name) {
      NameLookup& lookup = Lookup();
      {
        std::lock_guard lock(lookup.mutex);
        lookup.name = std::move(name);
        lookup.done = true;
      }
      lookup.done_changed.notify_all();
    };
    try {
      // Detached: a slow name service must not hold up the program's end.
      std::thread([host, publish] { publish(CanonicalHostName(host)); }).detach();
    } catch (const std::system_error&) {
      publish({});
    }
  });
}

}  // namespace

struct QtSocket::Impl {
  Impl(QtSocket& o, DeliveryGate& g, SocketOptions opts) : owner(o), gate(g), options(opts) {
    // The name goes onto the HELO line as it is: a space, CR or LF in it
    // would let the host's text become a command of its own.
    for (const QChar c : options.local_host_name) {
      if (c.unicode() <= 0x20 || c.unicode() == 0x7F) {
        throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
      }
    }
    if (options.local_host_name.isEmpty()) StartFullyQualifiedNameLookup();
    drain_watch.setInterval(kDrainPoll);
    QObject::connect(&drain_watch, &QTimer::timeout, [this] { OnDrainWatch(); });
  }

  void Close() {
    const Integer was = state;
    state = socket_state::kClosed;
    gate.Cancel(this);
    arrival_queued = false;
    drain_watch.stop();
    ReleaseWatch();
    if (!conn) return;
    QTcpSocket* s = conn;
    conn = nullptr;
    s->disconnect();  // no notification of ours from here on
    if ((was == socket_state::kConnected || was == socket_state::kPeerClosing) &&
        s->state() == QAbstractSocket::ConnectedState) {
      // Queued text still goes out; the peer's further text is discarded.
      QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->readAll(); });
      QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
      QTimer::singleShot(options.close_linger, s, [s] {
        s->abort();
        s->deleteLater();
      });
      s->disconnectFromHost();
      if (s->state() == QAbstractSocket::UnconnectedState) s->deleteLater();
    } else {
      s->abort();
      s->deleteLater();
    }
  }

  void ClearLeftovers() {
    String().swap(incoming);
    decoder = Utf8StreamDecoder();
    bytes_waiting = 0;
  }

  void Connect(const String& remote_host, Integer remote_port) {
    if (state != socket_state::kClosed) {
      throw AutomationError(socket_error::kInvalidOperation, kInvalidOperationText);
    }
    auto port = static_cast<std::uint16_t>(remote_port);  // 16 bits carry ports above 32767
    if (port == 0) throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
    if (port == 25 && options.port_25_redirect != 0) port = options.port_25_redirect;

    ClearLeftovers();
    host = ToQString(remote_host);
    QString name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
      name = name.mid(1, name.size() - 2);  // bracketed IPv6 literal
    }
    auto* s = new QTcpSocket;
    conn = s;
    handed = 0;
    reported = 0;
    local_name.clear();
    s->setReadBufferSize(static_cast<qint64>(options.receive_limit));
    state = socket_state::kResolvingHost;
    QObject::connect(s, &QTcpSocket::hostFound, s, [this] { state = socket_state::kConnecting; });
    QObject::connect(s, &QTcpSocket::connected, s, [this] { OnConnected(); });
    QObject::connect(s, &QTcpSocket::readyRead, s, [this] { ReadAvailable(); });
    QObject::connect(s, &QTcpSocket::errorOccurred, s,
                     [this](QAbstractSocket::SocketError e) { OnError(e); });
    QObject::connect(s, &QTcpSocket::disconnected, s, [this] { OnPeerClosed(); });
    QObject::connect(s, &QTcpSocket::bytesWritten, s, [this] {
      if (conn && conn->bytesToWrite() == 0 && Unacknowledged() <= 0) ReportSendComplete();
    });
    if (name.isEmpty()) {
      // Reported from the loop, as every other connection failure is.
      QTimer::singleShot(0, s, [this, s] {
        if (conn == s) Fail(socket_error::kHostNotFound, QStringLiteral("No host name given"));
      });
      return;
    }
    s->connectToHost(name, port);
  }

  void OnConnected() {
    state = socket_state::kConnected;
    conn->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    local_name = AddressLiteral(conn->localAddress());
    watch_fd = ::fcntl(static_cast<int>(conn->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    gate.Deliver(this, [this] {
      if (events) events->OnConnect();
    });
  }

  void ReadAvailable() {
    if (!conn || bytes_waiting >= options.receive_limit) return;
    const QByteArray bytes = conn->readAll();
    if (bytes.isEmpty()) return;
    decoder.Decode(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                   incoming);
    bytes_waiting += static_cast<std::size_t>(bytes.size());
    QueueArrival();
  }

  void QueueArrival() {
    if (arrival_queued) return;  // one notification reports everything waiting
    arrival_queued = true;
    gate.Deliver(this, [this] {
      arrival_queued = false;
      if (incoming.empty() || !events) return;
      events->OnDataArrival(static_cast<Long>(std::min<std::size_t>(bytes_waiting, LONG_MAX)));
    });
  }

  // An orderly end from the peer: no error, State 8. A sequence cut off by the
  // end becomes characters of its bytes.
  void OnPeerClosed() {
    ReleaseWatch();
    if (state != socket_state::kConnected) return;
    ReadAvailable();
    state = socket_state::kPeerClosing;
    decoder.Flush(incoming);
    if (!incoming.empty()) QueueArrival();
  }

  // Qt reports a reset as an orderly close and closes its descriptor at once;
  // a duplicate of the descriptor, kept while connected, still shows the
  // kernel's state of the connection (closed after a reset, waiting for our
  // close after the peer's orderly end).
  bool WasReset() const {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (watch_fd < 0 || ::getsockopt(watch_fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) {
      return false;
    }
    return info.tcpi_state == TCP_CLOSE;
  }

  // Without this the socket would stay open after Qt closes its descriptor.
  void ReleaseWatch() {
    if (watch_fd >= 0) ::close(watch_fd);
    watch_fd = -1;
  }

  void OnError(QAbstractSocket::SocketError e) {
    if (e == QAbstractSocket::RemoteHostClosedError) {
      const bool reset = state == socket_state::kConnected && WasReset();
      ReleaseWatch();
      if (reset) {
        ReadAvailable();
        return Fail(socket_error::kConnectionReset, QStringLiteral("Connection reset by peer"));
      }
      return OnPeerClosed();
    }
    if (state == socket_state::kError || state == socket_state::kClosed) return;
    const Failure failure = Describe(e, host, conn ? conn->errorString() : QString());
    Fail(failure.number, failure.description);
  }

  // The kernel's count of bytes not yet acknowledged by the peer (sent or
  // not); -1 when the system cannot tell.
  long Unacknowledged() const {
    int count = 0;
    if (!conn || ::ioctl(static_cast<int>(conn->socketDescriptor()), SIOCOUTQ, &count) != 0) {
      return -1;
    }
    return count;
  }

  void Handed(qint64 bytes) {
    handed += static_cast<std::uint64_t>(bytes);
    if (drain_watch.isActive()) return;
    last_unacknowledged = -1;
    last_progress = std::chrono::steady_clock::now();
    drain_watch.start();
  }

  // While text is leaving: everything acknowledged raises OnSendComplete; a
  // count that stands still for stall_limit ends the connection.
  void OnDrainWatch() {
    if (!conn || state != socket_state::kConnected) return drain_watch.stop();
    const long unacknowledged = static_cast<long>(conn->bytesToWrite()) + Unacknowledged();
    const auto now = std::chrono::steady_clock::now();
    if (unacknowledged != last_unacknowledged) {
      last_unacknowledged = unacknowledged;
      last_progress = now;
    }
    if (conn->bytesToWrite() == 0 && Unacknowledged() <= 0) {
      drain_watch.stop();
      return ReportSendComplete();
    }
    if (now - last_progress > options.stall_limit) {
      drain_watch.stop();
      Fail(socket_error::kTimedOut,
           "Timed out sending: the server took no data for " + SecondsText(options.stall_limit));
    }
  }

  void ReportSendComplete() {
    if (reported == handed) return;  // already told for this text
    reported = handed;
    gate.Deliver(this, [this, c = conn, h = handed] {
      // Text handed meanwhile has its own notification to come.
      if (conn != c || handed != h || !events) return;
      if (state != socket_state::kConnected && state != socket_state::kPeerClosing) return;
      events->OnSendComplete();
    });
  }

  QString HeloName() const {
    if (!options.local_host_name.isEmpty()) return options.local_host_name;
    const QString full = FullyQualifiedHostName();
    if (!full.isEmpty()) return full;
    if (conn && !local_name.isEmpty()) return local_name;
    return ToQString(LocalHostName());
  }

  void Fail(Long number, const QString& description) {
    state = socket_state::kError;
    drain_watch.stop();
    ReleaseWatch();
    if (conn) {
      QTcpSocket* s = conn;
      conn = nullptr;
      s->disconnect();
      s->abort();
      s->deleteLater();
    }
    gate.Deliver(this, [this, number, text = description.toStdU16String()] {
      if (events) events->OnError(number, text);
    });
  }

  String GetData() {
    String text;
    text.swap(incoming);
    bytes_waiting = decoder.pending();  // received, but not yet a whole character
    if (conn && conn->bytesAvailable() > 0) {
      // Reading had paused at the limit; what waits in Qt's buffer follows.
      QTimer::singleShot(0, conn, [this] { ReadAvailable(); });
    }
    return text;
  }

  QtSocket& owner;
  DeliveryGate& gate;
  SocketOptions options;
  SocketEvents* events = nullptr;
  Integer state = socket_state::kClosed;
  QPointer<QTcpSocket> conn;
  QString host;
  String incoming;
  Utf8StreamDecoder decoder;
  std::size_t bytes_waiting = 0;
  bool arrival_queued = false;
  QString local_name;  // address literal of the connection's local end
  int watch_fd = -1;   // duplicate of the connection's descriptor
  // Bytes handed to SendData on this connection, and as many as were
  // reported complete.
  std::uint64_t handed = 0;
  std::uint64_t reported = 0;
  QTimer drain_watch;
  long last_unacknowledged = -1;
  std::chrono::steady_clock::time_point last_progress{};
};

QtSocket::QtSocket(DeliveryGate& gate, SocketOptions options)
    : impl_(std::make_unique<Impl>(*this, gate, options)) {}

QtSocket::~QtSocket() {
  impl_->events = nullptr;
  impl_->Close();
}

void QtSocket::SetEvents(SocketEvents* events) { impl_->events = events; }
Integer QtSocket::State() { return impl_->state; }
void QtSocket::Close() { impl_->Close(); }

void QtSocket::WriteSetting(Integer id, const Variant&) {
  if (!socket_setting::IsClearable(id)) {
    throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
  }
  if (impl_->state != socket_state::kClosed) {
    throw AutomationError(socket_error::kInvalidOperation, kInvalidOperationText);
  }
  impl_->ClearLeftovers();
}

Variant QtSocket::ReadSetting(Integer id) {
  if (id != socket_setting::kLocalHostName) {
    throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
  }
  return Variant(impl_->HeloName().toStdU16String());
}

void QtSocket::Connect(const String& remote_host, Integer remote_port) {
  impl_->Connect(remote_host, remote_port);
}

void QtSocket::SendData(const String& text) { SendUtf8(ToUtf8(text)); }

void QtSocket::SendText(std::unique_ptr<OutgoingText> text) {
  if (impl_->state != socket_state::kConnected || !impl_->conn) {
    throw AutomationError(socket_error::kWrongProtocolOrState, kWrongStateText);
  }
  constexpr std::size_t kPiece = 64 * 1024;
  std::string piece(kPiece, '\0');
  while (const std::size_t n = text->Encode(piece.data(), piece.size())) {
    SendUtf8(std::string_view(piece.data(), n));
  }
}

void QtSocket::SendUtf8(std::string_view bytes) {
  if (impl_->state != socket_state::kConnected || !impl_->conn) {
    throw AutomationError(socket_error::kWrongProtocolOrState, kWrongStateText);
  }
  if (bytes.empty()) return;
  impl_->conn->write(bytes.data(), static_cast<qint64>(bytes.size()));
  impl_->Handed(static_cast<qint64>(bytes.size()));
}

String QtSocket::GetData() { return impl_->GetData(); }

std::size_t QtSocket::BytesQueued() const {
  return impl_->conn ? static_cast<std::size_t>(impl_->conn->bytesToWrite()) : 0;
}

const SocketOptions& QtSocket::options() const { return impl_->options; }
void QtSocket::SetPort25Redirect(std::uint16_t port) { impl_->options.port_25_redirect = port; }

String LocalHostName() {
  const QString name = QHostInfo::localHostName();
  return name.isEmpty() ? String(u"localhost") : name.toStdU16String();
}

QString FullyQualifiedHostName(std::chrono::milliseconds wait) {
  StartFullyQualifiedNameLookup();
  NameLookup& lookup = Lookup();
  std::unique_lock lock(lookup.mutex);
  lookup.done_changed.wait_for(lock, wait, [&] { return lookup.done; });
  return lookup.done ? lookup.name : QString();
}

}  // namespace qv::qt
