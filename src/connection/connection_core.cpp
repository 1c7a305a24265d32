#include "connection_core.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <limits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "helo_name.hpp"
#include "qv/connection/stream_transport.hpp"
#include "qv/core/automation_error.hpp"

namespace qv::connection {

namespace {

constexpr const char* kWrongStateText =
    "Wrong protocol or connection state for the requested transaction or request";
constexpr const char* kInvalidOperationText = "Invalid operation at current state";
constexpr const char* kInvalidValueText = "Invalid property value";

// Most room for one encoded part of a text that is encoded as it leaves
// (OutgoingText). The buffer is sized to what the text still needs, up to
// this, reused for its parts and freed once the text is out.
constexpr std::size_t kEncodeRoom = 256 * 1024;

// Buffers of written pieces kept for the next copies (SendUtf8), so that a
// host streaming a long text in pieces does not make the allocator fetch and
// fault in fresh memory for every one. Larger buffers are freed.
constexpr std::size_t kSpareBuffers = 8;
constexpr std::size_t kSpareCapacity = 512 * 1024;

// A piece of UTF-8 this long with nothing queued ahead of it is offered to the
// transport at once, and only what it does not take is copied to wait: a host
// that streams a long body in large pieces then costs one system call per
// piece and no copy. Shorter pieces wait to share the step's gathered write.
constexpr std::size_t kDirectWriteBytes = 256 * 1024;

// Pieces offered to the transport in one write.
constexpr std::size_t kGatherLimit = 16;

// How often the peer's progress is read while the owner waits for it. The
// control's timer steps every 50 ms; this is finer.
constexpr std::chrono::milliseconds kDrainPoll{20};

// True when every byte is ASCII: the high bits of 64 bytes at a time.
bool IsAscii(std::string_view bytes) {
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
#if defined(__SSE2__)
  for (; end - p >= 64; p += 64) {
    const auto load = [p](int at) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    };
    const __m128i any =
        _mm_or_si128(_mm_or_si128(load(0), load(16)), _mm_or_si128(load(32), load(48)));
    if (_mm_movemask_epi8(any) != 0) return false;
  }
#endif
  for (; end - p >= 8; p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if ((word & 0x8080808080808080ULL) != 0) return false;
  }
  for (; p < end; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80) return false;
  }
  return true;
}

// "60 seconds", "1 second", "0.7 seconds".
std::string SecondsText(std::chrono::milliseconds duration) {
  const auto ms = duration.count();
  std::string text = std::to_string(ms / 1000);
  if (const auto fraction = ms % 1000; fraction != 0) {
    std::string digits = std::to_string(1000 + fraction).substr(1);
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text + (text == "1" ? " second" : " seconds");
}

bool IsAddressLiteral(const std::string& name) {
  in6_addr v6{};
  in_addr v4{};
  return ::inet_pton(AF_INET, name.c_str(), &v4) == 1 ||
         ::inet_pton(AF_INET6, name.c_str(), &v6) == 1;
}

}  // namespace

// One connection attempt and its life. Close detaches it from the core; it
// then finishes its writes, half-closes, and waits (bounded) for the peer.
class Connection final : public TransportEvents, public std::enable_shared_from_this<Connection> {
 public:
  Connection(Loop& loop, ConnectionCore& core, std::unique_ptr<Transport> transport)
      : loop_(loop), core_(&core), transport_(std::move(transport)) {
    transport_->SetEvents(this);
  }

  ~Connection() {
    if (transport_) transport_->SetEvents(nullptr);
  }

  bool Connected() const { return connected_; }
  std::size_t QueuedBytes() const { return queued_bytes_; }
  std::string LocalAddressLiteral() const {
    return transport_ && connected_ ? transport_->LocalAddressLiteral() : std::string();
  }

  void Start(const std::string& host, std::uint16_t port) { transport_->Connect(host, port); }

  // --- What the core hands over -------------------------------------------

  void Queue(std::string bytes) {
    if (bytes.empty()) return;
    queued_bytes_ += bytes.size();
    outgoing_.push_back({std::move(bytes), nullptr, false});
    ScheduleWrite();
  }

  void QueueText(std::unique_ptr<OutgoingText> text) {
    const std::size_t size = text->Remaining();
    if (size == 0) return;
    queued_bytes_ += size;
    outgoing_.push_back({std::string(), std::move(text), false});
    ScheduleWrite();
  }

