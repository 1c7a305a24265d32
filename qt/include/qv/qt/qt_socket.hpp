// The TCP socket service on QTcpSocket (the control's Winsock1), on Qt's event
// loop.
//
// Connect resolves the name (QHostInfo, without blocking) and tries each
// address it gives. Text goes out as UTF-8 in call order, buffered by
// QTcpSocket, without blocking; received bytes are decoded as UTF-8 (a byte
// that fits no sequence becomes the character of its value; a sequence cut at
// the end of a piece waits for the next piece). Notifications pass through the
// control's DeliveryGate. Errors carry the socket interface's numbers
// (qv::socket_error), as the Asio runtime's socket does, and a plain sentence.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include <QString>

#include "qv/core/types.hpp"
#include "qv/core/variant.hpp"
#include "qv/host/socket.hpp"
#include "qv/qt/delivery_gate.hpp"
#include "qv/qt/export.hpp"

namespace qv::qt {

// The socket error numbers are the socket interface's own.
namespace socket_error = ::qv::socket_error;

struct SocketOptions {
  // When not 0, Connect uses this port whenever port 25 is asked for (a local
  // relay on an unprivileged port, or a test server).
  std::uint16_t port_25_redirect = 0;
  // After Close, text already queued still goes out for at most this long;
  // then the connection is dropped.
  std::chrono::milliseconds close_linger{5000};
  // Reading pauses while this many received bytes wait for GetData, so that a
  // peer cannot fill memory behind an owner that does not fetch.
  std::size_t receive_limit = 1 << 20;
  // While text handed to SendData has not all been taken by the peer, a
  // connection whose unsent and unacknowledged byte count does not move for
  // this long fails with socket_error::kTimedOut.
  std::chrono::milliseconds stall_limit{60000};
  // The name ReadSetting(5) gives, for HELO. Empty: the machine's fully
  // qualified name when the system knows one, otherwise an address literal of
  // the connection's local address ("[127.0.0.1]", "[IPv6:::1]"). A name
  // holding a space or a control character is refused by the constructor
  // with 380.
  QString local_host_name;
};

class QV_QT_EXPORT QtSocket final : public Socket {
 public:
  // The gate must outlive the socket. Lives on the creating thread, which
  // must run a Qt event loop.
  explicit QtSocket(DeliveryGate& gate, SocketOptions options = {});
  // Closes as Close does.
  ~QtSocket() override;
  QtSocket(const QtSocket&) = delete;
  QtSocket& operator=(const QtSocket&) = delete;

  void SetEvents(SocketEvents* events) override;
  // 0 closed, 4 resolving, 6 connecting, 7 connected, 8 the peer has closed
  // its side, 9 error.
  Integer State() override;
  // State is 0 at once and no notification follows. Text already handed to
  // SendData still goes out (bounded by close_linger), then the connection
  // ends.
  void Close() override;
  // 1, 2, 3 and 10 are accepted while closed and clear what an earlier
  // connection left unfetched. Other ids fail with 380; writing while a
  // connection is open fails with 40020.
  void WriteSetting(Integer id, const Variant& value) override;
  // 5: the name for HELO, as SocketOptions::local_host_name describes; never
  // waits for the name service (the fully qualified name is looked up in the
  // background from the first socket on). Without a connection and without a
  // fully qualified name it is the system's host name. Other ids fail with 380.
  Variant ReadSetting(Integer id) override;
  // Throws 40020 unless closed, 380 for port 0. Port 25 follows
  // port_25_redirect; the port is read as unsigned 16 bits. Every other
  // failure (empty or unknown name, refusal, ...) comes as OnError.
  void Connect(const String& remote_host, Integer remote_port) override;
  // Throws 40006 unless connected.
  void SendData(const String& text) override;
  // Encoded at once, a piece at a time, into QTcpSocket's write buffer (which
  // holds the UTF-8 until the kernel takes it); no UTF-16 copy of the whole.
  void SendText(std::unique_ptr<OutgoingText> text) override;
  // Written as given. Both throw 40006 unless connected.
  void SendUtf8(std::string_view bytes) override;
  String GetData() override;
  // True: see OnSendComplete above; a send that stalls for
  // SocketOptions::stall_limit fails with OnError.
  bool ReportsSendComplete() const override { return true; }

  // Bytes handed to SendData and not yet written to the connection.
  std::size_t BytesQueued() const;
  // The options in force.
  const SocketOptions& options() const;
  // Changes the port redirect (SocketOptions::port_25_redirect) for the next
  // Connect; the other options stay as constructed, where they were checked.
  void SetPort25Redirect(std::uint16_t port);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The local host's name ("localhost" if it has none).
QV_QT_EXPORT String LocalHostName();

// The machine's fully qualified name: the canonical name of the host name when
// it holds a dot, otherwise empty. Looked up once per process on a thread of
// its own; waits at most for the given time, and is empty until it is done.
QV_QT_EXPORT QString FullyQualifiedHostName(std::chrono::milliseconds wait = {});

}  // namespace qv::qt
