#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "query/activity.hpp"
#include "query/query.hpp"
#include "tests/support/compare.hpp"
#include "tests/support/synthetic_report.hpp"

namespace zun_profile {
namespace {

// The series of an activity answer, flattened for comparing.
std::vector<std::uint64_t> flat(const ActivityReport& activity) {
  std::vector<std::uint64_t> cells = activity.other_cycles;
  for (const ActivitySeries& series : activity.groups) {
    cells.insert(cells.end(), series.busy_cycles.begin(),
                 series.busy_cycles.end());
  }
  return cells;
}

// Many threads query one shared, unchanging report and a store of it at
// once, and ask for their activity; every answer must equal the one computed alone. Run under
// ThreadSanitizer in CI.
TEST(ConcurrencyTest, ThreadsQueryingOneReportAgree) {
  const zun_package::ProfileReport report = support::synthetic_report(
      {.tiles = 24, .samples_per_tile = 300, .seed = 11});
  // A store of it, queried by the same threads: half of them ask it.
  const auto store = zun_store::ReportStore::from_report(report);
  std::vector<Query> requests(4);
  requests[1].group_by = GroupBy::Phase;
  requests[1].sample_limit = 20;
  requests[2].group_by = GroupBy::Metadata;
  requests[2].metadata_key = "block";
  requests[2].at_offset = 5000;
  requests[3].group_by = GroupBy::Tile;
  requests[3].kernel = "copy";
  requests[3].limit = 3;

  std::vector<QueryReport> alone;
  std::vector<std::vector<std::uint64_t>> alone_activity;
  for (const Query& request : requests) {
    alone.push_back(query(report, request));
    alone_activity.push_back(flat(activity(report, request, 40)));
  }

  constexpr int kThreads = 8;
  constexpr int kRounds = 5;
  std::vector<std::string> differences(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        for (std::size_t r = 0; r < requests.size(); ++r) {
          const std::size_t which =
              (r + static_cast<std::size_t>(t)) % requests.size();
          const bool stored = (t + round) % 2 == 1;
          std::string difference = support::first_difference(
              stored ? query(store, requests[which])
                     : query(report, requests[which]),
              alone[which]);
          if (flat(stored ? activity(store, requests[which], 40)
                          : activity(report, requests[which], 40)) !=
              alone_activity[which]) {
            difference += "activity differs";
          }
          if (!difference.empty() &&
              differences[static_cast<std::size_t>(t)].empty()) {
            differences[static_cast<std::size_t>(t)] =
                "request " + std::to_string(which) + ": " + difference;
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(differences[static_cast<std::size_t>(t)], "") << "thread " << t;
  }
}

}  // namespace
}  // namespace zun_profile
