#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// The run intervals of the selected samples as records (group, phase,
// epoch, start offset, length), written in the order met and sorted once at
// the end, where each (group, phase, epoch) list becomes a sorted sweep.
//
// Why not merge intervals per list as they arrive: consecutive samples of a
// tile usually belong to different groups (compute, exchange, sync and other
// kernels alternate), and every tile restarts each list near offset 0, so
// lists stay fragmented and re-sorting them as they grow costs more than the
// pass itself. One radix sort costs the same whatever the shape: a counting
// pass and two to five moves of 12 bytes per record on real reports. What
// merging does cheaply is kept: a run that starts inside the record just
// written for its list (a tile's back-to-back steps of one kind) extends
// that record, and only its duration is kept, in 8 bytes.
//
// Memory: 24 bytes per record, all of it from the start: the sort packs the
// records into 12 bytes in place and uses the other 12 as its buffer.
// (Fresh memory costs a page fault per 4 KiB, which is much of what a query
// costs; a separate buffer would add one per 340 records.)
namespace zun_profile {

// A group's figures as the runs and visits give them, before they become a
// row of the answer (see GroupSummary for each field's meaning).
struct GroupFigures {
  std::size_t sample_count = 0;
  std::size_t tile_count = 0;
  std::size_t phase_count = 0;
  std::uint64_t phase_cycles = 0;
  std::uint64_t work_cycles = 0;
  std::uint64_t first_offset = 0;
  std::uint64_t last_offset = 0;
  std::uint32_t maximum_cycles = 0;
  std::uint32_t p50_cycles = 0;
  std::uint32_t p95_cycles = 0;
};

// The runs of one query's selected samples, from the pass to the figures.
class RunRecords {
 public:
  // Room for `capacity` records; pages are touched only as records arrive.
  explicit RunRecords(std::size_t capacity)
      : words_(new std::uint32_t[kWords * capacity]) {}

  // Adds the run of one selected sample of group `group`. Offsets are always
  // below 2^32: they are differences of 32-bit counter values.
  void add(std::uint32_t group, std::uint32_t phase, std::uint32_t epoch,
           std::uint32_t start, std::uint32_t duration) {
    ++samples_;
    duration_low_ = std::min(duration_low_, duration);
    duration_high_ = std::max(duration_high_, duration);
    if (count_ > 0) {
      std::uint32_t* last = words_.get() + kWords * (count_ - 1);
      if (last[0] == group && last[1] == phase && last[2] == epoch &&
          start >= last[3] && start - last[3] <= last[4]) {
        const std::uint64_t end = std::uint64_t{start - last[3]} + duration;
        if (end <= UINT32_MAX) {  // the length stays a 32-bit number
          fold(last, group, duration, static_cast<std::uint32_t>(end));
          return;
        }
      }
    }
    std::uint32_t* record = words_.get() + kWords * count_++;
    record[0] = group;
    record[1] = phase;
    record[2] = epoch;
    record[3] = start;
    record[4] = duration;  // the length, and the duration while not folded
    record[5] = 0;         // 1 once other runs are folded in
    phase_low_ = std::min(phase_low_, phase);
    phase_high_ = std::max(phase_high_, phase);
    epoch_low_ = std::min(epoch_low_, epoch);
    epoch_high_ = std::max(epoch_high_, epoch);
    start_low_ = std::min(start_low_, start);
    start_high_ = std::max(start_high_, start);
  }

  // How many runs were added.
  std::size_t size() const noexcept { return samples_; }

  // Fills every field but tile_count of figures[g], for every group id g,
  // from the group's records. Every id below figures.size() must have a
  // record, and no record a larger id. Consumes the records.
  void summarize(std::span<GroupFigures> figures);

 private:
  // Extends `record` (of `group`) to `length`, keeping the durations of the
  // runs it now stands for apart. Out of line, so that add() stays small
  // enough to inline into the pass.
  void fold(std::uint32_t* record, std::uint32_t group, std::uint32_t duration,
            std::uint32_t length);

  // Where the durations of one group start in folded_; they run to the next
  // segment's start. Consecutive folds mostly share a group, so this costs
  // little beside the 4 bytes per duration.
  struct FoldedSegment {
    std::uint32_t group;
    std::size_t begin;
  };

  // Words a record takes while collecting: six fields, so that once packed
  // into three words the other half of the block serves as the sort's
  // buffer, and no fresh memory is touched for it.
  static constexpr std::size_t kWords = 6;

  std::unique_ptr<std::uint32_t[]> words_;
  std::size_t count_ = 0;              // records
  std::size_t samples_ = 0;            // runs added
  std::vector<std::uint32_t> folded_;  // durations of folded runs
  std::vector<FoldedSegment> folded_groups_;
  std::uint32_t phase_low_ = UINT32_MAX;
  std::uint32_t phase_high_ = 0;
  std::uint32_t epoch_low_ = UINT32_MAX;
  std::uint32_t epoch_high_ = 0;
  std::uint32_t start_low_ = UINT32_MAX;
  std::uint32_t start_high_ = 0;
  std::uint32_t duration_low_ = UINT32_MAX;
  std::uint32_t duration_high_ = 0;
};

}  // namespace zun_profile
