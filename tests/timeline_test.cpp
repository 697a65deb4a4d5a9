#include "query/time/timeline.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "query/engine/labels.hpp"
#include "query/engine/selection.hpp"
#include "store/report_store.hpp"
#include "tests/support/random_case.hpp"

namespace zun_profile::detail {
namespace {

// The label of a selected sample, read from its records.
std::string label_of(const Query& request, const zun_package::TileProfile& tile,
                     const zun_package::CycleSample& sample) {
  char buffer[32];
  switch (request.group_by) {
    case GroupBy::Kind:
      return std::string(kind_name(sample));
    case GroupBy::Kernel:
      return std::string(kernel_label(sample.step));
    case GroupBy::Operation:
      return sample.step.operation;
    case GroupBy::Phase:
      return std::string(phase_label(sample.step.phase, sample.step.epoch, buffer));
    case GroupBy::Tile:
      return std::string(tile_label(tile.physical_tile, buffer));
    case GroupBy::Metadata:
      return std::string(metadata_label(sample.step, request.metadata_key.value_or("")));
  }
  return {};
}

struct Expected {
  std::uint64_t offset;
  std::uint32_t duration;
  std::string label;
};

// Row by row, the selected samples running in [from, to), in start order
// (ties in report order), read the slow way from the records.
std::vector<std::vector<Expected>> expected_rows(const zun_package::ProfileReport& report,
                                                 const Query& request,
                                                 const TimelineWindow& window) {
  std::vector<std::vector<Expected>> rows;
  for (std::size_t t = window.first_tile;
       t <= window.last_tile && t < report.tiles.size(); ++t) {
    const zun_package::TileProfile& tile = report.tiles[t];
    auto& row = rows.emplace_back();
    if (tile.samples.empty()) continue;
    const std::uint32_t base = tile.samples.front().start_cycle;
    for (const zun_package::CycleSample& sample : tile.samples) {
      const std::uint64_t offset = sample_offset(sample, base);
      const std::uint32_t length = duration(sample);
      if (offset >= window.to || offset + std::max<std::uint32_t>(length, 1) <= window.from)
        continue;
      if (!matches_query(request, tile.physical_tile, sample, offset, length)) continue;
      row.push_back({offset, length, label_of(request, tile, sample)});
    }
    std::stable_sort(row.begin(), row.end(), [](const Expected& a, const Expected& b) {
      return a.offset < b.offset;
    });
  }
  return rows;
}

TEST(TimelineTest, RowsHoldTheSamplesOfTheWindowOrDrawThemPerPixel) {
  for (std::uint64_t seed = 0; seed < 3000; ++seed) {
    support::Entropy entropy(seed);
    const zun_package::ProfileReport report = support::random_report(entropy);
    if (report.tiles.empty()) continue;
    const Query request = support::random_query(entropy, report);
    const zun_store::ReportStore store = zun_store::ReportStore::from_report(report);
    const TimeOrder order(store);
    TimelineWindow window;
    window.from = entropy.chance(3) ? 0 : entropy.below(1u << 20);
    window.to = window.from + 1 + (entropy.chance(4) ? UINT64_MAX / 4 : entropy.below(1u << 21));
    window.first_tile = static_cast<std::size_t>(entropy.below(report.tiles.size()));
    window.last_tile = window.first_tile + static_cast<std::size_t>(entropy.below(4));
    window.width = 1 + static_cast<std::size_t>(entropy.below(entropy.chance(2) ? 8 : 400));
    const TimelineAnswer answer = timeline(store, order, request, window);
    const auto expected = expected_rows(report, request, window);
    ASSERT_EQ(answer.rows.size(), expected.size()) << "seed " << seed;
    for (std::size_t r = 0; r < expected.size(); ++r) {
      const TimelineRow& row = answer.rows[r];
      EXPECT_EQ(row.tile, window.first_tile + r);
      EXPECT_EQ(row.physical, report.tiles[row.tile].physical_tile);
      // One by one exactly when they are few enough for the width.
      ASSERT_EQ(row.per_pixel, expected[r].size() * kSamplesPerPixelColumn > window.width)
          << "seed " << seed;
      if (!row.per_pixel) {
        ASSERT_EQ(row.samples.size(), expected[r].size()) << "seed " << seed;
        for (std::size_t k = 0; k < row.samples.size(); ++k) {
          EXPECT_EQ(row.samples[k].offset, expected[r][k].offset) << "seed " << seed;
          EXPECT_EQ(row.samples[k].duration, expected[r][k].duration) << "seed " << seed;
          EXPECT_EQ(answer.groups[row.samples[k].group], expected[r][k].label)
              << "seed " << seed;
        }
        continue;
      }
      // Per pixel: bounded by the width; a pixel's group is one that runs
      // in it, and a pixel is busy only where something runs.
      ASSERT_EQ(row.pixel_groups.size(), window.width);
      ASSERT_EQ(row.pixel_busy.size(), window.width);
      const double span = static_cast<double>(
          std::min(window.to, window.from + (std::uint64_t{1} << 34)) - window.from);
      for (std::size_t p = 0; p < window.width; ++p) {
        const double left = static_cast<double>(window.from) + span * static_cast<double>(p) /
                                                                   static_cast<double>(window.width);
        const double right = left + span / static_cast<double>(window.width);
        std::vector<std::string> running;
        for (const Expected& e : expected[r]) {
          const double begin = static_cast<double>(e.offset);
          const double end = begin + e.duration;
          if (end > left && begin < right && e.duration > 0) running.push_back(e.label);
        }
        EXPECT_LE(row.pixel_busy[p], 1000);
        if (row.pixel_groups[p] < 0) {
          EXPECT_EQ(row.pixel_busy[p], 0) << "seed " << seed;
        } else {
          EXPECT_NE(std::find(running.begin(), running.end(),
                              answer.groups[static_cast<std::size_t>(row.pixel_groups[p])]),
                    running.end())
              << "seed " << seed << " pixel " << p;
        }
      }
    }
  }
}

TEST(TimelineTest, ATileOutOfTimeOrderIsReadInOrder) {
  zun_package::ProfileReport report;
  zun_package::TileProfile tile;
  tile.physical_tile = 9;
  // Recorded out of order, and one long sample reaching into the window.
  for (const auto& [start, end] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
           {1000, 1010}, {1500, 1600}, {1100, 1900}, {1300, 1310}, {1200, 1210}}) {
    zun_package::CycleSample sample;
    sample.start_cycle = start;
    sample.end_cycle = end;
    sample.step.kernel = std::string("k").append(std::to_string(start));
    tile.samples.push_back(sample);
  }
  report.tiles.push_back(tile);
  const zun_store::ReportStore store = zun_store::ReportStore::from_report(report);
  const TimeOrder order(store);
  TimelineWindow window;
  window.from = 250;
  window.to = 560;
  window.width = 100;
  const TimelineAnswer answer = timeline(store, order, Query{}, window);
  ASSERT_EQ(answer.rows.size(), 1u);
  std::vector<std::string> labels;
  for (const TimelineSample& s : answer.rows[0].samples) labels.push_back(answer.groups[s.group]);
  EXPECT_EQ(labels, (std::vector<std::string>{"k1100", "k1300", "k1500"}));
}

}  // namespace
}  // namespace zun_profile::detail
