#include "query/order/ordering.hpp"

#include <compare>
#include <string>

#include <gtest/gtest.h>

namespace zun_profile::detail {
namespace {

GroupSummary group(std::string name, std::uint64_t phase_cycles,
                   std::uint64_t first_offset) {
  GroupSummary summary;
  summary.name = std::move(name);
  summary.phase_cycles = phase_cycles;
  summary.first_offset = first_offset;
  return summary;
}

TEST(CompareGroupsTest, LargerFirstThenEarlierThenByteWiseName) {
  const GroupSummary big = group("b", 50, 9);
  const GroupSummary small = group("a", 10, 0);
  EXPECT_EQ(compare_groups(SortBy::PhaseCycles, big, small),
            std::strong_ordering::less);
  EXPECT_EQ(compare_groups(SortBy::PhaseCycles, small, big),
            std::strong_ordering::greater);
  EXPECT_EQ(compare_groups(SortBy::Name, small, big),
            std::strong_ordering::less);

  // Equal first key: the earlier first offset, then the name.
  EXPECT_EQ(
      compare_groups(SortBy::WorkCycles, group("z", 0, 1), group("a", 0, 2)),
      std::strong_ordering::less);
  EXPECT_EQ(
      compare_groups(SortBy::WorkCycles, group("Z", 0, 1), group("a", 0, 1)),
      std::strong_ordering::less);
  EXPECT_EQ(compare_groups(SortBy::Samples, group("a", 0, 1), group("a", 0, 1)),
            std::strong_ordering::equal);

  // Bytes compare unsigned: UTF-8 text sorts after ASCII, a prefix first.
  EXPECT_EQ(
      compare_groups(SortBy::Name, group("z", 0, 0), group("\xC3\xA9", 0, 0)),
      std::strong_ordering::less);
  EXPECT_EQ(compare_groups(SortBy::Name, group("ab", 0, 0), group("abc", 0, 0)),
            std::strong_ordering::less);
  EXPECT_EQ(compare_groups(SortBy::Name, group("", 0, 5), group("a", 0, 0)),
            std::strong_ordering::less);
}

}  // namespace
}  // namespace zun_profile::detail
