// The TCP socket service that the control drives (its inner component Winsock1).
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string_view>

#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"
#include "qv/core/types.hpp"
#include "qv/core/variant.hpp"
#include "qv/export.hpp"

namespace qv {

// The usual socket state numbering.
namespace socket_state {
inline constexpr Integer kClosed = 0;
inline constexpr Integer kOpen = 1;
inline constexpr Integer kListening = 2;
inline constexpr Integer kConnectionPending = 3;
inline constexpr Integer kResolvingHost = 4;
inline constexpr Integer kHostResolved = 5;
inline constexpr Integer kConnecting = 6;
inline constexpr Integer kConnected = 7;
inline constexpr Integer kPeerClosing = 8;
inline constexpr Integer kError = 9;
}  // namespace socket_state

// Numbered settings of the socket.
namespace socket_setting {
inline constexpr Integer kLocalPort = 1;
inline constexpr Integer kRemotePort = 2;
inline constexpr Integer kProtocol = 3;       // 0: TCP
inline constexpr Integer kLocalHostName = 5;  // read-only text, the name sent with HELO
inline constexpr Integer kRemoteHost = 10;    // text

// A stored setting cleared to zero, or to the empty text.
struct QV_EXPORT Cleared {
  Integer id;
  bool text;
};

// What a control clears, in this order, when it is created and before every
// connection, so that nothing of an earlier connection carries over. A socket
// without stored settings accepts these writes and clears what it keeps.
inline constexpr std::array<Cleared, 4> kClearedBeforeConnect = {{
    {kRemotePort, false},
    {kLocalPort, false},
    {kRemoteHost, true},
    {kProtocol, false},
}};

// Whether id is one of the settings above that can be written.
constexpr bool IsClearable(Integer id) {
  for (const Cleared& setting : kClearedBeforeConnect) {
    if (setting.id == id) return true;
  }
  return false;
}

// The value a cleared setting is written with.
inline Variant ClearedValue(const Cleared& setting) {
  return setting.text ? Variant(String()) : Variant(Long{0});
}
}  // namespace socket_setting

// Numbers of the errors a socket service reports, through OnError or thrown
// as AutomationError. Every socket service uses these, so a host tells a
// refusal from a reset the same way whichever loop it runs on.
namespace socket_error {
inline constexpr Long kInvalidPropertyValue = 380;
inline constexpr Long kWrongProtocolOrState = 40006;
inline constexpr Long kInvalidOperation = 40020;
inline constexpr Long kPermissionDenied = 10013;
inline constexpr Long kAddressFamilyNotSupported = 10047;
inline constexpr Long kAddressInUse = 10048;
inline constexpr Long kAddressNotAvailable = 10049;
inline constexpr Long kNetworkUnreachable = 10051;
inline constexpr Long kConnectionAborted = 10053;
inline constexpr Long kConnectionReset = 10054;
inline constexpr Long kNoBufferSpace = 10055;
inline constexpr Long kConnectionShutDown = 10058;
inline constexpr Long kTimedOut = 10060;
inline constexpr Long kConnectionRefused = 10061;
inline constexpr Long kHostUnreachable = 10065;
inline constexpr Long kHostNotFound = 11001;
inline constexpr Long kTryAgain = 11002;
inline constexpr Long kNoData = 11004;
}  // namespace socket_error

// Numbers of the TLS failures, one per kind, so that a host tells an
// untrusted certificate from a handshake the server broke off.
namespace tls_error {
inline constexpr Long kHandshakeFailed = 20001;    // the peer's answer was not TLS, or refused
inline constexpr Long kUntrusted = 20002;          // the chain leads to no trusted CA
inline constexpr Long kNameMismatch = 20003;       // the certificate is for another name
inline constexpr Long kExpired = 20004;            // not yet or no longer valid
inline constexpr Long kClosedInHandshake = 20005;  // the peer ended the connection first
inline constexpr Long kSetupFailed = 20006;        // a CA file that cannot be read, ...
// Text arrived after the server's go-ahead and before the handshake: on a
// clean path there is none, so it was put there by something in between.
inline constexpr Long kTextBeforeHandshake = 20007;
}  // namespace tls_error

// What the server's certificate is checked against when a connection turns
// to TLS. Verification is never skipped: the chain must lead to a trusted CA
// and the certificate must name the server.
struct QV_EXPORT TlsRequest {
  // The server as the user named it: a host name (checked against the
  // certificate and sent as SNI) or an address (checked against its IP
  // entries).
  String server_name;
  // A PEM file of CAs trusted instead of the system's store (a private
  // relay); empty: the system's store.
  String ca_file;
};

// What the socket tells its owner. Delivered on the owner's thread, never
// while another notification or a timer tick is being handled.
class QV_EXPORT SocketEvents {
 public:
  virtual void OnConnect() = 0;
  // bytes_total: bytes waiting to be fetched with GetData.
  virtual void OnDataArrival(Long bytes_total) = 0;
  virtual void OnError(Long number, const String& description) = 0;
  // Everything handed to SendData so far has been taken by the peer (not
  // merely buffered on this side). Raised only by sockets whose
  // ReportsSendComplete is true: after RequestSendComplete, once; some
  // sockets also raise it unasked.
  virtual void OnSendComplete() {}
  // The handshake that StartTls began on a connected socket is done; from
  // now on text goes both ways encrypted. A failed handshake comes as OnError.
  virtual void OnSecured() {}

