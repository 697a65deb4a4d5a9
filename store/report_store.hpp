#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>

#include "report/profile_report.hpp"

// A report store: the compact, read-only form of a profile report. Every
// text is held once, in byte order, and referred to by its id; every sample
// field is a fixed-width column. A store file is mapped, not parsed: opening
// one checks it whole and then reads it in place (docs/store-format.md).
namespace zun_store {

// What opening or writing a store can throw. what() is the whole message:
// the file's name and the fault, e.g. "r.zun: not a report store".
struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One metadata entry of a step, as the ids of its name and value texts.
struct MetadataRef {
  std::uint32_t name = 0;   // text id of the entry's name
  std::uint32_t value = 0;  // text id of its value
};

// A read-only report store, from a file or built in memory. Movable, not
// copyable. Every accessor is const and keeps no state, so any number of
// threads may read (and query) one store at once. A mapped file changed or
// truncated by someone else while it is open breaks the store's checks
// after the fact, and reads may then see garbage or fault: a front end
// calls check_unchanged() before each use, which catches a change made
// between two calls as the file system records it (see that call), not one
// made during a call.
class ReportStore {
 public:
  // Maps the store file at `path` and checks it whole: the header, every
  // section's bounds and checksum, and every id against its table. Throws
  // StoreError naming `path` and the first fault found.
  static ReportStore open(const std::filesystem::path& path);

  // Throws StoreError naming the file when the file at its path is no
  // longer the one opened as it was: rewritten in place (its size or times
  // changed) or replaced by another. One stat of the path. Its change time
  // counts too, so that a rewrite keeping the old modification time is
  // caught; a new permission or link then counts as a change as well. A
  // rewrite of the same size within one tick of the file system's clock
  // goes unseen. A store built in memory, or whose file was removed, never
  // changed.
  void check_unchanged() const;

  // Whether `head`, the first bytes of a file, start as a store's do (its
  // 8 magic bytes): how a reader tells a store from another format.
  static bool is_store(std::string_view head) noexcept;

  // Checks a store file's bytes held in memory, as open() checks a file,
  // and keeps a copy of them; `name` is what messages call them.
  static ReportStore from_bytes(std::span<const std::byte> bytes,
                                std::string_view name);

  // A store holding `report`, built in memory; to_report() gives it back.
  static ReportStore from_report(const zun_package::ProfileReport& report);

  // The exact records the store was made from.
  zun_package::ProfileReport to_report() const;

  // The records of tile entry `tile` (below tile_count()) alone.
  zun_package::TileProfile tile_records(std::size_t tile) const;

  // A moved-from store is empty: no tiles, samples or texts.
  ReportStore(ReportStore&& other) noexcept;
  ReportStore& operator=(ReportStore&& other) noexcept;
  ReportStore(const ReportStore&) = delete;
  ReportStore& operator=(const ReportStore&) = delete;
  ~ReportStore();

  // Cycle counter frequency in cycles per second; 0 when unknown.
  std::uint64_t clock_hz() const noexcept { return clock_hz_; }
  // Tile entries, tiles without samples included.
  std::size_t tile_count() const noexcept { return tile_count_; }
  // Samples of all tiles.
  std::size_t sample_count() const noexcept { return sample_count_; }
  // The store's bytes, exactly as a store file of it holds them; valid as
  // long as the store.
  std::span<const std::byte> bytes() const noexcept;
  // Their size: the file's, or what one built in memory holds.
  std::size_t image_bytes() const noexcept { return bytes().size(); }

  // Tile entry `tile` (below tile_count()): its physical tile number, and
  // its samples, which are [tile_begin, tile_end) of every column.
  std::uint32_t physical_tile(std::size_t tile) const noexcept {
    return physical_[tile];
  }
  std::size_t tile_begin(std::size_t tile) const noexcept {
    return tile == 0 ? 0 : static_cast<std::size_t>(tile_ends_[tile - 1]);
  }
  std::size_t tile_end(std::size_t tile) const noexcept {
    return static_cast<std::size_t>(tile_ends_[tile]);
  }

