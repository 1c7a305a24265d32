// The TCP socket service on the event loop.
//
// Connect resolves the name and connects without blocking, trying every
// address the name resolves to (IPv4 and IPv6) in turn. Text goes out as UTF-8
// in call order; received bytes are decoded as UTF-8 (a byte that fits no
// sequence becomes the character of its value; a sequence cut at the end of a
// piece waits for the next piece). Notifications go through a DeliveryGate.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "qv/core/types.hpp"
#include "qv/core/variant.hpp"
#include "qv/host/socket.hpp"
#include "qv/runtime/event_loop.hpp"
#include "qv/runtime/export.hpp"

namespace qv::runtime {

// The socket error numbers are the socket interface's own.
namespace socket_error = ::qv::socket_error;

// Which way a traced piece went.
enum class WireDirection { kSent, kReceived };

struct QV_RUNTIME_EXPORT SocketOptions {
  // When not 0, Connect uses this port whenever port 25 is asked for (a local
  // relay on an unprivileged port, or a test server).
  std::uint16_t port_25_redirect = 0;
  // After Close, text already queued still goes out for at most this long;
  // then the connection is dropped.
  std::chrono::milliseconds close_linger{5000};
  // Size of the read buffer, allocated when a connection starts.
  std::size_t read_buffer_size = 4096;
  // Reading pauses while this many received bytes wait for GetData, so that a
  // peer cannot fill memory behind an owner that does not fetch.
  std::size_t receive_limit = 1 << 20;
  // While text handed to SendData has not all been taken by the peer, a
  // connection whose unsent and unacknowledged byte count does not move for
  // this long fails with socket_error::kTimedOut.
  std::chrono::milliseconds stall_limit{60000};
  // The name ReadSetting(5) gives (UTF-8), for example for HELO. Empty: the
  // machine's fully qualified name when the system knows one, otherwise an
  // address literal of the connection's local address ("[127.0.0.1]",
  // "[IPv6:::1]"). A name holding a space or a control character is refused
  // by the constructor with 380.
  std::string local_host_name;
  // Called on the loop's thread with every piece handed to SendData (the
  // UTF-8 that goes out, as it starts to leave; a text given to SendText in
  // the parts it is encoded in) and every piece received (the bytes as they
  // came), in order, while the connection belongs to the socket (not after
  // Close).
  // The view is valid only during the call. It must not call back into the
  // socket.
  std::function<void(WireDirection, std::string_view)> wire_trace;
};

namespace detail {
class SocketCore;
}

class QV_RUNTIME_EXPORT AsioSocket final : public Socket {
 public:
  // Notifications share the loop's gate, or the given one. The loop must
  // outlive the socket.
  explicit AsioSocket(EventLoop& loop, SocketOptions options = {});
  AsioSocket(EventLoop& loop, DeliveryGate& gate, SocketOptions options = {});
  // Closes as Close does; queued text may still go out after destruction.
  ~AsioSocket() override;
  AsioSocket(const AsioSocket&) = delete;
  AsioSocket& operator=(const AsioSocket&) = delete;

  void SetEvents(SocketEvents* events) override;

  // 0 closed, 4 resolving, 5 resolved, 6 connecting, 7 connected, 8 the peer
  // has closed its side, 9 error.
  Integer State() override;
  // State is 0 at once and no notification follows. Text already handed to
  // SendData still goes out (bounded by close_linger), then the connection
  // ends; the peer's further text is discarded.
  void Close() override;
  // 1, 2, 3 and 10 are accepted while closed (or after an error or the peer's
  // close) and clear what an earlier connection left unfetched. Other ids fail
  // with 380; writing while a connection is open fails with 40020.
  void WriteSetting(Integer id, const Variant& value) override;
  // 5: the local host's name as SocketOptions::local_host_name describes. The
  // first read may wait up to a second for the system's name lookup (started
  // with the first socket); one that takes longer gives the address literal.
  // Without a connection and without a fully qualified name it is the
  // system's host name. Other ids fail with 380.
  Variant ReadSetting(Integer id) override;
  // Throws 40020 unless closed, 380 for port 0. Port 25 follows
  // port_25_redirect. The port is read as unsigned 16 bits. Every other
  // failure (empty or unknown name, refusal, ...) comes as OnError.
  void Connect(const String& remote_host, Integer remote_port) override;
  // Converts text to UTF-8 once and queues it. What one handler queues goes
  // out in one system call once it returns. Throws 40006 unless connected.
  void SendData(const String& text) override;
  // Encoded a part at a time as the connection drains, into one reused
  // buffer; queued in call order with the other writes.
  void SendText(std::unique_ptr<OutgoingText> text) override;
  // ASCII goes out as it is; other text as SendData would send it.
  void SendUtf8(std::string_view bytes) override;
  String GetData() override;
  // True: after RequestSendComplete, OnSendComplete follows once the peer has
  // acknowledged everything handed over (the kernel's unsent and
  // unacknowledged count is 0), and a send that stalls for
  // SocketOptions::stall_limit meanwhile fails with OnError.
  bool ReportsSendComplete() const override { return true; }
  void RequestSendComplete() override;

  // Bytes received and not yet fetched with GetData.
  std::size_t BytesWaiting() const;
  // Bytes handed to SendData and not yet written to the connection (a text
  // not yet encoded counts one byte per UTF-16 unit).
  std::size_t BytesQueued() const;

 private:
  std::shared_ptr<detail::SocketCore> core_;
};

// The local host's name from the operating system ("localhost" if it has none).
QV_RUNTIME_EXPORT String LocalHostName();

// The machine's fully qualified name (UTF-8): the canonical name of the host
// name when it holds a dot, otherwise empty. Looked up once per process; waits
// at most for the given time for that lookup, and is empty until it is done.
QV_RUNTIME_EXPORT std::string FullyQualifiedHostName(
    std::chrono::milliseconds wait = std::chrono::seconds(1));

}  // namespace qv::runtime
