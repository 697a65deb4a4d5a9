#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "query/order/radix_sort.hpp"
#include "query/runs/kept_apart.hpp"
#include "query/runs/run_buckets.hpp"
#include "query/runs/run_layout.hpp"
#include "query/runs/sweep.hpp"

// The end of a query's runs: the records of a bucket, or of several, packed
// into sortable keys, radix-sorted and handed to the sweep (sweep.hpp), the
// whole key at once where it fits 64 bits and field by field otherwise.
// Shared by the single pass (RunRecords) and by the sweep of several
// passes' runs as one (RunRecords::Joint).
namespace zun_profile::detail {

// `value >> shift`, 0 once every bit is shifted out (a plain shift by 64 is
// undefined).
constexpr std::uint64_t shift_right(std::uint64_t value,
                                    std::uint32_t shift) noexcept {
  return shift >= 64 ? 0 : value >> shift;
}
constexpr std::uint64_t shift_left(std::uint64_t value,
                                   std::uint32_t shift) noexcept {
  return shift >= 64 ? 0 : value << shift;
}

// Where each field sits in a packed key, and the least value taken from
// each before packing.
struct KeyLayout {
  std::uint32_t group_shift = 0;
  std::uint32_t phase_shift = 0;
  std::uint32_t epoch_shift = 0;
  std::uint32_t start_shift = 0;
  std::uint32_t bits = 0;  // the key's width
  std::uint32_t group_low = 0;
  std::uint32_t phase_low = 0;
  std::uint32_t epoch_low = 0;
  std::uint32_t start_low = 0;
};

// Calls visit(record, group) on every record of `piece` (a bucket, read in
// the layout `Record`), in the order written, `group` being the record's
// group as the sort numbers it.
template <typename Record, typename Visit>
void for_each_record(const RunPiece& piece, Visit&& visit) {
  const auto& bucket = *piece.bucket;
  // The loop twice, with and without the map, so that a single pass's
  // records pay no test each.
  const auto walk = [&](auto group_of) {
    for (std::size_t c = 0; c < bucket.chunks.size(); ++c) {
      const std::uint32_t* words = bucket.chunks[c].words.get();
      const std::uint32_t* end =
          c + 1 < bucket.chunks.size()
              ? words + Record::kWords * bucket.chunks[c].capacity
              : bucket.next;
      for (const std::uint32_t* record = words; record < end;
           record += Record::kWords) {
        visit(record, group_of(Record::group(record, piece.implied)));
      }
    }
  };
  if (piece.ids == nullptr) {
    walk([](std::uint32_t group) { return group; });
  } else {
    walk([ids = piece.ids](std::uint32_t group) { return ids[group]; });
  }
}

// Calls visit(record, group) on every record of every piece of `item`.
template <typename Visit>
void for_each_record_of(const SortItem& item, Visit&& visit) {
  for (const auto& piece : item.pieces) {
    with_layout(piece.layout, [&](auto layout) {
      for_each_record<decltype(layout)>(piece, [&](const std::uint32_t* from,
                                                   std::uint32_t group) {
        visit(layout, from, group);
      });
    });
  }
}

// Packs the records of `piece` (in the layout `Record`) at `to`, Width
// words each (the key, one word or two low word first, then the length),
// counting their keys; returns where the next piece goes. `previous` and
// `in_order` carry the check that the keys already ascend across pieces.
template <std::size_t Width, typename Record>
std::uint32_t* pack_piece(const RunPiece& piece, const KeyLayout& layout,
                          std::uint32_t* to, KeyCounts& counts,
                          std::uint64_t& previous_key, bool& keys_in_order) {
  // Locals, not the references: the loop keeps them in registers.
  std::uint64_t previous = previous_key;
  bool in_order = keys_in_order;
  for_each_record<Record>(piece, [&](const std::uint32_t* from,
                                     std::uint32_t group) {
    const std::uint64_t key =
        shift_left(group - layout.group_low, layout.group_shift) |
        shift_left(Record::phase(from) - layout.phase_low, layout.phase_shift) |
        shift_left(Record::epoch(from) - layout.epoch_low, layout.epoch_shift) |
        shift_left(Record::start(from) - layout.start_low, layout.start_shift) |
        (Record::folded(from) ? 1 : 0);
    to[0] = static_cast<std::uint32_t>(key);
    if constexpr (Width == 3) to[1] = static_cast<std::uint32_t>(key >> 32);
    to[Width - 1] = Record::length(from);
    to += Width;
    counts.count(key);
    in_order = in_order && key >= previous;
    previous = key;
  });
  previous_key = previous;
  keys_in_order = in_order;
  return to;
}

// Packs the records of `item` into Width words each in `packed`, sorts
// them by key with `buffer`, and sweeps them.
template <std::size_t Width, typename Sweep>
void sort_and_sweep(const SortItem& item, const KeyLayout& layout,
                    std::uint32_t* packed, std::uint32_t* buffer,
                    Sweep& sweep) {
  KeyCounts counts(layout.bits, item.count);
  bool in_order = true;
  std::uint64_t previous = 0;
  std::uint32_t* to = packed;
  for (const auto& piece : item.pieces) {
    with_layout(piece.layout, [&](auto record) {
      to = pack_piece<Width, decltype(record)>(piece, layout, to, counts,
                                               previous, in_order);
    });
  }
  const std::size_t count = item.count;
  const std::uint32_t* sorted = packed;
  if (!in_order) {  // e.g. a single tile whose runs come in key order
    sorted = sort_by_key<Width>(packed, buffer, count, counts);
  }
  const auto mask = [](std::uint32_t bits) { return shift_left(1, bits) - 1; };
  const std::uint64_t start_mask = mask(layout.epoch_shift - layout.start_shift);
  const std::uint64_t epoch_mask = mask(layout.phase_shift - layout.epoch_shift);
  const std::uint64_t phase_mask = mask(layout.group_shift - layout.phase_shift);
  sweep.run(count, [&](std::size_t i) {
    const std::uint32_t* r = sorted + Width * i;
    std::uint64_t key = r[0];
    if constexpr (Width == 3) key |= std::uint64_t{r[1]} << 32;
    return Run{static_cast<std::uint32_t>(shift_right(key, layout.group_shift) +
                                          layout.group_low),
               shift_right(key, layout.epoch_shift),
               static_cast<std::uint32_t>(
                   (shift_right(key, layout.start_shift) & start_mask) +
                   layout.start_low),
               r[Width - 1], (key & 1) != 0,
               static_cast<std::uint32_t>(
                   (shift_right(key, layout.phase_shift) & phase_mask) +
                   layout.phase_low),
               static_cast<std::uint32_t>(
                   (shift_right(key, layout.epoch_shift) & epoch_mask) +
                   layout.epoch_low)};
  });
}

// The same where phases and epochs spread over so many bits that no 64-bit
// key holds them: the records sort as they are, in the six-word layout,
// field by field.
template <typename Sweep>
void sort_wide_and_sweep(const SortItem& item, const KeyLayout& layout,
                         std::uint32_t phase_bits, std::uint32_t epoch_bits,
                         std::uint32_t start_bits, std::uint32_t* copy,
                         std::uint32_t* buffer, Sweep& sweep) {
  constexpr std::size_t kWide = 6;
  std::uint32_t* to = copy;
  for_each_record_of(item, [&](auto record, const std::uint32_t* from,
                               std::uint32_t group) {
    using Record = decltype(record);
    to[0] = group;
    to[1] = Record::phase(from);
    to[2] = Record::epoch(from);
    to[3] = Record::start(from);
    to[4] = Record::length(from);
    to[5] = Record::folded(from) ? 1 : 0;
    to += kWide;
  });
  std::vector<RadixDigit> digits;
  append_digits(digits, 3, start_bits, layout.start_low);
  append_digits(digits, 2, epoch_bits, layout.epoch_low);
  append_digits(digits, 1, phase_bits, layout.phase_low);
  append_digits(digits, 0, item.group_bits, layout.group_low);
  const std::uint32_t* sorted =
      radix_sort<kWide>(copy, buffer, item.count, digits);
  sweep.run(item.count, [sorted](std::size_t i) {
    const std::uint32_t* r = sorted + kWide * i;
    return Run{r[0], std::uint64_t{r[1]} << 32 | r[2], r[3], r[4], r[5] != 0,
               r[1], r[2]};
  });
}

// Sorts and sweeps each of `items` (the records of one bucket or of
// several) into `out`, with `facts` of all the records.
template <typename Out>
void sweep_items(std::span<const SortItem* const> items,
                 const SweepFacts& facts, Out& out) {
  if (items.empty()) return;
  // Each field kept only as wide as its spread across the records, and one
  // bit more that marks a folded record.
  const ValueRange phases = facts.phases;
  const ValueRange epochs = facts.epochs;
  const ValueRange starts = facts.starts;
  const std::uint32_t phase_bits = phases.bits();
  const std::uint32_t epoch_bits = epochs.bits();
  const std::uint32_t start_bits = starts.bits();
  const auto total_bits = [&](const SortItem& item) {
    return item.group_bits + phase_bits + epoch_bits + start_bits + 1;
  };

  // Room for the largest item, packed or (where no 64-bit key holds its
  // fields) as it is, twice: the packed records and the sort's buffer.
  std::size_t largest = 0;
  std::size_t words = 3;
  for (const SortItem* item : items) {
    largest = std::max(largest, item->count);
    if (total_bits(*item) > 64) words = 6;
  }
  std::unique_ptr<std::uint32_t[]> packed(new std::uint32_t[words * largest]);
  std::unique_ptr<std::uint32_t[]> buffer(new std::uint32_t[words * largest]);
  Sweep<Out> sweep(out, facts.folded, facts.durations, facts.samples,
                   largest + facts.most_folded);

  for (const SortItem* item : items) {
    // Each field less its least value, packed into one key: group, phase,
    // epoch, start from the most significant bits down, then the folded
    // mark.
    KeyLayout layout;
    layout.start_shift = 1;
    layout.epoch_shift = layout.start_shift + start_bits;
    layout.phase_shift = layout.epoch_shift + epoch_bits;
    layout.group_shift = layout.phase_shift + phase_bits;
    layout.bits = total_bits(*item);
    layout.group_low = item->group_low;
    layout.phase_low = phases.low;
    layout.epoch_low = epochs.low;
    layout.start_low = starts.low;
    if (layout.bits > 64) {
      sort_wide_and_sweep(*item, layout, phase_bits, epoch_bits, start_bits,
                          packed.get(), buffer.get(), sweep);
    } else if (layout.bits <= 32) {  // 8 bytes: a third less to move
      sort_and_sweep<2>(*item, layout, packed.get(), buffer.get(), sweep);
    } else {
      sort_and_sweep<3>(*item, layout, packed.get(), buffer.get(), sweep);
    }
  }
}

}  // namespace zun_profile::detail
