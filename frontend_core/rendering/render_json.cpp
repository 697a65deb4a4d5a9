#include "frontend_core/rendering/json_text.hpp"
#include "frontend_core/rendering/render.hpp"

namespace profile_query {
namespace {

void write_group(Writer& json, const zun_profile::GroupSummary& group) {
  json.open('{');
  json.field("name", group.name);
  json.key("dimensions");
  json.open('{');
  for (const auto& [name, value] : group.dimensions) json.field(name, value);
  json.close('}');
  json.field("sample_count", group.sample_count);
  json.field("tile_count", group.tile_count);
  json.field("phase_count", group.phase_count);
  json.field("phase_cycles", group.phase_cycles);
  json.field("phase_ms", group.phase_ms);
  json.field("work_cycles", group.work_cycles);
  json.field("average_active_tiles", group.average_active_tiles);
  json.field("mean_cycles", group.mean_cycles);
  json.field("p50_cycles", group.p50_cycles);
  json.field("p95_cycles", group.p95_cycles);
  json.field("maximum_cycles", group.maximum_cycles);
  json.field("first_offset", group.first_offset);
  json.field("last_offset", group.last_offset);
  json.close('}');
}

void write_sample(Writer& json, const zun_profile::SampleRecord& sample) {
  json.open('{');
  json.field("physical_tile", sample.physical_tile);
  json.field("offset", sample.offset);
  json.field("duration", sample.duration);
  json.field("phase", sample.phase);
  json.field("epoch", sample.epoch);
  json.field("kind", sample.kind);
  json.field("operation", sample.operation);
  json.field("kernel", sample.kernel);
  json.key("metadata");
  json.open('[');
  for (const zun_profile::MetadataEntry& entry : sample.metadata) {
    json.element();
    json.open('{');
    json.field("name", entry.name);
    json.field("value", entry.value);
    json.close('}');
  }
  json.close(']');
  json.close('}');
}

}  // namespace

std::string render_json(const zun_profile::QueryReport& result) {
  std::string out;
  Writer json(out);
  json.open('{');
  json.field("clock_hz", result.clock_hz);
  json.field("tile_count", result.tile_count);
  json.field("sample_count", result.sample_count);
  json.field("matched_sample_count", result.matched_sample_count);
  json.field("profile_span_cycles", result.profile_span_cycles);
  json.field("profile_span_ms", result.profile_span_ms);
  if (result.at_offset) {
    json.field("at_offset", *result.at_offset);
  } else {
    json.null_field("at_offset");
  }
  json.key("groups");
  json.open('[');
  for (const zun_profile::GroupSummary& group : result.groups) {
    json.element();
    write_group(json, group);
  }
  json.close(']');
  json.key("samples");
  json.open('[');
  for (const zun_profile::SampleRecord& sample : result.samples) {
    json.element();
    write_sample(json, sample);
  }
  json.close(']');
  json.close('}');
  out += '\n';
  return out;
}

}  // namespace profile_query
