#pragma once

// The end of a query's runs (internal to RunRecords): the records of a
// bucket, or of several, packed into sortable keys, sorted and swept group
// by group, each (group, phase, epoch) list into the union of its
// intervals and each group's durations into its figures or the pieces of a
// partial answer. Shared by the single pass and by the sweep of several
// passes' runs as one (RunRecords::Joint).
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "query/runs/group_buckets.hpp"
#include "query/order/order_statistics.hpp"
#include "query/runs/group_runs.hpp"
#include "query/runs/radix_sort.hpp"
#include "query/runs/run_records.hpp"
#include "query/order/statistics.hpp"

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

constexpr std::uint32_t bits_for(std::uint64_t range) noexcept {
  return static_cast<std::uint32_t>(std::bit_width(range));
}

// One record of the sorted order, as the sweep reads it.
struct Run {
  std::uint32_t group;
  std::uint64_t list;  // equal for runs of one (group, phase, epoch)
  std::uint32_t start;
  std::uint32_t length;
  bool folded;  // stands for several runs, whose durations are kept apart
  std::uint32_t phase;  // of its list (read only where a partial asks)
  std::uint32_t epoch;
};

// The durations one pass kept apart from its folded records: `values`,
// cut into segments each of one group (FoldedSegment: `group`, and where
// its durations `begin`; they run to the next segment's). `ids`, when set,
// maps the pass's group ids to those of the sweep.
template <typename Segment>
struct FoldedSource {
  std::span<const std::uint32_t> values;
  std::span<const Segment> segments;
  const std::uint32_t* ids = nullptr;
};

// The durations kept apart from folded records, gathered by group: those
// of group g are values[begin[g], begin[g + 1]). Copied once into group
// order, so that the sweep reads each group's in one stretch; read through
// the segments group by group, they cost a cache miss per segment.
template <typename Segment>
GroupBuckets<std::uint32_t> gather_folded(
    std::span<const FoldedSource<Segment>> sources, std::size_t groups) {
  GroupBuckets<std::uint32_t> folded;
  std::size_t total = 0;
  for (const auto& source : sources) total += source.values.size();
  if (total == 0) return folded;
  const auto group_of = [](const FoldedSource<Segment>& source,
                           std::size_t s) {
    const std::uint32_t group = source.segments[s].group;
    return source.ids == nullptr ? group : source.ids[group];
  };
  const auto end_of = [](const FoldedSource<Segment>& source, std::size_t s) {
    return s + 1 < source.segments.size() ? source.segments[s + 1].begin
                                          : source.values.size();
  };
  folded.begin.assign(groups + 1, 0);
  for (const auto& source : sources) {
    for (std::size_t s = 0; s < source.segments.size(); ++s) {
      folded.begin[group_of(source, s) + 1] +=
          end_of(source, s) - source.segments[s].begin;
    }
  }
  for (std::size_t g = 0; g < groups; ++g) {
    folded.begin[g + 1] += folded.begin[g];
  }
  folded.values.resize(total);
  std::vector<std::size_t> next(folded.begin.begin(), folded.begin.end() - 1);
  for (const auto& source : sources) {
    for (std::size_t s = 0; s < source.segments.size(); ++s) {
      const auto from = source.values.begin() +
                        static_cast<std::ptrdiff_t>(source.segments[s].begin);
      const auto to = source.values.begin() +
                      static_cast<std::ptrdiff_t>(end_of(source, s));
      std::size_t& at = next[group_of(source, s)];
      std::copy(from, to,
                folded.values.begin() + static_cast<std::ptrdiff_t>(at));
      at += static_cast<std::size_t>(to - from);
    }
  }
  return folded;
}

// The most durations kept apart for any one group.
inline std::size_t most_folded(const GroupBuckets<std::uint32_t>& folded) {
  std::size_t most = 0;
  for (std::size_t g = 0; g + 1 < folded.begin.size(); ++g) {
    most = std::max(most, folded.begin[g + 1] - folded.begin[g]);
  }
  return most;
}

