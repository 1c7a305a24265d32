// What the mail engine costs on one core, measured against lean doubles:
//  - a tick of a control that waits for a reply (goal: well under 1 us);
//  - a whole one-recipient conversation (goal: under 50 us, no kernel);
//  - composing a large body for the wire: line ends, dot doubling and UTF-8
//    (goal: 1 GB/s or more).
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "mail/body_text.hpp"
#include "mail/message_text.hpp"
#include "mail/quoted_printable.hpp"
#include "qv/control/qvsmtp.hpp"
#include "qv/core/text.hpp"
#include "qv/host/clock.hpp"
#include "qv/host/socket.hpp"
#include "qv/mail/body_encoder.hpp"
#include "qv/testing/fake_host.hpp"
#include "qv/testing/fake_socket.hpp"
#include "qv/testing/manual_clock.hpp"
#include "qv/testing/manual_timer.hpp"

namespace {

using qv::String;

// A socket that keeps nothing but counts: the text of each write is turned
// into UTF-8 as a real socket must, into one reused buffer.
class CountingSocket final : public qv::Socket {
 public:
  std::size_t bytes_written = 0;
  std::size_t writes = 0;

  void Connected() {
    state_ = qv::socket_state::kConnected;
    events_->OnConnect();
  }
  void Reply(std::u16string_view text) {
    incoming_.append(text);
    events_->OnDataArrival(static_cast<qv::Long>(incoming_.size()));
  }

  void SetEvents(qv::SocketEvents* events) override { events_ = events; }
  qv::Integer State() override { return state_; }
  void Close() override {
    state_ = qv::socket_state::kClosed;
    incoming_.clear();
  }
  void WriteSetting(qv::Integer, const qv::Variant&) override {}
  qv::Variant ReadSetting(qv::Integer id) override {
    if (id == qv::socket_setting::kLocalHostName) return qv::Variant(local_name_);
    return qv::Variant(qv::Long{0});
  }
  void Connect(const String&, qv::Integer) override { state_ = qv::socket_state::kConnecting; }
  void SendData(const String& text) override {
    wire_.clear();
    qv::AppendUtf8(text, wire_);
    bytes_written += wire_.size();
    ++writes;
  }
  // As the runtime's socket: a part at a time into one reused buffer.
  void SendText(std::unique_ptr<qv::OutgoingText> text) override {
    part_.resize(256 * 1024);
    while (const std::size_t n = text->Encode(part_.data(), part_.size())) bytes_written += n;
    ++writes;
  }
  String GetData() override {
    String data;
    data.swap(incoming_);
    return data;
  }

 private:
  qv::SocketEvents* events_ = nullptr;
  qv::Integer state_ = qv::socket_state::kClosed;
  String incoming_;
  std::string wire_;
  std::vector<char> part_;
  String local_name_ = u"client.example.com";
};

// Events counted, as a host that handles them cheaply.
class CountingSink final : public qv::qvSMTPEvents {
 public:
  std::size_t events = 0;
  void SendBody(qv::Integer&) override { ++events; }
  void SendComplete(qv::Integer&) override { ++events; }
  void DebugMessage(String&) override { ++events; }
};

constexpr std::u16string_view kShortBody =
    u"Hello,\r\n\r\nthe nightly report is attached below. Totals are up on last week;\r\n"
    u"see the second table for the details by region.\r\n\r\n"
    u"Regards,\r\nthe report robot\r\n";

// A control with lean doubles, ready to send one short message to one
// recipient.
template <typename SocketType>
struct Rig {
  SocketType socket;
  qv::testing::ManualTimer timer;
  qv::testing::ManualClock clock;
  qv::testing::FakeHost host;
  CountingSink sink;
  qv::qvSMTP control{socket, timer, clock, host};

  Rig() {
    control.Initialize();
    control.InitProperties();
    control.Advise(&sink);
    control.put_RemoteHost(u"mail.example.com");
    control.put_MailFrom(u"reports@example.com");
    control.put_RcptTo(u"team@example.com");
    control.put_Subject(u"Nightly report");
    control.put_Body(qv::Variant(kShortBody));
  }

