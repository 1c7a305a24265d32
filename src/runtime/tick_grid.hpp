// Timers of one io_context share their wake-ups. Every deadline is moved up to
// the next step of a grid common to the whole context, so timers whose
// deadlines fall within one step wake the loop once between them, not once
// each: a thousand controls waiting on their 50 ms ticks cost one wake-up per
// step of the grid.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

namespace qv::runtime::detail {

class TickGrid final : public asio::execution_context::service {
 public:
  using Clock = std::chrono::steady_clock;
  // How late a deadline may come at most, for sharing its wake-up.
  static constexpr Clock::duration kStep = std::chrono::microseconds(500);

  // Told when its step has come. Called on the loop's thread, from the
  // grid's own handler.
  class Client {
   public:
    virtual void OnGridStep(std::uint64_t ticket) = 0;

   protected:
    ~Client() = default;
  };

  struct Ticket {
    Clock::time_point step;
    std::uint64_t key = 0;
  };

  static asio::execution_context::id id;

  explicit TickGrid(asio::execution_context& context);
  // The grid of the loop that runs on io (made with the first timer).
  static TickGrid& Of(asio::io_context& io) { return asio::use_service<TickGrid>(io); }

  // Calls client->OnGridStep(ticket.key) once, at the first step of the grid
  // at or after deadline, unless removed first. Clients of one step are
  // called in the order they were added.
  Ticket Add(Clock::time_point deadline, std::shared_ptr<Client> client);
  void Remove(const Ticket& ticket);

 private:
  void shutdown() override;
  void Arm();
  void OnExpired(const std::error_code& ec);

  std::optional<asio::steady_timer> timer_;
  std::map<std::pair<Clock::time_point, std::uint64_t>, std::shared_ptr<Client>> waiting_;
  Clock::time_point armed_ = Clock::time_point::max();
  std::uint64_t next_key_ = 0;
};

}  // namespace qv::runtime::detail
