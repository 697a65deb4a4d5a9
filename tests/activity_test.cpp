#include "query/activity.hpp"

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/builders.hpp"
#include "tests/support/compare.hpp"
#include "tests/support/oracle.hpp"
#include "tests/support/random_case.hpp"

namespace zun_profile {
namespace {

using support::in_phase;
using support::run;
using support::tile;
using Cycles = std::vector<std::uint64_t>;

// Span 100 cycles in 4 buckets of 25: a run across three buckets lands in
// the first and last in part and fills the one between; another tile's run
// in the same group adds to it.
TEST(ActivityTest, SplitsRunsAcrossBucketsAndAddsOverlaps) {
  zun_package::ProfileReport report;
  report.clock_hz = 1000;
  report.tiles.push_back(tile(
      0, {run(1000, 1010, "a"), run(1010, 1090, "b"), run(1090, 1100, "a")}));
  report.tiles.push_back(tile(1, {run(50, 70, "b")}));

  const ActivityReport result = activity(report, Query{}, 4);
  EXPECT_EQ(result.clock_hz, 1000u);
  EXPECT_EQ(result.profile_span_cycles, 100u);
  EXPECT_EQ(result.bucket_cycles, 25u);
  ASSERT_EQ(result.bucket_count, 4u);
  ASSERT_EQ(result.groups.size(), 2u);
  EXPECT_EQ(result.groups[0].name, "b");
  // b: [10, 90) on tile 0 and [0, 20) on tile 1.
  EXPECT_EQ(result.groups[0].busy_cycles, (Cycles{15 + 20, 25, 25, 15}));
  EXPECT_EQ(result.groups[1].name, "a");
  EXPECT_EQ(result.groups[1].busy_cycles, (Cycles{10, 0, 0, 10}));
  EXPECT_EQ(result.other_cycles, (Cycles{0, 0, 0, 0}));
  EXPECT_EQ(result.other_group_count, 0u);
}

// The last bucket takes the remainder; groups past the limit are summed.
TEST(ActivityTest, LastBucketTakesTheRemainderAndTheRestIsOther) {
  zun_package::ProfileReport report;
  report.tiles.push_back(tile(0, {run(0, 40, "a"), run(40, 50, "b"),
                                  run(50, 53, "c"), run(53, 103, "a")}));
  Query request;
  request.limit = 1;
  const ActivityReport result = activity(report, request, 3);
  EXPECT_EQ(result.bucket_cycles, 34u);
  ASSERT_EQ(result.groups.size(), 1u);
  EXPECT_EQ(result.groups[0].name, "a");
  EXPECT_EQ(result.groups[0].busy_cycles, (Cycles{34, 6 + 15, 35}));
  EXPECT_EQ(result.other_cycles, (Cycles{0, 13, 0}));
  EXPECT_EQ(result.other_group_count, 2u);
}

// Bucket counts stay sensible: none asked gives one, more than the span's
// cycles gives one per cycle, an empty report gives zeros.
TEST(ActivityTest, KeepsBucketCountsSensible) {
  zun_package::ProfileReport report;
  report.tiles.push_back(tile(7, {run(10, 13, "a")}));
  const ActivityReport one = activity(report, Query{}, 0);
  EXPECT_EQ(one.bucket_count, 1u);
  EXPECT_EQ(one.groups[0].busy_cycles, (Cycles{3}));

  const ActivityReport fine = activity(report, Query{}, 1000);
  EXPECT_EQ(fine.bucket_count, 3u);
  EXPECT_EQ(fine.bucket_cycles, 1u);
  EXPECT_EQ(fine.groups[0].busy_cycles, (Cycles{1, 1, 1}));

  const ActivityReport empty = activity(zun_package::ProfileReport{}, {}, 5);
  EXPECT_EQ(empty.bucket_count, 5u);
  EXPECT_EQ(empty.bucket_cycles, 0u);
  EXPECT_TRUE(empty.groups.empty());
  EXPECT_EQ(empty.other_cycles, Cycles(5, 0));
}

// A counter that wraps within a tile, and the longest duration, whose run
// ends near 2^33 past a late start on another tile.
TEST(ActivityTest, FollowsWrappedCountersToTheFarEnd) {
  zun_package::ProfileReport report;
  report.tiles.push_back(tile(0, {in_phase(run(0xFFFFFFF0u, 0x10u, "w"), 1)}));
  report.tiles.push_back(
      tile(1, {run(5, 6, "x"), run(0xFFFFFFFFu, 0xFFFFFFFEu, "x")}));
  const ActivityReport result = activity(report, Query{}, 7);
  EXPECT_EQ(support::first_difference(
                result, support::reference_activity(report, {}, 7)),
            "");
  const QueryReport rows = query(report, Query{});
  for (std::size_t i = 0; i < rows.groups.size(); ++i) {
    const Cycles& busy = result.groups[i].busy_cycles;
    EXPECT_EQ(std::accumulate(busy.begin(), busy.end(), std::uint64_t{0}),
              rows.groups[i].work_cycles);
  }
}

// The engine's activity against the reference's on random reports and
// requests, with bucket counts from one to more than the span; every
// series sums to its group's work.
TEST(ActivityTest, MatchesTheReferenceOnRandomCases) {
  for (std::uint64_t seed = 1; seed <= 3000; ++seed) {
    support::Entropy entropy(seed);
    const zun_package::ProfileReport report = support::random_report(entropy);
    const Query request = support::random_query(entropy, report);
    const std::size_t buckets =
        entropy.below(4) == 0 ? static_cast<std::size_t>(entropy.below(3))
                              : static_cast<std::size_t>(1 + entropy.below(40));
    const ActivityReport actual = activity(report, request, buckets);
    // Both store layouts; version 2 with its step facts, where requests
    // that ask nothing of single samples take the step path.
    ASSERT_EQ(support::first_activity_difference_of_sources(
                  report,
                  zun_store::ReportStore::from_report(
                      report, seed % 2 == 0 ? zun_store::StoreVersion::v2
                                            : zun_store::StoreVersion::v1),
                  request, buckets),
              "")
        << "seed " << seed << " buckets " << buckets << "\n"
        << support::describe(report, request);

    Query rows_only = request;
    rows_only.sample_limit = 0;
    const QueryReport rows = query(report, rows_only);
    for (std::size_t i = 0; i < rows.groups.size(); ++i) {
      const Cycles& busy = actual.groups[i].busy_cycles;
      ASSERT_EQ(std::accumulate(busy.begin(), busy.end(), std::uint64_t{0}),
                rows.groups[i].work_cycles)
          << "seed " << seed;
    }
  }
}

}  // namespace
}  // namespace zun_profile
