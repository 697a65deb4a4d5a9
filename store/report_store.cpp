#include "store/report_store.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#include "store/checksum.hpp"
#include "store/image.hpp"
#include "store/store_format.hpp"

namespace zun_store {
namespace {

using format::HeaderField;

// Counts past this are damage: 2^56 samples would need an exabyte.
constexpr std::uint64_t kMostCount = std::uint64_t{1} << 56;

// Where each section starts in the image, indexed by format::Section.
using SectionStarts = std::array<const std::byte*, format::kSectionCount>;

std::uint64_t load_u64(const std::byte* at) noexcept {
  std::uint64_t value = 0;
  std::memcpy(&value, at, sizeof(value));
  return value;
}
std::uint32_t load_u32(const std::byte* at) noexcept {
  std::uint32_t value = 0;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

// The first position of a value at least `bound` among `values`, or
// `count` when there is none. The common case, all below, is a
// vectorizable maximum.
std::size_t first_at_least(const std::uint32_t* values, std::size_t count,
                           std::uint64_t bound) noexcept {
  constexpr std::size_t kBlock = 4096;
  for (std::size_t begin = 0; begin < count; begin += kBlock) {
    const std::size_t end = std::min(count, begin + kBlock);
    std::uint32_t most = 0;
    for (std::size_t i = begin; i < end; ++i) most = std::max(most, values[i]);
    if (most < bound) continue;
    for (std::size_t i = begin; i < end; ++i) {
      if (values[i] >= bound) return i;
    }
  }
  return count;
}

// The first of `count` end offsets that falls below the one before it or
// passes `total`, or the last when it does not reach `total` (an empty
// table reaches 0 only): nothing when the ends are in order.
std::optional<std::size_t> first_bad_end(const std::uint64_t* ends,
                                         std::size_t count,
                                         std::uint64_t total) noexcept {
  std::uint64_t previous = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (ends[i] < previous || ends[i] > total) return i;
    previous = ends[i];
  }
  if (previous != total) return count == 0 ? 0 : count - 1;
  return std::nullopt;
}

// Every check's way out: the fault, after the name messages call the store.
[[noreturn]] void fail(std::string_view name, const std::string& what) {
  throw StoreError(std::string(name) + ": " + what);
}

// That `bytes` start as a store this build reads, with the whole header
// present and unchanged since it was written. The magic comes first, so that
// another format is told apart before any of its bytes are taken for a
// header; every later step trusts the header's fields.
void check_header(std::span<const std::byte> bytes, std::string_view name) {
  const std::byte* const base = bytes.data();
  const std::size_t size = bytes.size();
  if (size < format::kMagic.size() ||
      std::memcmp(base, format::kMagic.data(), format::kMagic.size()) != 0) {
    fail(name, "not a report store");
  }
  if constexpr (std::endian::native != std::endian::little) {
    fail(name, "store files are little-endian, and this host is big-endian");
  }
  if (size < format::kHeaderSize) {
    fail(name, "truncated: the header needs " +
                   std::to_string(format::kHeaderSize) + " bytes, " +
                   std::to_string(size) + " remain");
  }
  const std::uint32_t version = load_u32(base + HeaderField::kVersion);
  if (version != format::kVersion) {
    fail(name, "store version " + std::to_string(version) +
                   " is not supported (this build reads version " +
                   std::to_string(format::kVersion) + ")");
  }
  if (load_u64(base + HeaderField::kHeaderChecksum) !=
      checksum({base, HeaderField::kHeaderChecksum})) {
    fail(name, "checksum mismatch in the header");
  }
  if (load_u32(base + HeaderField::kSections) != format::kSectionCount) {
    fail(name, "damaged header: " +
                   std::to_string(load_u32(base + HeaderField::kSections)) +
                   " sections, expected " +
                   std::to_string(format::kSectionCount));
  }
}

// The counts in the header at `base`. Each is below kMostCount, so that the
// section lengths that follow from them cannot overflow, and there are fewer
// than 2^32 texts and lists, so that 32-bit ids reach them all.
format::Counts read_counts(const std::byte* base, std::string_view name) {
  format::Counts counts;
  counts.tiles = load_u64(base + HeaderField::kTileCount);
  counts.samples = load_u64(base + HeaderField::kSampleCount);
  counts.texts = load_u64(base + HeaderField::kTextCount);
  counts.text_bytes = load_u64(base + HeaderField::kTextBytes);
  counts.lists = load_u64(base + HeaderField::kListCount);
  counts.entries = load_u64(base + HeaderField::kEntryCount);
  for (const std::uint64_t count :
       {counts.tiles, counts.samples, counts.texts, counts.text_bytes,
        counts.lists, counts.entries}) {
    if (count >= kMostCount) {
      fail(name, "damaged header: a count of " + std::to_string(count));
    }
  }
  if (counts.texts >= (std::uint64_t{1} << 32) ||
      counts.lists >= (std::uint64_t{1} << 32)) {
    fail(name, "damaged header: 2^32 or more texts or metadata lists");
  }
  return counts;
}

// Where each section starts in `bytes`, once every section is found where
// the counts say it must be: of the length they give, 64-aligned, after the
// one before, whole within the file, and matching its checksum. The tables
// are then read in place, with no bound checked again.
SectionStarts check_sections(std::span<const std::byte> bytes,
                             const format::Counts& counts,
                             std::string_view name) {
  const std::byte* const base = bytes.data();
  const std::size_t size = bytes.size();
  const auto needed = format::section_lengths(counts);
  SectionStarts sections{};
  std::uint64_t least = format::kHeaderSize;
  for (std::size_t s = 0; s < format::kSectionCount; ++s) {
    const std::byte* entry =
        base + HeaderField::kTable + s * HeaderField::kEntrySize;
    const std::uint64_t offset = load_u64(entry);
    const std::uint64_t length = load_u64(entry + 8);
    const std::string section =
        "section '" + std::string(format::kSectionNames[s]) + "'";
    if (length != needed[s]) {
      fail(name, section + " is " + std::to_string(length) +
                     " bytes, and its counts need " +
                     std::to_string(needed[s]));
    }
    if (offset % format::kAlignment != 0 || offset < least) {
      fail(name, section + " is misplaced, at byte " + std::to_string(offset));
    }
    // Even an empty section must lie within the file: its place is read.
    if (offset > size) {
      fail(name, "truncated: " + section + " starts at byte " +
                     std::to_string(offset) + ", past the file's " +
                     std::to_string(size) + " bytes");
    }
    const std::uint64_t remain = size - offset;
    if (length > remain) {
      fail(name, "truncated: " + section + " needs " + std::to_string(length) +
                     " bytes, " + std::to_string(remain) + " remain");
    }
    sections[s] = base + offset;
    if (load_u64(entry + 16) !=
        checksum({sections[s], static_cast<std::size_t>(length)})) {
      fail(name, "checksum mismatch in " + section);
    }
    least = offset + length;
  }
  return sections;
}

// A table of end offsets: entry i spans [ends[i - 1], ends[i]) of what the
// table indexes (from 0 for entry 0), and the last entry ends at `total`.
struct EndTable {
  const std::uint64_t* ends;
  std::size_t count;
  std::uint64_t total;
  const char* section;  // the section holding it, as messages name it
  const char* entry;    // what one entry is, as messages name it
};

// That the ends of every table rise and stop at its total. Accessors slice
// texts, metadata lists and tiles by these ends unchecked, so one out of
// place would read outside its section.
void check_ends(std::initializer_list<EndTable> tables, std::string_view name) {
  for (const EndTable& table : tables) {
    if (const auto bad = first_bad_end(table.ends, table.count, table.total)) {
      fail(name, std::string("section '") + table.section +
                     "' is damaged: " + table.entry + " " +
                     std::to_string(*bad) + " ends out of place");
    }
  }
}

// That the texts of `store`, whose ends are checked, rise strictly in byte
// order: find_text() searches them by halves, and a text's id is then the
// whole of its identity.
void check_text_order(const ReportStore& store, std::string_view name) {
  for (std::size_t t = 1; t < store.text_count(); ++t) {
    if (!(store.text(static_cast<std::uint32_t>(t - 1)) <
          store.text(static_cast<std::uint32_t>(t)))) {
      fail(name, "section 'texts' is damaged: texts " + std::to_string(t - 1) +
                     " and " + std::to_string(t) +
                     " are not in strictly rising order");
    }
  }
}

// That every id in `store` names an entry of its table: both text ids of
// each metadata entry in `entries`, then the kernel, operation and metadata
// list of every sample. Accessors and queries index with them unchecked.
void check_ids(const ReportStore& store, std::span<const MetadataRef> entries,
               std::string_view name) {
  const std::uint64_t texts = store.text_count();
  const auto* entry_ids =
      reinterpret_cast<const std::uint32_t*>(entries.data());
  const std::size_t entry_id_count = 2 * entries.size();
  if (const std::size_t bad = first_at_least(entry_ids, entry_id_count, texts);
      bad < entry_id_count) {
    fail(name, "metadata entry " + std::to_string(bad / 2) + " names text id " +
                   std::to_string(entry_ids[bad]) + ", past the " +
                   std::to_string(texts) + " texts");
  }
  const struct {
    const std::uint32_t* values;
    const char* what;
    std::uint64_t bound;
    const char* table;
  } ids[] = {
      {store.kernels(), "kernel", texts, "texts"},
      {store.operations(), "operation", texts, "texts"},
      {store.metadata_lists(), "metadata list", store.metadata_list_count(),
       "metadata lists"},
  };
  const std::size_t sample_count = store.sample_count();
  for (const auto& id : ids) {
    if (const std::size_t bad =
            first_at_least(id.values, sample_count, id.bound);
        bad < sample_count) {
      fail(name, std::string(id.what) + " id " +
                     std::to_string(id.values[bad]) + " at sample " +
                     std::to_string(bad) + " is past the " +
                     std::to_string(id.bound) + " " + id.table);
    }
  }
}

}  // namespace

ReportStore::ReportStore(ReportStore&& other) noexcept {
  *this = std::move(other);
}

ReportStore& ReportStore::operator=(ReportStore&& other) noexcept {
  if (this == &other) return *this;
  image_ = std::move(other.image_);
  clock_hz_ = std::exchange(other.clock_hz_, 0);
  tile_count_ = std::exchange(other.tile_count_, 0);
  sample_count_ = std::exchange(other.sample_count_, 0);
  text_count_ = std::exchange(other.text_count_, 0);
  list_count_ = std::exchange(other.list_count_, 0);
  physical_ = std::exchange(other.physical_, nullptr);
  tile_ends_ = std::exchange(other.tile_ends_, nullptr);
  text_ends_ = std::exchange(other.text_ends_, nullptr);
  text_bytes_ = std::exchange(other.text_bytes_, nullptr);
  list_ends_ = std::exchange(other.list_ends_, nullptr);
  entries_ = std::exchange(other.entries_, nullptr);
  columns_ = std::exchange(other.columns_, nullptr);
  column_stride_ = std::exchange(other.column_stride_, 0);
  return *this;
}
ReportStore::~ReportStore() = default;

std::span<const std::byte> ReportStore::bytes() const noexcept {
  return image_ == nullptr ? std::span<const std::byte>() : image_->bytes();
}

ReportStore ReportStore::open(const std::filesystem::path& path) {
  const std::string name = path.string();
  return ReportStore(Image::map(path, name), name);
}

void ReportStore::check_unchanged() const {
  if (image_ != nullptr) image_->check_unchanged();
}

bool ReportStore::is_store(std::string_view head) noexcept {
  return head.size() >= format::kMagic.size() &&
         std::memcmp(head.data(), format::kMagic.data(),
                     format::kMagic.size()) == 0;
}

ReportStore ReportStore::from_bytes(std::span<const std::byte> bytes,
                                    std::string_view name) {
  std::unique_ptr<Image> image = Image::allocate(bytes.size());
  if (!bytes.empty()) {
    std::memcpy(image->writable(), bytes.data(), bytes.size());
  }
  return ReportStore(std::move(image), name);
}

// Reads the header and checks the whole image; `name` is what messages call
// the store. Each step trusts the ones before it, and the first fault found
// is the one reported.
ReportStore::ReportStore(std::unique_ptr<Image> image, std::string_view name)
    : image_(std::move(image)) {
  const std::span<const std::byte> bytes = image_->bytes();
  check_header(bytes, name);
  const format::Counts counts = read_counts(bytes.data(), name);
  const SectionStarts sections = check_sections(bytes, counts, name);

  clock_hz_ = load_u64(bytes.data() + HeaderField::kClockHz);
  tile_count_ = static_cast<std::size_t>(counts.tiles);
  sample_count_ = static_cast<std::size_t>(counts.samples);
  text_count_ = static_cast<std::size_t>(counts.texts);
  list_count_ = static_cast<std::size_t>(counts.lists);
  // Sections start 64-aligned in an image whose start is page- or
  // 64-aligned, so every table is read in place at its own alignment.
  text_ends_ = reinterpret_cast<const std::uint64_t*>(sections[format::kTexts]);
  text_bytes_ = reinterpret_cast<const char*>(sections[format::kTexts] +
                                              format::text_bytes_at(counts));
  list_ends_ =
      reinterpret_cast<const std::uint64_t*>(sections[format::kMetadata]);
  entries_ = reinterpret_cast<const MetadataRef*>(
      sections[format::kMetadata] + format::entries_at(counts));
  physical_ = reinterpret_cast<const std::uint32_t*>(sections[format::kTiles]);
  tile_ends_ = reinterpret_cast<const std::uint64_t*>(
      sections[format::kTiles] + format::tile_ends_at(counts));
  columns_ = reinterpret_cast<const std::uint32_t*>(sections[format::kSamples]);
  column_stride_ = static_cast<std::size_t>(format::column_stride(counts) / 4);

  // What the tables hold, read through the pointers just set.
  check_ends({{text_ends_, text_count_, counts.text_bytes, "texts", "text"},
              {list_ends_, list_count_, counts.entries, "metadata", "list"},
              {tile_ends_, tile_count_, counts.samples, "tiles", "tile"}},
             name);
  check_text_order(*this, name);
  check_ids(*this, {entries_, static_cast<std::size_t>(counts.entries)}, name);
}

std::optional<std::uint32_t> ReportStore::find_text(
    std::string_view wanted) const noexcept {
  std::size_t low = 0;
  std::size_t high = text_count_;
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    const std::string_view held = text(static_cast<std::uint32_t>(middle));
    if (held < wanted) {
      low = middle + 1;
    } else if (wanted < held) {
      high = middle;
    } else {
      return static_cast<std::uint32_t>(middle);
    }
  }
  return std::nullopt;
}

