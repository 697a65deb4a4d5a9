#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "query/order/group_figures.hpp"
#include "query/request.hpp"

// The order of the group rows, settled before any row is built: a radix
// sort of the figures the order reads (the requested key, then the first
// offset), then a sort by label inside each run of equal figures. The rows
// are then built once, in place; sorting finished rows (hundreds of bytes
// each, with texts) would move each of them many times. Same order as
// compare_groups gives.
namespace zun_profile::detail {

// Room for the longest computed label, "phase 4294967295/4294967295".
struct LabelBuffer {
  char text[32];
};

// Group ids by the figures alone: `sort_by`'s key (larger first; nothing
// for Name or a value outside SortBy), then the smaller first_offset. Equal
// figures keep ascending ids. Linear: a few radix passes over 12 to 16
// bytes per group.
struct FigureOrder {
  std::vector<std::uint32_t> ids;  // every group id, in that order
  // The runs [first, second) of positions in `ids` whose figures are equal,
  // each of two ids or more, in order. Found on the sorted keys themselves:
  // comparing the groups' figures in this order would read them all over
  // memory, one cache miss per group.
  std::vector<std::pair<std::size_t, std::size_t>> ties;
};
FigureOrder order_by_figures(std::span<const GroupFigures> figures,
                             SortBy sort_by);

// The group ids in the requested order, cut to `limit`. `label_of(g,
// buffer)` gives group g's label, possibly written into `buffer`; it is
// asked only where the figures tie within the limit (or for every
// comparison under Name).
template <typename LabelOf>
std::vector<std::uint32_t> order_groups(std::span<const GroupFigures> figures,
                                        SortBy sort_by,
                                        std::optional<std::size_t> limit,
                                        LabelOf&& label_of) {
  FigureOrder sorted = order_by_figures(figures, sort_by);
  std::vector<std::uint32_t>& order = sorted.ids;
  const std::size_t kept =
      limit ? std::min(*limit, order.size()) : order.size();
  LabelBuffer left;
  LabelBuffer right;
  const auto by_label = [&](std::uint32_t a, std::uint32_t b) {
    return label_of(a, left) < label_of(b, right);
  };
  if (sort_by == SortBy::Name) {
    std::sort(order.begin(), order.end(), by_label);
  } else {
    for (const auto& [begin, end] : sorted.ties) {
      if (begin >= kept) break;  // past the limit: never shown
      std::sort(order.begin() + static_cast<std::ptrdiff_t>(begin),
                order.begin() + static_cast<std::ptrdiff_t>(end), by_label);
    }
  }
  order.resize(kept);
  return std::move(sorted.ids);
}

}  // namespace zun_profile::detail
