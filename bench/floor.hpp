#pragma once

#include <cstdint>
#include <string>

#include <benchmark/benchmark.h>

#include "report/profile_report.hpp"

// `floor`: the least that grouping by kernel must read, the yardstick every
// query is measured against. Both counter values of every sample, and its
// kernel text compared with the previous sample's (long names live on the
// heap, so this touches them as a query must).
inline void read_floor(const zun_package::ProfileReport& report) {
  std::uint64_t cycles = 0;
  std::size_t changes = 0;
  const std::string* previous = nullptr;
  for (const zun_package::TileProfile& tile : report.tiles) {
    for (const zun_package::CycleSample& sample : tile.samples) {
      cycles +=
          static_cast<std::uint32_t>(sample.end_cycle - sample.start_cycle);
      if (previous == nullptr || sample.step.kernel != *previous) ++changes;
      previous = &sample.step.kernel;
    }
  }
  benchmark::DoNotOptimize(cycles);
  benchmark::DoNotOptimize(changes);
}
