#include "cli/serve/serve_command.hpp"

#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <variant>

#include "cli/output.hpp"
#include "cli/serve/access.hpp"
#include "cli/serve/api.hpp"
#include "cli/serve/memory.hpp"
#include "cli/serve/serve_command_line.hpp"
#include "cli/serve/server.hpp"
#include "frontend_core/querying/parallel_query.hpp"
#include "frontend_core/reading/report_reader.hpp"
#include "frontend_core/reading/report_set.hpp"

namespace profile_query {
int serve_command(int argc, const char* const* argv) {
  auto parsed = parse_serve_command_line(argc, argv, std::cout, std::cerr);
  if (const int* status = std::get_if<ExitStatus>(&parsed)) {
    return finish_parse(*status);
  }
  const ServeOptions& options = std::get<ServeOptions>(parsed);
  try {
    const std::string name = set_name(options.inputs);
    // Only the stores stay in memory while serving: a JSON file's text is
    // gone once loaded. Shards become one store, which the timeline and
    // the sample tooltips read by position.
    const zun_store::ReportStore report =
        combine(load_report_set_showing_progress(options.inputs));
    std::optional<zun_store::ReportStore> base;
    BaseRun compared;
    const std::string base_name = set_name(options.base);
    if (!options.base.empty()) {
      try {
        base = combine(load_report_set_showing_progress(options.base));
      } catch (const InputError& error) {
        throw InputError(std::string("base report: ") + error.what());
      }
      compared.report = &*base;
      compared.source = base_name;
      if (options.fail_above) {
        compared.fail_above =
            static_cast<double>(options.fail_above->millionths) / 1e6;
      }
    }
    // From here on, memory comes and goes with the answers.
    return_freed_memory_promptly();
    const Api api(report, name,
                  options.threads == 0 ? default_threads() : options.threads,
                  compared);
    // Beyond loopback a token guards the profile, unless told otherwise.
    std::optional<std::string> token = options.token;
    if (!token && !is_loopback_host(options.host)) {
      if (options.no_token) {
        std::cerr << "profile-query: warning: serving without a token: "
                     "anyone who can reach this port reads the profile\n";
      } else {
        token = make_token();
      }
    }
    return serve_http(api, name, options.host, options.port, token, std::cout,
                      std::cerr);
  } catch (const InputError& error) {
    std::cerr << "profile-query: " << error.what() << '\n';
  } catch (const std::bad_alloc&) {
    std::cerr << "profile-query: out of memory\n";
  }
  return 1;
}

}  // namespace profile_query
