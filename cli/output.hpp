#pragma once

#include <string>

#include "cli/command_line/command_line.hpp"

// Standard output of every profile-query command: written whole or not at
// all, and a failed write (a full disk, a closed pipe) is an error, never a
// quiet success.
namespace profile_query {

// Writes `text` to standard output. On failure says "cannot write the
// output" on standard error and returns false.
bool write_output(const std::string& text);

// The exit status of a command line answered without running anything
// (--help, --version, a usage error): 1 instead of 0 when the help or
// version text could not be written.
ExitStatus finish_parse(ExitStatus status);

}  // namespace profile_query
