#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "report/profile_report.hpp"

// A report store: the compact, read-only form of a profile report. Every
// text is held once, in byte order, and referred to by its id; every step
// once, in a table; every sample is a step, a start and an end in
// fixed-width columns. A store file is mapped, not parsed, and read in
// place (docs/store-format.md).
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

namespace format {
struct Counts;  // a header's counts (store_format.hpp, internal)
}  // namespace format

// Which layout a writer gives a store (docs/store-format.md). Version 2
// holds each distinct step once and, per sample, its step, start and end:
// about a third of version 1 when tiles run the same program. Version 1
// holds every field of every sample, which costs less only when steps
// hardly repeat. `smallest` writes whichever is smaller.
enum class StoreVersion : std::uint32_t { smallest = 0, v1 = 1, v2 = 2 };

// Cycles [start, end) in offsets from each tile's time zero.
struct StepInterval {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

// A run of samples, [first, first + count) in report order, as three
// columns: each sample's step (an index into the step table), its start
// cycle and its end cycle.
struct SampleColumns {
  const std::uint32_t* steps = nullptr;
  const std::uint32_t* starts = nullptr;
  const std::uint32_t* ends = nullptr;
  std::size_t count = 0;
};

// A read-only report store, from a file or built in memory. Movable, not
// copyable. Every accessor is const, and any number of threads may read
// (and query) one store at once.
//
// A store is a step table (each distinct step: phase, epoch, kind, kernel,
// operation, metadata list and local index) and, per sample, its step,
// start and end. Opening checks the header and every table; the sample
// columns of a version 2 store are checked block by block the first time
// samples() reaches them, so that opening costs the tables, not the file.
//
// A mapped file changed or truncated by someone else while it is open
// breaks those checks after the fact, and reads may then see garbage or
// fault: a front end calls check_unchanged() before each use, which
// catches a change made between two calls as the file system records it
// (see that call), not one made during a call.
class ReportStore {
 public:
  // Maps the store file at `path` and checks its header and tables: every
  // section's bounds, the tables' checksums, every id in them against the
  // table it names. Throws StoreError naming `path` and the first fault.
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

  // A store holding `report`, built in memory in the layout `version`
  // names; to_report() gives it back.
  static ReportStore from_report(const zun_package::ProfileReport& report,
                                 StoreVersion version = StoreVersion::smallest);

  // The exact records the store was made from.
  zun_package::ProfileReport to_report() const;

  // The records of tile entry `tile` (below tile_count()) alone.
  zun_package::TileProfile tile_records(std::size_t tile) const;

  // A moved-from store is empty: no tiles, samples, steps or texts.
  ReportStore(ReportStore&& other) noexcept;
  ReportStore& operator=(ReportStore&& other) noexcept;
  ReportStore(const ReportStore&) = delete;
  ReportStore& operator=(const ReportStore&) = delete;
  ~ReportStore();

  // The layout's version: 1 or 2.
  std::uint32_t version() const noexcept { return view_.version; }
  // Cycle counter frequency in cycles per second; 0 when unknown.
  std::uint64_t clock_hz() const noexcept { return view_.clock_hz; }
  // Tile entries, tiles without samples included.
  std::size_t tile_count() const noexcept { return view_.tile_count; }
  // Samples of all tiles.
  std::size_t sample_count() const noexcept { return view_.sample_count; }
  // The store's bytes, exactly as a store file of it holds them; valid as
  // long as the store.
  std::span<const std::byte> bytes() const noexcept;
  // Their size: the file's, or what one built in memory holds.
  std::size_t image_bytes() const noexcept { return bytes().size(); }

  // Tile entry `tile` (below tile_count()): its physical tile number, its
  // samples, which are [tile_begin, tile_end) in report order, and its
  // span: the largest end offset of its samples (0 without any).
  std::uint32_t physical_tile(std::size_t tile) const noexcept {
    return view_.physical[tile];
  }
  std::size_t tile_begin(std::size_t tile) const noexcept {
    return tile == 0 ? 0 : static_cast<std::size_t>(view_.tile_ends[tile - 1]);
  }
  std::size_t tile_end(std::size_t tile) const noexcept {
    return static_cast<std::size_t>(view_.tile_ends[tile]);
  }
  std::uint64_t tile_span(std::size_t tile) const noexcept {
    return view_.tile_spans[tile];
  }

  // Samples [first, first + count) (within sample_count()), checked the
  // first time they are read. Throws StoreError naming the store and the
  // damaged block.
  SampleColumns samples(std::size_t first, std::size_t count) const;
  SampleColumns tile_samples(std::size_t tile) const {
    return samples(tile_begin(tile), tile_end(tile) - tile_begin(tile));
  }
  SampleColumns all_samples() const { return samples(0, sample_count()); }

  // The step table: step_count() steps, each a column below. Kinds are
  // the raw ProfileStepKind values; kernels and operations are text ids;
  // metadata are list ids. A version 1 store has a step per sample.
  std::size_t step_count() const noexcept { return view_.step_count; }
  const std::uint32_t* step_phases() const noexcept { return step_column(0); }
  const std::uint32_t* step_epochs() const noexcept { return step_column(1); }
  const std::uint32_t* step_kinds() const noexcept { return step_column(2); }
  const std::uint32_t* step_kernels() const noexcept { return step_column(3); }
  const std::uint32_t* step_operations() const noexcept {
    return step_column(4);
  }
  const std::uint32_t* step_metadata_lists() const noexcept {
    return step_column(5);
  }
  const std::uint32_t* step_local_indices() const noexcept {
    return step_column(6);
  }

