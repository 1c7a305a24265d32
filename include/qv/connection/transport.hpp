// The byte stream under the connection core: connect, write what can be taken
// now, and report what arrived, the peer's end and failures. The TCP socket
// (StreamTransport) sits at the bottom; a filter (TLS) may sit between it and
// the core and is itself a Transport. Scripted transports drive the core in
// tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "qv/connection/export.hpp"
#include "qv/core/types.hpp"

namespace qv::connection {

// What a transport tells the core, on the loop's thread, never from inside a
// call of the core into the transport.
class QV_CONNECTION_EXPORT TransportEvents {
 public:
  // The name has been resolved and the first address is being tried.
  virtual void OnTransportResolved() {}
  virtual void OnTransportConnected() = 0;
  // Bytes that arrived, in order; the view lives only during the call.
  virtual void OnTransportReceived(std::string_view bytes) = 0;
  // After a Write that took less than it was offered: more can be taken now.
  virtual void OnTransportWritable() = 0;
  // The peer ended its side in order; nothing more will arrive.
  virtual void OnTransportPeerClosed() = 0;
  // The connection failed and is over. number: a socket_error number, or the
  // system's; description: a plain sentence (UTF-8).
  virtual void OnTransportFailed(Long number, const std::string& description) = 0;

 protected:
  ~TransportEvents() = default;
};

class QV_CONNECTION_EXPORT Transport {
 public:
  // Ends the connection at once; no event follows.
  virtual ~Transport() = default;

  // Must be set before Connect; nullptr stops every event at once (the
  // transport may then be destroyed later, from the loop).
  virtual void SetEvents(TransportEvents* events) = 0;
  // Starts resolving host (a name, or an address literal without brackets;
  // UTF-8) and connecting to each of its addresses in turn. The outcome comes
  // as OnTransportConnected or OnTransportFailed.
  virtual void Connect(const std::string& host, std::uint16_t port) = 0;
  // Offers the pieces in order, without waiting; returns how many bytes were
  // taken. Less than offered: OnTransportWritable follows once more can be
  // taken. A failure comes as OnTransportFailed, from the loop.
  virtual std::size_t Write(std::span<const std::string_view> pieces) = 0;
  // Reading stops while false (a peer cannot fill memory behind an owner that
  // does not fetch) and resumes when true again. True after connecting.
  virtual void SetReading(bool reading) = 0;
  // Bytes taken by Write that the peer has not yet acknowledged; -1 when
  // this transport cannot tell.
  virtual long Unacknowledged() = 0;
  // The connection's own address as an address literal ("[127.0.0.1]",
  // "[IPv6:::1]"); empty when not connected.
  virtual std::string LocalAddressLiteral() = 0;
  // Half-closes: the peer sees the end of our text once it has it all.
  virtual void ShutdownSend() = 0;
};

}  // namespace qv::connection
