#include <algorithm>
#include <cstddef>
#include <fmt/format.h>
#include <iterator>
#include <string_view>
#include <vector>

#include "frontend_core/rendering/render.hpp"
#include "frontend_core/rendering/text_table.hpp"

namespace profile_query {
namespace {

// Milliseconds with at least four significant digits, between three and six
// decimals, so that short phases do not all read 0.000.
std::string milliseconds(double value, bool has_clock) {
  if (!has_clock) return "-";
  int decimals = 3;
  for (double bound = 1.0; decimals < 6 && value != 0.0 && value < bound;
       bound /= 10.0) {
    ++decimals;
  }
  return fmt::format("{:.{}f} ms", value, decimals);
}

std::string metadata_text(
    const std::vector<zun_profile::MetadataEntry>& metadata) {
  std::string text;
  for (const zun_profile::MetadataEntry& entry : metadata) {
    if (!text.empty()) text += ", ";
    text += entry.name;
    text += '=';
    text += entry.value;
  }
  return text;
}

void append_groups(std::string& out, const zun_profile::QueryReport& result) {
  const bool has_clock = result.clock_hz != 0;
  Table table({{"group", Align::Left},
               {"samples", Align::Right},
               {"tiles", Align::Right},
               {"phases", Align::Right},
               {"phase cycles", Align::Right},
               {"phase time", Align::Right},
               {"work cycles", Align::Right},
               {"active tiles", Align::Right},
               {"mean", Align::Right},
               {"p50", Align::Right},
               {"p95", Align::Right},
               {"max", Align::Right},
               {"first", Align::Right},
               {"last", Align::Right}});
  for (const zun_profile::GroupSummary& group : result.groups) {
    table.add({printable(group.name), fmt::format("{}", group.sample_count),
               fmt::format("{}", group.tile_count),
               fmt::format("{}", group.phase_count),
               fmt::format("{}", group.phase_cycles),
               milliseconds(group.phase_ms, has_clock),
               fmt::format("{}", group.work_cycles),
               fmt::format("{:.2f}", group.average_active_tiles),
               fmt::format("{:.1f}", group.mean_cycles),
               fmt::format("{}", group.p50_cycles),
               fmt::format("{}", group.p95_cycles),
               fmt::format("{}", group.maximum_cycles),
               fmt::format("{}", group.first_offset),
               fmt::format("{}", group.last_offset)});
  }
  table.append_to(out);
}

void append_samples(std::string& out, const zun_profile::QueryReport& result) {
  Table table({{"tile", Align::Right},
               {"offset", Align::Right},
               {"duration", Align::Right},
               {"phase", Align::Right},
               {"epoch", Align::Right},
               {"kind", Align::Left},
               {"kernel", Align::Left},
               {"operation", Align::Left},
               {"metadata", Align::Left}});
  for (const zun_profile::SampleRecord& sample : result.samples) {
    table.add({fmt::format("{}", sample.physical_tile),
               fmt::format("{}", sample.offset),
               fmt::format("{}", sample.duration),
               fmt::format("{}", sample.phase), fmt::format("{}", sample.epoch),
               printable(sample.kind), printable(sample.kernel),
               printable(sample.operation),
               printable(metadata_text(sample.metadata))});
  }
  table.append_to(out);
}

}  // namespace

std::string render_table(const zun_profile::QueryReport& result) {
  std::string out;
  const bool has_clock = result.clock_hz != 0;
  fmt::format_to(
      std::back_inserter(out),
      "report: {} tiles, {} samples, clock {} Hz, span {} cycles ({})\n",
      result.tile_count, result.sample_count, result.clock_hz,
      result.profile_span_cycles,
      has_clock ? milliseconds(result.profile_span_ms, true) : "no clock");
  fmt::format_to(std::back_inserter(out), "matched: {} of {} samples",
                 result.matched_sample_count, result.sample_count);
  if (result.at_offset)
    fmt::format_to(std::back_inserter(out), " running at cycle {}",
                   *result.at_offset);
  out += "\n\n";

  if (result.groups.empty()) {
    out += "no groups\n";
  } else {
    append_groups(out, result);
  }
  if (!result.samples.empty()) {
    out += "\nlongest samples\n";
    append_samples(out, result);
  }
  return out;
}

std::string render(const zun_profile::QueryReport& result,
                   OutputFormat format) {
  switch (format) {
    case OutputFormat::Json:
      return render_json(result);
    case OutputFormat::Csv:
      return render_csv(result);
    case OutputFormat::Table:
      break;
  }
  return render_table(result);
}

}  // namespace profile_query
