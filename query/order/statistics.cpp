#include "query/order/statistics.hpp"

#include <algorithm>
#include <vector>

namespace zun_profile::detail {

std::uint64_t union_length(std::span<const Interval> intervals) {
  std::vector<Interval> runs;
  runs.reserve(intervals.size());
  // Empty and reversed pairs cover nothing; dropping them keeps every
  // difference below non-negative.
  for (const Interval& interval : intervals) {
    if (interval.first < interval.second) runs.push_back(interval);
  }
  if (runs.empty()) return 0;
  std::sort(runs.begin(), runs.end());

  std::uint64_t total = 0;
  std::uint64_t start = runs.front().first;
  std::uint64_t end = runs.front().second;
  for (const Interval& next : runs) {
    if (next.first <= end) {
      end = std::max(end, next.second);
    } else {
      total += end - start;
      start = next.first;
      end = next.second;
    }
  }
  return total + (end - start);
}

std::size_t percentile_rank(std::size_t count,
                            std::size_t percentage) noexcept {
  if (count == 0) return 0;
  const std::size_t p = std::min<std::size_t>(percentage, 100);
  // floor(last * p / 100) without forming last * p, which could overflow:
  // with last = 100q + r it is q * p + floor(r * p / 100).
  const std::size_t last = count - 1;
  return last / 100 * p + last % 100 * p / 100;
}

std::uint32_t percentile(std::span<const std::uint32_t> sorted,
                         std::size_t percentage) noexcept {
  if (sorted.empty()) return 0;
  return sorted[percentile_rank(sorted.size(), percentage)];
}

double quotient(std::uint64_t numerator, std::uint64_t denominator) noexcept {
  if (denominator == 0) return 0.0;
  return static_cast<double>(numerator) / static_cast<double>(denominator);
}

double cycles_to_ms(std::uint64_t cycles, std::uint64_t clock_hz) noexcept {
  if (clock_hz == 0) return 0.0;
  return static_cast<double>(cycles) * 1000.0 / static_cast<double>(clock_hz);
}

}  // namespace zun_profile::detail
