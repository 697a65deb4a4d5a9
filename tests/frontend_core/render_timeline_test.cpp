#include "frontend_core/rendering/render_timeline.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace profile_query {
namespace {

using zun_profile::detail::TimelineAnswer;
using zun_profile::detail::TimelineRow;
using zun_profile::detail::TimelineSample;
using zun_profile::detail::TimelineWindow;

TimelineWindow window(std::uint64_t from, std::uint64_t to, std::size_t width) {
  TimelineWindow w;
  w.from = from;
  w.to = to;
  w.width = width;
  return w;
}

TimelineSample sample(std::size_t position, std::uint64_t offset,
                      std::uint32_t duration, std::uint32_t group) {
  TimelineSample s;
  s.position = position;
  s.offset = offset;
  s.duration = duration;
  s.group = group;
  return s;
}

TEST(RenderTimeline, NoRowsKeepsTheWindowAndAZeroClock) {
  EXPECT_EQ(render_timeline_json(window(0, 10, 1), 0, 0, TimelineAnswer{}),
            "{\"from\": 0, \"to\": 10, \"width\": 1, \"clock_hz\": 0, "
            "\"tile_count\": 0, \"groups\": [], \"rows\": [\n"
            "]}\n");
}

TEST(RenderTimeline, RowsOneALineWithSamplesOrPixelColumns) {
  TimelineAnswer answer;
  answer.groups = {"a\"b", "phase 1/0"};
  TimelineRow listed;
  listed.tile = 1;
  listed.physical = 7;
  // An offset past 32 bits and the longest duration: written in full.
  listed.samples = {sample(42, 5, 10, 0),
                    sample(43, 4294967296ull, 4294967295u, 1)};
  TimelineRow idle;
  idle.tile = 2;
  idle.physical = 8;
  TimelineRow drawn;
  drawn.tile = 3;
  drawn.physical = 9;
  drawn.per_pixel = true;
  drawn.pixel_groups = {-1, 0, 1};
  drawn.pixel_busy = {0, 500, 1000};
  answer.rows = {listed, idle, drawn};
  EXPECT_EQ(
      render_timeline_json(window(5, 100, 3), 1330000000, 4, answer),
      "{\"from\": 5, \"to\": 100, \"width\": 3, \"clock_hz\": 1330000000, "
      "\"tile_count\": 4, \"groups\": [\"a\\\"b\", \"phase 1/0\"], "
      "\"rows\": [\n"
      "{\"tile\": 1, \"physical\": 7, "
      "\"samples\": [[5,10,0,42],[4294967296,4294967295,1,43]]},\n"
      "{\"tile\": 2, \"physical\": 8, \"samples\": []},\n"
      "{\"tile\": 3, \"physical\": 9, \"pixel_groups\": [-1,0,1], "
      "\"pixel_busy\": [0,500,1000]}\n"
      "]}\n");
}

}  // namespace
}  // namespace profile_query
