#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Aligned plain-text tables for a terminal, shared by the query's and the
// diff's table output.
namespace profile_query {

// A cell fit for one line of a terminal: control bytes shown as escapes.
std::string printable(std::string_view text);

// Width on a terminal, counting each UTF-8 sequence as one column.
std::size_t width_of(std::string_view text);

enum class Align { Left, Right };

struct Column {
  std::string_view title;
  Align align;
};

// Lays out rows of cells under their titles, two spaces apart, with no
// trailing blanks.
class Table {
 public:
  explicit Table(std::vector<Column> columns) : columns_(std::move(columns)) {}

  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }

  void append_to(std::string& out) const;

 private:
  void append_row(std::string& out, const std::vector<std::string>& cells,
                  const std::vector<std::size_t>& widths) const;

  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace profile_query
