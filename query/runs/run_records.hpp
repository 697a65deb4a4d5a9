#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "query/order/group_figures.hpp"
#include "query/order/radix_sort.hpp"
#include "query/runs/group_buckets.hpp"
#include "query/runs/group_runs.hpp"
#include "query/runs/run_buckets.hpp"
#include "query/runs/run_layout.hpp"

// The run intervals of the selected samples as records (group, phase,
// epoch, start offset, length), kept apart by group as they arrive and
// sorted group by group at the end, where each (group, phase, epoch) list
// becomes a sorted sweep.
//
// Why not merge intervals per list as they arrive: consecutive samples of a
// tile usually belong to different groups (compute, exchange, sync and other
// kernels alternate), and every tile restarts each list near offset 0, so
// lists stay fragmented and re-sorting them as they grow costs more than the
// pass itself. A radix sort costs the same whatever the shape. What merging
// does cheaply is kept: a run that starts inside the record last written for
// its group, in its list (a tile's back-to-back steps of one kind), extends
// that record, and only its duration is kept, in 4 bytes.
//
// Why by group: packed into 8 or 12 bytes, one group's records sort within
// the caches (a group of 80,000 runs takes a few hundred KiB), where one
// sort of all the records would move each of them through main memory
// three or four times; on 2M runs that took two to four times as long. The
// first kBuckets - 1 groups have a bucket each; the groups after them share
// the last bucket and sort together there, so that a query of millions of
// groups keeps one bucket, not millions.
//
// Memory: 12 bytes per record as collected (16 in the shared bucket, 24
// once a phase, epoch or group id is too large for the small layouts), in
// chunks that double as their bucket grows; at the end, two buffers of 8 or 12
// bytes per record of the largest bucket, and 4 bytes per run of the largest
// group for percentiles.
namespace zun_profile::detail {

// The runs of one query's selected samples, from the pass to the figures.
class RunRecords {
 public:
  // `capacity`: how many runs may be added; it bounds the first chunks.
  explicit RunRecords(std::size_t capacity)
      : capacity_(capacity), buckets_(kBuckets) {}

