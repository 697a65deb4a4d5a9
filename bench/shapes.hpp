#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "query/query.hpp"
#include "tests/support/synthetic_report.hpp"

// The shapes and requests the benchmarks share.
namespace zun_bench {

using zun_profile::support::interleaved_shape;

// The default request grouped by `group_by` (by metadata: the key "layer").
inline zun_profile::Query grouped(zun_profile::GroupBy group_by) {
  zun_profile::Query request;
  request.group_by = group_by;
  if (group_by == zun_profile::GroupBy::Metadata) request.metadata_key = "layer";
  return request;
}

// One query on one shape of report.
struct ShapeCase {
  std::string name;       // "shape/request"
  std::string shape_key;  // cases with equal keys share one report
  zun_profile::support::SyntheticShape shape;
  zun_profile::Query request;
  bool many_rows = false;  // the answer has a row per group or sample
  std::size_t activity_buckets = 0;  // above 0: time `activity` instead
};

// The matrix of report shapes every engine benchmark measures: the
// interleaved report asked every way, then one query on each other shape.
inline std::vector<ShapeCase> shape_matrix() {
  using zun_profile::GroupBy;
  using zun_profile::Query;
  using zun_profile::support::Durations;
  using zun_profile::support::PhaseOrder;
  using zun_profile::support::SyntheticShape;
  std::vector<ShapeCase> list;
  const SyntheticShape mixed = interleaved_shape(1024, 2048);
  list.push_back({"interleaved/default", "interleaved", mixed, Query{}});
  list.push_back(
      {"interleaved/by_phase", "interleaved", mixed, grouped(GroupBy::Phase)});
  list.push_back(
      {"interleaved/by_tile", "interleaved", mixed, grouped(GroupBy::Tile)});
  list.push_back({"interleaved/by_metadata", "interleaved", mixed,
                  grouped(GroupBy::Metadata)});
  list.push_back({"interleaved/by_operation", "interleaved", mixed,
                  grouped(GroupBy::Operation)});
  Query every_row;
  every_row.sample_limit = SIZE_MAX;
  list.push_back({"interleaved/every_sample_a_row", "interleaved", mixed,
                  every_row, true});

  SyntheticShape runs;  // the original benchmark's report
  list.push_back({"kernel_runs/default", "runs", runs, Query{}});
  SyntheticShape overlap = mixed;
  overlap.one_timeline = true;
  list.push_back({"full_overlap/default", "overlap", overlap, Query{}});
  SyntheticShape wide = mixed;
  wide.durations = Durations::LogUniform;
  list.push_back({"wide_durations/default", "wide", wide, Query{}});
  list.push_back(
      {"16_tiles/default", "16tiles", interleaved_shape(16, 131072), Query{}});
  SyntheticShape per_sample = mixed;
  per_sample.phases = PhaseOrder::PerSample;
  list.push_back(
      {"phase_per_sample/default", "persample", per_sample, Query{}});
  list.push_back(
      {"1_tile/default", "1tile", interleaved_shape(1, 2048 * 1024), Query{}});
  SyntheticShape wide_phases = mixed;
  wide_phases.phases = PhaseOrder::Wide;
  list.push_back({"phases_2^20/default", "widephases", wide_phases, Query{}});
  SyntheticShape unique = mixed;
  unique.unique_operations = true;
  list.push_back({"unique_operations/by_operation", "unique", unique,
                  grouped(GroupBy::Operation), true});
  list.push_back({"1M_tiles_x_2/by_tile", "1Mtiles",
                  interleaved_shape(1 << 20, 2), grouped(GroupBy::Tile), true});
  return list;
}

}  // namespace zun_bench
