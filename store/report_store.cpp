#include "store/report_store.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <utility>

#include "store/checksum.hpp"
#include "store/image.hpp"
#include "store/store_format.hpp"

namespace zun_store {
namespace {

// Counts past this are damage: 2^56 samples would need an exabyte.
constexpr std::uint64_t kMostCount = std::uint64_t{1} << 56;

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
// the store.
ReportStore::ReportStore(std::unique_ptr<Image> image, std::string_view name)
    : image_(std::move(image)) {
  const std::span<const std::byte> bytes = image_->bytes();
  const std::byte* const base = bytes.data();
  const std::size_t size = bytes.size();
  const auto fail = [&](const std::string& what) {
    throw StoreError(std::string(name) + ": " + what);
  };
  using format::HeaderField;
  if (size < format::kMagic.size() ||
      std::memcmp(base, format::kMagic.data(), format::kMagic.size()) != 0) {
    fail("not a report store");
  }
  if constexpr (std::endian::native != std::endian::little) {
    fail("store files are little-endian, and this host is big-endian");
  }
  if (size < format::kHeaderSize) {
    fail("truncated: the header needs " + std::to_string(format::kHeaderSize) +
         " bytes, " + std::to_string(size) + " remain");
  }
  const std::uint32_t version = load_u32(base + HeaderField::kVersion);
  if (version != format::kVersion) {
    fail("store version " + std::to_string(version) +
         " is not supported (this build reads version " +
         std::to_string(format::kVersion) + ")");
  }
  if (load_u64(base + HeaderField::kHeaderChecksum) !=
      checksum({base, HeaderField::kHeaderChecksum})) {
    fail("checksum mismatch in the header");
  }
  if (load_u32(base + HeaderField::kSections) != format::kSectionCount) {
    fail("damaged header: " +
         std::to_string(load_u32(base + HeaderField::kSections)) +
         " sections, expected " + std::to_string(format::kSectionCount));
  }
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
    if (count >= kMostCount) fail("damaged header: a count of " +
                                  std::to_string(count));
  }
  if (counts.texts >= (std::uint64_t{1} << 32) ||
      counts.lists >= (std::uint64_t{1} << 32)) {
    fail("damaged header: 2^32 or more texts or metadata lists");
  }

  // Every section where the counts say it must be, whole, in order.
  const auto needed = format::section_lengths(counts);
  std::array<const std::byte*, format::kSectionCount> sections{};
  std::uint64_t least = format::kHeaderSize;
  for (std::size_t s = 0; s < format::kSectionCount; ++s) {
    const std::byte* entry =
        base + HeaderField::kTable + s * HeaderField::kEntrySize;
    const std::uint64_t offset = load_u64(entry);
    const std::uint64_t length = load_u64(entry + 8);
    const std::string section =
        "section '" + std::string(format::kSectionNames[s]) + "'";
    if (length != needed[s]) {
      fail(section + " is " + std::to_string(length) +
           " bytes, and its counts need " + std::to_string(needed[s]));
    }
    if (offset % format::kAlignment != 0 || offset < least) {
      fail(section + " is misplaced, at byte " + std::to_string(offset));
    }
    // Even an empty section must lie within the file: its place is read.
    if (offset > size) {
      fail("truncated: " + section + " starts at byte " +
           std::to_string(offset) + ", past the file's " +
           std::to_string(size) + " bytes");
    }
    const std::uint64_t remain = size - offset;
    if (length > remain) {
      fail("truncated: " + section + " needs " + std::to_string(length) +
           " bytes, " + std::to_string(remain) + " remain");
    }
    sections[s] = base + offset;
    if (load_u64(entry + 16) !=
        checksum({sections[s], static_cast<std::size_t>(length)})) {
      fail("checksum mismatch in " + section);
    }
    least = offset + length;
  }

  clock_hz_ = load_u64(base + HeaderField::kClockHz);
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

  // The tables, and every id against the table it names.
  const struct {
    const std::uint64_t* ends;
    std::size_t count;
    std::uint64_t total;
    const char* section;
    const char* entry;
  } tables[] = {
      {text_ends_, text_count_, counts.text_bytes, "texts", "text"},
      {list_ends_, list_count_, counts.entries, "metadata", "list"},
      {tile_ends_, tile_count_, counts.samples, "tiles", "tile"},
  };
  for (const auto& table : tables) {
    if (const auto bad = first_bad_end(table.ends, table.count, table.total)) {
      fail(std::string("section '") + table.section + "' is damaged: " +
           table.entry + " " + std::to_string(*bad) + " ends out of place");
    }
  }
  for (std::size_t t = 1; t < text_count_; ++t) {
    if (!(text(static_cast<std::uint32_t>(t - 1)) <
          text(static_cast<std::uint32_t>(t)))) {
      fail("section 'texts' is damaged: texts " + std::to_string(t - 1) +
           " and " + std::to_string(t) + " are not in strictly rising order");
    }
  }
  const auto* entry_ids = reinterpret_cast<const std::uint32_t*>(entries_);
  if (const std::size_t bad = first_at_least(
          entry_ids, static_cast<std::size_t>(2 * counts.entries),
          counts.texts);
      bad < 2 * counts.entries) {
    fail("metadata entry " + std::to_string(bad / 2) + " names text id " +
         std::to_string(entry_ids[bad]) + ", past the " +
         std::to_string(counts.texts) + " texts");
  }
  const struct {
    std::size_t column;
    const char* what;
    std::uint64_t bound;
    const char* table;
  } ids[] = {
      {format::kKernel, "kernel", counts.texts, "texts"},
      {format::kOperation, "operation", counts.texts, "texts"},
      {format::kMetadataList, "metadata list", counts.lists, "metadata lists"},
  };
  for (const auto& id : ids) {
    const std::uint32_t* values = column(id.column);
    if (const std::size_t bad = first_at_least(values, sample_count_, id.bound);
        bad < sample_count_) {
      fail(std::string(id.what) + " id " + std::to_string(values[bad]) +
           " at sample " + std::to_string(bad) + " is past the " +
           std::to_string(id.bound) + " " + id.table);
    }
  }
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
