// The one rule by which notifications reach a control, on a manual loop.
#include "qv/connection/delivery_gate.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "support/manual_loop.hpp"

namespace qv::connection {
namespace {

using test_support::ManualLoop;

// Deliveries held back by a host's call follow from the loop, never from
// the end of the hold, where a throwing handler could only terminate the
// program. (Nested and throwing deliveries without a hold, and Cancel, are
// the runtime loop's DeliveryGate tests.)
TEST(DeliveryGate, WhatAHoldKeptBackFollowsFromTheLoopInOrder) {
  for (const bool a_throws : {false, true}) {
    SCOPED_TRACE(a_throws ? "a throws" : "a returns");
    ManualLoop loop;
    DeliveryGate gate(loop);
    std::string ran;
    gate.SetAfterDelivery([&] { ran += "|"; });
    const int source = 0;
    {
      DeliveryGate::Hold hold(gate);
      gate.Deliver(&source, [&] {
        ran += "a";
        gate.Deliver(&source, [&] { ran += "b"; });  // waits: a is being handled
        if (a_throws) throw std::runtime_error("handler failed");
      });
      gate.Deliver(&source, [&] { ran += "c"; });
      EXPECT_TRUE(gate.Busy());
    }
    EXPECT_EQ(ran, "");
    if (a_throws) {
      EXPECT_THROW(loop.RunPosted(), std::runtime_error);
    }
    loop.RunPosted();
    EXPECT_EQ(ran, "acb|");
  }
}

}  // namespace
}  // namespace qv::connection
