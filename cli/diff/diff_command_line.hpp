#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "cli/command_line/command_line.hpp"
#include "frontend_core/diff/diff.hpp"
#include "frontend_core/options/output_format.hpp"
#include "query/request.hpp"

// The command line of `profile-query diff`.
namespace profile_query {

// What `profile-query diff` is asked to do.
struct DiffOptions {
  std::vector<std::string> base;   // the base report's paths (shards), or "-"
  std::vector<std::string> after;  // the new report's paths (shards), or "-"
  unsigned threads = 0;            // threads per query; 0: the cores
  zun_profile::Query query;  // the request asked of both
  OutputFormat format = OutputFormat::Table;
  std::optional<GateThreshold> fail_above;  // the regression gate, if any
};

// Reads the command line of `profile-query diff`, `argv[0]` standing for
// "diff": both reports, every request option, --format and --fail-above.
// Help, version and usage errors as parse_command_line.
std::variant<DiffOptions, ExitStatus> parse_diff_command_line(
    int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace profile_query