zun_package::ProfileReport ReportStore::to_report() const {
  zun_package::ProfileReport report;
  report.clock_hz = clock_hz_;
  report.tiles.reserve(tile_count_);
  for (std::size_t t = 0; t < tile_count_; ++t) {
    report.tiles.push_back(tile_records(t));
  }
  return report;
}

zun_package::TileProfile ReportStore::tile_records(std::size_t t) const {
  zun_package::TileProfile tile;
  tile.physical_tile = physical_tile(t);
  tile.samples.resize(tile_end(t) - tile_begin(t));
  for (std::size_t s = tile_begin(t), i = 0; s < tile_end(t); ++s, ++i) {
    zun_package::CycleSample& sample = tile.samples[i];
    sample.start_cycle = start_cycles()[s];
    sample.end_cycle = end_cycles()[s];
    zun_package::ProfileStep& step = sample.step;
    step.phase = phases()[s];
    step.epoch = epochs()[s];
    step.kind = static_cast<zun_package::ProfileStepKind>(kinds()[s]);
    step.kernel = std::string(text(kernels()[s]));
    step.operation = std::string(text(operations()[s]));
    step.local_index = local_indices()[s];
    const auto list = metadata_list(metadata_lists()[s]);
    step.metadata.reserve(list.size());
    for (const MetadataRef& entry : list) {
      step.metadata.push_back(
          {std::string(text(entry.name)), std::string(text(entry.value))});
    }
  }
  return tile;
}

}  // namespace zun_store