 protected:
  ~SocketEvents() = default;
};

// Text handed over whole that a socket may encode piece by piece as the
// connection drains, so that a long text is never held a second time.
class QV_EXPORT OutgoingText {
 public:
  virtual ~OutgoingText() = default;
  // Writes the UTF-8 of the next part at out, at most room bytes (room is at
  // least kMinRoom), and returns how many; 0 only once everything is out.
  virtual std::size_t Encode(char* out, std::size_t room) = 0;
  // UTF-8 bytes still to come; an estimate where the text is not ASCII.
  virtual std::size_t Remaining() const = 0;
  // The whole text, for sockets that take text whole.
  virtual String Whole() const = 0;

  static constexpr std::size_t kMinRoom = 64;
};

class QV_EXPORT Socket {
 public:
  virtual ~Socket() = default;

  // nullptr detaches. The socket never calls a detached owner.
  virtual void SetEvents(SocketEvents* events) = 0;

  virtual Integer State() = 0;
  // Ends the connection; State is 0 afterwards. Accepted in every state.
  virtual void Close() = 0;
  virtual void WriteSetting(Integer id, const Variant& value) = 0;
  virtual Variant ReadSetting(Integer id) = 0;
  // Starts resolving and connecting and returns at once; the outcome comes as
  // OnConnect or OnError. Throws AutomationError when the request itself is
  // refused.
  virtual void Connect(const String& remote_host, Integer remote_port) = 0;
  // Queues text for the peer; pieces go out in call order. Throws
  // AutomationError when no connection can take it.
  virtual void SendData(const String& text) = 0;
  // The same on the wire as SendData(text->Whole()), in the same order with
  // the other writes; the socket may encode it as the connection drains.
  virtual void SendText(std::unique_ptr<OutgoingText> text) { SendData(text->Whole()); }
  // UTF-8 text (a host's own): the same on the wire as
  // SendData(FromUtf8(bytes)), without the round trip through UTF-16.
  virtual void SendUtf8(std::string_view bytes) { SendData(FromUtf8(bytes)); }
  // Text that carries a secret (a password, a token): on the wire exactly as
  // SendData(text); wherever the socket shows what it sent (a trace, a
  // record), shown stands in its place. A socket that keeps a copy of the
  // text overwrites it once sent.
  virtual void SendSecret(const String& text, const String& shown) {
    static_cast<void>(shown);
    SendData(text);
  }
  // All received text not yet fetched.
  virtual String GetData() = 0;
  // True when the socket raises OnSendComplete. A socket that does must also
  // end a send that stops making progress with OnError, since its owner then
  // waits for the notification without a limit of its own.
  virtual bool ReportsSendComplete() const { return false; }
  // Asks for OnSendComplete once the peer has taken everything handed over
  // so far. Following the peer's progress costs system calls and timers, so a
  // socket may follow it only when asked. Does nothing when not connected.
  virtual void RequestSendComplete() {}

  // Turns the connection to TLS. Closed: the next Connect speaks TLS from its
  // first byte and OnConnect comes once the handshake is done. Connected
  // (after the server's go-ahead to STARTTLS, nothing queued): the handshake
  // starts now and OnSecured comes once it is done. A handshake or
  // verification that fails comes as OnError with a tls_error number. Throws
  // AutomationError: 40020 in any other state or from a socket without TLS,
  // tls_error::kTextBeforeHandshake when received text is still unfetched
  // (it would have come in the clear, from before the handshake).
  virtual void StartTls(const TlsRequest& /*request*/) {
    throw AutomationError(socket_error::kInvalidOperation, "This socket cannot speak TLS");
  }
  // Once the handshake is done, the protocol version and cipher agreed
  // ("TLSv1.3 TLS_AES_256_GCM_SHA384"); empty before, and without TLS.
  virtual String TlsDescription() { return {}; }
};

}  // namespace qv
