#include "frontend_core/rendering/render_timeline.hpp"

#include <vector>

#include "frontend_core/rendering/json_text.hpp"

namespace profile_query {
namespace {

// `values` as a JSON array, without spaces: the timeline's pixel columns
// are millions of numbers.
template <typename Number>
void append_numbers(std::string& out, const std::vector<Number>& values) {
  out += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ',';
    append_number(out, values[i]);
  }
  out += ']';
}

// A row's samples as [offset,duration,group,position] arrays.
void append_samples(
    std::string& out,
    const std::vector<zun_profile::detail::TimelineSample>& samples) {
  out += '[';
  for (std::size_t k = 0; k < samples.size(); ++k) {
    const zun_profile::detail::TimelineSample& sample = samples[k];
    if (k > 0) out += ',';
    out += '[';
    append_number(out, sample.offset);
    out += ',';
    append_number(out, sample.duration);
    out += ',';
    append_number(out, sample.group);
    out += ',';
    append_number(out, sample.position);
    out += ']';
  }
  out += ']';
}

void append_row(std::string& out, const zun_profile::detail::TimelineRow& row) {
  out += "{\"tile\": ";
  append_number(out, row.tile);
  out += ", \"physical\": ";
  append_number(out, row.physical);
  if (row.per_pixel) {
    out += ", \"pixel_groups\": ";
    append_numbers(out, row.pixel_groups);
    out += ", \"pixel_busy\": ";
    append_numbers(out, row.pixel_busy);
  } else {
    out += ", \"samples\": ";
    append_samples(out, row.samples);
  }
  out += '}';
}

}  // namespace

std::string render_timeline_json(
    const zun_profile::detail::TimelineWindow& window, std::uint64_t clock_hz,
    std::size_t tile_count, const zun_profile::detail::TimelineAnswer& answer) {
  std::string out = "{\"from\": ";
  append_number(out, window.from);
  out += ", \"to\": ";
  append_number(out, window.to);
  out += ", \"width\": ";
  append_number(out, window.width);
  out += ", \"clock_hz\": ";
  append_number(out, clock_hz);
  out += ", \"tile_count\": ";
  append_number(out, tile_count);
  out += ", \"groups\": [";
  for (std::size_t g = 0; g < answer.groups.size(); ++g) {
    if (g > 0) out += ", ";
    append_string(out, answer.groups[g]);
  }
  out += "], \"rows\": [";
  for (std::size_t r = 0; r < answer.rows.size(); ++r) {
    out += r > 0 ? ",\n" : "\n";
    append_row(out, answer.rows[r]);
  }
  out += "\n]}\n";
  return out;
}

}  // namespace profile_query
