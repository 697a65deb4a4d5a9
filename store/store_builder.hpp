#pragma once

#include <cstdint>
#include <memory>

#include "report/profile_report.hpp"
#include "store/report_store.hpp"

// Building a store in memory, sample by sample, so that a reader of another
// format (the JSON report reader, say) makes a store without building the
// records first: one sample at a time is all it needs to hold.
namespace zun_store {

class StoreBuilder {
 public:
  explicit StoreBuilder(std::uint64_t clock_hz = 0);
  ~StoreBuilder();
  StoreBuilder(StoreBuilder&&) noexcept;
  StoreBuilder& operator=(StoreBuilder&&) noexcept;

  // Sets the report's clock, which a reader may meet after the tiles.
  void set_clock_hz(std::uint64_t clock_hz) noexcept;

  // Starts the next tile entry; the samples added after it are its own.
  void begin_tile(std::uint32_t physical_tile);

  // Sets the physical tile of the tile begun last, for a reader that meets
  // it after the tile's samples. Throws StoreError when no tile was begun.
  void set_tile_physical(std::uint32_t physical_tile);

  // Appends `sample` to the tile begun last (copying what it holds). Throws
  // StoreError when no tile was begun, or past the format's limits (2^32
  // texts or metadata lists).
  void add_sample(const zun_package::CycleSample& sample);

  // begin_tile and add_sample for every sample of `tile`.
  void add_tile(const zun_package::TileProfile& tile);

  // The store of everything added, in the layout `version` names. Leaves
  // the builder empty.
  ReportStore finish(StoreVersion version = StoreVersion::smallest);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zun_store
