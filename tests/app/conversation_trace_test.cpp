// The server's last reply, whatever pieces the text arrives in, and server
// text made safe for a terminal.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "conversation_trace.hpp"
#include "narration.hpp"

namespace qvsmtp {
namespace {

TEST(ServerReplies, TheLastReplyWhateverThePieces) {
  struct Case {
    std::string received;
    std::optional<std::string> last;
  };
  const std::vector<Case> cases = {
      {"", std::nullopt},
      {"220 ready\r\n250 ok\r\n", "250 ok\r\n"},
      {"220 ready\r\n554-5.7.1 first\r\n554 5.7.1 last\r\n",
       "554-5.7.1 first\r\n554 5.7.1 last\r\n"},
      // A reply still arriving is newer than the last whole one.
      {"220 ready\r\n451-4.7.1 first\r\n", "451-4.7.1 first\r\n"},
      {"220 ready\r\n421 closing", "421 closing"},
      {"220 ready\n250 bare LF\n", "250 bare LF\n"},
  };
  for (const Case& c : cases) {
    for (std::size_t split = 0; split <= c.received.size(); ++split) {
      ServerReplies replies;
      replies.Received(std::string_view(c.received).substr(0, split));
      replies.Received(std::string_view(c.received).substr(split));
      EXPECT_EQ(replies.last(), c.last) << c.received << " split at " << split;
    }
  }
}

TEST(Printable, EscapesWhatATerminalWouldActOn) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain Gr\xc3\xbc\xc3\x9f"
       "e \xe6\x97\xa5",
       "plain Gr\xc3\xbc\xc3\x9f"
       "e \xe6\x97\xa5"},
      {"a\r\nb\tc\x1b[31m\x7f", "a\\r\\nb\\tc\\x1B[31m\\x7F"},
      {"\xc2\x80\xc2\x9b\xc2\x9f\xc2\xa0", "\\u0080\\u009B\\u009F\xc2\xa0"},
      {"\xd8\x9c\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9",
       "\\u061C\\u200E\\u200F\\u202A\\u202E\\u2066\\u2069"},
      {"\xe2\x80\xa8\xe2\x80\xa9", "\\u2028\\u2029"},
      // Not UTF-8: overlong, surrogate, cut short, stray continuation.
      {"\xc0\x80 \xed\xa0\x80 \xe2\x80 \x9b", "\\xC0\\x80 \\xED\\xA0\\x80 \\xE2\\x80 \\x9B"},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(Printable(text), shown) << shown;
}

}  // namespace
}  // namespace qvsmtp