  // A long piece with nothing ahead of it goes to the transport at once; what
  // it does not take is queued.
  void QueueUtf8(std::string_view bytes) {
    if (bytes.size() >= kDirectWriteBytes && outgoing_.empty() && transport_) {
      core_->Trace(WireDirection::kSent, bytes);
      const std::string_view piece[1] = {bytes};
      const std::size_t taken = transport_->Write(piece);
      bytes.remove_prefix(taken);
      if (taken > 0) {
        progress_ = loop_.Now();
        written_directly_ = true;
        ScheduleWrite();
      }
      if (bytes.empty()) return;
      // The rest was traced with the whole.
      queued_bytes_ += bytes.size();
      outgoing_.push_back({std::string(bytes), nullptr, true});
      ScheduleWrite();
      return;
    }
    std::string copy;
    if (!spare_.empty()) {
      copy = std::move(spare_.back());
      spare_.pop_back();
    }
    copy.assign(bytes);
    Queue(std::move(copy));
  }

  void RequestSendComplete() {
    send_complete_wanted_ = true;
    // Text still queued is followed once it is out.
    if (outgoing_.empty() && !blocked_) FollowToThePeer();
  }

  void SetReading(bool reading) {
    if (transport_ && connected_ && !eof_) transport_->SetReading(reading);
  }

  // The core lets go: queued text still leaves (bounded by linger), then the
  // connection half-closes and waits for the peer's end.
  void Detach(bool finish_writes, std::chrono::milliseconds linger) {
    send_complete_wanted_ = false;
    if (!finish_writes || !connected_ || !transport_) {
      core_ = nullptr;
      return End();
    }
    // What the last step handed over goes before the end, traced as the
    // socket's own.
    if (!blocked_) Flush();
    core_ = nullptr;
    if (!transport_) return;  // the write failed
    self_ = shared_from_this();
    // A loop that goes away first ends the connection with it.
    ending_ = loop_.AddEnding([this] { EndWithTheLoop(); });
    closing_ = true;
    linger_ = loop_.MakeTimer();
    linger_->Start(loop_.Now() + linger, [this] { End(); });
    if (drain_watch_) drain_watch_->Cancel();
    watching_ = false;
    if (!eof_) transport_->SetReading(true);  // the peer's text is discarded now
    if (outgoing_.empty() && !blocked_) FinishWrites();
  }

  // Ends the connection now. Text still queued is dropped.
  void End() {
    if (linger_) linger_->Cancel();
    if (drain_watch_) drain_watch_->Cancel();
    outgoing_.clear();
    queued_bytes_ = 0;
    encoded_size_ = 0;
    if (transport_) {
      // Not destroyed inside one of its own notifications.
      transport_->SetEvents(nullptr);
      ReleaseLater(std::move(transport_));
    }
    if (ending_ != 0) loop_.RemoveEnding(std::exchange(ending_, 0));
    if (self_) ReleaseLater(std::move(self_));
  }

  // Lets go of object from a fresh call of the loop, or as the loop ends,
  // whichever comes first, while the loop's timers and watches still work.
  void ReleaseLater(std::shared_ptr<void> object) {
    auto holder = std::make_shared<std::shared_ptr<void>>(std::move(object));
    Loop& loop = loop_;
    const std::uint64_t id = loop.AddEnding([holder] { holder->reset(); });
    loop.Post([holder, &loop, id] {
      loop.RemoveEnding(id);
      holder->reset();
    });
  }

  // The loop is going away: nothing can be posted to it any more.
  void EndWithTheLoop() {
    ending_ = 0;
    if (linger_) linger_->Cancel();
    if (drain_watch_) drain_watch_->Cancel();
    if (transport_) transport_->SetEvents(nullptr);
    transport_.reset();
    linger_.reset();
    drain_watch_.reset();
    const std::shared_ptr<Connection> last = std::move(self_);
  }

  // --- What the transport tells ---------------------------------------------

  void OnTransportResolved() override {
    if (core_) core_->Resolved();
  }

  void OnTransportConnected() override {
    connected_ = true;
    if (core_) core_->Connected();
  }

  void OnTransportReceived(std::string_view bytes) override {
    if (!core_) return;  // closing: the peer's text is discarded
    // An answer comes with the peer's acknowledgement of what it read, so
    // text still being followed has often been taken by now.
    if (send_complete_wanted_ && outgoing_.empty() && !blocked_ && transport_ &&
        transport_->Unacknowledged() <= 0) {
      ReportSendComplete();
    }
    core_->Received(bytes);
  }