  // Adds the run of one selected sample of group `group`. Offsets are always
  // below 2^32: they are differences of 32-bit counter values. Always
  // inlined: it runs once per sample, and a call costs as much as its work.
  [[gnu::always_inline]] void add(std::uint32_t group, std::uint32_t phase,
                                  std::uint32_t epoch, std::uint32_t start,
                                  std::uint32_t duration) {
    ++samples_;
    durations_.add(duration);
    if (compact_) {
      if (CompactRecord::holds(group, phase, epoch)) {
        if (group < kBuckets - 1) {
          add_as<OwnRecord>(group, phase, epoch, start, duration);
        } else {
          add_as<CompactRecord>(group, phase, epoch, start, duration);
        }
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

  // Instead of the figures, what a partial answer keeps of the `groups`
  // groups' runs: each one's merged intervals per (phase, epoch) list and
  // its durations counted, appended to `runs` in group id order. Same
  // preconditions; consumes the records.
  void runs_by_group(std::size_t groups, GroupRuns& runs);

  class Joint;

 private:
  template <typename Out>
  void sweep_all(Out& out);

  // The layout of bucket `at`'s records.
  Layout layout_of(std::size_t at) const noexcept {
    if (!compact_) return Layout::kWide;
    return at + 1 < kBuckets ? Layout::kOwn : Layout::kCompact;
  }

  // Buckets: a group each below kBuckets - 1, and one for every group after.
  static constexpr std::size_t kBuckets = 1024;
  static constexpr std::size_t kFirstChunk = 64;       // records
  static constexpr std::size_t kLargestChunk = 16384;  // records

  // Every bucket exists from the start (56 KiB), so that finding one costs
  // no size check on every sample.
  [[gnu::always_inline]] RunBucket& bucket_of(std::uint32_t group) {
    return buckets_[std::min<std::size_t>(group, kBuckets - 1)];
  }

  // add() in the layout `Record`: extends the record last written for the
  // group when the run starts inside it and belongs to its list, or writes
  // a new one.
  template <typename Record>
  [[gnu::always_inline]] void add_as(std::uint32_t group, std::uint32_t phase,
                                     std::uint32_t epoch, std::uint32_t start,
                                     std::uint32_t duration) {
    RunBucket& bucket = bucket_of(group);
    std::uint32_t* last = bucket.last;
    if (last != nullptr) {
      // Every condition is computed and the branch taken once, on all of
      // them: where kernels interleave, whether a run shares the last
      // record's list goes either way, and three branches mispredict.
      const std::uint32_t last_start = Record::start(last);
      const std::uint64_t end = std::uint64_t{start - last_start} + duration;
      const bool inside =
          static_cast<int>(Record::same_list(last, group, phase, epoch)) &
          static_cast<int>(start >= last_start) &
          static_cast<int>(start - last_start <=
                           Record::length(std::as_const(last))) &
          static_cast<int>(end <= UINT32_MAX);  // the length stays 32-bit
      if (inside) {
        fold<Record>(last, group, duration, static_cast<std::uint32_t>(end));
        return;
      }
    }
    if (bucket.next == bucket.end) add_chunk(bucket, Record::kWords);
    Record::write(bucket.next, group, phase, epoch, start, duration);
    bucket.last = bucket.next;
    bucket.next += Record::kWords;
    ++bucket.count;
    phases_.add(phase);
    epochs_.add(epoch);
    starts_.add(start);
  }

  // Gives `bucket` a new last chunk, twice the size of the one before, for
  // records of `words` words.
  void add_chunk(RunBucket& bucket, std::size_t words);

  // Extends `record` (of `group`) to `length`, keeping the durations of the
  // runs it now stands for apart. Out of line, so that add() stays small
  // enough to inline into the pass.
  template <typename Record>
  void fold(std::uint32_t* record, std::uint32_t group, std::uint32_t duration,
            std::uint32_t length);

  // Moves the records written so far into the six-word layout, for good.
  void widen();
  template <typename Record>
  void widen_bucket(RunBucket& bucket, std::uint32_t implied);

  std::size_t capacity_;               // runs that may be added
  std::vector<RunBucket> buckets_;     // by group id, up to kBuckets
  bool compact_ = true;                // records are CompactRecord
  std::size_t samples_ = 0;            // runs added
  std::vector<std::uint32_t> folded_;  // durations of folded runs
  std::vector<FoldedSegment> folded_groups_;
  ValueRange phases_;  // of the records
  ValueRange epochs_;
  ValueRange starts_;
  ValueRange durations_;  // of every run
};

// The runs of several passes, over consecutive tile ranges of one source,
// summarized as those of one pass over them all: each pass numbered its
// groups its own way, and ids[t][l] is the joint id of pass t's group l.
// The groups are cut into shares of about equal runs, which may be
// summarized at once on different threads. The Joint takes the passes'
// kept-apart durations; their records must outlive it and stay unchanged
// while it is used.
class RunRecords::Joint {
 public:
  // Plans the sweep of `parts` into at most `shares` shares. Every joint id
  // below `groups` has records in some part; pass 0's ids are its own
  // (ids[0][l] == l).
  Joint(std::span<RunRecords* const> parts,
        std::span<const std::vector<std::uint32_t>> ids, std::size_t groups,
        std::size_t shares);

  std::size_t shares() const noexcept { return shares_.size(); }

  // Fills every field but tile_count of figures[g] for each group g of
  // share `share`, and no other; `figures` has a row for every joint id.
  // Distinct shares may be summarized at once.
  void summarize(std::size_t share, std::span<GroupFigures> figures) const;

 private:
  // The spread of every part's fields, and the parts' durations kept apart
  // gathered by joint id (the parts then no longer hold them).
  void gather_facts(std::span<RunRecords* const> parts,
                    std::span<const std::vector<std::uint32_t>> ids,
                    std::size_t groups);
  // The sorts: one per group that every part holds in a bucket of its own,
  // and one for all the others.
  void plan_items(std::span<RunRecords* const> parts,
                  std::span<const std::vector<std::uint32_t>> ids,
                  std::size_t groups);
  // Deals the sorts to at most `shares` shares of about equal records.
  void deal_shares(std::size_t shares);

  std::vector<SortItem> items_;
  std::vector<std::vector<const SortItem*>> shares_;
  SweepFacts facts_;  // of every part, by joint id
};

}  // namespace zun_profile::detail
