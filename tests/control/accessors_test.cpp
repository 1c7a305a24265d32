// The fifteen property accessors at design time and at run time, as one table.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "qv/control/qvsmtp.hpp"
#include "qv/core/text.hpp"
#include "qv/testing/fake_host.hpp"
#include "qv/testing/fake_socket.hpp"
#include "qv/testing/manual_clock.hpp"
#include "qv/testing/manual_timer.hpp"

namespace qv::testing {
namespace {

struct Control {
  FakeSocket socket;
  ManualTimer timer;
  ManualClock clock;
  FakeHost host;
  qvSMTP control{socket, timer, clock, host};
  Control() {
    control.Initialize();
    control.InitProperties();
    host.changed.clear();
  }
};

enum class Group { kPlain, kForwarded, kRefusedSilently, kRefusedAlways };

struct AccessorCase {
  const char* name;
  Group group;
  std::function<void(qvSMTP&)> write;    // assigns a new value
  std::function<Variant(qvSMTP&)> read;  // reads it back
  Variant written;                       // what a plain write must read back
};

std::optional<Long> ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const AutomationError& e) {
    return e.number();
  }
  return std::nullopt;
}

const AccessorCase kCases[] = {
    {"Enabled", Group::kForwarded, [](qvSMTP& c) { c.put_Enabled(kFalse); },
     [](qvSMTP& c) { return Variant::FromBoolean(c.get_Enabled()); }, Variant(false)},
    {"RemoteHost", Group::kPlain, [](qvSMTP& c) { c.put_RemoteHost(u""); },
     [](qvSMTP& c) { return Variant(c.get_RemoteHost()); }, Variant(u"")},
    {"MailFrom", Group::kPlain, [](qvSMTP& c) { c.put_MailFrom(u" me@x "); },
     [](qvSMTP& c) { return Variant(c.get_MailFrom()); }, Variant(u" me@x ")},
    {"Body", Group::kPlain, [](qvSMTP& c) { c.put_Body(Variant(Integer{5})); },
     [](qvSMTP& c) { return c.get_Body(); }, Variant(Integer{5})},
    {"RemoteHostIP", Group::kRefusedSilently, [](qvSMTP& c) { c.put_RemoteHostIP(u"1.2.3.4"); },
     [](qvSMTP& c) { return Variant(c.get_RemoteHostIP()); }, Variant(u"0")},
    {"Subject", Group::kPlain, [](qvSMTP& c) { c.put_Subject(u"S"); },
     [](qvSMTP& c) { return Variant(c.get_Subject()); }, Variant(u"S")},
    {"DateHeader", Group::kPlain, [](qvSMTP& c) { c.put_DateHeader(Date{1.5}); },
     [](qvSMTP& c) { return Variant(c.get_DateHeader()); }, Variant(Date{1.5})},
    {"RcptTo", Group::kPlain, [](qvSMTP& c) { c.put_RcptTo(u"a;b"); },
     [](qvSMTP& c) { return Variant(c.get_RcptTo()); }, Variant(u"a;b")},
    {"status", Group::kRefusedSilently, [](qvSMTP& c) { c.put_status(3); },
     [](qvSMTP& c) { return Variant(c.get_status()); }, Variant(Integer{0})},
    {"XMailer", Group::kRefusedSilently, [](qvSMTP& c) { c.put_XMailer(u"other"); },
     [](qvSMTP& c) { return Variant(c.get_XMailer()); }, Variant(u"qvSMTP by Quenvix")},
    {"Priority", Group::kPlain, [](qvSMTP& c) { c.put_Priority(u"Urgent"); },
     [](qvSMTP& c) { return Variant(c.get_Priority()); }, Variant(u"Urgent")},
    {"ContentType", Group::kRefusedSilently, [](qvSMTP& c) { c.put_ContentType(u"text/html"); },
     [](qvSMTP& c) { return Variant(c.get_ContentType()); },
     Variant(u"text/plain; charset=US-ASCII")},
    {"Busy", Group::kRefusedSilently, [](qvSMTP& c) { c.put_Busy(kTrue); },
     [](qvSMTP& c) { return Variant::FromBoolean(c.get_Busy()); }, Variant(false)},
    {"StatusStr", Group::kRefusedAlways, [](qvSMTP& c) { c.put_StatusStr(u"x"); },
     [](qvSMTP& c) { return Variant(c.get_StatusStr()); }, Variant(u"")},
    {"BodyEvent", Group::kPlain, [](qvSMTP& c) { c.put_BodyEvent(-4); },
     [](qvSMTP& c) { return Variant(c.get_BodyEvent()); }, Variant(Integer{-4})},
};

TEST(Accessors, EveryPropertyAtDesignAndRunTime) {
  for (const AccessorCase& c : kCases) {
    for (const bool run_time : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (run_time ? " at run time" : " at design time"));
      Control t;
      t.host.user_mode = MakeBoolean(run_time);
      const Variant before = c.read(t.control);
      const auto error = ErrorOf([&] { c.write(t.control); });
      switch (c.group) {
        case Group::kPlain:
        case Group::kForwarded:
          EXPECT_FALSE(error);
          EXPECT_EQ(c.read(t.control), c.written);
          ASSERT_EQ(t.host.changed.size(), 1u);
          EXPECT_EQ(ToUtf8(t.host.changed[0]), c.name);
          break;
        case Group::kRefusedSilently:
          EXPECT_EQ(error, run_time ? std::optional<Long>(393) : std::nullopt);
          EXPECT_EQ(c.read(t.control), before);
          EXPECT_TRUE(t.host.changed.empty());
          break;
        case Group::kRefusedAlways:
          EXPECT_EQ(error, std::optional<Long>(run_time ? 393 : 394));
          EXPECT_EQ(c.read(t.control), before);
          EXPECT_TRUE(t.host.changed.empty());
          break;
      }
    }
  }
}

TEST(Accessors, EnabledIsTheHostsStateAndDoesNotStopASend) {
  Control t;
  t.control.put_Enabled(kFalse);
  EXPECT_EQ(t.host.enabled, kFalse);
  EXPECT_EQ(t.control.Send(), 0);
  EXPECT_EQ(t.control.get_Busy(), kTrue);
}

TEST(Accessors, EqualValueIsStillNotified) {
  Control t;
  t.control.put_Subject(u"same");
  t.control.put_Subject(u"same");
  EXPECT_EQ(t.host.changed, (std::vector<String>{u"Subject", u"Subject"}));
}

TEST(Accessors, RefusalErrorCarriesTheHostsText) {
  Control t;
  try {
    t.control.put_ContentType(u"x");
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.what(), t.host.ErrorText(393));
  }
}

TEST(Accessors, EngineWritesAreNotNotified) {
  Control t;
  t.control.Send();
  t.socket.ReportError(10061, u"Connection refused");
  EXPECT_EQ(t.control.get_status(), 2);
  EXPECT_TRUE(t.host.changed.empty());
}

}  // namespace
}  // namespace qv::testing
