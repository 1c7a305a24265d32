// A Transport played by a test: it records what the core writes, takes at
// most a scripted number of bytes per write, and raises the events the test
// asks for. Its state outlives the transport, so a test sees when the core
// let it go.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "qv/connection/transport.hpp"

namespace qv::test_support {

struct TransportScript {
  connection::TransportEvents* events = nullptr;
  std::string host;
  std::uint16_t port = 0;
  std::string wire;  // everything written, in order
  std::size_t take_per_write = std::numeric_limits<std::size_t>::max();
  long unacknowledged = 0;
  int writes = 0;
  bool reading = true;
  bool shut_down = false;
  bool destroyed = false;
  bool writable_wanted = false;

  // Events, as the loop would raise them.
  void Connect() { events->OnTransportConnected(); }
  void Receive(std::string_view bytes) { events->OnTransportReceived(bytes); }
  void PeerClose() { events->OnTransportPeerClosed(); }
  void Fail(Long number, const std::string& text) { events->OnTransportFailed(number, text); }
  // The peer took what was waiting: more can be written.
  void Drain(std::size_t take = std::numeric_limits<std::size_t>::max()) {
    take_per_write = take;
    if (std::exchange(writable_wanted, false)) events->OnTransportWritable();
  }
};

class ScriptedTransport final : public connection::Transport {
 public:
  explicit ScriptedTransport(std::shared_ptr<TransportScript> script)
      : script_(std::move(script)) {}
  ~ScriptedTransport() override { script_->destroyed = true; }

  void SetEvents(connection::TransportEvents* events) override { script_->events = events; }
  void Connect(const std::string& host, std::uint16_t port) override {
    script_->host = host;
    script_->port = port;
  }
  std::size_t Write(std::span<const std::string_view> pieces) override {
    ++script_->writes;
    std::size_t taken = 0;
    for (const std::string_view piece : pieces) {
      const std::size_t n = std::min(piece.size(), script_->take_per_write - taken);
      script_->wire.append(piece.substr(0, n));
      taken += n;
      if (n < piece.size()) {
        script_->writable_wanted = true;
        break;
      }
    }
    return taken;
  }
  void SetReading(bool reading) override { script_->reading = reading; }
  long Unacknowledged() override { return script_->unacknowledged; }
  std::string LocalAddressLiteral() override { return "[192.0.2.9]"; }
  void ShutdownSend() override { script_->shut_down = true; }

 private:
  std::shared_ptr<TransportScript> script_;
};

}  // namespace qv::test_support
