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
    durations_.push_back(duration);
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
  std::vector<std::uint32_t> durations_;  // in the order met
  std::vector<std::uint32_t> tiles_;      // physical tiles, repeats possible
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
