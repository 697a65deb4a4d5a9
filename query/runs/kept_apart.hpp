#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "query/runs/group_buckets.hpp"

// The durations kept apart. A run that starts inside the record last
// written for its (group, phase, epoch) list extends that record instead of
// adding one: the record is then folded, its length the union of the runs
// it stands for, which no longer is any one run's duration. So the
// durations of every run a folded record stands for, its first run's
// included, are kept apart, in a list by group beside the records; the
// sweep reads a folded record for its interval only, and a group's work,
// maximum and percentiles from its records not folded and its durations
// kept apart.
namespace zun_profile::detail {

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

}  // namespace zun_profile::detail
