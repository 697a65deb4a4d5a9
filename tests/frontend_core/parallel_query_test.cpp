// The tool's parallel query: ranges that cover every tile in order, and
// answers on several threads and over shards equal to the single pass
// (run under TSan with the other concurrency tests).
#include <cstddef>
#include <vector>

#include <gtest/gtest.h>

#include "frontend_core/querying/parallel_query.hpp"
#include "tests/support/compare.hpp"
#include "tests/support/synthetic_report.hpp"

namespace profile_query {
namespace {

zun_package::ProfileReport tiles_of(const zun_package::ProfileReport& report,
                                    std::size_t first, std::size_t count) {
  zun_package::ProfileReport part;
  part.clock_hz = report.clock_hz;
  part.tiles.assign(report.tiles.begin() + static_cast<std::ptrdiff_t>(first),
                    report.tiles.begin() + static_cast<std::ptrdiff_t>(first + count));
  return part;
}

TEST(ParallelQuery, RangesCoverEveryTileInOrder) {
  zun_profile::support::SyntheticShape shape;
  shape.tiles = 37;
  shape.samples_per_tile = 50;
  const auto report = zun_profile::support::synthetic_report(shape);
  std::vector<zun_store::ReportStore> shards;
  shards.push_back(zun_store::ReportStore::from_report(tiles_of(report, 0, 30)));
  shards.push_back(zun_store::ReportStore::from_report(tiles_of(report, 30, 0)));
  shards.push_back(zun_store::ReportStore::from_report(tiles_of(report, 30, 7)));
  const auto pointers = pointers_to(shards);
  for (const unsigned threads : {1u, 2u, 3u, 8u, 100u}) {
    const std::vector<TileRange> ranges = split_tiles(pointers, threads);
    std::vector<std::size_t> next(shards.size(), 0);
    std::vector<bool> seen(shards.size(), false);
    std::size_t last_shard = 0;
    for (const TileRange& range : ranges) {
      ASSERT_GE(range.shard, last_shard) << "threads " << threads;
      EXPECT_EQ(range.first, next[range.shard]) << "threads " << threads;
      next[range.shard] += range.count;
      seen[range.shard] = true;
      last_shard = range.shard;
    }
    for (std::size_t s = 0; s < shards.size(); ++s) {
      EXPECT_TRUE(seen[s]) << "shard " << s << " has no range";
      EXPECT_EQ(next[s], shards[s].tile_count()) << "shard " << s;
    }
  }
}

// What decides whether partials can pay on a report's lists: fragmented
// where (phase, epoch) pairs are nearly one per sample, not where phases
// follow the sample's place in its tile (shared across tiles) or come in
// runs; looked at across shard boundaries and on empty reports alike.
TEST(ParallelQuery, FragmentedListsAreToldApartFromSharedOnes) {
  using zun_profile::support::PhaseOrder;
  const auto store_of = [](PhaseOrder phases, std::size_t tiles,
                           std::size_t samples) {
    auto shape = zun_profile::support::interleaved_shape(tiles, samples);
    shape.phases = phases;
    return zun_store::ReportStore::from_report(
        zun_profile::support::synthetic_report(shape));
  };
  const auto fragmented =
      [](const std::vector<zun_store::ReportStore>& shards) {
        return lists_fragmented(pointers_to(shards));
      };
  std::vector<zun_store::ReportStore> shards;
  shards.push_back(store_of(PhaseOrder::Wide, 100, 600));
  EXPECT_TRUE(fragmented(shards));
  shards.push_back(store_of(PhaseOrder::Per64, 0, 0));  // an empty shard
  shards.push_back(store_of(PhaseOrder::Wide, 3, 700));
  EXPECT_TRUE(fragmented(shards));

  shards.clear();
  shards.push_back(store_of(PhaseOrder::PerSample, 100, 600));
  EXPECT_FALSE(fragmented(shards));
  shards.push_back(store_of(PhaseOrder::Per64, 1, 5000));
  EXPECT_FALSE(fragmented(shards));
  shards.clear();
  EXPECT_FALSE(fragmented(shards));
  shards.push_back(store_of(PhaseOrder::Per64, 0, 0));
  EXPECT_FALSE(fragmented(shards));
}

TEST(ParallelQuery, ConcurrencyThreadsAndShardsAnswerAsOnePass) {
  const auto shape = zun_profile::support::interleaved_shape(64, 400);
  const auto report = zun_profile::support::synthetic_report(shape);
  const auto whole = zun_store::ReportStore::from_report(report);
  std::vector<zun_store::ReportStore> shards;
  shards.push_back(zun_store::ReportStore::from_report(tiles_of(report, 0, 20)));
  shards.push_back(zun_store::ReportStore::from_report(tiles_of(report, 20, 44)));
  for (const auto group_by :
       {zun_profile::GroupBy::Kernel, zun_profile::GroupBy::Phase,
        zun_profile::GroupBy::Tile}) {
    zun_profile::Query request;
    request.group_by = group_by;
    request.sample_limit = 9;
    const zun_profile::QueryReport expected = zun_profile::query(whole, request);
    for (const unsigned threads : {1u, 2u, 4u}) {
      EXPECT_EQ(zun_profile::support::first_difference(
                    query_shards(std::span(&whole, 1), request, threads), expected),
                "")
          << "threads " << threads;
      EXPECT_EQ(zun_profile::support::first_difference(
                    query_shards(shards, request, threads), expected),
                "")
          << "shards, threads " << threads;
    }
  }
}

}  // namespace
}  // namespace profile_query
