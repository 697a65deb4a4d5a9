#pragma once

// The engine's view of in-memory records: their tiles, the filter, and the
// identities of each grouping. Internal: not installed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "query/engine/group_index.hpp"
#include "query/engine/labels.hpp"
#include "query/engine/prefetch.hpp"
#include "query/engine/sample_rows.hpp"
#include "query/engine/selection.hpp"
#include "query/order/group_order.hpp"
#include "query/query.hpp"

namespace zun_profile::detail {

// One tile entry of the records, read by sample position.
struct RecordTile {
  // Samples are records apart from one another, and their texts on the
  // heap: the pass asks for them ahead.
  static constexpr bool kScattered = true;

  const zun_package::CycleSample* samples;
  std::size_t count;
  std::uint32_t physical;  // the entry's physical tile
  std::uint32_t base;      // its time zero

  std::size_t size() const noexcept { return count; }
  const zun_package::CycleSample& sample(std::size_t i) const noexcept {
    return samples[i];
  }
  std::uint64_t offset(std::size_t i) const noexcept {
    return sample_offset(samples[i], base);
  }
  std::uint32_t length(std::size_t i) const noexcept {
    return duration(samples[i]);
  }
  std::uint32_t phase(std::size_t i) const noexcept {
    return samples[i].step.phase;
  }
  std::uint32_t epoch(std::size_t i) const noexcept {
    return samples[i].step.epoch;
  }
  SampleRef ref(std::size_t i) const noexcept { return record_ref(samples + i); }
  [[gnu::always_inline]] void prefetch(std::size_t i) const noexcept {
    prefetch_object(samples[i]);
  }
};

// The request's filters over the records: matches_query as it stands.
struct RecordFilter {
  const Query* request;
  bool matches(const RecordTile& tile, std::size_t i, std::uint64_t offset,
               std::uint32_t length) const noexcept {
    return matches_query(*request, tile.physical, tile.samples[i], offset,
                         length);
  }
};

class RecordSource {
 public:
  explicit RecordSource(const zun_package::ProfileReport& report)
      : report_(report) {}

  std::uint64_t clock_hz() const noexcept { return report_.clock_hz; }
  std::size_t tile_count() const noexcept { return report_.tiles.size(); }
  std::size_t sample_count() const noexcept {
    std::size_t samples = 0;
    for (const zun_package::TileProfile& tile : report_.tiles) {
      samples += tile.samples.size();
    }
    return samples;
  }
  std::uint32_t physical_tile(std::size_t entry) const noexcept {
    return report_.tiles[entry].physical_tile;
  }
  std::size_t tile_size(std::size_t entry) const noexcept {
    return report_.tiles[entry].samples.size();
  }
  // The largest end offset of the tile's samples.
  std::uint64_t tile_span(std::size_t entry) const noexcept {
    const RecordTile view = tile(entry);
    std::uint64_t span = 0;
    for (std::size_t i = 0; i < view.size(); ++i) {
      span = std::max(span, view.offset(i) + view.length(i));
    }
    return span;
  }
  RecordTile tile(std::size_t entry) const noexcept {
    const zun_package::TileProfile& tile = report_.tiles[entry];
    return {tile.samples.data(), tile.samples.size(), tile.physical_tile,
            time_base(tile)};
  }
  RecordFilter filter(const Query& request) const noexcept {
    return {&request};
  }
  const StepSource& steps() const noexcept { return kRecordSteps; }

