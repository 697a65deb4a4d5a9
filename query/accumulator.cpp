#include "query/accumulator.hpp"

#include <algorithm>

namespace zun_profile {

void PhaseCoverage::compact() {
  if (!sorted_) std::sort(runs_.begin(), runs_.end());
  std::size_t kept = 0;
  for (std::size_t i = 1; i < runs_.size(); ++i) {
    if (runs_[i].first <= runs_[kept].second) {
      runs_[kept].second = std::max(runs_[kept].second, runs_[i].second);
    } else {
      runs_[++kept] = runs_[i];
    }
  }
  runs_.resize(kept + 1);
  sorted_ = true;
  compact_at_ = std::max(kMinimumCompaction, 2 * runs_.size());
}

void DurationSpread::add_outside(std::uint32_t duration) {
  if (listing_) {
    listed_.push_back(duration);
    return;
  }
  const std::uint64_t low =
      counts_.empty() ? duration : std::min(low_, duration);
  const std::uint64_t high =
      counts_.empty()
          ? duration
          : std::max<std::uint64_t>(low_ + counts_.size() - 1, duration);
  const std::uint64_t span = high - low + 1;
  if (span <= std::min(kHistogramSpan, kSpanPerSample * count_ + 1024)) {
    grow_histogram(duration);
    return;
  }
  // Too wide: list everything counted so far, then this one.
  listed_.reserve(count_);
  for (std::size_t i = 0; i < counts_.size(); ++i) {
    listed_.insert(listed_.end(), counts_[i],
                   static_cast<std::uint32_t>(low_ + i));
  }
  listed_.push_back(duration);
  counts_ = {};
  listing_ = true;
}

void DurationSpread::grow_histogram(std::uint32_t duration) {
  // The window never reaches past 2^32 - 1: slots stand for ascending values.
  constexpr std::uint64_t kFirstSpan = 16;  // small: groups may be many
  if (counts_.empty()) {
    low_ = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(duration, (1ull << 32) - kFirstSpan));
    counts_.assign(kFirstSpan, 0);
    ++counts_[duration - low_];
    return;
  }
  // Cover the new value with room to spare on its side, so that a range
  // widening bit by bit is copied only a logarithmic number of times.
  const std::uint64_t old_low = low_;
  const std::uint64_t old_high = old_low + counts_.size() - 1;
  const std::uint64_t needed = std::max<std::uint64_t>(old_high, duration) -
                               std::min<std::uint64_t>(old_low, duration) + 1;
  const std::uint64_t size =
      std::max<std::uint64_t>(needed, 2 * counts_.size());
  std::uint64_t low = 0;
  if (duration < old_low) {
    low = old_high + 1 >= size ? old_high + 1 - size : 0;
  } else {
    low = std::min<std::uint64_t>(old_low, (1ull << 32) - size);
  }
  std::vector<std::size_t> counts(static_cast<std::size_t>(size), 0);
  std::copy(counts_.begin(), counts_.end(),
            counts.begin() + static_cast<std::ptrdiff_t>(old_low - low));
  counts_ = std::move(counts);
  low_ = static_cast<std::uint32_t>(low);
  ++counts_[duration - low_];
}

std::uint32_t DurationSpread::at_rank(std::size_t rank) {
  if (listing_) {
    const auto nth = listed_.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(listed_.begin(), nth, listed_.end());
    return *nth;
  }
  std::size_t seen = 0;
  for (std::size_t i = 0; i < counts_.size(); ++i) {
    seen += counts_[i];
    if (seen > rank) return static_cast<std::uint32_t>(low_ + i);
  }
  return 0;  // rank out of range: not reached by the engine
}

namespace {

double quotient(std::uint64_t numerator, std::uint64_t denominator) {
  if (denominator == 0) return 0.0;
  return static_cast<double>(numerator) / static_cast<double>(denominator);
}

}  // namespace

GroupSummary Accumulator::summarize(std::uint64_t clock_hz) && {
  GroupSummary summary;
  summary.name = std::move(key_.label);
  summary.dimensions = std::move(key_.dimensions);
  summary.sample_count = durations_.count();

  std::sort(tiles_.begin(), tiles_.end());
  summary.tile_count = static_cast<std::size_t>(
      std::unique(tiles_.begin(), tiles_.end()) - tiles_.begin());

  summary.phase_count = phases_.size();
  for (const PhaseCoverage& coverage : phases_) {
    summary.phase_cycles += coverage.length();
  }
  summary.phase_ms = cycles_to_ms(summary.phase_cycles, clock_hz);
  summary.work_cycles = work_cycles_;
  summary.average_active_tiles = quotient(work_cycles_, summary.phase_cycles);
  summary.mean_cycles = quotient(work_cycles_, durations_.count());
  if (durations_.count() > 0) {
    summary.p50_cycles =
        durations_.at_rank(percentile_rank(durations_.count(), 50));
    summary.p95_cycles =
        durations_.at_rank(percentile_rank(durations_.count(), 95));
  }
  summary.maximum_cycles = maximum_cycles_;
  summary.first_offset = first_offset_;
  summary.last_offset = last_offset_;
  return summary;
}

}  // namespace zun_profile
