#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "cli/command_line/command_line.hpp"
#include "frontend_core/diff/diff.hpp"

// The command line of `profile-query serve`.
namespace profile_query {

// What `profile-query serve` is asked to do.
struct ServeOptions {
  std::vector<std::string> inputs;  // the report's paths (shards), or "-"
  // A base report to compare with (its shards), empty for none.
  std::vector<std::string> base;
  // The page's default regression threshold for the comparison.
  std::optional<GateThreshold> fail_above;
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

}  // namespace profile_query
