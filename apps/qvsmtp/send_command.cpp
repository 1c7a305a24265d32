// qvsmtp send: sets the control's properties, calls Send, steps the loop until
// SendComplete and exits with the outcome code.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "body_stream.hpp"
#include "commands.hpp"
#include "exit_codes.hpp"
#include "progress.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/date.hpp"
#include "qv/core/text.hpp"
#include "qv/host/property_file.hpp"
#include "qv/runtime/control_site.hpp"

namespace qvsmtp {

namespace {

using namespace std::chrono_literals;
using qv::String;

// The record a property file holds for the program's control.
constexpr std::string_view kRecordName = "qvSMTP1";

// While the SendBody handler streams, the socket's queue is drained back to
// kLowWater whenever it passes kHighWater, so memory stays small.
constexpr std::size_t kHighWater = 256 * 1024;
constexpr std::size_t kLowWater = 64 * 1024;
// A server that takes nothing of the body for this long ends the send. The
// queue shrinks only as whole writes complete, so a slow link shows no
// progress for a while; the limit is the control's longest wait.
constexpr auto kStallLimit = 60s;

struct SendOptions {
  std::string server, from, to, subject, body, body_file, priority, date, props, save_props;
  int port = 0;
  int body_event = 0;
  bool quiet = false;
  bool json = false;

  CLI::Option* server_option = nullptr;
  CLI::Option* from_option = nullptr;
  CLI::Option* to_option = nullptr;
  CLI::Option* subject_option = nullptr;
  CLI::Option* body_option = nullptr;
  CLI::Option* body_file_option = nullptr;
  CLI::Option* priority_option = nullptr;
  CLI::Option* date_option = nullptr;
  CLI::Option* port_option = nullptr;
  CLI::Option* body_event_option = nullptr;
  CLI::Option* props_option = nullptr;
  CLI::Option* save_props_option = nullptr;
};

bool Given(const CLI::Option* option) { return option->count() > 0; }

// 66 when the file cannot be read (missing, not a regular file, too large),
// 65 when it is no valid property file; missing_ok gives a missing file as a
// new one.
qv::PropertyFile LoadPropertyFile(const std::string& path, bool missing_ok) {
  try {
    return missing_ok ? qv::PropertyFile::LoadOrNew(path) : qv::PropertyFile::Load(path);
  } catch (const qv::PropertyFileError& e) {
    throw ExitError(e.stage() == qv::PropertyFileError::Stage::kReading ? exit_code::kNoInput
                                                                        : exit_code::kDataError,
                    e.what());
  }
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return a == b || std::filesystem::equivalent(a, b, ec);
}

// A text property counts as set when it holds more than the initial "0".
bool IsSet(const String& value) { return !value.empty() && value != u"0"; }

class SendCommand {
 public:
  explicit SendCommand(const SendOptions& options) : o_(options) {}

