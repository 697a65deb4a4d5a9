#include "query/tile_count.hpp"

#include <algorithm>
#include <vector>

namespace zun_profile {

void count_tiles(std::span<const TileVisit> visits,
                 std::span<GroupFigures> rows) {
  if (visits.empty()) {  // no group met two tile numbers
    for (GroupFigures& row : rows) row.tile_count = 1;
    return;
  }
  // Bucket the tile numbers by group: a counting sort on the group id.
  std::vector<std::size_t> begin(rows.size() + 1, 0);
  for (const TileVisit& visit : visits) ++begin[visit.group + 1];
  for (std::size_t g = 0; g < rows.size(); ++g) begin[g + 1] += begin[g];
  std::vector<std::uint32_t> tiles(visits.size());
  {
    std::vector<std::size_t> next(begin.begin(), begin.end() - 1);
    for (const TileVisit& visit : visits) {
      tiles[next[visit.group]++] = visit.tile;
    }
  }
  for (std::size_t g = 0; g < rows.size(); ++g) {
    const auto first = tiles.begin() + static_cast<std::ptrdiff_t>(begin[g]);
    const auto last = tiles.begin() + static_cast<std::ptrdiff_t>(begin[g + 1]);
    if (first == last) {
      rows[g].tile_count = 1;
      continue;
    }
    if (!std::is_sorted(first, last)) std::sort(first, last);
    rows[g].tile_count =
        static_cast<std::size_t>(std::unique(first, last) - first);
  }
}

}  // namespace zun_profile
