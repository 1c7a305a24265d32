// Runtime-internal: the Asio side of EventLoop and DeliveryGate.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <asio/io_context.hpp>

#include "qv/runtime/event_loop.hpp"

namespace qv::runtime::detail {

// Delivers notifications one at a time (see DeliveryGate). Sources are the
// services' cores, so that a closed socket or disabled timer can drop what it
// still has waiting.
class Gate : public std::enable_shared_from_this<Gate> {
 public:
  explicit Gate(asio::io_context& io) : io_(io) {}

  // Runs fn now when the gate is free and nothing waits before it; otherwise
  // queues it behind the others.
  void Deliver(const void* source, std::function<void()> fn);
  // Drops what source has waiting.
  void Cancel(const void* source);
  bool Busy() const { return depth_ > 0; }

 private:
  struct Waiting {
    const void* source;
    std::function<void()> fn;
  };
  void RunOne(std::function<void()>& fn);
  void Drain();

  asio::io_context& io_;
  int depth_ = 0;
  std::vector<Waiting> waiting_;
};

struct LoopAccess {
  static asio::io_context& Context(EventLoop& loop);
  static std::shared_ptr<Gate> LoopGate(EventLoop& loop);
  static std::shared_ptr<Gate> GateOf(DeliveryGate& gate) { return gate.gate_; }
};

}  // namespace qv::runtime::detail
