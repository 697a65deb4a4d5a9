#include <algorithm>
#include <cstddef>
#include <fmt/format.h>
#include <iterator>
#include <string_view>
#include <vector>

#include "cli/render.hpp"

namespace profile_query {
namespace {

// A cell fit for one line of a terminal: control bytes shown as escapes.
std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      fmt::format_to(std::back_inserter(out), "\\x{:02x}",
                     static_cast<unsigned>(byte));
    } else {
      out += c;
    }
  }
  return out;
}

// Width on a terminal, counting each UTF-8 sequence as one column.
std::size_t width_of(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(
      text.begin(), text.end(),
      [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

enum class Align { Left, Right };

struct Column {
  std::string_view title;
  Align align;
};

// Lays out rows of cells under their titles, two spaces apart, with no
// trailing blanks.
class Table {
 public:
  explicit Table(std::vector<Column> columns) : columns_(std::move(columns)) {}

  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }

  void append_to(std::string& out) const {
    std::vector<std::size_t> widths(columns_.size());
    for (std::size_t i = 0; i < columns_.size(); ++i)
      widths[i] = width_of(columns_[i].title);
    for (const auto& row : rows_) {
      for (std::size_t i = 0; i < row.size(); ++i)
        widths[i] = std::max(widths[i], width_of(row[i]));
    }
    std::vector<std::string> titles;
    for (const Column& column : columns_) titles.emplace_back(column.title);
    append_row(out, titles, widths);
    for (const auto& row : rows_) append_row(out, row, widths);
  }

 private:
  void append_row(std::string& out, const std::vector<std::string>& cells,
                  const std::vector<std::size_t>& widths) const {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const std::size_t padding = widths[i] - width_of(cells[i]);
      if (i > 0) line += "  ";
      if (columns_[i].align == Align::Right) line.append(padding, ' ');
      line += cells[i];
      if (columns_[i].align == Align::Left) line.append(padding, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    out += line;
    out += '\n';
  }

  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

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
