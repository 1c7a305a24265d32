#include "qv/runtime/asio_socket.hpp"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <asio/connect.hpp>
#include <asio/error.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/host_name.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "local_host_name.hpp"
#include "loop_access.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"
#include "socket_errors.hpp"

namespace qv::runtime {

namespace {

using asio::ip::tcp;

constexpr const char* kWrongStateText =
    "Wrong protocol or connection state for the requested transaction or request";
constexpr const char* kInvalidOperationText = "Invalid operation at current state";
constexpr const char* kInvalidValueText = "Invalid property value";

// Most room for one encoded part of a text that the socket encodes as it
// sends (OutgoingText). A connection's buffer is sized to what the text still
// needs, up to this, reused for its parts and freed once the text is out.
constexpr std::size_t kEncodeRoom = 256 * 1024;

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

// Buffers of written pieces kept for the next copies (SendUtf8), so that a
// host streaming a long text in pieces does not make the allocator fetch and
// fault in fresh memory for every one. Larger buffers are freed.
constexpr std::size_t kSpareBuffers = 8;
constexpr std::size_t kSpareCapacity = 512 * 1024;

// A piece of UTF-8 this long with nothing queued ahead of it is offered to the
// kernel at once, and only what the kernel does not take is copied to wait
// for the loop: a host that streams a long body in large pieces then costs
// one system call per piece and no copy. Shorter pieces wait to share the
// step's gathered write.
constexpr std::size_t kDirectWriteBytes = 256 * 1024;

// How often the kernel's count of unacknowledged bytes is read while text is
// still leaving. The control's timer steps every 50 ms; this is finer.
constexpr std::chrono::milliseconds kDrainPoll{20};

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

}  // namespace

namespace detail {

// One connection attempt and its life. Close detaches it from the socket; it
// then finishes its writes, half-closes, and waits (bounded) for the peer.
struct Connection {
  explicit Connection(asio::io_context& io) : socket(io) {}

  std::optional<tcp::resolver> resolver;  // only for a name, not an address
  tcp::socket socket;
  std::unique_ptr<asio::steady_timer> linger;       // only once closing
  std::unique_ptr<asio::steady_timer> drain_watch;  // only while text is leaving

  // Text handed over and not yet written, in call order: bytes, or a text
  // that is encoded a part at a time into `encoded` as it leaves.
  struct Piece {
    std::string bytes;
    std::unique_ptr<OutgoingText> text;
  };
  std::deque<Piece> outgoing;
  std::vector<std::string> spare;  // emptied buffers of written pieces
  // Bytes of outgoing, the texts' still to be encoded counted by estimate.
  std::size_t queued_bytes = 0;
  std::unique_ptr<char[]> encoded;
  std::size_t encoded_room = 0;
  std::size_t encoded_size = 0;  // of the part being written
  static constexpr std::size_t kGatherLimit = 16;
  std::array<asio::const_buffer, kGatherLimit> gather{};
  std::size_t gather_count = 0;
  bool writing = false;
  // A write is to start once the current handler returns, so that what one
  // step hands over goes out in one system call.
  bool write_posted = false;
  // Text went to the kernel straight from SendUtf8 and its way to the peer is
  // not yet followed.
  bool written_directly = false;

  // Progress of the text handed to SendData towards the peer, followed only
  // while the owner has asked to be told when the peer has it all: the checks
  // cost system calls and timers that most writes do not need.
  bool send_complete_wanted = false;
  bool watching = false;
  long last_unacknowledged = -1;
  std::chrono::steady_clock::time_point last_progress;

  std::unique_ptr<char[]> read_buffer;  // allocated when connected
  bool reading = false;
  bool eof = false;
  bool closing = false;

