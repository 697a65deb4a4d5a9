#include "frontend_core/rendering/render_report.hpp"

#include <algorithm>

#include <simdjson.h>

#include "frontend_core/message_text.hpp"
#include "frontend_core/rendering/json_text.hpp"
#include "query/engine/labels.hpp"

namespace profile_query {

std::optional<std::string> json_obstacle(const zun_store::ReportStore& store) {
  for (std::size_t t = 0; t < store.text_count(); ++t) {
    const std::string_view text = store.text(static_cast<std::uint32_t>(t));
    if (!simdjson::validate_utf8(text.data(), text.size())) {
      return "the text " + quoted_text(text) +
             " is not UTF-8, which a JSON report cannot hold";
    }
  }
  // A step of a kind past the named ones, then the first sample of it.
  const std::uint32_t* kinds = store.step_kinds();
  if (std::any_of(kinds, kinds + store.step_count(),
                  [](std::uint32_t kind) { return kind > 3; })) {
    const zun_store::SampleColumns columns = store.all_samples();
    for (std::size_t s = 0; s < columns.count; ++s) {
      if (kinds[columns.steps[s]] > 3) {
        return "sample " + std::to_string(s) + " has kind " +
               std::to_string(kinds[columns.steps[s]]) +
               ", which a JSON report cannot name";
      }
    }
  }
  return std::nullopt;
}

void write_report_json(const zun_store::ReportStore& store,
                       const std::function<void(std::string_view)>& emit,
                       std::size_t piece) {
  std::string out = "{\"clock_hz\":";
  append_number(out, store.clock_hz());
  out += ",\"tiles\":[";
  const auto field = [&](std::string_view name, std::uint32_t value) {
    out += '"';
    out += name;
    out += "\":";
    append_number(out, value);
  };
  const auto text_field = [&](std::string_view name, std::uint32_t id) {
    out += '"';
    out += name;
    out += "\":";
    append_string(out, store.text(id));
  };
  for (std::size_t t = 0; t < store.tile_count(); ++t) {
    out += t == 0 ? "\n{" : ",\n{";
    field("physical_tile", store.physical_tile(t));
    out += ",\"samples\":[";
    const zun_store::SampleColumns columns = store.tile_samples(t);
    for (std::size_t i = 0; i < columns.count; ++i) {
      const std::uint32_t d = columns.steps[i];
      out += i == 0 ? "\n{" : ",\n{";
      field("start_cycle", columns.starts[i]);
      out += ',';
      field("end_cycle", columns.ends[i]);
      out += ",\"step\":{";
      field("local_index", store.step_local_indices()[d]);
      out += ',';
      field("phase", store.step_phases()[d]);
      out += ',';
      field("epoch", store.step_epochs()[d]);
      out += ',';
      text_field("operation", store.step_operations()[d]);
      out += ",\"kind\":\"";
      out += zun_profile::detail::kind_name(
          static_cast<zun_package::ProfileStepKind>(store.step_kinds()[d]));
      out += "\",";
      text_field("kernel", store.step_kernels()[d]);
      out += ",\"metadata\":[";
      bool first = true;
      for (const zun_store::MetadataRef& entry :
           store.metadata_list(store.step_metadata_lists()[d])) {
        out += first ? "{" : ",{";
        first = false;
        text_field("name", entry.name);
        out += ',';
        text_field("value", entry.value);
        out += '}';
      }
      out += "]}}";
      if (out.size() >= piece) {
        emit(out);
        out.clear();
      }
    }
    out += "]}";
  }
  out += "]}\n";
  emit(out);
}

}  // namespace profile_query
