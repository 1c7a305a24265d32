// The runtime's own event loop: one thread, the host program's own, on the
// operating system's readiness notification (epoll). Every timer tick, socket
// notification and event handler of the services on it runs inside one of
// the calls below, one at a time.
//
// A program with a loop of its own (poll, epoll, glib, libuv, Qt) watches
// Descriptor() for reading with it and calls Poll() whenever it is readable:
// the runtime then needs no thread and no call of its own.
//
// Threads: the loop, its services and the controls on it belong to the thread
// that runs the loop; create, use and destroy them there. Only Post may be
// called from any thread.
//
// A handler that throws: the exception leaves through the call that ran the
// handler (Run, RunUntil, Poll or RunFor), and the loop can be run again at
// once; nothing else is lost, and notifications held back behind that handler
// by their DeliveryGate follow in the next call.
//
// Lifetime: the loop must outlive everything made on it (timers, watches,
// sockets, sites). Destroying it drops what is still posted or armed without
// running it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "qv/connection/loop.hpp"
#include "qv/runtime/export.hpp"

namespace qv::runtime {

class QV_RUNTIME_EXPORT EventLoop final : public connection::Loop {
 public:
  // Throws AutomationError 10055 when the system refuses the descriptors the
  // loop needs (too many open files).
  EventLoop();
  ~EventLoop() override;

  // Runs handlers until Stop() or until no work remains (no timer pending, no
  // descriptor watched, nothing posted). A program that is about to end runs
  // this once its controls are closed: a closing connection still delivers
  // its queued text (the QUIT line), for at most SocketOptions::close_linger.
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

  // Any of the calls above may be made from inside a handler (a host stepping
  // the loop from an event handler). Socket notifications and timer ticks of
  // one control are then held back by its connection::DeliveryGate.

  // Readable whenever a handler is ready to run (a posted call, a due timer,
  // a watched descriptor's readiness); stays open for the loop's life. Never
  // read it or change it: only watch it and call Poll().
  int Descriptor() const;

  // connection::Loop. Post is the one call that may be made from any thread
  // (a worker handing a result to the thread of the controls); fn then runs
  // on the loop's thread, after the handlers already ready.
  void Post(std::function<void()> fn) override;
  std::unique_ptr<connection::LoopTimer> MakeTimer() override;
  // One watch per descriptor at a time is the usual case; several are served
  // alike. The descriptor must stay open while its watch exists.
  std::unique_ptr<connection::FdWatch> Watch(int fd) override;

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

}  // namespace qv::runtime
