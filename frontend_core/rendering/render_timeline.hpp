#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "query/time/timeline.hpp"

// A timeline answer as the explorer's JSON. Its rows can hold millions of
// numbers, so it is compact: one row a line, arrays without spaces.
namespace profile_query {

// `answer`, the timeline of `window` over a report of `tile_count` tile
// entries with clock `clock_hz` (0: none), as one JSON object: the window,
// the report's figures, the group labels, then per tile row its samples
// ([offset, duration, group, position]) or per pixel column its group and
// busy thousandths.
std::string render_timeline_json(
    const zun_profile::detail::TimelineWindow& window, std::uint64_t clock_hz,
    std::size_t tile_count, const zun_profile::detail::TimelineAnswer& answer);

}  // namespace profile_query
