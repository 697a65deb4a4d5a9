#pragma once

#include <cstddef>

#include "query/query.hpp"
#include "tests/support/synthetic_report.hpp"

// The shapes and requests the benchmarks share.
namespace zun_bench {

// A tiled processor's profile: each tile's consecutive steps alternate
// between kernels, epochs drawn per sample.
inline zun_profile::support::SyntheticShape interleaved(std::size_t tiles,
                                                        std::size_t samples) {
  zun_profile::support::SyntheticShape shape;
  shape.tiles = tiles;
  shape.samples_per_tile = samples;
  shape.kernels = zun_profile::support::KernelOrder::Interleaved;
  shape.random_epochs = true;
  return shape;
}

// The default request grouped by `group_by` (by metadata: the key "layer").
inline zun_profile::Query grouped(zun_profile::GroupBy group_by) {
  zun_profile::Query request;
  request.group_by = group_by;
  if (group_by == zun_profile::GroupBy::Metadata) request.metadata_key = "layer";
  return request;
}

}  // namespace zun_bench
