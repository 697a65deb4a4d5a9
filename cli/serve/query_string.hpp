#pragma once

#include <optional>
#include <string_view>

#include "cli/serve/api.hpp"

// Reading a URL's query string ourselves rather than trusting a generic
// split: a value may hold '=' (metadata=block=attn), and a malformed escape
// must be refused, not guessed at.
namespace profile_query {

// The name/value pairs of `query` (the text after '?'), in order: split at
// '&', each at its first '=' (none: an empty value), '+' read as a space
// and %XX escapes decoded. Empty pieces are skipped. Nothing when an escape
// is malformed.
std::optional<Parameters> parse_query_string(std::string_view query);

}  // namespace profile_query