 private:
  const zun_package::ProfileReport& report_;
};

// A grouping's identity: `key(tile, i)` gives a cheap value that is equal
// for two samples exactly when group_key would give them equal labels: the
// label itself as a view into the report or into static text, or the
// numbers a label is written from. Where kReadsHeap says the key reads
// bytes apart from the sample, `prefetch(tile, i)` asks for them.
template <typename KeyType>
struct RecordIdentity {
  using Key = KeyType;
  static constexpr bool kReadsHeap = false;
  GroupIndex<Key> make_index() const { return {}; }
  void prefetch(const RecordTile&, std::size_t) const noexcept {}
  [[gnu::always_inline]] void prefetch_label(const Key& key) const noexcept {
    if constexpr (std::is_same_v<Key, std::string_view>) {
      __builtin_prefetch(key.data());
    }
  }
};

// Kind labels: the four kinds, and one key (4) for every value outside
// them, which all share the label "unknown".
struct KindLabels {
  std::string_view label(std::uint64_t key, LabelBuffer&) const noexcept {
    return kind_name(static_cast<zun_package::ProfileStepKind>(key));
  }
  GroupKey group_key(std::uint64_t key) const {
    return label_group(
        kind_name(static_cast<zun_package::ProfileStepKind>(key)));
  }
};

struct KindIdentity : RecordIdentity<std::uint64_t>, KindLabels {
  Key key(const RecordTile& tile, std::size_t i) const noexcept {
    return std::min<std::uint32_t>(
        static_cast<std::uint32_t>(tile.samples[i].step.kind), 4);
  }
};

struct KernelIdentity : RecordIdentity<std::string_view> {
  static constexpr bool kReadsHeap = true;
  [[gnu::always_inline]] void prefetch(const RecordTile& tile,
                                       std::size_t i) const noexcept {
    prefetch_text(tile.samples[i].step.kernel);
  }
  Key key(const RecordTile& tile, std::size_t i) const noexcept {
    return kernel_label(tile.samples[i].step);
  }
  std::string_view label(Key key, LabelBuffer&) const noexcept { return key; }
  GroupKey group_key(Key key) const { return label_group(key); }
};

struct OperationIdentity : RecordIdentity<std::string_view> {
  static constexpr bool kReadsHeap = true;
  [[gnu::always_inline]] void prefetch(const RecordTile& tile,
                                       std::size_t i) const noexcept {
    prefetch_text(tile.samples[i].step.operation);
  }
  Key key(const RecordTile& tile, std::size_t i) const noexcept {
    return tile.samples[i].step.operation;
  }
  std::string_view label(Key key, LabelBuffer&) const noexcept { return key; }
  GroupKey group_key(Key key) const { return label_group(key); }
};

// Phase labels are written from (phase, epoch) and nothing else.
template <typename Tile>
struct PhaseKeyOf {
  static std::uint64_t of(const Tile& tile, std::size_t i) noexcept {
    return (static_cast<std::uint64_t>(tile.phase(i)) << 32) | tile.epoch(i);
  }
};
struct PhaseLabels {
  std::string_view label(std::uint64_t key, LabelBuffer& buffer) const noexcept {
    return phase_label(static_cast<std::uint32_t>(key >> 32),
                       static_cast<std::uint32_t>(key), buffer.text);
  }
  GroupKey group_key(std::uint64_t key) const {
    return phase_group(static_cast<std::uint32_t>(key >> 32),
                       static_cast<std::uint32_t>(key));
  }
};
// Tile labels are written from the physical tile number alone.
struct TileLabels {
  std::string_view label(std::uint64_t key, LabelBuffer& buffer) const noexcept {
    return tile_label(static_cast<std::uint32_t>(key), buffer.text);
  }
  GroupKey group_key(std::uint64_t key) const {
    return tile_group(static_cast<std::uint32_t>(key));
  }
};
// A grouping outside its members labels every sample with the empty text,
// as group_key does.
struct NoLabels {
  std::string_view label(std::uint64_t, LabelBuffer&) const noexcept {
    return {};
  }
  GroupKey group_key(std::uint64_t) const { return GroupKey{}; }
};

// The groupings whose keys are numbers of the sample or tile alone, for a
// source whose tiles are `Tile`.
template <typename Tile, typename Base>
struct PhaseIdentityOf : Base, PhaseLabels {
  typename Base::Key key(const Tile& tile, std::size_t i) const noexcept {
    return PhaseKeyOf<Tile>::of(tile, i);
  }
};
template <typename Tile, typename Base>
struct TileIdentityOf : Base, TileLabels {
  typename Base::Key key(const Tile& tile, std::size_t) const noexcept {
    return tile.physical;
  }
};
template <typename Tile, typename Base>
struct NoIdentityOf : Base, NoLabels {
  typename Base::Key key(const Tile&, std::size_t) const noexcept { return 0; }
};

using PhaseIdentity = PhaseIdentityOf<RecordTile, RecordIdentity<std::uint64_t>>;
using TileIdentity = TileIdentityOf<RecordTile, RecordIdentity<std::uint64_t>>;
using NoIdentity = NoIdentityOf<RecordTile, RecordIdentity<std::uint64_t>>;

struct MetadataIdentity : RecordIdentity<std::string_view> {
  std::string_view name;  // the requested metadata key
  explicit MetadataIdentity(std::string_view key) : name(key) {}
  static constexpr bool kReadsHeap = true;
  [[gnu::always_inline]] void prefetch(const RecordTile& tile,
                                       std::size_t i) const noexcept {
    const auto& metadata = tile.samples[i].step.metadata;
    const char* bytes = reinterpret_cast<const char*>(metadata.data());
    __builtin_prefetch(bytes);
    __builtin_prefetch(bytes + metadata.size() * sizeof(metadata[0]));
  }
  Key key(const RecordTile& tile, std::size_t i) const noexcept {
    return metadata_label(tile.samples[i].step, name);
  }
  std::string_view label(Key key, LabelBuffer&) const noexcept { return key; }
  GroupKey group_key(Key key) const { return metadata_group(name, key); }
};

// The requested metadata key, or the empty text when none is given.
inline std::string_view metadata_key_of(const Query& request) noexcept {
  return request.metadata_key ? std::string_view(*request.metadata_key)
                              : std::string_view();
}

// Calls `run(identity)` with the identity of `request`'s grouping.
template <typename Run>
decltype(auto) with_identity(const RecordSource&, const Query& request,
                             Run&& run) {
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
      return run(MetadataIdentity(metadata_key_of(request)));
  }
  return run(NoIdentity{});
}

}  // namespace zun_profile::detail
