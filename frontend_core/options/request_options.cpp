#include "frontend_core/options/request_options.hpp"

#include <algorithm>
#include <limits>
#include <set>
#include <utility>

#include "frontend_core/message_text.hpp"
#include "frontend_core/options/decimal.hpp"

namespace profile_query {
namespace {

bool is_repeatable(std::string_view name) {
  return name == "tile" || name == "phase" || name == "metadata";
}

bool is_request_option(std::string_view name) {
  return std::find(kRequestOptions.begin(), kRequestOptions.end(), name) !=
         kRequestOptions.end();
}

// FIRST-LAST of a `tile` value, FIRST <= LAST; nothing for anything else.
std::optional<std::pair<std::uint32_t, std::uint32_t>> tile_range(
    std::string_view value) {
  const std::size_t dash = value.find('-', 1);
  if (dash == std::string_view::npos) return std::nullopt;
  const auto first = decimal<std::uint32_t>(value.substr(0, dash));
  const auto last = decimal<std::uint32_t>(value.substr(dash + 1));
  if (!first || !last || *first > *last) return std::nullopt;
  return std::pair{*first, *last};
}

// How many tiles a checked `tile` value names.
std::uint64_t tiles_named(std::string_view value) {
  const auto range = tile_range(value);
  return range ? std::uint64_t{range->second} - range->first + 1 : 1;
}

template <typename Number>
std::optional<std::string> check_decimal(std::string_view value) {
  if (decimal<Number>(value)) return std::nullopt;
  return whole_number_message(std::numeric_limits<Number>::max(), value);
}

// Sets the field of `query` that option `name` fills; `value` has passed
// check_request_value.
void apply(zun_profile::Query& query, std::string_view name,
           const std::string& value) {
  if (name == "group-by") {
    query.group_by = *value_of(kGroupings, value);
  } else if (name == "sort-by") {
    query.sort_by = *value_of(kOrders, value);
  } else if (name == "kind") {
    query.kind = *value_of(kKinds, value);
  } else if (name == "kernel") {
    query.kernel = value;
  } else if (name == "operation-contains") {
    query.operation_contains = value;
  } else if (name == "tile") {
    if (const auto range = tile_range(value)) {
      // Ascending: each insertion lands at the set's end, hinted.
      for (std::uint64_t tile = range->first; tile <= range->second; ++tile) {
        query.tiles.insert(query.tiles.end(),
                           static_cast<std::uint32_t>(tile));
      }
    } else {
      query.tiles.insert(*decimal<std::uint32_t>(value));
    }
  } else if (name == "phase") {
    query.phases.insert(*decimal<std::uint32_t>(value));
  } else if (name == "metadata") {
    // NAME, or NAME=VALUE split at the first '='.
    const std::size_t equals = value.find('=');
    if (equals == std::string::npos) {
      query.metadata.push_back({value, std::nullopt});
    } else {
      query.metadata.push_back(
          {value.substr(0, equals), value.substr(equals + 1)});
    }
  } else if (name == "metadata-key") {
    query.metadata_key = value;
  } else if (name == "at") {
    query.at_offset = decimal<std::uint64_t>(value);
  } else if (name == "from" || name == "to") {
    if (!query.window) query.window = zun_profile::TimeWindow{
          0, std::numeric_limits<std::uint64_t>::max()};
    (name == "from" ? query.window->from : query.window->to) =
        *decimal<std::uint64_t>(value);
  } else if (name == "limit") {
    query.limit = decimal<std::size_t>(value);
  } else if (name == "samples") {
    query.sample_limit = *decimal<std::size_t>(value);
  }
}

}  // namespace

std::string whole_number_message(std::uint64_t max, std::string_view value) {
  return "expected a whole number from 0 to " + std::to_string(max) +
         ", got '" + escape_control(value) + "'";
}

std::optional<std::string> check_request_value(std::string_view name,
                                               std::string_view value) {
  if (name == "group-by") {
    if (value_of(kGroupings, value)) return std::nullopt;
    return not_in_message(value, kGroupings);
  }
  if (name == "sort-by") {
    if (value_of(kOrders, value)) return std::nullopt;
    return not_in_message(value, kOrders);
  }
  if (name == "kind") {
    if (value_of(kKinds, value)) return std::nullopt;
    return not_in_message(value, kKinds);
  }
  if (name == "tile" && value.find('-', 1) != std::string_view::npos) {
    if (tile_range(value)) return std::nullopt;
    return "expected FIRST-LAST, two whole numbers from 0 to 4294967295 "
           "with FIRST <= LAST, got '" + escape_control(value) + "'";
  }
  if (name == "tile" || name == "phase") {
    return check_decimal<std::uint32_t>(value);
  }
  if (name == "at" || name == "from" || name == "to") {
    return check_decimal<std::uint64_t>(value);
  }
  if (name == "limit" || name == "samples") {
    return check_decimal<std::size_t>(value);
  }
  return std::nullopt;  // texts: any value
}

std::variant<zun_profile::Query, std::string> parse_request_options(
    std::span<const std::pair<std::string, std::string>> options) {
  // Pair by pair, so that the first offending one is named.
  std::set<std::string_view> seen;
  zun_profile::Query query;
  std::uint64_t tiles = 0;  // named so far, ranges counted whole
  for (const auto& [name, value] : options) {
    if (!is_request_option(name)) {
      return "unknown parameter '" + shown(name) + "'";
    }
    if (!seen.insert(name).second && !is_repeatable(name)) {
      return "parameter '" + name + "' is given more than once";
    }
    if (auto fault = check_request_value(name, value)) {
      return "parameter '" + name + "': " + *fault;
    }
    if (name == "tile" && (tiles += tiles_named(value)) > kMaxTilesNamed) {
      return "parameter 'tile': at most " + std::to_string(kMaxTilesNamed) +
             " tiles in all";
    }
    apply(query, name, value);
  }
  if (query.window && query.window->to <= query.window->from) {
    // Without a `to`, the window runs to the last cycle: only a `from` of
    // that cycle leaves it empty.
    if (!seen.contains("to")) {
      return "parameter 'from': must be below " +
             std::to_string(query.window->to);
    }
    return std::string("parameter 'to': must be past 'from'");
  }
  return query;
}

}  // namespace profile_query
