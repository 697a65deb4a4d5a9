#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "frontend_core/options/output_format.hpp"
#include "query/query.hpp"

// The command line of profile-query's query (no subcommand): one option
// per field of the request, the report to read and the output format; and
// what every subcommand's command line shares.
namespace profile_query {

// The most threads --threads takes.
inline constexpr unsigned kMaxThreads = 1024;

// What one run of profile-query is asked to do.
struct Options {
  // The report's paths, "-" for standard input: several are shards of one
  // report, the tiles of each following the previous one's.
  std::vector<std::string> inputs;
  unsigned threads = 0;      // threads to query on; 0: the machine's cores
  zun_profile::Query query;  // the request, from the filter and group options
  OutputFormat format = OutputFormat::Table;
};

// The exit status of a command line that was answered without running a
// query: 0 after --help or --version, 2 for a usage error.
using ExitStatus = int;
inline constexpr ExitStatus kUsageError = 2;

// The one line that reports a usage error described by `what`: prefixed
// with "profile-query: " and ending with a pointer to --help.
std::string usage_error(std::string_view what);

// Reads the command line. Help and version text go to `out`; a usage error
// is described on `err`, in one line.
std::variant<Options, ExitStatus> parse_command_line(int argc,
                                                     const char* const* argv,
                                                     std::ostream& out,
                                                     std::ostream& err);

}  // namespace profile_query
