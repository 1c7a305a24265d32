// qvsmtp send: sets the control's properties, calls Send, steps the loop until
// SendComplete and exits with the outcome code.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "body_stream.hpp"
#include "commands.hpp"
#include "conversation_trace.hpp"
#include "credentials.hpp"
#include "exit_codes.hpp"
#include "progress.hpp"
#include "qv/control/outcome.hpp"
#include "qv/control/protocol.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/date.hpp"
#include "qv/core/text.hpp"
#include "qv/host/property_file.hpp"
#include "qv/runtime/control_site.hpp"
#include "server_address.hpp"

namespace qvsmtp {

namespace {

using namespace std::chrono_literals;
using qv::String;

// The record a property file holds for the program's control.
constexpr std::string_view kRecordName = "qvSMTP1";

// While the SendBody handler streams, the socket's queue is drained back to
// kLowWater whenever it passes kHighWater, so memory stays small. A piece
// goes to the kernel at once while nothing waits ahead of it; what the kernel
// does not take waits in the queue, and the handler steps the loop only once
// a megabyte waits.
constexpr std::size_t kHighWater = 1024 * 1024;
constexpr std::size_t kLowWater = 64 * 1024;
// A server that takes nothing of the body for this long ends the send. The
// queue shrinks only as whole writes complete, so a slow link shows no
// progress for a while; the limit is the control's longest wait.
constexpr auto kStallLimit = 60s;
// While a streamed body source has nothing to read, the loop is stepped at
// least this often.
constexpr auto kSourcePoll = 50ms;

// The label a streamed body gets when nothing else was asked for: the
// program cannot know what the source holds, and UTF-8 is true of ASCII too.
constexpr std::u16string_view kInitialContentType = u"text/plain; charset=US-ASCII";
constexpr std::u16string_view kStreamedContentType = u"text/plain; charset=UTF-8";

// Where a secret comes from when no file is given. A process's environment
// can be read by its own user only, its command line by every user.
constexpr const char* kPasswordVariable = "QVSMTP_PASSWORD";
constexpr const char* kTokenVariable = "QVSMTP_OAUTH2_TOKEN";

// SIGINT or SIGTERM during a send, once: a second one ends the program at
// once, as if there were no handler.
volatile std::sig_atomic_t g_signal = 0;

void NoteSignal(int number) { g_signal = number; }

void CatchInterruptions() {
  struct sigaction action {};
  action.sa_handler = NoteSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

// Thrown where the program notices a signal: inside the SendBody handler it
// ends the send before the end of the data is written, so the server keeps
// nothing.
class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error(std::string("Interrupted by ") + SignalName(g_signal)) {}

  static const char* SignalName(int number) {
    return number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "a signal";
  }
};

struct SendOptions {
  std::string server, from, to, subject, body, body_file, priority, date, props, save_props;
  std::string content_type, x_mailer, helo, tls, ca_file, message_id;
  std::string user, password_file, token_file, auth;
  // The value of a --password or --oauth2-token someone tried anyway: it is
  // refused without being shown.
  std::string refused_secret;
  int port = 0;
  bool ehlo = false;
  bool auth_in_the_clear = false;
  int body_event = 0;
  int body_wait = 60;
  bool quiet = false;
  bool verbose = false;
  bool json = false;

  CLI::Option* server_option = nullptr;
  CLI::Option* from_option = nullptr;
  CLI::Option* to_option = nullptr;
  CLI::Option* subject_option = nullptr;
  CLI::Option* body_option = nullptr;
  CLI::Option* body_file_option = nullptr;
  CLI::Option* priority_option = nullptr;
  CLI::Option* date_option = nullptr;
  CLI::Option* message_id_option = nullptr;
  CLI::Option* port_option = nullptr;
  CLI::Option* body_event_option = nullptr;
  CLI::Option* props_option = nullptr;
  CLI::Option* save_props_option = nullptr;
  CLI::Option* content_type_option = nullptr;
  CLI::Option* x_mailer_option = nullptr;
  CLI::Option* helo_option = nullptr;
  CLI::Option* tls_option = nullptr;
  CLI::Option* ehlo_option = nullptr;
  CLI::Option* ca_file_option = nullptr;
  CLI::Option* user_option = nullptr;
  CLI::Option* password_file_option = nullptr;
  CLI::Option* token_file_option = nullptr;
  CLI::Option* auth_option = nullptr;
  CLI::Option* refused_password_option = nullptr;
  CLI::Option* refused_token_option = nullptr;
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

// 73 when the file cannot be made in its folder: the folder is missing, is
// not a folder or cannot be written (the file is replaced by a rename there).
void CheckWritableTarget(const std::string& path) {
  const std::filesystem::path target(path);
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  std::error_code ec;
  const auto status = std::filesystem::status(folder, ec);
  std::string problem;
  if (!std::filesystem::exists(status)) {
    problem = "the folder " + folder.string() + " does not exist";
  } else if (!std::filesystem::is_directory(status)) {
    problem = folder.string() + " is not a folder";
  } else if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    problem = "the folder " + folder.string() + " cannot be written: " + std::strerror(errno);
  } else if (std::filesystem::is_directory(target, ec)) {
    problem = std::strerror(EISDIR);
  }
  if (!problem.empty()) {
    throw ExitError(exit_code::kCantCreate, "cannot write " + path + ": " + problem);
  }
}

// A Body other than the initial number 0.
bool HoldsBody(const qv::Variant& body) {
  const qv::Integer* number = body.get_if<qv::Integer>();
  return !body.IsEmpty() && !body.IsNull() && !(number != nullptr && *number == 0);
}

// Standard input counts as a body source when it is open and not a terminal.
bool StandardInputPiped() {
  return ::fcntl(STDIN_FILENO, F_GETFD) != -1 && ::isatty(STDIN_FILENO) == 0;
}

// A streamed source that may have nothing to read for a while: the loop goes
// on meanwhile, so the socket keeps writing, and a source that gives nothing
// for the limit ends the send.
class PatientSource final : public BodySource {
 public:
  PatientSource(BodySource& inner, std::chrono::seconds limit, std::function<void()> idle)
      : inner_(inner), limit_(limit), idle_(std::move(idle)) {}

