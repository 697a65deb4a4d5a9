#include "cli/convert/convert_command_line.hpp"

#include <string>

#include "cli/command_line/command_line_parts.hpp"

namespace profile_query {

using namespace command_line;

std::variant<ExportOptions, ExitStatus> parse_export_command_line(
    int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"Writes a report (a store, or JSON) as a JSON report.",
               "profile-query export"};
  set_up(app,
         "Examples:\n"
         "  profile-query export report.zun -o report.json\n"
         "  profile-query export report.zun -o - | head\n"
         "  profile-query export report.zun --trace-events --from 0 --to 50000 "
         "--tile 3 -o trace.json\n");
  ExportOptions options;
  app.add_option("report", options.input,
                 "The report: a store or JSON, - for standard input")
      ->required()
      ->type_name("FILE");
  app.add_option("-o,--output", options.output,
                 "The JSON file to write, - for standard output")
      ->required()
      ->type_name("OUT.json");
  CLI::Option* trace = app.add_flag(
      "--trace-events", options.trace_events,
      "Write the samples as Trace Event Format JSON, for timeline viewers");
  std::string from;
  std::string to;
  std::vector<std::string> tiles;
  CLI::Option* from_option =
      app.add_option("--from", from, "Only samples running at or after this cycle offset")
          ->check(decimal_check<std::uint64_t>())
          ->type_name("CYCLE")
          ->needs(trace);
  CLI::Option* to_option =
      app.add_option("--to", to, "Only samples running before this cycle offset")
          ->check(decimal_check<std::uint64_t>())
          ->type_name("CYCLE")
          ->needs(trace);
  app.add_option("--tile", tiles, "Only this physical tile (repeatable)")
      ->check(decimal_check<std::uint32_t>())
      ->allow_extra_args(false)
      ->type_name("N")
      ->needs(trace);
  app.add_flag("--force", options.force,
               "Write a window of more than 5000000 samples all the same")
      ->needs(trace);
  if (auto status = parse_or_exit(app, argc, argv, out, err))
    return *status;
  if (from_option->count() > 0) options.from = *decimal<std::uint64_t>(from);
  if (to_option->count() > 0) options.to = decimal<std::uint64_t>(to);
  if (options.to && *options.to <= options.from) {
    err << usage_error("--to must be past --from") << '\n';
    return kUsageError;
  }
  for (const std::string& tile : tiles)
    options.tiles.push_back(*decimal<std::uint32_t>(tile));
  return options;
}

}  // namespace profile_query
