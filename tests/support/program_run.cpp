#include "tests/support/program_run.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>
#include <string_view>

#include "store/report_store.hpp"
#include "tests/support/synthetic_report.hpp"

namespace zun_profile::support {
namespace {

using zun_package::ProfileStepKind;

constexpr std::array<std::string_view, 16> kComputeKernels = {
    "matmul_f16_tiled_128x128",   "matmul_f16_tiled_64x256",
    "conv2d_nhwc_3x3_stride1",    "layernorm_forward_f32",
    "softmax_rowwise_stable",     "gelu_tanh_approximation",
    "attention_scores_masked",    "attention_context_reduce",
    "reduce_sum_across_rows_f32", "transpose_blocked_32x32",
    "cast_f32_to_f16_vectorised", "adam_update_fused_weights",
    "embedding_gather_sparse",    "dropout_philox_mask",
    "loss_cross_entropy_fwd",     "gemv_f32_column_major",
};

constexpr std::array<std::string_view, 2> kExchangeKernels = {
    "exchange_ring_segment",
    "exchange_halo_rows",
};

constexpr std::string_view kSyncKernel = "sync_all_tiles";

// What the program's steps do, in a repeating pattern: computation and
// exchange alternate, each followed by a synchronization, with an idle wait
// now and then.
constexpr std::array<ProfileStepKind, 16> kKinds = {
    ProfileStepKind::Compute,
    ProfileStepKind::Exchange,
    ProfileStepKind::Synchronization,
    ProfileStepKind::Compute,
    ProfileStepKind::Compute,
    ProfileStepKind::Exchange,
    ProfileStepKind::Synchronization,
    ProfileStepKind::Compute,
    ProfileStepKind::Exchange,
    ProfileStepKind::Synchronization,
    ProfileStepKind::Compute,
    ProfileStepKind::Compute,
    ProfileStepKind::Exchange,
    ProfileStepKind::Synchronization,
    ProfileStepKind::Idle,
    ProfileStepKind::Synchronization,
};

double unit(std::uint64_t& state) {
  return static_cast<double>(next_random(state) >> 11) * 0x1p-53;
}

// The step's own duration, by what it does. A synchronization's is the least
// it takes when every tile is already there.
std::uint32_t own_cycles(ProfileStepKind kind, std::uint64_t& state) {
  const std::uint64_t r = next_random(state);
  switch (kind) {
    case ProfileStepKind::Compute: {
      const std::uint64_t cycles = 200 + r % 3800;
      return static_cast<std::uint32_t>((r >> 32) % 8 == 0 ? cycles * 6
                                                           : cycles);
    }
    case ProfileStepKind::Exchange:
      return static_cast<std::uint32_t>(100 + r % 1400);
    case ProfileStepKind::Synchronization:
      return static_cast<std::uint32_t>(20 + r % 60);
    case ProfileStepKind::Idle:
      break;
  }
  return static_cast<std::uint32_t>(50 + r % 450);
}

// The most a tile's run of a step of `cycles` can take with `jitter`.
std::uint64_t longest(std::uint32_t cycles, double jitter) {
  return static_cast<std::uint64_t>(
             std::ceil(static_cast<double>(cycles) * (1.0 + jitter))) +
         1;
}

}  // namespace

ProgramRun::ProgramRun(const ProgramShape& shape) : shape_(shape) {
  shape_.steps_per_phase = std::max<std::size_t>(1, shape_.steps_per_phase);
  shape_.kernels =
      std::clamp<std::size_t>(shape_.kernels, 1, kComputeKernels.size());
  shape_.layers = std::max<std::size_t>(1, shape_.layers);
  shape_.jitter = std::clamp(shape_.jitter, 0.0, 1.0);
  const std::size_t steps = shape_.steps_per_epoch;
  const std::size_t layer_steps =
      std::max<std::size_t>(1, (steps + shape_.layers - 1) / shape_.layers);
  std::uint64_t state = shape_.seed;
  program_.resize(steps);
  // Where each synchronization ends, counted from the epoch's start: late
  // enough for the slowest tile to arrive, so every tile leaves it at once.
  std::uint64_t barrier = 0;
  std::uint64_t since_barrier = 0;
  for (std::size_t s = 0; s < steps; ++s) {
    Step& entry = program_[s];
    zun_package::ProfileStep& step = entry.step;
    const std::size_t layer = s / layer_steps;
    const std::size_t in_layer = s % layer_steps;
    // A block of three steps (compute, exchange, synchronization) carries
    // one operation; the epoch always ends on a synchronization.
    const std::size_t operation = in_layer / 3 % kOperationTexts.size();
    step.kind = s + 1 == steps ? ProfileStepKind::Synchronization
                               : kKinds[s % kKinds.size()];
    step.local_index = static_cast<std::uint32_t>(s);
    step.phase = static_cast<std::uint32_t>(s / shape_.steps_per_phase);
    const std::string prefix = "layer" + std::to_string(layer) + "/";
    switch (step.kind) {
      case ProfileStepKind::Compute:
        step.kernel = kComputeKernels[(layer * 3 + operation) % shape_.kernels];
        step.operation = prefix + std::string(kOperationTexts[operation]);
        break;
      case ProfileStepKind::Exchange:
        step.kernel = kExchangeKernels[operation % kExchangeKernels.size()];
        step.operation = prefix + std::string(kOperationTexts[operation]);
        break;
      case ProfileStepKind::Synchronization:
        step.kernel = kSyncKernel;
        step.operation = prefix + "sync";
        break;
      case ProfileStepKind::Idle:
        step.operation = prefix + "wait";  // no kernel
        break;
    }
    step.metadata = {{"layer", std::to_string(layer)},
                     {"block", std::to_string(in_layer / kKinds.size())}};
    entry.cycles = own_cycles(step.kind, state);
    if (step.kind == ProfileStepKind::Synchronization) {
      barrier += since_barrier + shape_.max_gap + entry.cycles;
      entry.barrier_end = barrier;
      since_barrier = 0;
    } else {
      since_barrier += shape_.max_gap + longest(entry.cycles, shape_.jitter);
    }
  }
  epoch_cycles_ = barrier;  // the last step is a synchronization
  // A tile's offsets are 32-bit: a longer run would wrap them onto its
  // start, and its samples would read as overlapping the first ones.
  if (epoch_cycles_ * shape_.epochs >= (std::uint64_t{1} << 32)) {
    throw std::invalid_argument(
        "the run spans up to " + std::to_string(epoch_cycles_ * shape_.epochs) +
        " cycles a tile, past its 32-bit counter: fewer epochs or steps");
  }
}

zun_package::TileProfile ProgramRun::tile(std::size_t tile) const {
  zun_package::TileProfile out;
  out.physical_tile = static_cast<std::uint32_t>(tile);
  // Each tile its own stream, independent of which tiles were made before.
  std::uint64_t seed_state = shape_.seed;
  std::uint64_t tile_state = tile;
  std::uint64_t state = next_random(seed_state) ^ next_random(tile_state);
  std::uint64_t counter = next_random(state) & 0xFFFFFFFFu;
  const std::uint64_t span = epoch_cycles_ * shape_.epochs;
  if (shape_.wrap_every > 0 &&
      tile % shape_.wrap_every == 3 % shape_.wrap_every && span / 2 > 0 &&
      span < (std::uint64_t{1} << 32)) {
    // Wraps within the first half of the run.
    counter = 0xFFFFFFFFu - next_random(state) % (span / 2);
  }
  out.samples.reserve(shape_.steps_per_epoch * shape_.epochs);
  std::uint64_t now = 0;  // cycles since the tile's first step started
  for (std::size_t e = 0; e < shape_.epochs; ++e) {
    const std::uint64_t epoch_start = epoch_cycles_ * e;
    for (std::size_t s = 0; s < program_.size(); ++s) {
      const bool first = e == 0 && s == 0;
      if (!first && shape_.skip > 0.0 && unit(state) < shape_.skip) continue;
      const Step& entry = program_[s];
      const std::uint64_t start =
          first ? 0 : now + next_random(state) % (std::uint64_t{shape_.max_gap} + 1);
      std::uint64_t end = 0;
      if (entry.step.kind == ProfileStepKind::Synchronization) {
        end = std::max(epoch_start + entry.barrier_end, start + 1);
      } else {
        const double factor = 1.0 + shape_.jitter * (2.0 * unit(state) - 1.0);
        const double cycles =
            std::round(static_cast<double>(entry.cycles) * factor);
        end = start + std::max<std::uint64_t>(
                          1, static_cast<std::uint64_t>(std::max(cycles, 1.0)));
      }
      zun_package::CycleSample& sample = out.samples.emplace_back();
      sample.step = entry.step;
      sample.step.epoch = static_cast<std::uint32_t>(e);
      // The counter is 32 bits wide: it wraps.
      sample.start_cycle =
          static_cast<std::uint32_t>((counter + start) & 0xFFFFFFFFu);
      sample.end_cycle =
          static_cast<std::uint32_t>((counter + end) & 0xFFFFFFFFu);
      now = end;
    }
  }
  return out;
}

zun_package::ProfileReport program_report(const ProgramShape& shape) {
  const ProgramRun run(shape);
  zun_package::ProfileReport report;
  report.clock_hz = shape.clock_hz;
  report.tiles.reserve(shape.tiles);
  for (std::size_t t = 0; t < shape.tiles; ++t) {
    report.tiles.push_back(run.tile(t));
  }
  return report;
}

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                       start)
      .count();
}

}  // namespace

ProgramWritten write_program_store(const ProgramShape& shape,
                                   const std::filesystem::path& path) {
  const ProgramRun run(shape);
  const std::size_t steps = run.shape().steps_per_epoch;
  // A step is named by its epoch and its place in the program.
  std::vector<bool> seen(steps * run.shape().epochs, false);
  ProgramWritten written;
  zun_store::StoreWriter writer(path, shape.clock_hz);
  for (std::size_t t = 0; t < shape.tiles; ++t) {
    const zun_package::TileProfile tile = run.tile(t);
    for (const zun_package::CycleSample& sample : tile.samples) {
      const std::size_t index =
          std::size_t{sample.step.epoch} * steps + sample.step.local_index;
      if (!seen[index]) {
        seen[index] = true;
        ++written.distinct_steps;
      }
    }
    written.samples += tile.samples.size();
    const auto start = std::chrono::steady_clock::now();
    writer.add_tile(tile);
    written.writer_seconds += seconds_since(start);
  }
  const auto start = std::chrono::steady_clock::now();
  writer.finish();
  written.writer_seconds += seconds_since(start);
  return written;
}

}  // namespace zun_profile::support
