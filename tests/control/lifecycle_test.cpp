// Initialize, Resize and Terminate.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "qv/control/qvsmtp.hpp"
#include "qv/host/memory_property_bag.hpp"
#include "qv/testing/fake_host.hpp"
#include "qv/testing/fake_socket.hpp"
#include "qv/testing/manual_clock.hpp"
#include "qv/testing/manual_timer.hpp"
#include "qv/testing/recording_sink.hpp"

namespace qv::testing {
namespace {

constexpr Date kNow{36959.29517361111};  // 9 March 2001 07:05:03

struct Control {
  FakeSocket socket;
  ManualTimer timer;
  ManualClock clock{kNow};
  FakeHost host;
  RecordingSink sink;
  qvSMTP control{socket, timer, clock, host};
  Control() { control.Advise(&sink); }
};

TEST(Initialize, StopsTheTimerClearsBusyAndTakesTheTime) {
  Control c;
  // A restored Busy shows that Initialize assigns it rather than relying on
  // the construction value.
  MemoryPropertyBag bag;
  bag.Set(u"Busy", Variant(true));
  bag.Set(u"DateHeader", Variant(Date{1.0}));
  c.control.ReadProperties(bag);
  c.timer.SetEnabled(true);
  c.timer.enabled_history.clear();
  ASSERT_EQ(c.control.get_Busy(), kTrue);

  c.clock.Advance(10);
  c.control.Initialize();
  EXPECT_EQ(c.timer.enabled_history, std::vector<bool>{false});
  EXPECT_EQ(c.control.get_Busy(), kFalse);
  EXPECT_EQ(c.control.get_DateHeader(), c.clock.Now());
  EXPECT_TRUE(c.socket.calls.empty());
  EXPECT_TRUE(c.host.changed.empty());
  EXPECT_TRUE(c.host.size_calls.empty());
}

TEST(Initialize, ANewControlIsNotBusyBeforeAnyPropertyNotification) {
  Control c;
  c.control.Initialize();
  EXPECT_EQ(c.control.get_Busy(), kFalse);
  EXPECT_FALSE(c.timer.Enabled());
}

TEST(Resize, SetsHeightThenWidthEveryTime) {
  Control c;
  c.control.Initialize();
  c.control.InitProperties();
  c.control.Resize();
  EXPECT_EQ(c.host.size_calls, (std::vector<std::string>{"Height 330", "Width 360"}));
  // Already at the fixed size: the same two assignments again.
  c.control.Resize();
  EXPECT_EQ(c.host.size_calls,
            (std::vector<std::string>{"Height 330", "Width 360", "Height 330", "Width 360"}));
  EXPECT_TRUE(c.host.changed.empty());
  EXPECT_EQ(c.host.user_mode_queries, 0);
}

// A host that refuses the width, to show that the height set before stays set.
class WidthRefusingHost final : public ComponentHost {
 public:
  std::vector<std::string> size_calls;
  Boolean UserMode() override { return kTrue; }
  void PropertyChanged(std::u16string_view) override {}
  Boolean Enabled() override { return kTrue; }
  void SetEnabled(Boolean) override {}
  void SetWidth(Long) override { throw std::runtime_error("width refused"); }
  void SetHeight(Long twips) override { size_calls.push_back("Height " + std::to_string(twips)); }
  std::string ErrorText(Long) override { return {}; }
};

TEST(Resize, AFailingSizeAssignmentEndsResize) {
  FakeSocket socket;
  ManualTimer timer;
  ManualClock clock;
  WidthRefusingHost host;
  qvSMTP control{socket, timer, clock, host};
  EXPECT_THROW(control.Resize(), std::runtime_error);
  EXPECT_EQ(host.size_calls, std::vector<std::string>{"Height 330"});
}

TEST(Terminate, ClosesOnceAControlThatNeverSent) {
  Control c;
  c.control.Initialize();
  c.control.InitProperties();
  const std::size_t mark = c.socket.Mark();
  c.timer.enabled_history.clear();
  c.control.Terminate();
  EXPECT_EQ(c.socket.CallsSince(mark), std::vector<std::string>{"Close"});
  EXPECT_TRUE(c.timer.enabled_history.empty());
  EXPECT_TRUE(c.sink.events.empty());
}

TEST(Terminate, ASendInProgressIsClosedWithoutACompletion) {
  Control c;
  c.control.Initialize();
  c.control.InitProperties();
  c.control.put_RemoteHost(u"mail.example.com");
  ASSERT_EQ(c.control.Send(), 0);
  c.socket.AcceptConnection();
  c.sink.events.clear();
  const std::size_t mark = c.socket.Mark();
  c.timer.enabled_history.clear();

  c.control.Terminate();
  EXPECT_EQ(c.socket.CallsSince(mark), std::vector<std::string>{"Close"});
  EXPECT_EQ(c.socket.State(), socket_state::kClosed);
  EXPECT_EQ(c.sink.CountOf("SendComplete"), 0);
  EXPECT_TRUE(c.sink.events.empty());
  // Nothing else changes: the send still shows as running.
  EXPECT_EQ(c.control.get_Busy(), kTrue);
  EXPECT_EQ(c.control.get_status(), 1);
  EXPECT_TRUE(c.timer.enabled_history.empty());
  EXPECT_TRUE(c.timer.Enabled());
}

}  // namespace
}  // namespace qv::testing
