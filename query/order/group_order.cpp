#include "query/order/group_order.hpp"

#include <algorithm>
#include <bit>

#include "query/order/radix_sort.hpp"

namespace zun_profile::detail {
namespace {

// The requested key, larger first: complemented, so that ascending order
// is the requested one.
std::uint64_t primary_key(const GroupFigures& group, SortBy sort_by) noexcept {
  switch (sort_by) {
    case SortBy::PhaseCycles:
      return ~group.phase_cycles;
    case SortBy::WorkCycles:
      return ~group.work_cycles;
    case SortBy::MaximumCycles:
      return ~std::uint64_t{group.maximum_cycles};
    case SortBy::Samples:
      return ~std::uint64_t{group.sample_count};
    case SortBy::Name:
      break;
  }
  return 0;
}

// Appends the digits of a 64-bit field held in words `low` and `low + 1`.
void append_wide(std::vector<RadixDigit>& digits, std::uint32_t low,
                 std::uint64_t range) {
  const auto bits = static_cast<std::uint32_t>(std::bit_width(range));
  append_digits(digits, low, std::min(bits, 32u), 0);
  if (bits > 32) append_digits(digits, low + 1, bits - 32, 0);
}

// Reads the ids of `sorted` records of `width` words (the id last, the
// figures before it) into `order`, and the runs of equal figures.
void take_order(const std::uint32_t* sorted, std::size_t width,
                FigureOrder& order) {
  const std::size_t count = order.ids.size();
  std::size_t run = 0;  // where the current run of equal figures began
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t* record = sorted + width * i;
    order.ids[i] = record[width - 1];
    if (i > 0 && !std::equal(record, record + width - 1, record - width)) {
      if (i - run > 1) order.ties.emplace_back(run, i);
      run = i;
    }
  }
  if (count - run > 1) order.ties.emplace_back(run, count);
}

}  // namespace

FigureOrder order_by_figures(std::span<const GroupFigures> figures,
                             SortBy sort_by) {
  const std::size_t count = figures.size();
  FigureOrder order;
  order.ids.resize(count);
  if (sort_by == SortBy::Name) {  // no figure orders by name
    for (std::size_t g = 0; g < count; ++g) {
      order.ids[g] = static_cast<std::uint32_t>(g);
    }
    return order;
  }
  // Each field less its least value, in only as many bits as its spread.
  ValueRange firsts;  // the first offset fits 32 bits: a run's start
  std::uint64_t primary_low = UINT64_MAX;
  std::uint64_t primary_high = 0;
  for (const GroupFigures& group : figures) {
    const std::uint64_t primary = primary_key(group, sort_by);
    firsts.add(group.first_offset);
    primary_low = std::min(primary_low, primary);
    primary_high = std::max(primary_high, primary);
  }
  const std::uint32_t first_bits = firsts.bits();
  const auto primary_bits =
      static_cast<std::uint32_t>(std::bit_width(primary_high - primary_low));
  if (first_bits + primary_bits <= 64) {
    // Nearly always: both in one 64-bit key (primary above first offset),
    // records of three words with the id, and the keyed sort.
    std::vector<std::uint32_t> records(3 * count);
    KeyCounts counts(first_bits + primary_bits, count);
    for (std::size_t g = 0; g < count; ++g) {
      const std::uint64_t first = figures[g].first_offset - firsts.low;
      const std::uint64_t primary =
          primary_key(figures[g], sort_by) - primary_low;
      const std::uint64_t key = primary << first_bits | first;
      std::uint32_t* record = records.data() + 3 * g;
      record[0] = static_cast<std::uint32_t>(key);
      record[1] = static_cast<std::uint32_t>(key >> 32);
      record[2] = static_cast<std::uint32_t>(g);
      counts.count(key);
    }
    std::vector<std::uint32_t> buffer(3 * count);
    take_order(sort_by_key<3>(records.data(), buffer.data(), count, counts), 3,
               order);
    return order;
  }
  // Records of four words: the first offset, the primary key (low word
  // first), then the id.
  std::vector<std::uint32_t> records(4 * count);
  for (std::size_t g = 0; g < count; ++g) {
    const std::uint64_t primary =
        primary_key(figures[g], sort_by) - primary_low;
    std::uint32_t* record = records.data() + 4 * g;
    record[0] = figures[g].first_offset - firsts.low;
    record[1] = static_cast<std::uint32_t>(primary);
    record[2] = static_cast<std::uint32_t>(primary >> 32);
    record[3] = static_cast<std::uint32_t>(g);
  }
  std::vector<RadixDigit> digits;
  append_digits(digits, 0, first_bits, 0);
  append_wide(digits, 1, primary_high - primary_low);
  std::vector<std::uint32_t> buffer(4 * count);
  take_order(radix_sort<4>(records.data(), buffer.data(), count, digits), 4,
             order);
  return order;
}

}  // namespace zun_profile::detail
