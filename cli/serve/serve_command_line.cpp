#include "cli/serve/serve_command_line.hpp"

#include <string>

#include "cli/serve/access.hpp"
#include "frontend_core/message_text.hpp"

#include "cli/command_line/command_line_parts.hpp"

namespace profile_query {

using namespace command_line;

std::variant<ServeOptions, ExitStatus> parse_serve_command_line(
    int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "Loads a profile report once and serves a page to explore it in a "
      "browser, with its JSON API, until interrupted (Ctrl-C).",
      "profile-query serve"};
  set_up(app,
         "Examples:\n"
         "  profile-query serve report.json\n"
         "  profile-query serve report.json --port 9000\n"
         "  profile-query serve new.zun --base old.zun --fail-above 5\n"
         "Listens on the loopback address only unless --host names another;\n"
         "then it makes a random token and answers only requests that carry\n"
         "it: the address it prints does (?token=...), and the page keeps it.\n");

  ServeOptions options;
  std::string port = std::to_string(options.port);
  std::string threads;
  app.add_option("report", options.inputs,
                 "The report: a store or JSON file, or - for standard input; "
                 "several are shards of one report, in tile order")
      ->required()
      ->type_name("FILE");
  CLI::Option* base_option =
      app.add_option("--base", options.base,
                     "A shard of a base report to compare with, in tile "
                     "order (repeatable)")
          ->allow_extra_args(false)
          ->type_name("FILE");
  std::string fail_above;
  CLI::Option* gate_option =
      app.add_option("--fail-above", fail_above,
                     "The comparison's default threshold: groups whose sort "
                     "key grew by more than PCT percent are marked (as diff "
                     "--fail-above)")
          ->check(threshold_check())
          ->type_name("PCT")
          ->needs(base_option);
  add_threads_option(app, threads);
  app.add_option("--host", options.host,
                 "The address to listen on (0.0.0.0 for every interface)")
      ->capture_default_str();
  app.add_option("--port", port, "The port to listen on (0 picks a free one)")
      ->check(decimal_check<std::uint16_t>())
      ->capture_default_str();
  std::string token;
  CLI::Option* token_option =
      app.add_option("--token", token,
                     "The token requests must carry (8 to 256 of A-Z a-z "
                     "0-9 . _ ~ -)")
          ->type_name("TEXT")
          ->check(
              [](const std::string& text) {
                return is_valid_token(text)
                           ? std::string()
                           : std::string("expected 8 to 256 of A-Z a-z 0-9 . "
                                         "_ ~ -");
              },
              "TOKEN");
  app.add_flag("--no-token", options.no_token,
               "Beyond loopback, serve without a token (anyone who reaches "
               "the port reads the profile)")
      ->excludes(token_option);

  if (auto status = parse_or_exit(app, argc, argv, out, err))
    return *status;
  std::vector<std::string> every = options.inputs;
  every.insert(every.end(), options.base.begin(), options.base.end());
  if (auto status = check_inputs(every, err)) return *status;
  if (gate_option->count() > 0) options.fail_above = parse_threshold(fail_above);
  options.threads = threads_of(threads);
  options.port = *decimal<std::uint16_t>(port);
  if (token_option->count() > 0) options.token = token;
  return options;
}

}  // namespace profile_query
