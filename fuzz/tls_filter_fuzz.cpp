// The TLS filter against a TLS server in the same process, with the order of
// events chosen by the input: how the server's records arrive (split
// anywhere), when the owner stops and starts reading (also inside its own
// handler, as the socket's owner does while text waits unfetched), how much
// the transport below takes per write, what the client writes, and when
// either side ends. Every order is one a real connection can take, so in
// each the owner gets the server's text whole and in order and hears of the
// end once, after it; the server gets the client's text and then its
// close_notify; nothing fails; and a transport told to stop reading is told
// to read again once the owner reads.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "event_script.hpp"
#include "qv/connection/tls_filter.hpp"
#include "support/manual_loop.hpp"
#include "support/scripted_transport.hpp"
#include "support/tls_peer.hpp"

namespace {

using qv::Long;
using qv::connection::TlsFilter;
using qv::connection::TlsSettings;
using qv::connection::TransportEvents;
using qv::fuzz::Broken;
using qv::fuzz::Script;
using qv::test_support::ManualLoop;
using qv::test_support::Pki;
using qv::test_support::ScriptedTransport;
using qv::test_support::Server;
using qv::test_support::SharedPki;
using qv::test_support::TransportScript;

// Text whose every byte says where it stands, so that a part delivered
// twice, lost or out of order shows.
std::string TextAt(std::size_t from, std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t at = from + i;
    text[i] = static_cast<char>((at ^ (at >> 8) ^ (at >> 16)) & 0xff);
  }
  return text;
}

// The socket's owner: stops reading after pause_after bytes when asked.
struct Owner : TransportEvents {
  TlsFilter* filter = nullptr;
  std::string received;
  std::size_t pause_after = 0;  // 0: never
  std::size_t since = 0;
  const std::string* said = nullptr;  // all the server said
  int ends = 0;
  bool connected = false;
  Long failed = 0;
  std::string error;

  void OnTransportConnected() override { connected = true; }
  void OnTransportReceived(std::string_view bytes) override {
    received += bytes;
    since += bytes.size();
    if (pause_after != 0 && since >= pause_after) {
      since = 0;
      filter->SetReading(false);
    }
  }
  void OnTransportWritable() override {}
  void OnTransportPeerClosed() override {
    if (++ends > 1) Broken("the owner heard of the end twice");
    if (received != *said) Broken("the owner heard of the end before the text");
  }
  void OnTransportFailed(Long number, const std::string& text) override {
    failed = number;
    error = text;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Pki* const pki = &SharedPki();
  ManualLoop loop;
  auto script = std::make_shared<TransportScript>();
  TlsFilter filter(loop, std::make_unique<ScriptedTransport>(script),
                   TlsSettings{"localhost", pki->path, true});
  Owner owner;
  owner.filter = &filter;
  filter.SetEvents(&owner);
  Server server(pki->cert.get(), pki->key.get());
  std::string server_got;
  script->Connect();
  Handshake(loop, *script, server, server_got);
  if (!owner.connected) Broken(("no handshake: " + owner.error).c_str());

  std::string said;     // the server's text, clear
  std::string records;  // the server's records, not yet delivered
  std::string wrote;    // the client's text the filter took
  bool ended = false;   // the server ended the connection
  bool fin = false;     // and the transport read the connection's end
  bool shut = false;    // the client ended its side
  owner.said = &said;
  // Delivers up to n bytes of records, as a transport that reads does; once
  // they are all read, the end of an ended connection.
  const auto deliver = [&](std::size_t n) {
    if (!script->reading) return;
    n = std::min(n, records.size());
    if (n == 0) {
      if (ended && !fin) {
        fin = true;
        script->PeerClose();
      }
      return;
    }
    const std::string part = records.substr(0, n);
    records.erase(0, n);
    script->Receive(part);
  };
  // The server reads what reached it; what it answers comes back later.
  const auto carry = [&] { records += server.Take(std::exchange(script->wire, {}), server_got); };

  Script in(data, size);
  while (in.More()) {
    const std::uint8_t op = in.Byte();
    const std::size_t amount = in.Amount();
    switch (op % 10) {
      case 0: {
        if (ended) break;
        const std::string text = TextAt(said.size(), amount % 40000 + 1);
        said += text;
        records += server.Say(text);
        break;
      }
      case 1:
        deliver(amount + 1);
        break;
      case 2:
        filter.SetReading(false);
        break;
      case 3:
        filter.SetReading(true);
        break;
      case 4:
        owner.pause_after = amount % 3 == 0 ? 0 : amount + 1;
        break;
      case 5:
        loop.RunPosted();
        break;
      case 6: {
        if (ended) break;
        const std::string text = TextAt(wrote.size() + 0x5000000, amount % 70000 + 1);
        const std::string_view piece[1] = {text};
        const std::size_t taken = filter.Write(piece);
        if (shut && taken != 0) Broken("text taken after the end of the client's side");
        wrote += text.substr(0, taken);
        break;
      }
      case 7:
        script->Drain(amount);
        carry();
        break;
      case 8:
        // With its close_notify, or only the connection's end, as many SMTP
        // servers end after their 221.
        if (!std::exchange(ended, true) && amount % 2 == 0) records += server.Close();
        break;
      case 9:
        shut = true;
        filter.ShutdownSend();
        break;
    }
    if (owner.failed != 0) Broken(("failed: " + owner.error).c_str());
    if (said.compare(0, owner.received.size(), owner.received) != 0) {
      Broken("the owner got text the server did not say, there");
    }
  }

  // The owner reads from now on: everything arrives, and the transport is
  // reading whenever it is given the chance.
  owner.pause_after = 0;
  filter.SetReading(true);
  script->Drain();
  carry();
  for (int round = 0; round < 100000; ++round) {
    loop.RunPosted();
    if (records.empty() && fin == ended) break;
    if (!script->reading) Broken("the owner reads, yet the transport was never told to");
    deliver(16 * 1024);
  }
  loop.RunPosted();
  if (owner.ends != (ended ? 1 : 0)) Broken("the owner did not hear of the end once");
  if (owner.failed != 0) Broken(("failed: " + owner.error).c_str());
  if (owner.received != said) Broken("the owner did not get the server's text whole");
  script->Drain();
  carry();
  if (server_got != wrote) Broken("the server did not get the client's text whole");
  if (shut && !(script->shut_down && server.HeardClose())) {
    Broken("the client's side did not end with its close_notify");
  }
  return 0;
}
