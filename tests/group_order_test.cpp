#include "query/order/group_order.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "query/order/ordering.hpp"

namespace zun_profile::detail {
namespace {

// The order built from figures and labels is the order compare_groups puts
// finished rows in, for every key, with ties on every field and a limit.
TEST(GroupOrderTest, MatchesCompareGroupsOnFinishedRows) {
  std::mt19937_64 random(9);
  for (int round = 0; round < 40; ++round) {
    const std::size_t count = 1 + random() % 300;
    std::vector<GroupFigures> figures(count);
    std::vector<std::string> labels(count);
    std::vector<GroupSummary> rows(count);
    for (std::size_t g = 0; g < count; ++g) {
      GroupFigures& f = figures[g];
      // Few distinct values, so that every key ties often; sometimes huge.
      f.phase_cycles =
          random() % 4 == 0 ? UINT64_MAX - random() % 3 : random() % 5;
      f.work_cycles = random() % 5 + (round % 2 == 0 ? 0 : (1ull << 40));
      f.maximum_cycles = static_cast<std::uint32_t>(random() % 3);
      f.sample_count = random() % 4;
      f.first_offset = random() % 3 == 0 ? UINT32_MAX : random() % 4;
      char label[40];  // unique, in no particular order
      std::snprintf(label, sizeof(label), "g%llu_%zu",
                    static_cast<unsigned long long>(random() % 1000), g);
      labels[g] = label;
      rows[g].name = labels[g];
      rows[g].phase_cycles = f.phase_cycles;
      rows[g].work_cycles = f.work_cycles;
      rows[g].maximum_cycles = f.maximum_cycles;
      rows[g].sample_count = f.sample_count;
      rows[g].first_offset = f.first_offset;
    }
    for (const SortBy sort_by :
         {SortBy::PhaseCycles, SortBy::WorkCycles, SortBy::MaximumCycles,
          SortBy::Samples, SortBy::Name, static_cast<SortBy>(9)}) {
      for (const std::optional<std::size_t> limit :
           {std::optional<std::size_t>(), std::optional<std::size_t>(0),
            std::optional<std::size_t>(count / 2)}) {
        std::vector<std::uint32_t> expected(count);
        for (std::size_t g = 0; g < count; ++g) {
          expected[g] = static_cast<std::uint32_t>(g);
        }
        std::sort(expected.begin(), expected.end(),
                  [&](std::uint32_t a, std::uint32_t b) {
                    return compare_groups(sort_by, rows[a], rows[b]) < 0;
                  });
        if (limit) expected.resize(std::min(*limit, count));
        const std::vector<std::uint32_t> order = order_groups(
            figures, sort_by, limit,
            [&](std::uint32_t g, LabelBuffer&) -> std::string_view {
              return labels[g];
            });
        ASSERT_EQ(order, expected)
            << "round " << round << " sort_by " << static_cast<int>(sort_by);
      }
    }
  }
}

}  // namespace
}  // namespace zun_profile::detail