  void OnTransportWritable() override {
    blocked_ = false;
    Flush();
  }


  void OnTransportPeerClosed() override {
    eof_ = true;
    if (!core_) {
      // The peer has ended too: done, unless queued text is still going out.
      if (outgoing_.empty() && !blocked_) End();
      return;
    }
    core_->PeerClosed();
  }

  void OnTransportFailed(Long number, const std::string& description) override {
    failed_ = true;
    if (!core_) return End();
    ConnectionCore* core = core_;
    End();
    core->Failed(number, description);
  }

 private:
  using Clock = std::chrono::steady_clock;

  // Text handed over and not yet written, in call order: bytes, or a text
  // that is encoded a part at a time as it leaves.
  struct Piece {
    std::string bytes;
    std::unique_ptr<OutgoingText> text;
    bool traced;
  };

  // What one handler queues leaves together, once it returns.
  void ScheduleWrite() {
    if (blocked_ || write_posted_) return;
    write_posted_ = true;
    loop_.Post([weak = weak_from_this()] {
      const std::shared_ptr<Connection> self = weak.lock();
      if (!self) return;
      self->write_posted_ = false;
      const bool went_out = self->Flush();
      const bool directly = std::exchange(self->written_directly_, false);
      if (!went_out && self->outgoing_.empty() && !self->blocked_ &&
          (directly || self->closing_)) {
        self->AllWritten();
      }
    });
  }

  // Offers what is queued, gathered, while the transport takes it all. True
  // when that emptied the queue (AllWritten has run).
  bool Flush() {
    std::array<std::string_view, kGatherLimit> gather{};
    while (transport_ && !blocked_) {
      const std::size_t count = Gather(gather);
      if (count == 0) return false;
      std::size_t total = 0;
      for (std::size_t i = 0; i < count; ++i) total += gather[i].size();
      const std::size_t taken = transport_->Write(std::span(gather.data(), count));
      if (failed_ || !transport_) return false;
      if (taken > 0) progress_ = loop_.Now();
      Consume(count, taken);
      if (taken < total) {
        blocked_ = true;
        WatchDrain();  // a peer that stops reading is found out
        return false;
      }
      if (outgoing_.empty()) {
        AllWritten();
        return true;
      }
    }
    return false;
  }

  // The next pieces: byte pieces, and one part of at most one text.
  std::size_t Gather(std::array<std::string_view, kGatherLimit>& gather) {
    std::size_t count = 0;
    while (count == 0 && !outgoing_.empty()) {
      bool first = true;
      for (Piece& piece : outgoing_) {
        if (count == gather.size()) break;
        const std::size_t skip = first ? front_offset_ : 0;
        first = false;
        if (!piece.text) {
          if (!piece.traced) {
            core_ ? core_->Trace(WireDirection::kSent, piece.bytes) : void();
            piece.traced = true;
          }
          gather[count++] = std::string_view(piece.bytes).substr(skip);
          continue;
        }
        if (encoded_size_ == 0) {
          EncodeNextPart(*piece.text);
          if (core_) core_->Trace(WireDirection::kSent, {encoded_.get(), encoded_size_});
        }
        if (encoded_size_ == 0) break;  // nothing left: dropped below
        gather[count++] = std::string_view(encoded_.get(), encoded_size_).substr(skip);
        break;  // the buffer holds one part: what follows waits for the next write
      }
      if (count == 0) {
        outgoing_.pop_front();  // a text with nothing left
        front_offset_ = 0;
      }
    }
    return count;
  }

  // The transport took `taken` bytes of the gathered pieces.
  void Consume(std::size_t count, std::size_t taken) {
    for (std::size_t i = 0; i < count && !outgoing_.empty(); ++i) {
      Piece& piece = outgoing_.front();
      const std::size_t size = piece.text ? encoded_size_ : piece.bytes.size();
      const std::size_t left = size - front_offset_;
      if (taken < left) {
        front_offset_ += taken;
        return;
      }
      taken -= left;
      front_offset_ = 0;
      if (piece.text) {
        queued_bytes_ -= encoded_size_;
        encoded_size_ = 0;
        if (piece.text->Remaining() > 0) return;  // more parts to come
        encoded_.reset();
        encoded_room_ = 0;
      } else {
        queued_bytes_ -= piece.bytes.size();
        if (spare_.size() < kSpareBuffers && piece.bytes.capacity() <= kSpareCapacity) {
          piece.bytes.clear();
          spare_.push_back(std::move(piece.bytes));
        }
      }
      outgoing_.pop_front();
    }
  }

