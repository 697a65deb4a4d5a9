#pragma once

#include <algorithm>
#include <array>
#include <span>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "query/partial.hpp"
#include "query/result.hpp"
#include "query/runs/group_runs.hpp"

// What a partial answer holds, laid out flat: a few arrays for all its
// groups rather than lists per group, so that millions of groups cost a few
// allocations, not millions. Internal: QueryPartial (query/partial.hpp)
// wraps it; the engine, merging and the byte form read and write it.
namespace zun_profile::detail {

// One group of a partial: its label, and where its pieces end in the
// flat arrays (each begins where the previous group's ends).
struct PartialGroup {
  std::string name;
  std::size_t dimensions_end;  // in dimensions
  std::size_t tiles_end;       // in tiles
  std::size_t lists_end;       // in lists
  std::size_t durations_end;   // in durations
};

// Everything exact that the answer over a range of tiles comes from.
struct PartialData {
  bool blank = true;  // stands for no tiles: merges as nothing
  // Tells apart the requests whose partials may merge: everything but the
  // order and the group limit, which only `finish` applies.
  std::uint64_t request_key = 0;
  std::uint64_t clock_hz = 0;
  std::size_t tile_count = 0;
  std::size_t sample_count = 0;
  std::size_t matched_sample_count = 0;
  std::uint64_t profile_span_cycles = 0;
  std::size_t sample_limit = 0;  // of the request: rows kept at most
  std::vector<PartialGroup> groups;  // in order of first sample
  // Each group's dimensions, ascending by name.
  std::vector<std::pair<std::string, std::string>> dimensions;
  std::vector<std::uint32_t> tiles;  // each group's, ascending, distinct
  std::vector<PartialList> lists;    // each group's, ascending by pair
  std::vector<PartialRun> runs;
  std::vector<DurationCount> durations;  // each group's, ascending, distinct
  // The best rows, best first (longest, then smaller tile, then smaller
  // offset, then earlier in the report).
  std::vector<SampleRecord> samples;
};

// Where group g's pieces begin: where group g - 1's end.
struct GroupBegins {
  std::size_t dimensions = 0;
  std::size_t tiles = 0;
  std::size_t lists = 0;
  std::size_t durations = 0;
};
inline GroupBegins begins_of(const PartialData& data, std::size_t g) noexcept {
  if (g == 0) return {};
  const PartialGroup& previous = data.groups[g - 1];
  return {previous.dimensions_end, previous.tiles_end, previous.lists_end,
          previous.durations_end};
}
inline std::size_t runs_begin_of(const PartialData& data,
                                 std::size_t list) noexcept {
  return list == 0 ? 0 : data.lists[list - 1].runs_end;
}

// One group's pieces in a partial, as spans.
struct GroupPieces {
  std::span<const std::pair<std::string, std::string>> dimensions;
  std::span<const std::uint32_t> tiles;
  std::span<const PartialList> lists;
  std::span<const DurationCount> durations;
};

inline GroupPieces pieces_of(const PartialData& data, std::size_t g) {
  const GroupBegins begin = begins_of(data, g);
  const PartialGroup& group = data.groups[g];
  const auto slice = [](const auto& values, std::size_t from, std::size_t to) {
    return std::span(values.data() + from, to - from);
  };
  return {slice(data.dimensions, begin.dimensions, group.dimensions_end),
          slice(data.tiles, begin.tiles, group.tiles_end),
          slice(data.lists, begin.lists, group.lists_end),
          slice(data.durations, begin.durations, group.durations_end)};
}

inline std::span<const PartialRun> runs_of(const PartialData& data,
                                    const PartialList* list) {
  const auto at = static_cast<std::size_t>(list - data.lists.data());
  const std::size_t begin = runs_begin_of(data, at);
  return std::span(data.runs.data() + begin, list->runs_end - begin);
}

// Joins intervals met in ascending order of start as the engine's sweep
// joins them (one that starts at or before the current end extends it),
// handing each joined interval to `close`.
template <typename Close>
class RunJoiner {
 public:
  explicit RunJoiner(Close close) : close_(std::move(close)) {}

  void take(const PartialRun& run) {
    if (open_ && run.start <= current_.end) {
      current_.end = std::max(current_.end, run.end);
      return;
    }
    if (open_) close_(current_);
    current_ = run;
    open_ = true;
  }
  // Closes the interval being joined, if any.
  void finish() {
    if (open_) close_(current_);
    open_ = false;
  }

 private:
  Close close_;
  bool open_ = false;
  PartialRun current_{0, 0};
};

// Calls take(run) on the intervals of two lists, each ascending by start,
// in ascending order of start (those of `a` first where starts are equal).
template <typename Take>
void in_start_order(std::span<const PartialRun> a, std::span<const PartialRun> b,
                    Take&& take) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() || j < b.size()) {
    take(j == b.size() || (i < a.size() && a[i].start <= b[j].start) ? a[i++]
                                                                     : b[j++]);
  }
}

// The request key of `request` (see PartialData::request_key).
std::uint64_t request_key(const Query& request);

// QueryPartial's data, for the engine, merging and the byte form. A
// moved-from partial has none: reading it gives a blank one.
struct PartialAccess {
  static PartialData& data(QueryPartial& partial);
  static const PartialData& data(const QueryPartial& partial) noexcept;
};

}  // namespace zun_profile::detail
