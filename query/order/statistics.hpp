#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

// Numeric helpers behind a group's figures. Pure functions: they keep no
// state, leave their arguments unchanged and are safe on any thread.
namespace zun_profile::detail {

// A half-open cycle interval [first, second).
using Interval = std::pair<std::uint64_t, std::uint64_t>;

// Cycles covered by at least one of `intervals`, in any order; overlapping
// and touching intervals count once. A pair whose end is not above its start
// covers nothing. Works on a sorted copy: O(n log n), one allocation.
std::uint64_t union_length(std::span<const Interval> intervals);

// The index that `percentile` reads in a list of `count` sorted values:
// floor((count - 1) * percentage / 100), with a percentage above 100 counted
// as 100 and without overflow for any input; 0 when `count` is 0.
std::size_t percentile_rank(std::size_t count, std::size_t percentage) noexcept;

// The element of ascending `sorted` at index
// floor((size - 1) * percentage / 100): always one of the values, the lower
// one where the rank falls between two; 0 for an empty list. A percentage
// above 100 counts as 100. Does not check the order.
std::uint32_t percentile(std::span<const std::uint32_t> sorted,
                         std::size_t percentage) noexcept;

// numerator / denominator in double precision; 0.0 when the denominator is
// 0, so that an empty group never divides by zero.
double quotient(std::uint64_t numerator, std::uint64_t denominator) noexcept;

// `cycles` at `clock_hz` in milliseconds, as cycles * 1000.0 / clock_hz in
// double precision (that order, so results are reproducible bit for bit);
// 0.0 when `clock_hz` is 0.
double cycles_to_ms(std::uint64_t cycles, std::uint64_t clock_hz) noexcept;

}  // namespace zun_profile::detail
