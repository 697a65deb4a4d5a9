#include "frontend_core/diff/diff.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/random_case.hpp"

namespace profile_query {
namespace {

using zun_profile::GroupSummary;
using zun_profile::QueryReport;

TEST(DiffThreshold, ReadsPercentagesExactly) {
  EXPECT_EQ(parse_threshold("10")->millionths, 10'000'000u);
  EXPECT_EQ(parse_threshold("2.5")->millionths, 2'500'000u);
  EXPECT_EQ(parse_threshold("0")->millionths, 0u);
  EXPECT_EQ(parse_threshold("0.000001")->millionths, 1u);
  EXPECT_EQ(parse_threshold("1000000000")->millionths, 1'000'000'000'000'000u);
  EXPECT_EQ(parse_threshold("7.25")->text, "7.25");
  for (const char* bad : {"", ".", "1.", ".5", "1e3", "-1", "+1", "5%", " 5",
                          "1.0000001", "1000000001", "12345678901"}) {
    EXPECT_FALSE(parse_threshold(bad)) << bad;
  }
}

GroupSummary group(std::string name, std::uint64_t phase_cycles) {
  GroupSummary summary;
  summary.name = std::move(name);
  summary.phase_cycles = phase_cycles;
  summary.sample_count = 1;
  return summary;
}

QueryReport answer(std::vector<GroupSummary> groups) {
  QueryReport result;
  result.groups = std::move(groups);
  return result;
}

std::size_t failing(const DiffReport& report, const char* percent) {
  return regressions(report, *parse_threshold(percent)).size();
}

// Growth exactly at the threshold holds; a hair above fails. An added group
// is measured against the base's total; shrinking never fails.
TEST(DiffGate, ComparesAtTheBoundaryExactly) {
  const DiffReport grown =
      diff_results(answer({group("a", 100), group("b", 90)}),
                   answer({group("a", 130), group("b", 10)}),
                   zun_profile::SortBy::PhaseCycles, "base", "new");
  EXPECT_EQ(failing(grown, "30"), 0u);
  EXPECT_EQ(failing(grown, "29.999999"), 1u);

  // Base total 190: 10% of it is 19.
  const DiffReport added =
      diff_results(answer({group("a", 100), group("b", 90)}),
                   answer({group("a", 100), group("b", 90), group("c", 19)}),
                   zun_profile::SortBy::PhaseCycles, "base", "new");
  EXPECT_EQ(failing(added, "10"), 0u);
  const DiffReport more =
      diff_results(answer({group("a", 100), group("b", 90)}),
                   answer({group("a", 100), group("b", 90), group("c", 20)}),
                   zun_profile::SortBy::PhaseCycles, "base", "new");
  const auto lines = regressions(more, *parse_threshold("10"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "\"c\": added with phase_cycles 20, above 10% of the base's total");

  // From nothing, any growth fails; figures near 2^64 do not overflow.
  const DiffReport extreme =
      diff_results(answer({group("zero", 0), group("huge", UINT64_MAX - 1)}),
                   answer({group("zero", 1), group("huge", UINT64_MAX)}),
                   zun_profile::SortBy::PhaseCycles, "base", "new");
  EXPECT_EQ(failing(extreme, "1000000000"), 1u);
  EXPECT_EQ(failing(extreme, "0"), 2u);
  EXPECT_EQ(extreme.rows[0].name, "huge");
  EXPECT_EQ(extreme.rows[0].delta, 1u);
  EXPECT_FALSE(extreme.rows[1].percent);
}

const GroupSummary* find(const QueryReport& result, const std::string& name) {
  for (const GroupSummary& g : result.groups) {
    if (g.name == name) return &g;
  }
  return nullptr;
}

std::uint64_t key(const GroupSummary& g, zun_profile::SortBy sort_by) {
  switch (sort_by) {
    case zun_profile::SortBy::WorkCycles:
      return g.work_cycles;
    case zun_profile::SortBy::MaximumCycles:
      return g.maximum_cycles;
    case zun_profile::SortBy::Samples:
      return g.sample_count;
    default:
      return g.phase_cycles;
  }
}

// Every row of a diff against two independent queries: its figures, its
// presence, its delta and sign, its percentage; and the order.
TEST(DiffRows, EveryDeltaIsTheDifferenceOfTwoQueries) {
  for (std::uint64_t seed = 1; seed <= 1500; ++seed) {
    zun_profile::support::Entropy entropy(seed);
    const auto base_report = zun_profile::support::random_report(entropy);
    const auto new_report = zun_profile::support::random_report(entropy);
    zun_profile::Query request =
        zun_profile::support::random_query(entropy, base_report);
    request.limit.reset();
    const QueryReport base = zun_profile::query(base_report, request);
    const QueryReport after = zun_profile::query(new_report, request);
    const DiffReport diff =
        diff_results(base, after, request.sort_by, "b", "n");

    std::size_t both = 0;
    for (const GroupSummary& g : base.groups) {
      if (find(after, g.name) != nullptr) ++both;
    }
    ASSERT_EQ(diff.rows.size(),
              base.groups.size() + after.groups.size() - both);
    ASSERT_EQ(diff.added_count, after.groups.size() - both);
    ASSERT_EQ(diff.removed_count, base.groups.size() - both);
    for (std::size_t i = 0; i < diff.rows.size(); ++i) {
      const DiffRow& row = diff.rows[i];
      const GroupSummary* in_base = find(base, row.name);
      const GroupSummary* in_new = find(after, row.name);
      ASSERT_TRUE(in_base || in_new);
      ASSERT_EQ(row.presence, !in_base  ? Presence::Added
                              : !in_new ? Presence::Removed
                                        : Presence::Both);
      const std::uint64_t b = in_base ? key(*in_base, request.sort_by) : 0;
      const std::uint64_t n = in_new ? key(*in_new, request.sort_by) : 0;
      ASSERT_EQ(row.base.key, b) << "seed " << seed;
      ASSERT_EQ(row.after.key, n) << "seed " << seed;
      ASSERT_EQ(row.base.work_cycles, in_base ? in_base->work_cycles : 0);
      ASSERT_EQ(row.after.p95_cycles, in_new ? in_new->p95_cycles : 0);
      ASSERT_EQ(row.grew, n > b);
      ASSERT_EQ(row.delta, n > b ? n - b : b - n);
      if (b == 0) {
        ASSERT_EQ(row.percent.has_value(), n == 0);
      } else {
        ASSERT_DOUBLE_EQ(*row.percent,
                         (static_cast<double>(n) - static_cast<double>(b)) /
                             static_cast<double>(b) * 100.0);
      }
      if (i > 0) {
        const DiffRow& previous = diff.rows[i - 1];
        ASSERT_TRUE(previous.delta > row.delta ||
                    (previous.delta == row.delta && previous.name < row.name))
            << "seed " << seed << " row " << i;
      }
    }
  }
}

}  // namespace
}  // namespace profile_query
