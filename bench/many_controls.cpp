// Many qvSMTP controls on one event loop, from one thread.
//
// send: N controls each send one message at once to an SMTP server; prints
// the wall time from the first Send to the last SendComplete, the outcome of
// every send, the CPU used per message and the memory per control.
// wait: N controls connect to a listener of this program that never greets,
// so every control waits in WaitGreeting; prints the CPU per waiting tick.
//
// One JSON object goes to standard output; bench/run.sh reads it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "qv/core/text.hpp"
#include "qv/runtime/control_site.hpp"
#include "qv/runtime/event_loop.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string mode = "send";
  std::string server = "127.0.0.1";
  int port = 25;
  int controls = 1000;
  int recipients = 1;
  int body_bytes = 64;
  int wait_ms = 2000;
  int limit_s = 120;
  int protocol = 0;  // Protocol: 0 HELO, stepped by the tick; 1 EHLO and 2 STARTTLS, on arrival
  std::string ca_file;
  // Each Send waits for the one before to complete, so that a TLS session the
  // server gave one control can be resumed by the next.
  bool one_at_a_time = false;
};

// The conversation's floor: 12 ticks of 50 ms for one recipient, 2 more for
// each further one.
constexpr double kTickMs = 50.0;
double FloorMs(int recipients) { return kTickMs * (12 + 2 * (recipients - 1)); }

struct Usage {
  double user_s = 0;
  double system_s = 0;
  // Times the thread gave up the core to wait: each is a sleep and a wake-up.
  long waits = 0;
};

Usage ReadUsage() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return {seconds(u.ru_utime), seconds(u.ru_stime), u.ru_nvcsw};
}

// A line of /proc/self/status in KiB: VmRSS now, VmHWM the peak. (ru_maxrss
// would do for the peak but carries the parent's peak over exec.)
long StatusKib(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, key.size() + 1, key + ":") == 0)
      return std::stol(line.substr(key.size() + 1));
  }
  return 0;
}
long CurrentRssKib() { return StatusKib("VmRSS"); }
long PeakRssKib() { return StatusKib("VmHWM"); }

// Ten thousand connections need more descriptors than the usual soft limit.
long RaiseDescriptorLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ::getrlimit(RLIMIT_NOFILE, &limit);
  return static_cast<long>(limit.rlim_cur);
}

struct Outcome : qv::qvSMTPEvents {
  Clock::time_point sent{};
  Clock::time_point completed{};
  bool complete = false;
  qv::Integer status = -1;
  int* remaining = nullptr;

