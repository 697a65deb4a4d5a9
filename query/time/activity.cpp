#include "query/activity.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "query/engine/engine.hpp"
#include "query/engine/group_index.hpp"
#include "query/engine/record_source.hpp"
#include "query/engine/step_path.hpp"
#include "query/engine/store_source.hpp"
#include "query/engine/tasks.hpp"
#include "query/engine/tile_spans.hpp"
#include "query/time/shard_activity.hpp"

namespace zun_profile {

// The internals this file's public calls are assembled from.
using namespace detail;
namespace {

// Collects what the activity needs of each selected sample during the
// query's pass (12 bytes a sample), and, once the order is known, which
// series each group feeds.
class ActivitySink {
 public:
  struct Run {
    std::uint32_t group;   // the pass's group id
    std::uint32_t offset;  // start, cycles from the tile's time zero
    std::uint32_t length;  // duration in cycles
  };

  // Room for every sample at once: only the pages written are touched, and
  // nothing is copied as the list grows.
  explicit ActivitySink(std::size_t samples) { runs_.reserve(samples); }

  void sample(std::uint32_t group, std::uint32_t offset, std::uint32_t length) {
    if (length > 0) runs_.push_back({group, offset, length});
  }

  // Row i of the order is series i; every other group goes to `other`, the
  // series after the last row.
  void ordered(const std::vector<std::uint32_t>& order,
               std::size_t group_count) {
    order_ = order;
    series_of_.assign(group_count, static_cast<std::uint32_t>(order.size()));
    for (std::size_t row = 0; row < order.size(); ++row) {
      series_of_[order[row]] = static_cast<std::uint32_t>(row);
    }
    other_group_count_ = group_count - order.size();
  }

  const std::vector<Run>& runs() const noexcept { return runs_; }
  // The group ids in row order, as the pass ordered them.
  const std::vector<std::uint32_t>& order() const noexcept { return order_; }
  // Which series each group id feeds, in place of the order's.
  void assign(std::vector<std::uint32_t>&& series_of) {
    series_of_ = std::move(series_of);
  }
  std::uint32_t series_of(std::uint32_t group) const noexcept {
    return series_of_[group];
  }
  std::size_t other_group_count() const noexcept { return other_group_count_; }

 private:
  std::vector<Run> runs_;
  std::vector<std::uint32_t> order_;
  std::vector<std::uint32_t> series_of_;
  std::size_t other_group_count_ = 0;
};

// Per series, the cycles added straight to single buckets, and a difference
// array for the whole buckets a run covers: a run touches two cells and two
// differences however many buckets it spans.
class BucketGrid {
 public:
  BucketGrid(std::size_t series, std::size_t buckets, std::uint64_t width)
      : buckets_(checked(series, buckets)),
        width_(width),
        direct_(series * buckets),
        difference_(series * (buckets + 1)) {}

  // Adds [start, start + length) to `series`; length > 0, and the run ends
  // within the span, so that width is not 0.
  void add(std::size_t series, std::uint64_t start, std::uint64_t length) {
    const std::uint64_t end = start + length;
    const std::size_t first = bucket_of(start);
    const std::size_t last = bucket_of(end - 1);
    std::uint64_t* direct = direct_.data() + series * buckets_;
    if (first == last) {
      direct[first] += length;
      return;
    }
    direct[first] += (first + 1) * width_ - start;
    direct[last] += end - last * width_;
    if (last > first + 1) {
      // Unsigned arithmetic wraps, and the prefix sums come out exact.
      std::uint64_t* difference = difference_.data() + series * (buckets_ + 1);
      difference[first + 1] += width_;
      difference[last] -= width_;
    }
  }

  // Adds what `other`, a grid of the same series and buckets, holds.
  void add(const BucketGrid& other) {
    for (std::size_t i = 0; i < direct_.size(); ++i) {
      direct_[i] += other.direct_[i];
    }
    for (std::size_t i = 0; i < difference_.size(); ++i) {
      difference_[i] += other.difference_[i];
    }
  }

  // The busy cycles of `series`, bucket by bucket.
  std::vector<std::uint64_t> take(std::size_t series) const {
    std::vector<std::uint64_t> busy(buckets_);
    const std::uint64_t* direct = direct_.data() + series * buckets_;
    const std::uint64_t* difference =
        difference_.data() + series * (buckets_ + 1);
    std::uint64_t running = 0;
    for (std::size_t b = 0; b < buckets_; ++b) {
      running += difference[b];
      busy[b] = direct[b] + running;
    }
    return busy;
  }

