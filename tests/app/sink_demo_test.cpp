// qvsmtp sink and demo end to end, and bodies streamed by --body-event
// arriving intact at a scripted server and at the sink.
#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "program_runner.hpp"
#include "sink_process.hpp"
#include "smtp_peer.hpp"

namespace qvsmtp::test_support {
namespace {

// A body of about 300 KB: CR LF, bare LF and bare CR line ends, leading dots
// and characters of up to four bytes, so that reads and pieces are cut
// everywhere.
std::string SampleBody() {
  const std::vector<std::string> lines = {".dot\n",
                                          "x\r\n",
                                          "bare cr\r",
                                          "\xc4\x9f\xce\xa9\n",
                                          "\xe2\x82\xac\r\n",
                                          "\xf0\x9f\x93\xa7\n",
                                          "..\n",
                                          "the quick brown fox jumps over the lazy dog\n"};
  std::string text;
  for (std::size_t i = 0; text.size() < 300000; ++i) text += lines[(i * 5) % lines.size()];
  return text;
}

// The text with every line ending in CR LF.
std::string Normalised(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += "\r\n";
    } else if (text[i] == '\n') {
      out += "\r\n";
    } else {
      out += text[i];
    }
  }
  return out;
}

// With a second dot in front of every line that begins with one.
std::string Stuffed(const std::string& normalised) {
  std::string out;
  bool line_start = true;
  for (char c : normalised) {
    if (line_start && c == '.') out += '.';
    out += c;
    line_start = c == '\n';
  }
  return out;
}

std::string BodyOf(const std::string& message) {
  const std::size_t end = message.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : message.substr(end + 4);
}

