// qvsmtp send against hostile input, one table: a body file cut short while
// it is sent, server text that acts on a terminal, a server that floods -v,
// a record holding Busy, signals, a file's final line end, a streamed label.
#include <future>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "program_runner.hpp"
#include "smtp_peer.hpp"

namespace qvsmtp::test_support {
namespace {

struct Case {
  std::string name;
  std::vector<std::string> args;  // after --server, --port, --from and --to
  SmtpPeer::Answer answer = SmtpPeer::Standard;
  std::string greeting = "220 peer.test ready\r\n";
  std::optional<std::pair<std::string, int>> signal_after{};  // once the wire holds the text
  int exit = 0;
  std::string err_has{};
  std::vector<std::string> wire_has{};
  bool data_ended = true;         // the end of the data went out
  nlohmann::json json = nullptr;  // members --json must hold
};

std::pair<RunResult, std::string> RunCase(const Case& c) {
  SmtpPeer peer(c.answer, c.greeting);
  std::vector<std::string> args{
      "send", "--server",   "127.0.0.1:" + std::to_string(peer.port()), "--from", "a@b.example",
      "--to", "c@d.example"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  Child child(args);
  auto signaller = std::async(std::launch::async, [&] {
    for (int i = 0; c.signal_after && i < 1000; ++i, std::this_thread::sleep_for(10ms)) {
      if (peer.transcript().find(c.signal_after->first) != std::string::npos) {
        return child.Signal(c.signal_after->second);
      }
    }
  });
  // Standard input stays open: a body from it stalls after its one line.
  RunResult result = child.Finish("one line\n", 30s, true);
  EXPECT_NE(result.err.find(c.err_has), std::string::npos) << c.name << "\n" << result.err;
  return {result, peer.transcript()};
}

TEST(SendHostileInput, EndToEnd) {
  QV_REQUIRE_PROGRAM();
  TempDir temp;
  const std::string cut = temp / "cut", busy = temp / "busy", crlf = temp / "crlf",
                    props = temp / "saved";
  WriteFile(cut, std::string(300'000, 'x'));
  WriteFile(busy, R"({"format": "qvcontrols1-properties", "version": 1, "controls": {"qvSMTP1": )"
                  R"([{"key": "Busy", "type": "Boolean", "value": true}]}})");
  WriteFile(crlf, "a\r\nb\r\n\r\n");
  // One greeting of many lines: HELO waits for its last line, so the whole
  // flood has arrived before anything else happens, however slow the build.
  std::string flood;
  while (flood.size() < 60'000) flood += "220-a line of a greeting that goes on and on\r\n";
  flood += "220 peer.test ready\r\n";
  const std::string hostile = "550 a\u009B31m b\u202E c\u2028 d";  // U+00FF from 0xFF below

  const std::vector<Case> cases = {
      {.name = "a body file cut short while it is streamed",
       .args = {"--body-event", "1", "--body-file", cut, "--json"},
       .answer =
           [&](std::string_view line) {
             if (line == "DATA")
               std::filesystem::resize_file(cut, 1000);  // after the size was taken
             return SmtpPeer::Standard(line);
           },
       .exit = 66,
       .err_has = cut + " was cut short while it was read: it ended after 1,000 of the 300,000 "
                        "bytes it held at the start\n",
       .data_ended = false,
       .json = {{"status", 2}, {"exit", 66}}},
      {.name = "server text that acts on a terminal, and a byte that is no UTF-8",
       .args = {"-v", "--body", "x", "--json"},
       .answer =
           [&](std::string_view line) {
             return line.starts_with("RCPT") ? hostile + "\xff\r\n" : SmtpPeer::Standard(line);
           },
       .exit = 4,
       .err_has = "\nS: 550 a\\u009B31m b\\u202E c\\u2028 d\u00FF\n",  // as in StatusStr
       .data_ended = false,
       .json = {{"statusStr", hostile + "\u00FF\r\n"}, {"lastReply", hostile + "\u00FF\r\n"}}},
      {.name = "-v shows 8 KiB of what the server sends at once",
       .args = {"-v", "--body", "x"},
       .greeting = flood,
       .err_has = " more bytes not shown\nC: HELO "},
      {.name = "a record that holds Busy true",
       .args = {"--props", busy},
       .exit = 65,
       .err_has = busy + ": record \"qvSMTP1\" holds Busy true, so a send cannot start",
       .data_ended = false},
      {.name = "SIGINT while the body is streamed",
       .args = {"--body-event", "1", "--json"},
       .signal_after = {{"one line", SIGINT}},
       .exit = 130,
       .err_has = "\ninterrupted by SIGINT: nothing was delivered\n",
       .data_ended = false,
       .json = {{"status", nullptr}, {"exit", 130}}},
      {.name = "SIGTERM after the whole message, before the server's answer",
       .args = {"--body", "x", "--json"},
       .answer = [](std::string_view line) { return line == "." ? "" : SmtpPeer::Standard(line); },
       .signal_after = {{"\r\n.\r\n", SIGTERM}},
       .exit = 143,
       .err_has = "\ninterrupted by SIGTERM: the whole message was sent and the server had not "
                  "answered; it may have been delivered\n",
       .json = {{"status", nullptr}, {"exit", 143}}},
      {.name = "one final line end of a file is left out; a streamed body is labelled UTF-8",
       .args = {"--body-event", "1", "--body-file", crlf, "--save-props", props},
       .wire_has = {"\r\nContent-type: text/plain; charset=UTF-8\r\n",
                    "\r\n\r\na\r\nb\r\n\r\n.\r\nQUIT"}},
  };

  std::vector<std::future<std::pair<RunResult, std::string>>> running;
  for (const Case& c : cases) running.push_back(std::async(std::launch::async, RunCase, c));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const auto [r, wire] = running[i].get();
    SCOPED_TRACE(c.name);
    EXPECT_EQ(r.exit_code, c.exit);
    EXPECT_LE(r.err.size(), 16'000u);
    EXPECT_EQ(wire.find("\r\n.\r\n") != std::string::npos, c.data_ended) << wire;
    for (const auto& part : c.wire_has) EXPECT_NE(wire.find(part), std::string::npos) << wire;
    if (c.json.is_null()) continue;
    EXPECT_EQ(r.out.find_first_of("\x9b\xae\xa8"), std::string::npos) << r.out;  // all escaped
    const auto json = nlohmann::json::parse(r.out);
    for (const auto& [key, value] : c.json.items()) EXPECT_EQ(json[key], value) << key;
  }
  // The saved record keeps the label the user had, not the one chosen for the stream.
  EXPECT_NE(ReadFile(props).find("\"text/plain; charset=US-ASCII\""), std::string::npos);
}

}  // namespace
}  // namespace qvsmtp::test_support
