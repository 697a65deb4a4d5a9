#include "frontend_core/reading/progress.hpp"

#include <algorithm>
#include <fmt/format.h>
#include <iterator>
#include <unistd.h>

namespace profile_query {
namespace {

constexpr auto kInterval = std::chrono::milliseconds(100);

double megabytes(std::uint64_t bytes) {
  return static_cast<double>(bytes) / 1e6;
}

}  // namespace

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

std::string progress_line(std::string_view stage, std::string_view name,
                          std::uint64_t done_bytes, std::uint64_t total_bytes,
                          double seconds) {
  std::string line =
      fmt::format("{} {}: {:.1f} MB", stage, name, megabytes(done_bytes));
  if (total_bytes > 0) {
    const std::uint64_t shown = std::min(done_bytes, total_bytes);
    fmt::format_to(std::back_inserter(line), " of {:.1f} MB ({}%)",
                   megabytes(total_bytes), shown * 100 / total_bytes);
  }
  if (seconds > 0.0) {
    fmt::format_to(std::back_inserter(line), ", {:.1f} MB/s",
                   megabytes(done_bytes) / seconds);
  }
  return line;
}

void ProgressMeter::start(std::string_view stage, std::uint64_t total_bytes) {
  stage_ = stage;
  total_ = total_bytes;
  done_ = 0;
  heard_ = 0;
  started_ = Clock::now();
}

void ProgressMeter::update(std::uint64_t done_bytes) {
  if (!enabled_) return;
  done_ = done_bytes;
  // A known total decides at once; an unknown one once enough has passed.
  if (total_ > 0 ? total_ < kProgressMinBytes : done_bytes < kProgressMinBytes)
    return;
  const Clock::time_point now = Clock::now();
  if (on_screen_ && now - shown_at_ < kInterval) return;
  shown_at_ = now;
  on_screen_ = true;
  if (listener_) {
    heard_ = done_bytes;
    listener_(stage_, done_bytes, total_);
    return;
  }
  const double seconds = std::chrono::duration<double>(now - started_).count();
  // \r returns to the line's start and ESC[K clears what a longer line left.
  *out_ << '\r' << progress_line(stage_, name_, done_bytes, total_, seconds)
        << "\x1b[K" << std::flush;
}

void ProgressMeter::complete() {
  if (on_screen_ && listener_) {
    // The whole stage, also where the last update fell short of the total
    // (a parse counts the bytes it has walked, not the closing brackets).
    const std::uint64_t end = std::max(done_, total_);
    if (heard_ != end) listener_(stage_, end, total_);
    heard_ = end;
  }
  finish();
}

void ProgressMeter::finish() {
  if (!on_screen_) return;
  on_screen_ = false;
  if (listener_) return;
  *out_ << "\r\x1b[K" << std::flush;
}

}  // namespace profile_query