  int Run() {
    std::optional<qv::Date> date;
    if (Given(o_.date_option)) {
      date = qv::ParseDateText(qv::FromUtf8(o_.date));
      if (!date) {
        throw ExitError(exit_code::kUsage,
                        "--date: not a date of the form \"YYYY-MM-DD HH:MM:SS\": \"" +
                            Printable(o_.date) + "\"");
      }
    }

    // Every input is checked before anything is sent.
    std::optional<qv::PropertyFile> props_file;
    qv::MemoryPropertyBag* restored = nullptr;
    std::string record_name(kRecordName);
    if (Given(o_.props_option)) {
      props_file = LoadPropertyFile(o_.props, false);
      restored = FindRecord(*props_file, record_name);
    }
    std::optional<qv::PropertyFile> save_file;
    if (Given(o_.save_props_option) && !(props_file && SameFile(o_.props, o_.save_props))) {
      // A damaged file is never replaced.
      save_file = LoadPropertyFile(o_.save_props, true);
    }

    qv::runtime::SocketOptions socket_options;
    if (Given(o_.port_option))
      socket_options.port_25_redirect = static_cast<std::uint16_t>(o_.port);
    std::optional<qv::runtime::ControlSite> site;
    if (restored != nullptr) {
      try {
        site.emplace(loop_, *restored, socket_options);
      } catch (const qv::AutomationError& e) {
        throw ExitError(exit_code::kDataError,
                        o_.props + ": record \"" + record_name + "\": " + e.what());
      }
    } else {
      site.emplace(loop_, socket_options);
    }
    qv::qvSMTP& control = site->control();

    RequireSet(o_.server_option, control.get_RemoteHost(), "RemoteHost");
    RequireSet(o_.from_option, control.get_MailFrom(), "MailFrom");
    RequireSet(o_.to_option, control.get_RcptTo(), "RcptTo");

    std::unique_ptr<FileSource> body_file;
    if (Given(o_.body_file_option)) body_file = std::make_unique<FileSource>(o_.body_file);

    if (Given(o_.server_option)) control.put_RemoteHost(qv::FromUtf8(o_.server));
    if (Given(o_.from_option)) control.put_MailFrom(qv::FromUtf8(o_.from));
    if (Given(o_.to_option)) control.put_RcptTo(qv::FromUtf8(o_.to));
    if (Given(o_.subject_option)) control.put_Subject(qv::FromUtf8(o_.subject));
    if (Given(o_.priority_option)) control.put_Priority(qv::FromUtf8(o_.priority));
    if (date) control.put_DateHeader(*date);
    if (Given(o_.body_event_option)) control.put_BodyEvent(static_cast<qv::Integer>(o_.body_event));

    // With BodyEvent above zero the handler writes the body, so a body file
    // is streamed, never held; otherwise its text becomes Body.
    std::unique_ptr<BodySource> stream;
    std::optional<std::uint64_t> body_size;
    if (control.get_BodyEvent() > 0) {
      if (body_file) {
        body_size = body_file->Size();
        stream = std::move(body_file);
      } else if (Given(o_.body_option)) {
        stream = std::make_unique<TextSource>(o_.body);
      } else {
        stream = std::make_unique<TextSource>(BodyPropertyText(control.get_Body()));
      }
      if (!body_size) body_size = stream->Size();
    } else if (body_file) {
      std::string text = ReadAll(*body_file);
      body_size = text.size();
      control.put_Body(qv::Variant(qv::FromUtf8(text)));
    } else if (Given(o_.body_option)) {
      body_size = o_.body.size();
      control.put_Body(qv::Variant(qv::FromUtf8(o_.body)));
    }

    Progress progress(stream != nullptr || body_size.has_value(), body_size);
    Narration narration(stderr, o_.quiet, &progress);
    if (stream) {
      narration.OnSendBody([&](qv::Integer&) { StreamBodyNow(*site, *stream, progress); });
    }
    control.Advise(&narration);

    narration.Start();
    qv::Integer started = 0;
    try {
      started = control.Send();
    } catch (const qv::AutomationError& e) {
      throw ExitError(exit_code::kInternal, std::string("Send failed: ") + e.what());
    }
    if (started == 0) {
      const bool whole_body = !stream && body_size.value_or(0) > kProgressThreshold;
      RunUntilComplete(loop_, narration, [&] {
        if (whole_body) ShowQueueProgress(*site, *body_size, progress);
      });
      // The QUIT line and the close still have to go out.
      loop_.RunFor(1000ms);
    } else if (!o_.quiet) {
      std::fputs(
          "qvsmtp send: the control is busy (Busy is true in the restored properties); "
          "nothing was sent\n",
          stderr);
    }
    progress.Finish();
    control.Advise(nullptr);

    int result = narration.status();
    if (Given(o_.save_props_option)) {
      qv::PropertyFile& file = save_file ? *save_file : *props_file;
      try {
        control.WriteProperties(file.Record(record_name));
        file.Save();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "qvsmtp send: %s\n", Printable(e.what()).c_str());
        result = exit_code::kCantCreate;
      }
    }
    if (input_failure_) {
      std::fprintf(stderr, "qvsmtp send: %s\n", Printable(*input_failure_).c_str());
      result = exit_code::kNoInput;
    }
    if (o_.json) PrintJson(narration, control.get_StatusStr());
    std::fprintf(stderr, "%s\n", OutcomeLine(narration.status(), control.get_StatusStr()).c_str());
    return result;
  }