  void SendComplete(qv::Integer& s) override {
    if (complete) return;
    complete = true;
    status = s;
    completed = Clock::now();
    --*remaining;
  }
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * double(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

std::string Recipients(int count) {
  std::string list;
  for (int i = 1; i <= count; ++i) {
    if (i > 1) list += ", ";
    list += "rcpt" + std::to_string(i) + "@example.net";
  }
  return list;
}

// A listener that never accepts: the kernel completes the connections, and
// nothing ever answers them.
class SilentListener {
 public:
  explicit SilentListener(int backlog) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket() failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, backlog) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    socklen_t size = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~SilentListener() { ::close(fd_); }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

struct Fleet {
  std::vector<std::unique_ptr<qv::runtime::ControlSite>> sites;
  std::vector<Outcome> outcomes;
  int remaining = 0;
};

void Build(Fleet& fleet, qv::runtime::EventLoop& loop, const Options& o, int port) {
  qv::connection::SocketOptions socket_options;
  socket_options.port = static_cast<std::uint16_t>(port);
  const qv::String server = qv::FromUtf8(o.server);
  const qv::String to = qv::FromUtf8(Recipients(o.recipients));
  std::string body;
  for (int i = 0; i < o.body_bytes; ++i) body += (i % 64 == 63) ? '\n' : char('a' + i % 26);
  const qv::Variant body_value(qv::FromUtf8(body));

  fleet.sites.reserve(o.controls);
  fleet.outcomes.resize(o.controls);
  for (int i = 0; i < o.controls; ++i) {
    auto site = std::make_unique<qv::runtime::ControlSite>(loop, socket_options);
    qv::qvSMTP& control = site->control();
    control.put_RemoteHost(server);
    control.put_MailFrom(u"bench@example.org");
    control.put_RcptTo(to);
    control.put_Subject(u"scale " + qv::FromUtf8(std::to_string(i)));
    control.put_Body(body_value);
    control.put_Protocol(static_cast<qv::Integer>(o.protocol));
    if (!o.ca_file.empty()) control.put_CaFile(qv::FromUtf8(o.ca_file));
    fleet.outcomes[i].remaining = &fleet.remaining;
    control.Advise(&fleet.outcomes[i]);
    fleet.sites.push_back(std::move(site));
  }
}

// Lets closing connections deliver their last lines before the sites go.
void TearDown(Fleet& fleet, qv::runtime::EventLoop& loop) {
  for (auto& site : fleet.sites) site->control().Advise(nullptr);
  fleet.sites.clear();
  loop.RunFor(2000ms);
}

std::chrono::milliseconds TimeLeft(const Options& o, Clock::time_point start) {
  const auto left = std::chrono::seconds(o.limit_s) - (Clock::now() - start);
  return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(left));
}

nlohmann::ordered_json RunSend(const Options& o) {
  nlohmann::ordered_json out;
  out["descriptor_limit"] = RaiseDescriptorLimit();
  qv::runtime::EventLoop loop;
  const long baseline_kib = CurrentRssKib();

  Fleet fleet;
  const Usage before_build = ReadUsage();
  const auto build_start = Clock::now();
  Build(fleet, loop, o, o.port);
  const double build_ms = Ms(Clock::now() - build_start);
  const Usage after_build = ReadUsage();
  const long idle_kib = CurrentRssKib();

  fleet.remaining = o.controls;
  const Usage before = ReadUsage();
  const auto start = Clock::now();
  int refused = 0;
  bool all_done = true;
  for (int i = 0; i < o.controls && all_done; ++i) {
    fleet.outcomes[i].sent = Clock::now();
    const bool sending = fleet.sites[i]->control().Send() == 0;
    if (!sending) ++refused;
    if (o.one_at_a_time && sending) {
      const Outcome& outcome = fleet.outcomes[i];
      all_done = loop.RunUntil([&] { return outcome.complete; }, TimeLeft(o, start));
    }
  }
  const auto sends_issued = Clock::now();
  all_done = all_done && loop.RunUntil([&] { return fleet.remaining == 0; }, TimeLeft(o, start));
  const auto end = Clock::now();
  const Usage after = ReadUsage();
  const long done_kib = CurrentRssKib();
  const long peak_kib = PeakRssKib();

  std::map<int, int> statuses;
  std::map<std::string, int> failures;
  std::vector<double> durations;
  Clock::time_point last = start;
  for (int i = 0; i < o.controls; ++i) {
    const Outcome& outcome = fleet.outcomes[i];
    if (!outcome.complete) {
      ++statuses[-1];
      continue;
    }
    ++statuses[outcome.status];
    if (outcome.status != 0 && failures.size() < 5) {
      ++failures[qv::ToUtf8(fleet.sites[i]->control().get_StatusStr())];
    }
    durations.push_back(Ms(outcome.completed - outcome.sent));
    last = std::max(last, outcome.completed);
  }
  const double n = o.controls;
  const double cpu_s = (after.user_s - before.user_s) + (after.system_s - before.system_s);

  out["mode"] = "send";
  out["protocol"] = o.protocol;
  out["one_at_a_time"] = o.one_at_a_time;
  out["controls"] = o.controls;
  out["recipients"] = o.recipients;
  out["body_bytes"] = o.body_bytes;
  out["all_complete"] = all_done;
  out["send_refused"] = refused;
  nlohmann::ordered_json status_counts;
  for (const auto& [status, count] : statuses)
    status_counts[status < 0 ? "incomplete" : std::to_string(status)] = count;
  out["statuses"] = status_counts;
  out["ok"] = statuses[0];
  out["failures"] = failures;
  out["floor_ms"] = FloorMs(o.recipients);
  out["wall_ms"] = Ms(last - start);
  out["run_ms"] = Ms(end - start);
  out["sends_issued_ms"] = Ms(sends_issued - start);
  out["per_send_median_ms"] = Percentile(durations, 0.5);
  out["per_send_p99_ms"] = Percentile(durations, 0.99);
  out["per_send_max_ms"] = Percentile(durations, 1.0);
  out["build_ms"] = build_ms;
  out["build_cpu_us_per_control"] = 1e6 *
                                    ((after_build.user_s - before_build.user_s) +
                                     (after_build.system_s - before_build.system_s)) /
                                    n;
  out["cpu_user_s"] = after.user_s - before.user_s;
  out["cpu_system_s"] = after.system_s - before.system_s;
  out["cpu_us_per_message"] = 1e6 * cpu_s / n;
  out["user_cpu_us_per_message"] = 1e6 * (after.user_s - before.user_s) / n;
  out["waits_per_message"] = double(after.waits - before.waits) / n;
  out["rss_baseline_kib"] = baseline_kib;
  out["rss_idle_kib"] = idle_kib;
  out["rss_done_kib"] = done_kib;
  out["rss_peak_kib"] = peak_kib;
  out["idle_bytes_per_control"] = 1024.0 * double(idle_kib - baseline_kib) / n;
  out["peak_bytes_per_control"] = 1024.0 * double(peak_kib - baseline_kib) / n;

  TearDown(fleet, loop);
  return out;
}

nlohmann::ordered_json RunWait(const Options& o) {
  nlohmann::ordered_json out;
  out["descriptor_limit"] = RaiseDescriptorLimit();
  SilentListener listener(o.controls + 64);
  qv::runtime::EventLoop loop;
  Fleet fleet;
  Options local = o;
  local.server = "127.0.0.1";
  Build(fleet, loop, local, listener.port());

  fleet.remaining = o.controls;
  for (auto& site : fleet.sites) site->control().Send();
  // Let every connection complete and the ticks settle into their cadence.
  loop.RunFor(500ms);
  int waiting = 0;
  for (auto& site : fleet.sites) {
    if (site->control().Snapshot().state == qv::SessionSnapshot::kWaitGreeting) ++waiting;
  }

  const Usage before = ReadUsage();
  const auto start = Clock::now();
  loop.RunFor(std::chrono::milliseconds(o.wait_ms));
  const double window_ms = Ms(Clock::now() - start);
  const Usage after = ReadUsage();

  // Every waiting control ticks once per 50 ms; the count is exact as long as
  // the loop keeps up, which the CPU figure itself shows.
  const double ticks = double(o.controls) * window_ms / kTickMs;
  const double cpu_s = (after.user_s - before.user_s) + (after.system_s - before.system_s);
  out["mode"] = "wait";
  out["controls"] = o.controls;
  out["waiting"] = waiting;
  out["window_ms"] = window_ms;
  out["ticks"] = ticks;
  out["cpu_user_s"] = after.user_s - before.user_s;
  out["cpu_system_s"] = after.system_s - before.system_s;
  out["cpu_ns_per_tick"] = 1e9 * cpu_s / ticks;
  out["user_cpu_ns_per_tick"] = 1e9 * (after.user_s - before.user_s) / ticks;
  out["loop_busy_fraction"] = cpu_s / (window_ms / 1000.0);

  TearDown(fleet, loop);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app("N qvSMTP controls on one event loop, from one thread; prints one JSON object");
  app.add_option("--mode", o.mode, "send: one message each to --server; wait: CPU per tick")
      ->check(CLI::IsMember({"send", "wait"}));
  app.add_option("--server", o.server, "SMTP server address (send mode)");
  app.add_option("--port", o.port, "Port used where the control asks for port 25")
      ->check(CLI::Range(1, 65535));
  app.add_option("--controls", o.controls, "Number of controls")->check(CLI::Range(1, 1000000));
  app.add_option("--recipients", o.recipients, "Recipients per message")->check(CLI::Range(1, 100));
  app.add_option("--body-bytes", o.body_bytes, "Body size in bytes")->check(CLI::Range(0, 1 << 20));
  app.add_option("--protocol", o.protocol, "Protocol of every control: 0 HELO, 1 EHLO, 2 STARTTLS")
      ->check(CLI::Range(0, 2));
  app.add_option("--ca-file", o.ca_file, "PEM CAs that the server's certificate must chain to")
      ->check(CLI::ExistingFile);
  app.add_flag("--one-at-a-time", o.one_at_a_time,
               "Send mode: each Send after the one before has completed");
  app.add_option("--wait-ms", o.wait_ms, "Measuring window of wait mode")
      ->check(CLI::Range(100, 600000));
  app.add_option("--limit", o.limit_s, "Seconds after which send mode gives up")
      ->check(CLI::Range(1, 3600));
  CLI11_PARSE(app, argc, argv);

  try {
    const nlohmann::ordered_json out = o.mode == "wait" ? RunWait(o) : RunSend(o);
    std::printf("%s\n", out.dump().c_str());
    if (o.mode == "send" && out["ok"].get<int>() != o.controls) return 1;
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "many_controls: %s\n", e.what());
    return 70;
  }
}