  // Ends the connection now. Text still queued is dropped.
  void End() {
    if (linger) linger->cancel();
    if (drain_watch) drain_watch->cancel();
    std::error_code ignored;
    if (resolver) resolver->cancel();
    socket.close(ignored);
    // A write in flight still refers to its buffers; its completion clears them.
    if (!writing) {
      outgoing.clear();
      queued_bytes = 0;
      encoded_size = 0;
    }
  }
};

class SocketCore : public std::enable_shared_from_this<SocketCore> {
 public:
  using ConnectionPtr = std::shared_ptr<Connection>;

  SocketCore(asio::io_context& io, std::shared_ptr<Gate> gate, SocketOptions options)
      : io_(io), gate_(std::move(gate)), options_(options) {
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

  void SetEvents(SocketEvents* events) { events_ = events; }
  Integer State() const { return state_; }
  std::size_t BytesWaiting() const { return bytes_waiting_; }
  std::size_t BytesQueued() const { return conn_ ? conn_->queued_bytes : 0; }

  void Close() {
    const Integer was = state_;
    state_ = socket_state::kClosed;
    gate_->Cancel(this);
    arrival_queued_ = false;
    if (!conn_) return;
    ConnectionPtr c = std::move(conn_);
    c->closing = true;
    if (c->drain_watch) c->drain_watch->cancel();
    if ((was == socket_state::kConnected || was == socket_state::kPeerClosing) &&
        c->socket.is_open()) {
      c->linger = std::make_unique<asio::steady_timer>(io_, options_.close_linger);
      c->linger->async_wait([c](const std::error_code& ec) {
        if (!ec) c->End();
      });
      if (!c->writing && c->outgoing.empty()) FinishWrites(c);
      StartWrite(c);  // what the last step handed over goes before the end
      StartRead(c);   // reading may have paused; the peer's text is discarded now
    } else {
      c->End();
    }
  }

  void Shutdown() {
    events_ = nullptr;
    Close();
  }

  void WriteSetting(Integer id) {
    if (!socket_setting::IsClearable(id)) {
      throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
    }
    if (state_ != socket_state::kClosed) {
      throw AutomationError(socket_error::kInvalidOperation, kInvalidOperationText);
    }
    ClearLeftovers();
  }

  void Connect(const String& remote_host, Integer remote_port) {
    if (state_ != socket_state::kClosed) {
      throw AutomationError(socket_error::kInvalidOperation, kInvalidOperationText);
    }
    // A 16-bit argument carries ports above 32767 as negative numbers.
    auto port = static_cast<std::uint16_t>(remote_port);
    if (port == 0) throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
    if (port == 25 && options_.port_25_redirect != 0) port = options_.port_25_redirect;

    ClearLeftovers();
    host_ = ToUtf8(remote_host);
    conn_ = std::make_shared<Connection>(io_);
    ConnectionPtr c = conn_;
    state_ = socket_state::kResolvingHost;

    std::string name = host_;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
      name = name.substr(1, name.size() - 2);  // bracketed IPv6 literal
    }
    if (name.empty()) {
      asio::post(io_, [self = shared_from_this(), c] {
        if (self->conn_ == c) self->Fail(c, socket_error::kHostNotFound, "No host name given");
      });
      return;
    }
    std::error_code literal_error;
    const auto address = asio::ip::make_address(name, literal_error);
    if (!literal_error) {
      state_ = socket_state::kHostResolved;
      ConnectTo(c, std::array<tcp::endpoint, 1>{tcp::endpoint(address, port)});
      return;
    }
    c->resolver.emplace(io_);
    c->resolver->async_resolve(
        name, std::to_string(port), tcp::resolver::numeric_service,
        [self = shared_from_this(), c](const std::error_code& ec, tcp::resolver::results_type r) {
          self->OnResolved(c, ec, std::move(r));
        });
  }

  void SendData(const String& text) {
    RequireConnected();
    Queue(ToUtf8(text));
  }

