// The socket service's contract on a host's own io_context.
#include <asio/io_context.hpp>

#include "connection/socket_contract.hpp"
#include "qv/asio/asio_loop.hpp"

namespace qv::connection::contract {
namespace {

struct AsioHost {
  ::asio::io_context io;
  asio_host::AsioLoop asio_loop{io};
  Loop& loop() { return asio_loop; }
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
};

INSTANTIATE_TYPED_TEST_SUITE_P(Asio, SocketContract, AsioHost);

}  // namespace
}  // namespace qv::connection::contract
