// The socket service the control drives (qv::Socket), written once for every
// host: settings and states, error numbers, the write queue and its
// accounting, write completion, the stall limit, UTF-8 decoding, the HELO
// name and the wire trace. It does no I/O itself: it drives a Transport made
// for each connection (by default a TCP StreamTransport on the loop), and
// notifies its owner through a DeliveryGate.
//
// Connect resolves and connects without blocking, trying every address of
// the name in turn. Text goes out as UTF-8 in call order (ill-formed UTF-8
// given to SendUtf8 goes out as SendData would send its decoded form);
// received bytes are decoded as UTF-8 (a byte that fits no sequence becomes
// the character of its value; a sequence cut at the end of a piece waits for
// the next piece).
//
// Thread: the loop's. The loop and the gate must outlive the socket.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

#include "qv/connection/delivery_gate.hpp"
#include "qv/connection/export.hpp"
#include "qv/connection/loop.hpp"
#include "qv/connection/socket_options.hpp"
#include "qv/connection/transport.hpp"
#include "qv/core/types.hpp"
#include "qv/core/variant.hpp"
#include "qv/host/socket.hpp"

namespace qv::connection {

// Makes the transport of one connection.
using TransportFactory = std::function<std::unique_ptr<Transport>()>;

class ConnectionCore;

class QV_CONNECTION_EXPORT ConnectionSocket final : public Socket {
 public:
  // Connections are TCP StreamTransports on loop.
  ConnectionSocket(Loop& loop, DeliveryGate& gate, SocketOptions options = {});
  // Connections are made by make_transport (a scripted one, or a filter over
  // a StreamTransport).
  ConnectionSocket(Loop& loop, DeliveryGate& gate, SocketOptions options,
                   TransportFactory make_transport);
  // Closes as Close does; queued text may still go out after destruction.
  ~ConnectionSocket() override;
  ConnectionSocket(const ConnectionSocket&) = delete;
  ConnectionSocket& operator=(const ConnectionSocket&) = delete;

  void SetEvents(SocketEvents* events) override;
  // 0 closed, 4 resolving, 6 connecting, 7 connected, 8 the peer has closed
  // its side, 9 error.
  Integer State() override;
  // State is 0 at once and no notification follows. Text already handed over
  // still goes out (bounded by close_linger), then the connection ends; the
  // peer's further text is discarded.
  void Close() override;
  // 1, 2, 3 and 10 are accepted while no connection is open (closed, after an
  // error or the peer's close: the state is then 0) and clear what an earlier
  // connection left unfetched. Other ids fail with 380; writing while a
  // connection is open fails with 40020.
  void WriteSetting(Integer id, const Variant& value) override;
  // 5: the name for HELO, as SocketOptions::local_host_name describes. Other
  // ids fail with 380.
  Variant ReadSetting(Integer id) override;
  // Throws 40020 unless closed, 380 for port 0. SocketOptions::port, when not
  // 0, replaces the port; the port is read as unsigned 16 bits. Every other
  // failure (empty or unknown name, refusal, ...) comes as OnError.
  void Connect(const String& remote_host, Integer remote_port) override;
  // Converts text to UTF-8 once and queues it. What one handler queues goes
  // out together once it returns. Throws 40006 unless connected.
  void SendData(const String& text) override;
  // Encoded a part at a time as the connection drains, into one reused
  // buffer; queued in call order with the other writes.
  void SendText(std::unique_ptr<OutgoingText> text) override;
  // ASCII goes out as it is; other text as SendData would send it.
  void SendUtf8(std::string_view bytes) override;
  // The trace sees shown (as UTF-8, with CR LF) in place of text; the
  // queued bytes are overwritten once they have been written.
  void SendSecret(const String& text, const String& shown) override;
  String GetData() override;
  // True: after RequestSendComplete, OnSendComplete follows once the peer has
  // acknowledged everything handed over, and a send that stalls for
  // SocketOptions::stall_limit meanwhile fails with OnError (also once the
  // peer has closed its side).
  bool ReportsSendComplete() const override { return true; }
  void RequestSendComplete() override;
  // TLS through a TlsFilter over the connection's transport, as Socket
  // describes; verification as TlsFilter describes.
  void StartTls(const TlsRequest& request) override;
  String TlsDescription() override;

  // Bytes received and not yet fetched with GetData.
  std::size_t BytesWaiting() const;
  // Bytes handed over and not yet written to the connection (a text not yet
  // encoded counts by estimate).
  std::size_t BytesQueued() const;
  const SocketOptions& options() const;
  // The port for the next Connect (SocketOptions::port).
  void SetPort(std::uint16_t port);

 private:
  std::shared_ptr<ConnectionCore> core_;
};

}  // namespace qv::connection
