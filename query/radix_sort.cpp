#include "query/radix_sort.hpp"

#include <algorithm>

namespace zun_profile {
namespace {

constexpr std::uint32_t kMaxDigitBits = 11;  // 2048 counters: stay in L1/L2

}  // namespace

void append_digits(std::vector<RadixDigit>& digits, std::uint32_t word,
                   std::uint32_t bits, std::uint32_t bias) {
  if (bits == 0) return;
  // Even widths: 30 bits sort as 10 + 10 + 10, not 11 + 11 + 8.
  const std::uint32_t passes = (bits + kMaxDigitBits - 1) / kMaxDigitBits;
  std::uint32_t shift = 0;
  for (std::uint32_t pass = 0; pass < passes; ++pass) {
    const std::uint32_t width = (bits - shift) / (passes - pass);
    digits.push_back({word, shift, width, bias});
    shift += width;
  }
}

RadixCounts::RadixCounts(std::span<const RadixDigit> digits)
    : digits_(digits.begin(), digits.end()), counts_(digits.size()) {
  for (std::size_t d = 0; d < digits_.size(); ++d) {
    counts_[d].assign(std::size_t{1} << digits_[d].bits, 0);
  }
}

template <std::size_t Width>
std::uint32_t* radix_sort(std::uint32_t* records, std::uint32_t* buffer,
                          std::size_t count,
                          std::span<const RadixDigit> digits) {
  if (count < 2 || digits.empty()) return records;
  RadixCounts counts(digits);
  for (std::size_t i = 0; i < count; ++i) counts.count(records + i * Width);
  return radix_sort<Width>(records, buffer, count, counts);
}

template <std::size_t Width>
std::uint32_t* radix_sort(std::uint32_t* records, std::uint32_t* buffer,
                          std::size_t count, RadixCounts& counts) {
  if (count < 2) return records;
  std::uint32_t* from = records;
  std::uint32_t* to = buffer;
  for (std::size_t d = 0; d < counts.digits_.size(); ++d) {
    std::vector<std::size_t>& next = counts.counts_[d];
    // A digit every record shares would move them all for nothing.
    if (std::find(next.begin(), next.end(), count) != next.end()) continue;
    std::size_t sum = 0;
    for (std::size_t& slot : next) {
      const std::size_t here = slot;
      slot = sum;
      sum += here;
    }
    const RadixDigit digit = counts.digits_[d];
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t* record = from + i * Width;
      std::uint32_t* target = to + next[digit_of(record, digit)]++ * Width;
      for (std::size_t w = 0; w < Width; ++w) target[w] = record[w];
    }
    std::swap(from, to);
  }
  return from;
}

template std::uint32_t* radix_sort<3>(std::uint32_t*, std::uint32_t*,
                                      std::size_t, std::span<const RadixDigit>);
template std::uint32_t* radix_sort<4>(std::uint32_t*, std::uint32_t*,
                                      std::size_t, std::span<const RadixDigit>);
template std::uint32_t* radix_sort<5>(std::uint32_t*, std::uint32_t*,
                                      std::size_t, std::span<const RadixDigit>);
template std::uint32_t* radix_sort<3>(std::uint32_t*, std::uint32_t*,
                                      std::size_t, RadixCounts&);
template std::uint32_t* radix_sort<5>(std::uint32_t*, std::uint32_t*,
                                      std::size_t, RadixCounts&);
template std::uint32_t* radix_sort<6>(std::uint32_t*, std::uint32_t*,
                                      std::size_t, std::span<const RadixDigit>);

}  // namespace zun_profile