  void EncodeNextPart(OutgoingText& text) {
    const std::size_t before = text.Remaining();
    // An estimate short of the true size only means one more part.
    const std::size_t room = std::min(before, kEncodeRoom) + OutgoingText::kMinRoom;
    if (encoded_room_ < room) {
      encoded_ = std::make_unique_for_overwrite<char[]>(room);
      encoded_room_ = room;
    }
    encoded_size_ = text.Encode(encoded_.get(), encoded_room_);
    // The estimate of what was encoded gives way to its true size.
    queued_bytes_ = queued_bytes_ - (before - text.Remaining()) + encoded_size_;
  }

  // Nothing is queued any more: the connection goes on to its end, or to the
  // peer's taking the text.
  void AllWritten() {
    if (closing_) {
      FinishWrites();
    } else if (send_complete_wanted_) {
      FollowToThePeer();
    }
  }

  // On a fast path the peer has usually taken it all by now; otherwise the
  // drain watch follows its acknowledgements.
  void FollowToThePeer() {
    if (transport_ && transport_->Unacknowledged() <= 0) {
      ReportSendComplete();
    } else {
      WatchDrain();
    }
  }

  void ReportSendComplete() {
    if (!send_complete_wanted_) return;  // not asked, or already told
    send_complete_wanted_ = false;
    if (core_) core_->ReportSendComplete();
  }

  // While text is leaving or followed to the peer, the unacknowledged count
  // is read every kDrainPoll: its reaching 0 with nothing queued raises
  // OnSendComplete, its standing still for the stall limit ends the
  // connection. The peer's own end does not stop it: a peer that closed
  // without reading would otherwise be waited for without a limit.
  void WatchDrain() {
    if (watching_ || !core_) return;
    watching_ = true;
    last_unacknowledged_ = -1;
    progress_ = loop_.Now();
    if (!drain_watch_) drain_watch_ = loop_.MakeTimer();
    drain_watch_->Start(loop_.Now() + kDrainPoll, [this] { OnDrainWatch(); });
  }

  void OnDrainWatch() {
    watching_ = false;
    if (!core_ || !transport_ || closing_) return;
    if (outgoing_.empty() && !blocked_ && !send_complete_wanted_) return;  // told, or not asked
    const long unacknowledged = transport_->Unacknowledged();
    const auto now = loop_.Now();
    if (unacknowledged != last_unacknowledged_) {
      last_unacknowledged_ = unacknowledged;
      progress_ = now;
    }
    if (outgoing_.empty() && !blocked_ && unacknowledged <= 0) return ReportSendComplete();
    const std::chrono::milliseconds limit = core_->options_.stall_limit;
    if (now - progress_ > limit) {
      return OnTransportFailed(socket_error::kTimedOut,
                               "Timed out sending: the server took no data for " +
                                   SecondsText(limit));
    }
    watching_ = true;
    drain_watch_->Start(now + kDrainPoll, [this] { OnDrainWatch(); });
  }

  // Everything queued before Close has gone out: half-close, then wait for the
  // peer's end (bounded by the linger timer) so that unread text on our side
  // cannot turn the close into a reset that loses what we sent.
  void FinishWrites() {
    if (!transport_) return;
    transport_->ShutdownSend();
    if (eof_) End();
  }

  Loop& loop_;
  ConnectionCore* core_;  // nullptr once detached
  std::shared_ptr<Transport> transport_;
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
  bool blocked_ = false;  // the transport took less than offered
  bool write_posted_ = false;
  // Text went to the transport straight from SendUtf8 and its way to the
  // peer is not yet followed.
  bool written_directly_ = false;
  bool send_complete_wanted_ = false;
  bool watching_ = false;
  bool closing_ = false;
  bool eof_ = false;
  bool failed_ = false;
  long last_unacknowledged_ = -1;
  Clock::time_point progress_{};
};

