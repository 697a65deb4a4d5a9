#include "cli/serve/query_string.hpp"

#include <string>

namespace profile_query {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] != '%') {
      out += text[i];
    } else {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = hex_digit(text[i + 1]);
      const int low = hex_digit(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    }
  }
  return out;
}

}  // namespace

std::optional<Parameters> parse_query_string(std::string_view query) {
  Parameters parameters;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view()
                                          : query.substr(amp + 1);
    if (piece.empty()) continue;
    const std::size_t equals = piece.find('=');
    auto name = decode(piece.substr(0, equals));
    auto value =
        decode(equals == std::string_view::npos ? std::string_view()
                                                : piece.substr(equals + 1));
    if (!name || !value) return std::nullopt;
    parameters.emplace_back(std::move(*name), std::move(*value));
  }
  return parameters;
}

}  // namespace profile_query
