#include "cli/convert/convert_command_line.hpp"

#include <algorithm>
#include <string>

#include "cli/command_line/command_line_parts.hpp"

namespace profile_query {

using namespace command_line;

std::variant<ConvertOptions, ExitStatus> parse_convert_command_line(
    int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "Writes a report store: the compact form of a report, which every "
      "command opens in milliseconds. Several inputs make one report, the "
      "tiles of each following the previous one's.",
      "profile-query convert"};
  set_up(app,
         "The store is written beside OUTPUT under a temporary name and "
         "renamed only when complete: a failed or interrupted conversion "
         "leaves no file, and an existing OUTPUT as it was.\n\n"
         "Examples:\n"
         "  profile-query convert report.json -o report.zun\n"
         "  profile-query convert chip0.json chip1.json -o run.zun\n"
         "  profile-query convert old.zun -o new.zun\n");
  ConvertOptions options;
  app.add_option("inputs", options.inputs,
                 "The reports: JSON files or stores, - for standard input")
      ->required()
      ->type_name("FILE...");
  app.add_option("-o,--output", options.output, "The store file to write")
      ->required()
      ->type_name("OUTPUT");
  app.add_option("--store-version", options.store_version,
                 "The layout to write: 2 holds each distinct step once, 1 "
                 "every field of every sample (default: the smaller)")
      ->check(CLI::IsMember({1, 2}))
      ->type_name("1|2");
  if (auto status = parse_or_exit(app, argc, argv, out, err))
    return *status;
  if (options.output == "-") {
    err << usage_error("a store is written to a file, not to standard output")
        << '\n';
    return kUsageError;
  }
  if (std::count(options.inputs.begin(), options.inputs.end(), "-") > 1) {
    err << usage_error("standard input can be read only once") << '\n';
    return kUsageError;
  }
  return options;
}

}  // namespace profile_query