ConnectionCore::ConnectionCore(Loop& loop, DeliveryGate& gate, SocketOptions options,
                               TransportFactory make_transport)
    : loop_(loop),
      gate_(gate),
      options_(std::move(options)),
      make_transport_(std::move(make_transport)) {
  options_.read_buffer_size = std::max<std::size_t>(options_.read_buffer_size, 64);
  options_.receive_limit = std::max(options_.receive_limit, options_.read_buffer_size);
  // The name goes onto the HELO line as it is: a space, CR or LF in it
  // would let the host's text become a command of its own.
  for (const unsigned char c : options_.local_host_name) {
    if (c <= 0x20 || c == 0x7F) {
      throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
    }
  }
  if (options_.local_host_name.empty()) StartFullyQualifiedNameLookup();
}

void ConnectionCore::Close() {
  const Integer was = state_;
  state_ = socket_state::kClosed;
  gate_.Cancel(this);
  arrival_queued_ = false;
  if (!conn_) return;
  const std::shared_ptr<Connection> c = std::move(conn_);
  c->Detach(was == socket_state::kConnected || was == socket_state::kPeerClosing,
            options_.close_linger);
}

void ConnectionCore::Shutdown() {
  events_ = nullptr;
  Close();
}

void ConnectionCore::WriteSetting(Integer id) {
  if (!socket_setting::IsClearable(id)) {
    throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
  }
  if (state_ != socket_state::kClosed) {
    throw AutomationError(socket_error::kInvalidOperation, kInvalidOperationText);
  }
  ClearLeftovers();
}

std::string ConnectionCore::HeloName() const {
  return connection::HeloName(options_.local_host_name,
                              conn_ ? conn_->LocalAddressLiteral() : std::string());
}

void ConnectionCore::Connect(const String& remote_host, Integer remote_port) {
  if (state_ != socket_state::kClosed) {
    throw AutomationError(socket_error::kInvalidOperation, kInvalidOperationText);
  }
  // A 16-bit argument carries ports above 32767 as negative numbers.
  auto port = static_cast<std::uint16_t>(remote_port);
  if (port == 0) throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
  if (options_.port != 0) port = options_.port;

  ClearLeftovers();
  std::string name = ToUtf8(remote_host);
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);  // bracketed IPv6 literal
  }
  conn_ = std::make_shared<Connection>(loop_, *this, make_transport_());
  state_ = IsAddressLiteral(name) ? socket_state::kConnecting : socket_state::kResolvingHost;
  if (name.empty()) {
    // Reported from the loop, as every other connection failure is.
    loop_.Post([weak = weak_from_this(), c = std::weak_ptr<Connection>(conn_)] {
      const auto self = weak.lock();
      const auto conn = c.lock();
      if (self && conn && self->conn_ == conn) {
        conn->OnTransportFailed(socket_error::kHostNotFound, "No host name given");
      }
    });
    return;
  }
  conn_->Start(name, port);
}

void ConnectionCore::SendData(const String& text) {
  RequireConnected();
  conn_->Queue(ToUtf8(text));
}

void ConnectionCore::SendText(std::unique_ptr<OutgoingText> text) {
  RequireConnected();
  conn_->QueueText(std::move(text));
}

void ConnectionCore::SendUtf8(std::string_view bytes) {
  RequireConnected();
  // Bytes that are not well-formed UTF-8 go out as SendData sends their
  // decoded form; plain ASCII is the same either way.
  if (!IsAscii(bytes)) return conn_->Queue(ToUtf8(FromUtf8(bytes)));
  conn_->QueueUtf8(bytes);
}

void ConnectionCore::RequestSendComplete() {
  if (!conn_ || state_ != socket_state::kConnected) return;
  conn_->RequestSendComplete();
}

String ConnectionCore::GetData() {
  String text;
  text.swap(incoming_);
  bytes_waiting_ = decoder_.pending();  // received, but not yet a whole character
  if (conn_ && bytes_waiting_ < options_.receive_limit) conn_->SetReading(true);
  return text;
}

std::size_t ConnectionCore::BytesQueued() const { return conn_ ? conn_->QueuedBytes() : 0; }

void ConnectionCore::RequireConnected() const {
  if (state_ != socket_state::kConnected) {
    throw AutomationError(socket_error::kWrongProtocolOrState, kWrongStateText);
  }
}

void ConnectionCore::ClearLeftovers() {
  String().swap(incoming_);
  decoder_ = Utf8StreamDecoder();
  bytes_waiting_ = 0;
}

void ConnectionCore::Trace(WireDirection direction, std::string_view bytes) const {
  if (options_.wire_trace && !bytes.empty()) options_.wire_trace(direction, bytes);
}

void ConnectionCore::Resolved() {
  if (state_ == socket_state::kResolvingHost) state_ = socket_state::kConnecting;
}

