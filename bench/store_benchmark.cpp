// The store against the records, side by side in one process on the same
// report, shape by shape. Each case times the same query over the records
// and over a store of them, alternating, and reports
//   store_over_records  store query time / records query time (medians)
//   rows_share          for cases whose answer has many rows: the share of
//                       the store query that building the rows takes (the
//                       same request with no rows, subtracted)
//   bytes_per_sample    the store file's size per sample
//   open_over_query     opening the store file (every check included) /
//                       the default query over the records
// The time shown is the store query's.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "query/query.hpp"
#include "store/report_store.hpp"
#include "bench/shapes.hpp"
#include "bench/timing.hpp"
#include "tests/support/synthetic_report.hpp"

namespace {

using zun_bench::grouped;
using zun_bench::interleaved_shape;
using zun_profile::GroupBy;
using zun_profile::Query;
using zun_bench::median;
using zun_bench::seconds_of;

struct Built {
  std::string key;
  std::unique_ptr<zun_package::ProfileReport> report;
  std::unique_ptr<zun_store::ReportStore> store;  // opened from its file
  std::filesystem::path path;
  double bytes_per_sample = 0.0;
};

// The report and store of the case being run; consecutive cases on one
// shape share them.
Built& built_for(const std::string& key, const zun_bench::ReportShape& shape) {
  static Built built;
  if (built.key != key || !built.report) {
    built.store.reset();
    built.report.reset();
    if (!built.path.empty()) std::filesystem::remove(built.path);
    built.report = std::make_unique<zun_package::ProfileReport>(
        zun_bench::build_report(shape));
    built.path = std::filesystem::temp_directory_path() /
                 ("zun_store_benchmark_" + key + ".zun");
    zun_store::write_store(*built.report, built.path);
    built.store = std::make_unique<zun_store::ReportStore>(
        zun_store::ReportStore::open(built.path));
    built.bytes_per_sample =
        static_cast<double>(built.store->image_bytes()) /
        static_cast<double>(std::max<std::size_t>(1, built.store->sample_count()));
    built.key = key;
  }
  return built;
}

void run_case(benchmark::State& state, const std::string& key,
              const zun_bench::ReportShape& shape, const Query& request,
              bool measure_rows) {
  Built& built = built_for(key, shape);
  std::vector<double> records;
  std::vector<double> stored;
  std::vector<double> without_rows;
  std::vector<double> opened;
  std::vector<double> default_records;
  Query no_rows = request;
  no_rows.sample_limit = 0;
  no_rows.limit = 0;
  for (auto _ : state) {
    records.push_back(seconds_of([&] {
      benchmark::DoNotOptimize(zun_profile::query(*built.report, request));
    }));
    const double store_seconds = seconds_of([&] {
      benchmark::DoNotOptimize(zun_profile::query(*built.store, request));
    });
    stored.push_back(store_seconds);
    state.SetIterationTime(store_seconds);
    if (measure_rows) {
      without_rows.push_back(seconds_of([&] {
        benchmark::DoNotOptimize(zun_profile::query(*built.store, no_rows));
      }));
    }
    opened.push_back(seconds_of([&] {
      benchmark::DoNotOptimize(zun_store::ReportStore::open(built.path));
    }));
    default_records.push_back(seconds_of([&] {
      benchmark::DoNotOptimize(zun_profile::query(*built.report, Query{}));
    }));
  }
  state.counters["store_over_records"] = median(stored) / median(records);
  state.counters["records_ms"] = median(records) * 1e3;
  if (measure_rows) {
    state.counters["rows_share"] =
        1.0 - median(without_rows) / median(stored);
  }
  state.counters["bytes_per_sample"] = built.bytes_per_sample;
  state.counters["open_over_query"] = median(opened) / median(default_records);
  state.counters["open_ms"] = median(opened) * 1e3;
}

// The matrix, and the request the store answers best: filters on texts.
std::vector<zun_bench::ShapeCase> cases() {
  std::vector<zun_bench::ShapeCase> list = zun_bench::shape_matrix();
  Query filtered;
  filtered.kernel = "attention_softmax_f32";
  filtered.operation_contains = "s";
  list.insert(list.begin() + 5, {"interleaved/kernel_and_text_filters",
                                 "interleaved", interleaved_shape(1024, 2048),
                                 filtered});
  return list;
}

}  // namespace

int main(int argc, char** argv) {
  for (const zun_bench::ShapeCase& c : cases()) {
    benchmark::RegisterBenchmark(("store/" + c.name).c_str(),
                                 [c](benchmark::State& state) {
                                   run_case(state, c.shape_key, c.shape,
                                            c.request, c.many_rows);
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
