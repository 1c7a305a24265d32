// The socket service's contract on Qt's event loop.
#include "connection/socket_contract.hpp"
#include "qv/qt/qt_loop.hpp"

namespace qv::connection::contract {
namespace {

struct QtHost {
  qt::QtLoop qt_loop;
  Loop& loop() { return qt_loop; }
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return qt_loop.RunUntil(done, limit);
  }
  void RunFor(std::chrono::milliseconds duration) {
    qt_loop.RunUntil([] { return false; }, duration);
  }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Qt, SocketContract, QtHost);

}  // namespace
}  // namespace qv::connection::contract