void ConnectionCore::Connected() {
  state_ = socket_state::kConnected;
  gate_.Deliver(this, [self = shared_from_this()] {
    if (self->events_) self->events_->OnConnect();
  });
}

void ConnectionCore::Received(std::string_view bytes) {
  Trace(WireDirection::kReceived, bytes);
  decoder_.Decode(bytes, incoming_);
  bytes_waiting_ += bytes.size();
  if (bytes_waiting_ >= options_.receive_limit) conn_->SetReading(false);
  QueueArrival();
}

// An orderly close: no error, State 8. A sequence cut off by the end becomes
// characters of its bytes.
void ConnectionCore::PeerClosed() {
  decoder_.Flush(incoming_);
  if (state_ == socket_state::kConnected) state_ = socket_state::kPeerClosing;
  if (!incoming_.empty()) QueueArrival();
}

void ConnectionCore::Failed(Long number, const std::string& description) {
  state_ = socket_state::kError;
  // The connection stays the socket's until Close, for its HELO name and
  // accounting; it has ended.
  gate_.Deliver(this, [self = shared_from_this(), number, text = FromUtf8(description)] {
    if (self->events_) self->events_->OnError(number, text);
  });
}

void ConnectionCore::ReportSendComplete() {
  gate_.Deliver(this, [self = shared_from_this(), c = std::weak_ptr<Connection>(conn_)] {
    if (self->conn_ != c.lock() || !self->events_) return;
    if (self->state_ != socket_state::kConnected && self->state_ != socket_state::kPeerClosing) {
      return;
    }
    self->events_->OnSendComplete();
  });
}

void ConnectionCore::QueueArrival() {
  if (arrival_queued_) return;  // one notification reports everything waiting
  arrival_queued_ = true;
  gate_.Deliver(this, [self = shared_from_this()] {
    self->arrival_queued_ = false;
    if (self->incoming_.empty() || !self->events_) return;
    self->events_->OnDataArrival(
        static_cast<Long>(std::min<std::size_t>(self->bytes_waiting_, LONG_MAX)));
  });
}

ConnectionSocket::ConnectionSocket(Loop& loop, DeliveryGate& gate, SocketOptions options)
    : ConnectionSocket(loop, gate, options, TransportFactory()) {}

ConnectionSocket::ConnectionSocket(Loop& loop, DeliveryGate& gate, SocketOptions options,
                                   TransportFactory make_transport) {
  if (!make_transport) {
    const std::size_t read_buffer = std::max<std::size_t>(options.read_buffer_size, 64);
    make_transport = [&loop, read_buffer] { return MakeStreamTransport(loop, read_buffer); };
  }
  core_ = std::make_shared<ConnectionCore>(loop, gate, std::move(options),
                                           std::move(make_transport));
}

ConnectionSocket::~ConnectionSocket() { core_->Shutdown(); }

void ConnectionSocket::SetEvents(SocketEvents* events) { core_->SetEvents(events); }
Integer ConnectionSocket::State() { return core_->State(); }
void ConnectionSocket::Close() { core_->Close(); }
void ConnectionSocket::WriteSetting(Integer id, const Variant&) { core_->WriteSetting(id); }

Variant ConnectionSocket::ReadSetting(Integer id) {
  if (id != socket_setting::kLocalHostName) {
    throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
  }
  return Variant(FromUtf8(core_->HeloName()));
}

void ConnectionSocket::Connect(const String& remote_host, Integer remote_port) {
  core_->Connect(remote_host, remote_port);
}
void ConnectionSocket::SendData(const String& text) { core_->SendData(text); }
void ConnectionSocket::SendText(std::unique_ptr<OutgoingText> text) {
  core_->SendText(std::move(text));
}
void ConnectionSocket::SendUtf8(std::string_view bytes) { core_->SendUtf8(bytes); }
void ConnectionSocket::RequestSendComplete() { core_->RequestSendComplete(); }
String ConnectionSocket::GetData() { return core_->GetData(); }
std::size_t ConnectionSocket::BytesWaiting() const { return core_->BytesWaiting(); }
std::size_t ConnectionSocket::BytesQueued() const { return core_->BytesQueued(); }
const SocketOptions& ConnectionSocket::options() const { return core_->options(); }
void ConnectionSocket::SetPort(std::uint16_t port) { core_->SetPort(port); }

}  // namespace qv::connection
