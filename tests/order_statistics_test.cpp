#include "query/order/order_statistics.hpp"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "query/order/statistics.hpp"

namespace zun_profile::detail {
namespace {

// Every way of selecting (sorting few values, counting a narrow range,
// selecting in a wide one) against a plain sort.
TEST(ValuesAtRanksTest, AgreesWithSortingOnEveryShape) {
  std::mt19937_64 random(5);
  const struct {
    const char* shape;
    std::size_t count;
    std::uint32_t least;
    std::uint64_t spread;  // values in [least, least + spread)
  } cases[] = {
      {"one", 1, 7, 1},
      {"few", 20, 0, 1000},
      {"narrow", 5000, 20, 200},
      {"constant", 3000, 42, 1},
      {"wide", 5000, 1, 1000000},
      {"full range", 4000, 0, 1ull << 32},
      {"top of the range", 300, UINT32_MAX - 100, 101},
      {"just wider than counting pays", 100, 0, 4097},
      {"wide, few buckets hold all", 6000, 1000, 1u << 30},
  };
  std::vector<std::size_t> counts;
  for (const auto& c : cases) {
    std::vector<std::uint32_t> values(c.count);
    for (std::uint32_t& value : values) {
      value = static_cast<std::uint32_t>(c.least + random() % c.spread);
    }
    if (c.spread == (1u << 30)) {
      // Log-uniform: most values crowd the lowest buckets of the range, so
      // both ranks fall in one of them, or in two, and need a second round.
      for (std::uint32_t& value : values) {
        value = static_cast<std::uint32_t>(
            c.least + (random() % c.spread >> random() % 30));
      }
    }
    std::vector<std::uint32_t> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    for (const auto& [p, q] : {std::pair{50, 95}, std::pair{0, 100},
                               std::pair{95, 95}, std::pair{10, 11}}) {
      const std::size_t low =
          percentile_rank(c.count, static_cast<std::size_t>(p));
      const std::size_t high =
          percentile_rank(c.count, static_cast<std::size_t>(q));
      std::vector<std::uint32_t> work = values;
      const RankPair ranks = values_at_ranks(work, low, high, sorted.front(),
                                             sorted.back(), counts);
      EXPECT_EQ(ranks.low, sorted[low]) << c.shape << " p" << p;
      EXPECT_EQ(ranks.high, sorted[high]) << c.shape << " p" << q;
    }
  }
}

// The bucketed selection where both ranks sit in the first or the last
// bucket, in a bucket holding nearly every value, and in two buckets far
// apart, at the extremes of the 32-bit range.
TEST(ValuesAtRanksTest, SelectsInBucketsAtTheEdges) {
  std::vector<std::size_t> counts;
  std::vector<std::uint32_t> values;
  for (std::uint32_t i = 0; i < 500; ++i) values.push_back(i % 7);
  for (std::uint32_t i = 0; i < 500; ++i) values.push_back(UINT32_MAX - i % 3);
  std::vector<std::uint32_t> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  for (const auto& [low, high] : {std::pair<std::size_t, std::size_t>{0, 0},
                                  {0, 999},
                                  {499, 500},
                                  {250, 260},
                                  {999, 999},
                                  {10, 990}}) {
    std::vector<std::uint32_t> work = values;
    const RankPair ranks =
        select_in_buckets(work, low, high, 0, UINT32_MAX, counts);
    EXPECT_EQ(ranks.low, sorted[low]) << low;
    EXPECT_EQ(ranks.high, sorted[high]) << high;
  }
}

}  // namespace
}  // namespace zun_profile::detail
