// The one rule by which notifications reach a control, on a manual loop.
#include "qv/connection/delivery_gate.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "support/manual_loop.hpp"

namespace qv::connection {
namespace {

using test_support::ManualLoop;

struct Case {
  const char* name;
  // Delivers "a" (whose handler delivers "b" and may throw), under a Hold or
  // not; then what ran, in order, before and after the loop's next turn.
  bool hold;
  bool a_throws;
  std::string before_turn;
  std::string after_turn;
};

class DeliveryGateCase : public ::testing::TestWithParam<Case> {};

TEST_P(DeliveryGateCase, OneAtATimeInOrderWhateverAHandlerDoes) {
  const Case& c = GetParam();
  ManualLoop loop;
  DeliveryGate gate(loop);
  std::string ran;
  gate.SetAfterDelivery([&] { ran += "|"; });
  const int source = 0;
  auto deliver_a = [&] {
    gate.Deliver(&source, [&] {
      ran += "a";
      gate.Deliver(&source, [&] { ran += "b"; });  // waits: a is being handled
      EXPECT_EQ(ran.back(), 'a');
      if (c.a_throws) throw std::runtime_error("handler failed");
    });
  };
  if (c.hold) {
    DeliveryGate::Hold hold(gate);
    deliver_a();  // waits behind the host's call
    gate.Deliver(&source, [&] { ran += "c"; });
    EXPECT_TRUE(gate.Busy());
  } else if (c.a_throws) {
    EXPECT_THROW(deliver_a(), std::runtime_error);
    EXPECT_FALSE(gate.Busy());
  } else {
    deliver_a();
  }
  EXPECT_EQ(ran, c.before_turn);
  if (c.hold && c.a_throws) {
    EXPECT_THROW(loop.RunPosted(), std::runtime_error);
    loop.RunPosted();
  } else {
    loop.RunPosted();
  }
  EXPECT_EQ(ran, c.after_turn);
}

INSTANTIATE_TEST_SUITE_P(Cases, DeliveryGateCase,
                         ::testing::Values(Case{"Nested", false, false, "ab|", "ab|"},
                                           Case{"Throwing", false, true, "a", "ab|"},
                                           Case{"UnderAHold", true, false, "", "acb|"},
                                           Case{"ThrowingUnderAHold", true, true, "", "acb|"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DeliveryGate, CancelDropsOnlyTheSourcesWaitingDeliveries) {
  ManualLoop loop;
  DeliveryGate gate(loop);
  std::string ran;
  const int socket = 0;
  const int timer = 0;
  {
    DeliveryGate::Hold hold(gate);
    gate.Deliver(&socket, [&] { ran += "s"; });
    gate.Deliver(&timer, [&] { ran += "t"; });
    gate.Cancel(&socket);
  }
  loop.RunPosted();
  EXPECT_EQ(ran, "t");
}

}  // namespace
}  // namespace qv::connection
