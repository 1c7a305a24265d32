// The socket service on a scripted transport and a manual clock, with the
// order of events chosen by the input: the peer's UTF-8 split at any byte,
// the owner fetching on arrival or later, a small receive limit that stops
// the transport reading, text of every kind handed over, a transport that
// takes any number of bytes per write, the peer's acknowledgement, the
// clock, the peer's end. In every order the owner gets the peer's text
// whole, in order and in whole characters, is told of it whenever some
// waits, and reads again once it has fetched; the wire gets the owner's
// text in call order; OnSendComplete comes only once the peer has taken
// everything; and the state says whether the peer has ended. Half the
// inputs speak TLS from the first byte, to a TLS server in the process.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "event_script.hpp"
#include "qv/connection/connection_socket.hpp"
#include "qv/core/text.hpp"
#include "support/manual_loop.hpp"
#include "support/scripted_transport.hpp"
#include "support/tls_peer.hpp"

namespace {

using qv::Long;
using qv::String;
using qv::connection::ConnectionSocket;
using qv::connection::DeliveryGate;
using qv::connection::SocketOptions;
using qv::fuzz::Broken;
using qv::fuzz::Script;
using qv::test_support::ManualLoop;
using qv::test_support::ScriptedTransport;
using qv::test_support::Server;
using qv::test_support::SharedPki;
using qv::test_support::TransportScript;

// UTF-8 of count characters from the input's bytes: ASCII, and two-, three-
// and four-byte sequences.
std::string Characters(Script& in, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t pick = in.Byte();
    const std::uint32_t code = pick < 160   ? pick % 128
                               : pick < 200 ? 0x80u + pick * 7u
                               : pick < 240 ? 0x800u + pick * 211u
                                            : 0x10000u + pick * 3001u;
    qv::String one;
    if (code >= 0x10000) {
      one += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      one += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      one += static_cast<char16_t>(code);
    }
    text += qv::ToUtf8(one);
  }
  return text;
}

// A text handed over whole and encoded as the connection drains.
class Parts final : public qv::OutgoingText {
 public:
  explicit Parts(std::string bytes) : bytes_(std::move(bytes)) {}
  std::size_t Encode(char* out, std::size_t room) override {
    const std::size_t n = std::min(room, bytes_.size() - at_);
    bytes_.copy(out, n, at_);
    at_ += n;
    return n;
  }
  std::size_t Remaining() const override { return bytes_.size() - at_; }
  String Whole() const override { return qv::FromUtf8(bytes_); }

 private:
  std::string bytes_;
  std::size_t at_ = 0;
};

struct Owner : qv::SocketEvents {
  ConnectionSocket* socket = nullptr;
  const TransportScript* script = nullptr;
  const std::string* handed = nullptr;           // everything handed over
  std::function<const std::string&()> peer_has;  // what the peer has of it, read now
  String text;
  bool fetch = true;
  bool connected = false;
  bool asked = false;  // RequestSendComplete since the last notification
  Long error = 0;