  std::size_t Read(char* buffer, std::size_t size) override {
    const auto since = std::chrono::steady_clock::now();
    while (!inner_.WaitReadable(kSourcePoll)) {
      idle_();
      if (std::chrono::steady_clock::now() - since > limit_) {
        throw std::runtime_error("No body text from " + inner_.Describe() + " for " +
                                 std::to_string(limit_.count()) + " seconds");
      }
    }
    return inner_.Read(buffer, size);
  }
  std::optional<std::uint64_t> Size() const override { return inner_.Size(); }
  bool WaitReadable(std::chrono::milliseconds limit) override { return inner_.WaitReadable(limit); }
  std::string Describe() const override { return inner_.Describe(); }

 private:
  BodySource& inner_;
  std::chrono::seconds limit_;
  std::function<void()> idle_;
};

// The server's reply on one line: line ends between its lines become spaces.
std::string ReplyOnOneLine(std::string reply) {
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  std::string line;
  for (std::size_t i = 0; i < reply.size(); ++i) {
    if (reply[i] == '\r' && i + 1 < reply.size() && reply[i + 1] == '\n') {
      line += ' ';
      ++i;
    } else if (reply[i] == '\n') {
      line += ' ';
    } else {
      line += reply[i];
    }
  }
  return Printable(line);
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return a == b || std::filesystem::equivalent(a, b, ec);
}

constexpr qv::Integer ProtocolValue(qv::SmtpProtocol protocol) {
  return static_cast<qv::Integer>(protocol);
}

// A text property counts as set when it holds more than the initial "0".
bool IsSet(const String& value) { return !value.empty() && value != u"0"; }

class SendCommand {
 public:
  explicit SendCommand(const SendOptions& options) : o_(options) {}

  int Run() {
    RefuseSecretOnCommandLine();
    std::optional<qv::Date> date;
    if (Given(o_.date_option)) {
      date = qv::ParseDateText(qv::FromUtf8(o_.date));
      if (!date) {
        throw ExitError(exit_code::kUsage,
                        "--date: not a date of the form \"YYYY-MM-DD HH:MM:SS\": \"" +
                            Printable(o_.date) + "\"");
      }
    }

    std::optional<ServerAddress> server;
    if (Given(o_.server_option)) {
      server = ParseServerAddress(o_.server);
      if (server->port && Given(o_.port_option) && *server->port != o_.port) {
        throw ExitError(exit_code::kUsage, "--server names port " + std::to_string(*server->port) +
                                               ", --port " + std::to_string(o_.port));
      }
    }
    std::string message_id = o_.message_id;
    if (Given(o_.message_id_option)) {
      if (message_id.size() > 2 && message_id.front() == '<' && message_id.back() == '>') {
        message_id = message_id.substr(1, message_id.size() - 2);
      }
      bool clean = true;
      for (const char c : message_id) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || c == '<' || c == '>') clean = false;
      }
      const std::size_t at = message_id.find('@');
      if (!clean || at == 0 || at == std::string::npos || at + 1 == message_id.size()) {
        throw ExitError(exit_code::kUsage,
                        "--message-id: an id of the form unique@domain, without spaces, control "
                        "characters or angle brackets inside: \"" +
                            Printable(o_.message_id) + "\"");
      }
    }
    if (Given(o_.helo_option)) {
      for (const char c : o_.helo) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == ' ') {
          throw ExitError(exit_code::kUsage,
                          "--helo: a name without spaces or control "
                          "characters: \"" +
                              Printable(o_.helo) + "\"");
        }
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
    // A file that cannot be saved must not cost a second copy of the message
    // when the user sends again.
    if (Given(o_.save_props_option)) CheckWritableTarget(o_.save_props);

