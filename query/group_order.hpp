#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "query/request.hpp"
#include "query/run_records.hpp"

// The order of the group rows, settled before any row is built: a radix
// sort of the figures the order reads (the requested key, then the first
// offset), then a sort by label inside each run of equal figures. The rows
// are then built once, in place; sorting finished rows (hundreds of bytes
// each, with texts) would move each of them many times. Same order as
// compare_groups gives.
namespace zun_profile {

// Room for the longest computed label, "phase 4294967295/4294967295".
struct LabelBuffer {
  char text[32];
};

// Group ids by the figures alone: `sort_by`'s key (larger first; nothing
// for Name or a value outside SortBy), then the smaller first_offset. Equal
// figures keep ascending ids. Linear: a few radix passes over 20 bytes per
// group.
std::vector<std::uint32_t> order_by_figures(
    std::span<const GroupFigures> figures, SortBy sort_by);

// Whether groups `a` and `b` have the same figures for the order.
bool same_figures(const GroupFigures& a, const GroupFigures& b,
                  SortBy sort_by) noexcept;

// The group ids in the requested order, cut to `limit`. `label_of(g,
// buffer)` gives group g's label, possibly written into `buffer`; it is
// asked only where the figures tie (or for every comparison under Name).
template <typename LabelOf>
std::vector<std::uint32_t> order_groups(std::span<const GroupFigures> figures,
                                        SortBy sort_by,
                                        std::optional<std::size_t> limit,
                                        LabelOf&& label_of) {
  std::vector<std::uint32_t> order = order_by_figures(figures, sort_by);
  LabelBuffer left;
  LabelBuffer right;
  const auto by_label = [&](std::uint32_t a, std::uint32_t b) {
    return label_of(a, left) < label_of(b, right);
  };
  if (sort_by == SortBy::Name) {
    std::sort(order.begin(), order.end(), by_label);
  } else {
    for (std::size_t begin = 0; begin < order.size();) {
      std::size_t end = begin + 1;
      while (end < order.size() && same_figures(figures[order[begin]],
                                                figures[order[end]], sort_by)) {
        ++end;
      }
      if (end - begin > 1) {
        std::sort(order.begin() + static_cast<std::ptrdiff_t>(begin),
                  order.begin() + static_cast<std::ptrdiff_t>(end), by_label);
      }
      begin = end;
    }
  }
  if (limit && *limit < order.size()) order.resize(*limit);
  return order;
}

}  // namespace zun_profile
