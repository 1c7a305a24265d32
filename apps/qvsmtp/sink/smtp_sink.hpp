// The program's receiving SMTP server, for trying the control without a mail
// server: each connection is an SmtpSinkSession of the testing library (every
// sender and recipient accepted) behind a non-blocking TCP socket, and each
// message goes to a store, a Maildir for `qvsmtp sink` and `qvsmtp demo`.
// Given a certificate it offers STARTTLS, and TLS from the first byte on a
// port of its own. Given a credential check it requires AUTH before MAIL
// (offered once encrypted when STARTTLS is). Its TLS writes to the socket
// itself: the program ignores SIGPIPE.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "qv/connection/loop.hpp"
#include "qv/testing/sink_store.hpp"
#include "qv/testing/smtp_sink_session.hpp"
#include "sink/sink_tls.hpp"

namespace qvsmtp {

struct SmtpSinkOptions {
  // A numeric address or a name to resolve; brackets around IPv6 allowed.
  std::string address = "127.0.0.1";
  // 0: a free port chosen by the system (see SmtpSink::port).
  std::uint16_t port = 2525;
  // A connection that sends nothing for this long gets 421 and is closed.
  std::chrono::milliseconds idle_limit{std::chrono::minutes(5)};
  // Connections beyond this many get 421 at once.
  std::size_t max_connections = 100;
  // With a certificate: STARTTLS is offered on the port above.
  std::shared_ptr<SinkTls> tls;
  // With tls: a second port on the same address where TLS starts with the
  // first byte (0: a free port chosen by the system).
  std::optional<std::uint16_t> implicit_tls_port;
  // Set: every connection must authenticate with credentials it accepts
  // before MAIL (see SmtpSinkSession::RequireAuth).
  qv::testing::SmtpSinkSession::CredentialCheck auth_check;
  // Told why a client's TLS handshake failed (the connection is closed).
  std::function<void(const std::string&)> tls_failed;
};

namespace detail {
class SinkCore;
}

// The server on a loop (the program runs the sink and its controls on one).
// Its handlers run inside whoever runs the loop, on that thread; create, use
// and destroy the sink there. It takes no part in
// the DeliveryGate of any control, so a control's handler that steps the loop
// does not hold the server back.
class SmtpSink {
 public:
  // Listens at once. Throws qv::AutomationError with a socket error number
  // (10048 address in use, 10049 address not available, 10013 permission
  // denied, 11001 unknown name, ...) when it cannot. loop, store and
  // observer must outlive the sink.
  SmtpSink(qv::connection::Loop& loop, qv::testing::SinkStore& store,
           qv::testing::SinkObserver observer, SmtpSinkOptions options = {});
  // Stops listening and drops every connection; messages not yet
  // acknowledged are discarded.
  ~SmtpSink();
  SmtpSink(const SmtpSink&) = delete;
  SmtpSink& operator=(const SmtpSink&) = delete;

  // The address listened on, numeric, and the port (the chosen one for 0).
  std::string address() const;
  std::uint16_t port() const;
  // The port of TLS from the first byte; 0 without one.
  std::uint16_t implicit_tls_port() const;
  // Stops taking connections; those already open go on.
  void StopListening();
  std::size_t OpenConnections() const;
  // Messages stored so far.
  std::uint64_t MessagesStored() const;

 private:
  std::shared_ptr<detail::SinkCore> core_;
};

}  // namespace qvsmtp
