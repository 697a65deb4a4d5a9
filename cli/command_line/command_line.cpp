#include "cli/command_line/command_line.hpp"

#include <string>
#include <utility>
#include <variant>

#include "cli/command_line/command_line_parts.hpp"

namespace profile_query {

using namespace command_line;

namespace {

constexpr std::string_view kFooter =
    "Examples:\n"
    "  profile-query report.json --group-by phase\n"
    "  profile-query report.zun --group-by operation\n"
    "  profile-query report.json --kind compute --sort-by work-cycles --limit "
    "10 --samples 5\n"
    "  gzip -dc report.json.gz | profile-query - --format json\n"
    "  profile-query chip0.zun chip1.zun --group-by phase --threads 2\n"
    "  profile-query serve report.json\n"
    "  profile-query diff base.json new.json --fail-above 5\n";

}  // namespace

std::string usage_error(std::string_view what) {
  // One line like every other error, whatever the parser's text holds.
  std::string line = "profile-query: ";
  for (const char c : what) line += (c == '\n' || c == '\r') ? ' ' : c;
  while (line.back() == ' ') line.pop_back();
  return line + " (see profile-query --help)";
}

std::variant<Options, ExitStatus> parse_command_line(int argc,
                                                     const char* const* argv,
                                                     std::ostream& out,
                                                     std::ostream& err) {
  CLI::App app{
      "Answers a query about a profile report: whole-report figures, one "
      "summary row per group and, on request, the longest samples.\n"
      "  profile-query serve REPORT [--host H] [--port P] explores one in a "
      "browser instead (see profile-query serve --help).\n"
      "  profile-query diff BASE NEW [options] compares two runs (see "
      "profile-query diff --help).\n"
      "  profile-query convert INPUT... -o OUT.zun writes a store, which "
      "every command opens in milliseconds.\n"
      "  profile-query export REPORT -o OUT.json writes a report as JSON.",
      "profile-query"};
  set_up(app, kFooter);

  Options options;
  RequestText text;
  std::string format = "table";
  std::string threads;
  app.add_option("report", options.inputs,
                 "The report: a store or JSON file, or - for standard input; "
                 "several are shards of one report, in tile order")
      ->required()
      ->type_name("FILE");
  add_request_options(app, text);
  add_format_option(app, format);
  add_threads_option(app, threads);

  if (auto status = parse_or_exit(app, argc, argv, out, err))
    return *status;
  if (auto status = check_inputs(options.inputs, err)) return *status;
  options.threads = threads_of(threads);
  auto query = to_query(text);
  if (auto* fault = std::get_if<std::string>(&query)) {
    err << usage_error(*fault) << '\n';
    return kUsageError;
  }
  options.query = std::get<zun_profile::Query>(std::move(query));
  options.format = format_of(format);
  return options;
}

}  // namespace profile_query
