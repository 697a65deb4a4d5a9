#include "query/order_statistics.hpp"

#include <algorithm>

namespace zun_profile {
namespace {

// Few values sort faster than anything cleverer.
constexpr std::size_t kSortBelow = 48;

// Counting pays while its counters are not many more than the values.
bool counts_pay(std::size_t values, std::uint64_t range) {
  return range <= std::max<std::uint64_t>(4096, 2 * std::uint64_t{values}) &&
         range <= (std::uint64_t{1} << 22);
}

}  // namespace

RankPair ranks_in_histogram(std::vector<std::size_t>& counts, std::size_t first,
                            std::size_t last, std::size_t low_rank,
                            std::size_t high_rank, std::uint32_t least) {
  RankPair result;
  std::size_t seen = 0;
  bool low_found = false;
  for (std::size_t slot = first; slot <= last; ++slot) {
    seen += counts[slot];
    counts[slot] = 0;
    if (!low_found && seen > low_rank) {
      result.low = static_cast<std::uint32_t>(least + slot);
      low_found = true;
    }
    if (seen > high_rank) {
      result.high = static_cast<std::uint32_t>(least + slot);
      for (++slot; slot <= last; ++slot) counts[slot] = 0;
      break;
    }
  }
  return result;
}

RankPair values_at_ranks(std::span<std::uint32_t> values, std::size_t low_rank,
                         std::size_t high_rank, std::uint32_t least,
                         std::uint32_t most, std::vector<std::size_t>& counts) {
  if (values.size() < kSortBelow) {
    std::sort(values.begin(), values.end());
    return {values[low_rank], values[high_rank]};
  }
  const std::uint64_t range = std::uint64_t{most} - least + 1;
  if (counts_pay(values.size(), range)) {
    counts.assign(static_cast<std::size_t>(range), 0);
    for (const std::uint32_t value : values) ++counts[value - least];
    return ranks_in_histogram(counts, 0, static_cast<std::size_t>(range - 1),
                              low_rank, high_rank, least);
  }
  const auto low = values.begin() + static_cast<std::ptrdiff_t>(low_rank);
  std::nth_element(values.begin(), low, values.end());
  RankPair result{*low, *low};
  if (high_rank > low_rank) {
    // Everything after the low rank is at least as large: select there.
    const auto high = values.begin() + static_cast<std::ptrdiff_t>(high_rank);
    std::nth_element(low + 1, high, values.end());
    result.high = *high;
  }
  return result;
}

}  // namespace zun_profile
