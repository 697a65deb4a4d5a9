#include "cli/diff/diff_command_line.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <variant>

#include "frontend_core/message_text.hpp"

#include "cli/command_line/command_line_parts.hpp"

namespace profile_query {

using namespace command_line;

std::variant<DiffOptions, ExitStatus> parse_diff_command_line(
    int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "Compares two runs: the same request on a base report and a new one, "
      "groups matched by name, ordered by the change of the sort key "
      "(phase cycles unless --sort-by says otherwise).",
      "profile-query diff"};
  set_up(app,
         "Exit status: 0 when the reports were compared (and the gate, if any, "
         "held), 1 when a report cannot be read, 2 for a usage error, 3 when "
         "--fail-above finds a regression.\n\n"
         "Examples:\n"
         "  profile-query diff base.json new.json\n"
         "  profile-query diff base.json new.json --group-by phase --limit 10\n"
         "  profile-query diff base.json new.json --fail-above 5\n"
         "  profile-query diff --base a0.zun --base a1.zun --new b0.zun --new "
         "b1.zun\n");

  DiffOptions options;
  RequestText text;
  std::string format = "table";
  std::string fail_above;
  std::vector<std::string> reports;
  std::string threads;
  app.add_option("reports", reports,
                 "The base report and the new one (stores or JSON), - for "
                 "standard input")
      ->expected(0, 2)
      ->type_name("BASE NEW");
  app.add_option("--base", options.base,
                 "A shard of the base report, in tile order (repeatable; "
                 "instead of BASE NEW, with --new)")
      ->allow_extra_args(false)
      ->type_name("FILE");
  app.add_option("--new", options.after,
                 "A shard of the new report, in tile order (repeatable)")
      ->allow_extra_args(false)
      ->type_name("FILE");
  add_request_options(app, text);
  add_format_option(app, format);
  add_threads_option(app, threads);
  CLI::Option* gate =
      app.add_option("--fail-above", fail_above,
                     "Exit 3 when a group's sort key grew by more than PCT "
                     "percent, or an added group exceeds PCT percent of the "
                     "base's total")
          ->check(threshold_check())
          ->type_name("PCT");

  if (auto status = parse_or_exit(app, argc, argv, out, err))
    return *status;
  if (!reports.empty()) {
    if (reports.size() != 2 || !options.base.empty() || !options.after.empty()) {
      err << usage_error("give the two reports as BASE NEW, or their shards "
                         "as --base and --new, not both")
          << '\n';
      return kUsageError;
    }
    options.base = {reports[0]};
    options.after = {reports[1]};
  } else if (options.base.empty() || options.after.empty()) {
    err << usage_error("a diff needs a base report and a new one (BASE NEW, "
                       "or --base and --new)")
        << '\n';
    return kUsageError;
  }
  std::vector<std::string> every = options.base;
  every.insert(every.end(), options.after.begin(), options.after.end());
  if (std::count(every.begin(), every.end(), "-") > 1) {
    err << usage_error("only one of the two reports can be standard input")
        << '\n';
    return kUsageError;
  }
  options.threads = threads_of(threads);
  auto query = to_query(text);
  if (auto* fault = std::get_if<std::string>(&query)) {
    err << usage_error(*fault) << '\n';
    return kUsageError;
  }
  options.query = std::get<zun_profile::Query>(std::move(query));
  options.format = format_of(format);
  if (gate->count() > 0) options.fail_above = parse_threshold(fail_above);
  return options;
}

}  // namespace profile_query