// One group's durations as the sweep gathered them: counted into a
// histogram of the range [base, base + its size) (direct), or copied into
// scratch; either way `count` of them, between `least` and `most`, summing
// to `work`. The output that reads them leaves the histogram all zero.
struct GroupDurations {
  bool direct;
  std::vector<std::size_t>& histogram;
  std::uint32_t base;
  std::uint32_t* scratch;
  std::size_t count;
  std::uint32_t least;
  std::uint32_t most;
  std::uint64_t work;
  std::vector<std::size_t>& counts;  // scratch for values_at_ranks
};

// The sweep's output for a query: each group's figures.
class FigureOut {
 public:
  explicit FigureOut(std::span<GroupFigures> rows) : rows_(rows) {}

  std::size_t groups() const noexcept { return rows_.size(); }

  // A group of one run that stands for one sample (a group per sample).
  void single(const Run& run) {
    GroupFigures& row = rows_[run.group];
    row.sample_count = 1;
    row.phase_count = 1;
    row.phase_cycles = run.length;
    row.work_cycles = run.length;
    row.maximum_cycles = run.length;
    row.p50_cycles = run.length;
    row.p95_cycles = run.length;
    row.first_offset = run.start;
    row.last_offset = std::uint64_t{run.start} + run.length;
  }
  void begin_group(std::uint32_t) {
    lists_ = 0;
    covered_ = 0;
    earliest_ = UINT32_MAX;
    latest_ = 0;
  }
  // A (phase, epoch) list of the group begins, at its first run.
  void list(const Run&) { ++lists_; }
  // A merged interval of the list closes: [low, high).
  void interval(std::uint64_t low, std::uint64_t high) {
    covered_ += high - low;
    earliest_ = std::min(earliest_, low);
    latest_ = std::max(latest_, high);
  }
  void end_group(std::uint32_t group, const GroupDurations& durations) {
    GroupFigures& row = rows_[group];
    row.sample_count = durations.count;
    row.phase_count = lists_;
    row.phase_cycles = covered_;
    row.work_cycles = durations.work;
    row.maximum_cycles = durations.most;
    row.first_offset = static_cast<std::uint32_t>(earliest_);
    row.last_offset = latest_;
    const std::size_t low_rank = percentile_rank(durations.count, 50);
    const std::size_t high_rank = percentile_rank(durations.count, 95);
    const RankPair ranks =
        durations.direct
            ? ranks_in_histogram(
                  durations.histogram, durations.least - durations.base,
                  durations.most - durations.base, low_rank, high_rank,
                  durations.base)
            : values_at_ranks(
                  std::span(durations.scratch, durations.count), low_rank,
                  high_rank, durations.least, durations.most, durations.counts);
    row.p50_cycles = ranks.low;
    row.p95_cycles = ranks.high;
  }

 private:
  std::span<GroupFigures> rows_;
  std::size_t lists_ = 0;
  std::uint64_t covered_ = 0;
  std::uint64_t earliest_ = UINT32_MAX;
  std::uint64_t latest_ = 0;
};

// The sweep's output for a partial answer: each group's merged intervals
// per list and its durations as ascending (value, count) pairs, appended
// group by group in ascending id order.
class PartialOut {
 public:
  // `records`: the records there are, which bounds the lists and the
  // intervals: room for them all at once, so that appending never moves
  // them.
  PartialOut(std::size_t groups, std::size_t records, GroupRuns& out)
      : groups_(groups), out_(out) {
    out_.ends.resize(groups);
    out_.lists.reserve(records);
    out_.runs.reserve(records);
  }

  std::size_t groups() const noexcept { return groups_; }