    // A CA file that cannot be read would only fail at the handshake; it is
    // kept as an absolute path so that a saved property file works from
    // any folder.
    std::string ca_file;
    if (Given(o_.ca_file_option)) {
      std::error_code ec;
      std::string problem;
      if (std::filesystem::is_directory(o_.ca_file, ec)) {
        problem = std::strerror(EISDIR);
      } else if (::access(o_.ca_file.c_str(), R_OK) != 0) {
        problem = std::strerror(errno);
      }
      if (!problem.empty()) {
        throw ExitError(exit_code::kNoInput,
                        "--ca-file: cannot read " + o_.ca_file + ": " + problem);
      }
      ca_file = std::filesystem::absolute(o_.ca_file).lexically_normal().string();
    }

    // The port is the control's own Port property, so --save-props keeps it.
    std::optional<std::uint16_t> given_port;
    if (server && server->port) {
      given_port = *server->port;
    } else if (Given(o_.port_option)) {
      given_port = static_cast<std::uint16_t>(o_.port);
    }
    qv::connection::SocketOptions socket_options;
    if (Given(o_.helo_option)) socket_options.local_host_name = o_.helo;
    socket_options.wire_trace = [this](qv::connection::WireDirection direction,
                                       std::string_view bytes) { trace_.OnWire(direction, bytes); };
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
    if (restored != nullptr) RefuseBusyRecord(site->control(), record_name);
    const std::optional<String> content_type = ChosenContentType(site->control());
    // ContentType and XMailer take new values only from a property store
    // while the control runs: the control is made again from its own record.
    if (content_type || Given(o_.x_mailer_option)) {
      qv::MemoryPropertyBag bag(qv::MemoryPropertyBag::Defaults::kKeep);
      site->control().WriteProperties(bag);
      if (content_type) bag.Set(u"ContentType", qv::Variant(*content_type));
      if (Given(o_.x_mailer_option)) bag.Set(u"XMailer", qv::Variant(qv::FromUtf8(o_.x_mailer)));
      site.reset();
      site.emplace(loop_, bag, socket_options);
    }
    qv::qvSMTP& control = site->control();

    RequireSet(o_.server_option, control.get_RemoteHost(), "RemoteHost");
    RequireSet(o_.from_option, control.get_MailFrom(), "MailFrom");
    RequireSet(o_.to_option, control.get_RcptTo(), "RcptTo");

    std::unique_ptr<FileSource> body_file;
    if (Given(o_.body_file_option)) {
      body_file = std::make_unique<FileSource>(o_.body_file);
    } else if (!Given(o_.body_option) && !(restored != nullptr && HoldsBody(control.get_Body())) &&
               StandardInputPiped()) {
      body_file = std::make_unique<FileSource>("-");
    }

    if (server) control.put_RemoteHost(qv::FromUtf8(server->host));
    if (given_port) control.put_Port(static_cast<qv::Long>(*given_port));
    if (const std::optional<qv::SmtpProtocol> protocol = ChosenProtocol(control.get_Protocol())) {
      control.put_Protocol(ProtocolValue(*protocol));
    }
    if (Given(o_.ca_file_option)) control.put_CaFile(qv::FromUtf8(ca_file));
    const std::uint16_t port = ServerPort(control);
    if (Given(o_.from_option)) control.put_MailFrom(qv::FromUtf8(o_.from));
    if (Given(o_.to_option)) control.put_RcptTo(qv::FromUtf8(o_.to));
    if (Given(o_.subject_option)) control.put_Subject(qv::FromUtf8(o_.subject));
    if (Given(o_.priority_option)) control.put_Priority(qv::FromUtf8(o_.priority));
    if (date) control.put_DateHeader(*date);
    if (Given(o_.message_id_option)) control.put_MessageId(qv::FromUtf8(message_id));
    if (Given(o_.body_event_option)) control.put_BodyEvent(static_cast<qv::Integer>(o_.body_event));

    // With BodyEvent above zero the handler writes the body, so a body file
    // is streamed, never held; otherwise its text becomes Body.
    std::unique_ptr<BodySource> stream;
    bool stream_is_file = false;
    std::optional<std::uint64_t> body_size;
    if (control.get_BodyEvent() > 0) {
      if (body_file) {
        body_size = body_file->Size();
        stream = std::move(body_file);
        stream_is_file = true;
      } else if (Given(o_.body_option)) {
        stream = std::make_unique<TextSource>(o_.body);
      } else {
        stream = std::make_unique<TextSource>(BodyPropertyText(control.get_Body()));
      }
      if (!body_size) body_size = stream->Size();
    } else if (body_file) {
      std::uint64_t bytes = 0;
      qv::String text = ReadAllText(*body_file, bytes);
      DropFinalLineEnd(text);
      body_size = bytes;
      control.put_Body(qv::Variant(std::move(text)));
    } else if (Given(o_.body_option)) {
      body_size = o_.body.size();
      control.put_Body(qv::Variant(qv::FromUtf8(o_.body)));
    }

    ApplyCredentials(control, port, Given(o_.body_file_option) && o_.body_file == "-");

