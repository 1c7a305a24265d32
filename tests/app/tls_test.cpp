// qvsmtp send with --tls against qvsmtp sink with a throwaway certificate:
// what arrives, what the user is told, and that nothing of the mail leaves
// in the clear when TLS cannot be had. The control, driven through the
// library, logging in to the sink that requires AUTH.
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "program_runner.hpp"
#include "qv/core/text.hpp"
#include "qv/runtime/control_site.hpp"
#include "qv/runtime/event_loop.hpp"
#include "qv/testing/recording_sink.hpp"
#include "sink/sink_tls.hpp"
#include "sink_process.hpp"

namespace qvsmtp::test_support {
namespace {

struct TlsCase {
  const char* name;
  bool sink_tls;       // the sink has a certificate (and a port of implicit TLS)
  std::string mode;    // --tls
  bool implicit_port;  // send to the sink's port of TLS from the first byte
  bool other_ca;       // trust a certificate that is not the sink's
  int status;          // exit status of the send (and of the replay)
  const char* told;    // in standard error
  bool replay;         // --save-props, then again with --props alone
};

TEST(SendTls, EncryptsOrSendsNoMailCommandAtAll) {
  QV_REQUIRE_PROGRAM();
  const std::vector<TlsCase> cases = {
      {"starttls", true, "starttls", false, false, 0, "-- TLS started: TLSv1.", false},
      {"implicit", true, "implicit", true, false, 0, "-- TLS started: TLSv1.", false},
      {"no STARTTLS offered", false, "starttls", false, false, 2, "does not offer STARTTLS", false},
      {"untrusted certificate", true, "starttls", false, true, 2,
       "certificate is not trusted: self-signed certificate", false},
      {"saved and replayed", true, "starttls", false, false, 0, "] TLS started: TLSv1.", true},
  };
  for (const TlsCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir temp;
    std::vector<std::string> sink_args;
    if (c.sink_tls) sink_args = {"--tls-self-signed", temp / "tls", "--tls-port", "0"};
    SinkProcess sink(temp / "box", sink_args);
    ASSERT_NE(sink.port(), 0) << sink.first_line();
    int port = sink.port();
    if (c.implicit_port) {
      const std::string line = sink.child().ReadOutLine();
      port = std::stoi(line.substr(line.rfind(':') + 1));
    }
    std::vector<std::string> args{"send",   "--server", "127.0.0.1:" + std::to_string(port),
                                  "--from", "a@b.c",    "--to",
                                  "d@e.f",  "--body",   "hello",
                                  "--tls",  c.mode,     "-v",
                                  "--json"};
    if (c.other_ca) {
      args.insert(
          args.end(),
          {"--ca-file", MakeThrowawayCertificate(temp.path() / "other").certificate.string()});
    } else if (c.sink_tls) {
      args.insert(args.end(), {"--ca-file", temp / "tls/cert.pem"});
    }
    if (c.replay) args.insert(args.end(), {"--save-props", temp / "saved.props"});
    std::vector<RunResult> runs{RunProgram(args)};
    // --ehlo alone must not turn the restored TLS off.
    if (c.replay) {
      runs.push_back(RunProgram({"send", "--props", temp / "saved.props", "--ehlo", "--json"}));
    }
    for (const RunResult& run : runs) {
      EXPECT_EQ(run.exit_code, c.status) << run.err;
      EXPECT_NE(run.err.find(c.told), std::string::npos) << run.err;
      const auto json = nlohmann::json::parse(run.out, nullptr, false);
      ASSERT_TRUE(json.is_object()) << run.out;
      if (c.status == 0) {
        EXPECT_TRUE(json["tls"].get<std::string>().starts_with("TLSv1.")) << run.out;
        // Asked again once encrypted: what the clear text offered is gone.
        EXPECT_EQ(json["capabilities"], nlohmann::json({"PIPELINING", "8BITMIME"})) << run.out;
      } else {
        EXPECT_TRUE(json["tls"].is_null()) << run.out;
        EXPECT_EQ(run.err.find("C: MAIL FROM"), std::string::npos) << run.err;
      }
    }
    sink.child().Signal(SIGTERM);
    EXPECT_EQ(sink.child().Finish({}, 5s).exit_code, 0);
    EXPECT_EQ(Files(temp.path() / "box" / "new").size(), c.status == 0 ? runs.size() : 0u);
  }
}

// The password holds a colon: all after the first one in the users file is
// the password.
TEST(SinkAuth, TakesTheControlsPasswordOverStartTlsAndShowsItNowhere) {
  QV_REQUIRE_PROGRAM();
  struct Case {
    const char* name;
    std::string password;
    qv::Integer status;
    const char* sink_told;  // in the sink's standard error
    std::size_t stored;
  };
  const std::vector<Case> cases = {
      {"right password", "pw:7f3a", 0, "", 1},
      {"wrong password", "pw-guess", 4, "AUTH as \"alice\" refused: wrong password", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir temp;
    WriteFile(temp / "users", "# try-out\nalice:pw:7f3a\n");
    std::filesystem::permissions(temp / "users", std::filesystem::perms::owner_read);
    SinkProcess sink(temp / "box",
                     {"--tls-self-signed", temp / "tls", "--auth-users", temp / "users"});
    ASSERT_NE(sink.port(), 0) << sink.first_line();

    qv::runtime::EventLoop loop;
    qv::runtime::ControlSite site(loop);
    qv::testing::RecordingSink events;
    site->Advise(&events);
    site->put_RemoteHost(u"127.0.0.1");
    site->put_Port(sink.port());
    site->put_Protocol(2);  // STARTTLS
    site->put_CaFile(qv::FromUtf8(temp / "tls/cert.pem"));
    site->put_UserName(u"alice");
    site->put_Password(qv::FromUtf8(c.password));
    site->put_MailFrom(u"a@b.c");
    site->put_RcptTo(u"d@e.f");
    site->put_Body(qv::Variant(u"hello"));
    ASSERT_EQ(site->Send(), 0);
    ASSERT_TRUE(loop.RunUntil([&] { return site->get_Busy() == qv::kFalse; }, 10s));
    EXPECT_EQ(site->get_status(), c.status) << qv::ToUtf8(site->get_StatusStr());
    EXPECT_EQ(events.CountOf("DebugMessage Sending AUTH PLAIN"), 1);
    for (const std::string& event : events.events) {
      EXPECT_EQ(event.find(c.password), std::string::npos) << event;
    }

    sink.child().Signal(SIGTERM);
    const RunResult run = sink.child().Finish({}, 5s);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_NE(run.err.find(c.sink_told), std::string::npos) << run.err;
    EXPECT_EQ((sink.first_line() + run.out + run.err).find(c.password), std::string::npos);
    EXPECT_EQ(Files(temp.path() / "box" / "new").size(), c.stored);
  }
}

}  // namespace
}  // namespace qvsmtp::test_support
