#include <fmt/format.h>
#include <iterator>

#include "frontend_core/diff/diff.hpp"
#include "frontend_core/rendering/csv_text.hpp"
#include "frontend_core/rendering/json_text.hpp"
#include "frontend_core/rendering/text_table.hpp"

namespace profile_query {
namespace {

// The delta with its sign: "+5", "-5" or "0".
std::string signed_delta(const DiffRow& row) {
  if (row.delta == 0) return "0";
  return fmt::format("{}{}", row.grew ? '+' : '-', row.delta);
}

// The delta as a plain signed number, for machines: "5", "-5" or "0".
std::string number_delta(const DiffRow& row) {
  return fmt::format("{}{}", row.grew || row.delta == 0 ? "" : "-", row.delta);
}

std::string percent_text(const DiffRow& row) {
  if (!row.percent) return "new";
  if (row.delta == 0) return "0.0%";
  return fmt::format("{:+.1f}%", *row.percent);
}

// "a -> b", or just "a" when they agree.
template <typename Number>
std::string change(Number base, Number after) {
  if (base == after) return fmt::format("{}", base);
  return fmt::format("{} -> {}", base, after);
}

// The key's name for people: "phase cycles".
std::string spoken(std::string_view key_name) {
  std::string text(key_name);
  for (char& c : text) c = c == '_' ? ' ' : c;
  return text;
}

void write_side(Writer& json, std::string_view name, const DiffSide& side) {
  json.key(name);
  json.open('{');
  json.field("key", side.key);
  json.field("sample_count", side.sample_count);
  json.field("work_cycles", side.work_cycles);
  json.field("p50_cycles", side.p50_cycles);
  json.field("p95_cycles", side.p95_cycles);
  json.field("maximum_cycles", side.maximum_cycles);
  json.close('}');
}

void write_run(Writer& json, std::string_view name, const RunFigures& run) {
  json.key(name);
  json.open('{');
  json.field("source", run.source);
  json.field("tile_count", run.tile_count);
  json.field("sample_count", run.sample_count);
  json.field("matched_sample_count", run.matched_sample_count);
  json.field("profile_span_cycles", run.profile_span_cycles);
  json.close('}');
}

}  // namespace

std::string render_diff_table(const DiffReport& report) {
  std::string out;
  const RunFigures& base = report.base;
  const RunFigures& after = report.after;
  fmt::format_to(std::back_inserter(out),
                 "base {} -> new {}: tiles {}, samples {}, span {} cycles, "
                 "matched {}\n",
                 printable(base.source), printable(after.source),
                 change(base.tile_count, after.tile_count),
                 change(base.sample_count, after.sample_count),
                 change(base.profile_span_cycles, after.profile_span_cycles),
                 change(base.matched_sample_count, after.matched_sample_count));
  fmt::format_to(std::back_inserter(out),
                 "compared: {}; {} groups, {} added, {} removed\n\n",
                 spoken(report.key_name), report.group_count,
                 report.added_count, report.removed_count);
  if (report.rows.empty()) {
    out += "no groups\n";
    return out;
  }
  const std::string key = spoken(report.key_name);
  const std::string base_key = "base " + key;
  const std::string new_key = "new " + key;
  Table table({{"group", Align::Left},
               {"status", Align::Left},
               {base_key, Align::Right},
               {new_key, Align::Right},
               {"delta", Align::Right},
               {"delta %", Align::Right},
               {"samples", Align::Right},
               {"work cycles", Align::Right},
               {"p50", Align::Right},
               {"p95", Align::Right},
               {"max", Align::Right}});
  for (const DiffRow& row : report.rows) {
    table.add(
        {printable(row.name),
         std::string(
             row.presence == Presence::Both ? "" : presence_name(row.presence)),
         fmt::format("{}", row.base.key), fmt::format("{}", row.after.key),
         signed_delta(row), percent_text(row),
         change(row.base.sample_count, row.after.sample_count),
         change(row.base.work_cycles, row.after.work_cycles),
         change(row.base.p50_cycles, row.after.p50_cycles),
         change(row.base.p95_cycles, row.after.p95_cycles),
         change(row.base.maximum_cycles, row.after.maximum_cycles)});
  }
  table.append_to(out);
  return out;
}

std::string render_diff_json(const DiffReport& report) {
  std::string out;
  Writer json(out);
  json.open('{');
  json.field("key", report.key_name);
  write_run(json, "base", report.base);
  write_run(json, "new", report.after);
  json.field("group_count", report.group_count);
  json.field("added_count", report.added_count);
  json.field("removed_count", report.removed_count);
  json.field("base_key_total", report.base_key_total);
  json.key("groups");
  json.open('[');
  for (const DiffRow& row : report.rows) {
    json.element();
    json.open('{');
    json.field("name", row.name);
    json.field("status", presence_name(row.presence));
    write_side(json, "base", row.base);
    write_side(json, "new", row.after);
    json.key("delta");
    json.raw(number_delta(row));
    if (row.percent) {
      json.field("delta_percent", *row.percent);
    } else {
      json.null_field("delta_percent");
    }
    json.close('}');
  }
  json.close(']');
  json.close('}');
  out += '\n';
  return out;
}

std::string render_diff_csv(const DiffReport& report) {
  std::string out =
      "name,status,base_key,new_key,delta,delta_percent,base_sample_count,"
      "new_sample_count,base_work_cycles,new_work_cycles,base_p50_cycles,"
      "new_p50_cycles,base_p95_cycles,new_p95_cycles,base_maximum_cycles,"
      "new_maximum_cycles\n";
  for (const DiffRow& row : report.rows) {
    append_csv_field(out, row.name);
    fmt::format_to(
        std::back_inserter(out),
        ",{},{},{},{},{},{},{},{},{},{},{},{},{},{},{}\n",
        presence_name(row.presence), row.base.key, row.after.key,
        number_delta(row), row.percent ? fmt::format("{}", *row.percent) : "",
        row.base.sample_count, row.after.sample_count, row.base.work_cycles,
        row.after.work_cycles, row.base.p50_cycles, row.after.p50_cycles,
        row.base.p95_cycles, row.after.p95_cycles, row.base.maximum_cycles,
        row.after.maximum_cycles);
  }
  return out;
}

}  // namespace profile_query
