#include <fmt/format.h>
#include <iterator>
#include <set>
#include <string_view>

#include "frontend_core/rendering/csv_text.hpp"
#include "frontend_core/rendering/render.hpp"

namespace profile_query {
std::string render_csv(const zun_profile::QueryReport& result) {
  // One grouping yields the same dimension keys on every row; the union
  // keeps the columns right whatever the rows hold.
  std::set<std::string> dimension_keys;
  for (const zun_profile::GroupSummary& group : result.groups) {
    for (const auto& [key, value] : group.dimensions)
      dimension_keys.insert(key);
  }

  std::string out = "name";
  for (const std::string& key : dimension_keys) {
    out += ',';
    append_csv_field(out, key);
  }
  out +=
      ",sample_count,tile_count,phase_count,phase_cycles,phase_ms,work_cycles,"
      "average_active_tiles,mean_cycles,p50_cycles,p95_cycles,maximum_cycles,"
      "first_offset,last_offset\n";

  for (const zun_profile::GroupSummary& group : result.groups) {
    append_csv_field(out, group.name);
    for (const std::string& key : dimension_keys) {
      out += ',';
      const auto found = group.dimensions.find(key);
      if (found != group.dimensions.end()) append_csv_field(out, found->second);
    }
    fmt::format_to(std::back_inserter(out),
                   ",{},{},{},{},{},{},{},{},{},{},{},{},{}\n",
                   group.sample_count, group.tile_count, group.phase_count,
                   group.phase_cycles, group.phase_ms, group.work_cycles,
                   group.average_active_tiles, group.mean_cycles,
                   group.p50_cycles, group.p95_cycles, group.maximum_cycles,
                   group.first_offset, group.last_offset);
  }
  return out;
}

}  // namespace profile_query
