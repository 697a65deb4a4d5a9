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

#include "cli/diff/diff.hpp"
#include "query/query.hpp"

// The command line of profile-query: one option per field of the request,
// the report to read and the output format.
namespace profile_query {

// The most threads --threads takes.
inline constexpr unsigned kMaxThreads = 1024;

// How the answer is written.
enum class OutputFormat {
  Table,  // aligned columns for people, with a header of report figures
  Json,   // every field of the answer, in a fixed key order
  Csv,    // one row per group
};

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

// What `profile-query serve` is asked to do.
struct ServeOptions {
  std::vector<std::string> inputs;  // the report's paths (shards), or "-"
  unsigned threads = 0;             // threads per query; 0: the cores
  std::string host = "127.0.0.1";  // the address to listen on
  std::uint16_t port = 8080;       // 0 lets the system pick a free port
  // The token requests must carry; absent: a random one beyond loopback.
  std::optional<std::string> token;
  bool no_token = false;  // beyond loopback, serve without a token
};

// Reads the command line of `profile-query serve`, `argv[0]` standing for
// "serve"; help, version and usage errors as parse_command_line.
std::variant<ServeOptions, ExitStatus> parse_serve_command_line(
    int argc, const char* const* argv, std::ostream& out, std::ostream& err);

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

// What `profile-query convert` is asked to do.
struct ConvertOptions {
  std::vector<std::string> inputs;  // reports (JSON or stores), in tile order
  std::string output;               // the store file to write
};

// Reads the command line of `profile-query convert`, `argv[0]` standing
// for "convert". Help, version and usage errors as parse_command_line.
std::variant<ConvertOptions, ExitStatus> parse_convert_command_line(
    int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// What `profile-query export` is asked to do.
struct ExportOptions {
  std::string input;   // the report (a store or JSON), or "-"
  std::string output;  // the JSON file to write, or "-" for standard output
  // Trace Event Format for timeline viewers instead of a report, with the
  // window of samples to write: cycle offsets [from, to) and tiles.
  bool trace_events = false;
  std::uint64_t from = 0;
  std::optional<std::uint64_t> to;
  std::vector<std::uint32_t> tiles;
  bool force = false;  // write a window past kMaxTraceSamples
};

// Reads the command line of `profile-query export`, `argv[0]` standing for
// "export". Help, version and usage errors as parse_command_line.
std::variant<ExportOptions, ExitStatus> parse_export_command_line(
    int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The request options alone, as name/value pairs named like the options
// without their dashes (the server's query parameters): the same checks and
// meanings as on the command line, repeatable where the option repeats.
// Returns the request, or a message naming the first offending parameter.
std::variant<zun_profile::Query, std::string> parse_request_options(
    std::span<const std::pair<std::string, std::string>> options);

}  // namespace profile_query
