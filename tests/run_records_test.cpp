#include "query/runs/run_records.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "query/order/statistics.hpp"
#include "query/runs/tile_count.hpp"

namespace zun_profile::detail {
namespace {

struct TestRun {  // one record, as added
  std::uint32_t group, phase, epoch, start, duration;
};

// The figures of each group, the plain way: lists in maps, union_length,
// a sorted copy for the percentiles.
std::vector<GroupFigures> plain_figures(const std::vector<TestRun>& runs,
                                        std::size_t groups) {
  std::vector<GroupFigures> figures(groups);
  std::vector<
      std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<Interval>>>
      lists(groups);
  std::vector<std::vector<std::uint32_t>> durations(groups);
  for (auto& f : figures) f.first_offset = UINT32_MAX;
  for (const TestRun& r : runs) {
    GroupFigures& f = figures[r.group];
    const std::uint64_t end = std::uint64_t{r.start} + r.duration;
    lists[r.group][{r.phase, r.epoch}].push_back({r.start, end});
    durations[r.group].push_back(r.duration);
    ++f.sample_count;
    f.work_cycles += r.duration;
    f.maximum_cycles = std::max(f.maximum_cycles, r.duration);
    f.first_offset = std::min(f.first_offset, r.start);
    f.last_offset = std::max(f.last_offset, end);
  }
  for (std::size_t g = 0; g < groups; ++g) {
    figures[g].phase_count = lists[g].size();
    for (const auto& [key, intervals] : lists[g]) {
      figures[g].phase_cycles += union_length(intervals);
    }
    std::sort(durations[g].begin(), durations[g].end());
    figures[g].p50_cycles = percentile(durations[g], 50);
    figures[g].p95_cycles = percentile(durations[g], 95);
  }
  return figures;
}

void expect_same(const GroupFigures& a, const GroupFigures& b,
                 const std::string& where) {
  EXPECT_EQ(a.sample_count, b.sample_count) << where;
  EXPECT_EQ(a.phase_count, b.phase_count) << where;
  EXPECT_EQ(a.phase_cycles, b.phase_cycles) << where;
  EXPECT_EQ(a.work_cycles, b.work_cycles) << where;
  EXPECT_EQ(a.maximum_cycles, b.maximum_cycles) << where;
  EXPECT_EQ(a.first_offset, b.first_offset) << where;
  EXPECT_EQ(a.last_offset, b.last_offset) << where;
  EXPECT_EQ(a.p50_cycles, b.p50_cycles) << where;
  EXPECT_EQ(a.p95_cycles, b.p95_cycles) << where;
}

// Each way through summarize: keys that pack into 64 bits (sorted or
// already in order), keys too wide for that, narrow and wide durations,
// few and many groups, groups of one run, runs folded into the record
// before them.
TEST(RunRecordsTest, SummarizeMatchesThePlainFigures) {
  const struct {
    const char* shape;
    std::size_t runs;
    std::uint32_t groups;
    std::uint64_t phases;  // phase values drawn below this
    std::uint64_t epochs;
    std::uint64_t durations;  // durations drawn below this
    bool in_order;            // runs added in key order
    bool back_to_back;        // runs of 16 that touch, as on one tile
    // From this run on, phases are too large for the small layout, so the
    // records written so far move to the wide one (0: never).
    std::size_t widen_from = 0;
  } cases[] = {
      {"interleaved", 20000, 24, 32, 4, 200, false, false},
      {"wide durations", 20000, 24, 32, 4, 1ull << 32, false, false},
      {"already in order", 5000, 3, 4, 1, 100, true, false},
      {"phases and epochs over 32 bits", 5000, 7, 1ull << 32, 1ull << 32, 1000,
       false, false},
      {"a group per run", 3000, 3000, 2, 1, 300, false, false},
      // Groups of one run among groups of several, in own buckets and in
      // the shared one: one-run groups take a shortcut past the sweep.
      {"mostly a run a group", 4000, 3000, 32, 4, 200, false, false},
      {"one run", 1, 1, 1, 1, 1, false, false},
      {"back to back", 20000, 24, 1, 1, 200, false, true},
      {"back to back, wide durations", 5000, 5, 1, 1, 1ull << 32, false, true},
      {"back to back, wide phases", 5000, 5, 1ull << 32, 1ull << 32, 300, false,
       true},
      {"largest small phases and epochs", 5000, 5, 1u << 19, 1u << 12, 300,
       false, false},
      {"phases past the small layouts", 20000, 5, (1u << 19) + 2, 4, 300, false,
       false},
      {"shared bucket, widened midway", 6000, 3000, 32, 4, 200, false, false,
       4000},
      {"epochs past the small layout", 20000, 5, 4, 4097, 300, false, false},
      {"widened midway", 20000, 24, 32, 4, 200, false, false, 7000},
      {"back to back, widened midway", 20000, 24, 1, 1, 200, false, true, 9001},
  };
  std::mt19937_64 random(3);
  for (const auto& c : cases) {
    std::vector<TestRun> runs(c.runs);
    for (std::size_t i = 0; i < c.runs; ++i) {
      runs[i] = {
          static_cast<std::uint32_t>(i < c.groups ? i : random() % c.groups),
          static_cast<std::uint32_t>(random() % c.phases),
          static_cast<std::uint32_t>(random() % c.epochs),
          static_cast<std::uint32_t>(random() % 100000),
          static_cast<std::uint32_t>(random() % c.durations)};
    }
    if (c.back_to_back) {
      // Runs of 16 of one group, phase and epoch, each starting where the
      // last ended or inside it: they fold into few records.
      std::uint32_t at = 0;
      for (std::size_t i = 0; i < c.runs; ++i) {
        if (i % 16 != 0) {
          runs[i].group = runs[i - 1].group;
          runs[i].phase = runs[i - 1].phase;
          runs[i].epoch = runs[i - 1].epoch;
        }
        runs[i].start = at - static_cast<std::uint32_t>(
                                 i % 3 == 0 ? 0
                                            : std::min<std::uint32_t>(
                                                  at, runs[i].duration / 2));
        at = runs[i].start + runs[i].duration % 1000;
      }
    }
    if (c.widen_from > 0) {
      for (std::size_t i = c.widen_from; i < c.runs; ++i) {
        runs[i].phase |= 1u << 20;
      }
    }
    if (c.in_order) {
      std::sort(runs.begin(), runs.end(),
                [](const TestRun& a, const TestRun& b) {
                  return std::tie(a.group, a.phase, a.epoch, a.start) <
                         std::tie(b.group, b.phase, b.epoch, b.start);
                });
    }
    RunRecords records(runs.size());
    for (const TestRun& r : runs) {
      records.add(r.group, r.phase, r.epoch, r.start, r.duration);
    }
    std::vector<GroupFigures> figures(c.groups);
    records.summarize(figures);
    const std::vector<GroupFigures> expected = plain_figures(runs, c.groups);
    for (std::size_t g = 0; g < c.groups; ++g) {
      expect_same(figures[g], expected[g],
                  std::string(c.shape) + ", group " + std::to_string(g));
    }
  }
}

TEST(TileCountTest, CountsDistinctNumbersAndOneWithoutVisits) {
  std::vector<GroupFigures> figures(4);
  // Group 0: tiles 5, 3, 5 (a repeated number); group 2: 1, 2 in order;
  // groups 1 and 3 met one tile number only, so they have no visits.
  const std::vector<TileVisit> visits = {
      {0, 5}, {2, 1}, {0, 3}, {2, 2}, {0, 5}};
  count_tiles(visits, figures);
  EXPECT_EQ(figures[0].tile_count, 2u);
  EXPECT_EQ(figures[1].tile_count, 1u);
  EXPECT_EQ(figures[2].tile_count, 2u);
  EXPECT_EQ(figures[3].tile_count, 1u);
  count_tiles({}, figures);
  EXPECT_EQ(figures[0].tile_count, 1u);
}

}  // namespace
}  // namespace zun_profile::detail
