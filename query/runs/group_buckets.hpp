#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// Values gathered by group with one counting sort: linear in the values and
// the groups, with no comparison. Used where per-group facts arrive in pass
// order (tile visits, folded durations) and are read group by group.
namespace zun_profile::detail {

// The values of group g are values[begin[g], begin[g + 1]), in the order
// they were given.
template <typename Value>
struct GroupBuckets {
  std::vector<std::size_t> begin;  // groups + 1 offsets
  std::vector<Value> values;
};

// Buckets `count` items by group: `item(i)` gives item i's (group, value),
// with group below `groups`; it is asked twice per item.
template <typename Value, typename Item>
GroupBuckets<Value> bucket_by_group(std::size_t count, std::size_t groups,
                                    Item&& item) {
  GroupBuckets<Value> buckets;
  buckets.begin.assign(groups + 1, 0);
  for (std::size_t i = 0; i < count; ++i) ++buckets.begin[item(i).first + 1];
  for (std::size_t g = 0; g < groups; ++g) {
    buckets.begin[g + 1] += buckets.begin[g];
  }
  buckets.values.resize(count);
  std::vector<std::size_t> next(buckets.begin.begin(), buckets.begin.end() - 1);
  for (std::size_t i = 0; i < count; ++i) {
    std::pair<std::uint32_t, Value> entry = item(i);
    buckets.values[next[entry.first]++] = std::move(entry.second);
  }
  return buckets;
}

}  // namespace zun_profile::detail
