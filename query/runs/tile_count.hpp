#pragma once

#include <cstdint>
#include <span>

#include "query/runs/run_records.hpp"

// Distinct physical tiles per group. The pass notes a visit each time a
// group meets a new tile entry (tile entries are visited one after another,
// so that is once per group and entry), but only for groups that have met
// more than one physical tile number: most groups of a grouping by tile, or
// of one with a group per sample, never do, and cost nothing here. The
// visits are bucketed by group and each bucket's numbers counted once.
// Cost: linear in the visits, plus a sort of the buckets out of order;
// 8 bytes per visit, at most one per selected sample.
namespace zun_profile::detail {

struct TileVisit {
  std::uint32_t group = 0;  // the group's id
  std::uint32_t tile = 0;   // the physical tile number of the entry
};

// Sets figures[g].tile_count for every group id g from `visits`: the
// distinct numbers among g's visits, or 1 for a group with none (a group
// has at least one sample, and so one tile). Every id in `visits` is below
// figures.size().
void count_tiles(std::span<const TileVisit> visits,
                 std::span<GroupFigures> figures);

}  // namespace zun_profile::detail
