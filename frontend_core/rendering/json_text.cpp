#include "frontend_core/rendering/json_text.hpp"

#include <cmath>

namespace profile_query {
namespace {

// The length of the well-formed UTF-8 sequence that starts `text`, or 0.
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(text[i]);
  };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;  // the range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

void append_string(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (static_cast<unsigned char>(c) >= 0x80) {
          // Report texts are valid UTF-8 already; anything else (an echoed
          // request value) is mended, so the output stays valid JSON.
          const std::size_t length = utf8_length(text.substr(i));
          if (length == 0) {
            out += "\\ufffd";
          } else {
            out.append(text.substr(i, length));
            i += length - 1;
          }
        } else if (static_cast<unsigned char>(c) < 0x20) {
          fmt::format_to(std::back_inserter(out), "\\u{:04x}",
                         static_cast<unsigned>(c));
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void append_number(std::string& out, double value) {
  if (std::isfinite(value)) {
    fmt::format_to(std::back_inserter(out), "{}", value);
  } else {
    out += "null";
  }
}

}  // namespace profile_query
