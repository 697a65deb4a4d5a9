#include "cli/serve/serve_command.hpp"

#include <iostream>
#include <new>
#include <string>
#include <variant>

#include "cli/options/command_line.hpp"
#include "cli/output.hpp"
#include "cli/reading/report_reader.hpp"
#include "cli/serve/access.hpp"
#include "cli/serve/api.hpp"
#include "cli/serve/server.hpp"

namespace profile_query {
int serve_command(int argc, const char* const* argv) {
  auto parsed = parse_serve_command_line(argc, argv, std::cout, std::cerr);
  if (const int* status = std::get_if<ExitStatus>(&parsed)) {
    return finish_parse(*status);
  }
  const ServeOptions& options = std::get<ServeOptions>(parsed);
  try {
    const std::string name = source_name(options.input);
    // Only the records stay in memory while serving: the file's text is
    // gone once loaded.
    const zun_store::ReportStore report =
        load_store_showing_progress(options.input);
    const Api api(report, name);
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
