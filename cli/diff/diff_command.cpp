#include "cli/diff/diff_command.hpp"

#include <cstdio>
#include <iostream>
#include <new>
#include <string>
#include <variant>

#include "cli/diff/diff_command_line.hpp"
#include "cli/output.hpp"
#include "frontend_core/diff/diff.hpp"
#include "frontend_core/querying/parallel_query.hpp"
#include "frontend_core/reading/report_reader.hpp"
#include "frontend_core/reading/report_set.hpp"

namespace profile_query {
namespace {

// The answer to `request` on the report at `paths` (its shards), which is
// `role` ("base" or "new") in messages, on `threads` threads. The report is
// gone when this returns: only the answer stays.
zun_profile::QueryReport answer(const std::vector<std::string>& paths,
                                const zun_profile::Query& request,
                                const char* role, unsigned threads) {
  try {
    const ReportSet report = load_report_set_showing_progress(paths);
    return query_shards(report.stores, request, threads);
  } catch (const InputError& error) {
    throw InputError(std::string(role) + " report: " + error.what());
  }
}

std::string render(const DiffReport& report, OutputFormat format) {
  switch (format) {
    case OutputFormat::Json:
      return render_diff_json(report);
    case OutputFormat::Csv:
      return render_diff_csv(report);
    case OutputFormat::Table:
      break;
  }
  return render_diff_table(report);
}

}  // namespace

int diff_command(int argc, const char* const* argv) {
  auto parsed = parse_diff_command_line(argc, argv, std::cout, std::cerr);
  if (const int* status = std::get_if<ExitStatus>(&parsed)) {
    return finish_parse(*status);
  }
  const DiffOptions& options = std::get<DiffOptions>(parsed);
  // Every group of both runs: the limit applies to the diff's order.
  const zun_profile::Query request = side_request(options.query);
  try {
    const unsigned threads =
        options.threads == 0 ? default_threads() : options.threads;
    const zun_profile::QueryReport base =
        answer(options.base, request, "base", threads);
    const zun_profile::QueryReport after =
        answer(options.after, request, "new", threads);
    DiffReport report =
        diff_results(base, after, options.query.sort_by,
                     set_name(options.base), set_name(options.after));
    // The gate sees every group, whatever the limit shows.
    std::vector<std::string> failures;
    if (options.fail_above) failures = regressions(report, *options.fail_above);
    keep_first(report, options.query.limit);
    const std::string text = render(report, options.format);
    if (!write_output(text)) return 1;
    if (!failures.empty()) {
      std::cerr << "profile-query: regression above "
                << options.fail_above->text << "% in " << failures.size()
                << (failures.size() == 1 ? " group" : " groups") << ":\n";
      for (const std::string& failure : failures) {
        std::cerr << "  " << failure << '\n';
      }
      return kRegression;
    }
  } catch (const InputError& error) {
    std::cerr << "profile-query: " << error.what() << '\n';
    return 1;
  } catch (const std::bad_alloc&) {
    std::cerr << "profile-query: out of memory\n";
    return 1;
  }
  return 0;
}

}  // namespace profile_query
