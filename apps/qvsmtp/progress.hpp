// A progress line for a large body on standard error, shown only while
// standard error is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace qvsmtp {

// Bodies above this size show progress.
inline constexpr std::uint64_t kProgressThreshold = 1024 * 1024;

class Progress {
 public:
  // total: body bytes, when known. Shown when wanted, standard error is a
  // terminal and the body is larger than kProgressThreshold (one of unknown
  // size once that much has gone).
  Progress(bool wanted, std::optional<std::uint64_t> total);
  ~Progress() { Finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  bool shown() const { return enabled_; }
  // Redraws at most ten times a second, and when done reaches the total.
  void Update(std::uint64_t done);
  // Ends the line so that other output starts on a line of its own; a later
  // Update draws it again.
  void Break();
  // Draws the last state if it is not on screen and ends the line for good.
  void Finish();

 private:
  void Draw();

  bool enabled_ = false;
  bool on_screen_ = false;
  bool finished_ = false;
  std::optional<std::uint64_t> total_;
  std::uint64_t done_ = 0;
  std::uint64_t drawn_ = 0;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace qvsmtp
