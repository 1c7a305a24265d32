// Runtime-internal: the Asio side of EventLoop and DeliveryGate.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <utility>
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
  // queues it behind the others. Only a queued fn is made a std::function
  // (a timer's tick, a thousand a beat, mostly runs at once).
  template <typename Fn>
  void Deliver(const void* source, Fn&& fn) {
    if (depth_ > 0 || !waiting_.empty()) {
      waiting_.push_back({source, std::function<void()>(std::forward<Fn>(fn))});
      return;
    }
    auto keep = shared_from_this();  // a handler may drop the gate's last owner
    RunOne(fn);
    Drain();
  }
  // Drops what source has waiting.
  void Cancel(const void* source);
  bool Busy() const { return depth_ > 0; }

 private:
  struct Waiting {
    const void* source;
    std::function<void()> fn;
  };
  // The gate is busy for as long as one of these lives.
  struct Running {
    Gate& gate;
    int exceptions = std::uncaught_exceptions();
    ~Running();
  };
  template <typename Fn>
  void RunOne(Fn& fn) {
    ++depth_;
    Running running{*this};
    fn();
  }
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
