#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "query/order/order_statistics.hpp"
#include "query/order/radix_sort.hpp"
#include "query/order/statistics.hpp"
#include "query/runs/group_runs.hpp"
#include "query/runs/run_records.hpp"
#include "query/runs/sweep.hpp"

// What a sweep hands its groups to: the figures of a query's rows
// (FigureOut), or the exact pieces of a partial answer (PartialOut).
namespace zun_profile::detail {

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

}  // namespace zun_profile::detail