  void single(const Run& run) {
    begin_group(run.group);
    list(run);
    interval(run.start, std::uint64_t{run.start} + run.length);
    out_.durations.push_back({run.length, 1});
    close(run.group);
  }
  void begin_group(std::uint32_t) {}
  [[gnu::always_inline]] void list(const Run& run) {
    out_.lists.push_back({run.phase, run.epoch, out_.runs.size()});
  }
  [[gnu::always_inline]] void interval(std::uint64_t low, std::uint64_t high) {
    out_.runs.push_back({low, high});
    out_.lists.back().runs_end = out_.runs.size();
  }
  void end_group(std::uint32_t group, const GroupDurations& durations) {
    if (durations.direct) {
      const std::size_t last = durations.most - durations.base;
      for (std::size_t slot = durations.least - durations.base; slot <= last;
           ++slot) {
        if (durations.histogram[slot] == 0) continue;
        out_.durations.push_back(
            {static_cast<std::uint32_t>(durations.base + slot),
             durations.histogram[slot]});
        durations.histogram[slot] = 0;
      }
    } else {
      std::uint32_t* const values = durations.scratch;
      sort_values(values, durations.count, durations.least, durations.most);
      for (std::size_t i = 0; i < durations.count;) {
        std::size_t j = i + 1;
        while (j < durations.count && values[j] == values[i]) ++j;
        out_.durations.push_back({values[i], j - i});
        i = j;
      }
    }
    close(group);
  }

 private:
  void close(std::uint32_t group) {
    out_.ends[group] = {out_.lists.size(), out_.durations.size()};
  }

  // Sorts `count` values between `least` and `most` ascending, in place: a
  // radix sort on (value - least) past a few dozen values.
  void sort_values(std::uint32_t* values, std::size_t count,
                   std::uint32_t least, std::uint32_t most) {
    if (count < 64) {
      std::sort(values, values + count);
      return;
    }
    if (buffer_.size() < count) buffer_.resize(count);
    std::vector<RadixDigit> digits;
    append_digits(digits, 0, bits_for(most - least), least);
    const std::uint32_t* sorted =
        radix_sort<1>(values, buffer_.data(), count, digits);
    if (sorted != values) std::copy(sorted, sorted + count, values);
  }

  std::size_t groups_;
  GroupRuns& out_;
  std::vector<std::uint32_t> buffer_;  // the radix sort's
};

// Walks sorted runs group by group: the union of each list's intervals,
// and the durations (those of records not folded, and those kept apart),
// handing each to `Out`. Built once per query and run on each bucket, so
// that its histogram and scratch serve every one.
template <typename Out>
class Sweep {
 public:
  // `largest`: the most runs, folded ones included, that one group holds.
  Sweep(Out& out, const GroupBuckets<std::uint32_t>& folded,
        ValueRange durations, std::size_t samples, std::size_t largest)
      : out_(out), folded_(folded), durations_(durations) {
    const std::uint64_t range =
        std::uint64_t{durations.high} - durations.low + 1;
    // When the durations span a narrow range and the groups are few, each
    // group's are counted straight into one histogram, with no copy;
    // otherwise they are gathered and handed to values_at_ranks.
    direct_ = range <= (std::uint64_t{1} << 16) &&
              range * out.groups() <= 4 * std::uint64_t{samples};
    if (direct_) {
      histogram_.assign(static_cast<std::size_t>(range), 0);
    } else {
      scratch_.reset(new std::uint32_t[largest]);
    }
  }