 private:
  qv::MemoryPropertyBag* FindRecord(qv::PropertyFile& file, std::string& name) {
    if (qv::MemoryPropertyBag* bag = file.Find(name)) return bag;
    const std::vector<std::string> names = file.Names();
    if (names.size() == 1) {
      name = names.front();
      return file.Find(name);
    }
    throw ExitError(exit_code::kDataError,
                    o_.props + ": holds no record \"" + std::string(kRecordName) + "\"" +
                        (names.empty() ? " (it holds no control at all)" : ""));
  }

  void RequireSet(const CLI::Option* option, const String& restored, const char* property) {
    if (Given(option) || IsSet(restored)) return;
    throw ExitError(exit_code::kUsage, option->get_name() + " is required (or a " + property +
                                           " other than \"0\" in the --props file)");
  }

  static std::string BodyPropertyText(const qv::Variant& body) {
    if (body.IsEmpty() || body.IsNull()) return {};
    return qv::ToUtf8(qv::ToText(body));
  }

  // The SendBody handler: writes the body piece by piece. It runs inside the
  // control's timer tick, so it steps the loop itself to let the socket's
  // queue drain; the tick and the socket's notifications wait meanwhile.
  void StreamBodyNow(qv::runtime::ControlSite& site, BodySource& source, Progress& progress) {
    try {
      StreamBody(source, [&](const String& piece, std::uint64_t consumed) {
        qv::Variant data(piece);
        site.control().SendData(data);
        progress.Update(consumed);
        if (site.socket().BytesQueued() > kHighWater) Drain(site, kLowWater);
      });
      // The wait for the server's answer starts after the body: let it leave.
      Drain(site, 0);
      progress.Finish();
    } catch (const ExitError& e) {
      input_failure_ = e.what();
      throw;
    }
  }

  void Drain(qv::runtime::ControlSite& site, std::size_t low_water) {
    qv::runtime::AsioSocket& socket = site.socket();
    std::size_t last = socket.BytesQueued();
    auto last_progress = std::chrono::steady_clock::now();
    while (true) {
      const qv::Integer state = socket.State();
      if (state == qv::socket_state::kPeerClosing) {
        throw std::runtime_error(
            "The server closed the connection while the message body was being sent");
      }
      if (state != qv::socket_state::kConnected) {
        throw std::runtime_error("The connection failed while the message body was being sent");
      }
      if (socket.BytesQueued() <= low_water) return;
      loop_.RunUntil(
          [&] {
            return socket.BytesQueued() <= low_water ||
                   socket.State() != qv::socket_state::kConnected;
          },
          100ms);
      const std::size_t queued = socket.BytesQueued();
      const auto now = std::chrono::steady_clock::now();
      if (queued < last) {
        last = queued;
        last_progress = now;
      } else if (now - last_progress > kStallLimit) {
        throw std::runtime_error("Timeout sending the message body: the server took nothing for " +
                                 std::to_string(kStallLimit.count()) + " seconds");
      }
    }
  }

  // For a body written whole by the control: how much of it has left.
  static void ShowQueueProgress(qv::runtime::ControlSite& site, std::uint64_t total,
                                Progress& progress) {
    if (site.control().Snapshot().state != qv::SessionSnapshot::kWaitMessageAck) {
      return;
    }
    const std::uint64_t queued = site.socket().BytesQueued();
    progress.Update(total - std::min<std::uint64_t>(total, queued));
    if (queued == 0) progress.Finish();
  }

  void PrintJson(const Narration& narration, const String& status_str) {
    nlohmann::ordered_json out;
    out["status"] = narration.status();
    out["statusStr"] = qv::ToUtf8(status_str);
    out["elapsedMs"] = narration.elapsed().count();
    out["debugMessages"] = narration.messages();
    const std::string text = out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
  }

  const SendOptions& o_;
  qv::runtime::EventLoop loop_;
  std::optional<std::string> input_failure_;
};

}  // namespace

