#include "query/accumulator.hpp"

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

}  // namespace
}  // namespace zun_profile
