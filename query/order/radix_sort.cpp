#include "query/order/radix_sort.hpp"

#include <algorithm>
#include <type_traits>

namespace zun_profile::detail {
namespace {

constexpr std::uint32_t kMaxDigitBits = 11;  // 2048 counters: stay in L1/L2
constexpr std::uint32_t kMaxWideDigitBits = 16;
constexpr std::size_t kMostForWideDigits = std::size_t{1} << 18;

// Splits `bits` bits into `passes` digits of even widths (30 bits in three
// sort as 10 + 10 + 10, not 11 + 11 + 8), calling take(shift, width) for
// each, least significant first.
template <typename Take>
void split_evenly(std::uint32_t bits, std::uint32_t passes, Take&& take) {
  std::uint32_t shift = 0;
  for (std::uint32_t pass = 0; pass < passes; ++pass) {
    const std::uint32_t width = (bits - shift) / (passes - pass);
    take(shift, width);
    shift += width;
  }
}

// Turns one digit's counts into where each value's records start. False
// when one value holds all `count` records: a pass would then move them all
// for nothing.
template <typename Count>
bool starts_from_counts(std::span<Count> counts, std::size_t count) {
  if (std::find(counts.begin(), counts.end(), count) != counts.end()) {
    return false;
  }
  std::size_t sum = 0;
  for (Count& slot : counts) {
    const std::size_t here = slot;
    slot = static_cast<Count>(sum);
    sum += here;
  }
  return true;
}

}  // namespace

void append_digits(std::vector<RadixDigit>& digits, std::uint32_t word,
                   std::uint32_t bits, std::uint32_t bias) {
  split_evenly(bits, (bits + kMaxDigitBits - 1) / kMaxDigitBits,
               [&](std::uint32_t shift, std::uint32_t width) {
                 digits.push_back({word, shift, width, bias});
               });
}

template <std::size_t Width>
std::uint32_t* radix_sort(std::uint32_t* records, std::uint32_t* buffer,
                          std::size_t count,
                          std::span<const RadixDigit> digits) {
  if (count < 2 || digits.empty()) return records;
  // How many records hold each value of each digit, all taken in one read.
  std::vector<std::vector<std::size_t>> counts(digits.size());
  for (std::size_t d = 0; d < digits.size(); ++d) {
    counts[d].assign(std::size_t{1} << digits[d].bits, 0);
  }
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t d = 0; d < digits.size(); ++d) {
      ++counts[d][digit_of(records + i * Width, digits[d])];
    }
  }
  std::uint32_t* from = records;
  std::uint32_t* to = buffer;
  for (std::size_t d = 0; d < digits.size(); ++d) {
    std::vector<std::size_t>& next = counts[d];
    if (!starts_from_counts(std::span<std::size_t>(next), count)) continue;
    const RadixDigit digit = digits[d];
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t* record = from + i * Width;
      std::uint32_t* target = to + next[digit_of(record, digit)]++ * Width;
      for (std::size_t w = 0; w < Width; ++w) target[w] = record[w];
    }
    std::swap(from, to);
  }
  return from;
}

KeyCounts::KeyCounts(std::uint32_t bits, std::size_t records) {
  // Passes of at most 11 bits, or of 12 where that takes fewer: a pass
  // costs more than its counters until they outgrow the caches.
  const std::uint32_t narrow = (bits + kMaxDigitBits - 1) / kMaxDigitBits;
  const std::uint32_t wide = (bits + kMaxDigitBits) / (kMaxDigitBits + 1);
  digits_ = std::min(narrow, wide);
  // With many records a pass saved is worth wider digits, up to 16 bits,
  // as long as their counters stay fewer than the records (clearing and
  // summing them then costs less than moving every record once more) and
  // the records fit in the last-level cache: beyond, each of thousands of
  // places written to at once is a miss of its own, and the wider digits
  // cost more than the pass they save (2M records: a fifth slower).
  const std::uint32_t widest = (bits + kMaxWideDigitBits - 1) / kMaxWideDigitBits;
  if (widest < digits_ && records <= kMostForWideDigits) {
    std::size_t counters = 0;
    split_evenly(bits, widest, [&](std::uint32_t, std::uint32_t width) {
      counters += std::size_t{1} << width;
    });
    if (counters <= records) digits_ = widest;
  }
  std::uint32_t d = 0;
  std::size_t counters = 0;
  split_evenly(bits, digits_, [&](std::uint32_t shift, std::uint32_t width) {
    shifts_[d] = shift;
    masks_[d] = (std::uint64_t{1} << width) - 1;
    begin_[d++] = counters;
    counters += std::size_t{1} << width;
  });
  if (records <= UINT32_MAX) {
    narrow_.assign(counters, 0);
  } else {
    wide_.assign(counters, 0);
  }
}

