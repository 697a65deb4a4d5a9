#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "frontend_core/message_text.hpp"
#include "frontend_core/options/output_format.hpp"
#include "query/request.hpp"

// The request options by name, as every front end takes them: the command
// line's options without their dashes, the server's query parameters and
// the Python package's keywords all become a Query here, with one set of
// checks and one set of messages.
namespace profile_query {

// A name a user types and the value it stands for.
template <typename Value>
struct Named {
  std::string_view name;
  Value value;
};

inline constexpr std::array<Named<zun_profile::GroupBy>, 6> kGroupings = {{
    {"kind", zun_profile::GroupBy::Kind},
    {"kernel", zun_profile::GroupBy::Kernel},
    {"operation", zun_profile::GroupBy::Operation},
    {"phase", zun_profile::GroupBy::Phase},
    {"tile", zun_profile::GroupBy::Tile},
    {"metadata", zun_profile::GroupBy::Metadata},
}};

inline constexpr std::array<Named<zun_profile::SortBy>, 5> kOrders = {{
    {"phase-cycles", zun_profile::SortBy::PhaseCycles},
    {"work-cycles", zun_profile::SortBy::WorkCycles},
    {"maximum-cycles", zun_profile::SortBy::MaximumCycles},
    {"samples", zun_profile::SortBy::Samples},
    {"name", zun_profile::SortBy::Name},
}};

inline constexpr std::array<Named<zun_profile::StepKind>, 4> kKinds = {{
    {"exchange", zun_profile::StepKind::Exchange},
    {"compute", zun_profile::StepKind::Compute},
    {"synchronization", zun_profile::StepKind::Synchronization},
    {"idle", zun_profile::StepKind::Idle},
}};

inline constexpr std::array<Named<OutputFormat>, 3> kFormats = {{
    {"table", OutputFormat::Table},
    {"json", OutputFormat::Json},
    {"csv", OutputFormat::Csv},
}};

// The names of a table, in its order.
template <typename Value, std::size_t N>
std::vector<std::string> names_of(const std::array<Named<Value>, N>& table) {
  std::vector<std::string> names;
  for (const auto& entry : table) names.emplace_back(entry.name);
  return names;
}

// The value `name` stands for in `table`, if any.
template <typename Value, std::size_t N>
std::optional<Value> value_of(const std::array<Named<Value>, N>& table,
                              std::string_view name) {
  for (const auto& entry : table) {
    if (entry.name == name) return entry.value;
  }
  return std::nullopt;
}

// "VALUE not in {a,b,c}": the message for a name that `table` lacks, its
// control bytes escaped.
template <typename Value, std::size_t N>
std::string not_in_message(std::string_view value,
                           const std::array<Named<Value>, N>& table) {
  std::string message = escape_control(value) + " not in {";
  for (std::size_t i = 0; i < N; ++i) {
    if (i > 0) message += ',';
    message += table[i].name;
  }
  return message + '}';
}

// "expected a whole number from 0 to MAX, got 'VALUE'": the message for a
// value that is not a decimal number fitting a number of `max`, its control
// bytes escaped.
std::string whole_number_message(std::uint64_t max, std::string_view value);

// The request options' names, without dashes; tile, phase and metadata
// may repeat, and a tile may be a range FIRST-LAST.
inline constexpr std::array<std::string_view, 14> kRequestOptions = {
    "group-by", "sort-by",      "kind", "kernel", "operation-contains",
    "tile",     "phase",        "metadata", "metadata-key", "at",
    "from",     "to",           "limit", "samples"};

// The most tiles one request may name, ranges counted whole: each costs a
// node of Query::tiles.
inline constexpr std::uint64_t kMaxTilesNamed = std::uint64_t{1} << 16;

// Why `value` is not a value of request option `name` (one of
// kRequestOptions), or nothing when it is.
std::optional<std::string> check_request_value(std::string_view name,
                                               std::string_view value);

// The request options alone, as name/value pairs named like the options
// without their dashes: every value checked, repeatable where the option
// repeats, absent options at their defaults. Returns the request, or a
// message naming the first offending parameter ("parameter 'NAME': ...",
// "unknown parameter 'NAME'", "parameter 'NAME' is given more than once").
// `from` and `to` form the time window together: either alone leaves the
// other end open, and `to` must be past `from`.
std::variant<zun_profile::Query, std::string> parse_request_options(
    std::span<const std::pair<std::string, std::string>> options);

}  // namespace profile_query
