#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "report/profile_report.hpp"

// A deterministic report shaped like a real run, for benchmarks and tests.
// The knobs vary the shape the way real profiles vary, so that a benchmark
// can show the engine on what users have, not only on what suits it.
namespace zun_profile::support {

// The next number of a splitmix64 stream at `state`: small, fast, and the
// same on every platform, so that a seed always makes the same report.
inline std::uint64_t next_random(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The operation texts of synthetic steps, as a model's layers name them.
inline constexpr std::array<std::string_view, 8> kOperationTexts = {
    "attention/query_projection",
    "attention/key_projection",
    "attention/value_projection",
    "attention/output",
    "feed_forward/expand",
    "feed_forward/contract",
    "norm",
    "residual_add",
};

// How a tile's consecutive samples pick their kernel.
enum class KernelOrder {
  Runs,         // 16 samples of one kernel, then the next
  Interleaved,  // drawn per sample: compute, exchange, sync and others mix
};

// How a sample's phase is chosen.
enum class PhaseOrder {
  Per64,      // sample index / 64
  PerSample,  // sample index: one phase per step
  Wide,       // drawn from 2^20 values
};

// How long samples run.
enum class Durations {
  Narrow,      // 20 to 219 cycles
  LogUniform,  // 1 to 10^6 cycles, log-uniform over six decades
};

// Shape of a synthetic report. The defaults are the original benchmark's.
struct SyntheticShape {
  std::size_t tiles = 1024;             // tile entries, numbered from 0
  std::size_t samples_per_tile = 2048;  // back-to-back samples on each tile
  std::uint64_t seed = 1;               // same seed, same report
  KernelOrder kernels = KernelOrder::Runs;
  bool random_epochs = false;  // epoch drawn from 0..3, not alternating by 32
  PhaseOrder phases = PhaseOrder::Per64;
  Durations durations = Durations::Narrow;
  // Every tile runs the same durations, so all tiles share one timeline and
  // their runs overlap exactly.
  bool one_timeline = false;
  // Each sample's operation text is its own (one group per sample when
  // grouping by operation).
  bool unique_operations = false;
};

// A tiled processor's profile: each tile's consecutive steps alternate
// between kernels, epochs drawn per sample.
inline SyntheticShape interleaved_shape(std::size_t tiles,
                                        std::size_t samples_per_tile) {
  SyntheticShape shape;
  shape.tiles = tiles;
  shape.samples_per_tile = samples_per_tile;
  shape.kernels = KernelOrder::Interleaved;
  shape.random_epochs = true;
  return shape;
}

// Builds a report of `shape`: each tile starts at its own counter value (some
// close enough to 2^32 to wrap), samples run back to back, the kernel is one
// of 24 names (most too long for the small-string buffer), kinds mix, and
// every step carries an operation text and two metadata entries, "block" and
// "layer".
zun_package::ProfileReport synthetic_report(const SyntheticShape& shape);

}  // namespace zun_profile::support
