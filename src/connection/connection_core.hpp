// The socket service's working part: the states, the write queue, write
// completion and the stall limit, the decoding of what arrives, and the
// notifications through the gate. It drives a Transport and does no I/O of
// its own, so every host and every filter below it behave alike.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qv/connection/connection_socket.hpp"
#include "qv/connection/tls_filter.hpp"
#include "qv/core/text.hpp"

namespace qv::connection {

class Connection;

class ConnectionCore : public std::enable_shared_from_this<ConnectionCore> {
 public:
  ConnectionCore(Loop& loop, DeliveryGate& gate, SocketOptions options,
                 TransportFactory make_transport);

  void SetEvents(SocketEvents* events) { events_ = events; }
  Integer State() const { return state_; }
  void Close();
  // Close, and no notification ever again (the socket is going away).
  void Shutdown();
  void WriteSetting(Integer id);
  std::string HeloName() const;
  void Connect(const String& remote_host, Integer remote_port);
  void SendData(const String& text);
  void SendText(std::unique_ptr<OutgoingText> text);
  void SendUtf8(std::string_view bytes);
  void SendSecret(const String& text, const String& shown);
  void RequestSendComplete();
  String GetData();
  void StartTls(const TlsRequest& request);
  String TlsDescription() const;
  std::size_t BytesWaiting() const { return bytes_waiting_; }
  std::size_t BytesQueued() const;
  const SocketOptions& options() const { return options_; }
  void SetPort(std::uint16_t port) { options_.port = port; }

 private:
  friend class Connection;

  void RequireConnected() const;
  void ClearLeftovers();
  void Trace(WireDirection direction, std::string_view bytes) const;
  void TraceSecured() const;

  // From the connection that belongs to the socket.
  void Resolved();
  void Connected();
  void Secured();
  void Received(std::string_view bytes);
  void PeerClosed();
  void Failed(Long number, const std::string& description);
  void ReportSendComplete();
  void QueueArrival();

  Loop& loop_;
  DeliveryGate& gate_;
  SocketOptions options_;
  TransportFactory make_transport_;
  SocketEvents* events_ = nullptr;
  Integer state_ = socket_state::kClosed;
  std::shared_ptr<Connection> conn_;
  // Asked for before Connect: the next connection speaks TLS from its start.
  std::optional<TlsSettings> implicit_tls_;
  // The port of the running connection, for the TLS sessions it may resume.
  std::uint16_t connected_port_ = 0;
  // The connection's TLS, once it has one; it lives as long as conn_.
  TlsFilter* tls_ = nullptr;
  String incoming_;
  Utf8StreamDecoder decoder_;
  std::size_t bytes_waiting_ = 0;
  bool arrival_queued_ = false;
};

}  // namespace qv::connection
