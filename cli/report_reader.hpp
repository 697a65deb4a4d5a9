#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "report/profile_report.hpp"

// Loading a profile report from its JSON file (see docs/report-format.md).
namespace profile_query {

// A report that could not be read or is not a valid report. what() is the
// whole message for the user: where (file, line, field path) and what.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The bytes of the file at `path`, or of standard input when `path` is "-".
// Throws InputError when they cannot be read.
std::string read_input(const std::string& path);

// The name under which messages refer to `path`: the path itself, or
// "standard input" for "-".
std::string source_name(const std::string& path);

// Parses `text` as a report. Every field is required and checked: numbers
// must be unsigned integers that fit their record field, `kind` one of the
// four kind names, and an unknown or repeated field is refused. Throws
// InputError naming `source` and the place (byte, line and column for
// malformed JSON; the field path, e.g. tiles[3].samples[17].end_cycle, for
// a missing or mistyped field). Reads in place when `text` has spare
// capacity for the parser's padding, else copies it once.
zun_package::ProfileReport parse_report(const std::string& text,
                                        std::string_view source);

}  // namespace profile_query
