#include "tests/support/report_json.hpp"

#include <cstdio>
#include <string_view>

namespace zun_profile::support {
namespace {

void append_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
}

void append_field(std::string& out, std::string_view name,
                  std::uint64_t value) {
  append_string(out, name);
  out += ':';
  out += std::to_string(value);
}

void append_field(std::string& out, std::string_view name,
                  std::string_view value) {
  append_string(out, name);
  out += ':';
  append_string(out, value);
}

std::string_view kind_text(zun_package::ProfileStepKind kind) {
  switch (kind) {
    case zun_package::ProfileStepKind::Exchange:
      return "exchange";
    case zun_package::ProfileStepKind::Compute:
      return "compute";
    case zun_package::ProfileStepKind::Synchronization:
      return "synchronization";
    case zun_package::ProfileStepKind::Idle:
      return "idle";
  }
  return "unknown";
}

}  // namespace

std::string report_json(const zun_package::ProfileReport& report) {
  std::string out = "{";
  append_field(out, "clock_hz", report.clock_hz);
  out += ",\"tiles\":[";
  for (std::size_t t = 0; t < report.tiles.size(); ++t) {
    const zun_package::TileProfile& tile = report.tiles[t];
    if (t > 0) out += ',';
    out += "\n{";
    append_field(out, "physical_tile", tile.physical_tile);
    out += ",\"samples\":[";
    for (std::size_t s = 0; s < tile.samples.size(); ++s) {
      const zun_package::CycleSample& sample = tile.samples[s];
      const zun_package::ProfileStep& step = sample.step;
      if (s > 0) out += ',';
      out += "\n{";
      append_field(out, "start_cycle", sample.start_cycle);
      out += ',';
      append_field(out, "end_cycle", sample.end_cycle);
      out += ",\"step\":{";
      append_field(out, "local_index", step.local_index);
      out += ',';
      append_field(out, "phase", step.phase);
      out += ',';
      append_field(out, "epoch", step.epoch);
      out += ',';
      append_field(out, "operation", step.operation);
      out += ',';
      append_field(out, "kind", kind_text(step.kind));
      out += ',';
      append_field(out, "kernel", step.kernel);
      out += ",\"metadata\":[";
      for (std::size_t m = 0; m < step.metadata.size(); ++m) {
        if (m > 0) out += ',';
        out += '{';
        append_field(out, "name", step.metadata[m].name);
        out += ',';
        append_field(out, "value", step.metadata[m].value);
        out += '}';
      }
      out += "]}}";
    }
    out += "]}";
  }
  out += "]}\n";
  return out;
}

}  // namespace zun_profile::support
