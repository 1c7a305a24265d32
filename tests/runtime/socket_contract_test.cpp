// The socket service's contract on the runtime's own loop.
#include "connection/socket_contract.hpp"
#include "qv/runtime/event_loop.hpp"

namespace qv::connection::contract {
namespace {

struct RuntimeHost {
  runtime::EventLoop event_loop;
  Loop& loop() { return event_loop; }
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return event_loop.RunUntil(done, limit);
  }
  void RunFor(std::chrono::milliseconds duration) {
    event_loop.RunUntil([] { return false; }, duration);
  }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Runtime, SocketContract, RuntimeHost);

}  // namespace
}  // namespace qv::connection::contract
