#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Exact order statistics of one group's durations, read once at the end of
// a query. Durations of one group usually span a narrow range, where
// counting them costs one increment each and no comparison; a wide range
// is narrowed by counting its top bits first.
namespace zun_profile::detail {

// The values at ranks `low_rank` <= `high_rank` (from 0, ascending) of
// `values`, all of which lie in [`least`, `most`]; the ranks must be below
// values.size(). Reorders `values`. `counts` is scratch, kept between calls
// so that many groups reuse one allocation.
struct RankPair {
  std::uint32_t low = 0;   // the value at low_rank
  std::uint32_t high = 0;  // the value at high_rank
};
RankPair values_at_ranks(std::span<std::uint32_t> values, std::size_t low_rank,
                         std::size_t high_rank, std::uint32_t least,
                         std::uint32_t most, std::vector<std::size_t>& counts);

// values_at_ranks for a range too wide to count: one pass counts the values
// by the top bits of (value - least), then only the values in the buckets
// holding the two ranks are gathered and searched, each in a range 2048
// times narrower. Two passes of plain increments and copies, with no
// data-dependent branch on the values' order.
RankPair select_in_buckets(std::span<std::uint32_t> values,
                           std::size_t low_rank, std::size_t high_rank,
                           std::uint32_t least, std::uint32_t most,
                           std::vector<std::size_t>& counts);

// The values at ranks `low_rank` <= `high_rank` of the values a histogram
// counts: counts[slot] values equal to least + slot, all within slots
// [first, last], more than high_rank of them. Clears those slots, so that
// the histogram serves the next set of values.
RankPair ranks_in_histogram(std::vector<std::size_t>& counts, std::size_t first,
                            std::size_t last, std::size_t low_rank,
                            std::size_t high_rank, std::uint32_t least);

}  // namespace zun_profile::detail
