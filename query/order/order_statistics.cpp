#include "query/order/order_statistics.hpp"

#include <algorithm>
#include <bit>

namespace zun_profile::detail {
namespace {

// Few values sort faster than anything cleverer.
constexpr std::size_t kSortBelow = 48;

// Selection in a wide range goes by buckets of this many top bits: 2048
// counters stay in the first-level cache.
constexpr std::uint32_t kBucketBits = 11;

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
  return select_in_buckets(values, low_rank, high_rank, least, most, counts);
}

RankPair select_in_buckets(std::span<std::uint32_t> values,
                           std::size_t low_rank, std::size_t high_rank,
                           std::uint32_t least, std::uint32_t most,
                           std::vector<std::size_t>& counts) {
  // Buckets of the top bits of (value - least), at most 2^kBucketBits.
  const auto width = static_cast<std::uint32_t>(std::bit_width(most - least));
  const std::uint32_t shift = width > kBucketBits ? width - kBucketBits : 0;
  counts.assign(std::size_t{(most - least) >> shift} + 1, 0);
  for (const std::uint32_t value : values) ++counts[(value - least) >> shift];

  // The bucket of each rank, and how many values lie in the buckets below.
  std::size_t low_bucket = 0;
  std::size_t below_low = 0;
  std::size_t high_bucket = 0;
  std::size_t below_high = 0;
  std::size_t below = 0;
  bool low_found = false;
  for (std::size_t bucket = 0; bucket < counts.size(); ++bucket) {
    const std::size_t after = below + counts[bucket];
    if (!low_found && after > low_rank) {
      low_bucket = bucket;
      below_low = below;
      low_found = true;
    }
    if (after > high_rank) {
      high_bucket = bucket;
      below_high = below;
      break;
    }
    below = after;
  }

  // Gather the values of those buckets (the low one first) and select
  // within each alone: its range is 2^kBucketBits times narrower.
  const std::size_t low_count = counts[low_bucket];
  const std::size_t high_count =
      high_bucket == low_bucket ? 0 : counts[high_bucket];
  std::vector<std::uint32_t> chosen(low_count + high_count);
  std::size_t at_low = 0;
  std::size_t at_high = low_count;
  for (const std::uint32_t value : values) {
    const std::size_t bucket = (value - least) >> shift;
    if (bucket == low_bucket) {
      chosen[at_low++] = value;
    } else if (bucket == high_bucket) {
      chosen[at_high++] = value;
    }
  }
  const auto bucket_least = [&](std::size_t bucket) {
    return static_cast<std::uint32_t>(least + (bucket << shift));
  };
  const auto bucket_most = [&](std::size_t bucket) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(
        std::uint64_t{bucket_least(bucket)} + ((std::uint64_t{1} << shift) - 1),
        most));
  };
  const std::span<std::uint32_t> low_values(chosen.data(), low_count);
  if (high_bucket == low_bucket) {
    return values_at_ranks(low_values, low_rank - below_low,
                           high_rank - below_low, bucket_least(low_bucket),
                           bucket_most(low_bucket), counts);
  }
  const std::uint32_t low =
      values_at_ranks(low_values, low_rank - below_low, low_rank - below_low,
                      bucket_least(low_bucket), bucket_most(low_bucket), counts)
          .low;
  const std::uint32_t high =
      values_at_ranks(std::span(chosen.data() + low_count, high_count),
                      high_rank - below_high, high_rank - below_high,
                      bucket_least(high_bucket), bucket_most(high_bucket),
                      counts)
          .low;
  return {low, high};
}

}  // namespace zun_profile::detail
