#include "frontend_core/rendering/json_text.hpp"
#include "frontend_core/rendering/render.hpp"

namespace profile_query {
std::string render_activity_json(const zun_profile::ActivityReport& activity) {
  std::string out;
  Writer json(out);
  json.open('{');
  json.field("clock_hz", activity.clock_hz);
  json.field("profile_span_cycles", activity.profile_span_cycles);
  json.field("profile_span_ms", activity.profile_span_ms);
  json.field("bucket_cycles", activity.bucket_cycles);
  json.field("bucket_count", activity.bucket_count);
  json.key("groups");
  json.open('[');
  for (const zun_profile::ActivitySeries& series : activity.groups) {
    json.element();
    json.open('{');
    json.field("name", series.name);
    json.key("busy_cycles");
    json.numbers(std::span(series.busy_cycles));
    json.close('}');
  }
  json.close(']');
  json.key("other");
  json.open('{');
  json.field("group_count", activity.other_group_count);
  json.key("busy_cycles");
  json.numbers(std::span(activity.other_cycles));
  json.close('}');
  json.close('}');
  out += '\n';
  return out;
}

}  // namespace profile_query
