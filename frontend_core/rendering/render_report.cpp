#include "frontend_core/rendering/render_report.hpp"

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
  for (std::size_t s = 0; s < store.sample_count(); ++s) {
    if (store.kinds()[s] > 3) {
      return "sample " + std::to_string(s) + " has kind " +
             std::to_string(store.kinds()[s]) +
             ", which a JSON report cannot name";
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
    for (std::size_t s = store.tile_begin(t); s < store.tile_end(t); ++s) {
      out += s == store.tile_begin(t) ? "\n{" : ",\n{";
      field("start_cycle", store.start_cycles()[s]);
      out += ',';
      field("end_cycle", store.end_cycles()[s]);
      out += ",\"step\":{";
      field("local_index", store.local_indices()[s]);
      out += ',';
      field("phase", store.phases()[s]);
      out += ',';
      field("epoch", store.epochs()[s]);
      out += ',';
      text_field("operation", store.operations()[s]);
      out += ",\"kind\":\"";
      out += zun_profile::detail::kind_name(
          static_cast<zun_package::ProfileStepKind>(store.kinds()[s]));
      out += "\",";
      text_field("kernel", store.kernels()[s]);
      out += ",\"metadata\":[";
      bool first = true;
      for (const zun_store::MetadataRef& entry :
           store.metadata_list(store.metadata_lists()[s])) {
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