  void Reply(std::u16string_view text) {
    if constexpr (std::is_same_v<SocketType, qv::testing::FakeSocket>) {
      socket.ServerSends(text);
    } else {
      socket.Reply(text);
    }
  }
  void Connected() {
    if constexpr (std::is_same_v<SocketType, qv::testing::FakeSocket>) {
      socket.AcceptConnection();
    } else {
      socket.Connected();
    }
  }

  // Send, connect, and every step up to the wait for the reply to DATA.
  void RunToWaitDataAck() {
    control.Send();
    Connected();
    Reply(u"220 mail.example.com ESMTP ready\r\n");
    timer.Tick();  // greeting accepted
    timer.Tick();  // HELO
    Reply(u"250 mail.example.com\r\n");
    timer.Tick();
    timer.Tick();  // MAIL FROM
    Reply(u"250 2.1.0 Ok\r\n");
    timer.Tick();
    timer.Tick();  // RCPT TO
    Reply(u"250 2.1.5 Ok\r\n");
    timer.Tick();
    timer.Tick();  // no recipient left
    timer.Tick();  // DATA
  }

  // The rest: 354, the message, 250, QUIT and the completion.
  void FinishFromWaitDataAck() {
    Reply(u"354 End data with <CR><LF>.<CR><LF>\r\n");
    timer.Tick();
    timer.Tick();  // the message
    Reply(u"250 2.0.0 Ok: queued as 4F2A1C\r\n");
    timer.Tick();  // QUIT and the completion
  }
};

// --- A control that waits --------------------------------------------------

void BM_TickWhileWaitingForDataReply(benchmark::State& state) {
  Rig<CountingSocket> rig;
  rig.RunToWaitDataAck();
  if (rig.control.Snapshot().state != qv::SessionSnapshot::kWaitDataAck) {
    state.SkipWithError("the control is not waiting for the DATA reply");
    return;
  }
  for (auto _ : state) {
    rig.timer.Tick();
  }
  if (rig.control.get_Busy() != qv::kTrue) state.SkipWithError("the wait ended");
}
BENCHMARK(BM_TickWhileWaitingForDataReply);

void BM_TickWhileWaitingForConnect(benchmark::State& state) {
  Rig<CountingSocket> rig;
  rig.control.Send();
  for (auto _ : state) {
    rig.timer.Tick();
  }
  if (rig.control.get_Busy() != qv::kTrue) state.SkipWithError("the wait ended");
}
BENCHMARK(BM_TickWhileWaitingForConnect);

// The same wait with the system's clock, as a program runs it: the clock
// read is most of the tick.
class SystemClockRig {
 public:
  qv::testing::FakeHost host;
  CountingSocket socket;
  qv::testing::ManualTimer timer;
  qv::SystemClock clock;
  qv::qvSMTP control{socket, timer, clock, host};
};

void BM_TickWhileWaitingForConnectSystemClock(benchmark::State& state) {
  SystemClockRig rig;
  rig.control.Initialize();
  rig.control.InitProperties();
  rig.control.Send();
  for (auto _ : state) {
    rig.timer.Tick();
  }
  if (rig.control.get_Busy() != qv::kTrue) state.SkipWithError("the wait ended");
}
BENCHMARK(BM_TickWhileWaitingForConnectSystemClock);

void BM_SystemClockSecondsSinceMidnight(benchmark::State& state) {
  qv::SystemClock clock;
  for (auto _ : state) {
    benchmark::DoNotOptimize(clock.SecondsSinceMidnight());
  }
}
BENCHMARK(BM_SystemClockSecondsSinceMidnight);

// --- A whole conversation --------------------------------------------------

template <typename SocketType>
void Conversation(benchmark::State& state) {
  Rig<SocketType> rig;
  std::int64_t done = 0;
  for (auto _ : state) {
    rig.RunToWaitDataAck();
    rig.FinishFromWaitDataAck();
    if constexpr (std::is_same_v<SocketType, qv::testing::FakeSocket>) {
      // The double keeps every call; let go of them now and then.
      if (state.iterations() % 256 == 0) {
        rig.socket.calls.clear();
        rig.socket.writes.clear();
      }
    }
    done += rig.control.get_status() == 0 && rig.control.get_Busy() == qv::kFalse;
  }
  if (done != static_cast<std::int64_t>(state.iterations())) {
    state.SkipWithError("a conversation did not succeed");
  }
  state.SetItemsProcessed(done);
}

// 17 ticks, 6 replies, 15 writes, 11 events.
void BM_ConversationLeanSocket(benchmark::State& state) { Conversation<CountingSocket>(state); }
BENCHMARK(BM_ConversationLeanSocket);

// The same through the test double that records every call as text.
void BM_ConversationRecordingSocket(benchmark::State& state) {
  Conversation<qv::testing::FakeSocket>(state);
}
BENCHMARK(BM_ConversationRecordingSocket);

// --- Body composition ------------------------------------------------------

// A plain-text body of about `size` characters: lines of 20 to 100
// characters, mostly CR LF but some bare LF, one line in 50 with characters
// outside ASCII (Latin letters, punctuation, the odd emoji), one in 200
// beginning with a dot. Deterministic.
String MakeBody(std::size_t size) {
  static constexpr std::u16string_view kWords[] = {
      u"the",   u"report", u"shows",   u"totals", u"for",   u"each", u"region", u"and",
      u"month", u"with",   u"figures", u"from",   u"last",  u"year", u"sales",  u"rose",
      u"by",    u"about",  u"percent", u"in",     u"spite", u"of",   u"costs",  u"a"};
  static constexpr std::u16string_view kAccented[] = {u"Müller", u"café", u"Straße", u"naïve",
                                                      u"€12",    u"“ok”", u"–",      u"🎉"};
  std::uint64_t seed = 0x9E3779B97F4A7C15ULL;
  auto next = [&seed] {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    return seed;
  };
  String body;
  body.reserve(size + 128);
  while (body.size() < size) {
    const std::uint64_t r = next();
    const std::size_t target = 20 + r % 81;
    const bool accented = r % 50 == 0;
    if (r % 200 == 1) body += u'.';
    const std::size_t start = body.size();
    while (body.size() - start < target) {
      const std::uint64_t w = next();
      if (accented && w % 4 == 0) {
        body += kAccented[w % std::size(kAccented)];
      } else {
        body += kWords[w % std::size(kWords)];
      }
      body += u' ';
    }
    body.pop_back();
    body += r % 10 == 3 ? u"\n" : u"\r\n";
  }
  return body;
}

constexpr std::size_t kBodySize = 10 * 1000 * 1000;

const String& Body() {
  static const String body = MakeBody(kBodySize);
  return body;
}

std::size_t WireSize() {
  static const std::size_t size = [] {
    String transparent;
    qv::mail::AppendTransparentBody(Body(), transparent);
    return qv::ToUtf8(transparent).size();
  }();
  return size;
}

// Line ends and dots into a buffer that is reused, as a steady state.
void BM_TransparentBody(benchmark::State& state) {
  const String& body = Body();
  String out;
  for (auto _ : state) {
    out.clear();
    qv::mail::AppendTransparentBody(body, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_TransparentBody)->Unit(benchmark::kMillisecond);

// The byte encoder of a body that a SendBody handler streams (qvsmtp): UTF-8
// text in reads of 128 KiB, each encoded into one reused buffer.
void EncodeBytesInReads(benchmark::State& state, const std::string& text) {
  constexpr std::size_t kRead = 128 * 1024;
  std::vector<char> out(2 * kRead);
  for (auto _ : state) {
    qv::BodyEncoder encoder;
    std::size_t total = 0;
    for (std::size_t at = 0; at < text.size(); at += kRead) {
      const std::string_view read = std::string_view(text).substr(at, kRead);
      total += static_cast<std::size_t>(encoder.Encode(read, out.data()) - out.data());
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The body as a file would hold it: one line in ten ends in a bare LF.
void BM_TransparentBytes(benchmark::State& state) {
  static const std::string text = qv::ToUtf8(Body());
  EncodeBytesInReads(state, text);
}
BENCHMARK(BM_TransparentBytes)->Unit(benchmark::kMillisecond);

// Text already in wire form but for its leading dots: copied 64 bytes at a
// time.
void BM_TransparentBytesWireForm(benchmark::State& state) {
  static const std::string text = [] {
    String transparent;
    qv::mail::AppendTransparentBody(Body(), transparent);
    return qv::ToUtf8(transparent);
  }();
  EncodeBytesInReads(state, text);
}
BENCHMARK(BM_TransparentBytesWireForm)->Unit(benchmark::kMillisecond);

// What an assigned Body is read for once: characters outside ASCII, and NUL
// or an over-long line that only quoted-printable can carry.
void BM_BodyPlanScans(benchmark::State& state) {
  const String& body = Body();
  for (auto _ : state) {
    benchmark::DoNotOptimize(qv::mail::HoldsNonAscii(body));
    benchmark::DoNotOptimize(qv::mail::NeedsQuotedPrintable(body));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_BodyPlanScans)->Unit(benchmark::kMillisecond);

void BM_Utf8OfBody(benchmark::State& state) {
  String transparent;
  qv::mail::AppendTransparentBody(Body(), transparent);
  std::string out;
  for (auto _ : state) {
    out.clear();
    qv::AppendUtf8(transparent, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_Utf8OfBody)->Unit(benchmark::kMillisecond);

// The composition itself as the socket runs it: line ends, dots and UTF-8 in
// one pass, a part at a time into one reused buffer of the socket's size.
void ComposeBody(benchmark::State& state, const String& body) {
  const auto shared = std::make_shared<const String>(body);
  constexpr std::size_t kRoom = 256 * 1024;
  std::vector<char> part(kRoom);
  std::size_t total = 0;
  for (auto _ : state) {
    qv::mail::BodyText text(shared);
    total = 0;
    while (const std::size_t n = text.Encode(part.data(), kRoom)) total += n;
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total));
}

void BM_ComposeBody(benchmark::State& state) { ComposeBody(state, Body()); }
BENCHMARK(BM_ComposeBody)->Unit(benchmark::kMillisecond);

// A body whose lines already end in CR LF, as most files hold them: only the
// leading dots need work.
void BM_ComposeBodyCrLfLines(benchmark::State& state) {
  static const String body = [] {
    String transparent;
    qv::mail::AppendTransparentBody(Body(), transparent);
    return transparent;
  }();
  ComposeBody(state, body);
}
BENCHMARK(BM_ComposeBodyCrLfLines)->Unit(benchmark::kMillisecond);

// The earlier way, kept for comparison: a transparent UTF-16 copy of the
// whole body, then its UTF-8 copy, fresh buffers for every message
// (allocation and first touch included).
void BM_ComposeBodyFreshBuffers(benchmark::State& state) {
  const String& body = Body();
  for (auto _ : state) {
    String piece;
    qv::mail::AppendTransparentBody(body, piece);
    piece += u"\r\n";
    std::string wire = qv::ToUtf8(piece);
    benchmark::DoNotOptimize(wire.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * WireSize()));
}
BENCHMARK(BM_ComposeBodyFreshBuffers)->Unit(benchmark::kMillisecond);

// The whole message step of the control with the 10 MB body, from the 354 to
// the end of data, through the lean socket.
void BM_MessageStepWithLargeBody(benchmark::State& state) {
  Rig<CountingSocket> rig;
  rig.control.put_Body(qv::Variant(Body()));
  for (auto _ : state) {
    state.PauseTiming();
    rig.RunToWaitDataAck();
    rig.Reply(u"354 go ahead\r\n");
    rig.timer.Tick();
    state.ResumeTiming();
    rig.timer.Tick();  // the message
    state.PauseTiming();
    rig.Reply(u"250 Ok\r\n");
    rig.timer.Tick();
    state.ResumeTiming();
  }
  if (rig.control.get_status() != 0) state.SkipWithError("the conversation did not succeed");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * WireSize()));
}
BENCHMARK(BM_MessageStepWithLargeBody)->Unit(benchmark::kMillisecond);

// The way back: server text of the same size decoded from UTF-8.
void BM_FromUtf8OfBody(benchmark::State& state) {
  const std::string bytes = qv::ToUtf8(Body());
  for (auto _ : state) {
    String text = qv::FromUtf8(bytes);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_FromUtf8OfBody)->Unit(benchmark::kMillisecond);

}  // namespace
