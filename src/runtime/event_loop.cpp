#include "qv/runtime/event_loop.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qv/core/automation_error.hpp"
#include "qv/host/socket.hpp"

namespace qv::runtime {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const char* what, int err) {
  throw AutomationError(socket_error::kNoBufferSpace,
                        std::string("The event loop cannot ") + what + ": " + std::strerror(err));
}

// What wakes a read wait and a write wait. A hang-up or an error ends both.
constexpr std::uint32_t kReadBits = EPOLLIN | EPOLLRDHUP | EPOLLPRI | EPOLLHUP | EPOLLERR;
constexpr std::uint32_t kWriteBits = EPOLLOUT | EPOLLHUP | EPOLLERR;

// Handlers run between two looks at the kernel while others are ready, so
// that a stream of posted calls does not starve the descriptors.
constexpr unsigned kHandlersPerLook = 32;

}  // namespace

struct EventLoop::Core {
  using Key = std::pair<Clock::time_point, std::uint64_t>;  // deadline, then start order

  struct TimerState {
    std::function<void()> fn;
    bool armed = false;
    Key key;
  };
  struct WatchState {
    int fd;
    bool reading = false;
    bool writing = false;
    std::function<void()> on_readable;
    std::function<void()> on_writable;
    std::uint32_t Wanted() const {
      return (reading ? EPOLLIN | EPOLLRDHUP : 0u) | (writing ? EPOLLOUT : 0u);
    }
  };
  // The watches of one descriptor. Its registration with epoll is narrowed
  // only when the kernel reports what nobody waits for: a handler mostly
  // waits again at once, and that then costs no system call.
  struct FdRecord {
    std::uint32_t generation = 0;  // tells a registration from an earlier one
    std::uint32_t registered = 0;  // events asked of epoll; 0: not in the set
    std::vector<WatchState*> watches;
  };
  // A readiness collected from the kernel and not yet served. data: the
  // record's generation << 32 | fd.
  struct Ready {
    std::uint64_t data;
    std::uint32_t events;
  };

