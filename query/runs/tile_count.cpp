#include "query/runs/tile_count.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "query/runs/group_buckets.hpp"

namespace zun_profile::detail {

void count_tiles(std::span<const TileVisit> visits,
                 std::span<GroupFigures> rows) {
  if (visits.empty()) {  // no group met two tile numbers
    for (GroupFigures& row : rows) row.tile_count = 1;
    return;
  }
  GroupBuckets<std::uint32_t> tiles = bucket_by_group<std::uint32_t>(
      visits.size(), rows.size(), [&](std::size_t i) {
        return std::pair{visits[i].group, visits[i].tile};
      });
  for (std::size_t g = 0; g < rows.size(); ++g) {
    const auto first =
        tiles.values.begin() + static_cast<std::ptrdiff_t>(tiles.begin[g]);
    const auto last =
        tiles.values.begin() + static_cast<std::ptrdiff_t>(tiles.begin[g + 1]);
    if (first == last) {
      rows[g].tile_count = 1;
      continue;
    }
    if (!std::is_sorted(first, last)) std::sort(first, last);
    rows[g].tile_count =
        static_cast<std::size_t>(std::unique(first, last) - first);
  }
}

}  // namespace zun_profile::detail
