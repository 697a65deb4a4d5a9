#include "query/query.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/builders.hpp"

namespace zun_profile {
namespace {

using support::in_phase;
using support::run;
using support::tile;
using zun_package::CycleSample;
using zun_package::ProfileMetadata;
using zun_package::ProfileReport;
using zun_package::ProfileStepKind;

constexpr std::uint32_t kMinus5 = 4294967291u;  // 2^32 - 5

ProfileReport report_of(std::uint64_t clock_hz,
                        std::vector<zun_package::TileProfile> tiles) {
  ProfileReport report;
  report.clock_hz = clock_hz;
  report.tiles = std::move(tiles);
  return report;
}

TEST(QueryTest, ParallelTilesShareOnePhaseInterval) {
  const ProfileReport report = report_of(
      1000000000,
      {tile(2, {run(100, 120, "add")}), tile(3, {run(200, 230, "add")})});
  const QueryReport result = query(report, Query{});
  EXPECT_EQ(result.clock_hz, 1000000000u);
  EXPECT_EQ(result.tile_count, 2u);
  EXPECT_EQ(result.sample_count, 2u);
  EXPECT_EQ(result.matched_sample_count, 2u);
  EXPECT_EQ(result.profile_span_cycles, 30u);
  EXPECT_EQ(result.profile_span_ms, 30 * 1000.0 / 1e9);
  EXPECT_FALSE(result.at_offset.has_value());
  EXPECT_TRUE(result.samples.empty());
  ASSERT_EQ(result.groups.size(), 1u);
  const GroupSummary& group = result.groups[0];
  EXPECT_EQ(group.name, "add");
  EXPECT_TRUE(group.dimensions.empty());
  EXPECT_EQ(group.sample_count, 2u);
  EXPECT_EQ(group.tile_count, 2u);
  EXPECT_EQ(group.phase_count, 1u);
  EXPECT_EQ(group.phase_cycles, 30u);
  EXPECT_EQ(group.phase_ms, 30 * 1000.0 / 1e9);
  EXPECT_EQ(group.work_cycles, 50u);
  EXPECT_EQ(group.average_active_tiles, 50.0 / 30.0);
  EXPECT_EQ(group.average_active_tiles, 1.6666666666666667);
  EXPECT_EQ(group.mean_cycles, 25.0);
  EXPECT_EQ(group.p50_cycles, 20u);
  EXPECT_EQ(group.p95_cycles, 20u);
  EXPECT_EQ(group.maximum_cycles, 30u);
  EXPECT_EQ(group.first_offset, 0u);
  EXPECT_EQ(group.last_offset, 30u);
}

TEST(QueryTest, BackToBackRepeatsAddUpWithinAPhase) {
  const ProfileReport report = report_of(
      1000000000, {tile(2, {run(100, 110, "gemm"), run(110, 120, "gemm")}),
                   tile(3, {run(200, 208, "gemm"), run(208, 216, "gemm")})});
  const QueryReport result = query(report, Query{});
  ASSERT_EQ(result.groups.size(), 1u);
  const GroupSummary& group = result.groups[0];
  EXPECT_EQ(group.sample_count, 4u);
  EXPECT_EQ(group.tile_count, 2u);
  EXPECT_EQ(group.phase_count, 1u);
  EXPECT_EQ(group.phase_cycles, 20u);
  EXPECT_EQ(group.work_cycles, 36u);
  EXPECT_EQ(group.average_active_tiles, 1.8);
  EXPECT_EQ(group.mean_cycles, 9.0);
  EXPECT_EQ(group.p50_cycles, 8u);
  EXPECT_EQ(group.p95_cycles, 10u);
  EXPECT_EQ(group.maximum_cycles, 10u);
  EXPECT_EQ(group.first_offset, 0u);
  EXPECT_EQ(group.last_offset, 20u);
  EXPECT_EQ(result.profile_span_cycles, 20u);
}

TEST(QueryTest, PointInTimeAcrossTheCounterWrap) {
  CycleSample first =
      in_phase(run(kMinus5, 5, ""), 0, 0, ProfileStepKind::Exchange);
  first.step.metadata = {ProfileMetadata{"block", "0"}};
  CycleSample second = in_phase(run(5, 15, "add"), 1);
  second.step.operation = "operation 1";
  second.step.metadata = {ProfileMetadata{"block", "1"}};
  const ProfileReport report =
      report_of(1500000000, {tile(9, {first, second})});

  Query request;
  request.at_offset = 12;
  request.sample_limit = 1;
  const QueryReport result = query(report, request);
  EXPECT_EQ(result.sample_count, 2u);
  EXPECT_EQ(result.matched_sample_count, 1u);
  EXPECT_EQ(result.at_offset, std::optional<std::uint64_t>(12));
  EXPECT_EQ(result.profile_span_cycles, 20u);
  EXPECT_EQ(result.profile_span_ms, 20 * 1000.0 / 1500000000.0);
  ASSERT_EQ(result.samples.size(), 1u);
  const SampleRecord& row = result.samples[0];
  EXPECT_EQ(row.physical_tile, 9u);
  EXPECT_EQ(row.offset, 10u);
  EXPECT_EQ(row.duration, 10u);
  EXPECT_EQ(row.phase, 1u);
  EXPECT_EQ(row.epoch, 0u);
  EXPECT_EQ(row.kind, "compute");
  EXPECT_EQ(row.operation, "operation 1");
  EXPECT_EQ(row.kernel, "add");
  ASSERT_EQ(row.metadata.size(), 1u);
  EXPECT_EQ(row.metadata[0].name, "block");
  EXPECT_EQ(row.metadata[0].value, "1");
  ASSERT_EQ(result.groups.size(), 1u);
  EXPECT_EQ(result.groups[0].name, "add");
  EXPECT_EQ(result.groups[0].first_offset, 10u);
  EXPECT_EQ(result.groups[0].last_offset, 20u);
}

TEST(QueryTest, WholeReportFiguresIgnoreTheFilters) {
  // No tiles at all.
  Query request;
  request.at_offset = 5;
  QueryReport result = query(report_of(7, {}), request);
  EXPECT_EQ(result.clock_hz, 7u);
  EXPECT_EQ(result.tile_count, 0u);
  EXPECT_EQ(result.sample_count, 0u);
  EXPECT_EQ(result.matched_sample_count, 0u);
  EXPECT_EQ(result.profile_span_cycles, 0u);
  EXPECT_EQ(result.profile_span_ms, 0.0);
  EXPECT_EQ(result.at_offset, std::optional<std::uint64_t>(5));
  EXPECT_TRUE(result.groups.empty());
  EXPECT_TRUE(result.samples.empty());

  // Empty tiles count as tiles; a filter that selects nothing leaves the
  // counts and the span alone, even on tiles the tile filter excludes.
  const ProfileReport report =
      report_of(1000, {tile(1, {}), tile(2, {run(50, 90), run(90, 95)}),
                       tile(3, {}), tile(4, {run(0, 500)})});
  request = Query{};
  request.kernel = "nothing";
  request.sample_limit = 10;
  result = query(report, request);
  EXPECT_EQ(result.tile_count, 4u);
  EXPECT_EQ(result.sample_count, 3u);
  EXPECT_EQ(result.matched_sample_count, 0u);
  EXPECT_EQ(result.profile_span_cycles, 500u);
  EXPECT_EQ(result.profile_span_ms, 500.0);
  EXPECT_TRUE(result.groups.empty());
  EXPECT_TRUE(result.samples.empty());

  request = Query{};
  request.tiles = {2};
  result = query(report, request);
  EXPECT_EQ(result.matched_sample_count, 2u);
  EXPECT_EQ(result.profile_span_cycles, 500u);
  ASSERT_EQ(result.groups.size(), 1u);
  EXPECT_EQ(result.groups[0].phase_cycles, 45u);
}

TEST(QueryTest, DuplicatePhysicalTilesKeepTheirOwnTimeBase) {
  const ProfileReport report =
      report_of(0, {tile(5, {run(1000, 1010)}), tile(6, {run(0, 4)}),
                    tile(5, {run(kMinus5, 15)})});
  Query request;
  request.sample_limit = 5;
  const QueryReport result = query(report, request);
  EXPECT_EQ(result.tile_count, 3u);
  EXPECT_EQ(result.profile_span_cycles, 20u);
  EXPECT_EQ(result.profile_span_ms, 0.0);  // no clock
  ASSERT_EQ(result.groups.size(), 1u);
  const GroupSummary& group = result.groups[0];
  EXPECT_EQ(group.tile_count, 2u);  // 5 and 6
  EXPECT_EQ(group.sample_count, 3u);
  EXPECT_EQ(group.phase_cycles, 20u);
  EXPECT_EQ(group.phase_ms, 0.0);
  EXPECT_EQ(group.work_cycles, 34u);
  ASSERT_EQ(result.samples.size(), 3u);
  EXPECT_EQ(result.samples[0].offset, 0u);
  EXPECT_EQ(result.samples[0].duration, 20u);
  EXPECT_EQ(result.samples[1].duration, 10u);
  EXPECT_EQ(result.samples[2].physical_tile, 6u);
}

TEST(QueryTest, ZeroLengthSamplesCoverNothing) {
  const ProfileReport report = report_of(
      1000, {tile(0, {run(10, 10), run(20, 20)}), tile(1, {run(5, 5)})});
  const QueryReport result = query(report, Query{});
  EXPECT_EQ(result.matched_sample_count, 3u);
  EXPECT_EQ(result.profile_span_cycles, 10u);
  ASSERT_EQ(result.groups.size(), 1u);
  const GroupSummary& group = result.groups[0];
  EXPECT_EQ(group.phase_count, 1u);
  EXPECT_EQ(group.phase_cycles, 0u);
  EXPECT_EQ(group.average_active_tiles, 0.0);
  EXPECT_EQ(group.mean_cycles, 0.0);
  EXPECT_EQ(group.maximum_cycles, 0u);
  EXPECT_EQ(group.first_offset, 0u);
  EXPECT_EQ(group.last_offset, 10u);
}

TEST(QueryTest, PhaseCyclesAddUpAcrossPhasesAndEpochs) {
  // Overlapping runs of different (phase, epoch) pairs add up; overlapping
  // runs within one pair count once.
  const ProfileReport report = report_of(
      1000, {tile(0, {in_phase(run(0, 10), 1, 0), in_phase(run(5, 15), 1, 1),
                      in_phase(run(15, 25), 2, 0)}),
             tile(1, {in_phase(run(0, 12), 1, 0)})});
  Query request;
  request.group_by = GroupBy::Phase;
  request.sort_by = SortBy::Name;
  QueryReport result = query(report, request);
  ASSERT_EQ(result.groups.size(), 3u);
  EXPECT_EQ(result.groups[0].name, "phase 1/0");
  EXPECT_EQ(result.groups[0].phase_cycles, 12u);
  EXPECT_EQ(result.groups[0].tile_count, 2u);
  EXPECT_EQ(result.groups[0].dimensions, (std::map<std::string, std::string>{
                                             {"epoch", "0"}, {"phase", "1"}}));
  EXPECT_EQ(result.groups[1].name, "phase 1/1");
  EXPECT_EQ(result.groups[2].name, "phase 2/0");

  request.group_by = GroupBy::Kernel;
  result = query(report, request);
  ASSERT_EQ(result.groups.size(), 1u);
  EXPECT_EQ(result.groups[0].phase_count, 3u);
  EXPECT_EQ(result.groups[0].phase_cycles, 12u + 10u + 10u);
  EXPECT_EQ(result.groups[0].work_cycles, 42u);
}

// Four groups built so that each sort key orders them differently.
ProfileReport ordering_report() {
  return report_of(
      1000,
      {tile(0, {run(0, 100, "long"), run(100, 130, "many"),
                run(130, 160, "many"), run(160, 190, "many")}),
       tile(1, {run(0, 10, "Wide"), run(10, 90, "tie"), run(90, 91, "many")}),
       tile(2, {run(0, 60, "Wide"), run(60, 140, "tie")}),
       tile(3, {run(0, 60, "Wide")})});
}

std::vector<std::string> names(const QueryReport& result) {
  std::vector<std::string> out;
  for (const GroupSummary& group : result.groups) out.push_back(group.name);
  return out;
}

TEST(QueryTest, EverySortKeyWithItsTieBreaks) {
  // Groups: tie (phase 130, work 160, max 80, 2 samples, first 10);
  // long (phase 100, work 100, max 100, 1 sample, first 0);
  // many (phase 91, work 91, max 30, 4 samples, first 90: tile 1's 90..91
  // beside tile 0's 100..190); Wide (phase 60, work 130, max 60, 3 samples,
  // first 0).
  const ProfileReport report = ordering_report();
  const struct {
    SortBy sort_by;
    std::vector<std::string> order;
  } cases[] = {
      {SortBy::PhaseCycles, {"tie", "long", "many", "Wide"}},
      {SortBy::WorkCycles, {"tie", "Wide", "long", "many"}},
      {SortBy::MaximumCycles, {"long", "tie", "Wide", "many"}},
      {SortBy::Samples, {"many", "Wide", "tie", "long"}},
      {SortBy::Name, {"Wide", "long", "many", "tie"}},
      {static_cast<SortBy>(99), {"Wide", "long", "tie", "many"}},
  };
  for (const auto& c : cases) {
    Query request;
    request.sort_by = c.sort_by;
    EXPECT_EQ(names(query(report, request)), c.order)
        << "sort_by " << static_cast<int>(c.sort_by);
  }
}

TEST(QueryTest, TiesFallToFirstOffsetThenName) {
  // Equal phase cycles everywhere; "b" and "a" start at 0, "c" at 5.
  const ProfileReport report =
      report_of(1000, {tile(0, {run(0, 10, "b"), run(10, 20, "B")}),
                       tile(1, {run(0, 5, "x"), run(5, 15, "c")}),
                       tile(2, {run(0, 10, "a")})});
  Query request;
  request.kernel.reset();
  request.phases = {};
  QueryReport result = query(report, request);
  // x has 5 phase cycles; the rest 10 each: a, b (offset 0), c (5), B (10).
  EXPECT_EQ(names(result), (std::vector<std::string>{"a", "b", "c", "B", "x"}));

  request.sort_by = SortBy::Samples;
  result = query(report, request);
  EXPECT_EQ(names(result), (std::vector<std::string>{"a", "b", "x", "c", "B"}));
}

TEST(QueryTest, GroupLimitCutsOnlyTheGroupRows) {
  const ProfileReport report = ordering_report();
  const struct {
    std::optional<std::size_t> limit;
    std::size_t rows;
  } cases[] = {{std::nullopt, 4}, {0, 0}, {1, 1}, {3, 3}, {4, 4}, {5, 4},
               {SIZE_MAX, 4}};
  for (const auto& c : cases) {
    Query request;
    request.limit = c.limit;
    request.sample_limit = 2;
    const QueryReport result = query(report, request);
    EXPECT_EQ(result.groups.size(), c.rows);
    EXPECT_EQ(result.matched_sample_count, 10u);
    EXPECT_EQ(result.samples.size(), 2u);
    if (c.rows > 0) {
      EXPECT_EQ(result.groups[0].name, "tie");
    }
  }
}

TEST(QueryTest, SampleRowsAreTheLongestFirstWithStableTies) {
  // Durations: 9 on tile 2; 5 on tile 3 and three times on tile 1 (offsets
  // 10, 0, and 0 on a second entry of tile 1); 1 on tiles 1 and 0.
  const ProfileReport report = report_of(
      1000, {tile(3, {run(0, 5, "first")}),
             tile(1, {run(100, 101, "pad"), run(110, 115, "late"),
                      run(100, 105, "wrapped")}),
             tile(1, {run(7, 12, "duplicate")}),
             tile(2, {run(0, 9, "longest")}), tile(0, {run(0, 1, "short")})});
  // "wrapped" lies at offset 0 of its tile, like "duplicate" on the second
  // entry of tile 1, and was met first.
  const struct {
    std::size_t sample_limit;
    std::vector<std::string> kernels;
  } cases[] = {
      {0, {}},
      {1, {"longest"}},
      {4, {"longest", "wrapped", "duplicate", "late"}},
      {7, {"longest", "wrapped", "duplicate", "late", "first", "short", "pad"}},
      {100,
       {"longest", "wrapped", "duplicate", "late", "first", "short", "pad"}},
      {SIZE_MAX,
       {"longest", "wrapped", "duplicate", "late", "first", "short", "pad"}},
  };
  for (const auto& c : cases) {
    Query request;
    request.sample_limit = c.sample_limit;
    const QueryReport result = query(report, request);
    std::vector<std::string> kernels;
    for (const SampleRecord& row : result.samples) {
      kernels.push_back(row.kernel);
    }
    EXPECT_EQ(kernels, c.kernels) << "sample_limit " << c.sample_limit;
    EXPECT_EQ(result.groups.size(), 7u);
  }
}

TEST(QueryTest, GroupingsLabelTheGroups) {
  CycleSample a = in_phase(run(0, 10, ""), 3, 1, ProfileStepKind::Idle);
  a.step.operation = "op";
  a.step.metadata = {ProfileMetadata{"block", "7"}};
  CycleSample b = in_phase(run(10, 30, "(no kernel)"), 3, 1);
  b.step.operation = "op";
  const ProfileReport report = report_of(1000, {tile(4, {a, b})});

  const struct {
    GroupBy group_by;
    std::vector<std::string> names;
    std::map<std::string, std::string> first_dimensions;
  } cases[] = {
      {GroupBy::Kind, {"compute", "idle"}, {}},
      {GroupBy::Kernel, {"(no kernel)"}, {}},
      {GroupBy::Operation, {"op"}, {}},
      {GroupBy::Phase, {"phase 3/1"}, {{"epoch", "1"}, {"phase", "3"}}},
      {GroupBy::Tile, {"tile 4"}, {{"physicalTile", "4"}}},
      {GroupBy::Metadata,
       {"(missing)", "7"},
       {{"metadataKey", "block"}, {"metadataValue", "(missing)"}}},
      {static_cast<GroupBy>(42), {""}, {}},
  };
  for (const auto& c : cases) {
    Query request;
    request.group_by = c.group_by;
    request.metadata_key = "block";
    const QueryReport result = query(report, request);
    EXPECT_EQ(names(result), c.names)
        << "group_by " << static_cast<int>(c.group_by);
    ASSERT_FALSE(result.groups.empty());
    EXPECT_EQ(result.groups[0].dimensions, c.first_dimensions);
  }
}

TEST(QueryTest, ResultOutlivesTheReportAndTheRequest) {
  auto report = std::make_unique<ProfileReport>();
  CycleSample sample = run(0, 40, std::string(100, 'k'));
  sample.step.operation = std::string(64, 'o');
  sample.step.metadata = {
      ProfileMetadata{std::string(50, 'n'), std::string(70, 'v')}};
  report->tiles.push_back(tile(1, {sample}));
  auto request = std::make_unique<Query>();
  request->group_by = GroupBy::Metadata;
  request->metadata_key = std::string(50, 'n');
  request->sample_limit = 1;
  request->at_offset = 3;
  const QueryReport result = query(*report, *request);
  report.reset();
  request.reset();
  ASSERT_EQ(result.groups.size(), 1u);
  EXPECT_EQ(result.groups[0].name, std::string(70, 'v'));
  EXPECT_EQ(result.groups[0].dimensions.at("metadataKey"),
            std::string(50, 'n'));
  ASSERT_EQ(result.samples.size(), 1u);
  EXPECT_EQ(result.samples[0].kernel, std::string(100, 'k'));
  EXPECT_EQ(result.samples[0].operation, std::string(64, 'o'));
  EXPECT_EQ(result.samples[0].metadata[0].value, std::string(70, 'v'));
  EXPECT_EQ(result.at_offset, std::optional<std::uint64_t>(3));
}

}  // namespace
}  // namespace zun_profile
