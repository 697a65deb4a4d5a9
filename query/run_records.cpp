#include "query/run_records.hpp"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

#include "query/group_buckets.hpp"
#include "query/order_statistics.hpp"
#include "query/radix_sort.hpp"
#include "query/statistics.hpp"

namespace zun_profile {
namespace {

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
};

// Every duration lies in [least, most]. When that range is narrow and the
// groups few, each group's durations are counted straight into one
// histogram as they are swept, with no copy; otherwise each group's are
// gathered and handed to values_at_ranks.
struct DurationRange {
  std::uint32_t least;
  std::uint32_t most;
};

// The durations kept apart from folded records, by group: those of group g
// are the ranges segments.values[segments.begin[g], segments.begin[g + 1])
// of `values`, each [from, to).
struct FoldedByGroup {
  std::span<const std::uint32_t> values;
  GroupBuckets<std::pair<std::size_t, std::size_t>> segments;
};

template <typename Segment>
FoldedByGroup bucket(std::span<const std::uint32_t> values,
                     const std::vector<Segment>& segments, std::size_t groups) {
  FoldedByGroup folded;
  folded.values = values;
  if (segments.empty()) return folded;
  folded.segments = bucket_by_group<std::pair<std::size_t, std::size_t>>(
      segments.size(), groups, [&](std::size_t s) {
        const std::size_t to =
            s + 1 < segments.size() ? segments[s + 1].begin : values.size();
        return std::pair{segments[s].group, std::pair{segments[s].begin, to}};
      });
  return folded;
}

// Walks the sorted runs group by group: the union of each list's intervals,
// and the totals and percentiles of the durations (those of records not
// folded, and those kept apart). Gathers durations in `scratch`, which has
// room for any group's, unless they are counted directly.
template <typename ReadRun>
void sweep(std::size_t count, ReadRun read, const FoldedByGroup& folded,
           std::span<GroupFigures> rows, std::uint32_t* scratch,
           DurationRange durations, std::size_t samples) {
  std::vector<std::size_t> counts;
  const std::uint64_t range =
      std::uint64_t{durations.most} - durations.least + 1;
  const bool direct = range <= (std::uint64_t{1} << 16) &&
                      range * rows.size() <= 4 * std::uint64_t{samples};
  std::vector<std::size_t> histogram(direct ? range : 0);
  std::size_t gathered = 0;
  std::uint32_t least = UINT32_MAX;
  std::uint32_t most = 0;
  std::uint64_t work = 0;
  const auto take = [&](std::uint32_t duration) {
    if (direct) {
      ++histogram[duration - durations.least];
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
    const std::uint32_t group = read(i).group;
    GroupFigures& row = rows[group];
    gathered = 0;
    least = UINT32_MAX;
    most = 0;
    work = 0;
    std::uint64_t earliest = UINT64_MAX;
    std::uint64_t latest = 0;
    std::uint64_t covered = 0;
    std::size_t lists = 0;
    // The list being swept, and the merged interval at its front.
    std::uint64_t list = 0;
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    for (; i < count; ++i) {
      const Run run = read(i);
      if (run.group != group) break;
      const std::uint64_t start = run.start;
      const std::uint64_t end = start + run.length;
      if (lists == 0 || run.list != list) {
        covered += high - low;
        ++lists;
        list = run.list;
        low = start;
        high = end;
      } else if (start > high) {
        covered += high - low;
        low = start;
        high = end;
      } else if (end > high) {
        high = end;
      }
      if (!run.folded) take(run.length);
      earliest = std::min(earliest, start);
      latest = std::max(latest, end);
    }
    covered += high - low;
    if (!folded.segments.values.empty()) {
      for (std::size_t s = folded.segments.begin[group];
           s < folded.segments.begin[group + 1]; ++s) {
        const auto [from, to] = folded.segments.values[s];
        for (std::size_t at = from; at < to; ++at) take(folded.values[at]);
      }
    }

    row.sample_count = gathered;
    row.phase_count = lists;
    row.phase_cycles = covered;
    row.work_cycles = work;
    row.maximum_cycles = most;
    row.first_offset = earliest;
    row.last_offset = latest;
    const std::size_t low_rank = percentile_rank(gathered, 50);
    const std::size_t high_rank = percentile_rank(gathered, 95);
    const RankPair ranks =
        direct ? ranks_in_histogram(histogram, least - durations.least,
                                    most - durations.least, low_rank, high_rank,
                                    durations.least)
               : values_at_ranks(std::span(scratch, gathered), low_rank,
                                 high_rank, least, most, counts);
    row.p50_cycles = ranks.low;
    row.p95_cycles = ranks.high;
  }
}

// Where each field sits in a packed key, and the least value taken from
// each before packing.
struct KeyLayout {
  std::uint32_t group_shift = 0;
  std::uint32_t phase_shift = 0;
  std::uint32_t epoch_shift = 0;
  std::uint32_t start_shift = 0;
  std::uint32_t bits = 0;  // the key's width
  std::uint32_t phase_low = 0;
  std::uint32_t epoch_low = 0;
  std::uint32_t start_low = 0;
};

// Sorts the records (in the layout `Record`, in a block of `Room` words
// per record) by their packed key and sweeps them. Consumes the records.
template <std::size_t Width, typename Record, std::size_t Room>
void sort_and_sweep(std::uint32_t* words, std::size_t count,
                    const KeyLayout& layout, const FoldedByGroup& folded,
                    std::span<GroupFigures> rows, DurationRange durations,
                    std::size_t samples) {
  // Packs each record in place into Width words: the key (one word, or two
  // low word first), then the length. Record i moves to word Width * i,
  // never over an unread one; the words from Width * count on are then the
  // sort's buffer. Its counts are taken on the way.
  KeyCounts counts(layout.bits);
  bool in_order = true;
  std::uint64_t previous = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t* from = words + Record::kWords * i;
    const std::uint64_t key =
        shift_left(Record::group(from), layout.group_shift) |
        shift_left(Record::phase(from) - layout.phase_low, layout.phase_shift) |
        shift_left(Record::epoch(from) - layout.epoch_low, layout.epoch_shift) |
        shift_left(Record::start(from) - layout.start_low, layout.start_shift) |
        (Record::folded(from) ? 1 : 0);
    const std::uint32_t length = Record::length(from);
    std::uint32_t* to = words + Width * i;
    to[0] = static_cast<std::uint32_t>(key);
    if constexpr (Width == 3) to[1] = static_cast<std::uint32_t>(key >> 32);
    to[Width - 1] = length;
    counts.count(key);
    in_order = in_order && key >= previous;
    previous = key;
  }

  std::uint32_t* const buffer = words + Width * count;
  const std::uint32_t* sorted = words;
  if (!in_order) {  // e.g. a single tile whose runs come in key order
    sorted = sort_by_key<Width>(words, buffer, count, counts);
  }
  // Durations are gathered per group in words the sorted records leave
  // free, unless folding left too few of them.
  std::uint32_t* scratch = sorted == words ? buffer : words;
  const std::size_t room =
      sorted == words ? (Room - Width) * count : Width * count;
  std::unique_ptr<std::uint32_t[]> own_scratch;
  const std::size_t scratch_needed = count + folded.values.size();
  if (room < scratch_needed) {
    own_scratch.reset(new std::uint32_t[scratch_needed]);
    scratch = own_scratch.get();
  }
  const std::uint64_t start_mask =
      shift_left(1, layout.epoch_shift - layout.start_shift) - 1;
  const std::uint32_t start_low = layout.start_low;
  sweep(
      count,
      [=](std::size_t i) {
        const std::uint32_t* r = sorted + Width * i;
        std::uint64_t key = r[0];
        if constexpr (Width == 3) key |= std::uint64_t{r[1]} << 32;
        return Run{
            static_cast<std::uint32_t>(shift_right(key, layout.group_shift)),
            shift_right(key, layout.epoch_shift),
            static_cast<std::uint32_t>(
                (shift_right(key, layout.start_shift) & start_mask) +
                start_low),
            r[Width - 1], (key & 1) != 0};
      },
      folded, rows, scratch, durations, samples);
}

}  // namespace

