#include "query/engine/sample_rows.hpp"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/builders.hpp"

namespace zun_profile::detail {
namespace {

TEST(SampleRecordTest, CopiesTheStepAndShowsOffsetAndDuration) {
  zun_package::CycleSample sample =
      support::in_phase(support::run(4000000000u, 5, ""), 6, 2,
                        zun_package::ProfileStepKind::Synchronization);
  sample.step.operation = "barrier";
  sample.step.local_index = 99;
  sample.step.metadata = {{"a", "1"}, {"a", ""}, {"", "x"}};
  const SampleRecord row = sample_record(Candidate{12, 77, 9, record_ref(&sample)});
  EXPECT_EQ(row.physical_tile, 12u);
  EXPECT_EQ(row.offset, 77u);
  EXPECT_EQ(row.duration, 9u);
  EXPECT_EQ(row.phase, 6u);
  EXPECT_EQ(row.epoch, 2u);
  EXPECT_EQ(row.kind, "synchronization");
  EXPECT_EQ(row.operation, "barrier");
  EXPECT_EQ(row.kernel, "");  // stays empty, unlike its group label
  ASSERT_EQ(row.metadata.size(), 3u);
  EXPECT_EQ(row.metadata[1].name, "a");
  EXPECT_EQ(row.metadata[1].value, "");
  EXPECT_EQ(row.metadata[2].name, "");
  EXPECT_EQ(row.metadata[2].value, "x");

  sample.step.metadata.clear();
  EXPECT_TRUE(sample_record(Candidate{0, 0, 0, record_ref(&sample)}).metadata.empty());
}

template <typename Chooser>
Chooser make_chooser(std::size_t limit, std::size_t samples) {
  if constexpr (std::is_same_v<Chooser, TopSamples>) {
    return TopSamples(limit);
  } else {
    return SortedSamples(limit, samples);
  }
}

// Both choosers keep exactly what a stable sort of all the candidates puts
// first, row numbers and texts alike.
template <typename Chooser>
void expect_stable_sort_order(std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<zun_package::CycleSample> samples(400);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i].step.operation = std::to_string(i);  // names the sample
  }
  for (int round = 0; round < 50; ++round) {
    // Mostly few distinct values, so that every key ties often; every
    // fourth round the full ranges, both ends included.
    const bool wide = round % 4 == 3;
    const auto draw = [&](std::uint64_t few) -> std::uint32_t {
      if (!wide) return static_cast<std::uint32_t>(random() % few);
      const std::uint64_t value = random();
      return value % 5 == 0   ? 0
             : value % 5 == 1 ? UINT32_MAX
                              : static_cast<std::uint32_t>(value >> 32);
    };
    std::vector<Candidate> candidates;
    for (const zun_package::CycleSample& sample : samples) {
      candidates.push_back(Candidate{draw(3), draw(4), draw(5), record_ref(&sample)});
    }
    std::vector<Candidate> expected = candidates;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const Candidate& a, const Candidate& b) {
                       if (a.duration != b.duration) {
                         return a.duration > b.duration;
                       }
                       if (a.tile != b.tile) return a.tile < b.tile;
                       return a.offset < b.offset;
                     });
    for (std::size_t limit :
         {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{399},
          std::size_t{400}, std::size_t{401}, SIZE_MAX}) {
      Chooser chooser = make_chooser<Chooser>(limit, candidates.size());
      for (const Candidate& candidate : candidates) chooser.offer(candidate);
      const std::vector<SampleRecord> rows = chooser.take_rows();
      ASSERT_EQ(rows.size(), std::min(limit, candidates.size()));
      for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].operation, record_of(expected[i].sample)->step.operation)
            << "round " << round << " limit " << limit << " row " << i;
        ASSERT_EQ(rows[i].duration, expected[i].duration);
        ASSERT_EQ(rows[i].physical_tile, expected[i].tile);
        ASSERT_EQ(rows[i].offset, expected[i].offset);
      }
    }
  }
}

TEST(TopSamplesTest, KeepsWhatAStableSortOfAllWouldPutFirst) {
  expect_stable_sort_order<TopSamples>(3);
}

TEST(SortedSamplesTest, KeepsWhatAStableSortOfAllWouldPutFirst) {
  expect_stable_sort_order<SortedSamples>(4);
}

}  // namespace
}  // namespace zun_profile::detail
