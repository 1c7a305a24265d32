// qvsmtp send, end to end: the program against scripted servers, the exact
// bytes on the wire, exit codes, --json, usage and input errors, property
// files.
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include "program_runner.hpp"
#include "qv/core/text.hpp"
#include "smtp_peer.hpp"
#include "support/helo_name.hpp"

namespace qvsmtp::test_support {
namespace {

using Json = nlohmann::ordered_json;

std::vector<std::string> SendArgs(std::uint16_t port, std::vector<std::string> more = {}) {
  std::vector<std::string> args{
      "send",   "--server",          "127.0.0.1", "--port",         std::to_string(port),
      "--from", "alice@example.com", "--to",      "bob@example.com"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The narration lines of standard error without their time stamps, and
// without the port the program adds to the "Connecting to" line.
std::vector<std::string> Narration(const RunResult& result) {
  static const std::regex stamped(R"(^\[ *[0-9]+\.[0-9]{3}s\] (.*?)( \(port [0-9]+\))?$)");
  std::vector<std::string> messages;
  for (const std::string& line : result.ErrLines()) {
    std::smatch match;
    if (std::regex_match(line, match, stamped)) messages.push_back(match[1]);
  }
  return messages;
}

TEST(Send, PutsTheControlsExactConversationOnTheWireAndExits0) {
  QV_REQUIRE_PROGRAM();
  SmtpPeer peer;
  const RunResult result = RunProgram(
      SendArgs(peer.port(), {"--to", "bob@example.com, carol@example.com", "--subject", "Hi",
                             "--body", "one\n.two", "--priority", "Urgent", "--date",
                             "2001-03-09 07:05:03", "--message-id", "<1.2@example.com>"}));
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const std::string host = qv::test_support::ExpectedLoopbackHeloName();
  EXPECT_EQ(peer.transcript(), "HELO " + host +
                                   "\r\n"
                                   "MAIL FROM: <alice@example.com>\r\n"
                                   "RCPT TO: <bob@example.com>\r\n"
                                   "RCPT TO: <carol@example.com>\r\n"
                                   "DATA\r\n"
                                   "Priority: Urgent\r\n"
                                   "From: alice@example.com\r\n"
                                   "To: bob@example.com, carol@example.com\r\n"
                                   "Date: Fri, 9 Mar 2001 07:05:03 +0000\r\n"
                                   "Message-ID: <1.2@example.com>\r\n"
                                   "MIME-Version: 1.0\r\n"
                                   "Content-type: text/plain; charset=US-ASCII\r\n"
                                   "X-Mailer: qvSMTP by Quenvix\r\n"
                                   "Subject: Hi\r\n"
                                   "\r\n"
                                   "one\r\n"
                                   "..two\r\n"
                                   "\r\n"
                                   ".\r\n"
                                   "QUIT\r\n");
  EXPECT_EQ(Narration(result),
            (std::vector<std::string>{
                "Connecting to 127.0.0.1", "Connected, waiting for HELO", "Sending HELO",
                "Sending FROM: alice@example.com", "Sending RCPT: bob@example.com",
                "Sending RCPT:  carol@example.com", "Sending DATA", "Sending QUIT command."}));
  ASSERT_FALSE(result.ErrLines().empty());
  EXPECT_EQ(result.ErrLines().back(), "status 0: Success");
  EXPECT_EQ(result.out, "");
}

TEST(Send, JsonGivesOneObjectWithTheOutcomeAndEveryMessageInOrder) {
  QV_REQUIRE_PROGRAM();
  SmtpPeer peer;
  const RunResult result = RunProgram(SendArgs(peer.port(), {"--json"}));
  ASSERT_EQ(result.exit_code, 0) << result.err;
  ASSERT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << result.out;
  const Json json = Json::parse(result.out);
  ASSERT_TRUE(json.is_object());
  std::vector<std::string> keys;
  for (const auto& item : json.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"status", "statusStr", "lastReply", "elapsedMs",
                                            "debugMessages", "tls", "capabilities", "messageId",
                                            "exit"}));
  EXPECT_EQ(json["status"], 0);
  EXPECT_EQ(json["statusStr"], "Success");
  EXPECT_EQ(json["lastReply"], "250 ok\r\n");
  EXPECT_TRUE(json["tls"].is_null());
  EXPECT_EQ(json["capabilities"], Json::array());  // HELO asks for none
  // The id the message went with, at the sender's domain.
  const std::string id = json["messageId"];
  EXPECT_TRUE(id.ends_with("@example.com")) << id;
  EXPECT_NE(peer.transcript().find("\r\nMessage-ID: <" + id + ">\r\n"), std::string::npos);
  ASSERT_TRUE(json["elapsedMs"].is_number_integer());
  // Six ticks at least separate the greeting from the message's answer.
  EXPECT_GE(json["elapsedMs"].get<long>(), 250);
  EXPECT_LE(json["elapsedMs"].get<long>(), result.elapsed.count());
  EXPECT_EQ(json["debugMessages"].get<std::vector<std::string>>(), Narration(result));
}

TEST(Send, QuietPrintsNothingOnSuccess) {
  QV_REQUIRE_PROGRAM();
  SmtpPeer peer;
  const RunResult result = RunProgram(SendArgs(peer.port(), {"--quiet", "--json"}));
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  // The JSON still has the messages.
  EXPECT_EQ(Json::parse(result.out)["debugMessages"].size(), 7u);
}

TEST(Send, ARefusedRecipientExits4WithTheServersReply) {
  QV_REQUIRE_PROGRAM();
  SmtpPeer peer([](std::string_view line) -> std::string {
    if (line.rfind("RCPT", 0) == 0) return "550 5.1.1 <bob@example.com>: no such user\r\n";
    return SmtpPeer::Standard(line);
  });
  const RunResult result =
      RunProgram(SendArgs(peer.port(), {"--to", "bob@example.com, carol@example.com", "--json"}));
  EXPECT_EQ(result.exit_code, 4) << result.err;
  const Json json = Json::parse(result.out);
  EXPECT_EQ(json["status"], 4);
  EXPECT_EQ(json["statusStr"], "550 5.1.1 <bob@example.com>: no such user\r\n");
  // One line, the reply's own line end left off.
  EXPECT_EQ(result.ErrLines().back(),
            "status 4: 550 5.1.1 <bob@example.com>: no such user [127.0.0.1 port " +
                std::to_string(peer.port()) + "]");
  const std::string wire = peer.transcript();
  EXPECT_EQ(wire.find("carol"), std::string::npos) << wire;
  EXPECT_TRUE(wire.ends_with("RCPT TO: <bob@example.com>\r\nQUIT\r\n")) << wire;
}

TEST(Send, ARefusedConnectionExits2WithTheSocketsDescription) {
  QV_REQUIRE_PROGRAM();
  const std::uint16_t port = UnusedLoopbackPort();
  const RunResult result = RunProgram(SendArgs(port, {"--json"}));
  EXPECT_EQ(result.exit_code, 2) << result.err;
  const Json json = Json::parse(result.out);
  EXPECT_EQ(json["status"], 2);
  EXPECT_EQ(json["statusStr"], "Connection refused");
  EXPECT_EQ(json["debugMessages"], Json::array({"Connecting to 127.0.0.1"}));
  EXPECT_EQ(result.ErrLines().back(),
            "status 2: Connection refused [127.0.0.1 port " + std::to_string(port) + "]");
  EXPECT_LT(result.elapsed, 5s);
}

TEST(Send, BadUsageExits64WithOneLineAndSendsNothing) {
  QV_REQUIRE_PROGRAM();
  struct Case {
    std::vector<std::string> args;
    std::string mentions;
  };
  SmtpPeer peer;
  const std::string port = std::to_string(peer.port());
  const std::vector<std::string> base{"send",   "--server", "127.0.0.1", "--port", port,
                                      "--from", "a@b.c",    "--to",      "d@e.f"};
  auto with = [&base](std::vector<std::string> more) {
    std::vector<std::string> args = base;
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  const std::vector<Case> cases = {
      {with({"--frobnicate"}), "--frobnicate"},
      {with({"stray"}), "stray"},
      {with({"--subject"}), "--subject"},
      {with({"--body", "x", "--body-file", "y"}), "--body"},
      {with({"--date", "yesterday"}), "--date"},
      {with({"--date", "2001-02-30 10:00:00"}), "--date"},
      {with({"--body-event", "0"}), "--body-event"},
      {with({"--body-event", "40000"}), "--body-event"},
      {with({"--body-event", "many"}), "--body-event"},
      {with({"--port", "0"}), "--port"},
      {with({"--message-id", "no-domain"}), "--message-id"},
      {with({"--message-id", "a b@c"}), "--message-id"},
      {with({"--port", "65536"}), "--port"},
      {{"send", "--port", port, "--from", "a@b.c", "--to", "d@e.f"}, "--server"},
      {{"send", "--server", "127.0.0.1", "--port", port, "--to", "d@e.f"}, "--from"},
      {{"send", "--server", "127.0.0.1", "--port", port, "--from", "a@b.c"}, "--to"},
      {{}, "qvsmtp"},
      {{"post"}, "post"},
  };
  for (const Case& c : cases) {
    const RunResult result = RunProgram(c.args);
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    EXPECT_EQ(result.exit_code, 64) << shown << "\n" << result.err;
    ASSERT_EQ(result.ErrLines().size(), 1u) << shown << "\n" << result.err;
    EXPECT_NE(result.err.find(c.mentions), std::string::npos) << shown << "\n" << result.err;
    EXPECT_EQ(result.out, "") << shown;
  }
  EXPECT_EQ(peer.connections(), 0);
}

TEST(Send, AnInputFileThatCannotBeReadExits66NamingItAndSendsNothing) {
  QV_REQUIRE_PROGRAM();
  TempDir temp;
  SmtpPeer peer;
  const std::string missing = temp / "no-such-body.txt";
  const std::string fifo = temp / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::vector<std::string> more;
    std::string mentions;
  };
  const std::vector<Case> cases = {
      {{"--body-file", missing}, missing + ": No such file or directory"},
      {{"--body-file", missing, "--body-event", "1"}, missing + ": No such file or directory"},
      {{"--body-file", temp.path().string()}, "Is a directory"},
      {{"--props", missing}, missing + ": cannot read the file: No such file or directory"},
      // Refused at once rather than waiting for a writer.
      {{"--props", fifo}, fifo + ": cannot read the file: it is a FIFO"},
      {{"--save-props", fifo}, fifo + ": cannot read the file: it is a FIFO"},
  };
  for (const Case& c : cases) {
    const RunResult result = RunProgram(SendArgs(peer.port(), c.more));
    EXPECT_EQ(result.exit_code, 66) << c.more[0] << "\n" << result.err;
    ASSERT_EQ(result.ErrLines().size(), 1u) << result.err;
    EXPECT_NE(result.err.find(c.mentions), std::string::npos) << result.err;
  }
  EXPECT_EQ(peer.connections(), 0);
}

TEST(Send, ADamagedPropertyFileExits65NamingItAndIsNeverReplaced) {
  QV_REQUIRE_PROGRAM();
  TempDir temp;
  SmtpPeer peer;
  const std::string damaged = temp / "damaged.json";
  WriteFile(damaged, "{\"format\": \"qvcontrols1-properties\", \"version\": 1, \"controls\": [");
  for (const char* option : {"--props", "--save-props"}) {
    const RunResult result = RunProgram(SendArgs(peer.port(), {option, damaged}));
    EXPECT_EQ(result.exit_code, 65) << option << "\n" << result.err;
    EXPECT_NE(result.err.find(damaged), std::string::npos) << result.err;
    EXPECT_EQ(ReadFile(damaged),
              "{\"format\": \"qvcontrols1-properties\", \"version\": 1, \"controls\": [");
  }
  EXPECT_EQ(peer.connections(), 0);
}

TEST(Send, SavedPropertiesAreRestoredForTheNextSend) {
  QV_REQUIRE_PROGRAM();
  TempDir temp;
  const std::string props = temp / "props.json";
  {
    SmtpPeer peer;
    const RunResult result =
        RunProgram(SendArgs(peer.port(), {"--subject", "Kept", "--date", "2020-01-02 03:04:05",
                                          "--save-props", props}));
    ASSERT_EQ(result.exit_code, 0) << result.err;
  }
  const Json file = Json::parse(ReadFile(props));
  const Json& record = file["controls"]["qvSMTP1"];
  ASSERT_TRUE(record.is_array()) << file.dump(2);
  // The fifteen original entries, and the port given, which is not Port's default.
  ASSERT_EQ(record.size(), 16u);
  EXPECT_EQ(record.front()["key"], "Enabled");
  EXPECT_EQ(record.back()["key"], "Port");
  for (const Json& entry : record) {
    if (entry["key"] == "StatusStr") {
      EXPECT_EQ(entry["value"], "Success");
    }
    if (entry["key"] == "RemoteHost") {
      EXPECT_EQ(entry["value"], "127.0.0.1");
    }
  }
  EXPECT_EQ(Files(temp.path()).size(), 1u);  // no temporary file left

  // Server, sender, recipient, subject and date all come from the file.
  SmtpPeer peer;
  const RunResult again =
      RunProgram({"send", "--port", std::to_string(peer.port()), "--props", props, "--quiet"});
  ASSERT_EQ(again.exit_code, 0) << again.err;
  const std::string wire = peer.transcript();
  EXPECT_NE(wire.find("MAIL FROM: <alice@example.com>\r\nRCPT TO: <bob@example.com>\r\n"),
            std::string::npos);
  EXPECT_NE(wire.find("\r\nDate: Thu, 2 Jan 2020 03:04:05 +0000\r\n"), std::string::npos) << wire;
  EXPECT_NE(wire.find("\r\nSubject: Kept\r\n"), std::string::npos) << wire;
}

}  // namespace
}  // namespace qvsmtp::test_support
