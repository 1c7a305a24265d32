#include "qv/runtime/event_loop.hpp"

#include <algorithm>
#include <exception>
#include <utility>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "loop_access.hpp"

namespace qv::runtime {

namespace detail {

void Gate::Cancel(const void* source) {
  std::erase_if(waiting_, [source](const Waiting& w) { return w.source == source; });
}

Gate::Running::~Running() {
  // A handler threw: the exception leaves through the loop, so the
  // notifications held back behind it follow from a fresh handler.
  if (--gate.depth_ == 0 && !gate.waiting_.empty() && std::uncaught_exceptions() > exceptions) {
    asio::post(gate.io_, [weak = gate.weak_from_this()] {
      if (auto g = weak.lock()) g->Drain();
    });
  }
}

void Gate::Drain() {
  auto keep = shared_from_this();
  while (depth_ == 0 && !waiting_.empty()) {
    auto fn = std::move(waiting_.front().fn);
    waiting_.erase(waiting_.begin());
    RunOne(fn);
  }
}

}  // namespace detail

struct EventLoop::Impl {
  // One thread runs the loop; the resolver's helper thread only posts to it.
  // No concurrency hint of 1: with it, completions of writes started inside a
  // handler wait in that handler's private queue until it returns, so a
  // SendBody handler that steps the loop to drain its body would never see
  // its writes finish.
  Impl() : owned(std::make_unique<asio::io_context>()), io(*owned) {}
  explicit Impl(asio::io_context& host_io) : io(host_io) {}

  std::unique_ptr<asio::io_context> owned;  // empty on the host's io_context
  asio::io_context& io;
  std::shared_ptr<detail::Gate> gate = std::make_shared<detail::Gate>(io);

  // A call after Stop(), or after the loop ran out of work, runs again.
  void Restart() {
    if (io.stopped()) io.restart();
  }
};

namespace detail {
asio::io_context& LoopAccess::Context(EventLoop& loop) { return loop.impl_->io; }
std::shared_ptr<Gate> LoopAccess::LoopGate(EventLoop& loop) { return loop.impl_->gate; }
}  // namespace detail

EventLoop::EventLoop() : impl_(std::make_unique<Impl>()) {}

EventLoop::EventLoop(asio::io_context& io) : impl_(std::make_unique<Impl>(io)) {}

EventLoop::~EventLoop() = default;

void EventLoop::Run() {
  impl_->Restart();
  impl_->io.run();
}

bool EventLoop::RunUntil(const std::function<bool()>& done) {
  impl_->Restart();
  while (!done()) {
    if (impl_->io.run_one() == 0) return done();
  }
  return true;
}

bool EventLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  impl_->Restart();
  auto expired = std::make_shared<bool>(false);
  asio::steady_timer guard(impl_->io, limit);
  guard.async_wait([expired](const std::error_code& ec) {
    if (!ec) *expired = true;
  });
  bool result = false;
  while (true) {
    if (done()) {
      result = true;
      break;
    }
    if (*expired || impl_->io.run_one() == 0) {
      result = done();
      break;
    }
  }
  guard.cancel();
  return result;
}

std::size_t EventLoop::Poll() {
  impl_->Restart();
  return impl_->io.poll();
}

std::size_t EventLoop::RunFor(std::chrono::milliseconds duration) {
  impl_->Restart();
  return impl_->io.run_for(duration);
}

void EventLoop::Stop() { impl_->io.stop(); }

// asio::post on an io_context is safe from any thread; impl_ never changes.
void EventLoop::Post(std::function<void()> fn) { asio::post(impl_->io, std::move(fn)); }

DeliveryGate::DeliveryGate(EventLoop& loop)
    : gate_(std::make_shared<detail::Gate>(detail::LoopAccess::Context(loop))) {}

DeliveryGate::~DeliveryGate() = default;

bool DeliveryGate::Busy() const { return gate_->Busy(); }

}  // namespace qv::runtime
