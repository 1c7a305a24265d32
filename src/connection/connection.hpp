// One connection of a socket service, from its start to its end: the write
// queue and its accounting, following the peer's progress, the stall limit
// and the close that lets queued text leave. It drives its Transport and
// tells its core (until Close lets it go) what came of it.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qv/connection/loop.hpp"
#include "qv/connection/tls_filter.hpp"
#include "qv/connection/transport.hpp"
#include "qv/core/types.hpp"
#include "qv/host/socket.hpp"

namespace qv::connection {

class ConnectionCore;

// One connection attempt and its life. Close detaches it from the core; it
// then finishes its writes, half-closes, and waits (bounded) for the peer.
class Connection final : public TransportEvents, public std::enable_shared_from_this<Connection> {
 public:
  Connection(Loop& loop, ConnectionCore& core, std::unique_ptr<Transport> transport);

  ~Connection();

  bool Connected() const { return connected_; }
  std::size_t QueuedBytes() const { return queued_bytes_; }
  std::string LocalAddressLiteral() const;

  void Start(const std::string& host, std::uint16_t port) { transport_->Connect(host, port); }

  // --- What the core hands over -------------------------------------------

  void Queue(std::string bytes);

  void QueueText(std::unique_ptr<OutgoingText> text);

  // Bytes that carry a secret: traced as shown, overwritten once written.
  void QueueSecret(std::string bytes, std::string shown);

  // A long piece with nothing ahead of it goes to the transport at once; what
  // it does not take is queued.
  void QueueUtf8(std::string_view bytes);

  void RequestSendComplete();

  void SetReading(bool reading);

  // Puts TLS between the connection and its transport and starts the
  // handshake (after a server's go-ahead to STARTTLS); its end comes to the
  // core as Secured or Failed. The filter lives as long as the connection.
  TlsFilter& StartTls(TlsSettings settings);

  // The core lets go: queued text still leaves (bounded by linger), then the
  // connection half-closes and waits for the peer's end.
  void Detach(bool finish_writes, std::chrono::milliseconds linger);

  // Ends the connection now. Text still queued is dropped.
  void End();

  // Lets go of object from a fresh call of the loop, or as the loop ends,
  // whichever comes first, while the loop's timers and watches still work.
  void ReleaseLater(std::shared_ptr<void> object);

  // The loop is going away: nothing can be posted to it any more.
  void EndWithTheLoop();

  // --- What the transport tells ---------------------------------------------

  void OnTransportResolved() override;

  void OnTransportConnected() override;

  void OnTransportReceived(std::string_view bytes) override;

  void OnTransportWritable() override;

  void OnTransportPeerClosed() override;

  void OnTransportFailed(Long number, const std::string& description) override;

 private:
  using Clock = std::chrono::steady_clock;
  // Pieces offered to the transport in one write.
  static constexpr std::size_t kGatherLimit = 16;

  // Text handed over and not yet written, in call order: bytes, or a text
  // that is encoded a part at a time as it leaves.
  struct Piece {
    std::string bytes;
    std::unique_ptr<OutgoingText> text;
    bool traced;
    // For a secret: what the trace shows instead; the bytes are overwritten
    // once taken.
    std::string shown = {};
    bool secret = false;
  };

  // What one handler queues leaves together, once it returns.
  void ScheduleWrite();

  // Offers what is queued, gathered, while the transport takes it all. True
  // when that emptied the queue (AllWritten has run).
  bool Flush();

  // The next pieces: byte pieces, and one part of at most one text.
  std::size_t Gather(std::array<std::string_view, kGatherLimit>& gather);

  // The transport took `taken` bytes of the gathered pieces.
  void Consume(std::size_t count, std::size_t taken);

  void EncodeNextPart(OutgoingText& text);

  // Nothing is queued any more: the connection goes on to its end, or to the
  // peer's taking the text.
  void AllWritten();

  // On a fast path the peer has usually taken it all by now; otherwise the
  // drain watch follows its acknowledgements.
  void FollowToThePeer();

  void ReportSendComplete();

  // While text is leaving or followed to the peer, the unacknowledged count
  // is read every kDrainPoll: its reaching 0 with nothing queued raises
  // OnSendComplete, its standing still for the stall limit ends the
  // connection. The peer's own end does not stop it: a peer that closed
  // without reading would otherwise be waited for without a limit.
  void WatchDrain();

  void OnDrainWatch();

  // Everything queued before Close has gone out: half-close, then wait for the
  // peer's end (bounded by the linger timer) so that unread text on our side
  // cannot turn the close into a reset that loses what we sent.
  void FinishWrites();

  Loop& loop_;
  ConnectionCore* core_;  // nullptr once detached
  std::unique_ptr<Transport> transport_;
  std::shared_ptr<Connection> self_;  // kept alive while closing
  std::uint64_t ending_ = 0;          // registered with the loop while closing
  std::unique_ptr<LoopTimer> linger_;
  std::unique_ptr<LoopTimer> drain_watch_;

  std::deque<Piece> outgoing_;
  std::size_t front_offset_ = 0;  // bytes of the front piece already taken
  std::vector<std::string> spare_;
  // Bytes of outgoing_, the texts' still to be encoded counted by estimate.
  std::size_t queued_bytes_ = 0;
  std::unique_ptr<char[]> encoded_;
  std::size_t encoded_room_ = 0;
  std::size_t encoded_size_ = 0;  // of the part being written

  bool connected_ = false;
  bool securing_ = false;  // a handshake over the connected transport is running
  bool blocked_ = false;   // the transport took less than offered
  bool write_posted_ = false;
  // Text went to the transport straight from SendUtf8 and its way to the
  // peer is not yet followed.
  bool written_directly_ = false;
  bool send_complete_wanted_ = false;
  bool watching_ = false;
  bool closing_ = false;
  bool eof_ = false;
  bool send_shut_ = false;
  bool failed_ = false;
  long last_unacknowledged_ = -1;
  Clock::time_point progress_{};
};

}  // namespace qv::connection
