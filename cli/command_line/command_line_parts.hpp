#pragma once

#include <CLI/CLI.hpp>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/command_line/command_line.hpp"
#include "frontend_core/options/decimal.hpp"
#include "frontend_core/options/request_options.hpp"
#include "query/request.hpp"

// What the command lines of profile-query's commands share: the request
// options (checked and turned into a Query by the front ends' one parser),
// --format, --threads, the inputs, --help and --version.
namespace profile_query::command_line {

// A CLI11 check that a value is a decimal number that fits `Number`.
template <typename Number>
CLI::Validator decimal_check() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (decimal<Number>(text)) return {};
        return whole_number_message(std::numeric_limits<Number>::max(), text);
      },
      "");
}

// The request options as typed, before they become a Query.
struct RequestText {
  std::string group_by = "kernel";
  std::string sort_by = "phase-cycles";
  std::string kind;
  std::string kernel;
  std::string operation;
  std::vector<std::string> tiles;
  std::vector<std::string> phases;
  std::vector<std::string> metadata;
  std::string metadata_key;
  std::string at;
  std::string from;
  std::string to;
  std::string limit;
  std::string samples = "0";
  // The options whose absence means "no filter" rather than a default.
  CLI::Option* kind_option = nullptr;
  CLI::Option* kernel_option = nullptr;
  CLI::Option* operation_option = nullptr;
  CLI::Option* key_option = nullptr;
  CLI::Option* at_option = nullptr;
  CLI::Option* from_option = nullptr;
  CLI::Option* to_option = nullptr;
  CLI::Option* limit_option = nullptr;
};

// A CLI11 check that a value is a --fail-above percentage.
CLI::Validator threshold_check();

// One option per field of the request, with its check.
void add_request_options(CLI::App& app, RequestText& text);

// The request the parsed options spell, through parse_request_options
// (every value has passed its check), or the usage error of a time window
// that ends before it starts.
std::variant<zun_profile::Query, std::string> to_query(
    const RequestText& text);

void add_format_option(CLI::App& app, std::string& format);
OutputFormat format_of(const std::string& format);

// --threads, the same on every command that queries.
void add_threads_option(CLI::App& app, std::string& threads);
unsigned threads_of(const std::string& text);

// Standard input can be only one of several reports: a usage error on
// `err` otherwise.
std::optional<ExitStatus> check_inputs(const std::vector<std::string>& inputs,
                                       std::ostream& err);

// Parses `argv` with `app`, reporting help, version and usage errors as
// parse_command_line does: the status to exit with, or nothing to go on.
std::optional<ExitStatus> parse_or_exit(CLI::App& app, int argc,
                                        const char* const* argv,
                                        std::ostream& out, std::ostream& err);

// What every command's parser shares: --version, the footer under the
// help, and the width of the help's option column.
void set_up(CLI::App& app, std::string_view footer);

}  // namespace profile_query::command_line
