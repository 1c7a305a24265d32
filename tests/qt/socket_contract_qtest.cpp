// The loop's and the socket service's contracts on Qt's event loop.
#include <optional>

#include "connection/loop_contract.hpp"
#include "connection/socket_contract.hpp"
#include "qv/qt/qt_loop.hpp"

namespace qv::connection::contract {
namespace {

struct QtHost {
  std::optional<qt::QtLoop> qt_loop{std::in_place};
  Loop& loop() { return *qt_loop; }
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return qt_loop->RunUntil(done, limit);
  }
  void RunFor(std::chrono::milliseconds duration) {
    qt_loop->RunUntil([] { return false; }, duration);
  }
  void RemakeLoop() { qt_loop.emplace(); }  // the old one goes first
};

INSTANTIATE_TYPED_TEST_SUITE_P(Qt, LoopContract, QtHost);
INSTANTIATE_TYPED_TEST_SUITE_P(Qt, SocketContract, QtHost);

}  // namespace
}  // namespace qv::connection::contract
