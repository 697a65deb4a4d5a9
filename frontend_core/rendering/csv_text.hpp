#pragma once

#include <string>
#include <string_view>

namespace profile_query {

// Appends one CSV field (RFC 4180), quoted when it holds a separator, a
// quote or a line break, with its quotes doubled.
inline void append_csv_field(std::string& out, std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += text;
    return;
  }
  out += '"';
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

}  // namespace profile_query