 private:
  // `buckets`, once sure that series x (buckets + 1) counters can be
  // counted at all: a product that wraps would allocate too little.
  static std::size_t checked(std::size_t series, std::size_t buckets) {
    constexpr std::size_t kMost =
        std::numeric_limits<std::size_t>::max() / sizeof(std::uint64_t);
    if (buckets >= kMost || series > kMost / (buckets + 1)) {
      throw std::bad_alloc();
    }
    return buckets;
  }

  std::size_t bucket_of(std::uint64_t cycle) const noexcept {
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(cycle / width_, buckets_ - 1));
  }

  std::size_t buckets_;
  std::uint64_t width_;
  std::vector<std::uint64_t> direct_;
  std::vector<std::uint64_t> difference_;
};

// The buckets of a span: `buckets` of them (at least 1, at most one per
// cycle), each span / count wide but the last.
void set_buckets(ActivityReport& result, std::uint64_t span,
                 std::size_t buckets) {
  std::uint64_t count = std::max<std::size_t>(buckets, 1);
  if (span > 0) count = std::min(count, span);
  result.bucket_count = static_cast<std::size_t>(count);
  result.bucket_cycles = span / count;
}

// Fills the series of `result` (its buckets set) from the sink's runs:
// series i named names[i], then `other`.
void fill_series(ActivityReport& result, const ActivitySink& sink,
                 std::vector<std::string>&& names) {
  const std::size_t series = names.size() + 1;
  BucketGrid grid(series, result.bucket_count, result.bucket_cycles);
  for (const ActivitySink::Run& run : sink.runs()) {
    grid.add(sink.series_of(run.group), run.offset, run.length);
  }
  result.groups.reserve(names.size());
  for (std::size_t row = 0; row < names.size(); ++row) {
    result.groups.push_back({std::move(names[row]), grid.take(row)});
  }
  result.other_cycles = grid.take(series - 1);
}

// The activity of a request that asks nothing of single samples, over a
// store with step facts: the groups and their order from the step path,
// then one pass adding each sample to its series' buckets, no sample
// kept; both cut into `parts` tile ranges that `run_parts(n, task)` runs,
// each range into a grid of its own, the grids summed. Nothing when the
// step path declines.
template <typename RunParts>
std::optional<ActivityReport> activity_by_steps(const StoreSource& source,
                                                const Query& rows_only,
                                                std::size_t buckets,
                                                std::size_t parts,
                                                RunParts&& run_parts) {
  ActivitySink sink(0);
  std::vector<std::uint32_t> group_of;
  std::optional<QueryReport> rows =
      detail::with_identity(source, rows_only, [&](auto identity) {
        return detail::query_by_steps(source, rows_only, identity, parts,
                                      run_parts, kMostDurationSlots, &sink,
                                      &group_of);
      });
  if (!rows) return std::nullopt;

  ActivityReport result;
  result.clock_hz = rows->clock_hz;
  result.profile_span_cycles = rows->profile_span_cycles;
  result.profile_span_ms = rows->profile_span_ms;
  set_buckets(result, rows->profile_span_cycles, buckets);
  result.other_group_count = sink.other_group_count();
  const std::size_t series = rows->groups.size() + 1;
  // Each step's series, or none where the filters drop it.
  std::vector<std::uint32_t> series_of(group_of.size(), kNoGroup);
  for (std::size_t d = 0; d < group_of.size(); ++d) {
    if (group_of[d] != kNoGroup) series_of[d] = sink.series_of(group_of[d]);
  }
  const std::vector<TileSpan> spans = cut_tiles(
      source, std::clamp<std::size_t>(parts, 1,
                                      std::max<std::size_t>(source.tile_count(), 1)));
  std::vector<std::optional<BucketGrid>> grids(spans.size());
  run_parts(spans.size(), [&](std::size_t p) {
    BucketGrid& grid =
        grids[p].emplace(series, result.bucket_count, result.bucket_cycles);
    for (std::size_t entry = spans[p].first; entry < spans[p].end; ++entry) {
      const StoreTile tile = source.tile(entry);
      for (std::size_t i = 0; i < tile.size(); ++i) {
        const std::uint32_t to = series_of[tile.steps[i]];
        const std::uint32_t length = tile.length(i);
        if (to == kNoGroup || length == 0) continue;
        grid.add(to, tile.offset(i), length);
      }
    }
  });
  BucketGrid& grid = *grids.front();
  for (std::size_t p = 1; p < grids.size(); ++p) grid.add(*grids[p]);
  result.groups.reserve(rows->groups.size());
  for (std::size_t row = 0; row < rows->groups.size(); ++row) {
    result.groups.push_back({std::move(rows->groups[row].name), grid.take(row)});
  }
  result.other_cycles = grid.take(series - 1);
  return result;
}

// `parts` and `run`: how a store's step path may cut its passes; the one
// pass runs on the calling thread.
template <typename Source>
ActivityReport activity_of(const Source& source, const Query& request,
                           std::size_t buckets, std::size_t parts = 1,
                           const TaskRunner& run = {}) {
  Query rows_only = request;
  rows_only.sample_limit = 0;
  if constexpr (std::is_same_v<Source, StoreSource>) {
    if (takes_step_path(source, rows_only)) {
      if (auto answer = activity_by_steps(
              source, rows_only, buckets, parts,
              [&](std::size_t count, const auto& task) {
                run_tasks(run, count, task);
              })) {
        return std::move(*answer);
      }
    }
  }
  ActivitySink sink(source.sample_count());
  QueryReport rows =
      detail::with_identity(source, rows_only, [&](auto identity) {
        return detail::execute(source, rows_only, std::move(identity), sink);
      });

  ActivityReport result;
  result.clock_hz = rows.clock_hz;
  result.profile_span_cycles = rows.profile_span_cycles;
  result.profile_span_ms = rows.profile_span_ms;
  set_buckets(result, rows.profile_span_cycles, buckets);
  result.other_group_count = sink.other_group_count();
  std::vector<std::string> names;
  names.reserve(rows.groups.size());
  for (GroupSummary& row : rows.groups) names.push_back(std::move(row.name));
  fill_series(result, sink, std::move(names));
  return result;
}

}  // namespace

