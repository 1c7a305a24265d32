// The loop's and the socket service's contracts on a host's own io_context.
#include <asio/io_context.hpp>
#include <optional>

#include "connection/loop_contract.hpp"
#include "connection/socket_contract.hpp"
#include "qv/asio/asio_loop.hpp"

namespace qv::connection::contract {
namespace {

struct AsioHost {
  ::asio::io_context io;
  std::optional<asio_host::AsioLoop> asio_loop{std::in_place, io};
  Loop& loop() { return *asio_loop; }
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      io.restart();
      io.run_one_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  void RunFor(std::chrono::milliseconds duration) {
    io.restart();
    io.run_for(duration);
  }
  // The old loop goes first; what it posted stays queued in io.
  void RemakeLoop() { asio_loop.emplace(io); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Asio, LoopContract, AsioHost);
INSTANTIATE_TYPED_TEST_SUITE_P(Asio, SocketContract, AsioHost);

}  // namespace
}  // namespace qv::connection::contract
