#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "query/query.hpp"
#include "tests/support/program_run.hpp"
#include "tests/support/synthetic_report.hpp"

// The shapes and requests the benchmarks share.
namespace zun_bench {

using zun_profile::support::interleaved_shape;

// A report to build: samples of a synthetic shape, or a program every tile
// runs.
using ReportShape = std::variant<zun_profile::support::SyntheticShape,
                                 zun_profile::support::ProgramShape>;

inline zun_package::ProfileReport build_report(const ReportShape& shape) {
  if (const auto* program =
          std::get_if<zun_profile::support::ProgramShape>(&shape)) {
    return zun_profile::support::program_report(*program);
  }
  return zun_profile::support::synthetic_report(
      std::get<zun_profile::support::SyntheticShape>(shape));
}

// The program-shaped run at the benchmarks' scale: 256 tiles run 64 steps
// (two layers of 32) for 128 epochs, a phase per step, skipping 1 % of the
// steps: about 2M samples, 8,192 distinct steps.
inline zun_profile::support::ProgramShape program_shape() {
  zun_profile::support::ProgramShape shape;
  shape.tiles = 256;
  shape.steps_per_epoch = 64;
  shape.epochs = 128;
  shape.layers = 2;
  shape.skip = 0.01;
  return shape;
}

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
  ReportShape shape;
  zun_profile::Query request;
  bool many_rows = false;  // the answer has a row per group or sample
  std::size_t activity_buckets = 0;  // above 0: time `activity` instead
};

// The matrix of report shapes every engine benchmark measures: the
// interleaved report asked every way, then one query on each other shape,
// then the program-shaped run asked a few ways.
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
  const zun_profile::support::ProgramShape program = program_shape();
  list.push_back({"program/default", "program", program, Query{}});
  list.push_back(
      {"program/by_phase", "program", program, grouped(GroupBy::Phase)});
  list.push_back({"program/by_operation", "program", program,
                  grouped(GroupBy::Operation)});
  return list;
}

}  // namespace zun_bench
