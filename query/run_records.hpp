#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
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
// Memory: 24 bytes per record, reserved from the start, of which the pass
// touches 16 (nearly always) and the sort 16 to 24: it packs the records
// into 8 or 12 bytes in place and uses what follows as its buffer. (Fresh
// memory costs a page fault per 4 KiB, which is much of what a query costs
// on a virtual machine.)
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
  // below 2^32: they are differences of 32-bit counter values. Always
  // inlined: it runs once per sample, and a call costs as much as its work.
  [[gnu::always_inline]] void add(std::uint32_t group, std::uint32_t phase, std::uint32_t epoch,
           std::uint32_t start, std::uint32_t duration) {
    ++samples_;
    duration_low_ = std::min(duration_low_, duration);
    duration_high_ = std::max(duration_high_, duration);
    if (compact_) {
      if (CompactRecord::holds(group, phase, epoch)) {
        add_as<CompactRecord>(group, phase, epoch, start, duration);
        return;
      }
      widen();
    }
    add_as<WideRecord>(group, phase, epoch, start, duration);
  }
  // How many runs were added.
  std::size_t size() const noexcept { return samples_; }

  // Fills every field but tile_count of figures[g], for every group id g,
  // from the group's records. Every id below figures.size() must have a
  // record, and no record a larger id. Consumes the records.
  void summarize(std::span<GroupFigures> figures);

 private:
  // A record as collected, in one of two layouts: four words while every
  // phase, epoch and group id is small enough to share them (nearly every
  // report), six once one is not. Each says where its fields are.
  struct CompactRecord {
    static constexpr std::size_t kWords = 4;
    static constexpr std::uint32_t kEpochBits = 12;  // phases below 2^20
    static constexpr std::uint32_t kFoldedBit = 1u << 31;
    static bool holds(std::uint32_t group, std::uint32_t phase,
                      std::uint32_t epoch) noexcept {
      return group < kFoldedBit && phase >> (32 - kEpochBits) == 0 &&
             epoch >> kEpochBits == 0;
    }
    static bool same_list(const std::uint32_t* r, std::uint32_t group,
                          std::uint32_t phase, std::uint32_t epoch) noexcept {
      return (r[0] & ~kFoldedBit) == group &&
             r[1] == (phase << kEpochBits | epoch);
    }
    static void write(std::uint32_t* r, std::uint32_t group,
                      std::uint32_t phase, std::uint32_t epoch,
                      std::uint32_t start, std::uint32_t length) noexcept {
      r[0] = group;
      r[1] = phase << kEpochBits | epoch;
      r[2] = start;
      r[3] = length;
    }
    static std::uint32_t group(const std::uint32_t* r) noexcept {
      return r[0] & ~kFoldedBit;
    }
    static std::uint32_t phase(const std::uint32_t* r) noexcept {
      return r[1] >> kEpochBits;
    }
    static std::uint32_t epoch(const std::uint32_t* r) noexcept {
      return r[1] & ((1u << kEpochBits) - 1);
    }
    static std::uint32_t start(const std::uint32_t* r) noexcept { return r[2]; }
    static std::uint32_t& length(std::uint32_t* r) noexcept { return r[3]; }
    static std::uint32_t length(const std::uint32_t* r) noexcept {
      return r[3];
    }
    static bool folded(const std::uint32_t* r) noexcept {
      return (r[0] & kFoldedBit) != 0;
    }
    static void mark_folded(std::uint32_t* r) noexcept { r[0] |= kFoldedBit; }
  };
  struct WideRecord {
    static constexpr std::size_t kWords = 6;
    static bool same_list(const std::uint32_t* r, std::uint32_t group,
                          std::uint32_t phase, std::uint32_t epoch) noexcept {
      return r[0] == group && r[1] == phase && r[2] == epoch;
    }
    static void write(std::uint32_t* r, std::uint32_t group,
                      std::uint32_t phase, std::uint32_t epoch,
                      std::uint32_t start, std::uint32_t length) noexcept {
      r[0] = group;
      r[1] = phase;
      r[2] = epoch;
      r[3] = start;
      r[4] = length;
      r[5] = 0;
    }
    static std::uint32_t group(const std::uint32_t* r) noexcept { return r[0]; }
    static std::uint32_t phase(const std::uint32_t* r) noexcept { return r[1]; }
    static std::uint32_t epoch(const std::uint32_t* r) noexcept { return r[2]; }
    static std::uint32_t start(const std::uint32_t* r) noexcept { return r[3]; }
    static std::uint32_t& length(std::uint32_t* r) noexcept { return r[4]; }
    static std::uint32_t length(const std::uint32_t* r) noexcept {
      return r[4];
    }
    static bool folded(const std::uint32_t* r) noexcept { return r[5] != 0; }
    static void mark_folded(std::uint32_t* r) noexcept { r[5] = 1; }
  };

  // add() in the layout `Record`: extends the record just written when the
  // run starts inside it and belongs to its list, or writes a new one.
  template <typename Record>
  [[gnu::always_inline]] void add_as(std::uint32_t group, std::uint32_t phase, std::uint32_t epoch,
              std::uint32_t start, std::uint32_t duration) {
    if (count_ > 0) {
      std::uint32_t* last = words_.get() + Record::kWords * (count_ - 1);
      const std::uint32_t last_start = Record::start(last);
      if (Record::same_list(last, group, phase, epoch) && start >= last_start &&
          start - last_start <= Record::length(std::as_const(last))) {
        const std::uint64_t end = std::uint64_t{start - last_start} + duration;
        if (end <= UINT32_MAX) {  // the length stays a 32-bit number
          fold<Record>(last, group, duration, static_cast<std::uint32_t>(end));
          return;
        }
      }
    }
    Record::write(words_.get() + Record::kWords * count_++, group, phase, epoch,
                  start, duration);
    phase_low_ = std::min(phase_low_, phase);
    phase_high_ = std::max(phase_high_, phase);
    epoch_low_ = std::min(epoch_low_, epoch);
    epoch_high_ = std::max(epoch_high_, epoch);
    start_low_ = std::min(start_low_, start);
    start_high_ = std::max(start_high_, start);
  }

  // Extends `record` (of `group`) to `length`, keeping the durations of the
  // runs it now stands for apart. Out of line, so that add() stays small
  // enough to inline into the pass.
  template <typename Record>
  void fold(std::uint32_t* record, std::uint32_t group, std::uint32_t duration,
            std::uint32_t length);

  // Moves the records written so far into the six-word layout, for good.
  void widen();

  // Where the durations of one group start in folded_; they run to the next
  // segment's start. Consecutive folds mostly share a group, so this costs
  // little beside the 4 bytes per duration.
  struct FoldedSegment {
    std::uint32_t group;
    std::size_t begin;
  };

  // The block holds six words per record whatever the layout: once packed
  // for sorting, a record takes two or three words, and the rest of the
  // block serves as the sort's buffer, so no fresh memory is touched for
  // it. In the four-word layout the pass touches two thirds of it.
  static constexpr std::size_t kWords = WideRecord::kWords;

  std::unique_ptr<std::uint32_t[]> words_;
  bool compact_ = true;                // records are CompactRecord
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
