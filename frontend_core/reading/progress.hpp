#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

// Progress of a long read or parse, on one line of a terminal that is
// rewritten in place: "reading report.json: 120.0 MB of 500.0 MB (24%),
// 310.5 MB/s". Only for big inputs, and only when someone is watching.
namespace profile_query {

// Inputs smaller than this finish too soon for progress to help.
inline constexpr std::uint64_t kProgressMinBytes = 10'000'000;

// Whether standard error is a terminal; progress is shown only then.
bool stderr_is_terminal();

class ProgressMeter {
 public:
  // Shows progress on `out` when `enabled`; `name` is the input's name as
  // messages give it. A meter that is not enabled does nothing.
  ProgressMeter(std::ostream& out, std::string name, bool enabled)
      : out_(&out), name_(std::move(name)), enabled_(enabled) {}

  // Where the caller shows progress its own way (a notebook's bar): called
  // with the stage, the bytes done and the total (0 when unknown) in place
  // of writing the line, as often as the line would be rewritten.
  using Listener = std::function<void(std::string_view stage,
                                      std::uint64_t done_bytes,
                                      std::uint64_t total_bytes)>;
  ProgressMeter(Listener listener, std::string name)
      : name_(std::move(name)), enabled_(true), listener_(std::move(listener)) {}
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;
  ~ProgressMeter() { finish(); }

  // Starts a stage ("reading", "parsing") over `total_bytes`, 0 when the
  // total is unknown (then no percentage is shown).
  void start(std::string_view stage, std::uint64_t total_bytes);

  // `done_bytes` of the stage are through. Cheap: the line is written at
  // once, then rewritten at most ten times a second, and only once the input
  // is known to be big.
  void update(std::uint64_t done_bytes);

  // The stage went through to its end: a listener that heard of it hears
  // its last bytes too (the updates are spaced out, so the last one may
  // have been passed over), then the line is cleared as finish() does.
  void complete();

  // Clears the line, leaving the terminal as it was.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;

  std::ostream* out_ = nullptr;  // absent with a listener
  std::string name_;
  bool enabled_;
  std::string stage_;
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;            // of the stage, as last updated
  std::uint64_t heard_ = 0;           // what the listener heard last
  Clock::time_point started_{};
  Clock::time_point shown_at_{};
  bool on_screen_ = false;
  Listener listener_;
};

// The line a meter shows: stage, name, bytes done (of total, with the
// percentage, when known) and the rate. Exposed for tests.
std::string progress_line(std::string_view stage, std::string_view name,
                          std::uint64_t done_bytes, std::uint64_t total_bytes,
                          double seconds);

}  // namespace profile_query
