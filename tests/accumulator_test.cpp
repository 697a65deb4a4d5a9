#include "query/accumulator.hpp"

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "query/statistics.hpp"

namespace zun_profile {
namespace {

// Intervals as the engine feeds them: several tiles, each in time order from
// its own zero, so lists restart, overlap and run back to back.
std::vector<Interval> tile_streams(std::mt19937_64& random, int tiles,
                                   int per_tile, std::uint64_t max_gap,
                                   std::uint64_t max_length) {
  std::vector<Interval> intervals;
  for (int t = 0; t < tiles; ++t) {
    std::uint64_t at = random() % (max_gap + 1);
    for (int i = 0; i < per_tile; ++i) {
      const std::uint64_t length = random() % (max_length + 1);
      intervals.push_back({at, at + length});
      at += length + (random() % 3 == 0 ? random() % (max_gap + 1) : 0);
    }
  }
  return intervals;
}

TEST(PhaseCoverageTest, MatchesTheUnionOfEverythingAdded) {
  std::mt19937_64 random(7);
  const struct {
    int tiles, per_tile;
    std::uint64_t max_gap, max_length;
  } shapes[] = {{1, 1, 0, 0},      {1, 500, 5, 10}, {40, 30, 50, 20},
                {200, 3, 1000, 5}, {5, 400, 0, 3},  {300, 1, 0, 100000},
                {64, 64, 4, 0}};
  for (const auto& shape : shapes) {
    for (int round = 0; round < 20; ++round) {
      std::vector<Interval> intervals = tile_streams(
          random, shape.tiles, shape.per_tile, shape.max_gap, shape.max_length);
      if (round % 2 == 1) {  // also fully out of order
        std::shuffle(intervals.begin(), intervals.end(), random);
      }
      PhaseCoverage coverage;
      for (const Interval& interval : intervals) {
        coverage.add(interval.first, interval.second);
      }
      EXPECT_EQ(coverage.length(), union_length(intervals))
          << shape.tiles << "x" << shape.per_tile << " round " << round;
    }
  }
  EXPECT_EQ(PhaseCoverage().length(), 0u);
}

TEST(DurationSpreadTest, ReadsTheSameRanksAsASortedList) {
  std::mt19937_64 random(5);
  // Narrow spreads stay counted; wide ones, or ones near 2^32, get listed.
  const struct {
    std::uint32_t base;
    std::uint64_t spread;
    int count;
  } shapes[] = {{0, 1, 1},
                {7, 1, 1000},
                {20, 200, 5000},
                {0, 100000, 50},
                {0xFFFFFFFFu - 70, 71, 300},
                {0xFFFFFFF0u, 16, 9},
                {0, 1ull << 32, 200},
                {1000, 2000, 3},
                {500, 3000, 4000}};
  for (const auto& shape : shapes) {
    for (int round = 0; round < 10; ++round) {
      std::vector<std::uint32_t> durations;
      DurationSpread spread;
      for (int i = 0; i < shape.count; ++i) {
        // Now and then far outside the usual spread, either way.
        std::uint64_t value = shape.base + random() % shape.spread;
        if (round % 3 == 2 && i % 97 == 5) value = random() % (1ull << 32);
        durations.push_back(static_cast<std::uint32_t>(value));
        spread.add(durations.back());
      }
      std::sort(durations.begin(), durations.end());
      ASSERT_EQ(spread.count(), durations.size());
      for (std::size_t p : {0u, 1u, 50u, 95u, 99u, 100u}) {
        const std::size_t rank = percentile_rank(durations.size(), p);
        EXPECT_EQ(spread.at_rank(rank), durations[rank])
            << "base " << shape.base << " spread " << shape.spread << " round "
            << round << " p" << p;
      }
    }
  }
}

}  // namespace
}  // namespace zun_profile
