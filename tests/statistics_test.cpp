#include "query/order/statistics.hpp"

#include <cstdint>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

namespace zun_profile::detail {
namespace {

TEST(UnionLengthTest, CountsCoveredCyclesOnce) {
  const struct {
    const char* label;
    std::vector<Interval> intervals;
    std::uint64_t length;
  } cases[] = {
      {"empty", {}, 0},
      {"one empty pair", {{5, 5}}, 0},
      {"overlapping", {{0, 10}, {5, 15}}, 15},
      {"touching", {{0, 5}, {5, 8}}, 8},
      {"unsorted, disjoint", {{20, 30}, {0, 10}}, 20},
      {"nested", {{0, 100}, {10, 20}, {30, 40}}, 100},
      {"duplicates", {{0, 10}, {0, 10}}, 10},
      {"same start", {{0, 4}, {0, 10}, {0, 2}}, 10},
      {"chain out of order", {{8, 12}, {0, 5}, {4, 9}}, 12},
      {"empty pairs inside and between", {{3, 3}, {0, 5}, {7, 7}, {9, 10}}, 6},
      {"reversed pair covers nothing", {{10, 2}, {0, 1}}, 1},
      {"only reversed", {{10, 2}}, 0},
      {"wide",
       {{0, 1ull << 33}, {(1ull << 33) - 1, (1ull << 33) + 5}},
       (1ull << 33) + 5},
  };
  for (const auto& c : cases) {
    const std::vector<Interval> before = c.intervals;
    EXPECT_EQ(union_length(c.intervals), c.length) << c.label;
    EXPECT_EQ(c.intervals, before) << c.label << ": input changed";
  }
}

TEST(PercentileTest, TakesTheElementAtTheRoundedDownRank) {
  std::vector<std::uint32_t> one_to_ten(10);
  std::iota(one_to_ten.begin(), one_to_ten.end(), 1u);
  std::vector<std::uint32_t> one_to_twenty(20);
  std::iota(one_to_twenty.begin(), one_to_twenty.end(), 1u);
  std::vector<std::uint32_t> one_to_hundred(100);
  std::iota(one_to_hundred.begin(), one_to_hundred.end(), 1u);
  const std::vector<std::uint32_t> ten_twenty = {10, 20};
  const std::vector<std::uint32_t> single = {42};
  const std::vector<std::uint32_t> empty;

  const struct {
    const std::vector<std::uint32_t>* values;
    std::size_t percentage;
    std::uint32_t expected;
  } cases[] = {
      {&empty, 0, 0},
      {&empty, 50, 0},
      {&empty, 100, 0},
      {&single, 0, 42},
      {&single, 50, 42},
      {&single, 100, 42},
      {&ten_twenty, 0, 10},
      {&ten_twenty, 50, 10},
      {&ten_twenty, 95, 10},
      {&ten_twenty, 100, 20},
      {&one_to_ten, 0, 1},
      {&one_to_ten, 50, 5},
      {&one_to_ten, 95, 9},
      {&one_to_ten, 100, 10},
      {&one_to_twenty, 95, 19},
      {&one_to_hundred, 95, 95},
      {&one_to_hundred, 50, 50},
      // Above 100 counts as 100: never past the last element.
      {&one_to_ten, 101, 10},
      {&one_to_ten, SIZE_MAX, 10},
      {&single, SIZE_MAX, 42},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(percentile(*c.values, c.percentage), c.expected)
        << "size " << c.values->size() << " at " << c.percentage;
  }

  // Not sorted: the element at the computed position, as given.
  const std::vector<std::uint32_t> unsorted = {30, 10, 20};
  EXPECT_EQ(percentile(unsorted, 50), 10u);
}

TEST(CyclesToMsTest, ConvertsInDoublePrecision) {
  EXPECT_EQ(cycles_to_ms(12345, 0), 0.0);
  EXPECT_EQ(cycles_to_ms(UINT64_MAX, 0), 0.0);
  EXPECT_EQ(cycles_to_ms(0, 1000000000), 0.0);
  EXPECT_EQ(cycles_to_ms(1000000, 1000000000), 1.0);
  EXPECT_EQ(cycles_to_ms(1, 3), 1000.0 / 3.0);
  EXPECT_EQ(cycles_to_ms(30, 1000000000), 30 * 1000.0 / 1e9);
  EXPECT_EQ(cycles_to_ms(7, 1500000000), 7000.0 / 1500000000.0);
  // Multiplying first, then dividing: the other order differs in the last
  // bit for this input.
  EXPECT_EQ(cycles_to_ms(1, 13), 1000.0 / 13.0);
  EXPECT_NE(cycles_to_ms(1, 13), 1.0 / 13.0 * 1000.0);
}

}  // namespace
}  // namespace zun_profile::detail
