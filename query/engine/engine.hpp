#pragma once

// The query engine's one pass, shared by `query` and `activity` over every
// source: `execute`, which walks a source once and builds the result. The
// sources and their group identities are in record_source.hpp and
// store_source.hpp. Internal: not installed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "query/engine/group_index.hpp"
#include "query/engine/labels.hpp"
#include "query/engine/prefetch.hpp"
#include "query/engine/sample_rows.hpp"
#include "query/engine/selection.hpp"
#include "query/order/group_order.hpp"
#include "query/order/statistics.hpp"
#include "query/query.hpp"
#include "query/runs/run_records.hpp"
#include "query/runs/tile_count.hpp"

namespace zun_profile::detail {

// Whether any filter of `request` is set; without one every sample matches
// and the pass skips matches_query altogether.
inline bool filters_anything(const Query& request) noexcept {
  return request.kind || request.kernel || request.operation_contains ||
         !request.tiles.empty() || !request.phases.empty() ||
         request.at_offset || request.window || !request.metadata.empty();
}

// How far ahead the pass prefetches a sample's label text (its first and
// last byte: a short text may still straddle two cache lines).
inline constexpr std::size_t kLookahead = 16;
// How far ahead the pass asks for a sample itself, so that it is at hand
// when its label text is asked for.
inline constexpr std::size_t kSampleAhead = 3 * kLookahead;
// How far ahead the pass asks for the group table's slot of a sample's key,
// once the table is too large for the caches.
inline constexpr std::size_t kProbeAhead = 4;

// What the pass keeps per group for counting its tiles: the first tile and
// the last tile entry it met. (Its label and dimensions come from its key.)
struct GroupState {
  std::uint32_t first_tile;  // the physical tile of its first sample
  // Whether the group met a second physical tile number; until it does, its
  // visits are not recorded: it has one tile.
  bool many_tiles;
  std::size_t last_entry;  // index of the last tile entry met
};

inline constexpr std::uint32_t kNoGroup = UINT32_MAX;

// Writes the row of one group into `row`, a default row (rows are built
// where they stay): its label and dimensions, and its figures with the
// quotients and milliseconds they give.
inline void fill_group_row(GroupKey&& key, const GroupFigures& figures,
                           std::uint64_t clock_hz, GroupSummary& row) {
  row.name = std::move(key.label);
  row.dimensions = std::move(key.dimensions);
  row.sample_count = figures.sample_count;
  row.tile_count = figures.tile_count;
  row.phase_count = figures.phase_count;
  row.phase_cycles = figures.phase_cycles;
  row.phase_ms = cycles_to_ms(figures.phase_cycles, clock_hz);
  row.work_cycles = figures.work_cycles;
  row.average_active_tiles =
      quotient(figures.work_cycles, figures.phase_cycles);
  row.mean_cycles = quotient(figures.work_cycles, figures.sample_count);
  row.p50_cycles = figures.p50_cycles;
  row.p95_cycles = figures.p95_cycles;
  row.maximum_cycles = figures.maximum_cycles;
  row.first_offset = figures.first_offset;
  row.last_offset = figures.last_offset;
}

// What the pass collects over a range of tile entries, for the figures of
// a query or the pieces of a partial answer.
template <typename Identity>
struct Collected {
  Collected(const Identity& identity, std::size_t samples,
            std::size_t sample_limit, const StepSource& steps)
      : index(identity.make_index()),
        runs(samples),
        rows(sample_limit, samples, steps) {}

