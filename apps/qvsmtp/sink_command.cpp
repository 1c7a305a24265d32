// qvsmtp sink: a small receiving SMTP server that keeps every message in a
// Maildir, for trying the control without a mail server.
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.hpp"
#include "exit_codes.hpp"
#include "qv/core/automation_error.hpp"
#include "sink/sink_tls.hpp"
#include "sink/sink_users.hpp"
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
  std::string tls_cert, tls_key, tls_self_signed;
  int tls_port = 0;
  std::string auth_users;
  CLI::Option* count_option = nullptr;
  CLI::Option* tls_cert_option = nullptr;
  CLI::Option* tls_self_signed_option = nullptr;
  CLI::Option* tls_port_option = nullptr;
  CLI::Option* auth_users_option = nullptr;
};

// The users AUTH is required of, if any.
std::shared_ptr<const SinkUsers> LoadUsers(const SinkOptions& o) {
  if (o.auth_users_option->count() == 0) return nullptr;
  try {
    return std::make_shared<const SinkUsers>(SinkUsers::Load(o.auth_users));
  } catch (const SinkUsersError& e) {
    throw ExitError(
        e.kind() == SinkUsersError::Kind::kBadLine ? exit_code::kDataError : exit_code::kNoInput,
        e.what());
  }
}

// The certificate the sink presents, if any: the files given, or a
// throwaway one; its lines for the user once the sink is up.
std::shared_ptr<SinkTls> LoadTls(const SinkOptions& o, std::vector<std::string>& lines) {
  std::string cert = o.tls_cert;
  std::string key = o.tls_key;
  if (o.tls_self_signed_option->count() > 0) {
    ThrowawayCertificate made;
    try {
      made = MakeThrowawayCertificate(o.tls_self_signed);
    } catch (const SinkTlsError& e) {
      throw ExitError(exit_code::kCantCreate, e.what());
    }
    cert = made.certificate.string();
    key = made.key.string();
    lines.push_back(std::string(made.made ? "made" : "kept") + " the throwaway certificate " +
                    cert + " for localhost and 127.0.0.1; senders trust it with --ca-file " + cert);
  } else if (o.tls_cert_option->count() == 0) {
    return nullptr;
  }
  try {
    return SinkTls::Load(cert, key);
  } catch (const SinkTlsError& e) {
    throw ExitError(exit_code::kNoInput, e.what());
  }
}