ActivityReport activity(const zun_package::ProfileReport& report,
                        const Query& request, std::size_t buckets) {
  return activity_of(detail::RecordSource(report), request, buckets);
}

ActivityReport activity(const zun_store::ReportStore& store,
                        const Query& request, std::size_t buckets) {
  return activity_of(detail::StoreSource(store), request, buckets);
}

ActivityReport activity(const zun_store::ReportStore& store,
                        const Query& request, std::size_t buckets,
                        std::size_t threads, const TaskRunner& run) {
  return activity_of(detail::StoreSource(store), request, buckets,
                     std::max<std::size_t>(threads, 1), run);
}

ActivityReport detail::shard_activity(const zun_store::ReportStore& shard,
                                      const Query& request, std::size_t buckets,
                                      std::uint64_t span_cycles,
                                      std::span<const std::string> series) {
  // Every group of the shard, its rows in order; each named in `series`
  // feeds that series, any other `other`.
  Query every_group = request;
  every_group.sample_limit = 0;
  every_group.limit.reset();
  const detail::StoreSource source(shard);
  ActivitySink sink(shard.sample_count());
  QueryReport rows =
      detail::with_identity(source, every_group, [&](auto identity) {
        return detail::execute(source, every_group, std::move(identity), sink);
      });
  std::vector<std::uint32_t> order = sink.order();
  GroupIndex<std::string_view> named;
  for (const std::string& name : series) named.find_or_add(name);
  std::vector<std::uint32_t> series_of(order.size(),
                                       static_cast<std::uint32_t>(series.size()));
  for (std::size_t row = 0; row < rows.groups.size(); ++row) {
    const auto found = named.find_or_add(rows.groups[row].name);
    if (found.id < series.size()) series_of[order[row]] = found.id;
  }
  sink.assign(std::move(series_of));

  ActivityReport result;
  result.clock_hz = shard.clock_hz();
  result.profile_span_cycles = span_cycles;
  result.profile_span_ms = cycles_to_ms(span_cycles, result.clock_hz);
  set_buckets(result, span_cycles, buckets);
  fill_series(result, sink,
              std::vector<std::string>(series.begin(), series.end()));
  return result;
}

}  // namespace zun_profile
