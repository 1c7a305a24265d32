// A host's own ::asio::io_context as the connection core's Loop, so that the
// control runs inside the host's io.run() beside the host's own work.
//
// Header-only: it is compiled in the host's build, with the host's standalone
// Asio and its configuration (reactor choice, handler tracking, ...); the
// libraries hold no Asio at all. Link QVControls1::asio (CMake) or use
// `pkg-config qvcontrols1-asio`, which bring the runtime and ASIO_STANDALONE.
//
//   ::asio::io_context io;
//   qv::asio_host::AsioLoop loop(io);
//   qv::runtime::ControlSite site(loop);
//   ...
//   io.run();
//
// Contract:
// - io must outlive the loop, and the loop must outlive everything made on it
//   (control sites, sockets, timers).
// - One thread runs io (the loop's thread); only Post may be called from
//   other threads. The timers and watches the loop makes, and the loop
//   itself, are made, used and destroyed on that thread.
// - An exception thrown by a handler (a control's event sink, a posted call)
//   leaves io.run() as Asio does; the loop stays usable and io.run() may be
//   called again at once.
// - Waiting timers and watches are io's work, so io.run() returns once the
//   control is idle (no send under way) and the host has no work of its own.
// - A call posted to the loop that has not run when the loop is destroyed is
//   dropped without running, while io runs on.
// - A watched descriptor must stay open while its watch exists; several
//   watches of one descriptor are served alike. Watch throws
//   std::system_error when io cannot watch the descriptor (no descriptor
//   left for the watch's own duplicate); MakeTimer and Post throw only what
//   allocation throws. A wait io cannot make (with ASIO_DISABLE_EPOLL, a
//   descriptor beyond select's FD_SETSIZE) ends without running its fn, so
//   that the owner does not spin; the control's time limits end its send.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>
#include <utility>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/version.hpp>

#include "qv/connection/loop.hpp"

static_assert(ASIO_VERSION >= 101200, "QVControls1::asio needs standalone Asio 1.12 or later");

namespace qv::asio_host {

namespace detail {

// A one-shot wait that a later Start, Cancel or destruction makes stale: each
// started wait carries the generation it was started in, and a completion of
// an older generation (aborted or not) is dropped without running.
struct PendingCall {
  std::uint64_t generation = 0;
  bool waiting = false;  // an Asio wait of this generation is outstanding
  std::function<void()> fn;

  // Ends the current wait without running it.
  void Drop() {
    ++generation;
    waiting = false;
    fn = nullptr;
  }
  // Runs fn once, for a completion of the given generation, unless the wait
  // failed.
  void Complete(std::uint64_t of, const std::error_code& failed) {
    if (of != generation) return;
    waiting = false;
    std::function<void()> call = std::move(fn);
    fn = nullptr;  // call may start the next wait
    if (call && !failed) call();
  }
};

class AsioTimer final : public connection::LoopTimer {
 public:
  explicit AsioTimer(::asio::io_context& io)
      : timer_(io), state_(std::make_shared<PendingCall>()) {}
  ~AsioTimer() override { Cancel(); }
  AsioTimer(const AsioTimer&) = delete;
  AsioTimer& operator=(const AsioTimer&) = delete;

  void Start(Clock::time_point deadline, std::function<void()> fn) override {
    state_->Drop();
    state_->fn = std::move(fn);
    state_->waiting = true;
    timer_.expires_at(deadline);  // aborts the wait it replaces
    timer_.async_wait([state = state_, of = state_->generation](const std::error_code& failed) {
      state->Complete(of, failed);
    });
  }

  void Cancel() override {
    const bool waiting = state_->waiting;
    state_->Drop();
    if (waiting) timer_.cancel();  // so that io has no work left for it
  }

 private:
  ::asio::steady_timer timer_;
  // Shared with the outstanding wait, which completes after the timer is gone.
  std::shared_ptr<PendingCall> state_;
};

class AsioWatch final : public connection::FdWatch {
 public:
  // Watches a duplicate of fd: the epoll reactor registers a descriptor
  // number once, and so several watches of one descriptor each get their own.
  AsioWatch(::asio::io_context& io, int fd)
      : descriptor_(io), state_(std::make_shared<std::array<PendingCall, 2>>()) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) throw std::system_error(errno, std::system_category(), "watching a descriptor");
    std::error_code failed;
    descriptor_.assign(copy, failed);
    if (failed) {
      ::close(copy);
      throw std::system_error(failed, "watching a descriptor");
    }
  }
  ~AsioWatch() override {
    Cancel();
    // Only the duplicate is closed: fd stays open for its owner.
    ::close(descriptor_.release());
  }
  AsioWatch(const AsioWatch&) = delete;
  AsioWatch& operator=(const AsioWatch&) = delete;

  void WaitReadable(std::function<void()> fn) override {
    Wait(kRead, ::asio::posix::descriptor_base::wait_read, std::move(fn));
  }
  void WaitWritable(std::function<void()> fn) override {
    Wait(kWrite, ::asio::posix::descriptor_base::wait_write, std::move(fn));
  }

  void Cancel() override {
    const bool waiting = (*state_)[kRead].waiting || (*state_)[kWrite].waiting;
    (*state_)[kRead].Drop();
    (*state_)[kWrite].Drop();
    if (waiting) {
      std::error_code ignored;
      descriptor_.cancel(ignored);
    }
  }

 private:
  enum Kind : std::size_t { kRead = 0, kWrite = 1 };

  void Wait(Kind kind, ::asio::posix::descriptor_base::wait_type type, std::function<void()> fn) {
    PendingCall& call = (*state_)[kind];
    call.fn = std::move(fn);
    // A wait of this kind already outstanding runs the new fn instead: Asio
    // cannot cancel one direction of a descriptor alone.
    if (call.waiting) return;
    call.waiting = true;
    descriptor_.async_wait(
        type, [state = state_, kind, of = call.generation](const std::error_code& failed) {
          (*state)[kind].Complete(of, failed);
        });
  }

  ::asio::posix::stream_descriptor descriptor_;
  std::shared_ptr<std::array<PendingCall, 2>> state_;
};

}  // namespace detail

class AsioLoop final : public connection::Loop {
 public:
  explicit AsioLoop(::asio::io_context& io) : io_(io), alive_(std::make_shared<bool>(true)) {}
  ~AsioLoop() override {
    EndCoreWork();
    *alive_ = false;
  }
  AsioLoop(const AsioLoop&) = delete;
  AsioLoop& operator=(const AsioLoop&) = delete;

  // Thread-safe.
  void Post(std::function<void()> fn) override {
    ::asio::post(io_, [alive = alive_, fn = std::move(fn)] {
      if (*alive) fn();
    });
  }
  std::unique_ptr<connection::LoopTimer> MakeTimer() override {
    return std::make_unique<detail::AsioTimer>(io_);
  }
  std::unique_ptr<connection::FdWatch> Watch(int fd) override {
    return std::make_unique<detail::AsioWatch>(io_, fd);
  }

  ::asio::io_context& context() { return io_; }

 private:
  ::asio::io_context& io_;
  // Read and written on io's thread only; Post copies the pointer.
  std::shared_ptr<bool> alive_;
};

}  // namespace qv::asio_host
