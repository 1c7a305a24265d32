#include "tick_grid.hpp"

#include <asio/post.hpp>

namespace qv::runtime::detail {

asio::execution_context::id TickGrid::id;

TickGrid::TickGrid(asio::execution_context& context)
    : asio::execution_context::service(context),
      timer_(std::in_place, static_cast<asio::io_context&>(context)) {}

TickGrid::Ticket TickGrid::Add(Clock::time_point deadline, std::shared_ptr<Client> client) {
  const auto since = deadline.time_since_epoch();
  const auto steps = (since + kStep - Clock::duration(1)) / kStep;
  const Ticket ticket{Clock::time_point(steps * kStep), ++next_key_};
  waiting_.emplace(std::make_pair(ticket.step, ticket.key), std::move(client));
  if (ticket.step < armed_) Arm();
  return ticket;
}

void TickGrid::Remove(const Ticket& ticket) {
  waiting_.erase(std::make_pair(ticket.step, ticket.key));
  if (waiting_.empty()) Arm();  // no wait left to keep the loop running
}

void TickGrid::shutdown() {
  waiting_.clear();
  timer_.reset();
}

void TickGrid::Arm() {
  if (!timer_) return;
  if (waiting_.empty()) {
    if (armed_ != Clock::time_point::max()) timer_->cancel();
    armed_ = Clock::time_point::max();
    return;
  }
  const Clock::time_point step = waiting_.begin()->first.first;
  if (step == armed_) return;
  armed_ = step;
  timer_->expires_at(step);
  timer_->async_wait([this](const std::error_code& ec) { OnExpired(ec); });
}

void TickGrid::OnExpired(const std::error_code& ec) {
  if (ec) return;  // re-armed or cancelled: a newer wait stands, or none is needed
  armed_ = Clock::time_point::max();
  const Clock::time_point now = Clock::now();
  auto it = waiting_.begin();
  // Each client is told from a handler of its own: one whose tick steps the
  // loop (waiting for another timer's tick, say) must not hold back the
  // others due in the same step.
  auto& io = static_cast<asio::io_context&>(context());
  for (; it != waiting_.end() && it->first.first <= now; ++it) {
    asio::post(
        io, [key = it->first.second, client = std::move(it->second)] { client->OnGridStep(key); });
  }
  waiting_.erase(waiting_.begin(), it);
  Arm();
}

}  // namespace qv::runtime::detail
