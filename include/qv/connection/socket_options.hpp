// The settings of a socket service, the same on every host.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "qv/connection/export.hpp"

namespace qv::connection {

// Which way a traced piece went. kSecured marks where TLS began: the piece is
// the protocol version and cipher agreed, and what follows (both ways) is the
// clear text of the encrypted stream.
enum class WireDirection { kSent, kReceived, kSecured };

struct QV_CONNECTION_EXPORT SocketOptions {
  // When not 0, Connect goes to this port instead of the one asked for (the
  // control always asks for 25): a relay on another port, or a test server.
  std::uint16_t port = 0;
  // After Close, text already queued still goes out for at most this long;
  // then the connection is dropped.
  std::chrono::milliseconds close_linger{5000};
  // Size of the read buffer, allocated when a connection starts (at least 64).
  std::size_t read_buffer_size = 4096;
  // Reading pauses while this many received bytes wait for GetData, so that a
  // peer cannot fill memory behind an owner that does not fetch.
  std::size_t receive_limit = 1 << 20;
  // While text handed over has not all been taken by the peer and its owner
  // waits for that (RequestSendComplete), a connection whose unsent and
  // unacknowledged byte count does not move for this long fails with
  // socket_error::kTimedOut.
  std::chrono::milliseconds stall_limit{60000};
  // The name ReadSetting(5) gives (UTF-8), for HELO. Empty: the machine's
  // fully qualified name once the background lookup started with the first
  // socket has found one, otherwise an address literal of the connection's
  // local address ("[127.0.0.1]", "[IPv6:::1]"). Never waits. A name holding
  // a space or a control character is refused by the socket's constructor
  // with 380.
  std::string local_host_name;
  // Called on the loop's thread with every piece sent (the UTF-8 that goes
  // out, as it starts to leave, in wire order) and every piece received (as it
  // came), while the connection belongs to the socket (not after Close). The
  // view is valid only during the call; it must not call back into the
  // socket.
  std::function<void(WireDirection, std::string_view)> wire_trace;
};

}  // namespace qv::connection
