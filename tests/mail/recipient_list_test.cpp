// The recipient rule as one table: what RCPT lines and messages a list gives.
#include "mail/recipient_list.hpp"

#include "mail/message_text.hpp"

#include <gtest/gtest.h>

#include "rig.hpp"

namespace qv::testing {
namespace {

struct ListCase {
  std::u16string list;
  std::string rcpt_lines;                // the RCPT TO lines written, in order
  std::vector<std::string> cut_entries;  // the entries as the messages show them
};

class RecipientList : public ::testing::TestWithParam<ListCase> {};

TEST_P(RecipientList, GivesOneRcptLinePerEntryThenData) {
  const ListCase& c = GetParam();
  Rig rig;
  rig.control.put_RcptTo(c.list);
  rig.StartAndGreet();
  rig.Serve(Rig::Accepting);

  std::string rcpt;
  for (const String& w : rig.socket.writes) {
    if (w.rfind(u"RCPT", 0) == 0) rcpt += ToUtf8(w);
  }
  EXPECT_EQ(rcpt, c.rcpt_lines);
  std::vector<std::string> entries;
  for (const std::string& e : rig.sink.events) {
    const std::string prefix = "DebugMessage Sending RCPT: ";
    if (e.rfind(prefix, 0) == 0) entries.push_back(e.substr(prefix.size()));
  }
  EXPECT_EQ(entries, c.cut_entries);
  EXPECT_EQ(rig.control.get_status(), 0);
  // The To header shows the list as set.
  EXPECT_NE(rig.socket.Transcript().find(u"To: " + mail::HeaderValue(c.list) + u"\r\n"),
            String::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RecipientList,
    ::testing::Values(
        ListCase{u"", "", {}}, ListCase{u"a@x", "RCPT TO: <a@x>\r\n", {"a@x"}},
        ListCase{u"a@x,b@x,c@x",
                 "RCPT TO: <a@x>\r\nRCPT TO: <b@x>\r\nRCPT TO: <c@x>\r\n",
                 {"a@x", "b@x", "c@x"}},
        ListCase{u"a@x;b@x", "RCPT TO: <a@x>\r\nRCPT TO: <b@x>\r\n", {"a@x", "b@x"}},
        // a semicolon before the first comma stays inside the entry
        ListCase{u"a@x;b@x,c@x", "RCPT TO: <a@x;b@x>\r\nRCPT TO: <c@x>\r\n", {"a@x;b@x", "c@x"}},
        ListCase{u"a@x,b@x;c@x",
                 "RCPT TO: <a@x>\r\nRCPT TO: <b@x>\r\nRCPT TO: <c@x>\r\n",
                 {"a@x", "b@x", "c@x"}},
        ListCase{u"a@x,", "RCPT TO: <a@x>\r\n", {"a@x"}},
        ListCase{u"a@x, ", "RCPT TO: <a@x>\r\nRCPT TO: <>\r\n", {"a@x", " "}},
        ListCase{u",a@x", "RCPT TO: <>\r\nRCPT TO: <a@x>\r\n", {"", "a@x"}},
        ListCase{
            u"a@x,,b@x", "RCPT TO: <a@x>\r\nRCPT TO: <>\r\nRCPT TO: <b@x>\r\n", {"a@x", "", "b@x"}},
        ListCase{u"  Jo Doe <j@x>  ", "RCPT TO: <Jo Doe <j@x>>\r\n", {"  Jo Doe <j@x>  "}},
        ListCase{u"\ta@x ", "RCPT TO: <\ta@x>\r\n", {"\ta@x "}},  // only spaces are trimmed
        // line breaks cannot smuggle a command into the envelope
        ListCase{u"a@x>\r\nDATA", "RCPT TO: <a@x>DATA>\r\n", {"a@x>\r\nDATA"}}));

TEST(RecipientList, ListsBeyond32767CharactersSplitLikeAnyOther) {
  String list(40000, u'a');
  list += u",b@x";
  String pending = list;
  EXPECT_EQ(mail::CutNextRecipient(pending), String(40000, u'a'));
  EXPECT_EQ(pending, u"b@x");
  EXPECT_EQ(mail::CutNextRecipient(pending), u"b@x");
  EXPECT_TRUE(pending.empty());
}

TEST(RecipientList, EmptyListGoesFromSenderStraightToData) {
  Rig rig;
  rig.control.put_RcptTo(u"");
  rig.StartAndGreet();
  while (rig.state() != mail::session_state::kWaitFromAck) {
    ASSERT_TRUE(rig.Tick());
    if (rig.state() == mail::session_state::kWaitHeloAck) rig.socket.ServerSends(u"250 hi\r\n");
  }
  rig.socket.ServerSends(u"250 OK\r\n");
  ASSERT_TRUE(rig.Tick());
  EXPECT_EQ(rig.state(), mail::session_state::kSendRcptTo);
  ASSERT_TRUE(rig.Tick());
  EXPECT_EQ(rig.state(), mail::session_state::kSendDataCommand);
  ASSERT_TRUE(rig.Tick());
  EXPECT_EQ(rig.socket.writes.back(), u"DATA\r\n");
}

}  // namespace
}  // namespace qv::testing
