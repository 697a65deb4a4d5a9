#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "report/profile_report.hpp"

// Small builders shared by the unit tests.
namespace zun_profile::support {

// One run from `start` to `end` on the counter, with the given kernel; every
// other step field at its default.
inline zun_package::CycleSample run(std::uint32_t start, std::uint32_t end,
                                    std::string kernel = "k") {
  zun_package::CycleSample sample;
  sample.start_cycle = start;
  sample.end_cycle = end;
  sample.step.kernel = std::move(kernel);
  return sample;
}

// `sample` with `phase`, `epoch` and `kind` set.
inline zun_package::CycleSample in_phase(
    zun_package::CycleSample sample, std::uint32_t phase,
    std::uint32_t epoch = 0,
    zun_package::ProfileStepKind kind = zun_package::ProfileStepKind::Compute) {
  sample.step.phase = phase;
  sample.step.epoch = epoch;
  sample.step.kind = kind;
  return sample;
}

inline zun_package::TileProfile tile(
    std::uint32_t physical_tile,
    std::vector<zun_package::CycleSample> samples) {
  zun_package::TileProfile result;
  result.physical_tile = physical_tile;
  result.samples = std::move(samples);
  return result;
}

}  // namespace zun_profile::support
