#pragma once

// The engine's view of a report store: its tiles as column views, the
// filter and the identities of each grouping. A store holds every text and
// every step once, so each filter on a step's fields is decided once per
// step, and each grouping reads its key from the step table, before and
// during the pass, which reads a step id per sample. Internal: not
// installed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "query/engine/group_index.hpp"
#include "query/engine/labels.hpp"
#include "query/engine/prefetch.hpp"
#include "query/engine/record_source.hpp"
#include "query/engine/sample_rows.hpp"
#include "query/engine/selection.hpp"
#include "query/order/group_order.hpp"
#include "query/query.hpp"
#include "store/report_store.hpp"

namespace zun_profile::detail {

// One tile entry of a store: its samples are positions [first, first +
// count) of every column.
struct StoreTile {
  // Columns are read in order: the hardware's prefetcher keeps up.
  static constexpr bool kScattered = false;

  const std::uint32_t* steps;   // the tile's own step ids
  const std::uint32_t* starts;  // and start and end cycles
  const std::uint32_t* ends;
  const std::uint32_t* step_phases;  // the step table's phases and epochs
  const std::uint32_t* step_epochs;
  std::size_t first;  // the store position of the tile's first sample
  std::size_t count;
  std::uint32_t physical;
  std::uint32_t base;

  std::size_t size() const noexcept { return count; }
  std::uint64_t offset(std::size_t i) const noexcept {
    return counter_distance(base, starts[i]);
  }
  std::uint32_t length(std::size_t i) const noexcept {
    return counter_distance(starts[i], ends[i]);
  }
  std::uint32_t step(std::size_t i) const noexcept { return steps[i]; }
  std::uint32_t phase(std::size_t i) const noexcept {
    return step_phases[steps[i]];
  }
  std::uint32_t epoch(std::size_t i) const noexcept {
    return step_epochs[steps[i]];
  }
  SampleRef ref(std::size_t i) const noexcept { return first + i; }
  void prefetch(std::size_t) const noexcept {}
};

// The request's filters over a store. Kind, kernel, operation, phase and
// metadata are fields of a step, decided for every step when the filter is
// made; the tile and the time, as matches_query does, per sample.
class StoreFilter {
 public:
  StoreFilter(const zun_store::ReportStore& store, const Query& request);

  // Whether step `step` meets the request's filters on a step's fields.
  bool meets_step(std::uint32_t step) const noexcept {
    return step_met_.empty() || step_met_[step] != 0;
  }

  bool matches(const StoreTile& tile, std::size_t i, std::uint64_t offset,
               std::uint32_t length) const noexcept {
    if (!meets_step(tile.steps[i])) return false;
    if (!request_->tiles.empty() && !request_->tiles.contains(tile.physical)) {
      return false;
    }
    if (request_->at_offset) {
      const std::uint64_t at = *request_->at_offset;
      if (at < offset || at >= saturating_end(offset, length)) return false;
    }
    if (request_->window && !meets_window(*request_->window, offset, length)) {
      return false;
    }
    return true;
  }

 private:
  const Query* request_;
  // Per step, whether its fields meet the request; empty when the request
  // asks nothing of them.
  std::vector<std::uint8_t> step_met_;
};

// Copies a store sample's step into a row.
class StoreSteps final : public StepSource {
 public:
  explicit StoreSteps(const zun_store::ReportStore& store) : store_(store) {}
  void fill(SampleRef sample, SampleRecord& row) const override;

 private:
  const zun_store::ReportStore& store_;
};

class StoreSource {
 public:
  explicit StoreSource(const zun_store::ReportStore& store)
      : store_(store), steps_(store) {}

  std::uint64_t clock_hz() const noexcept { return store_.clock_hz(); }
  std::size_t tile_count() const noexcept { return store_.tile_count(); }
  std::size_t sample_count() const noexcept { return store_.sample_count(); }
  std::uint32_t physical_tile(std::size_t entry) const noexcept {
    return store_.physical_tile(entry);
  }
  std::size_t tile_size(std::size_t entry) const noexcept {
    return store_.tile_end(entry) - store_.tile_begin(entry);
  }
  // The largest end offset of the tile's samples, which the store holds.
  std::uint64_t tile_span(std::size_t entry) const noexcept {
    return store_.tile_span(entry);
  }
  // Reads the tile's columns: throws StoreError when they are damaged.
  StoreTile tile(std::size_t entry) const {
    const zun_store::SampleColumns columns = store_.tile_samples(entry);
    return {columns.steps,
            columns.starts,
            columns.ends,
            store_.step_phases(),
            store_.step_epochs(),
            store_.tile_begin(entry),
            columns.count,
            store_.physical_tile(entry),
            columns.count == 0 ? 0 : columns.starts[0]};
  }
  StoreFilter filter(const Query& request) const {
    return StoreFilter(store_, request);
  }
  const StepSource& steps() const noexcept { return steps_; }
  const zun_store::ReportStore& store() const noexcept { return store_; }

 private:
  const zun_store::ReportStore& store_;
  StoreSteps steps_;
};

// Gives each distinct key below a bound a dense id in order of first sight,
// by a table with a slot per possible key: the text ids of a store, where
// a hash would only cost.
class DenseIndex {
 public:
  struct Found {
    std::uint32_t id;
    bool added;
  };

  explicit DenseIndex(std::size_t bound) : slots_(bound, 0) {}