// sort_by_key with the counters `counters` (those of `counts`).
template <std::size_t Width, typename Count>
std::uint32_t* sort_counted(std::uint32_t* records, std::uint32_t* buffer,
                            std::size_t count, const KeyCounts& counts,
                            Count* counters) {
  const auto key_of = [](const std::uint32_t* record) {
    std::uint64_t key = record[0];
    if constexpr (Width == 3) key |= std::uint64_t{record[1]} << 32;
    return key;
  };
  std::uint32_t* from = records;
  std::uint32_t* to = buffer;
  const std::uint32_t digits = counts.digits_;
  for (std::uint32_t d = 0; d < digits; ++d) {
    Count* const next = counters + counts.begin_[d];
    const std::size_t values = std::size_t{counts.masks_[d]} + 1;
    const std::uint32_t shift = counts.shifts_[d];
    const std::uint64_t mask = counts.masks_[d];
    // The next digit's counters, filled by this pass (null for the last).
    Count* const after =
        d + 1 < digits ? counters + counts.begin_[d + 1] : nullptr;
    const std::uint32_t after_shift = d + 1 < digits ? counts.shifts_[d + 1] : 0;
    const std::uint64_t after_mask = d + 1 < digits ? counts.masks_[d + 1] : 0;
    if (!starts_from_counts(std::span(next, values), count)) {
      // No pass: the next digit is counted on its own.
      if (after != nullptr) {
        for (std::size_t i = 0; i < count; ++i) {
          ++after[(key_of(from + i * Width) >> after_shift) & after_mask];
        }
      }
      continue;
    }
    const auto place = [&](auto count_after) {
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t* record = from + i * Width;
        const std::uint64_t key = key_of(record);
        if constexpr (decltype(count_after)::value) {
          ++after[(key >> after_shift) & after_mask];
        }
        std::uint32_t* target = to + next[(key >> shift) & mask]++ * Width;
        for (std::size_t w = 0; w < Width; ++w) target[w] = record[w];
      }
    };
    if (after != nullptr) {
      place(std::true_type{});
    } else {
      place(std::false_type{});
    }
    std::swap(from, to);
  }
  return from;
}

template <std::size_t Width>
std::uint32_t* sort_by_key(std::uint32_t* records, std::uint32_t* buffer,
                           std::size_t count, KeyCounts& counts) {
  static_assert(Width == 2 || Width == 3);
  if (count < 2) return records;
  return counts.wide_.empty()
             ? sort_counted<Width>(records, buffer, count, counts,
                                   counts.narrow_.data())
             : sort_counted<Width>(records, buffer, count, counts,
                                   counts.wide_.data());
}

template std::uint32_t* sort_by_key<2>(std::uint32_t*, std::uint32_t*,
                                       std::size_t, KeyCounts&);
template std::uint32_t* sort_by_key<3>(std::uint32_t*, std::uint32_t*,
                                       std::size_t, KeyCounts&);

template std::uint32_t* radix_sort<1>(std::uint32_t*, std::uint32_t*,
                                      std::size_t, std::span<const RadixDigit>);
template std::uint32_t* radix_sort<3>(std::uint32_t*, std::uint32_t*,
                                      std::size_t, std::span<const RadixDigit>);
template std::uint32_t* radix_sort<4>(std::uint32_t*, std::uint32_t*,
                                      std::size_t, std::span<const RadixDigit>);
template std::uint32_t* radix_sort<5>(std::uint32_t*, std::uint32_t*,
                                      std::size_t, std::span<const RadixDigit>);
template std::uint32_t* radix_sort<6>(std::uint32_t*, std::uint32_t*,
                                      std::size_t, std::span<const RadixDigit>);

}  // namespace zun_profile::detail
