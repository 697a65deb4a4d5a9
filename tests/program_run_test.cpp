#include "tests/support/program_run.hpp"

#include <cstddef>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "store/report_store.hpp"
#include "tests/support/compare.hpp"
#include "tests/support/temp_folder.hpp"

namespace zun_profile {
namespace {

using zun_package::CycleSample;
using zun_package::ProfileStepKind;
using zun_package::TileProfile;

support::ProgramShape small_shape() {
  support::ProgramShape shape;
  shape.tiles = 24;
  shape.steps_per_epoch = 40;
  shape.epochs = 6;
  shape.seed = 5;
  return shape;
}

// Every field of the step a sample ran.
auto step_of(const CycleSample& sample) {
  const zun_package::ProfileStep& step = sample.step;
  std::vector<std::pair<std::string, std::string>> metadata;
  for (const auto& entry : step.metadata) {
    metadata.emplace_back(entry.name, entry.value);
  }
  return std::make_tuple(step.local_index, step.phase, step.epoch,
                         step.operation, step.kind, step.kernel, metadata);
}

// Cycles from the tile's first start to `cycle`, across the counter's wrap.
std::uint32_t offset(const TileProfile& tile, std::uint32_t cycle) {
  return cycle - tile.samples.front().start_cycle;
}

TEST(ProgramRunTest, SameSeedGivesTheSameRunAnotherSeedAnother) {
  const support::ProgramShape shape = small_shape();
  const zun_package::ProfileReport report = support::program_report(shape);
  EXPECT_EQ(support::first_difference(support::program_report(shape), report),
            "");
  EXPECT_EQ(report.clock_hz, shape.clock_hz);
  support::ProgramShape other = shape;
  other.seed = 6;
  EXPECT_NE(support::first_difference(support::program_report(other), report),
            "");
}

// Tiles made one at a time, in any order, are the whole report's tiles; and
// a store written from them tile by tile holds that report.
TEST(ProgramRunTest, TileByTileEqualsTheWholeReport) {
  support::ProgramShape shape = small_shape();
  shape.skip = 0.05;
  const zun_package::ProfileReport report = support::program_report(shape);
  const support::ProgramRun run(shape);
  zun_package::ProfileReport tiles;
  tiles.clock_hz = report.clock_hz;
  tiles.tiles.resize(shape.tiles);
  for (std::size_t t = shape.tiles; t-- > 0;) tiles.tiles[t] = run.tile(t);
  EXPECT_EQ(support::first_difference(tiles, report), "");

  support::TempFolder folder;
  {
    zun_store::StoreWriter writer(folder / "run.zun", shape.clock_hz);
    for (std::size_t t = 0; t < shape.tiles; ++t) writer.add_tile(run.tile(t));
    writer.finish();
  }
  const zun_store::ReportStore store =
      zun_store::ReportStore::open(folder / "run.zun");
  EXPECT_EQ(support::first_difference(store.to_report(), report), "");
}

// Without skips every tile runs the program's steps in order, epoch after
// epoch, each with its own durations; tiles meet at every synchronization,
// leaving it at the same offset from their own start.
TEST(ProgramRunTest, EveryTileRunsTheSameStepsAndMeetsAtSynchronizations) {
  const support::ProgramShape shape = small_shape();
  const zun_package::ProfileReport report = support::program_report(shape);
  ASSERT_EQ(report.tiles.size(), shape.tiles);
  const TileProfile& first = report.tiles[0];
  ASSERT_EQ(first.samples.size(), shape.steps_per_epoch * shape.epochs);
  std::set<ProfileStepKind> kinds;
  std::set<decltype(step_of(first.samples[0]))> distinct;
  for (std::size_t i = 0; i < first.samples.size(); ++i) {
    const zun_package::ProfileStep& step = first.samples[i].step;
    EXPECT_EQ(step.epoch, i / shape.steps_per_epoch) << i;
    EXPECT_EQ(step.local_index, i % shape.steps_per_epoch) << i;
    EXPECT_EQ(step.phase, i % shape.steps_per_epoch) << i;  // one per step
    kinds.insert(step.kind);
    distinct.insert(step_of(first.samples[i]));
  }
  EXPECT_EQ(kinds.size(), 4u);  // compute, exchange, synchronization, idle
  EXPECT_EQ(distinct.size(), shape.steps_per_epoch * shape.epochs);
  EXPECT_EQ(first.samples.back().step.kind, ProfileStepKind::Synchronization);

  std::size_t durations_differ = 0;
  std::size_t gaps = 0;
  for (std::size_t t = 0; t < report.tiles.size(); ++t) {
    const TileProfile& tile = report.tiles[t];
    ASSERT_EQ(tile.physical_tile, t);
    ASSERT_EQ(tile.samples.size(), first.samples.size()) << "tile " << t;
    for (std::size_t i = 0; i < tile.samples.size(); ++i) {
      const CycleSample& sample = tile.samples[i];
      const CycleSample& other = first.samples[i];
      ASSERT_EQ(step_of(sample), step_of(other)) << "tile " << t << " " << i;
      const std::uint32_t cycles = sample.end_cycle - sample.start_cycle;
      EXPECT_GT(cycles, 0u) << "tile " << t << " " << i;
      if (cycles != other.end_cycle - other.start_cycle) ++durations_differ;
      if (i > 0 && sample.start_cycle != tile.samples[i - 1].end_cycle) ++gaps;
      if (i > 0) {  // back to back or later, never overlapping
        EXPECT_LE(offset(tile, tile.samples[i - 1].end_cycle),
                  offset(tile, sample.start_cycle))
            << "tile " << t << " " << i;
      }
      if (sample.step.kind == ProfileStepKind::Synchronization) {
        EXPECT_EQ(offset(tile, sample.end_cycle),
                  offset(first, other.end_cycle))
            << "tile " << t << " " << i;
      }
    }
  }
  EXPECT_GT(durations_differ, report.tiles.size() * first.samples.size() / 4);
  EXPECT_GT(gaps, report.tiles.size() * first.samples.size() / 2);
}

// Tiles start their counters at their own values, and some pass 2^32 during
// the run, within a sample or between two.
TEST(ProgramRunTest, CountersStartApartAndWrap) {
  const zun_package::ProfileReport report =
      support::program_report(small_shape());
  std::set<std::uint32_t> starts;
  std::size_t wrapped_tiles = 0;
  for (const TileProfile& tile : report.tiles) {
    starts.insert(tile.samples.front().start_cycle);
    bool wrapped = false;
    for (std::size_t i = 0; i < tile.samples.size(); ++i) {
      const CycleSample& sample = tile.samples[i];
      if (sample.end_cycle < sample.start_cycle) wrapped = true;
      if (i > 0 && sample.start_cycle < tile.samples[i - 1].end_cycle) {
        wrapped = true;
      }
    }
    if (wrapped) ++wrapped_tiles;
  }
  EXPECT_EQ(starts.size(), report.tiles.size());
  EXPECT_GE(wrapped_tiles, 3u);  // tiles 3, 11 and 19 at least

  // A run longer than the counter can tell apart is refused, not written
  // with offsets that wrap onto its start.
  support::ProgramShape endless = small_shape();
  endless.epochs = 1u << 24;
  EXPECT_THROW(support::ProgramRun{endless}, std::invalid_argument);
}

// With a chance of skipping, tiles leave out some steps, each tile its own,
// and keep the program's order in what they run; the run's first step is
// never skipped. A chance of 0 skips nothing.
TEST(ProgramRunTest, TilesSkipStepsWhenAsked) {
  support::ProgramShape shape = small_shape();
  shape.skip = 0.05;
  const zun_package::ProfileReport report = support::program_report(shape);
  const std::size_t full = shape.steps_per_epoch * shape.epochs;
  std::size_t skipped = 0;
  std::set<std::size_t> counts;
  for (const TileProfile& tile : report.tiles) {
    ASSERT_FALSE(tile.samples.empty());
    EXPECT_EQ(tile.samples.front().step.epoch, 0u);
    EXPECT_EQ(tile.samples.front().step.local_index, 0u);
    for (std::size_t i = 1; i < tile.samples.size(); ++i) {
      const zun_package::ProfileStep& before = tile.samples[i - 1].step;
      const zun_package::ProfileStep& step = tile.samples[i].step;
      EXPECT_LT(std::make_pair(before.epoch, before.local_index),
                std::make_pair(step.epoch, step.local_index));
    }
    skipped += full - tile.samples.size();
    counts.insert(tile.samples.size());
  }
  const double share =
      static_cast<double>(skipped) / static_cast<double>(full * shape.tiles);
  EXPECT_GT(share, 0.03);
  EXPECT_LT(share, 0.07);
  EXPECT_GT(counts.size(), 1u);

  shape.skip = 0.0;
  for (const TileProfile& tile : support::program_report(shape).tiles) {
    EXPECT_EQ(tile.samples.size(), full);
  }
}

}  // namespace
}  // namespace zun_profile
