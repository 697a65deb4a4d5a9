#pragma once

// The query engine's one pass, shared by `query` and `activity`: the group
// identities, and `execute`, which walks the report once and builds the
// result. Internal: not installed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "query/group_index.hpp"
#include "query/group_order.hpp"
#include "query/labels.hpp"
#include "query/query.hpp"
#include "query/run_records.hpp"
#include "query/sample_rows.hpp"
#include "query/selection.hpp"
#include "query/statistics.hpp"
#include "query/tile_count.hpp"

namespace zun_profile::detail {

using zun_package::CycleSample;
using zun_package::ProfileReport;
using zun_package::TileProfile;

// Whether any filter of `request` is set; without one every sample matches
// and the pass skips matches_query altogether.
inline bool filters_anything(const Query& request) noexcept {
  return request.kind || request.kernel || request.operation_contains ||
         !request.tiles.empty() || !request.phases.empty() ||
         request.at_offset || !request.metadata.empty();
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

// A grouping's identity: `key(tile, sample)` gives a cheap value that is
// equal for two samples exactly when group_key would give them equal labels:
// the label itself as a view into the report or into static text, or the
// numbers a label is written from. `heap(sample)` gives the bytes the key
// reads apart from the sample, where kReadsHeap says there are any.
struct KindIdentity {
  using Key = std::uint64_t;
  static constexpr bool kReadsHeap = false;
  static std::pair<const char*, std::size_t> heap(const CycleSample&) noexcept {
    return {nullptr, 0};
  }
  // The four kinds, and one key for every value outside them, which all
  // share the label "unknown".
  Key key(std::uint32_t, const CycleSample& sample) const noexcept {
    return std::min<std::uint32_t>(static_cast<std::uint32_t>(sample.step.kind),
                                   4);
  }
  std::string_view label(Key key, LabelBuffer&) const noexcept {
    return kind_name(static_cast<zun_package::ProfileStepKind>(key));
  }
  GroupKey group_key(Key key) const {
    return label_group(
        kind_name(static_cast<zun_package::ProfileStepKind>(key)));
  }
};

struct KernelIdentity {
  using Key = std::string_view;
  static constexpr bool kReadsHeap = true;
  static std::pair<const char*, std::size_t> heap(
      const CycleSample& sample) noexcept {
    return {sample.step.kernel.data(), sample.step.kernel.size()};
  }
  Key key(std::uint32_t, const CycleSample& sample) const noexcept {
    return kernel_label(sample.step);
  }
  std::string_view label(Key key, LabelBuffer&) const noexcept { return key; }
  GroupKey group_key(Key key) const { return label_group(key); }
};

struct OperationIdentity {
  using Key = std::string_view;
  static constexpr bool kReadsHeap = true;
  static std::pair<const char*, std::size_t> heap(
      const CycleSample& sample) noexcept {
    return {sample.step.operation.data(), sample.step.operation.size()};
  }
  Key key(std::uint32_t, const CycleSample& sample) const noexcept {
    return sample.step.operation;
  }
  std::string_view label(Key key, LabelBuffer&) const noexcept { return key; }
  GroupKey group_key(Key key) const { return label_group(key); }
};

// Phase labels are written from (phase, epoch) and nothing else.
struct PhaseIdentity {
  using Key = std::uint64_t;
  static constexpr bool kReadsHeap = false;
  static std::pair<const char*, std::size_t> heap(const CycleSample&) noexcept {
    return {nullptr, 0};
  }
  Key key(std::uint32_t, const CycleSample& sample) const noexcept {
    return (static_cast<std::uint64_t>(sample.step.phase) << 32) |
           sample.step.epoch;
  }
  std::string_view label(Key key, LabelBuffer& buffer) const noexcept {
    return phase_label(static_cast<std::uint32_t>(key >> 32),
                       static_cast<std::uint32_t>(key), buffer.text);
  }
  GroupKey group_key(Key key) const {
    return phase_group(static_cast<std::uint32_t>(key >> 32),
                       static_cast<std::uint32_t>(key));
  }
};

// Tile labels are written from the physical tile number alone.
struct TileIdentity {
  using Key = std::uint64_t;
  static constexpr bool kReadsHeap = false;
  static std::pair<const char*, std::size_t> heap(const CycleSample&) noexcept {
    return {nullptr, 0};
  }
  Key key(std::uint32_t tile, const CycleSample&) const noexcept {
    return tile;
  }
  std::string_view label(Key key, LabelBuffer& buffer) const noexcept {
    return tile_label(static_cast<std::uint32_t>(key), buffer.text);
  }
  GroupKey group_key(Key key) const {
    return tile_group(static_cast<std::uint32_t>(key));
  }
};

struct MetadataIdentity {
  using Key = std::string_view;
  std::string_view name;  // the requested metadata key
  static constexpr bool kReadsHeap = true;
  static std::pair<const char*, std::size_t> heap(
      const CycleSample& sample) noexcept {
    const auto& metadata = sample.step.metadata;
    return {reinterpret_cast<const char*>(metadata.data()),
            metadata.size() * sizeof(metadata[0])};
  }
  Key key(std::uint32_t, const CycleSample& sample) const noexcept {
    return metadata_label(sample.step, name);
  }
  std::string_view label(Key key, LabelBuffer&) const noexcept { return key; }
  GroupKey group_key(Key key) const { return metadata_group(name, key); }
};

// A grouping outside its members labels every sample with the empty text,
// as group_key does.
struct NoIdentity {
  using Key = std::uint64_t;
  static constexpr bool kReadsHeap = false;
  static std::pair<const char*, std::size_t> heap(const CycleSample&) noexcept {
    return {nullptr, 0};
  }
  Key key(std::uint32_t, const CycleSample&) const noexcept { return 0; }
  std::string_view label(Key, LabelBuffer&) const noexcept { return {}; }
  GroupKey group_key(Key) const { return GroupKey{}; }
};

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

// Asks for both ends of `object`, which may straddle two cache lines.
// Always inlined, as is every helper that only prefetches: GCC finds such a
// function free of effects and drops calls to it.
template <typename T>
[[gnu::always_inline]] inline void prefetch_object(const T& object) noexcept {
  __builtin_prefetch(&object);
  __builtin_prefetch(reinterpret_cast<const char*>(&object) + sizeof(T) - 1);
}

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

// The one pass over the report, grouping by `identity`, then the groups'
// figures from what it collected.
template <typename Identity, typename Sink>
QueryReport execute(const ProfileReport& report, const Query& request,
                    Identity identity, Sink& sink) {
  using Key = typename Identity::Key;

  QueryReport result;
  result.clock_hz = report.clock_hz;
  result.tile_count = report.tiles.size();
  result.at_offset = request.at_offset;
  for (const TileProfile& tile : report.tiles) {
    result.sample_count += tile.samples.size();
  }

  const bool filtering = filters_anything(request);
  const std::size_t sample_limit = request.sample_limit;

  GroupIndex<Key> index;
  std::vector<GroupState> groups;
  RunRecords runs(result.sample_count);
  std::vector<TileVisit> visits;
  SampleRows rows(sample_limit, result.sample_count);

  // Consecutive samples often fall in the same group: remember the last.
  Key last_key{};
  std::uint32_t current = kNoGroup;

  std::uint64_t span = 0;
  for (std::size_t entry = 0; entry < report.tiles.size(); ++entry) {
    const TileProfile& tile = report.tiles[entry];
    const std::uint32_t physical = tile.physical_tile;
    const std::uint32_t base = time_base(tile);

    // A tile the request excludes contributes only to the span.
    if (!request.tiles.empty() && !request.tiles.contains(physical)) {
      for (const CycleSample& sample : tile.samples) {
        span = std::max(span, sample_offset(sample, base) + duration(sample));
      }
      continue;
    }

    const std::size_t count = tile.samples.size();
    for (std::size_t i = 0; i < count; ++i) {
      const CycleSample& sample = tile.samples[i];
      if constexpr (Identity::kReadsHeap) {
        // The label lives on the heap, apart from the sample: ask for it
        // early so that several samples' misses overlap.
        if (i + kLookahead < count) {
          const auto [text, size] =
              Identity::heap(tile.samples[i + kLookahead]);
          __builtin_prefetch(text);
          __builtin_prefetch(text + size);
        }
      }
      if (i + kSampleAhead < count) {
        prefetch_object(tile.samples[i + kSampleAhead]);
      }
      // With millions of groups each new label's probe is a miss of its
      // own: ask for a coming sample's slot while this one is handled. (Its
      // text was asked for earlier still.)
      if (index.large() && i + kProbeAhead < count) {
        index.prefetch(identity.key(physical, tile.samples[i + kProbeAhead]));
      }
      const std::uint64_t offset = sample_offset(sample, base);
      const std::uint32_t length = duration(sample);
      span = std::max(span, offset + length);
      if (filtering &&
          !matches_query(request, physical, sample, offset, length)) {
        continue;
      }

      const Key key = identity.key(physical, sample);
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
      runs.add(current, sample.step.phase, sample.step.epoch,
               static_cast<std::uint32_t>(offset), length);
      if (sample_limit > 0) {
        rows.offer(Candidate{physical, offset, length, &sample});
      }
      sink.sample(current, static_cast<std::uint32_t>(offset), length);
    }
  }
  result.matched_sample_count = runs.size();
  result.profile_span_cycles = span;
  result.profile_span_ms = cycles_to_ms(span, report.clock_hz);

  // The figures from the runs and the visits, then the order, read from the
  // figures and, where they tie, the labels.
  std::vector<GroupFigures> figures(groups.size());
  runs.summarize(figures);
  count_tiles(visits, figures);
  visits = {};
  const std::vector<std::uint32_t> order =
      order_groups(figures, request.sort_by, request.limit,
                   [&](std::uint32_t g, LabelBuffer& buffer) {
                     return identity.label(index.key(g), buffer);
                   });
  sink.ordered(order, groups.size());

  // The rows in order, each label and dimensions built once, from the
  // group's key. With many groups the ids jump about in memory: fetch a few
  // rows ahead, in two steps (the group's figures and key, then the text
  // the key points to), so that the misses of several rows overlap.
  constexpr std::size_t kKeyAhead = 8;
  constexpr std::size_t kTextAhead = 4;
  result.groups.reserve(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i + kKeyAhead < order.size()) {
      prefetch_object(figures[order[i + kKeyAhead]]);
      prefetch_object(index.key(order[i + kKeyAhead]));
    }
    if constexpr (std::is_same_v<Key, std::string_view>) {
      if (i + kTextAhead < order.size()) {
        __builtin_prefetch(index.key(order[i + kTextAhead]).data());
      }
    }
    fill_group_row(identity.group_key(index.key(order[i])), figures[order[i]],
                   report.clock_hz, result.groups.emplace_back());
  }
  result.samples = rows.take_rows();
  return result;
}

// What `query` itself asks of the pass beyond the result: nothing.
struct NoSink {
  void sample(std::uint32_t, std::uint32_t, std::uint32_t) noexcept {}
  void ordered(const std::vector<std::uint32_t>&, std::size_t) noexcept {}
};

// Calls `run(identity)` with the identity of `request`'s grouping.
template <typename Run>
decltype(auto) with_identity(const Query& request, Run&& run) {
  switch (request.group_by) {
    case GroupBy::Kind:
      return run(KindIdentity{});
    case GroupBy::Kernel:
      return run(KernelIdentity{});
    case GroupBy::Operation:
      return run(OperationIdentity{});
    case GroupBy::Phase:
      return run(PhaseIdentity{});
    case GroupBy::Tile:
      return run(TileIdentity{});
    case GroupBy::Metadata:
      return run(MetadataIdentity{request.metadata_key
                                      ? std::string_view(*request.metadata_key)
                                      : std::string_view()});
  }
  return run(NoIdentity{});
}

}  // namespace zun_profile::detail