  Core() {
    epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0) Fail("create its epoll descriptor", errno);
    timer_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const int err = errno;
    if (timer_fd < 0 || wake_fd < 0) {
      CloseAll();
      Fail("create its timer and wake-up descriptors", err);
    }
    for (const int fd : {timer_fd, wake_fd}) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = static_cast<std::uint32_t>(fd);  // generation 0: the loop's own
      if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        const int add_err = errno;
        CloseAll();
        Fail("watch its own descriptors", add_err);
      }
    }
  }
  ~Core() { CloseAll(); }

  void CloseAll() {
    for (int* fd : {&wake_fd, &timer_fd, &epoll_fd}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }

  // --- posted calls ---

  void Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(posted_mutex);
    if (!alive) return;
    posted.push_back(std::move(fn));
    if (!wake_pending) {
      const std::uint64_t one = 1;
      // Cannot fail short of a closed descriptor: the counter is far from full.
      [[maybe_unused]] const ssize_t n = ::write(wake_fd, &one, sizeof one);
      wake_pending = true;
    }
  }

  bool TakePosted(std::function<void()>& fn) {
    std::lock_guard<std::mutex> lock(posted_mutex);
    if (posted.empty()) return false;
    fn = std::move(posted.front());
    posted.pop_front();
    if (posted.empty() && wake_pending) {
      std::uint64_t count;
      [[maybe_unused]] const ssize_t n = ::read(wake_fd, &count, sizeof count);
      wake_pending = false;
    }
    return true;
  }

  bool AnythingPosted() {
    std::lock_guard<std::mutex> lock(posted_mutex);
    return !posted.empty();
  }

  // --- timers ---

  void Arm(TimerState& t, Clock::time_point deadline, std::function<void()> fn) {
    std::function<void()> replaced = std::move(t.fn);  // dropped once the state is sound
    if (t.armed) timers.erase(t.key);
    t.fn = std::move(fn);
    t.key = {deadline, ++timer_sequence};
    t.armed = true;
    timers.emplace(t.key, &t);
    SetTimerFd();
  }

  void Disarm(TimerState& t) {
    if (!t.armed) return;
    std::function<void()> dropped = std::move(t.fn);
    timers.erase(t.key);
    t.armed = false;
    SetTimerFd();
  }

  // The timerfd follows the earliest deadline, so the epoll descriptor is
  // readable whenever a timer is due. Setting it also clears its expiry.
  void SetTimerFd(bool force = false) {
    const Clock::time_point want =
        timers.empty() ? Clock::time_point::max() : timers.begin()->first.first;
    if (want == timer_fd_deadline && !force) return;
    timer_fd_deadline = want;
    itimerspec wake_at{};
    if (want != Clock::time_point::max()) {
      // steady_clock is CLOCK_MONOTONIC; a deadline at or before its origin
      // still has to fire, and a zero value would disarm.
      const auto ns = std::max<std::int64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(want.time_since_epoch()).count(), 1);
      wake_at.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
      wake_at.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    ::timerfd_settime(timer_fd, TFD_TIMER_ABSTIME, &wake_at, nullptr);
  }

  bool TakeDueTimer(std::function<void()>& fn) {
    if (timers.empty() || timers.begin()->first.first > Clock::now()) return false;
    TimerState& t = *timers.begin()->second;
    fn = std::move(t.fn);
    timers.erase(timers.begin());
    t.armed = false;
    SetTimerFd();
    return true;
  }

  // --- descriptors ---

  void Attach(WatchState& w) { fds[w.fd].watches.push_back(&w); }

  void Detach(WatchState& w) {
    ClearWaits(w);
    auto it = fds.find(w.fd);
    if (it == fds.end()) return;
    std::erase(it->second.watches, &w);
    if (it->second.watches.empty()) {
      // Before the owner closes the descriptor; a stale readiness then finds
      // no record and is dropped.
      if (it->second.registered != 0) ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, w.fd, nullptr);
      fds.erase(it);
    }
  }

  void SetWait(WatchState& w, bool write, std::function<void()> fn) {
    bool& flag = write ? w.writing : w.reading;
    std::function<void()>& slot = write ? w.on_writable : w.on_readable;
    std::function<void()> replaced = std::move(slot);
    slot = std::move(fn);
    if (!flag) ++waits;
    flag = true;
    FdRecord& record = fds[w.fd];
    const std::uint32_t wanted = Wanted(record);
    if ((wanted & ~record.registered) != 0) Register(w.fd, record, record.registered | wanted);
  }

  void ClearWaits(WatchState& w) {
    std::function<void()> read_fn = std::move(w.on_readable);
    std::function<void()> write_fn = std::move(w.on_writable);
    waits -= (w.reading ? 1 : 0) + (w.writing ? 1 : 0);
    w.reading = w.writing = false;
  }

  static std::uint32_t Wanted(const FdRecord& record) {
    std::uint32_t wanted = 0;
    for (const WatchState* w : record.watches) wanted |= w->Wanted();
    return wanted;
  }

  void Register(int fd, FdRecord& record, std::uint32_t events) {
    if (events == 0) {
      if (record.registered != 0) ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
      record.registered = 0;
      return;
    }
    int op = EPOLL_CTL_MOD;
    if (record.registered == 0) {
      op = EPOLL_CTL_ADD;
      record.generation = next_generation++;
      if (next_generation == 0) next_generation = 1;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = (std::uint64_t{record.generation} << 32) | static_cast<std::uint32_t>(fd);
    int rc = ::epoll_ctl(epoll_fd, op, fd, &ev);
    if (rc != 0 && errno == EEXIST) rc = ::epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &ev);
    if (rc == 0) {
      record.registered = events;
      return;
    }
    // epoll refuses the descriptor (a closed one, a plain file): the waits
    // are told at once, and the owner's read or write finds out why.
    ready.push_back({ev.data.u64, EPOLLIN | EPOLLOUT | EPOLLERR});
  }

  bool TakeReadyWatch(std::function<void()>& fn) {
    while (!ready.empty()) {
      Ready& r = ready.front();
      const int fd = static_cast<int>(r.data & 0xffffffffu);
      const auto it = fds.find(fd);
      if (it != fds.end() && it->second.generation == (r.data >> 32)) {
        FdRecord& record = it->second;
        for (WatchState* w : record.watches) {
          if (w->reading && (r.events & kReadBits) != 0) {
            r.events &= ~(EPOLLIN | EPOLLRDHUP | EPOLLPRI);
            Take(*w, false, fn);
            return true;
          }
          if (w->writing && (r.events & kWriteBits) != 0) {
            r.events &= ~EPOLLOUT;
            Take(*w, true, fn);
            return true;
          }
        }
        // Reported what nobody waits for (any more): ask only for the rest.
        const std::uint32_t wanted = Wanted(record);
        if ((record.registered & ~wanted) != 0) Register(fd, record, wanted);
      }
      ready.pop_front();
    }
    return false;
  }

  void Take(WatchState& w, bool write, std::function<void()>& fn) {
    (write ? w.writing : w.reading) = false;
    fn = std::move(write ? w.on_writable : w.on_readable);
    --waits;
    // The front entry keeps its other kind: a reader and a writer of the same
    // descriptor are both served from one report.
    if ((ready.front().events & (kReadBits | kWriteBits)) == 0) ready.pop_front();
  }

  // --- the kernel ---

  // Waits up to timeout_ms (-1: without limit) and keeps what is reported.
  void Collect(int timeout_ms) {
    epoll_event events[64];
    handlers_since_look = 0;
    const int n = ::epoll_wait(epoll_fd, events, 64, timeout_ms);
    if (n < 0) {
      if (errno == EINTR) return;
      Fail("wait for its descriptors", errno);
    }
    for (int i = 0; i < n; ++i) {
      const std::uint64_t data = events[i].data.u64;
      if (data == static_cast<std::uint32_t>(timer_fd)) {
        std::uint64_t expiries;
        [[maybe_unused]] const ssize_t r = ::read(timer_fd, &expiries, sizeof expiries);
        // Readable again at once while the earliest timer is still unserved.
        SetTimerFd(true);
      } else if (data != static_cast<std::uint32_t>(wake_fd)) {
        ready.push_back({data, events[i].events});
      }
    }
  }

  // Takes the next handler that is ready, without waiting.
  bool TakeReady(std::function<void()>& fn) {
    if (handlers_since_look >= kHandlersPerLook && ready.empty()) Collect(0);
    for (bool looked = false;; looked = true) {
      if (TakeReadyWatch(fn) || TakeDueTimer(fn) || TakePosted(fn)) {
        ++handlers_since_look;
        return true;
      }
      if (looked) return false;
      Collect(0);
    }
  }

  bool HasWork() { return !timers.empty() || waits > 0 || AnythingPosted(); }

  // Runs one handler, waiting for one until deadline (none: without limit).
  // Returns false when stopped, at the deadline, or, when work_ends, once no
  // work remains.
  bool RunOne(std::optional<Clock::time_point> deadline, bool work_ends) {
    std::function<void()> fn;
    while (true) {
      if (stopped) return false;
      if (TakeReady(fn)) {
        fn();
        return true;
      }
      if (work_ends && !HasWork()) return false;
      int timeout = -1;
      if (deadline) {
        const auto now = Clock::now();
        if (now >= *deadline) return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count();
        timeout = static_cast<int>(std::min<long long>(left, INT_MAX));
      }
      Collect(timeout);
    }
  }

  int epoll_fd = -1;
  int timer_fd = -1;
  int wake_fd = -1;
  bool alive = true;  // guarded by posted_mutex where Post reads it
  bool stopped = false;

  std::map<Key, TimerState*> timers;
  std::uint64_t timer_sequence = 0;
  Clock::time_point timer_fd_deadline = Clock::time_point::max();

  std::unordered_map<int, FdRecord> fds;
  std::uint32_t next_generation = 1;
  std::size_t waits = 0;  // armed waits of every watch

  std::deque<Ready> ready;
  unsigned handlers_since_look = 0;

  std::mutex posted_mutex;
  std::deque<std::function<void()>> posted;
  bool wake_pending = false;  // wake_fd counts; guarded by posted_mutex

  class Timer;
  class Watch;
};

