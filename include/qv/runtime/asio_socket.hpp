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
#include <memory>

#include "qv/core/types.hpp"
#include "qv/core/variant.hpp"
#include "qv/host/socket.hpp"
#include "qv/runtime/event_loop.hpp"

namespace qv::runtime {

// Numbers of the errors the socket reports, through OnError or thrown as
// AutomationError.
namespace socket_error {
inline constexpr Long kInvalidPropertyValue = 380;
inline constexpr Long kWrongProtocolOrState = 40006;
inline constexpr Long kInvalidOperation = 40020;
inline constexpr Long kAddressFamilyNotSupported = 10047;
inline constexpr Long kNetworkUnreachable = 10051;
inline constexpr Long kConnectionAborted = 10053;
inline constexpr Long kConnectionReset = 10054;
inline constexpr Long kConnectionShutDown = 10058;
inline constexpr Long kTimedOut = 10060;
inline constexpr Long kConnectionRefused = 10061;
inline constexpr Long kHostUnreachable = 10065;
inline constexpr Long kHostNotFound = 11001;
inline constexpr Long kTryAgain = 11002;
inline constexpr Long kNoData = 11004;
}  // namespace socket_error

struct SocketOptions {
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
};

namespace detail {
class SocketCore;
}

class AsioSocket final : public Socket {
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
  // 5: the local host's name from the operating system. Other ids fail with 380.
  Variant ReadSetting(Integer id) override;
  // Throws 40020 unless closed, 380 for port 0. Port 25 follows
  // port_25_redirect. The port is read as unsigned 16 bits. Every other
  // failure (empty or unknown name, refusal, ...) comes as OnError.
  void Connect(const String& remote_host, Integer remote_port) override;
  // Converts text to UTF-8 once and queues it. Throws 40006 unless connected.
  void SendData(const String& text) override;
  String GetData() override;

  // Bytes received and not yet fetched with GetData.
  std::size_t BytesWaiting() const;
  // Bytes handed to SendData and not yet written to the connection.
  std::size_t BytesQueued() const;

 private:
  std::shared_ptr<detail::SocketCore> core_;
};

// The local host's name from the operating system ("localhost" if it has none).
String LocalHostName();

}  // namespace qv::runtime
