// TLS between the connection core and the transport below it, written once
// for every host: OpenSSL works on memory buffers only, and the filter moves
// bytes between them and the transport below, so any transport (the TCP
// socket, a scripted one in tests) carries it.
//
// The filter is itself a Transport. Made over a transport that is still to
// connect, it speaks TLS from the first byte (implicit TLS): the upper side is
// told it is connected once the handshake is done. Made over a connected
// transport (after a server's 220 to STARTTLS), it starts the handshake at
// once and tells OnTransportConnected when it is done.
//
// Verification is on unless asked off: the server's chain against the
// system's trust store (or the given CA file), its name against the name
// given (an IP address against the certificate's IP entries), SNI for names,
// TLS 1.2 at least.
//
// Filters of one process share a context per trust choice, so the trust
// store is read once, and keep the last session each server handed out for
// the same name and trust choice: the next connection resumes it, which
// costs a round trip and no certificate work instead of a full handshake.
// Only sessions whose certificate was verified are kept.
//
// Thread: the loop's, as the transport below.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "qv/connection/export.hpp"
#include "qv/connection/loop.hpp"
#include "qv/connection/transport.hpp"
#include "qv/core/types.hpp"
#include "qv/host/socket.hpp"

namespace qv::connection {

namespace tls_error = qv::tls_error;

struct QV_CONNECTION_EXPORT TlsSettings {
  // The server's name as the user gave it (a name or an IP address): checked
  // against the certificate, and sent as SNI when it is a name.
  std::string server_name;
  // A PEM file of CAs trusted instead of the system's (a private relay).
  std::string ca_file;
  // Off only when a host asks: the certificate is then not checked at all.
  bool verify = true;
  // The server's port: a session is resumed only with the service that
  // gave it, never with another listener that shares its keys.
  std::uint16_t port = 0;
};

// What was agreed, once the handshake is done.
struct QV_CONNECTION_EXPORT TlsSession {
  std::string version;  // "TLSv1.3"
  std::string cipher;   // "TLS_AES_256_GCM_SHA384"
  // The handshake resumed a session this process had with the server (a
  // ticket it handed out before), instead of a full one.
  bool resumed = false;
};

class QV_CONNECTION_EXPORT TlsFilter final : public Transport {
 public:
  // below: the transport the encrypted stream travels on; loop: where the
  // filter's own notifications are posted (never inside a call into it). A
  // setup failure (an unreadable CA file) is reported as OnTransportFailed
  // once the handshake would start.
  TlsFilter(Loop& loop, std::unique_ptr<Transport> below, TlsSettings settings);
  ~TlsFilter() override;
  TlsFilter(const TlsFilter&) = delete;
  TlsFilter& operator=(const TlsFilter&) = delete;

  void SetEvents(TransportEvents* events) override;
  void Connect(const std::string& host, std::uint16_t port) override;
  // Starts the handshake over a transport that is already connected.
  void StartHandshake();
  // Clear text taken; nothing before the handshake is done.
  std::size_t Write(std::span<const std::string_view> pieces) override;
  // While not reading, what arrives waits in OpenSSL and then in the filter,
  // and the transport below stops; reading again, the waiting text comes
  // first, in order, and the connection's end (told once, by close_notify
  // or by the transport's end) only after it.
  void SetReading(bool reading) override;
  // The transport's count plus the encrypted bytes not yet handed to it.
  long Unacknowledged() override;
  std::string LocalAddressLiteral() override;
  // Sends TLS's close_notify, then half-closes the transport.
  void ShutdownSend() override;

  // Empty until the handshake is done.
  const TlsSession& session() const;

 private:
  class Engine;
  std::unique_ptr<Engine> engine_;
};

}  // namespace qv::connection
