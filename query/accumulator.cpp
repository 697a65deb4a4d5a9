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
  summary.sample_count = durations_.size();

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
  summary.mean_cycles = quotient(work_cycles_, durations_.size());

  // The two order statistics by selection rather than a full sort: after
  // placing the 95th percentile, the 50th lies in the part before it.
  if (!durations_.empty()) {
    const auto begin = durations_.begin();
    const auto p95 = begin + static_cast<std::ptrdiff_t>(
                                 percentile_rank(durations_.size(), 95));
    const auto p50 = begin + static_cast<std::ptrdiff_t>(
                                 percentile_rank(durations_.size(), 50));
    std::nth_element(begin, p95, durations_.end());
    std::nth_element(begin, p50, p95);
    summary.p95_cycles = *p95;
    summary.p50_cycles = *p50;
  }
  summary.maximum_cycles = maximum_cycles_;
  summary.first_offset = first_offset_;
  summary.last_offset = last_offset_;
  return summary;
}

}  // namespace zun_profile
