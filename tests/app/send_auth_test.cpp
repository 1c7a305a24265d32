// qvsmtp send logging in, one table: the secret from a file or from the
// environment reaches the wire in the right AUTH line and nothing else the
// program writes (-v, --json, --save-props, its messages); a login without a
// secret, a secret on the command line and a file others can read are
// refused before connecting; 535 exits 4 with the reply, 454 exits 75.
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "program_runner.hpp"
#include "smtp_peer.hpp"

namespace qvsmtp::test_support {
namespace {

struct Case {
  std::string name;
  std::vector<std::string> args;  // after --server, --from, --to, -v, --json and --body
  std::vector<std::string> env{};
  std::optional<mode_t> file_mode{};  // the password file, written with it
  std::string auth_reply = "235 2.7.0 ok\r\n";
  int exit = 0;
  std::string err_has{};
  std::string wire_has{};  // the login as the server read it
};

// A server that offers AUTH in plain EHLO (the program may log in to it with
// --auth-in-the-clear only because it listens on 127.0.0.1), and asks
// LOGIN's two questions.
SmtpPeer::Answer AuthServer(std::string auth_reply) {
  return [auth_reply, questions = 0](std::string_view line) mutable -> std::string {
    if (line.starts_with("EHLO")) return "250-peer.test\r\n250 AUTH PLAIN LOGIN XOAUTH2\r\n";
    if (line == "AUTH LOGIN" || (questions == 1 && line != "QUIT")) {
      return ++questions == 1 ? "334 VXNlcm5hbWU6\r\n" : "334 UGFzc3dvcmQ6\r\n";
    }
    if (line.starts_with("AUTH") || questions == 2) {
      questions = 0;
      return auth_reply;
    }
    return SmtpPeer::Standard(line);
  };
}

TEST(SendAuth, LogsInAndShowsTheSecretNowhere) {
  QV_REQUIRE_PROGRAM();
  TempDir temp;
  const std::string file = temp / "password", props = temp / "saved", named = temp / "named";
  // The base64 forms are what a careless trace would show.
  const std::vector<std::string> secrets = {
      "s3cret-Pw-71",
      "czNjcmV0LVB3LTcx",
      "AG1lQGV4YW1wbGUuY29tAHMzY3JldC1Qdy03MQ==",
      "env-Pw-93",
      "ZW52LVB3LTkz",
      "ya29.tok-en-42",
      "eWEyOS50b2stZW4tNDI=",
      "dXNlcj1tZUBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnRvay1lbi00MgEB"};
  WriteFile(named, R"({"format": "qvcontrols1-properties", "version": 1, "controls": {"qvSMTP1": )"
                   R"([{"key": "UserName", "type": "String", "value": "me@example.com"}]}})");
  const std::vector<std::string> login = {"--ehlo", "--user", "me@example.com",
                                          "--auth-in-the-clear"};
  const auto with_login = [&](std::vector<std::string> more) {
    more.insert(more.begin(), login.begin(), login.end());
    return more;
  };
  const std::vector<Case> cases = {
      {.name = "password file wins over a token in the environment",
       .args = with_login({"--password-file", file, "--save-props", props}),
       .env = {"QVSMTP_OAUTH2_TOKEN=ya29.tok-en-42"},
       .file_mode = 0600,
       .err_has = "C: AUTH PLAIN ****\n",
       .wire_has = "AUTH PLAIN AG1lQGV4YW1wbGUuY29tAHMzY3JldC1Qdy03MQ==\r\nMAIL FROM:"},
      {.name = "password from the environment, LOGIN forced",
       .args = with_login({"--auth", "login"}),
       .env = {"QVSMTP_PASSWORD=env-Pw-93"},
       .err_has = "C: AUTH LOGIN\nS: 334 VXNlcm5hbWU6\nC: ****\nS: 334 UGFzc3dvcmQ6\nC: ****\n",
       .wire_has = "AUTH LOGIN\r\nbWVAZXhhbXBsZS5jb20=\r\nZW52LVB3LTkz\r\nMAIL FROM:"},
      {.name = "token from the environment",
       .args = login,
       .env = {"QVSMTP_OAUTH2_TOKEN=ya29.tok-en-42"},
       .err_has = "C: AUTH XOAUTH2 ****\n",
       .wire_has = "AUTH XOAUTH2 "
                   "dXNlcj1tZUBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnRvay1lbi00MgEB\r\n"},
      {.name = "refused: 535",
       .args = with_login({"--password-file", file}),
       .file_mode = 0600,
       .auth_reply = "535 5.7.8 Authentication credentials invalid\r\n",
       .exit = 4,
       .err_has = "status 4: 535 5.7.8 Authentication credentials invalid [127.0.0.1 port "},
      {.name = "refused for now: 454",
       .args = with_login({"--password-file", file}),
       .file_mode = 0600,
       .auth_reply = "454 4.7.0 Temporary authentication failure\r\n",
       .exit = 75,
       .err_has = "status 4: 454 4.7.0 Temporary authentication failure [127.0.0.1 port "},
      {.name = "no secret from any source",
       .args = login,
       .exit = 64,
       .err_has = "--password-file FILE, --oauth2-token-file FILE, QVSMTP_PASSWORD or "
                  "QVSMTP_OAUTH2_TOKEN in the environment, or the prompt"},
      {.name = "a restored UserName asks for its secret again",
       .args = {"--props", named, "--ehlo"},
       .exit = 64,
       .err_has = "logging in as \"me@example.com\" needs a password or token"},
      {.name = "a password file others can read",
       .args = with_login({"--password-file", file}),
       .file_mode = 0644,
       .exit = 66,
       .err_has = "can be read by other users (mode 0644); make it the owner's alone"},
      {.name = "a password on the command line",
       .args = with_login({"--password", "s3cret-Pw-71"}),
       .exit = 64,
       .err_has = "there is no --password option: a value on the command line can be read"},
      {.name = "login in a HELO conversation",
       .args = {"--user", "me@example.com", "--password-file", file},
       .file_mode = 0600,
       .exit = 64,
       .err_has = "logging in takes an EHLO conversation"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(file);
    std::filesystem::remove(props);
    if (c.file_mode) {
      WriteFile(file, "s3cret-Pw-71\r\nsecond line\n");
      ::chmod(file.c_str(), *c.file_mode);
    }
    SmtpPeer peer(AuthServer(c.auth_reply));
    std::vector<std::string> args{"send",
                                  "--server",
                                  "127.0.0.1:" + std::to_string(peer.port()),
                                  "--from",
                                  "me@example.com",
                                  "--to",
                                  "you@example.org",
                                  "-v",
                                  "--json",
                                  "--body",
                                  "hi"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Child child(args, c.env);
    const RunResult r = child.Finish();
    EXPECT_EQ(r.exit_code, c.exit) << r.err;
    EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
    EXPECT_NE(peer.transcript().find(c.wire_has), std::string::npos) << peer.transcript();
    EXPECT_EQ(peer.connections(), c.exit == 64 || c.exit == 66 ? 0 : 1);
    const std::string saved = ReadFile(props);
    if (c.args.back() == props) {
      EXPECT_NE(saved.find("me@example.com"), std::string::npos) << saved;
    }
    for (const std::string& secret : secrets) {
      EXPECT_EQ(r.err.find(secret), std::string::npos) << secret << "\n" << r.err;
      EXPECT_EQ(r.out.find(secret), std::string::npos) << secret << "\n" << r.out;
      EXPECT_EQ(saved.find(secret), std::string::npos) << secret << "\n" << saved;
    }
  }
}

}  // namespace
}  // namespace qvsmtp::test_support
