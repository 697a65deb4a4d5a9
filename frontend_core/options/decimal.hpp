#pragma once

#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>

namespace profile_query {

// Parses a decimal number that fits `Number`, with no sign, spaces or base
// prefix: how every number a user passes (an option, a query parameter) is
// read.
template <typename Number>
std::optional<Number> decimal(std::string_view text) {
  Number number{};
  if (text.empty() || text.front() < '0' || text.front() > '9')
    return std::nullopt;
  const auto result =
      std::from_chars(text.data(), text.data() + text.size(), number);
  if (result.ec != std::errc{} || result.ptr != text.data() + text.size())
    return std::nullopt;
  return number;
}

}  // namespace profile_query
