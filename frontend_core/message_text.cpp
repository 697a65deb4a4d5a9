#include "frontend_core/message_text.hpp"

namespace profile_query {
namespace {

void append_escaped(std::string& out, std::string_view text, bool quotes) {
  constexpr char kHex[] = "0123456789abcdef";
  for (const char byte : text) {
    const auto c = static_cast<unsigned char>(byte);
    if (quotes && (c == '"' || c == '\\')) {
      out += '\\';
      out += byte;
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += byte;
    }
  }
}

std::string cut_and_escape(std::string_view text, bool quotes) {
  const std::string_view kept = cut_utf8(text, kShownBytes);
  std::string out;
  append_escaped(out, kept, quotes);
  if (kept.size() < text.size()) out += "...";
  return out;
}

}  // namespace

std::string escape_control(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text, false);
  return out;
}

std::string_view cut_utf8(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t end = max_bytes;
  // Back off over continuation bytes (10xxxxxx) to the start of the
  // character that would be split; at most three of them make one character.
  std::size_t steps = 0;
  while (end > 0 && steps < 4 &&
         (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
    --end;
    ++steps;
  }
  if (steps == 4) end = max_bytes;  // not UTF-8 here: cut at the byte limit
  return text.substr(0, end);
}

std::string shown(std::string_view text) { return cut_and_escape(text, false); }

std::string quoted_text(std::string_view text) {
  return '"' + cut_and_escape(text, true) + '"';
}

}  // namespace profile_query
