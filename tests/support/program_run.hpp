#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "report/profile_report.hpp"

// A run shaped like a real program on a tiled processor: every tile runs the
// same sequence of steps, epoch after epoch, each tile with its own
// durations, gaps and counter start, some tiles skipping some steps. Tiles
// meet at every synchronization step, as a bulk-synchronous program's do, so
// the runs of one step line up across tiles instead of drifting apart.
//
// Tiles are made one at a time, so a run of 10^8 samples can be written
// tile by tile with bounded memory; the same shape and seed give the same
// run, tile for tile, whichever tiles are asked for and in which order.
namespace zun_profile::support {

struct ProgramShape {
  std::size_t tiles = 1472;
  std::size_t steps_per_epoch = 512;  // the program: one pass of its steps
  std::size_t epochs = 132;           // passes of the program
  // Each tile's duration of a step is the step's own duration times a factor
  // drawn from [1 - jitter, 1 + jitter]; jitter is 0 to 1.
  double jitter = 0.1;
  // Chance that a tile skips one step of one epoch (the run's very first
  // step is never skipped: it is every tile's time zero).
  double skip = 0.0;
  std::uint64_t seed = 1;
  std::uint64_t clock_hz = 1330000000;
  // Cycles between a tile's consecutive steps: drawn from 0..max_gap.
  std::uint32_t max_gap = 24;
  std::size_t steps_per_phase = 1;  // phase = step in the epoch / this
  std::size_t kernels = 8;          // distinct compute kernels, 1 to 16
  std::size_t layers = 16;          // the program's steps are cut into layers
  // Every this many tiles (from tile 3), the counter starts close enough
  // below 2^32 to wrap during the run, so that a small run wraps too; other
  // tiles start anywhere in 32 bits. 0: no tile is placed so.
  std::size_t wrap_every = 8;
};

// The program of a shape, built once; tile(t) then makes tile t's records.
class ProgramRun {
 public:
  // Throws std::invalid_argument when a tile would run past its 32-bit
  // counter (about 4 * 10^9 cycles).
  explicit ProgramRun(const ProgramShape& shape);

  const ProgramShape& shape() const noexcept { return shape_; }

  // Tile entry `tile` (below shape().tiles), physical tile number `tile`:
  // its samples in execution order.
  zun_package::TileProfile tile(std::size_t tile) const;

  // Samples the run holds when no step is skipped.
  std::size_t full_sample_count() const noexcept {
    return shape_.tiles * shape_.steps_per_epoch * shape_.epochs;
  }

 private:
  // One step of the program as every tile runs it, but for the epoch.
  struct Step {
    zun_package::ProfileStep step;
    std::uint32_t cycles = 1;       // its own duration before jitter
    std::uint64_t barrier_end = 0;  // synchronization: offset in the epoch
                                    // at which every tile leaves it
  };
  ProgramShape shape_;
  std::vector<Step> program_;
  std::uint64_t epoch_cycles_ = 0;  // from one epoch's start to the next's
};

// The whole run as one report, for tests and for benchmarks that hold the
// records in memory.
zun_package::ProfileReport program_report(const ProgramShape& shape);

// What write_program_store wrote.
struct ProgramWritten {
  std::size_t samples = 0;
  // Steps that differ in any field (epoch included) that some tile ran.
  std::size_t distinct_steps = 0;
  // Time spent in the writer's calls, apart from making the records.
  double writer_seconds = 0.0;
};

// Writes the run as a store file at `path` with StoreWriter, one tile at a
// time: memory holds one tile's records, whatever the run's size. Throws
// zun_store::StoreError as StoreWriter does.
ProgramWritten write_program_store(const ProgramShape& shape,
                                   const std::filesystem::path& path);

}  // namespace zun_profile::support