TEST(BodyEvent, StreamsAFileLargerThan64KiBOntoTheWireIntact) {
  QV_REQUIRE_PROGRAM();
  TempDir temp;
  const std::string body = SampleBody();
  WriteFile(temp / "body.txt", body);
  SmtpPeer peer;
  const RunResult result = RunProgram(
      {"send", "--server", "127.0.0.1", "--port", std::to_string(peer.port()), "--from", "a@b.c",
       "--to", "d@e.f", "--body-file", temp / "body.txt", "--body-event", "3", "--quiet"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  // The program wrote the body; the control added only the end of the data.
  EXPECT_TRUE(BodyOf(peer.data()) == Stuffed(Normalised(body)))
      << "the body on the wire differs; sizes " << BodyOf(peer.data()).size() << " and "
      << Stuffed(Normalised(body)).size();
}

TEST(BodyEvent, StreamsStandardInput) {
  QV_REQUIRE_PROGRAM();
  const std::string body = SampleBody().substr(0, 100000);
  SmtpPeer peer;
  Child child({"send", "--server", "127.0.0.1", "--port", std::to_string(peer.port()), "--from",
               "a@b.c", "--to", "d@e.f", "--body-file", "-", "--body-event", "1", "--quiet"});
  const RunResult result = child.Finish(body);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(BodyOf(peer.data()) == Stuffed(Normalised(body)));
}

TEST(BodyEvent, ArrivesAtTheSinkAsTheSameTextTheBodyPathCarries) {
  QV_REQUIRE_PROGRAM();
  TempDir temp;
  const std::string body = SampleBody();
  WriteFile(temp / "body.txt", body);
  SinkProcess sink(temp / "Maildir", {"--count", "2"});
  ASSERT_NE(sink.port(), 0) << sink.first_line();
  const std::vector<std::string> base{
      "send",        "--server",       "127.0.0.1", "--port", std::to_string(sink.port()),
      "--from",      "a@b.c",          "--to",      "d@e.f",  "--quiet",
      "--body-file", temp / "body.txt"};
  std::vector<std::string> streamed = base;
  streamed.insert(streamed.end(), {"--body-event", "9", "--subject", "streamed"});
  std::vector<std::string> whole = base;
  whole.insert(whole.end(), {"--subject", "whole"});
  ASSERT_EQ(RunProgram(streamed).exit_code, 0);
  ASSERT_EQ(RunProgram(whole).exit_code, 0);
  const RunResult sink_result = sink.child().Finish({}, 10s);
  EXPECT_EQ(sink_result.exit_code, 0) << sink_result.err;

  const auto files = Files(temp.path() / "Maildir" / "new");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_TRUE(Files(temp.path() / "Maildir" / "tmp").empty());
  std::string from_stream, from_body;
  for (const auto& file : files) {
    const std::string message = ReadFile(file);
    (message.find("\r\nSubject: streamed\r\n") != std::string::npos ? from_stream : from_body) =
        BodyOf(message);
  }
  // The sink takes the doubled dots off again; the end-of-data line's CR LF
  // ends the last line. The Body path adds a line end of its own.
  EXPECT_TRUE(from_stream == Normalised(body) + "\r\n") << from_stream.size();
  EXPECT_TRUE(from_body == from_stream + "\r\n") << from_body.size();
}

TEST(Sink, StoresEachMessageInTheMaildirAndPrintsOneLineEach) {
  QV_REQUIRE_PROGRAM();
  TempDir temp;
  SinkProcess sink(temp / "box", {"--count", "2"});
  ASSERT_NE(sink.port(), 0) << sink.first_line();
  for (const char* subject : {"first", "second"}) {
    const RunResult sent =
        RunProgram({"send", "--server", "127.0.0.1", "--port", std::to_string(sink.port()),
                    "--from", "alice@example.com", "--to", "bob@example.com;carol@example.com",
                    "--subject", subject, "--body", "..hidden dot\nend", "--quiet"});
    ASSERT_EQ(sent.exit_code, 0) << sent.err;
  }
  const RunResult result = sink.child().Finish({}, 10s);
  EXPECT_EQ(result.exit_code, 0) << result.err;

  const auto files = Files(temp.path() / "box" / "new");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_NE(files[0].filename(), files[1].filename());
  EXPECT_TRUE(Files(temp.path() / "box" / "tmp").empty());
  std::vector<std::string> lines;
  std::istringstream out(result.out);
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << result.out;
  for (int i = 1; i <= 2; ++i) {
    const std::string& line = lines[static_cast<std::size_t>(i)];
    EXPECT_TRUE(line.starts_with(std::to_string(i) +
                                 ": from <alice@example.com> to <bob@example.com>, "
                                 "<carol@example.com>: "))
        << line;
    const std::string message = ReadFile(line.substr(line.rfind(", ") + 2));
    EXPECT_NE(line.find(": " + std::to_string(message.size()) + " bytes, "), std::string::npos)
        << line;
    EXPECT_TRUE(message.ends_with("\r\n\r\n..hidden dot\r\nend\r\n\r\n")) << message;
  }
}

TEST(Sink, RefusesABadListenAddressAndAnAddressInUse) {
  QV_REQUIRE_PROGRAM();
  TempDir temp;
  for (const char* bad : {"127.0.0.1", "127.0.0.1:70000", "::1:25", ":25"}) {
    const RunResult result = RunProgram({"sink", "--listen", bad, "--maildir", temp / "box"});
    EXPECT_EQ(result.exit_code, 64) << bad << "\n" << result.err;
    EXPECT_EQ(result.ErrLines().size(), 1u) << result.err;
  }
  SmtpPeer busy;
  const RunResult result = RunProgram(
      {"sink", "--listen", "127.0.0.1:" + std::to_string(busy.port()), "--maildir", temp / "box"});
  EXPECT_EQ(result.exit_code, 69) << result.err;
  EXPECT_NE(result.err.find("Address in use"), std::string::npos) << result.err;
}

// A users file is read only when its passwords are its owner's alone, and
// what is wrong with it is told without its text.
TEST(Sink, RefusesAUsersFileOthersCanReadOrThatHoldsNoUser) {
  QV_REQUIRE_PROGRAM();
  struct Case {
    const char* text;
    fs::perms mode;
    int status;
    const char* told;
  };
  const fs::perms owner = fs::perms::owner_read | fs::perms::owner_write;
  for (const Case& c : {Case{"alice:pw-7f3a\n", owner | fs::perms::others_read, 66,
                             "can be read by other users (mode 0604); make it the owner's alone"},
                        Case{"alice:pw-7f3a\npw-7f3a\n", owner, 65, "users:2: not name:password"},
                        Case{"# nobody\n", owner, 66, "users: no user in it"}}) {
    TempDir temp;
    WriteFile(temp / "users", c.text);
    fs::permissions(temp / "users", c.mode);
    const RunResult result = RunProgram({"sink", "--listen", "127.0.0.1:0", "--maildir",
                                         temp / "box", "--auth-users", temp / "users"});
    EXPECT_EQ(result.exit_code, c.status) << result.err;
    EXPECT_NE(result.err.find(c.told), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("pw-7f3a"), std::string::npos) << result.err;
  }
}

TEST(Sink, EndsCleanlyOnSigterm) {
  QV_REQUIRE_PROGRAM();
  TempDir temp;
  SinkProcess sink(temp / "box");
  ASSERT_NE(sink.port(), 0) << sink.first_line();
  sink.child().Signal(SIGTERM);
  EXPECT_EQ(sink.child().Finish({}, 5s).exit_code, 0);
}

TEST(Demo, SendsTheSampleToItsOwnSinkAndShowsWhatArrived) {
  QV_REQUIRE_PROGRAM();
  // With --tls the whole conversation after STARTTLS is encrypted.
  for (const bool tls : {false, true}) {
    const RunResult result = RunProgram(tls ? std::vector<std::string>{"demo", "--tls"}
                                            : std::vector<std::string>{"demo"});
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    for (const char* part :
         {"] Connecting to 127.0.0.1\n", "] Sending QUIT command.\n", "status 0: Success\n",
          "\r\nSubject: Hello from qvSMTP\r\n\r\nHello Bob, hello Carol,\r\n",
          "\r\n.A line that starts with a dot keeps its dot,\r\n.\r\n"}) {
      EXPECT_NE(result.out.find(part), std::string::npos) << part << "\n" << result.out;
    }
    EXPECT_EQ(result.out.find("] TLS started: TLSv1.") != std::string::npos, tls) << result.out;
    EXPECT_LT(result.elapsed, 5s);
  }
}

TEST(Program, GivesHelpForEveryCommandAndItsVersion) {
  QV_REQUIRE_PROGRAM();
  const RunResult top = RunProgram({"--help"});
  EXPECT_EQ(top.exit_code, 0);
  for (const char* command : {"send", "sink", "demo"}) {
    EXPECT_NE(top.out.find(command), std::string::npos) << top.out;
    const RunResult help = RunProgram({command, "--help"});
    EXPECT_EQ(help.exit_code, 0) << command;
    EXPECT_NE(help.out.find("--help"), std::string::npos) << help.out;
  }
  EXPECT_NE(RunProgram({"send", "--help"}).out.find("--body-event"), std::string::npos);
  const RunResult version = RunProgram({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, std::string("qvsmtp ") + QV_PROJECT_VERSION + "\n");
}

}  // namespace
}  // namespace qvsmtp::test_support