  // What a version 2 store's writer computed of each step, when it did (a
  // store whose steps run on too scattered times holds none): the least
  // and most duration of its samples, and the intervals its samples run
  // in, merged across tiles (each tile's offsets from its own time zero),
  // in rising order, disjoint and not touching. A query that asks nothing
  // of single samples answers from these and one light pass.
  bool has_step_facts() const noexcept { return view_.durations != nullptr; }
  std::uint32_t step_least_duration(std::size_t step) const noexcept {
    return view_.durations[2 * step];
  }
  std::uint32_t step_most_duration(std::size_t step) const noexcept {
    return view_.durations[2 * step + 1];
  }
  std::span<const StepInterval> step_intervals(std::size_t step) const noexcept {
    const std::uint64_t begin = step == 0 ? 0 : view_.interval_ends[step - 1];
    return {view_.intervals + begin,
            static_cast<std::size_t>(view_.interval_ends[step] - begin)};
  }

  // The distinct texts, ids 0 to text_count() - 1 in strictly increasing
  // byte order: equal ids are equal texts and the other way round.
  std::size_t text_count() const noexcept { return view_.text_count; }
  std::string_view text(std::uint32_t id) const noexcept {
    const std::uint64_t begin = id == 0 ? 0 : view_.text_ends[id - 1];
    return {view_.text_bytes + begin,
            static_cast<std::size_t>(view_.text_ends[id] - begin)};
  }
  // The id of `text`, if the store holds it (a binary search).
  std::optional<std::uint32_t> find_text(std::string_view text) const noexcept;

  // The metadata lists, each the entries of one or more steps in their
  // recorded order.
  std::size_t metadata_list_count() const noexcept { return view_.list_count; }
  std::span<const MetadataRef> metadata_list(std::uint32_t id) const noexcept {
    const std::uint64_t begin = id == 0 ? 0 : view_.list_ends[id - 1];
    return {view_.entries + begin,
            static_cast<std::size_t>(view_.list_ends[id] - begin)};
  }

 private:
  class Image;  // the bytes: a mapped file or a block in memory
  friend class StoreBuilder;

  explicit ReportStore(std::unique_ptr<Image> image, std::string_view name);

  void read_shared(const std::byte* header, const format::Counts& counts,
                   const std::byte* const* sections);
  void read_version1(std::span<const std::byte> bytes);
  void read_version2(std::span<const std::byte> bytes);
  void check_block(std::size_t block) const;

  const std::uint32_t* step_column(std::size_t c) const noexcept {
    return view_.steps + c * view_.step_stride;
  }

  // Where everything is: pointers into the image (or, for a version 1
  // store, into what opening computed), and the counts.
  struct View {
    std::uint32_t version = 0;
    std::uint64_t clock_hz = 0;
    std::size_t tile_count = 0;
    std::size_t sample_count = 0;
    std::size_t text_count = 0;
    std::size_t list_count = 0;
    std::size_t step_count = 0;
    const std::uint32_t* physical = nullptr;
    const std::uint64_t* tile_ends = nullptr;
    const std::uint64_t* tile_spans = nullptr;
    const std::uint64_t* text_ends = nullptr;
    const char* text_bytes = nullptr;
    const std::uint64_t* list_ends = nullptr;
    const MetadataRef* entries = nullptr;
    const std::uint32_t* steps = nullptr;  // the step table's first column
    std::size_t step_stride = 0;  // values from one step column to the next
    const std::uint32_t* sample_steps = nullptr;
    const std::uint32_t* starts = nullptr;
    const std::uint32_t* ends = nullptr;
    const std::uint32_t* durations = nullptr;  // the facts, when held
    const std::uint64_t* interval_ends = nullptr;
    const StepInterval* intervals = nullptr;
    const std::byte* blocks = nullptr;  // version 2: the block entries
    std::size_t block_samples = 0;      // version 2: samples a block holds
  };

  std::unique_ptr<Image> image_;
  std::string name_;
  View view_;
  // Version 1: each sample's step (its own position) and each tile's span,
  // computed at opening. Version 2: which blocks were checked.
  std::vector<std::uint32_t> own_steps_;
  std::vector<std::uint64_t> own_spans_;
  std::unique_ptr<std::atomic<std::uint8_t>[]> checked_;
};

// Writes a store file tile by tile. Memory holds the distinct texts,
// metadata lists and steps (about 40 bytes a step), a bounded buffer of
// samples and 20 bytes per tile, never the whole report: the sample
// columns are spooled to unnamed files beside the output. The file is written under partial_path() and renamed to its
// path by finish(), so a reader never sees a part of it; a writer destroyed
// without finish() (an exception, say) removes what it wrote.
class StoreWriter {
 public:
  // Throws StoreError when the files beside `path` cannot be created.
  StoreWriter(const std::filesystem::path& path, std::uint64_t clock_hz,
              StoreVersion version = StoreVersion::smallest);
  ~StoreWriter();
  StoreWriter(const StoreWriter&) = delete;
  StoreWriter& operator=(const StoreWriter&) = delete;

  // Appends the next tile entry. Throws StoreError on a write failure or
  // past the format's limits (2^32 texts, metadata lists or steps).
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
                 const std::filesystem::path& path,
                 StoreVersion version = StoreVersion::smallest);

}  // namespace zun_store
