// What a host's event loop offers the connection core: deferred calls,
// one-shot timers and readiness of descriptors. The runtime's own loop, a
// host's asio::io_context and Qt's event loop each implement it in a few
// lines; everything above it (the socket and timer services, the delivery
// gate) is written once.
//
// Threads: a loop and everything made from it belong to the thread that runs
// it. Only Post may be called from another thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "qv/connection/export.hpp"

namespace qv::connection {

class Cadences;

// A one-shot timer of the loop. Destroying it cancels it.
class QV_CONNECTION_EXPORT LoopTimer {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~LoopTimer() = default;
  // fn runs once on the loop's thread at or after deadline, unless the timer
  // is cancelled, started again or destroyed first (fn is then dropped
  // without running). Replaces a wait already started.
  virtual void Start(Clock::time_point deadline, std::function<void()> fn) = 0;
  virtual void Cancel() = 0;
};

// Readiness of one descriptor the loop watches (a connected or connecting
// TCP socket). Destroying it stops the watch; the descriptor stays open.
class QV_CONNECTION_EXPORT FdWatch {
 public:
  virtual ~FdWatch() = default;
  // fn runs once on the loop's thread when the descriptor can be read (data,
  // its end or an error waits). Replaces a wait of the same kind.
  virtual void WaitReadable(std::function<void()> fn) = 0;
  // fn runs once when the descriptor can be written (or has an error); a
  // connecting socket becomes writable once the attempt has ended.
  virtual void WaitWritable(std::function<void()> fn) = 0;
  // Drops both waits without running them.
  virtual void Cancel() = 0;
};

class QV_CONNECTION_EXPORT Loop {
 public:
  Loop();
  virtual ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  // Queues fn to run on the loop's thread after the handlers already ready.
  // The one call that may come from any thread (the name resolver hands its
  // result back through it).
  virtual void Post(std::function<void()> fn) = 0;
  virtual std::unique_ptr<LoopTimer> MakeTimer() = 0;
  virtual std::unique_ptr<FdWatch> Watch(int fd) = 0;
  // The loop's time, which its timers follow: the steady clock, or a
  // test's manual clock.
  virtual LoopTimer::Clock::time_point Now() { return LoopTimer::Clock::now(); }

  // The shared beats of this loop's tick timers (TickTimer).
  Cadences& cadences();

  // Work of the connection core's that lives on its own and must end with
  // the loop (a connection still closing after its socket went): end runs
  // once, from EndCoreWork, unless removed first.
  std::uint64_t AddEnding(std::function<void()> end);
  void RemoveEnding(std::uint64_t id);

 protected:
  // Every loop calls this first in its destructor, while its timers and
  // watches still work: it ends the tick timers' shared beats and the
  // connections still closing.
  void EndCoreWork();

 private:
  std::unique_ptr<Cadences> cadences_;
  std::map<std::uint64_t, std::function<void()>> endings_;
  std::uint64_t next_ending_ = 0;
};

}  // namespace qv::connection
