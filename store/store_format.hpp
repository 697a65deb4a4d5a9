#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The layout of a store file, shared by the writers and the reader. Every
// number is little-endian; every section starts at a multiple of 64 bytes,
// so that the columns can be read in place. Internal: not installed.
namespace zun_store::format {

// The first eight bytes of every store: not text, and a transfer that
// mangles line ends or stops at the DOS end-of-file byte shows at once.
inline constexpr std::array<unsigned char, 8> kMagic = {
    0x89, 'Z', 'U', 'N', '\r', '\n', 0x1A, '\n'};
// Version 1 holds every field of every sample; version 2 holds each
// distinct step once and, per sample, its step, start and end. Both are
// read; writers choose the smaller.
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::uint32_t kVersion2 = 2;
inline constexpr std::size_t kAlignment = 64;

// The sections, in file order.
enum Section : std::size_t { kTexts, kMetadata, kTiles, kSamples };
inline constexpr std::size_t kSectionCount = 4;
inline constexpr std::array<std::string_view, kSectionCount> kSectionNames = {
    "texts", "metadata", "tiles", "samples"};

// The sample columns, in their order within the samples section; each one
// holds a 32-bit value per sample.
enum Column : std::size_t {
  kStartCycle,
  kEndCycle,
  kPhase,
  kEpoch,
  kKind,
  kKernel,     // text id
  kOperation,  // text id
  kMetadataList,  // metadata list id
  kLocalIndex,
};
inline constexpr std::size_t kColumnCount = 9;

// Header fields, by byte offset.
struct HeaderField {
  static constexpr std::size_t kVersion = 8;        // u32
  static constexpr std::size_t kSections = 12;      // u32, kSectionCount
  static constexpr std::size_t kClockHz = 16;       // u64
  static constexpr std::size_t kTileCount = 24;     // u64
  static constexpr std::size_t kSampleCount = 32;   // u64
  static constexpr std::size_t kTextCount = 40;     // u64
  static constexpr std::size_t kTextBytes = 48;     // u64
  static constexpr std::size_t kListCount = 56;     // u64
  static constexpr std::size_t kEntryCount = 64;    // u64
  static constexpr std::size_t kTable = 72;         // the section table
  // Each table entry: offset, length, checksum (u64 each).
  static constexpr std::size_t kEntrySize = 24;
  // The header's own checksum, over every byte before it.
  static constexpr std::size_t kHeaderChecksum =
      kTable + kSectionCount * kEntrySize;
};
inline constexpr std::size_t kHeaderSize = 192;  // a multiple of 64
static_assert(HeaderField::kHeaderChecksum + 8 <= kHeaderSize);

constexpr std::uint64_t align_up(std::uint64_t size) noexcept {
  return (size + kAlignment - 1) / kAlignment * kAlignment;
}

// The counts a header gives, from which every section's length follows.
struct Counts {
  std::uint64_t tiles = 0;
  std::uint64_t samples = 0;
  std::uint64_t texts = 0;
  std::uint64_t text_bytes = 0;
  std::uint64_t lists = 0;
  std::uint64_t entries = 0;
};

// Where each part of a section starts, from the section's start, and how
// long the section is. The counts of a damaged header may be huge: the
// caller checks them against the file size before asking (every count
// below 2^58 keeps these sums in range).
//   texts:    u64 end offset per text, then the bytes of all texts
//   metadata: u64 end entry per list, then u32 (name, value) text ids per entry
//   tiles:    u32 physical tile per tile (padded to 8), then u64 end sample
//   samples:  kColumnCount columns of u32, each 64-aligned
constexpr std::uint64_t text_bytes_at(const Counts& c) noexcept {
  return 8 * c.texts;
}
constexpr std::uint64_t entries_at(const Counts& c) noexcept {
  return 8 * c.lists;
}
constexpr std::uint64_t tile_ends_at(const Counts& c) noexcept {
  return (4 * c.tiles + 7) / 8 * 8;
}
constexpr std::uint64_t column_stride(const Counts& c) noexcept {
  return align_up(4 * c.samples);
}
constexpr std::array<std::uint64_t, kSectionCount> section_lengths(
    const Counts& c) noexcept {
  return {text_bytes_at(c) + c.text_bytes, entries_at(c) + 8 * c.entries,
          tile_ends_at(c) + 8 * c.tiles, kColumnCount * column_stride(c)};
}

// Version 2. The header has the same first 72 bytes as version 1, then the
// step count and the samples of a block, then its own section table.
namespace v2 {

enum Section : std::size_t {
  kTexts, kMetadata, kTiles, kSteps, kFacts, kBlocks, kSamples
};
inline constexpr std::size_t kSectionCount = 7;
inline constexpr std::array<std::string_view, kSectionCount> kSectionNames = {
    "texts", "metadata", "tiles", "steps", "facts", "blocks", "samples"};

// The step table's columns, each a u32 per step.
enum StepColumn : std::size_t {
  kPhase,
  kEpoch,
  kKind,
  kKernel,        // text id
  kOperation,     // text id
  kMetadataList,  // metadata list id
  kLocalIndex,
};
inline constexpr std::size_t kStepColumnCount = 7;
// Version 1's columns from its phase on are a step's fields in this order:
// a version 1 store reads them as its step table.
static_assert(format::kLocalIndex - format::kPhase + 1 == kStepColumnCount &&
              format::kMetadataList - format::kPhase == kMetadataList);

// The sample columns, each a u32 per sample.
enum SampleColumn : std::size_t { kStep, kStartCycle, kEndCycle };
inline constexpr std::size_t kSampleColumnCount = 3;

struct HeaderField {
  static constexpr std::size_t kStepCount = 72;      // u64, below 2^32
  static constexpr std::size_t kBlockSamples = 80;   // u64, a power of two
  static constexpr std::size_t kFacts = 88;          // u64, 1 when held
  static constexpr std::size_t kIntervalCount = 96;  // u64
  static constexpr std::size_t kTable = 104;
  static constexpr std::size_t kEntrySize = 24;
  static constexpr std::size_t kHeaderChecksum =
      kTable + kSectionCount * kEntrySize;
};
inline constexpr std::size_t kHeaderSize = 320;
static_assert(HeaderField::kHeaderChecksum + 8 <= kHeaderSize);

// The samples a block holds, as writers make them: 768 KiB of columns,
// checked as one the first time a reader needs any of them.
inline constexpr std::uint64_t kBlockSamples = std::uint64_t{1} << 16;
// What a reader accepts.
inline constexpr std::uint64_t kLeastBlockSamples = 64;
inline constexpr std::uint64_t kMostBlockSamples = std::uint64_t{1} << 26;

// One block's entry in the blocks section: the checksum of its step ids,
// start cycles and end cycles, in that order, and the least and most step
// id among them.
inline constexpr std::size_t kBlockEntrySize = 16;

struct Counts : format::Counts {
  std::uint64_t steps = 0;
  std::uint64_t block_samples = kBlockSamples;
  bool facts = false;
  std::uint64_t intervals = 0;
};


constexpr std::uint64_t block_count(const Counts& c) noexcept {
  return (c.samples + c.block_samples - 1) / c.block_samples;
}
//   tiles:   u32 physical tile per tile (padded to 8), then u64 end sample,
//            then u64 span (the largest end offset of its samples)
//   steps:   kStepColumnCount columns of u32, each 64-aligned
//   facts:   when held, per step its least and most duration (u32 each),
//            then per step its u64 end interval, then the intervals
//            (u64 start and end, a StepInterval): each step's runs merged
//   blocks:  a kBlockEntrySize entry per block
//   samples: kSampleColumnCount columns of u32, each 64-aligned
constexpr std::uint64_t tile_spans_at(const Counts& c) noexcept {
  return tile_ends_at(c) + 8 * c.tiles;
}
constexpr std::uint64_t step_stride(const Counts& c) noexcept {
  return align_up(4 * c.steps);
}
constexpr std::uint64_t interval_ends_at(const Counts& c) noexcept {
  return 8 * c.steps;
}
constexpr std::uint64_t intervals_at(const Counts& c) noexcept {
  return 16 * c.steps;
}
constexpr std::array<std::uint64_t, kSectionCount> section_lengths(
    const Counts& c) noexcept {
  const auto v1 = format::section_lengths(c);
  return {v1[format::kTexts],
          v1[format::kMetadata],
          tile_spans_at(c) + 8 * c.tiles,
          kStepColumnCount * step_stride(c),
          c.facts ? intervals_at(c) + 16 * c.intervals : 0,
          kBlockEntrySize * block_count(c),
          kSampleColumnCount * column_stride(c)};
}

}  // namespace v2

}  // namespace zun_store::format