  decltype(std::declval<const Identity&>().make_index()) index;
  std::vector<GroupState> groups;  // by group id, in order of first sample
  RunRecords runs;
  std::vector<TileVisit> visits;
  SampleRows rows;
  std::uint64_t span = 0;  // largest end offset, every sample counted
};

// The one pass over the tile entries [first, end) of a source, grouping by
// `identity`, into `out`. A source is the records (RecordSource) or a store
// (StoreSource); each gives its tiles as views that read a sample's numbers
// by position, its filter, its identities and its steps.
template <typename Source, typename Identity, typename Sink>
void collect(const Source& source, const Query& request,
             const Identity& identity, Sink& sink, std::size_t first,
             std::size_t end, Collected<Identity>& out) {
  using Key = typename Identity::Key;

  const bool filtering = filters_anything(request);
  const auto filter = source.filter(request);
  const std::size_t sample_limit = request.sample_limit;
  auto& index = out.index;
  auto& groups = out.groups;
  auto& runs = out.runs;
  auto& visits = out.visits;
  auto& rows = out.rows;

  // Consecutive samples often fall in the same group: remember the last.
  Key last_key{};
  std::uint32_t current = kNoGroup;

  std::uint64_t span = 0;
  for (std::size_t entry = first; entry < end; ++entry) {
    // A tile the request excludes contributes only to the span, which a
    // store holds and the records compute, without the tile's columns.
    if (!request.tiles.empty() &&
        !request.tiles.contains(source.physical_tile(entry))) {
      span = std::max(span, source.tile_span(entry));
      continue;
    }
    const auto tile = source.tile(entry);
    const std::uint32_t physical = tile.physical;
    const std::size_t count = tile.size();

    for (std::size_t i = 0; i < count; ++i) {
      if constexpr (Identity::kReadsHeap) {
        // The label lives on the heap, apart from the sample: ask for it
        // early so that several samples' misses overlap.
        if (i + kLookahead < count) identity.prefetch(tile, i + kLookahead);
      }
      if constexpr (decltype(tile)::kScattered) {
        if (i + kSampleAhead < count) tile.prefetch(i + kSampleAhead);
      }
      // With millions of groups each new label's probe is a miss of its
      // own: ask for a coming sample's slot while this one is handled. (Its
      // text was asked for earlier still.)
      if (index.large() && i + kProbeAhead < count) {
        index.prefetch(identity.key(tile, i + kProbeAhead));
      }
      const std::uint64_t offset = tile.offset(i);
      const std::uint32_t length = tile.length(i);
      span = std::max(span, offset + length);
      if (filtering && !filter.matches(tile, i, offset, length)) continue;

      const Key key = identity.key(tile, i);
      if (current == kNoGroup || !same_key(key, last_key)) {
        const auto found = index.find_or_add(key);
        if (found.added) groups.push_back({physical, false, entry});
        current = found.id;
        last_key = key;
      }
      GroupState& group = groups[current];
      if (group.last_entry != entry) {
        group.last_entry = entry;
        if (group.many_tiles) {
          visits.push_back({current, physical});
        } else if (physical != group.first_tile) {
          group.many_tiles = true;
          visits.push_back({current, group.first_tile});
          visits.push_back({current, physical});
        }
      }
      runs.add(current, tile.phase(i), tile.epoch(i),
               static_cast<std::uint32_t>(offset), length);
      if (sample_limit > 0) {
        rows.offer(Candidate{physical, offset, length, tile.ref(i)});
      }
      sink.sample(current, static_cast<std::uint32_t>(offset), length);
    }
  }
  out.span = span;
}

// The answer's groups from their figures and keys: ordered (read from the
// figures and, where they tie, the labels), cut to the request's limit,
// each row's label and dimensions built once, from the group's key.
template <typename Identity, typename Index, typename Sink>
void fill_groups(const std::vector<GroupFigures>& figures, const Index& index,
                 const Identity& identity, const Query& request, Sink& sink,
                 QueryReport& result) {
  const std::vector<std::uint32_t> order =
      order_groups(figures, request.sort_by, request.limit,
                   [&](std::uint32_t g, LabelBuffer& buffer) {
                     return identity.label(index.key(g), buffer);
                   });
  sink.ordered(order, figures.size());

  // With many groups the ids jump about in memory: fetch a few rows ahead,
  // in two steps (the group's figures and key, then the text the key points
  // to), so that the misses of several rows overlap.
  constexpr std::size_t kKeyAhead = 8;
  constexpr std::size_t kTextAhead = 4;
  result.groups.reserve(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i + kKeyAhead < order.size()) {
      prefetch_object(figures[order[i + kKeyAhead]]);
      prefetch_object(index.key(order[i + kKeyAhead]));
    }
    if (i + kTextAhead < order.size()) {
      identity.prefetch_label(index.key(order[i + kTextAhead]));
    }
    fill_group_row(identity.group_key(index.key(order[i])), figures[order[i]],
                   result.clock_hz, result.groups.emplace_back());
  }
}

// The answer's whole-report figures, before the pass.
template <typename Source>
QueryReport report_header(const Source& source, const Query& request) {
  QueryReport result;
  result.clock_hz = source.clock_hz();
  result.tile_count = source.tile_count();
  result.at_offset = request.at_offset;
  result.sample_count = source.sample_count();
  return result;
}

// The one pass over a whole source, then the groups' figures from what it
// collected.
template <typename Source, typename Identity, typename Sink>
QueryReport execute(const Source& source, const Query& request,
                    Identity identity, Sink& sink) {
  QueryReport result = report_header(source, request);
  Collected<Identity> pass(identity, result.sample_count,
                           request.sample_limit, source.steps());
  collect(source, request, identity, sink, 0, result.tile_count, pass);
  result.matched_sample_count = pass.runs.size();
  result.profile_span_cycles = pass.span;
  result.profile_span_ms = cycles_to_ms(pass.span, result.clock_hz);

  std::vector<GroupFigures> figures(pass.groups.size());
  pass.runs.summarize(figures);
  count_tiles(pass.visits, figures);
  pass.visits = {};
  fill_groups(figures, pass.index, identity, request, sink, result);
  result.samples = pass.rows.take_rows();
  return result;
}

// What `query` itself asks of the pass beyond the result: nothing.
struct NoSink {
  void sample(std::uint32_t, std::uint32_t, std::uint32_t) noexcept {}
  void ordered(const std::vector<std::uint32_t>&, std::size_t) noexcept {}
};

}  // namespace zun_profile::detail
