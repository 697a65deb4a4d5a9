#include "frontend_core/reading/json_syntax.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace profile_query {
namespace {

class Checker {
 public:
  explicit Checker(std::string_view text) : text_(text) {}

  std::optional<SyntaxError> run() {
    skip_space();
    if (at_end()) return fail("the input holds no JSON value");
    if (!value(0)) return error_;
    skip_space();
    if (!at_end()) return fail("unexpected content after the JSON value");
    return std::nullopt;
  }

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  unsigned char peek() const { return static_cast<unsigned char>(text_[pos_]); }

  std::optional<SyntaxError> fail(std::string message) {
    error_ = SyntaxError{pos_, std::move(message)};
    return error_;
  }
  bool refuse(std::string message) {
    fail(std::move(message));
    return false;
  }

  void skip_space() {
    while (!at_end()) {
      const unsigned char c = peek();
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
      ++pos_;
    }
  }

  bool expect(char wanted, const char* message) {
    skip_space();
    if (at_end() || text_[pos_] != wanted) return refuse(message);
    ++pos_;
    return true;
  }

  bool value(std::size_t depth) {
    skip_space();
    if (at_end()) return refuse("the input ends where a value was expected");
    switch (text_[pos_]) {
      case '{':
        return object(depth + 1);
      case '[':
        return array(depth + 1);
      case '"':
        return string();
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        break;
    }
    if (text_[pos_] == '-' || (peek() >= '0' && peek() <= '9')) return number();
    return refuse("expected a value");
  }

  bool object(std::size_t depth) {
    if (depth > kMaxJsonDepth) return refuse("nesting is too deep");
    ++pos_;
    skip_space();
    if (!at_end() && text_[pos_] == '}') {
      ++pos_;
      return true;
    }
    while (true) {
      skip_space();
      if (at_end() || text_[pos_] != '"')
        return refuse("expected a field name");
      if (!string()) return false;
      if (!expect(':', "expected ':' after the field name")) return false;
      if (!value(depth)) return false;
      skip_space();
      if (at_end()) return refuse("the input ends inside an object");
      if (text_[pos_] == '}') {
        ++pos_;
        return true;
      }
      if (text_[pos_] != ',') return refuse("expected ',' or '}'");
      ++pos_;
    }
  }

  bool array(std::size_t depth) {
    if (depth > kMaxJsonDepth) return refuse("nesting is too deep");
    ++pos_;
    skip_space();
    if (!at_end() && text_[pos_] == ']') {
      ++pos_;
      return true;
    }
    while (true) {
      if (!value(depth)) return false;
      skip_space();
      if (at_end()) return refuse("the input ends inside an array");
      if (text_[pos_] == ']') {
        ++pos_;
        return true;
      }
      if (text_[pos_] != ',') return refuse("expected ',' or ']'");
      ++pos_;
    }
  }

  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word)
      return refuse("expected a value");
    pos_ += word.size();
    return true;
  }

  bool digits() {
    const std::size_t begin = pos_;
    while (!at_end() && peek() >= '0' && peek() <= '9') ++pos_;
    return pos_ > begin;
  }

  bool number() {
    const std::size_t begin = pos_;
    const bool negative = text_[pos_] == '-';
    if (negative) ++pos_;
    if (at_end() || peek() < '0' || peek() > '9')
      return refuse("expected a digit");
    if (text_[pos_] == '0') {
      ++pos_;
      if (!at_end() && peek() >= '0' && peek() <= '9') {
        pos_ = begin;
        return refuse("a number may not have a leading zero");
      }
    } else {
      digits();
    }
    bool integer = true;
    if (!at_end() && text_[pos_] == '.') {
      integer = false;
      ++pos_;
      if (!digits()) return refuse("expected a digit after the decimal point");
    }
    if (!at_end() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      integer = false;
      ++pos_;
      if (!at_end() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      if (!digits()) return refuse("expected a digit in the exponent");
    }
    const char* first = text_.data() + begin;
    const char* last = text_.data() + pos_;
    std::errc status{};
    if (integer && negative) {
      std::int64_t parsed = 0;
      status = std::from_chars(first, last, parsed).ec;
    } else if (integer) {
      std::uint64_t parsed = 0;
      status = std::from_chars(first, last, parsed).ec;
    } else {
      double parsed = 0.0;
      status = std::from_chars(first, last, parsed).ec;
    }
    if (status != std::errc{}) {
      pos_ = begin;
      return refuse("the number is out of range");
    }
    return true;
  }

  bool hex4(std::uint32_t& unit) {
    unit = 0;
    for (int i = 0; i < 4; ++i, ++pos_) {
      if (at_end()) return refuse("the input ends inside a \\u escape");
      const unsigned char c = peek();
      std::uint32_t digit = 0;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10u;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10u;
      } else {
        return refuse("expected a hexadecimal digit in a \\u escape");
      }
      unit = unit * 16u + digit;
    }
    return true;
  }

  bool escape() {
    const std::size_t begin = pos_;
    ++pos_;  // the backslash
    if (at_end()) return refuse("the input ends inside an escape");
    const char c = text_[pos_];
    if (c != 'u') {
      if (std::string_view("\"\\/bfnrt").find(c) == std::string_view::npos) {
        return refuse("unknown escape");
      }
      ++pos_;
      return true;
    }
    ++pos_;
    std::uint32_t unit = 0;
    if (!hex4(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      pos_ = begin;
      return refuse("a low surrogate without a high one");
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (text_.substr(pos_, 2) != "\\u") {
        pos_ = begin;
        return refuse("a high surrogate without a low one");
      }
      pos_ += 2;
      std::uint32_t low = 0;
      if (!hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) {
        pos_ = begin;
        return refuse("a high surrogate without a low one");
      }
    }
    return true;
  }

  // One UTF-8 sequence of two to four bytes, well formed and shortest.
  bool multibyte() {
    const unsigned char lead = peek();
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return refuse("invalid UTF-8");
    }
    for (std::size_t i = 1; i < length; ++i) {
      if (pos_ + i >= text_.size()) return refuse("invalid UTF-8");
      const auto c = static_cast<unsigned char>(text_[pos_ + i]);
      const unsigned char min = i == 1 ? low : 0x80;
      const unsigned char max = i == 1 ? high : 0xBF;
      if (c < min || c > max) return refuse("invalid UTF-8");
    }
    pos_ += length;
    return true;
  }

  bool string() {
    const std::size_t begin = pos_;
    ++pos_;
    while (true) {
      if (at_end()) {
        pos_ = begin;
        return refuse("the string is never closed");
      }
      const unsigned char c = peek();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c == '\\') {
        if (!escape()) return false;
      } else if (c < 0x20) {
        return refuse("a control character must be escaped in a string");
      } else if (c < 0x80) {
        ++pos_;
      } else if (!multibyte()) {
        return false;
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::optional<SyntaxError> error_;
};

}  // namespace

std::optional<SyntaxError> find_syntax_error(std::string_view text) {
  return Checker(text).run();
}

TextPosition position_of(std::string_view text, std::size_t offset) {
  TextPosition position;
  const std::string_view before = text.substr(0, offset);
  for (const char c : before) {
    if (c == '\n') {
      ++position.line;
      position.column = 1;
    } else {
      ++position.column;
    }
  }
  return position;
}

}  // namespace profile_query
