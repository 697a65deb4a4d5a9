#pragma once

#include <charconv>
#include <cstddef>
#include <fmt/format.h>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

// Writing JSON text: strings, numbers, and a writer of indented objects and
// arrays. Shared by the query's JSON output and the server's answers.
namespace profile_query {

// Appends `text` as a JSON string: quotes, backslashes and control bytes
// escaped, and each byte that is not part of well-formed UTF-8 (possible
// only in an echoed request value) written as U+FFFD.
void append_string(std::string& out, std::string_view text);

// Doubles in the shortest form that reads back to the same value. The
// engine never produces a non-finite one; null keeps the output valid if it
// ever did.
void append_number(std::string& out, double value);

template <typename Integer>
void append_number(std::string& out, Integer value) {
  // to_chars: the answers with millions of numbers spend their time here.
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
  out.append(digits, static_cast<std::size_t>(end - digits));
}

// Writes objects with one field a line, indented by depth.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void open(char bracket) {
    out_ += bracket;
    ++depth_;
    first_ = true;
  }
  void close(char bracket) {
    --depth_;
    if (!first_) newline();
    out_ += bracket;
    first_ = false;
  }
  // Starts the next member of the open object; `open` or a value follows.
  void key(std::string_view name) {
    next();
    append_string(out_, name);
    out_ += ": ";
  }
  // Starts the next element of the open array.
  void element() { next(); }

  template <typename Value>
  void field(std::string_view name, const Value& value) {
    key(name);
    if constexpr (std::is_convertible_v<const Value&, std::string_view>) {
      append_string(out_, value);
    } else {
      append_number(out_, value);
    }
    first_ = false;
  }
  // Writes `values` as an array on one line, as the value of the key just
  // started.
  template <typename Number>
  void numbers(std::span<const Number> values) {
    out_ += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i > 0) out_ += ", ";
      append_number(out_, values[i]);
    }
    out_ += ']';
    first_ = false;
  }
  // Writes `text`, already JSON, as the value of the key just started.
  void raw(std::string_view text) {
    out_ += text;
    first_ = false;
  }
  // Writes true or false as the value of the key just started.
  void boolean(bool value) {
    out_ += value ? "true" : "false";
    first_ = false;
  }
  void null_field(std::string_view name) {
    key(name);
    out_ += "null";
    first_ = false;
  }

 private:
  void next() {
    if (!first_) out_ += ',';
    newline();
    first_ = true;
  }
  void newline() {
    out_ += '\n';
    out_.append(2 * depth_, ' ');
  }

  std::string& out_;
  std::size_t depth_ = 0;
  bool first_ = true;
};

}  // namespace profile_query
