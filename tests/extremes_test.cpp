#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "query/query.hpp"
#include "tests/support/builders.hpp"
#include "tests/support/compare.hpp"
#include "tests/support/oracle.hpp"

namespace zun_profile {
namespace {

using support::run;
using support::tile;

void expect_as_reference(const zun_package::ProfileReport& report,
                         const Query& request, const char* label) {
  EXPECT_EQ(
      support::first_difference(query(report, request),
                                support::reference_query(report, request)),
      "")
      << label;
}

TEST(ExtremesTest, WidestDurationsOffsetsAndLimits) {
  // A run of 2^32 - 1 cycles that starts 2^32 - 1 after its tile's zero:
  // offset + duration needs 33 bits.
  zun_package::ProfileReport report;
  report.clock_hz = UINT64_MAX;
  report.tiles.push_back(
      tile(UINT32_MAX, {run(1, 1), run(0, UINT32_MAX), run(0, 0xFFFFFFFEu)}));
  report.tiles.push_back(tile(0, {run(5, 4)}));

  Query request;
  request.sample_limit = SIZE_MAX;
  request.limit = SIZE_MAX;
  QueryReport result = query(report, request);
  const std::uint64_t widest = 0xFFFFFFFFull + 0xFFFFFFFFull;
  EXPECT_EQ(result.profile_span_cycles, widest);
  EXPECT_EQ(result.samples.size(), 4u);
  ASSERT_EQ(result.groups.size(), 1u);
  EXPECT_EQ(result.groups[0].last_offset, widest);
  EXPECT_EQ(result.groups[0].maximum_cycles, UINT32_MAX);
  EXPECT_EQ(result.groups[0].tile_count, 2u);
  expect_as_reference(report, request, "no filter");

  for (const std::uint64_t at : {std::uint64_t{0}, std::uint64_t{0xFFFFFFFEu},
                                 std::uint64_t{0xFFFFFFFFu}, widest - 1, widest,
                                 UINT64_MAX - 1, UINT64_MAX}) {
    request.at_offset = at;
    expect_as_reference(report, request, std::to_string(at).c_str());
  }
  request.at_offset = UINT64_MAX;
  EXPECT_EQ(query(report, request).matched_sample_count, 0u);
  request.at_offset = widest - 1;
  EXPECT_EQ(query(report, request).matched_sample_count, 1u);
}

TEST(ExtremesTest, OneLongTileAndManyShortOnes) {
  zun_package::ProfileReport one_tile;
  one_tile.clock_hz = 1000000000;
  one_tile.tiles.push_back(tile(7, {}));
  auto& samples = one_tile.tiles[0].samples;
  samples.reserve(1000000);
  std::uint32_t at = 0xFFFF0000u;  // wraps early on
  for (std::uint32_t i = 0; i < 1000000; ++i) {
    zun_package::CycleSample sample = support::in_phase(
        run(at, at + 3 + i % 7, i % 3 ? "k" : "j"), i / 1000, i % 2);
    at = sample.end_cycle + (i % 5 == 0 ? 2u : 0u);
    samples.push_back(std::move(sample));
  }
  Query request;
  request.sample_limit = 5;
  expect_as_reference(one_tile, request, "1M samples by kernel");
  request.group_by = GroupBy::Phase;
  request.limit = 10;
  expect_as_reference(one_tile, request, "1M samples by phase");

  zun_package::ProfileReport many_tiles;
  many_tiles.clock_hz = 3;
  for (std::uint32_t t = 0; t < 10000; ++t) {
    many_tiles.tiles.push_back(
        tile(t % 9000, {run(t * 13u, t * 13u + t % 50)}));
  }
  request = Query{};
  request.group_by = GroupBy::Tile;
  request.sample_limit = 100;
  expect_as_reference(many_tiles, request, "10K tiles by tile");
  request.group_by = GroupBy::Kernel;
  const QueryReport result = query(many_tiles, request);
  ASSERT_EQ(result.groups.size(), 1u);
  EXPECT_EQ(result.groups[0].tile_count, 9000u);
  EXPECT_EQ(result.groups[0].phase_cycles, 49u);
  expect_as_reference(many_tiles, request, "10K tiles by kernel");
}

}  // namespace
}  // namespace zun_profile