  // The sample columns, one value per sample in report order (tile by
  // tile). Kinds are the raw ProfileStepKind values; kernels and operations
  // are text ids; metadata are list ids.
  const std::uint32_t* start_cycles() const noexcept { return column(0); }
  const std::uint32_t* end_cycles() const noexcept { return column(1); }
  const std::uint32_t* phases() const noexcept { return column(2); }
  const std::uint32_t* epochs() const noexcept { return column(3); }
  const std::uint32_t* kinds() const noexcept { return column(4); }
  const std::uint32_t* kernels() const noexcept { return column(5); }
  const std::uint32_t* operations() const noexcept { return column(6); }
  const std::uint32_t* metadata_lists() const noexcept { return column(7); }
  const std::uint32_t* local_indices() const noexcept { return column(8); }

  // The distinct texts, ids 0 to text_count() - 1 in strictly increasing
  // byte order: equal ids are equal texts and the other way round.
  std::size_t text_count() const noexcept { return text_count_; }
  std::string_view text(std::uint32_t id) const noexcept {
    const std::uint64_t begin = id == 0 ? 0 : text_ends_[id - 1];
    return {text_bytes_ + begin,
            static_cast<std::size_t>(text_ends_[id] - begin)};
  }
  // The id of `text`, if the store holds it (a binary search).
  std::optional<std::uint32_t> find_text(std::string_view text) const noexcept;

  // The metadata lists, each the entries of one or more steps in their
  // recorded order.
  std::size_t metadata_list_count() const noexcept { return list_count_; }
  std::span<const MetadataRef> metadata_list(std::uint32_t id) const noexcept {
    const std::uint64_t begin = id == 0 ? 0 : list_ends_[id - 1];
    return {entries_ + begin, static_cast<std::size_t>(list_ends_[id] - begin)};
  }

 private:
  class Image;  // the bytes: a mapped file or a block in memory
  friend class StoreBuilder;

  explicit ReportStore(std::unique_ptr<Image> image, std::string_view name);

  const std::uint32_t* column(std::size_t c) const noexcept {
    return columns_ + c * column_stride_;
  }

  std::unique_ptr<Image> image_;
  std::uint64_t clock_hz_ = 0;
  std::size_t tile_count_ = 0;
  std::size_t sample_count_ = 0;
  std::size_t text_count_ = 0;
  std::size_t list_count_ = 0;
  const std::uint32_t* physical_ = nullptr;
  const std::uint64_t* tile_ends_ = nullptr;
  const std::uint64_t* text_ends_ = nullptr;
  const char* text_bytes_ = nullptr;
  const std::uint64_t* list_ends_ = nullptr;
  const MetadataRef* entries_ = nullptr;
  const std::uint32_t* columns_ = nullptr;
  std::size_t column_stride_ = 0;  // values from one column to the next
};

// Writes a store file tile by tile. Memory holds the distinct texts and
// metadata lists, a bounded buffer of samples and 12 bytes per tile, never
// the whole report: the sample columns are spooled to unnamed files beside
// the output. The file is written under partial_path() and renamed to its
// path by finish(), so a reader never sees a part of it; a writer destroyed
// without finish() (an exception, say) removes what it wrote.
class StoreWriter {
 public:
  // Throws StoreError when the files beside `path` cannot be created.
  StoreWriter(const std::filesystem::path& path, std::uint64_t clock_hz);
  ~StoreWriter();
  StoreWriter(const StoreWriter&) = delete;
  StoreWriter& operator=(const StoreWriter&) = delete;

  // Appends the next tile entry. Throws StoreError on a write failure or
  // past the format's limits (2^32 texts or metadata lists).
  void add_tile(const zun_package::TileProfile& tile);

  // Writes the whole file and renames it into place. Throws StoreError on
  // failure, leaving no file behind and any earlier file at the path as it
  // was.
  void finish();

  // Where the file is written until finish() renames it: a caller that must
  // clean up after a signal, when no destructor runs, removes this.
  const std::filesystem::path& partial_path() const noexcept;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Writes `report` as a store file at `path`, as StoreWriter does.
void write_store(const zun_package::ProfileReport& report,
                 const std::filesystem::path& path);

}  // namespace zun_store