  void SendUtf8(std::string_view bytes) {
    RequireConnected();
    // Bytes that are not well-formed UTF-8 go out as SendData sends their
    // decoded form; plain ASCII is the same either way.
    if (!IsAscii(bytes)) return Queue(ToUtf8(FromUtf8(bytes)));
    const ConnectionPtr& c = conn_;
    if (bytes.size() >= kDirectWriteBytes && c->outgoing.empty() && !c->writing &&
        c->socket.is_open()) {
      iovec part{const_cast<char*>(bytes.data()), bytes.size()};
      std::error_code ec;
      const std::size_t taken = WriteNow(*c, &part, 1, ec);
      if (ec) return Fail(c, ec);
      Trace(bytes.substr(0, taken));
      bytes.remove_prefix(taken);
      if (taken > 0) {
        if (c->watching) c->last_progress = std::chrono::steady_clock::now();
        c->written_directly = true;
        ScheduleWrite(c);
      }
      if (bytes.empty()) return;
    }
    std::string copy;
    if (!conn_->spare.empty()) {
      copy = std::move(conn_->spare.back());
      conn_->spare.pop_back();
    }
    copy.assign(bytes);
    Queue(std::move(copy));
  }

  void SendText(std::unique_ptr<OutgoingText> text) {
    RequireConnected();
    const std::size_t size = text->Remaining();
    if (size == 0) return;
    conn_->queued_bytes += size;
    conn_->outgoing.push_back({std::string(), std::move(text)});
    ScheduleWrite(conn_);
  }

  void RequestSendComplete() {
    if (!conn_ || state_ != socket_state::kConnected) return;
    const ConnectionPtr& c = conn_;
    c->send_complete_wanted = true;
    // Text still queued is followed once it is out.
    if (!c->writing && c->outgoing.empty()) FollowToThePeer(c);
  }

  String HeloName() const {
    if (!options_.local_host_name.empty()) return FromUtf8(options_.local_host_name);
    const std::string full = FullyQualifiedHostName();
    if (!full.empty()) return FromUtf8(full);
    // The connection's own address, asked of the system only when needed.
    if (conn_ && conn_->socket.is_open()) {
      std::error_code ec;
      const tcp::endpoint local = conn_->socket.local_endpoint(ec);
      if (!ec) return FromUtf8(AddressLiteral(local.address()));
    }
    return LocalHostName();
  }

  String GetData() {
    String text;
    text.swap(incoming_);
    bytes_waiting_ = decoder_.pending();  // received, but not yet a whole character
    if (conn_) StartRead(conn_);          // reading resumes if the limit had paused it
    return text;
  }

 private:
  void RequireConnected() const {
    if (state_ != socket_state::kConnected) {
      throw AutomationError(socket_error::kWrongProtocolOrState, kWrongStateText);
    }
  }

  void Queue(std::string bytes) {
    if (bytes.empty()) return;
    conn_->queued_bytes += bytes.size();
    conn_->outgoing.push_back({std::move(bytes), nullptr});
    ScheduleWrite(conn_);
  }

  void ScheduleWrite(const ConnectionPtr& c) {
    if (c->writing || c->write_posted) return;
    c->write_posted = true;
    asio::post(io_, [self = shared_from_this(), c] {
      c->write_posted = false;
      self->StartWrite(c);
      if (std::exchange(c->written_directly, false) && !c->writing && c->outgoing.empty() &&
          !c->closing) {
        self->AllWritten(c);
      }
    });
  }

  void ClearLeftovers() {
    String().swap(incoming_);
    decoder_ = Utf8StreamDecoder();
    bytes_waiting_ = 0;
  }

  void OnResolved(const ConnectionPtr& c, const std::error_code& ec,
                  tcp::resolver::results_type results) {
    if (conn_ != c || ec == asio::error::operation_aborted) return;
    if (ec) return Fail(c, ec);
    if (results.empty()) return Fail(c, asio::error::host_not_found);
    state_ = socket_state::kHostResolved;
    ConnectTo(c, results);
  }

  // Tries each address in turn; the last one's failure is reported.
  template <typename Endpoints>
  void ConnectTo(const ConnectionPtr& c, const Endpoints& endpoints) {
    state_ = socket_state::kConnecting;
    asio::async_connect(
        c->socket, endpoints,
        [self = shared_from_this(), c](const std::error_code& ec, const tcp::endpoint&) {
          self->OnConnected(c, ec);
        });
  }

