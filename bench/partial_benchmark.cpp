// Queries over threads and in partials, side by side in one process on the
// same store, shape by shape. Each case times, alternating:
//   the single pass      query(store, request), on one thread
//   2 threads            the tool's query on 2 threads (the query cut into
//                        two parts, its runs swept once)
//   2 partials           two ranges answered as partials on 2 threads and
//                        merged (what shards do, and what the tool did for
//                        one store before it cut the query into parts)
//   8 ranges             partial_query on 8 ranges one after another and
//                        their finish together, all on one thread: the CPU time
//                        that cutting into partials costs in all
// and reports
//   two_threads_speedup  single pass / 2 threads (medians)
//   two_partials_speedup single pass / 2 partials
//   merged_8_cost        8 ranges / single pass
//   partial_bytes_per_sample, partial_bytes_per_group
//                        to_bytes of the whole store's partial
//   store_bytes_per_sample
// The time shown is the 2-thread query's.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/shapes.hpp"
#include "bench/timing.hpp"
#include "frontend_core/querying/parallel_query.hpp"
#include "query/partial.hpp"
#include "query/query.hpp"
#include "store/report_store.hpp"
#include "tests/support/synthetic_report.hpp"

namespace {

using zun_profile::Query;
using zun_bench::median;
using zun_bench::seconds_of;

struct Built {
  std::string key;
  std::unique_ptr<zun_store::ReportStore> store;
};

zun_store::ReportStore& store_for(const std::string& key,
                                  const zun_bench::ReportShape& shape) {
  static Built built;
  if (built.key != key || !built.store) {
    built.store.reset();
    built.store = std::make_unique<zun_store::ReportStore>(
        zun_store::ReportStore::from_report(zun_bench::build_report(shape)));
    built.key = key;
  }
  return *built.store;
}

zun_profile::QueryReport in_eight_ranges(const zun_store::ReportStore& store,
                                         const Query& request) {
  const auto ranges =
      profile_query::split_tiles(profile_query::pointers_to(std::span(&store, 1)), 8);
  std::vector<zun_profile::QueryPartial> partials;
  for (const profile_query::TileRange& range : ranges) {
    partials.push_back(
        zun_profile::partial_query(store, request, range.first, range.count));
  }
  return zun_profile::finish(std::move(partials), request);
}

zun_profile::QueryReport in_two_partials(const zun_store::ReportStore& store,
                                         const Query& request) {
  const auto ranges = profile_query::split_tiles(
      profile_query::pointers_to(std::span(&store, 1)), 2);
  std::vector<zun_profile::QueryPartial> partials(ranges.size());
  profile_query::thread_runner(2)(ranges.size(), [&](std::size_t r) {
    partials[r] = zun_profile::partial_query(store, request, ranges[r].first,
                                             ranges[r].count);
  });
  return zun_profile::finish(std::move(partials), request);
}

void run_case(benchmark::State& state, const zun_bench::ShapeCase& c) {
  const zun_store::ReportStore& store = store_for(c.shape_key, c.shape);
  std::vector<double> single;
  std::vector<double> two;
  std::vector<double> two_partials;
  std::vector<double> eight;
  for (auto _ : state) {
    single.push_back(seconds_of([&] {
      benchmark::DoNotOptimize(zun_profile::query(store, c.request));
    }));
    const double threads = seconds_of([&] {
      benchmark::DoNotOptimize(
          profile_query::query_shards(std::span(&store, 1), c.request, 2));
    });
    two.push_back(threads);
    state.SetIterationTime(threads);
    two_partials.push_back(seconds_of(
        [&] { benchmark::DoNotOptimize(in_two_partials(store, c.request)); }));
    eight.push_back(seconds_of(
        [&] { benchmark::DoNotOptimize(in_eight_ranges(store, c.request)); }));
  }
  const zun_profile::QueryPartial whole =
      zun_profile::partial_query(store, c.request, 0, store.tile_count());
  const auto bytes = static_cast<double>(zun_profile::to_bytes(whole).size());
  const auto samples =
      static_cast<double>(std::max<std::size_t>(1, store.sample_count()));
  state.counters["two_threads_speedup"] = median(single) / median(two);
  state.counters["two_partials_speedup"] = median(single) / median(two_partials);
  state.counters["merged_8_cost"] = median(eight) / median(single);
  state.counters["single_ms"] = median(single) * 1e3;
  state.counters["partial_bytes_per_sample"] = bytes / samples;
  state.counters["partial_bytes_per_group"] =
      bytes / static_cast<double>(std::max<std::size_t>(1, whole.group_count()));
  state.counters["store_bytes_per_sample"] =
      static_cast<double>(store.image_bytes()) / samples;
}

}  // namespace

int main(int argc, char** argv) {
  for (const zun_bench::ShapeCase& c : zun_bench::shape_matrix()) {
    if (c.activity_buckets > 0) continue;
    benchmark::RegisterBenchmark(("partial/" + c.name).c_str(),
                                 [c](benchmark::State& state) {
                                   run_case(state, c);
                                 })
        ->UseManualTime()
        ->Iterations(7)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
