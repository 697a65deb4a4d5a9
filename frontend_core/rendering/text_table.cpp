#include "frontend_core/rendering/text_table.hpp"

#include <algorithm>
#include <fmt/format.h>
#include <iterator>

namespace profile_query {

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      fmt::format_to(std::back_inserter(out), "\\x{:02x}",
                     static_cast<unsigned>(byte));
    } else {
      out += c;
    }
  }
  return out;
}

std::size_t width_of(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(
      text.begin(), text.end(),
      [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void Table::append_to(std::string& out) const {
  std::vector<std::size_t> widths(columns_.size());
  for (std::size_t i = 0; i < columns_.size(); ++i)
    widths[i] = width_of(columns_[i].title);
  for (const auto& row : rows_) {
    for (std::size_t i = 0; i < row.size(); ++i)
      widths[i] = std::max(widths[i], width_of(row[i]));
  }
  std::vector<std::string> titles;
  for (const Column& column : columns_) titles.emplace_back(column.title);
  append_row(out, titles, widths);
  for (const auto& row : rows_) append_row(out, row, widths);
}

void Table::append_row(std::string& out, const std::vector<std::string>& cells,
                       const std::vector<std::size_t>& widths) const {
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const std::size_t padding = widths[i] - width_of(cells[i]);
    if (i > 0) line += "  ";
    if (columns_[i].align == Align::Right) line.append(padding, ' ');
    line += cells[i];
    if (columns_[i].align == Align::Left) line.append(padding, ' ');
  }
  line.erase(line.find_last_not_of(' ') + 1);
  out += line;
  out += '\n';
}

}  // namespace profile_query
