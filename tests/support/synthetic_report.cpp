#include "tests/support/synthetic_report.hpp"

#include <array>
#include <cmath>
#include <string>
#include <string_view>

namespace zun_profile::support {
namespace {

constexpr std::array<std::string_view, 24> kKernels = {
    "matmul_f16_tiled_128x128",
    "matmul_f16_tiled_64x256",
    "conv2d_nhwc_3x3_stride1",
    "conv2d_nhwc_1x1_pointwise",
    "layernorm_forward_f32",
    "layernorm_backward_f32",
    "softmax_rowwise_stable",
    "gelu_tanh_approximation",
    "attention_scores_masked",
    "attention_context_reduce",
    "embedding_gather_sparse",
    "embedding_scatter_add_grad",
    "reduce_sum_across_rows_f32",
    "all_reduce_ring_segment",
    "transpose_blocked_32x32",
    "cast_f32_to_f16_vectorised",
    "dropout_philox_mask",
    "adam_update_fused_weights",
    "copy",
    "histogram_bucketise_u32",
    "topk_partial_select",
    "loss_cross_entropy_fwd",
    "loss_cross_entropy_bwd",
    "gemv_f32_column_major",
};

zun_package::ProfileStepKind kind_at(std::size_t index) {
  const std::size_t position = index % 16;
  if (position < 2) return zun_package::ProfileStepKind::Exchange;
  if (position < 13) return zun_package::ProfileStepKind::Compute;
  if (position < 15) return zun_package::ProfileStepKind::Synchronization;
  return zun_package::ProfileStepKind::Idle;
}

// A duration of `shape`'s kind from `state`.
std::uint32_t draw_duration(const SyntheticShape& shape, std::uint64_t& state) {
  if (shape.durations == Durations::Narrow) {
    return static_cast<std::uint32_t>(20 + next_random(state) % 200);
  }
  // 10^(6u) for u uniform in [0, 1): log-uniform from 1 to 10^6.
  const double u = static_cast<double>(next_random(state) >> 11) * 0x1p-53;
  return static_cast<std::uint32_t>(std::pow(10.0, 6.0 * u));
}

}  // namespace

zun_package::ProfileReport synthetic_report(const SyntheticShape& shape) {
  std::uint64_t state = shape.seed;
  zun_package::ProfileReport report;
  report.clock_hz = 1330000000;
  report.tiles.resize(shape.tiles);
  for (std::size_t t = 0; t < shape.tiles; ++t) {
    zun_package::TileProfile& tile = report.tiles[t];
    tile.physical_tile = static_cast<std::uint32_t>(t);
    // Every eighth tile starts just below the wrap.
    std::uint32_t counter = static_cast<std::uint32_t>(next_random(state));
    if (t % 8 == 0) counter = 0xFFFFFFFFu - (counter % 50000u);
    // One timeline: every tile draws the same durations.
    std::uint64_t timing = shape.seed * 31 + 7;
    std::uint64_t& durations = shape.one_timeline ? timing : state;
    tile.samples.resize(shape.samples_per_tile);
    for (std::size_t i = 0; i < shape.samples_per_tile; ++i) {
      zun_package::CycleSample& sample = tile.samples[i];
      zun_package::ProfileStep& step = sample.step;
      std::size_t phase = i / 64;
      if (shape.phases == PhaseOrder::PerSample) phase = i;
      if (shape.phases == PhaseOrder::Wide) phase = next_random(state) % (1u << 20);
      const std::size_t kernel = shape.kernels == KernelOrder::Runs
                                     ? (i / 64 * 7 + (i % 64) / 16 + t % 3) % 24
                                     : next_random(state) % 24;
      step.local_index = static_cast<std::uint32_t>(i);
      step.phase = static_cast<std::uint32_t>(phase);
      step.epoch = static_cast<std::uint32_t>(
          shape.random_epochs ? next_random(state) % 4 : (i / 32) % 2);
      step.kind = kind_at(shape.kernels == KernelOrder::Runs ? i : kernel);
      step.kernel = kKernels[kernel];
      const std::size_t layer = i / 64 % 48;
      step.operation = "layer" + std::to_string(layer) + "/" +
                       std::string(kOperationTexts[kernel % kOperationTexts.size()]);
      if (shape.unique_operations) {
        step.operation += '#';
        step.operation += std::to_string(t * shape.samples_per_tile + i);
      }
      step.metadata = {{"block", std::to_string(i / 16 % 8)},
                       {"layer", std::to_string(layer)}};
      sample.start_cycle = counter;
      counter += draw_duration(shape, durations);
      sample.end_cycle = counter;
    }
  }
  return report;
}

}  // namespace zun_profile::support