  // Sweeps `count` runs, read(i) giving run i, sorted by group, list and
  // start.
  template <typename ReadRun>
  void run(std::size_t count, ReadRun read) {
    // The group's durations so far, in locals (members would be reloaded
    // after every store to the histogram, which might alias them).
    const bool direct = direct_;
    const std::uint32_t base = durations_.low;
    std::size_t* const histogram = histogram_.data();
    std::uint32_t* const scratch = scratch_.get();
    std::size_t gathered = 0;
    std::uint32_t least = UINT32_MAX;
    std::uint32_t most = 0;
    std::uint64_t work = 0;
    const auto take = [&](std::uint32_t duration) {
      if (direct) {
        ++histogram[duration - base];
        ++gathered;
      } else {
        scratch[gathered++] = duration;
      }
      least = std::min(least, duration);
      most = std::max(most, duration);
      work += duration;
    };

    std::size_t i = 0;
    while (i < count) {
      const Run first = read(i);
      const std::uint32_t group = first.group;
      // A group of one run that stands for one sample (a group per sample):
      // at once, without the sweep's bookkeeping. A record not folded has
      // no durations kept apart.
      if (!first.folded && (i + 1 == count || read(i + 1).group != group)) {
        out_.single(first);
        ++i;
        continue;
      }
      out_.begin_group(group);
      gathered = 0;
      least = UINT32_MAX;
      most = 0;
      work = 0;
      // The list being swept, and the merged interval at its front.
      bool any = false;
      std::uint64_t list = 0;
      std::uint64_t low = 0;
      std::uint64_t high = 0;
      const std::size_t group_begin = i;
      for (; i < count; ++i) {
        const Run run = read(i);
        if (run.group != group) break;
        const std::uint64_t start = run.start;
        const std::uint64_t end = start + run.length;
        if (!any || run.list != list) {
          if (any) out_.interval(low, high);
          any = true;
          out_.list(run);
          list = run.list;
          low = start;
          high = end;
        } else if (start > high) {
          out_.interval(low, high);
          low = start;
          high = end;
        } else if (end > high) {
          high = end;
        }
      }
      out_.interval(low, high);
      // The durations in a loop of their own: beside the intervals' state,
      // the running least, most and sum would live in memory, each record
      // waiting on the last one's stores.
      for (std::size_t at = group_begin; at < i; ++at) {
        const Run run = read(at);
        if (!run.folded) take(run.length);
      }
      if (!folded_.begin.empty()) {
        for (std::size_t at = folded_.begin[group];
             at < folded_.begin[group + 1]; ++at) {
          take(folded_.values[at]);
        }
      }
      out_.end_group(group, GroupDurations{direct, histogram_, base, scratch,
                                           gathered, least, most, work,
                                           counts_});
    }
  }

 private:
  Out& out_;
  const GroupBuckets<std::uint32_t>& folded_;
  ValueRange durations_;  // every duration lies in it
  bool direct_ = false;
  std::vector<std::size_t> histogram_;        // when direct_
  std::unique_ptr<std::uint32_t[]> scratch_;  // otherwise
  std::vector<std::size_t> counts_;           // values_at_ranks' scratch
};

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
template <typename Record, typename Piece, typename Visit>
void for_each_record(const Piece& piece, Visit&& visit) {
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
template <typename Item, typename Visit>
void for_each_record_of(const Item& item, Visit&& visit) {
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
template <std::size_t Width, typename Record, typename Piece>
std::uint32_t* pack_piece(const Piece& piece, const KeyLayout& layout,
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
template <std::size_t Width, typename Item, typename Sweep>
void sort_and_sweep(const Item& item, const KeyLayout& layout,
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
template <typename Item, typename Sweep>
void sort_wide_and_sweep(const Item& item, const KeyLayout& layout,
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
// several: RunRecords::SortItem) into `out`, with `facts`
// (RunRecords::SweepFacts) of all the records.
template <typename Out, typename Item, typename Facts>
void sweep_items(std::span<const Item* const> items, const Facts& facts,
                 Out& out) {
  if (items.empty()) return;
  // Each field kept only as wide as its spread across the records, and one
  // bit more that marks a folded record.
  const ValueRange phases = facts.phases;
  const ValueRange epochs = facts.epochs;
  const ValueRange starts = facts.starts;
  const std::uint32_t phase_bits = phases.bits();
  const std::uint32_t epoch_bits = epochs.bits();
  const std::uint32_t start_bits = starts.bits();
  const auto total_bits = [&](const Item& item) {
    return item.group_bits + phase_bits + epoch_bits + start_bits + 1;
  };

  // Room for the largest item, packed or (where no 64-bit key holds its
  // fields) as it is, twice: the packed records and the sort's buffer.
  std::size_t largest = 0;
  std::size_t words = 3;
  for (const Item* item : items) {
    largest = std::max(largest, item->count);
    if (total_bits(*item) > 64) words = 6;
  }
  std::unique_ptr<std::uint32_t[]> packed(new std::uint32_t[words * largest]);
  std::unique_ptr<std::uint32_t[]> buffer(new std::uint32_t[words * largest]);
  Sweep<Out> sweep(out, facts.folded, facts.durations, facts.samples,
                   largest + facts.most_folded);

  for (const Item* item : items) {
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