template <typename Record>
void RunRecords::fold(std::uint32_t* record, std::uint32_t group,
                      std::uint32_t duration, std::uint32_t length) {
  if (folded_.empty() || folded_groups_.back().group != group) {
    folded_groups_.push_back({group, folded_.size()});
  }
  if (!Record::folded(record)) {
    folded_.push_back(Record::length(std::as_const(record)));
    Record::mark_folded(record);
  }
  folded_.push_back(duration);
  Record::length(record) =
      std::max(Record::length(std::as_const(record)), length);
}

template void RunRecords::fold<RunRecords::CompactRecord>(std::uint32_t*,
                                                          std::uint32_t,
                                                          std::uint32_t,
                                                          std::uint32_t);
template void RunRecords::fold<RunRecords::WideRecord>(std::uint32_t*,
                                                       std::uint32_t,
                                                       std::uint32_t,
                                                       std::uint32_t);

void RunRecords::widen() {
  // From the last record down: record i moves from word 4i to word 6i,
  // over no record still to move.
  std::uint32_t* const words = words_.get();
  for (std::size_t i = count_; i-- > 0;) {
    const std::uint32_t* from = words + CompactRecord::kWords * i;
    const std::uint32_t group = CompactRecord::group(from);
    const std::uint32_t phase = CompactRecord::phase(from);
    const std::uint32_t epoch = CompactRecord::epoch(from);
    const std::uint32_t start = CompactRecord::start(from);
    const std::uint32_t length = CompactRecord::length(from);
    const bool folded = CompactRecord::folded(from);
    std::uint32_t* to = words + WideRecord::kWords * i;
    WideRecord::write(to, group, phase, epoch, start, length);
    if (folded) WideRecord::mark_folded(to);
  }
  compact_ = false;
}

