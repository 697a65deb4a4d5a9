// Query cost against the least that answering must read. Every case reports
// samples per second; compare each with `floor` at the same size.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include <benchmark/benchmark.h>

#include "bench/floor.hpp"
#include "query/query.hpp"
#include "tests/support/synthetic_report.hpp"

namespace {

using zun_profile::GroupBy;
using zun_profile::Query;

constexpr std::size_t kSamplesPerTile = 2048;

// One report per size, built once and shared by every case of that size.
const zun_package::ProfileReport& report_of(std::size_t tiles) {
  static std::map<std::size_t, std::unique_ptr<zun_package::ProfileReport>>
      reports;
  auto& slot = reports[tiles];
  if (!slot) {
    slot = std::make_unique<zun_package::ProfileReport>(
        zun_profile::support::synthetic_report(
            {.tiles = tiles, .samples_per_tile = kSamplesPerTile, .seed = 1}));
  }
  return *slot;
}

std::size_t tiles_arg(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0));
}

void count_samples(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * state.range(0) *
                          static_cast<std::int64_t>(kSamplesPerTile));
}

void BM_Floor(benchmark::State& state) {
  const zun_package::ProfileReport& report = report_of(tiles_arg(state));
  for (auto _ : state) read_floor(report);
  count_samples(state);
}

void run_query(benchmark::State& state, const Query& request) {
  const zun_package::ProfileReport& report = report_of(tiles_arg(state));
  for (auto _ : state) {
    zun_profile::QueryReport result = zun_profile::query(report, request);
    benchmark::DoNotOptimize(result);
  }
  count_samples(state);
}

void BM_DefaultQuery(benchmark::State& state) { run_query(state, Query{}); }

void BM_GroupByPhase(benchmark::State& state) {
  Query request;
  request.group_by = GroupBy::Phase;
  run_query(state, request);
}

void BM_GroupByTile(benchmark::State& state) {
  Query request;
  request.group_by = GroupBy::Tile;
  run_query(state, request);
}

void BM_GroupByMetadata(benchmark::State& state) {
  Query request;
  request.group_by = GroupBy::Metadata;
  request.metadata_key = "layer";
  run_query(state, request);
}

void BM_KernelFilter(benchmark::State& state) {
  Query request;
  request.kernel = "softmax_rowwise_stable";
  run_query(state, request);
}

void BM_AtOffsetWithRows(benchmark::State& state) {
  Query request;
  request.at_offset = 100000;
  request.sample_limit = 100;
  run_query(state, request);
}

void BM_SampleRows(benchmark::State& state) {
  Query request;
  request.sample_limit = 1000;
  run_query(state, request);
}

// 1024 tiles of 2048 samples is the 2M-sample report every case runs on.
constexpr std::int64_t kTiles2M = 1024;

BENCHMARK(BM_Floor)->Arg(kTiles2M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DefaultQuery)->Arg(kTiles2M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GroupByPhase)->Arg(kTiles2M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GroupByTile)->Arg(kTiles2M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GroupByMetadata)->Arg(kTiles2M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KernelFilter)->Arg(kTiles2M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AtOffsetWithRows)->Arg(kTiles2M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SampleRows)->Arg(kTiles2M)->Unit(benchmark::kMillisecond);

// Growth: 64K to 8M samples.
BENCHMARK(BM_Floor)
    ->Name("BM_FloorBySize")
    ->RangeMultiplier(4)
    ->Range(32, 4096)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DefaultQuery)
    ->Name("BM_DefaultQueryBySize")
    ->RangeMultiplier(4)
    ->Range(32, 4096)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
