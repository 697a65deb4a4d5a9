#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "query/labels.hpp"
#include "query/result.hpp"
#include "query/statistics.hpp"
#include "report/profile_report.hpp"

// The running totals of one group during a query, and their summary.
namespace zun_profile {

// The run intervals of one (phase, epoch) of one group, kept small: only the
// union's length is ever asked for, so intervals that overlap or touch are
// merged as they arrive. One tile's runs arrive in time order and mostly
// merge with the last one kept; when the list has doubled since it was last
// compacted it is sorted and merged again. Memory thus follows the number of
// disjoint runs, not of samples.
class PhaseCoverage {
 public:
  void add(std::uint64_t start, std::uint64_t end) {
    if (end <= start) return;  // covers nothing
    if (!runs_.empty()) {
      Interval& last = runs_.back();
      if (start >= last.first && start <= last.second) {
        if (end > last.second) last.second = end;
        return;
      }
      if (start < last.first) sorted_ = false;
    }
    runs_.push_back({start, end});
    if (runs_.size() >= compact_at_) compact();
  }

  // Cycles covered by every interval added so far.
  std::uint64_t length() const { return union_length(runs_); }

 private:
  void compact();

  // While sorted_ holds, runs_ is ascending and disjoint.
  std::vector<Interval> runs_;
  bool sorted_ = true;
  std::size_t compact_at_ = kMinimumCompaction;

  static constexpr std::size_t kMinimumCompaction = 32;
};

// The durations of one group, kept so that exact order statistics can be
// read at the end. While they span a narrow range (the common case: one
// group's steps take similar times) they are counted in a histogram, which
// needs no storage per sample and no sort; once the range grows wider than
// the histogram may (at most kHistogramSpan values, and no more than
// kSpanPerSample per duration seen, so memory follows the sample count),
// they are listed instead and selected with nth_element.
class DurationSpread {
 public:
  void add(std::uint32_t duration) {
    ++count_;
    const std::uint32_t slot = static_cast<std::uint32_t>(duration - low_);
    if (slot < counts_.size()) {
      ++counts_[slot];
    } else {
      add_outside(duration);
    }
  }

  std::size_t count() const noexcept { return count_; }

  // The duration at `rank` (from 0) in ascending order; `rank` < count().
  // May reorder the listed durations.
  std::uint32_t at_rank(std::size_t rank);

 private:
  void add_outside(std::uint32_t duration);
  void grow_histogram(std::uint32_t duration);

  static constexpr std::uint64_t kHistogramSpan = 1u << 16;
  static constexpr std::uint64_t kSpanPerSample = 16;

  std::size_t count_ = 0;
  // Histogram mode: counts_[i] durations equal to low_ + i.
  std::uint32_t low_ = 0;
  std::vector<std::size_t> counts_;
  // List mode, once listing_ is set: every duration, in no particular order.
  bool listing_ = false;
  std::vector<std::uint32_t> listed_;
};

// One group's running totals, opened by the group's first selected sample.
class Accumulator {
 public:
  // `key` is the group's label and dimensions, from its first sample, which
  // starts at `first_offset`.
  Accumulator(GroupKey key, std::uint64_t first_offset)
      : key_(std::move(key)), first_offset_(first_offset) {}

  // Adds one selected sample: `tile_entry` is the index of its tile in the
  // report, `tile` that tile's physical number.
  void add(std::size_t tile_entry, std::uint32_t tile,
           const zun_package::ProfileStep& step, std::uint64_t offset,
           std::uint32_t duration) {
    durations_.add(duration);
    // Distinct tiles: record each visit to a tile entry once and sort the
    // few recorded numbers at the end, instead of a set insertion per sample.
    if (tile_entry != last_tile_entry_) {
      last_tile_entry_ = tile_entry;
      tiles_.push_back(tile);
    }
    const std::uint64_t end = offset + duration;
    phase(step).add(offset, end);
    work_cycles_ += duration;
    if (offset < first_offset_) first_offset_ = offset;
    if (end > last_offset_) last_offset_ = end;
    if (duration > maximum_cycles_) maximum_cycles_ = duration;
  }

  // Consumes the totals into the group's row; `clock_hz` converts cycles to
  // milliseconds.
  GroupSummary summarize(std::uint64_t clock_hz) &&;

 private:
  PhaseCoverage& phase(const zun_package::ProfileStep& step) {
    const std::uint64_t key =
        (static_cast<std::uint64_t>(step.phase) << 32) | step.epoch;
    if (key != last_phase_key_ || phases_.empty()) {
      last_phase_key_ = key;
      const auto [slot, opened] = phase_slots_.try_emplace(
          key, static_cast<std::uint32_t>(phases_.size()));
      if (opened) phases_.emplace_back();
      last_phase_slot_ = slot->second;
    }
    return phases_[last_phase_slot_];
  }

  GroupKey key_;
  DurationSpread durations_;
  std::vector<std::uint32_t> tiles_;  // physical tiles, repeats possible
  std::size_t last_tile_entry_ = SIZE_MAX;

  // One coverage per distinct (phase, epoch), found through phase_slots_;
  // consecutive samples mostly share the last one.
  std::vector<PhaseCoverage> phases_;
  std::unordered_map<std::uint64_t, std::uint32_t> phase_slots_;
  std::uint64_t last_phase_key_ = 0;
  std::uint32_t last_phase_slot_ = 0;

  std::uint64_t work_cycles_ = 0;
  std::uint64_t first_offset_;
  std::uint64_t last_offset_ = 0;
  std::uint32_t maximum_cycles_ = 0;
};

}  // namespace zun_profile
