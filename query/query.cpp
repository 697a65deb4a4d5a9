#include "query/query.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "query/accumulator.hpp"
#include "query/labels.hpp"
#include "query/ordering.hpp"
#include "query/sample_rows.hpp"
#include "query/selection.hpp"

namespace zun_profile {
namespace {

using zun_package::CycleSample;
using zun_package::ProfileReport;
using zun_package::TileProfile;

// Whether any filter of `request` is set; without one every sample matches
// and the pass skips matches_query altogether.
bool filters_anything(const Query& request) noexcept {
  return request.kind || request.kernel || request.operation_contains ||
         !request.tiles.empty() || !request.phases.empty() ||
         request.at_offset || !request.metadata.empty();
}

// How far ahead the pass prefetches a sample's label text.
constexpr std::size_t kLookahead = 8;

// A grouping's identity: `key(tile, sample)` gives a cheap value that is
// equal for two samples exactly when group_key would give them equal labels:
// the label itself as a view into the report or into static text, or the
// numbers a label is written from. `heap(sample)` points at the text the key
// reads, where kReadsHeap says there is one.
struct KindIdentity {
  static constexpr bool kReadsHeap = false;
  static const void* heap(const CycleSample&) noexcept { return nullptr; }
  std::string_view key(std::uint32_t,
                       const CycleSample& sample) const noexcept {
    return kind_name(sample);
  }
};

struct KernelIdentity {
  static constexpr bool kReadsHeap = true;
  static const void* heap(const CycleSample& sample) noexcept {
    return sample.step.kernel.data();
  }
  std::string_view key(std::uint32_t,
                       const CycleSample& sample) const noexcept {
    return kernel_label(sample.step);
  }
};

struct OperationIdentity {
  static constexpr bool kReadsHeap = true;
  static const void* heap(const CycleSample& sample) noexcept {
    return sample.step.operation.data();
  }
  std::string_view key(std::uint32_t,
                       const CycleSample& sample) const noexcept {
    return sample.step.operation;
  }
};

// Phase labels are written from (phase, epoch) and nothing else.
struct PhaseIdentity {
  static constexpr bool kReadsHeap = false;
  static const void* heap(const CycleSample&) noexcept { return nullptr; }
  std::uint64_t key(std::uint32_t, const CycleSample& sample) const noexcept {
    return (static_cast<std::uint64_t>(sample.step.phase) << 32) |
           sample.step.epoch;
  }
};

// Tile labels are written from the physical tile number alone.
struct TileIdentity {
  static constexpr bool kReadsHeap = false;
  static const void* heap(const CycleSample&) noexcept { return nullptr; }
  std::uint32_t key(std::uint32_t tile, const CycleSample&) const noexcept {
    return tile;
  }
};

struct MetadataIdentity {
  std::string_view name;  // the requested metadata key
  static constexpr bool kReadsHeap = true;
  static const void* heap(const CycleSample& sample) noexcept {
    return sample.step.metadata.data();
  }
  std::string_view key(std::uint32_t,
                       const CycleSample& sample) const noexcept {
    return metadata_label(sample.step, name);
  }
};

// A grouping outside its members labels every sample with the empty text,
// as group_key does.
struct NoIdentity {
  static constexpr bool kReadsHeap = false;
  static const void* heap(const CycleSample&) noexcept { return nullptr; }
  std::string_view key(std::uint32_t, const CycleSample&) const noexcept {
    return {};
  }
};

// The one pass over the report, grouping by `identity`. The label and
// dimensions proper are built once per group, by group_key on the group's
// first sample.
template <typename Identity>
QueryReport execute(const ProfileReport& report, const Query& request,
                    Identity identity) {
  using Key = decltype(identity.key(std::uint32_t{},
                                    std::declval<const CycleSample&>()));

  QueryReport result;
  result.clock_hz = report.clock_hz;
  result.tile_count = report.tiles.size();
  result.at_offset = request.at_offset;

  const bool filtering = filters_anything(request);
  const std::size_t sample_limit = request.sample_limit;

  std::vector<Accumulator> groups;
  std::unordered_map<Key, std::size_t> group_index;
  TopSamples rows(sample_limit);

  // Consecutive samples mostly fall in the same group: remember the last.
  Key last_key{};
  Accumulator* current = nullptr;

  std::uint64_t span = 0;
  std::size_t matched = 0;
  for (std::size_t entry = 0; entry < report.tiles.size(); ++entry) {
    const TileProfile& tile = report.tiles[entry];
    const std::uint32_t physical = tile.physical_tile;
    const std::uint32_t base = time_base(tile);
    result.sample_count += tile.samples.size();

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
          __builtin_prefetch(Identity::heap(tile.samples[i + kLookahead]));
        }
      }
      const std::uint64_t offset = sample_offset(sample, base);
      const std::uint32_t length = duration(sample);
      span = std::max(span, offset + length);
      if (filtering &&
          !matches_query(request, physical, sample, offset, length)) {
        continue;
      }
      ++matched;

      const Key key = identity.key(physical, sample);
      if (current == nullptr || !(key == last_key)) {
        const auto [found, opened] =
            group_index.try_emplace(key, groups.size());
        if (opened) {
          groups.emplace_back(group_key(request, physical, sample), offset);
        }
        current = &groups[found->second];
        last_key = key;
      }
      current->add(entry, physical, sample.step, offset, length);

      if (sample_limit > 0) {
        rows.offer(Candidate{physical, offset, length, &sample});
      }
    }
  }
  result.matched_sample_count = matched;
  result.profile_span_cycles = span;
  result.profile_span_ms = cycles_to_ms(span, report.clock_hz);

  result.groups.reserve(groups.size());
  for (Accumulator& group : groups) {
    result.groups.push_back(std::move(group).summarize(report.clock_hz));
  }
  std::stable_sort(result.groups.begin(), result.groups.end(),
                   [sort_by = request.sort_by](const GroupSummary& left,
                                               const GroupSummary& right) {
                     return compare_groups(sort_by, left, right) < 0;
                   });
  if (request.limit && *request.limit < result.groups.size()) {
    result.groups.resize(*request.limit);
  }
  result.samples = rows.take_rows();
  return result;
}

}  // namespace

QueryReport query(const ProfileReport& report, const Query& request) {
  switch (request.group_by) {
    case GroupBy::Kind:
      return execute(report, request, KindIdentity{});
    case GroupBy::Kernel:
      return execute(report, request, KernelIdentity{});
    case GroupBy::Operation:
      return execute(report, request, OperationIdentity{});
    case GroupBy::Phase:
      return execute(report, request, PhaseIdentity{});
    case GroupBy::Tile:
      return execute(report, request, TileIdentity{});
    case GroupBy::Metadata:
      return execute(
          report, request,
          MetadataIdentity{request.metadata_key
                               ? std::string_view(*request.metadata_key)
                               : std::string_view()});
  }
  return execute(report, request, NoIdentity{});
}

}  // namespace zun_profile