  void OnConnected(const ConnectionPtr& c, const std::error_code& ec) {
    if (conn_ != c || ec == asio::error::operation_aborted) return;
    if (ec) return Fail(c, ec);
    state_ = socket_state::kConnected;
    std::error_code ignored;
    c->socket.set_option(tcp::no_delay(true), ignored);
    c->read_buffer = std::make_unique_for_overwrite<char[]>(options_.read_buffer_size);
    StartRead(c);
    gate_->Deliver(this, [self = shared_from_this()] {
      if (self->events_) self->events_->OnConnect();
    });
  }

  void StartRead(const ConnectionPtr& c) {
    if (c->reading || c->eof || !c->read_buffer || !c->socket.is_open()) return;
    if (!c->closing && bytes_waiting_ >= options_.receive_limit) return;
    c->reading = true;
    c->socket.async_read_some(
        asio::buffer(c->read_buffer.get(), options_.read_buffer_size),
        [self = shared_from_this(), c](const std::error_code& ec, std::size_t n) {
          self->OnRead(c, ec, n);
        });
  }

  void OnRead(const ConnectionPtr& c, const std::error_code& ec, std::size_t n) {
    c->reading = false;
    if (c->closing) {
      if (!ec) return StartRead(c);
      c->eof = true;
      // The peer has ended too: done, unless queued text is still going out.
      if (ec != asio::error::eof || !c->writing) c->End();
      return;
    }
    if (conn_ != c || ec == asio::error::operation_aborted) return;
    if (!ec) {
      const std::string_view piece(c->read_buffer.get(), n);
      if (options_.wire_trace) options_.wire_trace(WireDirection::kReceived, piece);
      decoder_.Decode(piece, incoming_);
      bytes_waiting_ += n;
      StartRead(c);  // before the notification, whose handler may throw
      // An answer comes with the peer's acknowledgement of what it read, so
      // text still being watched has often been taken by now.
      if (c->watching && c->send_complete_wanted && !c->writing && c->outgoing.empty() &&
          Unacknowledged(c) <= 0) {
        ReportSendComplete(c);
      }
      QueueArrival();
      return;
    }
    if (ec == asio::error::eof) {
      // An orderly close: no error, State 8. A sequence cut off by the end
      // becomes characters of its bytes.
      c->eof = true;
      decoder_.Flush(incoming_);
      if (state_ == socket_state::kConnected) state_ = socket_state::kPeerClosing;
      if (!incoming_.empty()) QueueArrival();
      return;
    }
    Fail(c, ec);
  }

  void QueueArrival() {
    if (arrival_queued_) return;  // one notification reports everything waiting
    arrival_queued_ = true;
    gate_->Deliver(this, [self = shared_from_this()] {
      self->arrival_queued_ = false;
      if (self->incoming_.empty() || !self->events_) return;
      self->events_->OnDataArrival(
          static_cast<Long>(std::min<std::size_t>(self->bytes_waiting_, LONG_MAX)));
    });
  }