  [[gnu::always_inline]] Found find_or_add(std::uint64_t key) {
    std::uint32_t& slot = slots_[static_cast<std::size_t>(key)];
    if (slot != 0) return {slot - 1, false};
    const auto id = static_cast<std::uint32_t>(keys_.size());
    keys_.push_back(key);
    slot = id + 1;
    return {id, true};
  }
  std::size_t size() const noexcept { return keys_.size(); }
  bool large() const noexcept { return slots_.size() >= kLargeSlots; }
  [[gnu::always_inline]] void prefetch(std::uint64_t key) const noexcept {
    __builtin_prefetch(&slots_[static_cast<std::size_t>(key)]);
  }
  const std::uint64_t& key(std::uint32_t id) const noexcept {
    return keys_[id];
  }

 private:
  static constexpr std::size_t kLargeSlots = std::size_t{1} << 18;  // 1 MiB
  std::vector<std::uint32_t> slots_;  // id + 1 per key, 0 when unseen
  std::vector<std::uint64_t> keys_;   // by id
};

// The defaults of a store grouping's identity.
struct StoreIdentity {
  using Key = std::uint64_t;
  static constexpr bool kReadsHeap = false;
  GroupIndex<Key> make_index() const { return {}; }
  void prefetch(const StoreTile&, std::size_t) const noexcept {}
  void prefetch_label(Key) const noexcept {}
};

struct StoreKindIdentity : StoreIdentity, KindLabels {
  const std::uint32_t* kinds;  // per step
  Key key(const StoreTile& tile, std::size_t i) const noexcept {
    return std::min<std::uint32_t>(kinds[tile.steps[i]], 4);
  }
};

// Grouping by a text column: the key is the text id, and the one label
// that two texts share (the empty kernel and "(no kernel)", a value and
// "(missing)") is one key. Keys past the texts stand for such a label when
// the store lacks its text.
class StoreTextIdentity : public StoreIdentity {
 public:
  // `ids`: per step, the id whose label groups it, read through `remap`
  // when that is given (a metadata list's value), else used as it is.
  StoreTextIdentity(const zun_store::ReportStore& store,
                    const std::uint32_t* ids, std::uint64_t folded,
                    std::string_view substitute, std::string_view metadata_key,
                    bool metadata)
      : store_(&store),
        ids_(ids),
        folded_(folded),
        substitute_(substitute),
        name_(metadata_key),
        metadata_(metadata) {
    const auto found = store.find_text(substitute);
    into_ = found ? *found : store.text_count();
  }

  void remap(std::shared_ptr<const std::vector<std::uint32_t>> values) {
    remap_ = std::move(values);
  }
  DenseIndex make_index() const { return DenseIndex(store_->text_count() + 1); }
  // With millions of groups each row's label is a miss: the rows ask for
  // it a few rows ahead.
  [[gnu::always_inline]] void prefetch_label(Key key) const noexcept {
    if (key < store_->text_count()) {
      prefetch_text(store_->text(static_cast<std::uint32_t>(key)));
    }
  }
  Key key(const StoreTile& tile, std::size_t i) const noexcept {
    std::uint64_t id = ids_[tile.steps[i]];
    if (remap_ != nullptr) id = (*remap_)[static_cast<std::size_t>(id)];
    return id == folded_ ? into_ : id;
  }
  std::string_view label(Key key, LabelBuffer&) const noexcept {
    return key < store_->text_count()
               ? store_->text(static_cast<std::uint32_t>(key))
               : substitute_;
  }
  GroupKey group_key(Key key) const {
    LabelBuffer unused;
    return metadata_ ? metadata_group(name_, label(key, unused))
                     : label_group(label(key, unused));
  }

 private:
  const zun_store::ReportStore* store_;
  const std::uint32_t* ids_;
  std::uint64_t folded_;  // the id that shares the substitute's label
  std::uint64_t into_;    // the key both have
  std::string_view substitute_;
  std::string_view name_;  // the metadata key, when grouping by metadata
  bool metadata_;
  std::shared_ptr<const std::vector<std::uint32_t>> remap_;
};

using StorePhaseIdentity = PhaseIdentityOf<StoreTile, StoreIdentity>;
using StoreTileIdentity = TileIdentityOf<StoreTile, StoreIdentity>;
using StoreNoIdentity = NoIdentityOf<StoreTile, StoreIdentity>;

// The identity of grouping `store` by kernel, by operation or by the
// metadata key of `request`.
StoreTextIdentity kernel_identity(const zun_store::ReportStore& store);
StoreTextIdentity operation_identity(const zun_store::ReportStore& store);
StoreTextIdentity metadata_identity(const zun_store::ReportStore& store,
                                    std::string_view key);

// Calls `run(identity)` with the identity of `request`'s grouping.
template <typename Run>
decltype(auto) with_identity(const StoreSource& source, const Query& request,
                             Run&& run) {
  const zun_store::ReportStore& store = source.store();
  switch (request.group_by) {
    case GroupBy::Kind: {
      StoreKindIdentity identity;
      identity.kinds = store.step_kinds();
      return run(identity);
    }
    case GroupBy::Kernel:
      return run(kernel_identity(store));
    case GroupBy::Operation:
      return run(operation_identity(store));
    case GroupBy::Phase:
      return run(StorePhaseIdentity{});
    case GroupBy::Tile:
      return run(StoreTileIdentity{});
    case GroupBy::Metadata:
      return run(metadata_identity(store, metadata_key_of(request)));
  }
  return run(StoreNoIdentity{});
}

}  // namespace zun_profile::detail
