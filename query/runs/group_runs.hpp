#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// What the sweep of a query's runs gives for each group when the answer is
// to stay exact for merging: its merged intervals per (phase, epoch) list
// and its durations as (value, count) pairs. A partial answer is made of
// these; the sweep only fills them.
namespace zun_profile::detail {

// A merged interval [start, end) of offsets; within a list, intervals are
// ascending and apart (each starts past the previous one's end).
struct PartialRun {
  std::uint64_t start;
  std::uint64_t end;
};

// One (phase, epoch) list of a group: its intervals are runs[previous
// list's runs_end, runs_end).
struct PartialList {
  std::uint32_t phase;
  std::uint32_t epoch;
  std::size_t runs_end;
};

// `count` samples lasted `cycles` each.
struct DurationCount {
  std::uint32_t cycles;
  std::uint64_t count;
};

// Lists, intervals and durations of groups in id order, as the sweep gives
// them: ends[g] = {end of g's lists, end of g's durations}.
struct GroupRuns {
  std::vector<PartialList> lists;
  std::vector<PartialRun> runs;
  std::vector<DurationCount> durations;
  std::vector<std::array<std::size_t, 2>> ends;
};

}  // namespace zun_profile::detail