  // Offers parts to the kernel without waiting, and returns how many bytes it
  // took: none when its buffer is full. ec: a failure that ends the connection.
  static std::size_t WriteNow(Connection& c, iovec* parts, std::size_t count, std::error_code& ec) {
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    const ssize_t sent = ::sendmsg(c.socket.native_handle(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<std::size_t>(sent);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      ec = std::error_code(errno, asio::error::get_system_category());
    }
    return 0;
  }

  // Writes what is queued: gathered into one system call, straight away while
  // the kernel takes it all; what it does not take goes out asynchronously as
  // the connection drains, watched for a stall meanwhile.
  void StartWrite(const ConnectionPtr& c) {
    while (!c->writing && c->socket.is_open() && Gather(c)) {
      std::size_t total = 0;
      std::array<iovec, Connection::kGatherLimit> parts{};
      for (std::size_t i = 0; i < c->gather_count; ++i) {
        parts[i] = {const_cast<void*>(c->gather[i].data()), c->gather[i].size()};
        total += c->gather[i].size();
      }
      std::error_code ec;
      const std::size_t taken = WriteNow(*c, parts.data(), c->gather_count, ec);
      if (ec) return OnWritten(c, ec);
      if (taken < total) return WriteRest(c, taken);
      if (!Written(c)) return;
    }
  }

  // Puts the pieces queued next into gather: byte pieces, and one part of at
  // most one text, which fills the connection's one encoding buffer. False
  // when nothing is queued.
  bool Gather(const ConnectionPtr& c) {
    std::size_t count = 0;
    while (count == 0 && !c->outgoing.empty()) {
      bool text_gathered = false;
      for (Connection::Piece& piece : c->outgoing) {
        if (count == c->gather.size()) break;
        if (!piece.text) {
          c->gather[count++] = asio::buffer(piece.bytes);
          Trace(piece.bytes);
          continue;
        }
        if (text_gathered) break;
        if (c->encoded_size == 0) {
          EncodeNextPart(c, *piece.text);
          Trace(std::string_view(c->encoded.get(), c->encoded_size));
        }
        if (c->encoded_size == 0) break;  // nothing left: dropped once first
        c->gather[count++] = asio::buffer(c->encoded.get(), c->encoded_size);
        // What follows a text's last part may share its write.
        if (piece.text->Remaining() > 0) break;
        text_gathered = true;
      }
      if (count == 0) c->outgoing.pop_front();  // a text with nothing left
    }
    c->gather_count = count;
    return count > 0;
  }

  // The kernel took `taken` bytes of the gathered write; the rest follows
  // asynchronously, from gather (which the write refers to until it is done).
  void WriteRest(const ConnectionPtr& c, std::size_t taken) {
    std::size_t first = 0;
    while (taken >= c->gather[first].size()) taken -= c->gather[first++].size();
    std::copy(c->gather.begin() + first, c->gather.begin() + c->gather_count, c->gather.begin());
    c->gather[0] += taken;
    c->writing = true;
    // Each system call offers the kernel all that is left, not asio's usual
    // 64 KiB at a time.
    const auto until_all_or_error = [](const std::error_code& ec, std::size_t) -> std::size_t {
      return ec ? 0 : std::numeric_limits<std::size_t>::max();
    };
    asio::async_write(
        c->socket, std::span<const asio::const_buffer>(c->gather.data(), c->gather_count - first),
        until_all_or_error, [self = shared_from_this(), c](const std::error_code& ec, std::size_t) {
          self->OnWritten(c, ec);
        });
    WatchDrain(c);
  }

  void OnWritten(const ConnectionPtr& c, const std::error_code& ec) {
    c->writing = false;
    if (ec) {
      c->outgoing.clear();
      c->queued_bytes = 0;
      c->encoded_size = 0;
      if (c->closing) return c->End();
      if (conn_ != c || ec == asio::error::operation_aborted || state_ == socket_state::kError) {
        return;
      }
      return Fail(c, ec);
    }
    if (Written(c)) StartWrite(c);
  }

  // The gathered write is out: its pieces leave the queue. True when more is
  // queued; otherwise the connection goes on to its end, or to the peer's
  // taking the text.
  bool Written(const ConnectionPtr& c) {
    for (std::size_t i = 0; i < c->gather_count; ++i) {
      Connection::Piece& piece = c->outgoing.front();
      if (piece.text) {
        c->queued_bytes -= c->encoded_size;
        c->encoded_size = 0;
        if (piece.text->Remaining() > 0) break;  // more parts to come
        c->encoded.reset();
        c->encoded_room = 0;
      } else {
        c->queued_bytes -= piece.bytes.size();
        if (c->spare.size() < kSpareBuffers && piece.bytes.capacity() <= kSpareCapacity) {
          piece.bytes.clear();
          c->spare.push_back(std::move(piece.bytes));
        }
      }
      c->outgoing.pop_front();
    }
    c->gather_count = 0;
    if (c->watching) c->last_progress = std::chrono::steady_clock::now();
    if (!c->outgoing.empty()) return true;
    c->written_directly = false;
    AllWritten(c);
    return false;
  }

  // Nothing is queued any more: the connection goes on to its end, or to the
  // peer's taking the text.
  void AllWritten(const ConnectionPtr& c) {
    if (c->closing) {
      FinishWrites(c);
    } else if (conn_ == c && c->send_complete_wanted) {
      FollowToThePeer(c);
    }
  }

  // On a fast path the peer has usually taken it all by now; otherwise the
  // drain watch follows its acknowledgements.
  void FollowToThePeer(const ConnectionPtr& c) {
    if (Unacknowledged(c) <= 0) {
      ReportSendComplete(c);
    } else {
      WatchDrain(c);
    }
  }

  // Sent text is traced as it is gathered for writing, each piece once and
  // in wire order, a text encoded as it leaves part by part.
  void Trace(std::string_view bytes) {
    if (options_.wire_trace && !bytes.empty()) options_.wire_trace(WireDirection::kSent, bytes);
  }

  void EncodeNextPart(const ConnectionPtr& c, OutgoingText& text) {
    const std::size_t before = text.Remaining();
    // An estimate short of the true size only means one more part.
    const std::size_t room = std::min(before, kEncodeRoom) + OutgoingText::kMinRoom;
    if (c->encoded_room < room) {
      c->encoded = std::make_unique_for_overwrite<char[]>(room);
      c->encoded_room = room;
    }
    c->encoded_size = text.Encode(c->encoded.get(), c->encoded_room);
    // The estimate of what was encoded gives way to its true size.
    c->queued_bytes = c->queued_bytes - (before - text.Remaining()) + c->encoded_size;
  }

  // The kernel's count of bytes not yet acknowledged by the peer (sent or
  // not); -1 when the system cannot tell.
  static long Unacknowledged(const ConnectionPtr& c) {
    int count = 0;
    if (::ioctl(c->socket.native_handle(), SIOCOUTQ, &count) != 0) return -1;
    return count;
  }

  // While text is leaving, the unacknowledged count is read every kDrainPoll:
  // its reaching 0 raises OnSendComplete, its standing still for stall_limit
  // ends the connection.
  void WatchDrain(const ConnectionPtr& c) {
    if (c->watching) return;
    c->watching = true;
    c->last_unacknowledged = -1;
    c->last_progress = std::chrono::steady_clock::now();
    ArmDrainWatch(c);
  }

  void ArmDrainWatch(const ConnectionPtr& c) {
    if (!c->drain_watch) c->drain_watch = std::make_unique<asio::steady_timer>(io_);
    c->drain_watch->expires_after(kDrainPoll);
    c->drain_watch->async_wait(
        [self = shared_from_this(), c](const std::error_code& ec) { self->OnDrainWatch(c, ec); });
  }

  void OnDrainWatch(const ConnectionPtr& c, const std::error_code& ec) {
    if (ec || conn_ != c || c->closing || !c->socket.is_open() || state_ == socket_state::kError) {
      c->watching = false;
      return;
    }
    if (!c->writing && c->outgoing.empty() && !c->send_complete_wanted) {
      c->watching = false;  // already told, on the peer's answer, or not asked
      return;
    }
    const long unacknowledged = Unacknowledged(c);
    const auto now = std::chrono::steady_clock::now();
    if (unacknowledged != c->last_unacknowledged) {
      c->last_unacknowledged = unacknowledged;
      c->last_progress = now;
    }
    if (!c->writing && c->outgoing.empty() && unacknowledged <= 0) {
      c->watching = false;
      return ReportSendComplete(c);
    }
    if (now - c->last_progress > options_.stall_limit) {
      c->watching = false;
      return Fail(
          c, socket_error::kTimedOut,
          "Timed out sending: the server took no data for " + SecondsText(options_.stall_limit));
    }
    ArmDrainWatch(c);
  }

  void ReportSendComplete(const ConnectionPtr& c) {
    if (!c->send_complete_wanted) return;  // not asked, or already told
    c->send_complete_wanted = false;
    gate_->Deliver(this, [self = shared_from_this(), c] {
      if (self->conn_ != c || !self->events_) return;
      if (self->state_ != socket_state::kConnected && self->state_ != socket_state::kPeerClosing) {
        return;
      }
      self->events_->OnSendComplete();
    });
  }

  // Everything queued before Close has gone out: half-close, then wait for the
  // peer's end (bounded by the linger timer) so that unread text on our side
  // cannot turn the close into a reset that loses what we sent.
  void FinishWrites(const ConnectionPtr& c) {
    std::error_code ignored;
    c->socket.shutdown(tcp::socket::shutdown_send, ignored);
    if (c->eof || !c->read_buffer) return c->End();
    StartRead(c);
  }

  void Fail(const ConnectionPtr& c, const std::error_code& ec) {
    const SocketFailure failure = DescribeSocketError(ec, host_);
    Fail(c, failure.number, failure.description);
  }

  void Fail(const ConnectionPtr& c, Long number, const std::string& description) {
    state_ = socket_state::kError;
    c->End();
    gate_->Deliver(this, [self = shared_from_this(), number, text = FromUtf8(description)] {
      if (self->events_) self->events_->OnError(number, text);
    });
  }

  asio::io_context& io_;
  std::shared_ptr<Gate> gate_;
  SocketOptions options_;
  SocketEvents* events_ = nullptr;
  Integer state_ = socket_state::kClosed;
  ConnectionPtr conn_;
  std::string host_;
  String incoming_;
  Utf8StreamDecoder decoder_;
  std::size_t bytes_waiting_ = 0;
  bool arrival_queued_ = false;
};

}  // namespace detail

AsioSocket::AsioSocket(EventLoop& loop, SocketOptions options)
    : core_(std::make_shared<detail::SocketCore>(detail::LoopAccess::Context(loop),
                                                 detail::LoopAccess::LoopGate(loop), options)) {}

AsioSocket::AsioSocket(EventLoop& loop, DeliveryGate& gate, SocketOptions options)
    : core_(std::make_shared<detail::SocketCore>(detail::LoopAccess::Context(loop),
                                                 detail::LoopAccess::GateOf(gate), options)) {}

AsioSocket::~AsioSocket() { core_->Shutdown(); }

void AsioSocket::SetEvents(SocketEvents* events) { core_->SetEvents(events); }
Integer AsioSocket::State() { return core_->State(); }
void AsioSocket::Close() { core_->Close(); }
void AsioSocket::WriteSetting(Integer id, const Variant&) { core_->WriteSetting(id); }

Variant AsioSocket::ReadSetting(Integer id) {
  if (id != socket_setting::kLocalHostName) {
    throw AutomationError(socket_error::kInvalidPropertyValue, kInvalidValueText);
  }
  return Variant(core_->HeloName());
}

void AsioSocket::Connect(const String& remote_host, Integer remote_port) {
  core_->Connect(remote_host, remote_port);
}
void AsioSocket::SendData(const String& text) { core_->SendData(text); }
void AsioSocket::SendText(std::unique_ptr<OutgoingText> text) { core_->SendText(std::move(text)); }
void AsioSocket::SendUtf8(std::string_view bytes) { core_->SendUtf8(bytes); }
void AsioSocket::RequestSendComplete() { core_->RequestSendComplete(); }
String AsioSocket::GetData() { return core_->GetData(); }
std::size_t AsioSocket::BytesWaiting() const { return core_->BytesWaiting(); }
std::size_t AsioSocket::BytesQueued() const { return core_->BytesQueued(); }

}  // namespace qv::runtime