class EventLoop::Core::Timer final : public connection::LoopTimer {
 public:
  explicit Timer(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  ~Timer() override { Cancel(); }
  void Start(Clock::time_point deadline, std::function<void()> fn) override {
    if (core_->alive) core_->Arm(state_, deadline, std::move(fn));
  }
  void Cancel() override {
    if (core_->alive) core_->Disarm(state_);
  }

 private:
  std::shared_ptr<Core> core_;  // outlives a loop destroyed too early
  TimerState state_;
};

class EventLoop::Core::Watch final : public connection::FdWatch {
 public:
  Watch(std::shared_ptr<Core> core, int fd) : core_(std::move(core)) {
    state_.fd = fd;
    if (core_->alive) core_->Attach(state_);
  }
  ~Watch() override {
    if (core_->alive) core_->Detach(state_);
  }
  void WaitReadable(std::function<void()> fn) override {
    if (core_->alive) core_->SetWait(state_, false, std::move(fn));
  }
  void WaitWritable(std::function<void()> fn) override {
    if (core_->alive) core_->SetWait(state_, true, std::move(fn));
  }
  void Cancel() override {
    if (core_->alive) core_->ClearWaits(state_);
  }

 private:
  std::shared_ptr<Core> core_;
  WatchState state_;
};

EventLoop::EventLoop() : core_(std::make_shared<Core>()) {}

EventLoop::~EventLoop() {
  // The shared beats hold timers of this loop.
  EndCoreWork();
  Core& c = *core_;
  // What is dropped may own watches and timers of this loop: their calls
  // find it gone and do nothing.
  std::deque<std::function<void()>> posted;
  {
    std::lock_guard<std::mutex> lock(c.posted_mutex);
    c.alive = false;
    posted.swap(c.posted);
  }
  std::vector<std::function<void()>> dropped;
  for (auto& [key, t] : c.timers) {
    t->armed = false;
    dropped.push_back(std::move(t->fn));
  }
  c.timers.clear();
  for (auto& [fd, record] : c.fds) {
    for (Core::WatchState* w : record.watches) {
      w->reading = w->writing = false;
      dropped.push_back(std::move(w->on_readable));
      dropped.push_back(std::move(w->on_writable));
    }
  }
  c.fds.clear();
  c.ready.clear();
  c.waits = 0;
  c.CloseAll();
}

void EventLoop::Run() {
  core_->stopped = false;
  while (core_->RunOne(std::nullopt, true)) {
  }
}

bool EventLoop::RunUntil(const std::function<bool()>& done) {
  core_->stopped = false;
  while (!done()) {
    if (!core_->RunOne(std::nullopt, true)) return done();
  }
  return true;
}

bool EventLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  core_->stopped = false;
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (!core_->RunOne(deadline, false)) return done();
  }
  return true;
}

std::size_t EventLoop::Poll() {
  core_->stopped = false;
  std::size_t ran = 0;
  std::function<void()> fn;
  while (!core_->stopped && core_->TakeReady(fn)) {
    fn();
    fn = nullptr;
    ++ran;
  }
  return ran;
}

std::size_t EventLoop::RunFor(std::chrono::milliseconds duration) {
  core_->stopped = false;
  const auto deadline = Clock::now() + duration;
  std::size_t ran = 0;
  while (core_->RunOne(deadline, true)) ++ran;
  return ran;
}

void EventLoop::Stop() { core_->stopped = true; }

int EventLoop::Descriptor() const { return core_->epoll_fd; }

void EventLoop::Post(std::function<void()> fn) { core_->Post(std::move(fn)); }

std::unique_ptr<connection::LoopTimer> EventLoop::MakeTimer() {
  return std::make_unique<Core::Timer>(core_);
}

std::unique_ptr<connection::FdWatch> EventLoop::Watch(int fd) {
  return std::make_unique<Core::Watch>(core_, fd);
}

}  // namespace qv::runtime
