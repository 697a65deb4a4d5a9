#include "query/order/radix_sort.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace zun_profile::detail {
namespace {

// Sorts `count` random records of Width words by `digits` with the radix
// sort and with a stable comparison sort on the same digit values; both
// must agree word for word.
template <std::size_t Width>
void expect_like_stable_sort(std::size_t count,
                             const std::vector<RadixDigit>& digits,
                             std::uint32_t value_mask, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<std::uint32_t> records(Width * count);
  for (std::uint32_t& word : records) {
    word = static_cast<std::uint32_t>(random()) & value_mask;
  }
  using Record = std::array<std::uint32_t, Width>;
  std::vector<Record> expected(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::copy_n(records.begin() + static_cast<std::ptrdiff_t>(i * Width), Width,
                expected[i].begin());
  }
  std::stable_sort(expected.begin(), expected.end(),
                   [&](const Record& a, const Record& b) {
                     for (std::size_t d = digits.size(); d-- > 0;) {
                       const std::size_t x = digit_of(a.data(), digits[d]);
                       const std::size_t y = digit_of(b.data(), digits[d]);
                       if (x != y) return x < y;
                     }
                     return false;
                   });

  std::vector<std::uint32_t> buffer(records.size());
  const std::uint32_t* sorted =
      radix_sort<Width>(records.data(), buffer.data(), count, digits);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t w = 0; w < Width; ++w) {
      ASSERT_EQ(sorted[i * Width + w], expected[i][w])
          << "record " << i << " word " << w << " of " << count;
    }
  }
}

TEST(RadixSortTest, SortsStablyLikeAComparisonSort) {
  // One word, split into even digits; the rest of each record rides along.
  std::vector<RadixDigit> digits;
  append_digits(digits, 0, 32, 0);
  for (const std::size_t count : {0u, 1u, 2u, 7u, 1000u, 20000u}) {
    expect_like_stable_sort<3>(count, digits, UINT32_MAX, count + 1);
  }
  // Two fields, the more significant in a later word; few distinct values,
  // so that stability shows.
  digits.clear();
  append_digits(digits, 2, 3, 0);
  append_digits(digits, 1, 5, 0);
  expect_like_stable_sort<3>(5000, digits, 31, 7);
  // Five-word records, a field with a bias (values wrap below it).
  digits.clear();
  append_digits(digits, 3, 20, 1000);
  append_digits(digits, 0, 12, 0);
  expect_like_stable_sort<5>(5000, digits, 0xFFFFF, 11);
}

TEST(RadixSortTest, DigitsStayNarrowAndCoverEveryBit) {
  for (std::uint32_t bits = 0; bits <= 32; ++bits) {
    std::vector<RadixDigit> digits;
    append_digits(digits, 1, bits, 5);
    std::uint32_t shift = 0;
    for (const RadixDigit& digit : digits) {
      EXPECT_EQ(digit.word, 1u);
      EXPECT_EQ(digit.bias, 5u);
      EXPECT_EQ(digit.shift, shift) << bits;
      EXPECT_GE(digit.bits, 1u);
      EXPECT_LE(digit.bits, 11u);
      shift += digit.bits;
    }
    EXPECT_EQ(shift, bits);
  }
}

TEST(RadixSortTest, MovesRecordsOnlyForDigitsThatDiffer) {
  // Three records of three words; the high byte of word 0 is shared.
  std::vector<std::uint32_t> records = {0x102, 7, 7, 0x100, 8, 8, 0x101, 9, 9};
  std::vector<std::uint32_t> buffer(records.size());
  const std::vector<RadixDigit> shared = {{0, 8, 8, 0}};
  EXPECT_EQ(radix_sort<3>(records.data(), buffer.data(), 3, shared),
            records.data());  // nothing to do: no pass, no move
  const std::vector<RadixDigit> both = {{0, 0, 8, 0}, {0, 8, 8, 0}};
  const std::uint32_t* sorted =
      radix_sort<3>(records.data(), buffer.data(), 3, both);
  EXPECT_EQ(sorted, buffer.data());  // one pass: the low byte's
  EXPECT_EQ(
      std::vector<std::uint32_t>(sorted, sorted + 9),
      (std::vector<std::uint32_t>{0x100, 8, 8, 0x101, 9, 9, 0x102, 7, 7}));
}

