// The query engine on reports of many shapes, each case timed side by side
// with `floor` (bench/floor.hpp) on the same report. Each case reports
//   ratio          query time / floor time, both measured in this run
//   extra_MB       the most memory the query held at once, result included
//   B_per_group    that, per group of the answer (where groups are many)
//   transient_B_per_sample  the peak beyond the result, per matched sample
// Memory is counted by this program's operator new: bytes requested, without
// the allocator's own overhead. Each query starts from a trimmed heap.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <malloc.h>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/floor.hpp"
#include "query/activity.hpp"
#include "query/query.hpp"
#include "bench/shapes.hpp"
#include "tests/support/synthetic_report.hpp"

namespace {

std::atomic<std::size_t> g_current{0};
std::atomic<std::size_t> g_peak{0};

void* counted(void* block) {
  if (block == nullptr) throw std::bad_alloc();
  const std::size_t now = g_current.fetch_add(malloc_usable_size(block),
                                              std::memory_order_relaxed) +
                          malloc_usable_size(block);
  std::size_t peak = g_peak.load(std::memory_order_relaxed);
  while (now > peak &&
         !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
  return block;
}

void uncounted(void* block) noexcept {
  if (block == nullptr) return;
  g_current.fetch_sub(malloc_usable_size(block), std::memory_order_relaxed);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return counted(std::malloc(size)); }
void* operator new[](std::size_t size) { return counted(std::malloc(size)); }
void* operator new(std::size_t size, std::align_val_t align) {
  return counted(
      std::aligned_alloc(static_cast<std::size_t>(align),
                         (size + static_cast<std::size_t>(align) - 1) &
                             ~(static_cast<std::size_t>(align) - 1)));
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return operator new(size, align);
}
void operator delete(void* block) noexcept { uncounted(block); }
void operator delete[](void* block) noexcept { uncounted(block); }
void operator delete(void* block, std::size_t) noexcept { uncounted(block); }
void operator delete[](void* block, std::size_t) noexcept { uncounted(block); }
void operator delete(void* block, std::align_val_t) noexcept {
  uncounted(block);
}
void operator delete[](void* block, std::align_val_t) noexcept {
  uncounted(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  uncounted(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  uncounted(block);
}

namespace {

using zun_bench::grouped;
using zun_bench::interleaved_shape;
using zun_profile::GroupBy;
using zun_profile::Query;
using zun_profile::support::PhaseOrder;
using zun_profile::support::SyntheticShape;

using Clock = std::chrono::steady_clock;

// The report of the case being run; consecutive cases on one shape share it.
const zun_package::ProfileReport& report_of(
    const std::string& key, const zun_bench::ReportShape& shape) {
  static std::string built_key;
  static std::unique_ptr<zun_package::ProfileReport> report;
  if (!report || built_key != key) {
    report.reset();
    report = std::make_unique<zun_package::ProfileReport>(
        zun_bench::build_report(shape));
    built_key = key;
  }
  return *report;
}

double floor_seconds(const zun_package::ProfileReport& report) {
  const Clock::time_point start = Clock::now();
  read_floor(report);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Times `query`, or with `buckets` above 0 `activity`, against `floor`.
void run_case(benchmark::State& state, const std::string& key,
              const zun_bench::ReportShape& shape, const Query& request,
              std::size_t buckets) {
  const zun_package::ProfileReport& report = report_of(key, shape);
  double floor_total = 0.0;
  double query_total = 0.0;
  std::size_t peak_added = 0;
  std::size_t result_bytes = 0;
  std::size_t groups = 0;
  std::size_t matched = 0;
  for (auto _ : state) {
    // Every query starts from the same allocator state: what earlier cases
    // and iterations freed is given back first, as a fresh process would
    // have it. Otherwise a query pays for merging the blocks of the answer
    // freed just before it, or finds memory already touched, depending on
    // which cases ran before it.
    malloc_trim(0);
    floor_total += floor_seconds(report);
    const std::size_t before = g_current.load();
    g_peak.store(before);
    const Clock::time_point start = Clock::now();
    const auto measure = [&](auto&& result) {
      const double seconds =
          std::chrono::duration<double>(Clock::now() - start).count();
      query_total += seconds;
      state.SetIterationTime(seconds);
      peak_added = std::max(peak_added, g_peak.load() - before);
      result_bytes = g_current.load() - before;
      groups = result.groups.size();
      benchmark::DoNotOptimize(result);
    };
    if (buckets > 0) {
      measure(zun_profile::activity(report, request, buckets));
    } else {
      zun_profile::QueryReport result = zun_profile::query(report, request);
      matched = result.matched_sample_count;
      measure(std::move(result));
    }
  }
  state.counters["ratio"] = query_total / floor_total;
  state.counters["extra_MB"] = static_cast<double>(peak_added) / 1e6;
  state.counters["groups"] = static_cast<double>(groups);
  if (groups >= 1000) {
    state.counters["B_per_group"] =
        static_cast<double>(peak_added) / static_cast<double>(groups);
  }
  if (matched > 0) {
    state.counters["transient_B_per_sample"] =
        static_cast<double>(peak_added - result_bytes) /
        static_cast<double>(matched);
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(matched));
}

std::vector<zun_bench::ShapeCase> cases() {
  std::vector<zun_bench::ShapeCase> list = zun_bench::shape_matrix();
  // The explorer's activity chart: 200 buckets, the top 10 groups.
  const SyntheticShape mixed = interleaved_shape(1024, 2048);
  Query top_ten;
  top_ten.limit = 10;
  list.push_back({"interleaved/activity_200_buckets", "interleaved", mixed,
                  top_ten, false, 200});
  Query top_ten_operations = grouped(GroupBy::Operation);
  top_ten_operations.limit = 10;
  list.push_back({"interleaved/activity_by_operation", "interleaved", mixed,
                  top_ten_operations, false, 200});

  // Growth: the same shapes at 0.5M to 4M samples.
  for (const std::size_t tiles : {std::size_t{256}, std::size_t{512},
                                  std::size_t{1024}, std::size_t{2048}}) {
    const std::string size = std::to_string(tiles * 2048 / 1024) + "K";
    list.push_back({"growth/interleaved/" + size, "g-i" + size,
                    interleaved_shape(tiles, 2048), Query{}});
    SyntheticShape phases = interleaved_shape(tiles, 2048);
    phases.phases = PhaseOrder::PerSample;
    list.push_back(
        {"growth/phase_per_sample/" + size, "g-p" + size, phases, Query{}});
    SyntheticShape groups = interleaved_shape(tiles, 2048);
    groups.unique_operations = true;
    list.push_back({"growth/group_per_sample/" + size, "g-u" + size, groups,
                    grouped(GroupBy::Operation), true});
  }
  return list;
}

}  // namespace

int main(int argc, char** argv) {
  for (const zun_bench::ShapeCase& c : cases()) {
    benchmark::RegisterBenchmark(("shape/" + c.name).c_str(),
                                 [c](benchmark::State& state) {
                                   run_case(state, c.shape_key, c.shape,
                                            c.request, c.activity_buckets);
                                 })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
