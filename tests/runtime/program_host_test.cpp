#include "qv/runtime/program_host.hpp"

#include <gtest/gtest.h>

#include "qv/core/automation_error.hpp"
#include "qv/runtime/control_site.hpp"
#include "qv/runtime/event_loop.hpp"

namespace qv::runtime {
namespace {

TEST(ProgramHost, KeepsEachChangedNameOnceUntilSaved) {
  ProgramHost host;
  EXPECT_FALSE(host.Dirty());
  for (const char16_t* name : {u"Subject", u"Body", u"Subject", u"Body", u"RcptTo"}) {
    host.PropertyChanged(name);
  }
  EXPECT_EQ(host.ChangedProperties(), (std::vector<String>{u"Subject", u"Body", u"RcptTo"}));
  EXPECT_EQ(host.ChangeCount(), 5);
  EXPECT_TRUE(host.Dirty());
  host.MarkSaved();
  EXPECT_FALSE(host.Dirty());
  EXPECT_TRUE(host.ChangedProperties().empty());
}

TEST(ProgramHost, GivesDefaultErrorTextsUnlessTheProgramHasItsOwn) {
  ProgramHost host;
  EXPECT_EQ(host.ErrorText(393), DefaultErrorText(393));
  host.SetErrorText(393, "Read-only while sending");
  EXPECT_EQ(host.ErrorText(393), "Read-only while sending");
  EXPECT_EQ(host.ErrorText(394), DefaultErrorText(394));
}

TEST(ProgramHost, ServesTheControlInItsSite) {
  EventLoop loop;
  ControlSite site(loop);
  ProgramHost& host = site.host();
  host.MarkSaved();  // whatever loading did

  site->put_Subject(u"Hi");
  site->put_Enabled(kFalse);
  EXPECT_EQ(host.ChangedProperties(), (std::vector<String>{u"Subject", u"Enabled"}));
  EXPECT_EQ(host.Enabled(), kFalse);
  EXPECT_EQ(site->get_Enabled(), kFalse);

  site->Resize();
  EXPECT_EQ(host.Width(), kControlWidth);
  EXPECT_EQ(host.Height(), kControlHeight);

  // Run time: the program's text comes with the refusal.
  host.SetErrorText(393, "Busy is read-only");
  try {
    site->put_Busy(kTrue);
    FAIL() << "Busy was written at run time";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 393);
    EXPECT_STREQ(e.what(), "Busy is read-only");
  }
  host.SetUserMode(false);
  EXPECT_EQ(host.UserMode(), kFalse);
  EXPECT_NO_THROW(site->put_Busy(kTrue));  // silently ignored while designing
  EXPECT_EQ(site->get_Busy(), kFalse);
  try {
    site->put_StatusStr(u"x");
    FAIL() << "StatusStr was written at design time";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 394);
    EXPECT_EQ(e.what(), DefaultErrorText(394));
  }
}

}  // namespace
}  // namespace qv::runtime
