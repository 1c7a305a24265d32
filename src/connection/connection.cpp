#include "connection.hpp"

#include <string.h>  // explicit_bzero

#include <algorithm>
#include <utility>

#include "connection_core.hpp"

namespace qv::connection {

namespace {

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

// How often the peer's progress is read while the owner waits for it. The
// control's timer steps every 50 ms; this is finer.
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

Connection::Connection(Loop& loop, ConnectionCore& core, std::unique_ptr<Transport> transport)
    : loop_(loop), core_(&core), transport_(std::move(transport)) {
  transport_->SetEvents(this);
}

Connection::~Connection() {
  if (transport_) transport_->SetEvents(nullptr);
}

std::string Connection::LocalAddressLiteral() const {
  return transport_ && connected_ ? transport_->LocalAddressLiteral() : std::string();
}

void Connection::Queue(std::string bytes) {
  if (bytes.empty()) return;
  queued_bytes_ += bytes.size();
  outgoing_.push_back({std::move(bytes), nullptr, false});
  ScheduleWrite();
}

void Connection::QueueText(std::unique_ptr<OutgoingText> text) {
  const std::size_t size = text->Remaining();
  if (size == 0) return;
  queued_bytes_ += size;
  outgoing_.push_back({std::string(), std::move(text), false});
  ScheduleWrite();
}

void Connection::QueueSecret(std::string bytes, std::string shown) {
  if (bytes.empty()) return;
  queued_bytes_ += bytes.size();
  outgoing_.push_back({std::move(bytes), nullptr, false, std::move(shown), true});
  ScheduleWrite();
}

void Connection::QueueUtf8(std::string_view bytes) {
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

void Connection::RequestSendComplete() {
  send_complete_wanted_ = true;
  // Text still queued is followed once it is out.
  if (outgoing_.empty() && !blocked_) FollowToThePeer();
}

TlsFilter& Connection::StartTls(TlsSettings settings) {
  auto filter = std::make_unique<TlsFilter>(loop_, std::move(transport_), std::move(settings));
  TlsFilter& tls = *filter;
  tls.SetEvents(this);
  transport_ = std::move(filter);
  securing_ = true;
  tls.StartHandshake();
  return tls;
}

void Connection::SetReading(bool reading) {
  if (transport_ && connected_ && !eof_) transport_->SetReading(reading);
}

void Connection::Detach(bool finish_writes, std::chrono::milliseconds linger) {
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

void Connection::End() {
  if (linger_) linger_->Cancel();
  if (drain_watch_) drain_watch_->Cancel();
  for (Piece& piece : outgoing_) {
    if (piece.secret) explicit_bzero(piece.bytes.data(), piece.bytes.size());
  }
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

void Connection::ReleaseLater(std::shared_ptr<void> object) {
  auto holder = std::make_shared<std::shared_ptr<void>>(std::move(object));
  Loop& loop = loop_;
  const std::uint64_t id = loop.AddEnding([holder] { holder->reset(); });
  loop.Post([holder, &loop, id] {
    loop.RemoveEnding(id);
    holder->reset();
  });
}

void Connection::EndWithTheLoop() {
  ending_ = 0;
  if (linger_) linger_->Cancel();
  if (drain_watch_) drain_watch_->Cancel();
  if (transport_) transport_->SetEvents(nullptr);
  transport_.reset();
  linger_.reset();
  drain_watch_.reset();
  const std::shared_ptr<Connection> last = std::move(self_);
}

void Connection::OnTransportResolved() {
  if (core_) core_->Resolved();
}

void Connection::OnTransportConnected() {
  if (securing_) {
    securing_ = false;
    if (core_) core_->Secured();
    return;
  }
  connected_ = true;
  if (core_) core_->Connected();
}

void Connection::OnTransportReceived(std::string_view bytes) {
  if (!core_) return;  // closing: the peer's text is discarded
  // An answer comes with the peer's acknowledgement of what it read, so
  // text still being followed has often been taken by now.
  if (send_complete_wanted_ && outgoing_.empty() && !blocked_ && transport_ &&
      transport_->Unacknowledged() <= 0) {
    ReportSendComplete();
  }
  core_->Received(bytes);
}

void Connection::OnTransportWritable() {
  blocked_ = false;
  Flush();
}

void Connection::OnTransportPeerClosed() {
  eof_ = true;
  if (!core_) {
    // The peer has ended too: done, unless queued text is still going out.
    if (outgoing_.empty() && !blocked_) End();
    return;
  }
  core_->PeerClosed();
}

void Connection::OnTransportFailed(Long number, const std::string& description) {
  failed_ = true;
  if (!core_) return End();
  ConnectionCore* core = core_;
  End();
  core->Failed(number, description);
}

void Connection::ScheduleWrite() {
  if (blocked_ || write_posted_) return;
  write_posted_ = true;
  loop_.Post([weak = weak_from_this()] {
    const std::shared_ptr<Connection> self = weak.lock();
    if (!self) return;
    self->write_posted_ = false;
    const bool went_out = self->Flush();
    const bool directly = std::exchange(self->written_directly_, false);
    if (!went_out && self->outgoing_.empty() && !self->blocked_ && (directly || self->closing_)) {
      self->AllWritten();
    }
  });
}

bool Connection::Flush() {
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

std::size_t Connection::Gather(std::array<std::string_view, kGatherLimit>& gather) {
  std::size_t count = 0;
  while (count == 0 && !outgoing_.empty()) {
    bool first = true;
    bool buffer_taken = false;
    for (Piece& piece : outgoing_) {
      if (count == gather.size()) break;
      const std::size_t skip = first ? front_offset_ : 0;
      first = false;
      if (!piece.text) {
        if (!piece.traced) {
          if (core_) core_->Trace(WireDirection::kSent, piece.secret ? piece.shown : piece.bytes);
          piece.traced = true;
        }
        gather[count++] = std::string_view(piece.bytes).substr(skip);
        continue;
      }
      if (buffer_taken) break;  // one buffer: the next text waits for the next write
      if (encoded_size_ == 0) {
        EncodeNextPart(*piece.text);
        if (core_) core_->Trace(WireDirection::kSent, {encoded_.get(), encoded_size_});
      }
      if (encoded_size_ == 0) break;  // nothing left: dropped below
      gather[count++] = std::string_view(encoded_.get(), encoded_size_).substr(skip);
      // The buffer holds one part; after a text's last part the pieces that
      // follow (the end of data) go in the same write.
      if (piece.text->Remaining() > 0) break;
      buffer_taken = true;
    }
    if (count == 0) {
      outgoing_.pop_front();  // a text with nothing left
      front_offset_ = 0;
    }
  }
  return count;
}

void Connection::Consume(std::size_t count, std::size_t taken) {
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
      if (piece.secret) explicit_bzero(piece.bytes.data(), piece.bytes.size());
      if (spare_.size() < kSpareBuffers && piece.bytes.capacity() <= kSpareCapacity) {
        piece.bytes.clear();
        spare_.push_back(std::move(piece.bytes));
      }
    }
    outgoing_.pop_front();
  }
}

void Connection::EncodeNextPart(OutgoingText& text) {
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

void Connection::AllWritten() {
  if (closing_) {
    FinishWrites();
  } else if (send_complete_wanted_) {
    FollowToThePeer();
  }
}

void Connection::FollowToThePeer() {
  if (transport_ && transport_->Unacknowledged() <= 0) {
    ReportSendComplete();
  } else {
    WatchDrain();
  }
}

void Connection::ReportSendComplete() {
  if (!send_complete_wanted_) return;  // not asked, or already told
  send_complete_wanted_ = false;
  if (core_) core_->ReportSendComplete();
}

void Connection::WatchDrain() {
  if (watching_ || !core_) return;
  watching_ = true;
  last_unacknowledged_ = -1;
  progress_ = loop_.Now();
  if (!drain_watch_) drain_watch_ = loop_.MakeTimer();
  drain_watch_->Start(loop_.Now() + kDrainPoll, [this] { OnDrainWatch(); });
}

void Connection::OnDrainWatch() {
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
    return OnTransportFailed(
        socket_error::kTimedOut,
        "Timed out sending: the server took no data for " + SecondsText(limit));
  }
  watching_ = true;
  drain_watch_->Start(now + kDrainPoll, [this] { OnDrainWatch(); });
}

void Connection::FinishWrites() {
  if (!transport_) return;
  // Both a flush and the posted write can find the queue empty after QUIT.
  if (!std::exchange(send_shut_, true)) transport_->ShutdownSend();
  if (eof_) End();
}

}  // namespace qv::connection
