// qvsmtp send's options end to end, one table: -q, -v, the server's last
// reply on failure, exit 75, a body from a pipe, --server HOST:PORT,
// --content-type, --x-mailer, --helo, --save-props checked first, a stalled
// body source, a closed standard error and server text made safe.
#include <future>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "program_runner.hpp"
#include "smtp_peer.hpp"

namespace qvsmtp::test_support {
namespace {

struct Case {
  std::string name{};
  std::vector<std::string> args{};  // "{port}" stands for the peer's port
  bool base_args = true;            // --server, --port, --from and --to first
  std::string input{};
  bool stall_input = false;  // standard input stays open after input
  bool close_stderr = false;
  SmtpPeer::Answer answer = SmtpPeer::Standard;
  std::string greeting = "220 peer.test ready\r\n";
  int exit = 0;
  std::optional<std::string> last_err_line{};  // exact; "{port}" as above
  std::vector<std::string> err_has{};
  std::vector<std::string> err_lacks{};
  std::vector<std::string> wire_has{};
  std::optional<std::string> last_reply{};  // --json's lastReply
  bool connects = true;
};

SmtpPeer::Answer Refusing(std::string command, std::string reply) {
  return [command, reply](std::string_view line) {
    return line.starts_with(command) ? reply : SmtpPeer::Standard(line);
  };
}

std::string WithPort(std::string text, std::uint16_t port) {
  for (std::size_t at; (at = text.find("{port}")) != std::string::npos;) {
    text.replace(at, 6, std::to_string(port));
  }
  return text;
}

struct Ran {
  RunResult result;
  std::string wire;
  int connections = 0;
  std::uint16_t port = 0;
};

Ran RunCase(const Case& c) {
  SmtpPeer peer(c.answer, c.greeting);
  std::vector<std::string> args;
  if (c.base_args) {
    args = {
        "send",   "--server",          "127.0.0.1", "--port",         std::to_string(peer.port()),
        "--from", "alice@example.com", "--to",      "bob@example.com"};
  }
  for (const std::string& a : c.args) args.push_back(WithPort(a, peer.port()));
  Child child(args);
  if (c.close_stderr) child.CloseErrorOutput();
  Ran ran;
  ran.result = child.Finish(c.input, 40s, c.stall_input);
  ran.wire = peer.transcript();
  ran.connections = peer.connections();
  ran.port = peer.port();
  return ran;
}

TEST(SendOptions, EndToEnd) {
  QV_REQUIRE_PROGRAM();
  TempDir temp;
  const std::string ten_lines = "l1\nl2\n.l3\nl4\nl5\nl6\nl7\nl8\nl9\nl10";
  const std::vector<Case> cases = {
      {.name = "quiet success",
       .args = {"-q"},
       .last_err_line = std::nullopt,
       .err_lacks = {"status"}},
      {.name = "quiet failure",
       .args = {"-q"},
       .answer = Refusing("RCPT", "550 5.1.1 no such user\r\n"),
       .exit = 4,
       .last_err_line = "status 4: 550 5.1.1 no such user [127.0.0.1 port {port}]"},
      {.name = "verbose",
       .args = {"-v", "--body", ten_lines},
       .err_has = {"S: 220 peer.test ready\n", "C: MAIL FROM: <alice@example.com>\n",
                   "C: DATA\nS: 354 go ahead\nC: Priority: Normal\n",
                   "C: \nC: l1\nC: l2\nC: ..l3\n",
                   "C: [8 more lines of the body, 31 bytes, not shown]\nC: .\nS: 250 ok\n",
                   "C: QUIT\n", "] Connecting to 127.0.0.1 (port {port})\n"},
       .err_lacks = {"C: l4"}},
      {.name = "server text made safe",
       .args = {"-v"},
       .greeting = "220 a\x1b[2Jb\xc2\x9b"
                   "31mc\xe2\x80\xae"
                   "d\xe2\x81\xa6"
                   "e\xff\r\n",
       .err_has = {"S: 220 a\\x1B[2Jb\\u009B31mc\\u202Ed\\u2066e\xc3\xbf\n"},
       .err_lacks = {"\x1b", "\xc2\x9b", "\xe2\x80\xae", "\xe2\x81\xa6"}},
      {.name = "refused sender: the reply is shown",
       .args = {"--json"},
       .answer = Refusing("MAIL", "554 5.7.1 <alice@example.com>: Sender address rejected\r\n"),
       .exit = 3,
       .last_err_line = "status 3: Timeout waiting for addr ack. (server said: 554 5.7.1 "
                        "<alice@example.com>: Sender address rejected) [127.0.0.1 port {port}]",
       .last_reply = "554 5.7.1 <alice@example.com>: Sender address rejected\r\n"},
      {.name = "a temporary refusal exits 75",
       .args = {"--json"},
       .answer = Refusing("MAIL", "451-4.7.1 greylisted\r\n451 4.7.1 try again later\r\n"),
       .exit = 75,
       .last_err_line = "status 3: Timeout waiting for addr ack. (server said: 451-4.7.1 "
                        "greylisted 451 4.7.1 try again later) [127.0.0.1 port {port}]",
       .last_reply = "451-4.7.1 greylisted\r\n451 4.7.1 try again later\r\n"},
      {.name = "body from a pipe",
       .input = "piped\n.dot\n",
       .wire_has = {"\r\n\r\npiped\r\n..dot\r\n\r\n.\r\n"}},
      {.name = "streamed body from a pipe",
       .args = {"--body-event", "1"},
       .input = "piped\n.dot\n",
       .wire_has = {"\r\n\r\npiped\r\n..dot\r\n.\r\n"}},
      {.name = "--server HOST:PORT",
       .args = {"send", "--server", "127.0.0.1:{port}", "--from", "a@b.example", "--to",
                "c@d.example", "--body", "x"},
       .base_args = false,
       .err_has = {"] Connecting to 127.0.0.1 (port {port})\n"},
       .wire_has = {"RCPT TO: <c@d.example>\r\n"}},
      {.name = "--server and --port disagree",
       .args = {"--server", "127.0.0.1:1"},
       .exit = 64,
       .connects = false},
      {.name = "--server with a bad port",
       .args = {"--server", "127.0.0.1:0"},
       .exit = 64,
       .connects = false},
      {.name = "headers and HELO name from options",
       .args = {"--content-type", "text/html; charset=UTF-8", "--x-mailer", "Mine 1.0", "--helo",
                "client.example.test", "--body", "x"},
       .wire_has = {"HELO client.example.test\r\n",
                    "\r\nContent-type: text/html; charset=UTF-8\r\n",
                    "\r\nX-Mailer: Mine 1.0\r\n"}},
      {.name = "--helo with a line break",
       .args = {"--helo", "a\r\nRSET"},
       .exit = 64,
       .connects = false},
      {.name = "--save-props into a missing folder",
       .args = {"--body", "x", "--save-props", temp / "missing/props.json"},
       .exit = 73,
       .err_has = {"missing"},
       .connects = false},
      {.name = "a stalled body source",
       .args = {"--body-event", "1", "--body-file", "-", "--body-wait", "1"},
       .input = "one line\n",
       .stall_input = true,
       .exit = 2,
       .last_err_line = "status 2: No body text from standard input for 1 seconds (server said: "
                        "354 go ahead) [127.0.0.1 port {port}]",
       // The line end waits: it is left out if it turns out to be the last.
       .wire_has = {"\r\n\r\none line"}},
      {.name = "closed standard error",
       .args = {"-v", "--body", ten_lines},
       .close_stderr = true,
       .wire_has = {"l10\r\n\r\n.\r\nQUIT\r\n"}},
  };

  // Two cases wait out the control's 10 s limit: all run at once.
  std::vector<std::future<Ran>> running;
  for (const Case& c : cases) running.push_back(std::async(std::launch::async, RunCase, c));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const Ran ran = running[i].get();
    const RunResult& r = ran.result;
    SCOPED_TRACE(c.name + "\n" + r.err);
    EXPECT_EQ(r.exit_code, c.exit);
    const std::vector<std::string> lines = r.ErrLines();
    if (c.last_err_line) {
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.back(), WithPort(*c.last_err_line, ran.port));
    } else if (c.name.starts_with("quiet")) {
      EXPECT_EQ(r.err, "");
    }
    if (c.name == "quiet failure") {
      EXPECT_EQ(lines.size(), 1u);
    }
    for (const std::string& part : c.err_has) {
      EXPECT_NE(r.err.find(WithPort(part, ran.port)), std::string::npos) << part;
    }
    for (const std::string& part : c.err_lacks) EXPECT_EQ(r.err.find(part), std::string::npos);
    for (const std::string& part : c.wire_has) {
      EXPECT_NE(ran.wire.find(part), std::string::npos) << part << "\n" << ran.wire;
    }
    if (c.last_reply) {
      const auto json = nlohmann::json::parse(r.out);
      EXPECT_EQ(json["lastReply"], *c.last_reply);
      EXPECT_EQ(json["status"], 3);  // the outcome code stays
    }
    EXPECT_EQ(ran.connections, c.connects ? 1 : 0);
  }
}

}  // namespace
}  // namespace qvsmtp::test_support
