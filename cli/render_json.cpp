#include <cmath>
#include <fmt/format.h>
#include <iterator>
#include <string_view>
#include <type_traits>

#include "cli/render.hpp"

namespace profile_query {
namespace {

// Appends `text` as a JSON string. Texts come from a validated report, so
// they are UTF-8; only quotes, backslashes and control bytes need escaping.
void append_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          fmt::format_to(std::back_inserter(out), "\\u{:04x}",
                         static_cast<unsigned>(c));
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

// Doubles in the shortest form that reads back to the same value. The
// engine never produces a non-finite one; null keeps the output valid if it
// ever did.
void append_number(std::string& out, double value) {
  if (std::isfinite(value)) {
    fmt::format_to(std::back_inserter(out), "{}", value);
  } else {
    out += "null";
  }
}

template <typename Integer>
void append_number(std::string& out, Integer value) {
  fmt::format_to(std::back_inserter(out), "{}", value);
}

// Writes objects with one field a line, indented by depth.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void open(char bracket) {
    out_ += bracket;
    ++depth_;
    first_ = true;
  }
  void close(char bracket) {
    --depth_;
    if (!first_) newline();
    out_ += bracket;
    first_ = false;
  }
  // Starts the next member of the open object; `open` or a value follows.
  void key(std::string_view name) {
    next();
    append_string(out_, name);
    out_ += ": ";
  }
  // Starts the next element of the open array.
  void element() { next(); }

  template <typename Value>
  void field(std::string_view name, const Value& value) {
    key(name);
    if constexpr (std::is_convertible_v<const Value&, std::string_view>) {
      append_string(out_, value);
    } else {
      append_number(out_, value);
    }
    first_ = false;
  }
  void null_field(std::string_view name) {
    key(name);
    out_ += "null";
    first_ = false;
  }

 private:
  void next() {
    if (!first_) out_ += ',';
    newline();
    first_ = true;
  }
  void newline() {
    out_ += '\n';
    out_.append(2 * depth_, ' ');
  }

  std::string& out_;
  std::size_t depth_ = 0;
  bool first_ = true;
};

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
