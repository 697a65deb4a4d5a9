#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "query/order/radix_sort.hpp"
#include "query/runs/group_buckets.hpp"
#include "query/runs/run_layout.hpp"

// How run records are held between the pass and the sweep: chunks of
// packed records by bucket, as RunRecords collects them, and what one sort
// of the sweep takes from them.
namespace zun_profile::detail {

// A block of records, all written but in the last chunk of a bucket.
struct Chunk {
  std::unique_ptr<std::uint32_t[]> words;
  std::size_t capacity;  // records it has room for
};

// The records of one bucket, and where the next one goes.
struct RunBucket {
  std::vector<Chunk> chunks;
  std::uint32_t* next = nullptr;  // in the last chunk
  std::uint32_t* end = nullptr;   // of the last chunk
  std::uint32_t* last = nullptr;  // the record written last, for folding
  std::size_t count = 0;          // records in all its chunks
};

// The records one sort takes from a bucket, and how it reads them.
struct RunPiece {
  const RunBucket* bucket;
  Layout layout;
  std::uint32_t implied;  // the group of a bucket that holds one
  // Maps the records' group ids to those of the sort; null: the same.
  const std::uint32_t* ids;
};

// The records of one sort: those of one bucket, or of several passes'
// buckets swept as one; the groups they hold and the bits of their
// spread.
struct SortItem {
  std::vector<RunPiece> pieces;
  std::size_t count = 0;         // records in all its pieces
  std::uint32_t group_low = 0;   // the least group id among them
  std::uint32_t group_bits = 0;  // of the greatest less the least
};

// What every sort of one sweep shares: the spread of the records'
// fields, the durations kept apart, and the runs in all.
struct SweepFacts {
  ValueRange phases;  // of every record
  ValueRange epochs;
  ValueRange starts;
  ValueRange durations;                // of every run
  GroupBuckets<std::uint32_t> folded;  // kept apart, by group id
  std::size_t most_folded = 0;         // kept apart for any one group
  std::size_t samples = 0;             // runs
};

// Where the durations kept apart for one group start in a pass's list of
// them; they run to the next segment's start. Consecutive folds mostly share
// a group, so this costs little beside the 4 bytes per duration.
struct FoldedSegment {
  std::uint32_t group;
  std::size_t begin;
};

}  // namespace zun_profile::detail