void RunRecords::summarize(std::span<GroupFigures> rows) {
  const std::size_t count = count_;
  if (count == 0) return;
  const FoldedByGroup folded = bucket(folded_, folded_groups_, rows.size());
  folded_groups_ = {};
  const DurationRange durations{duration_low_, duration_high_};
  // Each field kept only as wide as its spread across the records, and one
  // bit more that marks a folded record.
  const std::uint32_t group_bits = bits_for(rows.size() - 1);
  const std::uint32_t phase_bits = bits_for(phase_high_ - phase_low_);
  const std::uint32_t epoch_bits = bits_for(epoch_high_ - epoch_low_);
  const std::uint32_t start_bits = bits_for(start_high_ - start_low_);
  const std::uint32_t total =
      group_bits + phase_bits + epoch_bits + start_bits + 1;
  std::uint32_t* words = words_.get();
  std::vector<RadixDigit> digits;
  // Durations are gathered per group: in the half of the block the sort
  // leaves free, unless folding left it too small for them.
  std::unique_ptr<std::uint32_t[]> own_scratch;
  const std::size_t scratch_needed = count + folded.values.size();

  if (total > 64) {
    // Phases and epochs spread over so many bits that no 64-bit key holds
    // them: sort the records as they are, with a buffer of their own.
    if (compact_) widen();
    std::unique_ptr<std::uint32_t[]> buffer(new std::uint32_t[kWords * count]);
    append_digits(digits, 3, start_bits, start_low_);
    append_digits(digits, 2, epoch_bits, epoch_low_);
    append_digits(digits, 1, phase_bits, phase_low_);
    append_digits(digits, 0, group_bits, 0);
    const std::uint32_t* sorted =
        radix_sort<kWords>(words, buffer.get(), count, digits);
    std::uint32_t* scratch = sorted == words ? buffer.get() : words;
    if (kWords * count < scratch_needed) {
      own_scratch.reset(new std::uint32_t[scratch_needed]);
      scratch = own_scratch.get();
    }
    sweep(
        count,
        [sorted](std::size_t i) {
          const std::uint32_t* r = sorted + kWords * i;
          return Run{r[0], std::uint64_t{r[1]} << 32 | r[2], r[3], r[4],
                     r[5] != 0};
        },
        folded, rows, scratch, durations, samples_);
    words_.reset();
    folded_ = {};
    return;
  }

  // Each field less its least value, packed into one key: group, phase,
  // epoch, start from the most significant bits down, then the folded mark.
  KeyLayout layout;
  layout.start_shift = 1;
  layout.epoch_shift = layout.start_shift + start_bits;
  layout.phase_shift = layout.epoch_shift + epoch_bits;
  layout.group_shift = layout.phase_shift + phase_bits;
  layout.bits = total;
  layout.phase_low = phase_low_;
  layout.epoch_low = epoch_low_;
  layout.start_low = start_low_;
  // Records of 8 bytes where the key fits 32 bits: a third less to move.
  if (compact_ && total <= 32) {
    sort_and_sweep<2, CompactRecord, kWords>(words, count, layout, folded, rows,
                                             durations, samples_);
  } else if (compact_) {
    sort_and_sweep<3, CompactRecord, kWords>(words, count, layout, folded, rows,
                                             durations, samples_);
  } else if (total <= 32) {
    sort_and_sweep<2, WideRecord, kWords>(words, count, layout, folded, rows,
                                          durations, samples_);
  } else {
    sort_and_sweep<3, WideRecord, kWords>(words, count, layout, folded, rows,
                                          durations, samples_);
  }
  words_.reset();
  folded_ = {};
}

}  // namespace zun_profile
