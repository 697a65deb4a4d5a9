#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// A least-significant-digit radix sort of fixed-width records of 32-bit
// words. Cost: one counting pass, then one pass per digit that is not the
// same for every record, each moving every record once; no comparisons, so
// the shape of the data (sorted runs, repeated keys, wide values) does not
// change it. Stable.
namespace zun_profile {

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

// How many records hold each value of each digit. Filled by whoever writes
// the records (count() on each), so that the sort needs no read of its own
// before its first move.
class RadixCounts {
 public:
  explicit RadixCounts(std::span<const RadixDigit> digits);

  void count(const std::uint32_t* record) noexcept {
    for (std::size_t d = 0; d < digits_.size(); ++d) {
      ++counts_[d][digit_of(record, digits_[d])];
    }
  }

 private:
  template <std::size_t Width>
  friend std::uint32_t* radix_sort(std::uint32_t*, std::uint32_t*, std::size_t,
                                   RadixCounts&);

  std::vector<RadixDigit> digits_;
  std::vector<std::vector<std::size_t>> counts_;  // per digit, per value
};

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

// The same, with the digits' counts already taken over exactly these
// records. Consumes the counts.
template <std::size_t Width>
std::uint32_t* radix_sort(std::uint32_t* records, std::uint32_t* buffer,
                          std::size_t count, RadixCounts& counts);

}  // namespace zun_profile
