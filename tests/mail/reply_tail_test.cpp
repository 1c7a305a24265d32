// Replies that arrive in pieces, a tick or more apart: the rest of an accepted
// reply is never read as the answer to the next command.
#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "rig.hpp"

namespace qv::mail {
namespace {

// What the server answers, keyed by the start of the command it answers
// ("" is the greeting, "." the end of the data); "RCPT2" is the second RCPT.
using Script = std::map<std::u16string, std::u16string>;

struct SplitCase {
  const char* name;
  Script replies;
  Integer status;
};

std::u16string KeyOf(const std::u16string& write, int& rcpt_count) {
  if (write == u"\r\n.\r\n") return u".";
  if (write.rfind(u"RCPT", 0) == 0) return ++rcpt_count == 2 ? u"RCPT2" : u"RCPT";
  for (const char16_t* key : {u"HELO", u"MAIL", u"DATA", u"QUIT"}) {
    if (write.rfind(key, 0) == 0) return key;
  }
  return u"?";  // header lines and body: no answer
}

// cut 0: one piece per line; otherwise the first cut characters, then the rest.
std::vector<std::u16string> Pieces(const std::u16string& reply, std::size_t cut) {
  std::vector<std::u16string> pieces;
  if (cut == 0) {
    for (std::size_t at = 0; at < reply.size();) {
      const std::size_t end = std::min(reply.find(u'\n', at), reply.size() - 1) + 1;
      pieces.push_back(reply.substr(at, end - at));
      at = end;
    }
  } else {
    pieces.push_back(reply.substr(0, cut));
    if (cut < reply.size()) pieces.push_back(reply.substr(cut));
  }
  return pieces;
}

struct Outcome {
  Integer status;
  std::string wire;
};

// Plays the script with every reply cut as asked, one piece per tick.
Outcome Play(const Script& replies, std::size_t cut) {
  testing::Rig rig;
  std::deque<std::u16string> pending;
  int rcpt_count = 0;
  auto answer = [&](const std::u16string& key) {
    const auto it = replies.find(key);
    if (it == replies.end()) return;
    for (auto& piece : Pieces(it->second, cut)) pending.push_back(std::move(piece));
  };
  rig.control.Send();
  rig.socket.AcceptConnection();
  answer(u"");
  std::size_t seen = 0;
  for (int ticks = 0; ticks < 400 && rig.timer.Enabled(); ++ticks) {
    if (!pending.empty()) {
      rig.socket.ServerSends(pending.front());
      pending.pop_front();
    }
    rig.Tick();
    for (; seen < rig.socket.writes.size(); ++seen)
      answer(KeyOf(rig.socket.writes[seen], rcpt_count));
  }
  return {rig.control.get_status(), rig.Transcript()};
}

class SplitReplies : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitReplies, EndAsTheWholeRepliesWould) {
  const SplitCase& c = GetParam();
  std::size_t longest = 0;
  for (const auto& [key, reply] : c.replies) longest = std::max(longest, reply.size());
  const Outcome whole = Play(c.replies, longest);
  EXPECT_EQ(whole.status, c.status);
  for (std::size_t cut = 0; cut < longest; ++cut) {
    const Outcome split = Play(c.replies, cut);
    EXPECT_EQ(split.status, c.status) << "cut " << cut;
    EXPECT_EQ(split.wire, whole.wire) << "cut " << cut;
  }
}

const Script kPlain = {
    {u"", u"220 mail.example.com ESMTP ready\r\n"},
    {u"HELO", u"250 mail.example.com\r\n"},
    {u"MAIL", u"250 2.1.0 Ok\r\n"},
    {u"RCPT", u"250 2.1.5 Ok\r\n"},
    {u"RCPT2", u"250 2.1.5 Ok\r\n"},
    {u"DATA", u"354 End data with <CR><LF>.<CR><LF>\r\n"},
    {u".", u"250 2.0.0 Ok: queued as 4F2A1\r\n"},
};

Script With(Script script, const std::u16string& key, const std::u16string& reply) {
  script[key] = reply;
  return script;
}

INSTANTIATE_TEST_SUITE_P(
    , SplitReplies,
    ::testing::Values(
        SplitCase{"OneLineReplies", kPlain, 0},
        SplitCase{"MultiLineReplies",
                  With(With(With(kPlain, u"", u"220-mail.example.com\r\n220-no spam\r\n220 ok\r\n"),
                            u"HELO", u"250-mail.example.com\r\n250-PIPELINING\r\n250 8BITMIME\r\n"),
                       u"DATA", u"354-go\r\n354 ahead\r\n"),
                  0},
        SplitCase{
            "RecipientRefused",
            With(kPlain, u"RCPT2", u"550 5.1.1 <b@example.com>: Recipient address rejected\r\n"),
            4},
        SplitCase{"MultiLineRefusalAfterMultiLineAcceptance",
                  With(With(kPlain, u"MAIL", u"250-2.1.0 sender\r\n250 2.1.0 ok\r\n"), u"RCPT",
                       u"550-5.1.1 no such user\r\n550 5.1.1 really\r\n"),
                  4}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qv::mail
