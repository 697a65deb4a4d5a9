#include "query/parallel.hpp"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "query/query.hpp"
#include "tests/support/builders.hpp"
#include "tests/support/compare.hpp"
#include "tests/support/oracle.hpp"

namespace zun_profile {
namespace {

using support::in_phase;
using support::run;
using support::tile;

// Runs every task in order on the calling thread.
void in_order(std::size_t count, const std::function<void(std::size_t)>& task) {
  for (std::size_t i = 0; i < count; ++i) task(i);
}

// `request` over `report` cut for 1 to 4 threads, from both sources,
// against the reference; the first difference, or empty.
std::string difference_in_parts(const zun_package::ProfileReport& report,
                                const Query& request) {
  const auto store = zun_store::ReportStore::from_report(report);
  const QueryReport expected = support::reference_query(report, request);
  for (std::size_t threads = 1; threads <= 4; ++threads) {
    std::string difference = support::first_difference(
        query(store, request, threads, in_order), expected);
    if (difference.empty()) {
      difference = support::first_difference(
          query(report, request, threads, in_order), expected);
    }
    if (!difference.empty()) {
      std::string how = std::to_string(threads);
      how.append(" threads: ").append(difference);
      return how;
    }
  }
  return {};
}

// The second tile meets two thousand groups of its own before those the
// first tile met: its range numbers them past the groups that have a
// bucket of their own, while the joint ids are small. Its phases also pass
// the small record layout in one range only, so that the ranges' records
// come in different layouts.
TEST(QueryInParts, JoinsGroupsNumberedDifferentlyByEachRange) {
  std::vector<zun_package::CycleSample> first;
  std::vector<zun_package::CycleSample> second;
  for (std::uint32_t p = 0; p < 50; ++p) {
    constexpr const char* kKernels[] = {"k0", "k1", "k2"};
    first.push_back(in_phase(run(10 * p, 10 * p + 7, kKernels[p % 3]), p));
  }
  for (std::uint32_t p = 0; p < 2000; ++p) {
    second.push_back(in_phase(run(5 * p, 5 * p + 3, "k1"), 1000 + p * 400));
  }
  for (std::uint32_t p = 0; p < 50; ++p) {
    second.push_back(in_phase(run(20000 + 10 * p, 20000 + 10 * p + 9, "k2"), p));
  }
  zun_package::ProfileReport report;
  report.clock_hz = 1000;
  report.tiles.push_back(tile(3, first));
  report.tiles.push_back(tile(4, second));
  report.tiles.push_back(tile(3, first));  // tile 3 again: its groups' tiles
  for (const GroupBy by : {GroupBy::Phase, GroupBy::Kernel, GroupBy::Tile}) {
    Query request;
    request.group_by = by;
    request.sample_limit = 7;
    EXPECT_EQ(difference_in_parts(report, request), "")
        << "group_by " << static_cast<int>(by);
  }
}

TEST(QueryInParts, AnswersReportsWithoutSamplesOrWithEmptyTiles) {
  zun_package::ProfileReport report;
  report.clock_hz = 1000;
  EXPECT_EQ(difference_in_parts(report, Query{}), "");
  report.tiles.push_back(tile(0, {}));
  report.tiles.push_back(tile(1, {run(0, 5), run(2, 9, "j")}));
  report.tiles.push_back(tile(2, {}));
  report.tiles.push_back(tile(3, {}));
  report.tiles.push_back(tile(1, {run(1, 4)}));
  EXPECT_EQ(difference_in_parts(report, Query{}), "");
  Query none;
  none.kernel = "absent";  // selects nothing
  EXPECT_EQ(difference_in_parts(report, none), "");
  // More tasks than tiles, as many threads as a size holds, no thread at
  // all, and no runner.
  const auto store = zun_store::ReportStore::from_report(report);
  const QueryReport expected = support::reference_query(report, Query{});
  for (const std::size_t threads : {std::size_t{99}, SIZE_MAX, std::size_t{0}}) {
    EXPECT_EQ(support::first_difference(
                  query(store, Query{}, threads, in_order), expected),
              "")
        << threads << " threads";
  }
  EXPECT_EQ(support::first_difference(
                query(store, Query{}, 2, TaskRunner{}), expected),
            "");
}

TEST(QueryInParts, RefusesARunnerThatSkipsTasks) {
  zun_package::ProfileReport report;
  report.tiles.push_back(tile(0, {run(0, 5)}));
  report.tiles.push_back(tile(1, {run(0, 5)}));
  const auto store = zun_store::ReportStore::from_report(report);
  const TaskRunner lazy = [](std::size_t count,
                             const std::function<void(std::size_t)>& task) {
    for (std::size_t i = 1; i < count; ++i) task(i);
  };
  EXPECT_THROW(query(store, Query{}, 2, lazy), std::logic_error);
  // A task run twice, or one past the count, is not run again.
  const TaskRunner eager = [](std::size_t count,
                              const std::function<void(std::size_t)>& task) {
    for (std::size_t i = 0; i <= count; ++i) task(i);
    task(0);
  };
  EXPECT_EQ(support::first_difference(query(store, Query{}, 2, eager),
                                      support::reference_query(report, Query{})),
            "");
}

}  // namespace
}  // namespace zun_profile