    Progress progress(stream != nullptr || body_size.has_value(), body_size);
    trace_.SetProgress(&progress);
    Narration narration(stderr, o_.quiet, &progress);
    narration.NamePort(port);
    // Taken as the send ends, before a later Send could clear it.
    qv::SessionSnapshot ended;
    narration.OnComplete([&] { ended = control.Snapshot(); });
    std::unique_ptr<PatientSource> patient;
    if (stream) {
      patient = std::make_unique<PatientSource>(*stream, std::chrono::seconds(o_.body_wait),
                                                [&] { StepWhileWaiting(*site); });
      narration.OnSendBody(
          [&](qv::Integer&) { StreamBodyNow(*site, *patient, progress, stream_is_file); });
    }
    control.Advise(&narration);

    if (!o_.quiet) {
      const std::string advice =
          PortAdvice(static_cast<qv::SmtpProtocol>(control.get_Protocol()), port);
      if (!advice.empty()) std::fprintf(stderr, "qvsmtp send: note: %s\n", advice.c_str());
    }
    CatchInterruptions();
    narration.Start();
    qv::Integer started = 0;
    try {
      started = control.Send();
    } catch (const qv::AutomationError& e) {
      throw ExitError(exit_code::kInternal, std::string("Send failed: ") + e.what());
    }
    if (started != 0) RefuseBusyRecord(control, record_name);
    const bool whole_body = !stream && body_size.value_or(0) > kProgressThreshold;
    try {
      RunUntilComplete(loop_, narration, [&] {
        if (whole_body) ShowQueueProgress(*site, *body_size, progress);
        if (!narration.complete()) CheckInterrupted();
      });
      // The QUIT line and the close still have to go out.
      if (!interrupted_) loop_.RunFor(1000ms);
    } catch (const Interrupted&) {
    }
    progress.Finish();
    trace_.Finish();
    if (interrupted_) ReportInterrupted(*site, narration, trace_.last_reply(), ended);
    control.Advise(nullptr);

