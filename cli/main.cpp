// profile-query: answers one query about a profile report file; as
// `profile-query serve`, serves a page to explore one in a browser; as
// `profile-query diff`, compares two runs; as `convert` and `export`, writes
// a report store or a JSON report.
#include <cstdio>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <variant>

#include "cli/command_line/command_line.hpp"
#include "cli/convert/convert_command.hpp"
#include "cli/diff/diff_command.hpp"
#include "cli/output.hpp"
#include "cli/serve/serve_command.hpp"
#include "frontend_core/querying/parallel_query.hpp"
#include "frontend_core/reading/report_reader.hpp"
#include "frontend_core/reading/report_set.hpp"
#include "frontend_core/rendering/render.hpp"
#include "query/query.hpp"

namespace {

constexpr int kFailure = 1;

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string_view(argv[1]) == "serve") {
    return profile_query::serve_command(argc - 1, argv + 1);
  }
  if (argc >= 2 && std::string_view(argv[1]) == "diff") {
    return profile_query::diff_command(argc - 1, argv + 1);
  }
  if (argc >= 2 && std::string_view(argv[1]) == "convert") {
    return profile_query::convert_command(argc - 1, argv + 1);
  }
  if (argc >= 2 && std::string_view(argv[1]) == "export") {
    return profile_query::export_command(argc - 1, argv + 1);
  }
  auto parsed =
      profile_query::parse_command_line(argc, argv, std::cout, std::cerr);
  if (const int* status = std::get_if<profile_query::ExitStatus>(&parsed)) {
    return profile_query::finish_parse(*status);
  }
  const profile_query::Options& options =
      std::get<profile_query::Options>(parsed);

  try {
    const profile_query::ReportSet report =
        profile_query::load_report_set_showing_progress(options.inputs);
    const zun_profile::QueryReport result = profile_query::query_shards(
        report.stores, options.query,
        options.threads == 0 ? profile_query::default_threads()
                             : options.threads);
    if (!profile_query::write_output(
            profile_query::render(result, options.format))) {
      return kFailure;
    }
  } catch (const profile_query::InputError& error) {
    std::cerr << "profile-query: " << error.what() << '\n';
    return kFailure;
  } catch (const std::bad_alloc&) {
    std::cerr << "profile-query: out of memory\n";
    return kFailure;
  }
  return 0;
}
