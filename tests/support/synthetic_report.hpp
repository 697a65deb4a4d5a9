#pragma once

#include <cstddef>
#include <cstdint>

#include "report/profile_report.hpp"

// A deterministic report shaped like a real run, for benchmarks and tests.
namespace zun_profile::support {

// Shape of a synthetic report.
struct SyntheticShape {
  std::size_t tiles = 1024;             // tile entries, numbered from 0
  std::size_t samples_per_tile = 2048;  // back-to-back samples on each tile
  std::uint64_t seed = 1;               // same seed, same report
};

// Builds a report of `shape`: each tile starts at its own counter value (some
// close enough to 2^32 to wrap), samples run back to back with varying
// durations, the kernel (one of 24 names, most too long for the small-string
// buffer) changes every 16 samples, kinds mix, phase = sample index / 64,
// epochs alternate every 32 samples, and every step carries an operation
// text and two metadata entries, "block" and "layer".
zun_package::ProfileReport synthetic_report(const SyntheticShape& shape);

}  // namespace zun_profile::support