void RunUntilComplete(qv::runtime::EventLoop& loop, const Narration& narration,
                      const std::function<void()>& between_slices) {
  while (!narration.complete()) {
    const auto before = std::chrono::steady_clock::now();
    const std::size_t ran = loop.RunFor(100ms);
    if (between_slices) between_slices();
    // With work left, RunFor takes its whole slice; an early empty return
    // means nothing is left that could end the send.
    if (!narration.complete() && ran == 0 && std::chrono::steady_clock::now() - before < 50ms) {
      throw ExitError(exit_code::kInternal, "the event loop ran out of work before the send ended");
    }
  }
}

Command AddSendCommand(CLI::App& program) {
  auto options = std::make_shared<SendOptions>();
  SendOptions& o = *options;
  CLI::App* app = program.add_subcommand(
      "send", "Send one message through the qvSMTP control and exit with its outcome code");
  app->footer(
      "Options that are not given keep the control's initial values (RemoteHost, MailFrom,\n"
      "RcptTo and Subject \"0\", Body the number 0, Priority \"Normal\", the date of now),\n"
      "or the values restored with --props.\n"
      "\n"
      "Exit status: the outcome code (0 success, 1 not sent because the restored control\n"
      "is busy, 2 socket error, 3 time-out, 4 address refused with 550); 64 bad usage;\n"
      "65 bad data in the --props file; 66 an input file cannot be read; 70 internal\n"
      "error; 73 the --save-props file cannot be written.");

  o.server_option = app->add_option("--server", o.server,
                                    "SMTP server name or address (RemoteHost); required unless "
                                    "--props restores one other than \"0\"")
                        ->type_name("HOST");
  o.port_option = app->add_option("--port", o.port,
                                  "Connect to port N where the control asks for port 25 "
                                  "(default: port 25 itself)")
                      ->type_name("N")
                      ->check(CLI::Range(1, 65535));
  o.from_option = app->add_option("--from", o.from,
                                  "Sender address (MailFrom); required unless --props restores "
                                  "one other than \"0\"")
                      ->type_name("ADDR");
  o.to_option = app->add_option("--to", o.to,
                                "Recipients separated by commas or semicolons (RcptTo); "
                                "required unless --props restores them")
                    ->type_name("LIST");
  o.subject_option = app->add_option("--subject", o.subject, "Subject")->type_name("TEXT");
  o.body_option = app->add_option("--body", o.body, "Message body (Body)")->type_name("TEXT");
  o.body_file_option = app->add_option("--body-file", o.body_file,
                                       "Take the body from the UTF-8 text of a file; - is "
                                       "standard input")
                           ->type_name("PATH");
  o.body_option->excludes(o.body_file_option);
  o.body_file_option->excludes(o.body_option);
  o.priority_option =
      app->add_option("--priority", o.priority, "Priority header (Priority)")->type_name("TEXT");
  o.date_option = app->add_option("--date", o.date,
                                  "Date header, local time \"YYYY-MM-DD HH:MM:SS\" (DateHeader; "
                                  "default: when the control's properties were initialised)")
                      ->type_name("DATE");
  o.body_event_option =
      app->add_option("--body-event", o.body_event,
                      "Set BodyEvent to N: when the control asks for the body, the program writes "
                      "that of --body, --body-file or Body itself, streamed in pieces of at "
                      "most 64 KiB with CR LF line ends and leading dots doubled (for bodies "
                      "too large to hold in memory)")
          ->type_name("N")
          ->check(CLI::Range(1, 32767));
  o.props_option = app->add_option("--props", o.props,
                                   "Restore the control's properties from this property file "
                                   "(record \"qvSMTP1\") before the other options apply")
                       ->type_name("FILE");
  o.save_props_option = app->add_option("--save-props", o.save_props,
                                        "Save the control's properties to this property file "
                                        "after the send (replaced atomically)")
                            ->type_name("FILE");
  app->add_flag("--quiet", o.quiet, "Do not print the control's DebugMessage lines");
  app->add_flag("--json", o.json,
                "Print one JSON object with status, statusStr, elapsedMs and debugMessages "
                "on standard output at the end");

  return Command{app, [options] { return SendCommand(*options).Run(); }};
}

}  // namespace qvsmtp
