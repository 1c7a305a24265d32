#include "progress.hpp"

#include <unistd.h>

#include <cstdio>

namespace qvsmtp {

namespace {

double Mebibytes(std::uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

}  // namespace

Progress::Progress(bool wanted, std::optional<std::uint64_t> total) : total_(total) {
  enabled_ = wanted && ::isatty(STDERR_FILENO) == 1 && (!total || *total > kProgressThreshold);
}

void Progress::Update(std::uint64_t done) {
  if (!enabled_ || finished_) return;
  done_ = done;
  if (!total_ && done <= kProgressThreshold) return;
  const auto now = std::chrono::steady_clock::now();
  const bool complete = total_ && done >= *total_;
  if (on_screen_ && !complete && now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  Draw();
}

void Progress::Break() {
  if (!on_screen_) return;
  std::fputs("\n", stderr);
  on_screen_ = false;
}

void Progress::Finish() {
  if (!enabled_ || finished_) return;
  if (done_ != drawn_) Draw();
  Break();
  finished_ = true;
}

void Progress::Draw() {
  if (total_) {
    const double percent =
        *total_ == 0 ? 100.0 : 100.0 * static_cast<double>(done_) / static_cast<double>(*total_);
    std::fprintf(stderr, "\rbody: %llu / %llu bytes (%.1f of %.1f MiB, %3.0f%%)",
                 static_cast<unsigned long long>(done_), static_cast<unsigned long long>(*total_),
                 Mebibytes(done_), Mebibytes(*total_), percent);
  } else {
    std::fprintf(stderr, "\rbody: %llu bytes (%.1f MiB)", static_cast<unsigned long long>(done_),
                 Mebibytes(done_));
  }
  std::fflush(stderr);
  on_screen_ = true;
  drawn_ = done_;
}

}  // namespace qvsmtp
