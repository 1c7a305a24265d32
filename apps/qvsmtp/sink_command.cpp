// qvsmtp sink: a small receiving SMTP server that keeps every message in a
// Maildir, for trying the control without a mail server.
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "commands.hpp"
#include "exit_codes.hpp"
#include "qv/core/automation_error.hpp"
#include "sink/smtp_sink.hpp"
#include "sink_common.hpp"

namespace qvsmtp {

namespace {

using namespace std::chrono_literals;

volatile std::sig_atomic_t stop_requested = 0;

extern "C" void RequestStop(int) { stop_requested = 1; }

struct SinkOptions {
  std::string listen = "127.0.0.1:2525";
  std::string maildir = "Maildir";
  long count = 0;
  CLI::Option* count_option = nullptr;
};

int RunSink(const SinkOptions& o) {
  const ListenAddress where = ParseListenAddress(o.listen);
  std::unique_ptr<MaildirStore> store = OpenMaildir(o.maildir);

  // The sink serves on the program's loop, beside the control.
  qv::runtime::EventLoop loop;
  std::uint64_t received = 0;
  qv::testing::SinkObserver observer;
  observer.stored = [&](const qv::testing::StoredMessage& message) {
    ++received;
    std::printf("%s\n", SummaryLine(received, message).c_str());
    std::fflush(stdout);
  };
  observer.failed = [](const qv::testing::SinkEnvelope& envelope, const std::string& reason) {
    std::fprintf(stderr, "qvsmtp sink: message from <%s> refused with 451: %s\n",
                 Printable(envelope.mail_from).c_str(), Printable(reason).c_str());
  };

  SmtpSinkOptions options;
  options.address = where.address;
  options.port = where.port;
  std::optional<SmtpSink> sink;
  try {
    sink.emplace(loop, *store, observer, options);
  } catch (const qv::AutomationError& e) {
    throw ExitError(exit_code::kUnavailable, std::string("cannot listen: ") + e.what());
  }
  // Before the line that tells a user (or a script) that the sink is up.
  stop_requested = 0;
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  std::printf("qvsmtp sink: listening on %s, storing messages in %s\n",
              HostPort(sink->address(), sink->port()).c_str(), store->dir().c_str());
  std::fflush(stdout);

  const bool counted = o.count_option->count() > 0;
  while (stop_requested == 0 && !(counted && received >= static_cast<std::uint64_t>(o.count))) {
    loop.RunFor(100ms);
  }
  // The last client still wants its answers to DATA and QUIT.
  sink->StopListening();
  loop.RunUntil([&] { return sink->OpenConnections() == 0; }, 2000ms);
  return 0;
}

}  // namespace

Command AddSinkCommand(CLI::App& program) {
  auto options = std::make_shared<SinkOptions>();
  SinkOptions& o = *options;
  CLI::App* app = program.add_subcommand(
      "sink", "Receive mail with a small SMTP server and keep each message in a Maildir");
  app->footer(
      "Every sender and recipient is accepted. Each message is written under DIR/tmp/ and\n"
      "moved into DIR/new/ once complete, as received after the removal of the doubled\n"
      "leading dots. One line per message goes to standard output.\n"
      "\n"
      "Exit status: 0 after --count messages or on SIGINT/SIGTERM; 64 bad usage; 69 the\n"
      "address cannot be listened on; 73 the Maildir cannot be created.");
  app->add_option("--listen", o.listen,
                  "Address and port to listen on, e.g. 127.0.0.1:2525 or [::1]:2525 "
                  "(port 0: any free port)")
      ->type_name("ADDR:PORT")
      ->capture_default_str();
  app->add_option("--maildir", o.maildir, "Maildir to store messages in (created when missing)")
      ->type_name("DIR")
      ->capture_default_str();
  o.count_option = app->add_option("--count", o.count, "Exit after N messages")
                       ->type_name("N")
                       ->check(CLI::Range(1L, 1000000000L));
  return Command{app, [options] { return RunSink(*options); }};
}

}  // namespace qvsmtp
