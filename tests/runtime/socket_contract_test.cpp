// The loop's and the socket service's contracts on the runtime's own loop.
#include <optional>

#include "connection/loop_contract.hpp"
#include "connection/socket_contract.hpp"
#include "qv/runtime/event_loop.hpp"

namespace qv::connection::contract {
namespace {

struct RuntimeHost {
  std::optional<runtime::EventLoop> event_loop{std::in_place};
  Loop& loop() { return *event_loop; }
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return event_loop->RunUntil(done, limit);
  }
  void RunFor(std::chrono::milliseconds duration) {
    event_loop->RunUntil([] { return false; }, duration);
  }
  void RemakeLoop() { event_loop.emplace(); }  // the old one goes first
};

INSTANTIATE_TYPED_TEST_SUITE_P(Runtime, LoopContract, RuntimeHost);
INSTANTIATE_TYPED_TEST_SUITE_P(Runtime, SocketContract, RuntimeHost);

}  // namespace
}  // namespace qv::connection::contract
