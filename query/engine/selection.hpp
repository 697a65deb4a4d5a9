#pragma once

#include <cstdint>
#include <string_view>

#include "query/request.hpp"
#include "report/profile_report.hpp"

// Sample selection: the time model of a tile's wrapping 32-bit counter and
// the filter predicate of a request. Nothing here allocates or can fail.
namespace zun_profile::detail {

// The one intended wrap: differences of raw counter values are taken modulo
// 2^32, so a run that spans the counter's wrap keeps its true length.
constexpr std::uint32_t counter_distance(std::uint32_t from,
                                         std::uint32_t to) noexcept {
  return static_cast<std::uint32_t>(to - from);
}

// How long `sample` ran, in cycles; correct across one counter wrap.
constexpr std::uint32_t duration(
    const zun_package::CycleSample& sample) noexcept {
  return counter_distance(sample.start_cycle, sample.end_cycle);
}

// A tile's time zero: its first sample's start in list order, 0 when empty.
constexpr std::uint32_t time_base(
    const zun_package::TileProfile& tile) noexcept {
  return tile.samples.empty() ? 0 : tile.samples.front().start_cycle;
}

// Start of `sample` in cycles from its tile's time zero `base`. Always below
// 2^32: a sample that started before the base reads as one wrap later.
constexpr std::uint64_t sample_offset(const zun_package::CycleSample& sample,
                                      std::uint32_t base) noexcept {
  return counter_distance(base, sample.start_cycle);
}

// `offset + length`, saturating at the 64-bit maximum instead of wrapping.
constexpr std::uint64_t saturating_end(std::uint64_t offset,
                                       std::uint32_t length) noexcept {
  const std::uint64_t end = offset + length;
  return end < offset ? UINT64_MAX : end;
}

// Whether a sample starting at `offset` and running `length` cycles runs
// within `window`: its run meets the window, or, lasting no time, it starts
// inside it.
constexpr bool meets_window(const TimeWindow& window, std::uint64_t offset,
                            std::uint32_t length) noexcept {
  if (window.to <= window.from || offset >= window.to) return false;
  return length == 0 ? offset >= window.from
                     : saturating_end(offset, length) > window.from;
}

// The request-side kind of the sample's step. A value outside the four
// members maps to the StepKind with the same numeric value.
constexpr StepKind kind_of(const zun_package::CycleSample& sample) noexcept {
  return static_cast<StepKind>(static_cast<std::uint32_t>(sample.step.kind));
}

// Whether the sample passes every filter of `query`. `tile` is the physical
// tile holding it, `offset` its start from the tile's time zero and
// `sample_duration` its duration. Tests run in a fixed order (kind, kernel,
// operation text, tile, phase, point in time, window, metadata) and the first that
// fails decides.
inline bool matches_query(const Query& query, std::uint32_t tile,
                          const zun_package::CycleSample& sample,
                          std::uint64_t offset,
                          std::uint32_t sample_duration) noexcept {
  const zun_package::ProfileStep& step = sample.step;
  if (query.kind && *query.kind != kind_of(sample)) return false;
  if (query.kernel && step.kernel != *query.kernel) return false;
  if (query.operation_contains &&
      std::string_view(step.operation).find(*query.operation_contains) ==
          std::string_view::npos) {
    return false;
  }
  if (!query.tiles.empty() && !query.tiles.contains(tile)) return false;
  if (!query.phases.empty() && !query.phases.contains(step.phase)) {
    return false;
  }
  if (query.at_offset) {
    const std::uint64_t at = *query.at_offset;
    if (at < offset || at >= saturating_end(offset, sample_duration)) {
      return false;
    }
  }
  if (query.window && !meets_window(*query.window, offset, sample_duration)) {
    return false;
  }
  for (const MetadataFilter& filter : query.metadata) {
    bool met = false;
    for (const zun_package::ProfileMetadata& entry : step.metadata) {
      if (entry.name == filter.name &&
          (!filter.value || entry.value == *filter.value)) {
        met = true;
        break;
      }
    }
    if (!met) return false;
  }
  return true;
}

}  // namespace zun_profile::detail
