#pragma once

#include <cstddef>
#include <cstdint>

namespace zun_profile::detail {

// A group's figures as the runs and visits give them, before they become a
// row of the answer (see GroupSummary for each field's meaning). One cache
// line: with millions of groups the rows read them in an order unrelated to
// their ids, one miss each. The first offset fits 32 bits: it is a run's
// start offset, the difference of two 32-bit counter values.
struct alignas(64) GroupFigures {
  std::size_t sample_count = 0;
  std::size_t tile_count = 0;
  std::size_t phase_count = 0;
  std::uint64_t phase_cycles = 0;
  std::uint64_t work_cycles = 0;
  std::uint64_t last_offset = 0;
  std::uint32_t first_offset = 0;
  std::uint32_t maximum_cycles = 0;
  std::uint32_t p50_cycles = 0;
  std::uint32_t p95_cycles = 0;
};
static_assert(sizeof(GroupFigures) == 64);

}  // namespace zun_profile::detail