    const std::optional<std::string> last_reply = trace_.last_reply();
    const qv::SendOutcome outcome = qv::ToSendOutcome(narration.status());
    int result = narration.status();
    // The server said to try again later: scripts may retry these alone. An
    // EHLO conversation ends a refusal (of AUTH, say) with status 4 and the
    // reply itself as StatusStr.
    if (((outcome == qv::SendOutcome::kSocketError || outcome == qv::SendOutcome::kTimeout) &&
         last_reply && last_reply->starts_with('4')) ||
        (outcome == qv::SendOutcome::kAddressRefused &&
         control.get_StatusStr().starts_with(u'4'))) {
      result = exit_code::kTempFail;
    }
    if (Given(o_.save_props_option)) {
      qv::PropertyFile& file = save_file ? *save_file : *props_file;
      try {
        control.WriteProperties(file.Record(record_name));
        if (saved_content_type_) {
          file.Record(record_name).Set(u"ContentType", qv::Variant(*saved_content_type_));
        }
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
    if (o_.json) {
      PrintJson(narration, narration.status(), qv::ToUtf8(control.get_StatusStr()), last_reply,
                ended, control.get_MessageId(), result);
    }
    if (!(o_.quiet && result == 0)) {
      std::string line = OutcomeLine(narration.status(), control.get_StatusStr());
      if (narration.status() > qv::ToInteger(qv::SendOutcome::kBusy)) {
        // A 550 to an address is itself the server's reply.
        if (last_reply && outcome != qv::SendOutcome::kAddressRefused) {
          line += " (server said: " + ReplyOnOneLine(*last_reply) + ")";
        }
        line += " [" + Printable(DescribeServer(qv::ToUtf8(control.get_RemoteHost()), port)) + "]";
      }
      std::fprintf(stderr, "%s\n", line.c_str());
    }
    return result;
  }

 private:
  // A secret given as an option's value has already reached the process
  // list; at least it goes no further.
  void RefuseSecretOnCommandLine() {
    for (const CLI::Option* option : {o_.refused_password_option, o_.refused_token_option}) {
      if (!Given(option)) continue;
      throw ExitError(exit_code::kUsage,
                      "there is no --" + option->get_lnames().front() +
                          " option: a value on the command line can be read by every user of "
                          "this machine; give --password-file FILE, --oauth2-token-file FILE, " +
                          kPasswordVariable + " or " + kTokenVariable +
                          " in the environment, or type it at the prompt");
    }
  }

  // The login: UserName, AuthMechanism and AuthInTheClear from the options
  // over what --props restored, and the password or token from a file, the
  // environment or the prompt. It runs once every other input has been
  // checked, so no secret is typed for a send that cannot start.
  void ApplyCredentials(qv::qvSMTP& control, std::uint16_t port, bool body_from_stdin) {
    if (Given(o_.user_option)) control.put_UserName(qv::FromUtf8(o_.user));
    if (Given(o_.auth_option)) control.put_AuthMechanism(qv::FromUtf8(o_.auth));
    if (o_.auth_in_the_clear) control.put_AuthInTheClear(qv::kTrue);
    const bool from_files = Given(o_.password_file_option) || Given(o_.token_file_option);
    const std::string user = qv::ToUtf8(control.get_UserName());
    if (user.empty()) {
      if (!from_files) return;
      throw ExitError(
          exit_code::kUsage,
          std::string(Given(o_.password_file_option) ? "--password-file" : "--oauth2-token-file") +
              " needs --user, the name to log in with");
    }
    if (control.get_Protocol() < ProtocolValue(qv::SmtpProtocol::kEsmtp)) {
      throw ExitError(exit_code::kUsage,
                      "logging in takes an EHLO conversation: add --tls starttls (port 587), "
                      "--tls implicit (port 465), or --ehlo for a server on this machine with "
                      "--auth-in-the-clear");
    }
    String mechanism = control.get_AuthMechanism();
    for (char16_t& c : mechanism)
      c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    const bool token_mechanism = mechanism == u"XOAUTH2" || mechanism == u"OAUTHBEARER";

    // A file given wins over both variables: a token left in the
    // environment must not replace the password the user chose.
    SecretText password;
    SecretText token;
    if (Given(o_.password_file_option)) {
      ReadSecretFile("--password-file", o_.password_file, password);
    }
    if (Given(o_.token_file_option)) ReadSecretFile("--oauth2-token-file", o_.token_file, token);
    if (!from_files) {
      ReadSecretVariable(kPasswordVariable, password);
      ReadSecretVariable(kTokenVariable, token);
    }
    if (password.empty() && token.empty()) {
      if (::isatty(STDIN_FILENO) == 0 || body_from_stdin) {
        throw ExitError(exit_code::kUsage,
                        "logging in as \"" + user +
                            "\" needs a password or token, and none was given: --password-file "
                            "FILE, --oauth2-token-file FILE, " +
                            kPasswordVariable + " or " + kTokenVariable +
                            " in the environment, or the prompt when standard input is a "
                            "terminal that carries no body");
      }
      const std::string what = token_mechanism ? "OAuth 2.0 token" : "password";
      PromptForSecret((token_mechanism ? "OAuth 2.0 token" : "Password") + std::string(" for ") +
                          Printable(user) + " at " +
                          Printable(DescribeServer(qv::ToUtf8(control.get_RemoteHost()), port)) +
                          ": ",
                      what, token_mechanism ? token : password);
    }
    if (!mechanism.empty() && (token_mechanism ? token.empty() : password.empty())) {
      throw ExitError(
          exit_code::kUsage,
          "AUTH " + qv::ToUtf8(mechanism) + " sends " +
              (token_mechanism
                   ? "a token (--oauth2-token-file or " + std::string(kTokenVariable) +
                         "), and only a password was given"
                   : "a password (--password-file or " + std::string(kPasswordVariable) +
                         "), and only a token was given"));
    }
    // The control keeps a copy of its own; the program's are overwritten.
    if (!password.empty()) {
      String text = qv::FromUtf8(password.text());
      control.put_Password(text);
      Wipe(text);
    }
    if (!token.empty()) {
      String text = qv::FromUtf8(token.text());
      control.put_OAuthToken(text);
      Wipe(text);
    }
  }

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
  // A file's own final line end is left out (DropFinalLineEnd).
  void StreamBodyNow(qv::runtime::ControlSite& site, BodySource& source, Progress& progress,
                     bool from_file) {
    try {
      StreamBody(
          source,
          [&](std::string_view piece, std::uint64_t consumed) {
            CheckInterrupted();
            site.control().SendDataUtf8(piece);
            progress.Update(consumed);
            if (site.socket().BytesQueued() > kHighWater) Drain(site, kLowWater);
          },
          from_file);
      // The wait for the server's answer starts after the body: let it leave.
      Drain(site, 0);
      progress.Finish();
    } catch (const ExitError& e) {
      input_failure_ = e.what();
      throw;
    }
  }

  // While the body source has nothing: the socket's work goes on.
  void StepWhileWaiting(qv::runtime::ControlSite& site) {
    CheckInterrupted();
    loop_.Poll();
    if (site.socket().State() != qv::socket_state::kConnected) {
      throw std::runtime_error("The connection failed while the message body was being sent");
    }
  }

  void Drain(qv::runtime::ControlSite& site, std::size_t low_water) {
    qv::connection::ConnectionSocket& socket = site.socket();
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
      CheckInterrupted();
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

  // The Protocol the options ask for; none when they leave the control's.
  // --ehlo alone never turns off TLS a --props file restored.
  std::optional<qv::SmtpProtocol> ChosenProtocol(qv::Integer restored) const {
    if (o_.tls == "starttls") return qv::SmtpProtocol::kStartTls;
    if (o_.tls == "implicit") return qv::SmtpProtocol::kImplicitTls;
    if (o_.ehlo && (Given(o_.tls_option) || restored < ProtocolValue(qv::SmtpProtocol::kEsmtp))) {
      return qv::SmtpProtocol::kEsmtp;
    }
    if (Given(o_.tls_option)) return qv::SmtpProtocol::kHelo;
    return std::nullopt;
  }

  // The port the control connects to: Port, or 0's default for the Protocol.
  static std::uint16_t ServerPort(const qv::qvSMTP& control) {
    if (control.get_Port() != 0) return static_cast<std::uint16_t>(control.get_Port());
    return control.get_Protocol() == ProtocolValue(qv::SmtpProtocol::kImplicitTls) ? 465 : 25;
  }

  // status: the outcome code, or null when the send has none (interrupted).
  void PrintJson(const Narration& narration, const nlohmann::ordered_json& status,
                 const std::string& status_str, const std::optional<std::string>& last_reply,
                 const qv::SessionSnapshot& ended, const String& message_id, int exit_status) {
    nlohmann::ordered_json out;
    out["status"] = status;
    out["statusStr"] = status_str;
    out["lastReply"] = last_reply ? nlohmann::ordered_json(*last_reply) : nullptr;
    out["elapsedMs"] = narration.elapsed().count();
    out["debugMessages"] = narration.messages();
    out["tls"] = ended.tls.empty() ? nlohmann::ordered_json(nullptr)
                                   : nlohmann::ordered_json(qv::ToUtf8(ended.tls));
    std::vector<std::string> capabilities;
    for (const String& capability : ended.capabilities)
      capabilities.push_back(qv::ToUtf8(capability));
    out["capabilities"] = capabilities;
    // The id of the message written, to match a bounce; null when the send
    // ended before the message.
    out["messageId"] = message_id.empty() ? nlohmann::ordered_json(nullptr)
                                          : nlohmann::ordered_json(qv::ToUtf8(message_id));
    out["exit"] = exit_status;
    const std::string text =
        TerminalSafeJson(out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
  }

  // A record that says a send is running cannot start one: Send would refuse
  // with 1 and leave the record's own StatusStr, which reads like an outcome.
  void RefuseBusyRecord(const qv::qvSMTP& control, const std::string& record_name) const {
    if (control.get_Busy() == qv::kFalse) return;
    throw ExitError(exit_code::kDataError,
                    o_.props + ": record \"" + record_name +
                        "\" holds Busy true, so a send cannot start; nothing was sent (the "
                        "control that saved it was in the middle of a send)");
  }

  // The ContentType to give the control, if any: --content-type, or for a
  // streamed body with the initial label the UTF-8 one, since its text is not
  // known before it is written. A saved record keeps the label it had.
  std::optional<String> ChosenContentType(const qv::qvSMTP& control) {
    if (Given(o_.content_type_option)) return qv::FromUtf8(o_.content_type);
    const bool streamed = Given(o_.body_event_option) || control.get_BodyEvent() > 0;
    if (!streamed || control.get_ContentType() != kInitialContentType) return std::nullopt;
    saved_content_type_ = control.get_ContentType();
    return String(kStreamedContentType);
  }

  void CheckInterrupted() {
    if (g_signal == 0) return;
    interrupted_ = true;
    throw Interrupted();
  }

  // One outcome line (and the JSON object) for a send cut short by a signal,
  // saying whether the server can have the message: only when its end of
  // data left the program and no answer came. Exits 128 + the signal at once:
  // the socket would write what it still holds as it closes, and that may
  // be the end of the data.
  [[noreturn]] void ReportInterrupted(qv::runtime::ControlSite& site, const Narration& narration,
                                      const std::optional<std::string>& last_reply,
                                      const qv::SessionSnapshot& ended) {
    const int number = g_signal;
    const bool data_ended =
        !narration.complete() &&
        site.control().Snapshot().state == qv::SessionSnapshot::kWaitMessageAck &&
        site.socket().BytesQueued() == 0;
    const std::string text =
        std::string("interrupted by ") + Interrupted::SignalName(number) +
        (data_ended ? ": the whole message was sent and the server had not answered; it may have "
                      "been delivered"
                    : ": nothing was delivered");
    const int result = 128 + number;
    if (o_.json)
      PrintJson(narration, nullptr, text, last_reply, ended, site.control().get_MessageId(),
                result);
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(nullptr);
    std::_Exit(result);
  }

  const SendOptions& o_;
  ConversationTrace trace_{o_.verbose, nullptr};
  qv::runtime::EventLoop loop_;
  std::optional<std::string> input_failure_;
  std::optional<String> saved_content_type_;
  bool interrupted_ = false;
};

}  // namespace

void RunUntilComplete(qv::runtime::EventLoop& loop, const Narration& narration,
                      const std::function<void()>& between_slices) {
  while (!narration.complete()) {
    const auto before = std::chrono::steady_clock::now();
    std::size_t ran = 0;
    try {
      ran = loop.RunFor(100ms);
    } catch (const std::exception&) {
      // The SendBody handler's own failure (a stalled or broken body source):
      // the control ended the send with its text (status 2) before passing
      // it on, and that outcome is what the program reports.
      if (!narration.complete()) throw;
      ran = 1;
    }
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
      "The body comes from --body, --body-file, the --props file, or else standard input\n"
      "when it is not a terminal. One line end at the end of a file or of standard input is\n"
      "left out: the control ends the body's last line itself. A --body-file that ends\n"
      "before the size it had at the start (cut short while being sent) ends the send with\n"
      "status 2 (exit 66) and no end of the data, so the server keeps nothing.\n"
      "\n"
      "Which conversation: to a submission server on port 587, --tls starttls --port 587;\n"
      "on port 465, --tls implicit; between servers or to a local relay on port 25, the\n"
      "default (HELO in plain text, as the control has always spoken). With --tls the\n"
      "send ends with status 2 before MAIL FROM when the server does not offer\n"
      "STARTTLS or its certificate is not trusted for its name; -v marks where TLS\n"
      "began. A port whose servers speak otherwise than asked (465 without --tls\n"
      "implicit, 587 without --tls starttls) earns a note first; the send goes on.\n"
      "\n"
      "Logging in (AUTH, after TLS and before MAIL FROM): --user NAME with a password\n"
      "(a provider's app password) or an OAuth 2.0 bearer token. The secret comes from\n"
      "--password-file FILE or --oauth2-token-file FILE (the first line, without its line\n"
      "end; a file other users can read is refused), else from the environment\n"
      "(QVSMTP_PASSWORD, QVSMTP_OAUTH2_TOKEN), else from a prompt that does not echo when\n"
      "standard input is a terminal that carries no body. There is no --password option:\n"
      "a command line can be read by every user of the machine (ps), an environment\n"
      "or a file of mode 0600 by its owner only. The secret never appears in -v (the\n"
      "line shows as AUTH PLAIN ****), in --json, in messages or in --save-props, which\n"
      "keeps UserName, AuthMechanism and AuthInTheClear, so a replay with --props asks\n"
      "for the secret again. Credentials go only over TLS; a refusal (535 wrong\n"
      "password, 534, 538) ends the send with status 4 and the server's reply.\n"
      "  qvsmtp send --server smtp.example.com --tls starttls --port 587 \\\n"
      "      --user me@example.com --password-file ~/.config/qvsmtp/app-password \\\n"
      "      --from me@example.com --to you@example.org --subject Hi --body Hello\n"
      "  qvsmtp send --server smtp.example.com --tls implicit --user me@example.com \\\n"
      "      --oauth2-token-file ~/.config/qvsmtp/token ...\n"
      "\n"
      "On failure the outcome line shows the server's last reply, if any, and the server\n"
      "and port: status 3: Timeout waiting for addr ack. (server said: 554 5.7.1 ...)\n"
      "[mail.example.com port 25]. --json carries the reply as lastReply. The server's\n"
      "text is shown as the control decodes it into StatusStr: a byte that is not UTF-8\n"
      "stands for the character of its value (0xFF is U+00FF); characters that would act on\n"
      "a terminal are escaped, in --json as \\uXXXX. -v shows at most 8 KiB of what the\n"
      "server sends between two commands, with a count of the rest.\n"
      "\n"
      "SIGINT or SIGTERM during the send ends it with one line saying whether the server\n"
      "can have the message (\"interrupted by SIGINT: nothing was delivered\"), and with\n"
      "--json an object whose status is null; the exit status is 130 or 143 and\n"
      "--save-props saves nothing.\n"
      "\n"
      "Exit status: the outcome code (0 success, 2 socket error, 3 time-out, 4 address\n"
      "or login refused), except 75 when the send ended on a 4xx reply from the server (a\n"
      "temporary refusal, 454 to AUTH among them: the message was not taken, try again\n"
      "later; --json keeps the outcome code in status, and the exit status in exit); 64\n"
      "bad usage (--user without a secret among it); 65 bad data in the --props file (a\n"
      "record holding Busy true among it: no send can start) or in the first line of a\n"
      "secret file; 66 an input file (--body-file, --props, --ca-file, a secret file)\n"
      "cannot be read, was cut short or can be read by other users; 70 internal error; 73\n"
      "the --save-props file cannot be written (checked before sending as well); 130 or\n"
      "143 interrupted.");

  o.server_option = app->add_option("--server", o.server,
                                    "SMTP server name or address (RemoteHost), optionally with "
                                    "the port (Port): HOST:PORT, [IPV6]:PORT; required unless "
                                    "--props restores one other than \"0\"")
                        ->type_name("HOST[:PORT]");
  o.port_option = app->add_option("--port", o.port,
                                  "Connect to port N (Port; default 25, 465 with --tls "
                                  "implicit, or the --props file's)")
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
                                       "standard input (read anyway when it is not a terminal "
                                       "and no other body is given)")
                           ->type_name("PATH");
  o.body_option->excludes(o.body_file_option);
  o.body_file_option->excludes(o.body_option);
  o.priority_option =
      app->add_option("--priority", o.priority, "Priority header (Priority)")->type_name("TEXT");
  o.date_option = app->add_option("--date", o.date,
                                  "Date header, local time \"YYYY-MM-DD HH:MM:SS\" (DateHeader; "
                                  "default: when the control's properties were initialised)")
                      ->type_name("DATE");
  o.message_id_option =
      app->add_option("--message-id", o.message_id,
                      "Message-ID header of this message, unique@domain (MessageId; default: "
                      "128 random bits at the sender's domain); --json gives the id used")
          ->type_name("ID");
  o.body_event_option =
      app->add_option("--body-event", o.body_event,
                      "Set BodyEvent to N: when the control asks for the body, the program writes "
                      "that of --body, --body-file or Body itself, streamed in pieces of at "
                      "most 1 MiB with CR LF line ends and leading dots doubled (for bodies "
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
  o.content_type_option =
      app->add_option("--content-type", o.content_type,
                      "Content-type header (ContentType; default \"text/plain; charset=US-ASCII\", "
                      "for a streamed body \"text/plain; charset=UTF-8\")")
          ->type_name("TEXT");
  o.x_mailer_option =
      app->add_option("--x-mailer", o.x_mailer, "X-Mailer header (XMailer)")->type_name("TEXT");
  o.helo_option = app->add_option("--helo", o.helo,
                                  "Name to greet the server with (default: this machine's fully "
                                  "qualified name, else an address literal such as [127.0.0.1])")
                      ->type_name("NAME");
  o.tls_option =
      app->add_option("--tls", o.tls,
                      "none: HELO in plain text (Protocol 0, the default); starttls: EHLO, then "
                      "STARTTLS, required (Protocol 2); implicit: TLS from the first byte "
                      "(Protocol 3, port 465 unless given)")
          ->type_name("MODE")
          ->check(CLI::IsMember({"none", "starttls", "implicit"}));
  o.ehlo_option = app->add_flag("--ehlo", o.ehlo,
                                "Greet with EHLO, in plain text unless --tls asks for TLS "
                                "(Protocol 1); it never turns off TLS restored with --props");
  o.ca_file_option = app->add_option("--ca-file", o.ca_file,
                                     "Trust the CAs of this PEM file instead of the system's "
                                     "(CaFile, saved as an absolute path); the server's "
                                     "certificate and name are always checked")
                         ->type_name("FILE");
  o.user_option = app->add_option("--user", o.user,
                                  "Log in as NAME (UserName; needs an EHLO conversation and a "
                                  "password or token, see below)")
                      ->type_name("NAME");
  o.password_file_option = app->add_option("--password-file", o.password_file,
                                           "Take the password from the first line of FILE (mode "
                                           "0600, or a pipe: <(COMMAND))")
                               ->type_name("FILE");
  o.token_file_option = app->add_option("--oauth2-token-file", o.token_file,
                                        "Take an OAuth 2.0 bearer token (OAuthToken) from the "
                                        "first line of FILE, as --password-file")
                            ->type_name("FILE");
  o.auth_option =
      app->add_option("--auth", o.auth,
                      "Force the mechanism (AuthMechanism): PLAIN, LOGIN, XOAUTH2 or OAUTHBEARER; "
                      "by default XOAUTH2 then OAUTHBEARER with a token, PLAIN then LOGIN with a "
                      "password, among those the server offers")
          ->type_name("MECH")
          ->check(CLI::IsMember({"PLAIN", "LOGIN", "XOAUTH2", "OAUTHBEARER"}, CLI::ignore_case));
  app->add_flag("--auth-in-the-clear", o.auth_in_the_clear,
                "Allow logging in without TLS to a server on this machine (localhost, 127.x.x.x, "
                "::1), where no network carries the secret: for a local test server (with "
                "--ehlo). To any other server credentials still go only over TLS "
                "(AuthInTheClear)");
  // Hidden: they exist to refuse a secret given on the command line without
  // repeating it in the error.
  o.refused_password_option = app->add_option("--password", o.refused_secret)->group("");
  o.refused_token_option = app->add_option("--oauth2-token", o.refused_secret)->group("");
  app->add_option("--body-wait", o.body_wait,
                  "With --body-event: end the send (status 2) when the body source gives "
                  "nothing for this many seconds (default 60)")
      ->type_name("SECONDS")
      ->check(CLI::Range(1, 86400));
  auto* quiet = app->add_flag("-q,--quiet", o.quiet,
                              "Print nothing on success, only the outcome line on failure");
  auto* verbose = app->add_flag("-v,--verbose", o.verbose,
                                "Also print the conversation with the server as C: and S: lines "
                                "(the body cut after a few lines, with a count of the rest)");
  quiet->excludes(verbose);
  verbose->excludes(quiet);
  app->add_flag(
      "--json", o.json,
      "Print one JSON object with status, statusStr, lastReply, elapsedMs, "
      "debugMessages, tls (protocol version and cipher, null in plain text), "
      "capabilities (the server's EHLO keywords), messageId and exit (the exit status) on "
      "standard output at the end");

  return Command{app, [options] {
                   // Kept to the end of the process on purpose: destroying the loop would
                   // wait for a name lookup that is still running after the outcome.
                   static SendCommand* command = nullptr;
                   command = new SendCommand(*options);
                   return command->Run();
                 }};
}

}  // namespace qvsmtp