int RunSink(const SinkOptions& o) {
  const ListenAddress where = ParseListenAddress(o.listen);
  if (o.tls_port_option->count() > 0 && o.tls_cert_option->count() == 0 &&
      o.tls_self_signed_option->count() == 0) {
    throw ExitError(exit_code::kUsage,
                    "--tls-port needs --tls-cert and --tls-key, or --tls-self-signed");
  }
  std::unique_ptr<MaildirStore> store = OpenMaildir(o.maildir);
  std::vector<std::string> told_lines;
  std::shared_ptr<SinkTls> tls = LoadTls(o, told_lines);
  const std::shared_ptr<const SinkUsers> users = LoadUsers(o);

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
  options.tls = tls;
  if (o.tls_port_option->count() > 0) {
    options.implicit_tls_port = static_cast<std::uint16_t>(o.tls_port);
  }
  if (users) {
    // The operator learns whose AUTH failed and why; the client only that it did.
    options.auth_check = [users](std::string_view user, std::string_view password) {
      const SinkUsers::Verdict verdict = users->Check(user, password);
      if (verdict != SinkUsers::Verdict::kAccepted) {
        std::fprintf(
            stderr, "qvsmtp sink: AUTH as \"%s\" refused: %s\n", Printable(user).c_str(),
            verdict == SinkUsers::Verdict::kUnknownUser ? "no such user" : "wrong password");
      }
      return verdict == SinkUsers::Verdict::kAccepted;
    };
  }
  options.tls_failed = [](const std::string& reason) {
    std::fprintf(stderr, "qvsmtp sink: a client's TLS handshake failed: %s\n",
                 Printable(reason).c_str());
  };
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
  if (tls) {
    std::string line = "STARTTLS offered on " + HostPort(sink->address(), sink->port());
    if (sink->implicit_tls_port() != 0) {
      line +=
          "; TLS from the first byte on " + HostPort(sink->address(), sink->implicit_tls_port());
    }
    told_lines.insert(told_lines.begin(), line);
  }
  if (users) {
    const std::size_t n = users->size();
    told_lines.push_back("AUTH PLAIN LOGIN required before MAIL, for the " + std::to_string(n) +
                         (n == 1 ? " user in " : " users in ") + o.auth_users +
                         (tls ? "; offered once TLS is on" : "; offered in the clear"));
  }
  for (const std::string& line : told_lines) std::printf("qvsmtp sink: %s\n", line.c_str());
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
      "TLS: with --tls-cert and --tls-key (PEM files), or --tls-self-signed DIR, the sink\n"
      "lists STARTTLS in its EHLO reply on the --listen port (for qvsmtp send --tls\n"
      "starttls), and with --tls-port it also takes TLS from the first byte on that port\n"
      "of the same address (for --tls implicit). --tls-self-signed makes DIR/cert.pem and\n"
      "DIR/key.pem for localhost, 127.0.0.1 and ::1, valid for 30 days, and keeps using\n"
      "them while they are valid; a sender trusts them with --ca-file DIR/cert.pem. A\n"
      "try-out certificate only: anyone who can read DIR can impersonate the sink.\n"
      "\n"
      "AUTH: with --auth-users FILE the sink requires AUTH before MAIL FROM (530 until\n"
      "then) and offers AUTH PLAIN LOGIN in its EHLO reply; with a certificate only once\n"
      "TLS is on (AUTH in the clear gets 530). Wrong credentials get 535. FILE holds one\n"
      "user a line, name:password (the name up to the first colon, the password all\n"
      "after it, as written); empty lines and lines starting with # are skipped. FILE\n"
      "must be readable by its owner alone (chmod 600). Passwords are never printed; a\n"
      "refused AUTH is told on standard error with the user name.\n"
      "\n"
      "Exit status: 0 after --count messages or on SIGINT/SIGTERM; 64 bad usage; 65 the\n"
      "users file holds a line that is not a user; 66 the certificate, key or users file\n"
      "cannot be used; 69 the address cannot be listened on; 73 the Maildir or the\n"
      "throwaway certificate cannot be created.");
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
  o.tls_cert_option = app->add_option("--tls-cert", o.tls_cert,
                                      "Server certificate (PEM, chain after it) for STARTTLS "
                                      "and --tls-port; needs --tls-key")
                          ->type_name("FILE");
  auto* key =
      app->add_option("--tls-key", o.tls_key, "Private key of --tls-cert (PEM)")->type_name("FILE");
  o.tls_cert_option->needs(key);
  key->needs(o.tls_cert_option);
  o.tls_self_signed_option =
      app->add_option("--tls-self-signed", o.tls_self_signed,
                      "Use a throwaway self-signed certificate kept in DIR (made when missing "
                      "or expired) instead of --tls-cert and --tls-key")
          ->type_name("DIR")
          ->excludes(o.tls_cert_option)
          ->excludes(key);
  o.tls_port_option = app->add_option("--tls-port", o.tls_port,
                                      "Also listen on this port of the --listen address for "
                                      "TLS from the first byte (0: any free port); needs a "
                                      "certificate")
                          ->type_name("PORT")
                          ->check(CLI::Range(0, 65535));
  o.auth_users_option = app->add_option("--auth-users", o.auth_users,
                                        "Require AUTH before MAIL, from the users in FILE "
                                        "(name:password lines, mode 600)")
                            ->type_name("FILE");
  return Command{app, [options] { return RunSink(*options); }};
}

}  // namespace qvsmtp
