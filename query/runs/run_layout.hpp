#pragma once

#include <cstddef>
#include <cstdint>

// Where the fields of a run record sit while a query collects it (internal
// to RunRecords). A record is a few 32-bit words, in one of three layouts:
// while every phase, epoch and group id is small enough to share words
// (nearly every report), three words in a group's own bucket, where the
// group goes without saying, and four in the shared bucket; six once one
// is not. Each layout says how many words a record takes and reads or
// writes each field, so that one piece of code serves all three;
// `group(record, implied)` gives the bucket's own group where the record
// holds none.
namespace zun_profile::detail {

struct OwnRecord {
  static constexpr std::size_t kWords = 3;
  static constexpr std::uint32_t kEpochShift = 1;
  static constexpr std::uint32_t kPhaseShift = 13;  // epochs below 2^12
  static std::uint32_t list(std::uint32_t phase, std::uint32_t epoch) noexcept {
    return phase << kPhaseShift | epoch << kEpochShift;
  }
  static bool same_list(const std::uint32_t* r, std::uint32_t,
                        std::uint32_t phase, std::uint32_t epoch) noexcept {
    return (r[0] & ~1u) == list(phase, epoch);
  }
  static void write(std::uint32_t* r, std::uint32_t, std::uint32_t phase,
                    std::uint32_t epoch, std::uint32_t start,
                    std::uint32_t length) noexcept {
    r[0] = list(phase, epoch);
    r[1] = start;
    r[2] = length;
  }
  static std::uint32_t group(const std::uint32_t*,
                             std::uint32_t implied) noexcept {
    return implied;
  }
  static std::uint32_t phase(const std::uint32_t* r) noexcept {
    return r[0] >> kPhaseShift;
  }
  static std::uint32_t epoch(const std::uint32_t* r) noexcept {
    return (r[0] >> kEpochShift) & ((1u << (kPhaseShift - 1)) - 1);
  }
  static std::uint32_t start(const std::uint32_t* r) noexcept { return r[1]; }
  static std::uint32_t& length(std::uint32_t* r) noexcept { return r[2]; }
  static std::uint32_t length(const std::uint32_t* r) noexcept { return r[2]; }
  static bool folded(const std::uint32_t* r) noexcept {
    return (r[0] & 1u) != 0;
  }
  static void mark_folded(std::uint32_t* r) noexcept { r[0] |= 1u; }
};
struct CompactRecord {
  static constexpr std::size_t kWords = 4;
  static constexpr std::uint32_t kEpochBits = 12;
  static constexpr std::uint32_t kFoldedBit = 1u << 31;
  // Whether the small layouts hold these: phases below 2^19 (for
  // OwnRecord), epochs below 2^12, group ids below 2^31.
  static bool holds(std::uint32_t group, std::uint32_t phase,
                    std::uint32_t epoch) noexcept {
    return group < kFoldedBit && phase >> 19 == 0 && epoch >> kEpochBits == 0;
  }
  static bool same_list(const std::uint32_t* r, std::uint32_t group,
                        std::uint32_t phase, std::uint32_t epoch) noexcept {
    return (r[0] & ~kFoldedBit) == group &&
           r[1] == (phase << kEpochBits | epoch);
  }
  static void write(std::uint32_t* r, std::uint32_t group, std::uint32_t phase,
                    std::uint32_t epoch, std::uint32_t start,
                    std::uint32_t length) noexcept {
    r[0] = group;
    r[1] = phase << kEpochBits | epoch;
    r[2] = start;
    r[3] = length;
  }
  static std::uint32_t group(const std::uint32_t* r, std::uint32_t) noexcept {
    return r[0] & ~kFoldedBit;
  }
  static std::uint32_t phase(const std::uint32_t* r) noexcept {
    return r[1] >> kEpochBits;
  }
  static std::uint32_t epoch(const std::uint32_t* r) noexcept {
    return r[1] & ((1u << kEpochBits) - 1);
  }
  static std::uint32_t start(const std::uint32_t* r) noexcept { return r[2]; }
  static std::uint32_t& length(std::uint32_t* r) noexcept { return r[3]; }
  static std::uint32_t length(const std::uint32_t* r) noexcept { return r[3]; }
  static bool folded(const std::uint32_t* r) noexcept {
    return (r[0] & kFoldedBit) != 0;
  }
  static void mark_folded(std::uint32_t* r) noexcept { r[0] |= kFoldedBit; }
};
struct WideRecord {
  static constexpr std::size_t kWords = 6;
  static bool same_list(const std::uint32_t* r, std::uint32_t group,
                        std::uint32_t phase, std::uint32_t epoch) noexcept {
    return r[0] == group && r[1] == phase && r[2] == epoch;
  }
  static void write(std::uint32_t* r, std::uint32_t group, std::uint32_t phase,
                    std::uint32_t epoch, std::uint32_t start,
                    std::uint32_t length) noexcept {
    r[0] = group;
    r[1] = phase;
    r[2] = epoch;
    r[3] = start;
    r[4] = length;
    r[5] = 0;
  }
  static std::uint32_t group(const std::uint32_t* r, std::uint32_t) noexcept {
    return r[0];
  }
  static std::uint32_t phase(const std::uint32_t* r) noexcept { return r[1]; }
  static std::uint32_t epoch(const std::uint32_t* r) noexcept { return r[2]; }
  static std::uint32_t start(const std::uint32_t* r) noexcept { return r[3]; }
  static std::uint32_t& length(std::uint32_t* r) noexcept { return r[4]; }
  static std::uint32_t length(const std::uint32_t* r) noexcept { return r[4]; }
  static bool folded(const std::uint32_t* r) noexcept { return r[5] != 0; }
  static void mark_folded(std::uint32_t* r) noexcept { r[5] = 1; }
};

// Which of the three a bucket's records are in.
enum class Layout : std::uint8_t { kOwn, kCompact, kWide };

// Calls run(Record{}) with the layout type of `layout`.
template <typename Run>
void with_layout(Layout layout, Run&& run) {
  switch (layout) {
    case Layout::kOwn:
      run(OwnRecord{});
      return;
    case Layout::kCompact:
      run(CompactRecord{});
      return;
    case Layout::kWide:
      run(WideRecord{});
      return;
  }
}

}  // namespace zun_profile::detail
