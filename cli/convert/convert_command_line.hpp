#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "cli/command_line/command_line.hpp"

// The command lines of `profile-query convert` and `profile-query export`.
namespace profile_query {

// What `profile-query convert` is asked to do.
struct ConvertOptions {
  std::vector<std::string> inputs;  // reports (JSON or stores), in tile order
  std::string output;               // the store file to write
  // The store layout to write: 1 or 2, or 0 for the smaller of the two.
  std::uint32_t store_version = 0;
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

}  // namespace profile_query
