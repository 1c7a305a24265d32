// A subscription's handlers run exactly while it is attached, whichever of it
// and the control ends first, across moves and replacements.
#include "qv/control/subscription.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "qv/host/memory_property_bag.hpp"
#include "qv/testing/fake_host.hpp"
#include "qv/testing/fake_socket.hpp"
#include "qv/testing/manual_clock.hpp"
#include "qv/testing/manual_timer.hpp"
#include "qv/testing/recording_sink.hpp"

namespace qv::testing {
namespace {

struct Rig {
  FakeSocket socket;
  ManualTimer timer;
  ManualClock clock{Date{36959.0}};
  FakeHost host;
  RecordingSink sink;
  std::unique_ptr<qvSMTP> control = std::make_unique<qvSMTP>(socket, timer, clock, host);
  int first = 0;   // SendCompletes the first handlers saw
  int second = 0;  // ... and those of a later Subscribe
  Subscription subscription;

  Rig() {
    // A busy control answers Send with SendComplete at once.
    MemoryPropertyBag bag;
    bag.Set(u"Busy", Variant(true));
    control->ReadProperties(bag);
  }
  void Send() {
    if (control) control->Send();
  }
};

struct Case {
  const char* name;
  std::function<void(Rig&)> act;  // between the first Send and the second
  bool reset_in_handler;
  int first, second, sink;
  bool active;
};

TEST(Subscription, HandlersRunExactlyWhileAttached) {
  const Case cases[] = {
      {"destroyed first", [](Rig& r) { Subscription gone = std::move(r.subscription); }, false, 1,
       0, 0, false},
      {"control destroyed first", [](Rig& r) { r.control.reset(); }, false, 1, 0, 0, false},
      {"moved there and back",
       [](Rig& r) {
         Subscription there(std::move(r.subscription));
         r.subscription = std::move(there);
       },
       false, 2, 0, 0, true},
      {"replaced by a newer one",
       [](Rig& r) {
         r.subscription = Subscribe(*r.control, {.send_complete = [&r](Integer&) { ++r.second; }});
       },
       false, 1, 1, 0, true},
      {"replaced by Advise", [](Rig& r) { r.control->Advise(&r.sink); }, false, 1, 0, 2, false},
      {"ended by its own handler", [](Rig&) {}, true, 1, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    r.subscription = Subscribe(*r.control, {.send_complete = [&r, &c](Integer& status) {
      EXPECT_EQ(status, 1);
      ++r.first;
      if (c.reset_in_handler) r.subscription.Reset();
    }});
    r.Send();
    c.act(r);
    r.Send();
    EXPECT_EQ(r.subscription.active(), c.active);
    // Ending it now leaves whatever replaced it attached.
    r.subscription.Reset();
    r.Send();
    EXPECT_EQ(r.first, c.first);
    EXPECT_EQ(r.second, c.second);
    EXPECT_EQ(static_cast<int>(r.sink.events.size()), c.sink);
  }
}

}  // namespace
}  // namespace qv::testing
