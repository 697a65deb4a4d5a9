#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// A plain, byte-at-a-time JSON syntax check. The fast parser says that a text
// is malformed but not always where; this finds the first offending byte,
// and runs only once a text has already been refused.
namespace profile_query {

// Where and why a text stops being JSON.
struct SyntaxError {
  std::size_t offset = 0;  // byte offset of the first offending byte
  std::string message;     // what was wrong there, e.g. "expected ':'"
};

// Nesting deeper than this is refused, as the fast parser refuses it.
inline constexpr std::size_t kMaxJsonDepth = 1024;

// The first syntax error of `text` (RFC 8259, UTF-8, one value, numbers that
// fit a 64-bit integer or a finite double), or nothing when it is well formed.
std::optional<SyntaxError> find_syntax_error(std::string_view text);

// The 1-based line and column (in bytes) of `offset` within `text`.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
};
TextPosition position_of(std::string_view text, std::size_t offset);

}  // namespace profile_query
