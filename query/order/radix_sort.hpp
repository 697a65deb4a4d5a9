#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// A least-significant-digit radix sort of fixed-width records of 32-bit
// words. Cost: one counting pass, then one pass per digit that is not the
// same for every record, each moving every record once; no comparisons, so
// the shape of the data (sorted runs, repeated keys, wide values) does not
// change it. Stable.
namespace zun_profile::detail {

// The least and greatest of some 32-bit values, kept as they arrive, so
// that a key holds each field in only as many bits as its spread takes.
struct ValueRange {
  std::uint32_t low = UINT32_MAX;
  std::uint32_t high = 0;

  void add(std::uint32_t value) noexcept {
    low = std::min(low, value);
    high = std::max(high, value);
  }

  // Bits that any value less `low` takes; 0 for one value. Needs one at
  // least.
  std::uint32_t bits() const noexcept {
    return static_cast<std::uint32_t>(std::bit_width(high - low));
  }
};

// One digit: `bits` bits (1 to 16) of word `word` of each record, starting
// at bit `shift`, after `bias` is subtracted from the word.
struct RadixDigit {
  std::uint32_t word = 0;
  std::uint32_t shift = 0;
  std::uint32_t bits = 0;
  std::uint32_t bias = 0;
};

// The value of `digit` in `record`.
inline std::size_t digit_of(const std::uint32_t* record,
                            const RadixDigit& digit) noexcept {
  const std::uint32_t value = record[digit.word] - digit.bias;
  return (value >> digit.shift) & ((std::uint32_t{1} << digit.bits) - 1);
}

// Appends to `digits` the digits that cover a value of `bits` bits in word
// `word` (less `bias`), least significant first, each at most 11 bits wide.
void append_digits(std::vector<RadixDigit>& digits, std::uint32_t word,
                   std::uint32_t bits, std::uint32_t bias);

// Sorts `count` records of `Width` words each, laid out back to back in
// `records`, by `digits` (least significant first). `buffer` holds room for
// as many records. Returns where the sorted records are: `records` or
// `buffer`; the other is left as scratch.
template <std::size_t Width>
std::uint32_t* radix_sort(std::uint32_t* records, std::uint32_t* buffer,
                          std::size_t count,
                          std::span<const RadixDigit> digits);

// Digits of a key that is one unsigned number, already narrowed to `bits`
// bits (0 to 64): plain bit ranges of it, least significant first, each at
// most 11 bits wide, or 12 where that saves a pass (34 to 36 bits sort in
// three passes, not four), or up to 16 where that saves a pass and there
// are more records than counters, up to 2^18 records (29 bits of
// 100,000 records: two passes).
// With no word, bias or table to look up per digit, counting and placing
// cost a shift and a mask each: this is the sort the engine's run records
// take on every query.
class KeyCounts {
 public:
  // `records`: how many keys will be counted, at most. It picks the digits,
  // and the counters' width: 32 bits below 2^32 records (half the cache
  // the counters of a 16-bit digit take), 64 otherwise.
  KeyCounts(std::uint32_t bits, std::size_t records);

  // Counts one record's key; done as the records are written. Only the
  // lowest digit is counted here: each pass of the sort counts the next
  // digit as it moves the records. Counted in the records' first order, a
  // high digit (phase, epoch) repeats from one record to the next, and
  // each increment of one counter waits for the one before.
  void count(std::uint64_t key) noexcept {
    if (digits_ == 0) return;
    const std::size_t at = (key >> shifts_[0]) & masks_[0];
    if (wide_.empty()) {
      ++narrow_[at];
    } else {
      ++wide_[at];
    }
  }

 private:
  template <std::size_t Width>
  friend std::uint32_t* sort_by_key(std::uint32_t*, std::uint32_t*, std::size_t,
                                    KeyCounts&);
  template <std::size_t Width, typename Count>
  friend std::uint32_t* sort_counted(std::uint32_t*, std::uint32_t*,
                                     std::size_t, const KeyCounts&, Count*);

  static constexpr std::size_t kMaxDigits = 6;

  std::uint32_t digits_ = 0;
  std::uint32_t shifts_[kMaxDigits] = {};
  std::uint64_t masks_[kMaxDigits] = {};
  std::size_t begin_[kMaxDigits] = {};  // where each digit's counters start
  // Every digit's counters, in one of the two (the other stays empty).
  std::vector<std::uint32_t> narrow_;
  std::vector<std::size_t> wide_;
};

// Sorts `count` records of `Width` words (2 or 3) by their key, counted in
// `counts`: the first word (Width 2) or the first two, low word first
// (Width 3). Stable. `buffer` holds room for as many records. Returns where
// the sorted records are: `records` or `buffer`. Consumes the counts.
template <std::size_t Width>
std::uint32_t* sort_by_key(std::uint32_t* records, std::uint32_t* buffer,
                           std::size_t count, KeyCounts& counts);

// The bits a value up to `range` takes (0 for 0).
constexpr std::uint32_t bits_for(std::uint64_t range) noexcept {
  return static_cast<std::uint32_t>(std::bit_width(range));
}

}  // namespace zun_profile::detail