// The keyed sort against a stable sort by key, for keys of one word and of
// two, of every width from none to 64 bits, with few or many distinct keys.
// `declared`: the records the counts are told of (0: `count`).
template <std::size_t Width>
void expect_key_sort_like_stable_sort(std::uint32_t bits, std::size_t count,
                                      std::uint64_t seed,
                                      std::size_t declared = 0) {
  std::mt19937_64 random(seed);
  const std::uint64_t mask =
      bits == 64 ? UINT64_MAX : (std::uint64_t{1} << bits) - 1;
  // Few distinct keys (ties everywhere: stability shows), any keys, or keys
  // whose lowest 16 bits never change (a pass skipped, the next digit
  // counted all the same).
  const std::uint64_t mode = seed % 3;
  using Record = std::array<std::uint32_t, Width>;
  std::vector<Record> expected(count);
  std::vector<std::uint32_t> records(Width * count);
  KeyCounts counts(bits, declared == 0 ? count : declared);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t drawn = random();
    const std::uint64_t key = (mode == 0   ? drawn % 5 * (mask / 4)
                               : mode == 1 ? drawn
                                           : drawn << 16 | 0x5a5a) &
                              mask;
    Record& record = expected[i];
    record[0] = static_cast<std::uint32_t>(key);
    if constexpr (Width == 3) record[1] = static_cast<std::uint32_t>(key >> 32);
    record[Width - 1] = static_cast<std::uint32_t>(i);  // the original place
    std::copy(record.begin(), record.end(),
              records.begin() + static_cast<std::ptrdiff_t>(Width * i));
    counts.count(key);
  }
  const auto key_of = [](const Record& record) {
    std::uint64_t key = record[0];
    if constexpr (Width == 3) key |= std::uint64_t{record[1]} << 32;
    return key;
  };
  std::stable_sort(
      expected.begin(), expected.end(),
      [&](const Record& a, const Record& b) { return key_of(a) < key_of(b); });
  std::vector<std::uint32_t> buffer(records.size());
  const std::uint32_t* sorted =
      sort_by_key<Width>(records.data(), buffer.data(), count, counts);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t w = 0; w < Width; ++w) {
      ASSERT_EQ(sorted[i * Width + w], expected[i][w])
          << "record " << i << " word " << w << " of " << count << ", " << bits
          << " bits";
    }
  }
}

TEST(KeySortTest, SortsStablyByKeyAtEveryWidth) {
  // 70,000 records take 16-bit digits where they save a pass.
  for (const std::uint32_t bits : {0u, 1u, 11u, 12u, 23u, 29u, 30u, 31u, 32u}) {
    for (const std::size_t count : {0u, 1u, 2u, 3000u, 70000u}) {
      for (std::uint64_t mode = 0; mode < 3; ++mode) {
        expect_key_sort_like_stable_sort<2>(bits, count, bits + count + mode);
      }
    }
  }
  // Counters of 64 bits, as for 2^32 records or more.
  for (const std::uint32_t bits : {12u, 29u, 32u}) {
    expect_key_sort_like_stable_sort<2>(bits, 3000, bits, std::size_t{1} << 33);
  }
  for (const std::uint32_t bits : {0u, 20u, 33u, 34u, 36u, 40u, 47u, 63u, 64u}) {
    for (const std::size_t count : {0u, 1u, 2u, 3000u, 70000u}) {
      for (std::uint64_t mode = 0; mode < 3; ++mode) {
        expect_key_sort_like_stable_sort<3>(bits, count, bits + count + mode);
      }
    }
  }
}

}  // namespace
}  // namespace zun_profile::detail
