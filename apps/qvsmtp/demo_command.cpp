// qvsmtp demo: one process starts the sink on a free loopback port and sends
// it a sample message through the qvSMTP control, then shows what happened.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "commands.hpp"
#include "exit_codes.hpp"
#include "qv/control/outcome.hpp"
#include "qv/control/protocol.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"
#include "qv/runtime/control_site.hpp"
#include "sink/sink_tls.hpp"
#include "sink/smtp_sink.hpp"
#include "sink_common.hpp"

namespace qvsmtp {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char16_t* kSampleBody =
    u"Hello Bob, hello Carol,\n"
    u"\n"
    u"this message went through the qvSMTP control to a small SMTP server\n"
    u"running in the same process.\n"
    u".A line that starts with a dot keeps its dot,\n"
    u".\n"
    u"and a line holding a single dot does not end the message.\n"
    u"\n"
    u"Alice";

struct DemoOptions {
  std::string maildir;
  bool tls = false;
  CLI::Option* maildir_option = nullptr;
};

// A folder of its own under the system's temporary folder, removed at the end.
class TemporaryDir {
 public:
  TemporaryDir() {
    std::string pattern = (fs::temp_directory_path() / "qvsmtp-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw ExitError(exit_code::kCantCreate,
                      "cannot create a temporary folder in " + fs::temp_directory_path().string());
    }
    path_ = pattern;
  }
  ~TemporaryDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TemporaryDir(const TemporaryDir&) = delete;
  TemporaryDir& operator=(const TemporaryDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int RunDemo(const DemoOptions& o) {
  std::optional<TemporaryDir> temporary;
  fs::path dir;
  if (o.maildir_option->count() > 0) {
    dir = o.maildir;
  } else {
    temporary.emplace();
    dir = temporary->path() / "Maildir";
  }
  std::unique_ptr<MaildirStore> store = OpenMaildir(dir.string());

  // A throwaway certificate of its own, which the control trusts as CaFile.
  std::optional<TemporaryDir> certificate_dir;
  std::optional<ThrowawayCertificate> certificate;
  std::shared_ptr<SinkTls> tls;
  if (o.tls) {
    certificate_dir.emplace();
    try {
      certificate = MakeThrowawayCertificate(certificate_dir->path());
      tls = SinkTls::Load(certificate->certificate.string(), certificate->key.string());
    } catch (const SinkTlsError& e) {
      throw ExitError(exit_code::kCantCreate, e.what());
    }
  }

  // The sink serves on the program's loop, beside the control.
  qv::runtime::EventLoop loop;
  std::optional<qv::testing::StoredMessage> received;
  qv::testing::SinkObserver observer;
  observer.stored = [&](const qv::testing::StoredMessage& message) {
    received = message;
    std::printf("[sink] %s\n", SummaryLine(1, message).c_str());
    std::fflush(stdout);
  };
  SmtpSinkOptions sink_options;
  sink_options.address = "127.0.0.1";
  sink_options.port = 0;
  sink_options.tls = tls;
  sink_options.tls_failed = [](const std::string& reason) {
    std::printf("[sink] a TLS handshake failed: %s\n", reason.c_str());
  };
  std::optional<SmtpSink> sink;
  try {
    sink.emplace(loop, *store, observer, sink_options);
  } catch (const qv::AutomationError& e) {
    throw ExitError(exit_code::kUnavailable, std::string("cannot listen: ") + e.what());
  }
  const std::uint16_t port = sink->port();
  std::printf("== A receiving SMTP server listens on %s (Maildir %s)\n",
              HostPort(sink->address(), port).c_str(), dir.c_str());
  if (certificate) {
    std::printf("== It offers STARTTLS with a throwaway certificate for 127.0.0.1: %s\n",
                certificate->certificate.c_str());
  }

  qv::runtime::ControlSite site(loop);
  qv::qvSMTP& control = site.control();
  control.put_RemoteHost(u"127.0.0.1");
  control.put_Port(port);
  if (certificate) {
    control.put_Protocol(static_cast<qv::Integer>(qv::SmtpProtocol::kStartTls));
    control.put_CaFile(qv::FromUtf8(certificate->certificate.string()));
  }
  control.put_MailFrom(u"alice@example.com");
  control.put_RcptTo(u"bob@example.com, carol@example.com");
  control.put_Subject(u"Hello from qvSMTP");
  control.put_Body(qv::Variant(kSampleBody));

  std::printf("== Sending one message through qvSMTP to 127.0.0.1 port %u%s\n",
              static_cast<unsigned>(port),
              certificate ? " with STARTTLS (Protocol 2), trusting that certificate (CaFile)" : "");
  std::fflush(stdout);
  Narration narration(stdout, false);
  control.Advise(&narration);
  narration.Start();
  control.Send();
  RunUntilComplete(loop, narration);
  // Let the QUIT reach the server and the connection end.
  loop.RunUntil([&] { return sink->OpenConnections() == 0; }, 1000ms);
  control.Advise(nullptr);

  std::printf("== Outcome after %lld ms\n%s\n", static_cast<long long>(narration.elapsed().count()),
              OutcomeLine(narration.status(), control.get_StatusStr()).c_str());
  if (received) {
    std::printf("== The message as received (%s)\n", received->location.c_str());
    const std::string text = ReadFile(received->location);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (!text.empty() && text.back() != '\n') std::fputs("\n", stdout);
  } else {
    std::printf("== The server received no message\n");
  }
  std::fflush(stdout);

  if (qv::ToSendOutcome(narration.status()) != qv::SendOutcome::kSuccess) {
    return narration.status();
  }
  if (!received) throw ExitError(exit_code::kInternal, "the send succeeded but nothing was stored");
  return 0;
}

}  // namespace

Command AddDemoCommand(CLI::App& program) {
  auto options = std::make_shared<DemoOptions>();
  CLI::App* app = program.add_subcommand(
      "demo",
      "Start the sink on a free loopback port, send it one sample message through the qvSMTP "
      "control, and show the narration, the outcome and the message as received");
  app->footer(
      "Exit status: 0 on success, else the outcome code of the send; 73 the\n"
      "throwaway certificate of --tls cannot be made.");
  app->add_flag("--tls", options->tls,
                "Give the sink a throwaway self-signed certificate and send with STARTTLS, "
                "trusting that certificate");
  options->maildir_option = app->add_option("--maildir", options->maildir,
                                            "Keep the received message in this Maildir "
                                            "(default: a temporary one, removed at the end)")
                                ->type_name("DIR");
  return Command{app, [options] { return RunDemo(*options); }};
}

}  // namespace qvsmtp