  void OnConnect() override { connected = true; }
  void OnDataArrival(Long bytes_total) override {
    if (bytes_total <= 0) Broken("an arrival of nothing");
    if (fetch) text += socket->GetData();
  }
  void OnSecured() override { Broken("OnSecured without STARTTLS"); }
  void OnSendComplete() override {
    if (!std::exchange(asked, false)) Broken("a SendComplete nobody asked for");
    if (peer_has() != *handed || script->unacknowledged != 0) {
      Broken("SendComplete before the peer took everything");
    }
  }
  void OnError(Long number, const String&) override { error = number; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Script in(data, size);
  const bool tls = (in.Byte() & 1) != 0;
  ManualLoop loop;
  DeliveryGate gate(loop);
  SocketOptions options;
  options.port = 2525;
  options.read_buffer_size = 64;
  options.receive_limit = in.Byte() * 16;        // the socket takes at least the read buffer
  options.stall_limit = std::chrono::hours(24);  // stalls are not what this is about
  std::shared_ptr<TransportScript> script;
  ConnectionSocket socket(loop, gate, options, [&script] {
    script = std::make_shared<TransportScript>();
    return std::make_unique<ScriptedTransport>(script);
  });
  std::string handed;  // the owner's text, as UTF-8, in call order
  std::string taken;   // what the peer read of it
  Owner owner;
  owner.socket = &socket;
  owner.handed = &handed;
  socket.SetEvents(&owner);
  std::unique_ptr<Server> server;
  if (tls) {
    socket.StartTls(qv::TlsRequest{u"localhost", qv::FromUtf8(SharedPki().path)});
    server = std::make_unique<Server>(SharedPki().cert.get(), SharedPki().key.get());
  }
  socket.Connect(u"localhost", 25);
  owner.script = script.get();
  script->Connect();
  if (tls) Handshake(loop, *script, *server, taken);
  loop.RunPosted();
  if (!owner.connected) Broken("not connected");

  std::string said;      // the peer's UTF-8
  std::string stream;    // what goes on the wire for it: said, or its records
  std::size_t sent = 0;  // how much of stream the transport delivered
  bool ended = false;    // the peer ended the connection
  bool fin = false;      // and the transport read its end
  const auto deliver = [&](std::size_t n) {
    if (!script->reading || fin) return;
    n = std::min(n, stream.size() - sent);
    if (n == 0) {
      if (ended) {
        fin = true;
        script->PeerClose();
      }
      return;
    }
    const std::string part = stream.substr(sent, n);
    sent += n;
    script->Receive(part);
  };
  // The peer reads what reached it (through TLS, its answer comes later).
  const auto take = [&] {
    if (!tls) {
      taken += std::exchange(script->wire, {});
      return;
    }
    stream += server->Take(std::exchange(script->wire, {}), taken);
  };
  owner.peer_has = [&]() -> const std::string& {
    take();
    return taken;
  };

  while (in.More()) {
    const std::uint8_t op = in.Byte();
    const std::size_t amount = in.Amount();
    // Text is handed over, and SendComplete asked for, only while connected:
    // after the peer's end the socket refuses the one and ignores the other,
    // as it says.
    if (((op % 12 >= 4 && op % 12 <= 6) || op % 12 == 9) && socket.State() != 7) continue;
    switch (op % 12) {
      case 0: {
        if (ended) break;
        const std::string text = Characters(in, amount % 300 + 1);
        said += text;
        stream += tls ? server->Say(text) : text;
        break;
      }
      case 1:
        deliver(amount % 5000 + 1);
        break;
      case 2: {
        owner.text += socket.GetData();
        loop.RunPosted();
        // Nothing waits now, so the transport may read again.
        if (!script->reading) Broken("fetched everything, yet the transport still may not read");
        break;
      }
      case 3:
        owner.fetch = !owner.fetch;
        break;
      case 4: {
        const std::string text = Characters(in, amount % 200 + 1);
        handed += text;
        socket.SendData(qv::FromUtf8(text));
        break;
      }
      case 5: {
        const std::string text = Characters(in, amount % 200 + 1);
        handed += text;
        socket.SendUtf8(text);
        break;
      }
      case 6: {
        const std::string text(amount * 8 % 300000 + 1, static_cast<char>('a' + op % 26));
        handed += text;
        socket.SendText(std::make_unique<Parts>(text));
        break;
      }
      case 7:
        script->Drain(amount % 20000);
        take();
        break;
      case 8:
        loop.RunPosted();
        break;
      case 9:
        owner.asked = true;
        socket.RequestSendComplete();
        script->unacknowledged = static_cast<long>(amount % 4);
        break;
      case 10:
        loop.Advance(std::chrono::milliseconds(amount % 500));
        break;
      case 11:
        // Over TLS with its close_notify or without; the transport reads the
        // connection's end once it has read all before it.
        if (!std::exchange(ended, true) && tls && amount % 2 == 0) stream += server->Close();
        break;
    }
    if (owner.error != 0) Broken("an error on a connection that works");
    const String whole = qv::FromUtf8(tls ? said : said.substr(0, sent));
    if (whole.compare(0, owner.text.size(), owner.text) != 0) {
      Broken("the owner got text the peer did not send, there");
    }
    if (taken.size() > handed.size() || handed.compare(0, taken.size(), taken) != 0) {
      Broken("the peer did not get what was handed over, in order");
    }
  }

  // From now on the owner fetches on arrival and the peer takes everything.
  owner.fetch = true;
  owner.text += socket.GetData();
  script->unacknowledged = 0;
  for (int round = 0; round < 100000 && (sent < stream.size() || taken != handed || fin != ended);
       ++round) {
    loop.RunPosted();
    if ((sent < stream.size() || fin != ended) && !script->reading) {
      Broken("an owner that fetches, a transport that may not read");
    }
    deliver(4096);
    script->Drain();
    take();
    loop.RunPosted();
  }
  loop.Advance(std::chrono::seconds(2));  // the peer's acknowledgement is polled
  if (owner.error != 0) Broken("an error on a connection that works");
  if (owner.text != qv::FromUtf8(said)) Broken("the owner did not get the peer's text whole");
  if (taken != handed) Broken("the peer did not get the owner's text whole");
  if (owner.asked) Broken("a SendComplete asked for never came");
  if (socket.State() != (ended ? 8 : 7)) Broken("the state does not say how the connection stands");
  socket.Close();
  loop.RunPosted();
  return 0;
}
