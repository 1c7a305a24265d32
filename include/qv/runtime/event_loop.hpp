// The event loop on which the runtime's services run: one thread, the host
// program's own. Every timer tick, socket notification and event handler runs
// inside one of the calls below (or, on a host's own io_context, inside the
// host's run of it), one at a time.
//
// Threads: the loop, its services and the controls on it belong to the thread
// that runs the loop; create, use and destroy them there. Only Post may be
// called from any thread.
//
// A handler that throws: the exception leaves through the call that ran the
// handler (Run, RunUntil, Poll, RunFor, or the host's io_context::run), and
// the loop can be run again at once; notifications held back behind that
// handler follow in the next call.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "qv/runtime/asio_version.hpp"
#include "qv/runtime/export.hpp"

// Standalone Asio (ASIO_STANDALONE; Debian's libasio-dev). The runtime and a
// host that runs Asio code of its own share Asio's record of the thread that
// runs an io_context, so a host that can see standalone Asio must see the
// version the runtime was built with: any other is a compile error here.
#if __has_include(<asio/version.hpp>)
#include <asio/version.hpp>
static_assert(ASIO_VERSION == QV_RUNTIME_ASIO_VERSION,
              "build with the standalone Asio version the QVControls1 runtime was built with "
              "(QV_RUNTIME_ASIO_VERSION)");
#endif
// The two copies of Asio also hand each other handler memory through that
// record, so they must allocate it alike. Asio reads the choice from the
// standard library's configuration, which it has not seen when a file
// includes Asio before any standard header.
#if defined(ASIO_DETAIL_CONFIG_HPP) && !defined(ASIO_HAS_STD_ALIGNED_ALLOC)
#error \
    "Asio was configured here before the standard library: include a standard header (or this one) before Asio's headers, or define ASIO_HAS_STD_ALIGNED_ALLOC=1, as the QVControls1 runtime does"
#endif
namespace asio {
class io_context;
}  // namespace asio

namespace qv::runtime {

namespace detail {
struct LoopAccess;
class Gate;
}  // namespace detail

class QV_RUNTIME_EXPORT EventLoop {
 public:
  // A loop with an io_context of its own, run by the calls below.
  EventLoop();
  // A loop on the host's io_context, for a program that already runs one and
  // serves other things on it: the host runs io (run, run_one, poll, ...) on
  // one thread, the thread that uses the controls, and the runtime's work
  // runs inside it. io must outlive the loop and everything made on it, and
  // must not be made with a concurrency hint of 1 (a SendBody handler that
  // steps the loop would never see its own writes finish). The calls below
  // work here too; Stop stops io itself. The DeliveryGate guarantees hold
  // whoever runs io, even a handler that runs io nested. The host's Asio must
  // be the runtime's version (checked above) with default visibility: the
  // runtime's Asio code finds the thread running io through the host's
  // thread record, which a host built with hidden visibility must export
  // (only asio::detail::keyword_tss_ptr<...>::value_, as the runtime does).
  explicit EventLoop(asio::io_context& io);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Runs handlers until Stop() or until no work remains (no connection, no
  // enabled timer, nothing posted). A program that is about to end runs this
  // once its controls are closed: a closing connection still delivers its
  // queued text (the QUIT line), for at most SocketOptions::close_linger.
  void Run();
  // Runs handlers until done() is true (asked before each handler) or no work
  // remains; returns done().
  bool RunUntil(const std::function<bool()>& done);
  // Runs handlers until done() is true or limit has passed; returns done().
  // The limit is work of its own, so this form waits for it even when
  // nothing else is left to run.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
  // Runs the handlers that are ready, without waiting; returns how many ran.
  // For hosts that have a loop of their own and step this one from it.
  std::size_t Poll();
  // Runs handlers for up to duration (less when no work remains); returns how
  // many ran.
  std::size_t RunFor(std::chrono::milliseconds duration);
  // Makes the innermost running call return as soon as its current handler
  // is done, and every enclosing one after it. The next call runs again.
  void Stop();

  // Queues fn to run on the loop's thread, after the handlers already ready.
  // The one call that may be made from any thread (a worker handing a result
  // to the thread of the controls); fn must then be safe to run there.
  void Post(std::function<void()> fn);

  // Any of the calls above may be made from inside a handler (a host stepping
  // the loop from an event handler). Socket notifications and timer ticks are
  // then held back by their DeliveryGate: see below.

 private:
  friend struct detail::LoopAccess;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Notifications of the services that share a gate (the socket and timer of one
// control) are delivered one at a time. While one is being handled, even when
// its handler steps the loop, the others wait and follow, in order, as soon as
// it returns. So a control never sees a socket notification or a tick inside
// its own tick. Services made without a gate share their loop's gate.
class QV_RUNTIME_EXPORT DeliveryGate {
 public:
  explicit DeliveryGate(EventLoop& loop);
  ~DeliveryGate();
  DeliveryGate(const DeliveryGate&) = delete;
  DeliveryGate& operator=(const DeliveryGate&) = delete;

  // True while a notification of this gate is being handled.
  bool Busy() const;

 private:
  friend struct detail::LoopAccess;
  std::shared_ptr<detail::Gate> gate_;
};

}  // namespace qv::runtime
