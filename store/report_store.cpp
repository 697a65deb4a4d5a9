#include "store/report_store.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <initializer_list>
#include <numeric>
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
// present and unchanged since it was written; its version. The magic comes
// first, so that another format is told apart before any of its bytes are
// taken for a header; every later step trusts the header's fields.
std::uint32_t check_header(std::span<const std::byte> bytes,
                           std::string_view name) {
  const std::byte* const base = bytes.data();
  const std::size_t size = bytes.size();
  if (size < format::kMagic.size() ||
      std::memcmp(base, format::kMagic.data(), format::kMagic.size()) != 0) {
    fail(name, "not a report store");
  }
  if constexpr (std::endian::native != std::endian::little) {
    fail(name, "store files are little-endian, and this host is big-endian");
  }
  if (size < HeaderField::kVersion + 4) {
    fail(name, "truncated: the header needs " +
                   std::to_string(format::kHeaderSize) + " bytes, " +
                   std::to_string(size) + " remain");
  }
  const std::uint32_t version = load_u32(base + HeaderField::kVersion);
  if (version != format::kVersion && version != format::kVersion2) {
    fail(name, "store version " + std::to_string(version) +
                   " is not supported (this build reads versions 1 and 2)");
  }
  const bool second = version == format::kVersion2;
  const std::size_t header_size =
      second ? format::v2::kHeaderSize : format::kHeaderSize;
  const std::size_t summed = second ? format::v2::HeaderField::kHeaderChecksum
                                    : HeaderField::kHeaderChecksum;
  const auto sections = static_cast<std::uint32_t>(
      second ? format::v2::kSectionCount : format::kSectionCount);
  if (size < header_size) {
    fail(name, "truncated: the header needs " + std::to_string(header_size) +
                   " bytes, " + std::to_string(size) + " remain");
  }
  if (load_u64(base + summed) != checksum({base, summed})) {
    fail(name, "checksum mismatch in the header");
  }
  // The header's padding, past its checksum, is zero: no byte of the
  // header goes unchecked.
  for (std::size_t at = summed + 8; at < header_size; ++at) {
    if (base[at] != std::byte{0}) {
      fail(name, "damaged header: byte " + std::to_string(at) +
                     " of its padding is not zero");
    }
  }
  if (load_u32(base + HeaderField::kSections) != sections) {
    fail(name, "damaged header: " +
                   std::to_string(load_u32(base + HeaderField::kSections)) +
                   " sections, expected " + std::to_string(sections));
  }
  return version;
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

// Where a store's sections are: the table's place in the header, the
// sections' names and the lengths their counts give.
template <std::size_t N>
struct SectionTable {
  std::size_t table;        // the table's offset in the header
  std::uint64_t least;      // where the first section may start
  std::array<std::string_view, N> names;
  std::array<std::uint64_t, N> lengths;
  std::size_t unsummed = N;  // a section checked by parts instead, if any
};

// Where each section starts in `bytes`, once every section is found where
// the counts say it must be: of the length they give, 64-aligned, after the
// one before, whole within the file, and matching its checksum. The tables
// are then read in place, with no bound checked again.
template <std::size_t N>
std::array<const std::byte*, N> check_sections(
    std::span<const std::byte> bytes, const SectionTable<N>& layout,
    std::string_view name) {
  const std::byte* const base = bytes.data();
  const std::size_t size = bytes.size();
  std::array<const std::byte*, N> sections{};
  std::uint64_t least = layout.least;
  for (std::size_t s = 0; s < N; ++s) {
    const std::byte* entry = base + layout.table + s * HeaderField::kEntrySize;
    const std::uint64_t offset = load_u64(entry);
    const std::uint64_t length = load_u64(entry + 8);
    const std::string section =
        "section '" + std::string(layout.names[s]) + "'";
    if (length != layout.lengths[s]) {
      fail(name, section + " is " + std::to_string(length) +
                     " bytes, and its counts need " +
                     std::to_string(layout.lengths[s]));
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
    if (s != layout.unsummed &&
        load_u64(entry + 16) !=
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
// list of every step. Accessors and queries index with them unchecked.
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
      {store.step_kernels(), "kernel", texts, "texts"},
      {store.step_operations(), "operation", texts, "texts"},
      {store.step_metadata_lists(), "metadata list",
       store.metadata_list_count(), "metadata lists"},
  };
  // A version 1 store's steps are its samples, and messages say so.
  const char* const row = store.version() == 1 ? "sample" : "step";
  const std::size_t step_count = store.step_count();
  for (const auto& id : ids) {
    if (const std::size_t bad = first_at_least(id.values, step_count, id.bound);
        bad < step_count) {
      fail(name, std::string(id.what) + " id " +
                     std::to_string(id.values[bad]) + " at " + row + " " +
                     std::to_string(bad) + " is past the " +
                     std::to_string(id.bound) + " " + id.table);
    }
  }
}

// The span of the samples [first, end) of one tile: the largest end offset,
// offsets counted from the first sample's start, as the engine counts them.
std::uint64_t span_of(const std::uint32_t* starts, const std::uint32_t* ends,
                      std::size_t first, std::size_t end) noexcept {
  std::uint64_t span = 0;
  if (first == end) return span;
  const std::uint32_t base = starts[first];
  for (std::size_t s = first; s < end; ++s) {
    const auto offset = static_cast<std::uint32_t>(starts[s] - base);
    const auto length = static_cast<std::uint32_t>(ends[s] - starts[s]);
    span = std::max(span, std::uint64_t{offset} + length);
  }
  return span;
}

}  // namespace

ReportStore::ReportStore(ReportStore&& other) noexcept {
  *this = std::move(other);
}

ReportStore& ReportStore::operator=(ReportStore&& other) noexcept {
  if (this == &other) return *this;
  image_ = std::move(other.image_);
  name_ = std::move(other.name_);
  view_ = std::exchange(other.view_, View{});
  own_steps_ = std::move(other.own_steps_);
  own_spans_ = std::move(other.own_spans_);
  checked_ = std::move(other.checked_);
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

// Reads the header and checks the image as its version asks; `name` is
// what messages call the store. Each step trusts the ones before it, and
// the first fault found is the one reported.
ReportStore::ReportStore(std::unique_ptr<Image> image, std::string_view name)
    : image_(std::move(image)), name_(name) {
  const std::span<const std::byte> bytes = image_->bytes();
  if (check_header(bytes, name) == format::kVersion) {
    read_version1(bytes);
  } else {
    read_version2(bytes);
  }
}

// What both versions hold alike: the header's clock and counts, and the
// texts, metadata and tiles sections, the first three of `sections`.
// Sections start 64-aligned in an image whose start is page- or
// 64-aligned, so every table is read in place at its own alignment.
void ReportStore::read_shared(const std::byte* header,
                              const format::Counts& counts,
                              const std::byte* const* sections) {
  static_assert(std::size_t{format::kTexts} == format::v2::kTexts &&
                std::size_t{format::kMetadata} == format::v2::kMetadata &&
                std::size_t{format::kTiles} == format::v2::kTiles);
  View& v = view_;
  v.clock_hz = load_u64(header + HeaderField::kClockHz);
  v.tile_count = static_cast<std::size_t>(counts.tiles);
  v.sample_count = static_cast<std::size_t>(counts.samples);
  v.text_count = static_cast<std::size_t>(counts.texts);
  v.list_count = static_cast<std::size_t>(counts.lists);
  v.text_ends = reinterpret_cast<const std::uint64_t*>(sections[format::kTexts]);
  v.text_bytes = reinterpret_cast<const char*>(sections[format::kTexts] +
                                               format::text_bytes_at(counts));
  v.list_ends =
      reinterpret_cast<const std::uint64_t*>(sections[format::kMetadata]);
  v.entries = reinterpret_cast<const MetadataRef*>(
      sections[format::kMetadata] + format::entries_at(counts));
  v.physical = reinterpret_cast<const std::uint32_t*>(sections[format::kTiles]);
  v.tile_ends = reinterpret_cast<const std::uint64_t*>(
      sections[format::kTiles] + format::tile_ends_at(counts));
}

// Version 1: every field of every sample in a column, checked whole here.
// Its steps are its samples; each sample's step (its own position) and each
// tile's span are computed here, which version 2 stores hold.
void ReportStore::read_version1(std::span<const std::byte> bytes) {
  const format::Counts counts = read_counts(bytes.data(), name_);
  const auto sections = check_sections<format::kSectionCount>(
      bytes,
      {HeaderField::kTable, format::kHeaderSize, format::kSectionNames,
       format::section_lengths(counts)},
      name_);
  if (counts.samples > UINT32_MAX) {
    fail(name_, "a version 1 store of 2^32 samples or more is not read by "
                "this build; write it again as version 2");
  }

  View& v = view_;
  read_shared(bytes.data(), counts, sections.data());
  v.version = format::kVersion;
  v.step_count = v.sample_count;
  const auto* columns =
      reinterpret_cast<const std::uint32_t*>(sections[format::kSamples]);
  const auto stride = static_cast<std::size_t>(format::column_stride(counts) / 4);
  v.starts = columns + format::kStartCycle * stride;
  v.ends = columns + format::kEndCycle * stride;
  v.steps = columns + format::kPhase * stride;  // phase to local index
  v.step_stride = stride;

  // What the tables hold, read through the pointers just set.
  check_ends({{v.text_ends, v.text_count, counts.text_bytes, "texts", "text"},
              {v.list_ends, v.list_count, counts.entries, "metadata", "list"},
              {v.tile_ends, v.tile_count, counts.samples, "tiles", "tile"}},
             name_);
  check_text_order(*this, name_);
  check_ids(*this, {v.entries, static_cast<std::size_t>(counts.entries)},
            name_);

  own_steps_.resize(v.sample_count);
  std::iota(own_steps_.begin(), own_steps_.end(), std::uint32_t{0});
  v.sample_steps = own_steps_.data();
  own_spans_.resize(v.tile_count);
  for (std::size_t t = 0; t < v.tile_count; ++t) {
    own_spans_[t] = span_of(v.starts, v.ends, tile_begin(t), tile_end(t));
  }
  v.tile_spans = own_spans_.data();
}

// Version 2: the tables are checked here; the sample columns block by
// block when samples() first reaches them.
void ReportStore::read_version2(std::span<const std::byte> bytes) {
  namespace v2 = format::v2;
  const std::byte* const base = bytes.data();
  v2::Counts counts;
  static_cast<format::Counts&>(counts) = read_counts(base, name_);
  counts.steps = load_u64(base + v2::HeaderField::kStepCount);
  counts.block_samples = load_u64(base + v2::HeaderField::kBlockSamples);
  const std::uint64_t facts = load_u64(base + v2::HeaderField::kFacts);
  counts.facts = facts == 1;
  counts.intervals = load_u64(base + v2::HeaderField::kIntervalCount);
  if (facts > 1 || counts.intervals >= kMostCount ||
      (!counts.facts && counts.intervals != 0)) {
    fail(name_, "damaged header: the step facts' fields");
  }
  if (counts.steps > UINT32_MAX) {
    fail(name_, "damaged header: 2^32 or more steps");
  }
  if (counts.samples > 0 && counts.steps == 0) {
    fail(name_, "damaged header: samples without steps");
  }
  if (!std::has_single_bit(counts.block_samples) ||
      counts.block_samples < v2::kLeastBlockSamples ||
      counts.block_samples > v2::kMostBlockSamples) {
    fail(name_, "damaged header: blocks of " +
                    std::to_string(counts.block_samples) + " samples");
  }
  const auto sections = check_sections<v2::kSectionCount>(
      bytes,
      {v2::HeaderField::kTable, v2::kHeaderSize, v2::kSectionNames,
       v2::section_lengths(counts), v2::kSamples},
      name_);

  View& v = view_;
  read_shared(base, counts, sections.data());
  v.version = format::kVersion2;
  v.step_count = static_cast<std::size_t>(counts.steps);
  v.tile_spans = reinterpret_cast<const std::uint64_t*>(
      sections[v2::kTiles] + v2::tile_spans_at(counts));
  v.steps = reinterpret_cast<const std::uint32_t*>(sections[v2::kSteps]);
  v.step_stride = static_cast<std::size_t>(v2::step_stride(counts) / 4);
  if (counts.facts) {
    v.durations = reinterpret_cast<const std::uint32_t*>(sections[v2::kFacts]);
    v.interval_ends = reinterpret_cast<const std::uint64_t*>(
        sections[v2::kFacts] + v2::interval_ends_at(counts));
    v.intervals = reinterpret_cast<const StepInterval*>(
        sections[v2::kFacts] + v2::intervals_at(counts));
  }
  v.blocks = sections[v2::kBlocks];
  v.block_samples = static_cast<std::size_t>(counts.block_samples);
  const auto* columns =
      reinterpret_cast<const std::uint32_t*>(sections[v2::kSamples]);
  const auto stride = static_cast<std::size_t>(format::column_stride(counts) / 4);
  v.sample_steps = columns + v2::kStep * stride;
  v.starts = columns + v2::kStartCycle * stride;
  v.ends = columns + v2::kEndCycle * stride;

  check_ends({{v.text_ends, v.text_count, counts.text_bytes, "texts", "text"},
              {v.list_ends, v.list_count, counts.entries, "metadata", "list"},
              {v.tile_ends, v.tile_count, counts.samples, "tiles", "tile"}},
             name_);
  if (counts.facts) {
    check_ends({{v.interval_ends, v.step_count, counts.intervals, "facts",
                 "step"}},
               name_);
  }
  check_text_order(*this, name_);
  check_ids(*this, {v.entries, static_cast<std::size_t>(counts.entries)},
            name_);
  checked_ = std::make_unique<std::atomic<std::uint8_t>[]>(
      static_cast<std::size_t>(v2::block_count(counts)));
}

SampleColumns ReportStore::samples(std::size_t first, std::size_t count) const {
  if (checked_ != nullptr && count > 0) {
    const std::size_t last = (first + count - 1) / view_.block_samples;
    for (std::size_t b = first / view_.block_samples; b <= last; ++b) {
      if (checked_[b].load(std::memory_order_acquire) == 0) {
        check_block(b);
        checked_[b].store(1, std::memory_order_release);
      }
    }
  }
  return {view_.sample_steps + first, view_.starts + first, view_.ends + first,
          count};
}

// That block `block` is as written: its checksum, and every step id in it
// within the step table, its least and most as the block's entry records.
// Two threads may check one block at once; both then pass or both throw.
void ReportStore::check_block(std::size_t block) const {
  const std::size_t first = block * view_.block_samples;
  const std::size_t count =
      std::min(view_.block_samples, view_.sample_count - first);
  const std::string where =
      "block " + std::to_string(block) + " of section 'samples' (samples " +
      std::to_string(first) + "-" + std::to_string(first + count - 1) + ")";
  const std::byte* entry = view_.blocks + block * format::v2::kBlockEntrySize;
  Checksum sum;
  for (const std::uint32_t* column :
       {view_.sample_steps, view_.starts, view_.ends}) {
    sum.add(std::as_bytes(std::span(column + first, count)));
  }
  if (sum.value() != load_u64(entry)) {
    fail(name_, "checksum mismatch in " + where);
  }
  const std::uint32_t* steps = view_.sample_steps + first;
  std::uint32_t least = UINT32_MAX;
  std::uint32_t most = 0;
  for (std::size_t i = 0; i < count; ++i) {
    least = std::min(least, steps[i]);
    most = std::max(most, steps[i]);
  }
  if (most >= view_.step_count) {
    const std::size_t bad = first_at_least(steps, count, view_.step_count);
    fail(name_, "step id " + std::to_string(steps[bad]) + " at sample " +
                    std::to_string(first + bad) + " is past the " +
                    std::to_string(view_.step_count) + " steps");
  }
  if (least != load_u32(entry + 8) || most != load_u32(entry + 12)) {
    fail(name_, where + " is damaged: its step ids are not the range its "
                        "entry records");
  }
}

std::optional<std::uint32_t> ReportStore::find_text(
    std::string_view wanted) const noexcept {
  std::size_t low = 0;
  std::size_t high = text_count();
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
  report.clock_hz = clock_hz();
  report.tiles.reserve(tile_count());
  for (std::size_t t = 0; t < tile_count(); ++t) {
    report.tiles.push_back(tile_records(t));
  }
  return report;
}

zun_package::TileProfile ReportStore::tile_records(std::size_t t) const {
  zun_package::TileProfile tile;
  tile.physical_tile = physical_tile(t);
  const SampleColumns columns = tile_samples(t);
  tile.samples.resize(columns.count);
  for (std::size_t i = 0; i < columns.count; ++i) {
    zun_package::CycleSample& sample = tile.samples[i];
    sample.start_cycle = columns.starts[i];
    sample.end_cycle = columns.ends[i];
    const std::uint32_t d = columns.steps[i];
    zun_package::ProfileStep& step = sample.step;
    step.phase = step_phases()[d];
    step.epoch = step_epochs()[d];
    step.kind = static_cast<zun_package::ProfileStepKind>(step_kinds()[d]);
    step.kernel = std::string(text(step_kernels()[d]));
    step.operation = std::string(text(step_operations()[d]));
    step.local_index = step_local_indices()[d];
    const auto list = metadata_list(step_metadata_lists()[d]);
    step.metadata.reserve(list.size());
    for (const MetadataRef& entry : list) {
      step.metadata.push_back(
          {std::string(text(entry.name)), std::string(text(entry.value))});
    }
  }
  return tile;
}

}  // namespace zun_store
