// Builds a two-tile report in memory, asks for its kernels and prints them;
// then answers the same request as two partials, one per tile, merged, and
// on two threads of its own.
#include <cstddef>
#include <cstdio>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "query/parallel.hpp"
#include "query/partial.hpp"
#include "query/query.hpp"

int main() {
  zun_package::ProfileReport report;
  report.clock_hz = 1000000000;  // 1 GHz
  zun_package::CycleSample add;
  add.step.kernel = "add";
  add.start_cycle = 100;
  add.end_cycle = 120;
  report.tiles.push_back({2, {add}});
  add.start_cycle = 200;  // another tile: its own time zero
  add.end_cycle = 230;
  report.tiles.push_back({3, {add}});

  zun_profile::Query request;  // group by kernel, longest phase first
  request.sample_limit = 1;
  const zun_profile::QueryReport result = zun_profile::query(report, request);
  for (const zun_profile::GroupSummary& group : result.groups) {
    std::printf("%s: %zu samples, %llu phase cycles, %.4f active tiles\n",
                group.name.c_str(), group.sample_count,
                static_cast<unsigned long long>(group.phase_cycles),
                group.average_active_tiles);
  }
  std::printf("longest: tile %u, %u cycles\n", result.samples[0].physical_tile,
              result.samples[0].duration);

  const auto store = zun_store::ReportStore::from_report(report);
  zun_profile::QueryPartial first = zun_profile::partial_query(store, request, 0, 1);
  zun_profile::merge(first, zun_profile::partial_query(store, request, 1, 1));
  const zun_profile::QueryReport merged =
      zun_profile::finish(std::move(first), request);
  std::printf("merged from partials: %llu phase cycles\n",
              static_cast<unsigned long long>(merged.groups[0].phase_cycles));

  // The library starts no thread: it hands its tasks to a runner of ours.
  const zun_profile::TaskRunner on_threads =
      [](std::size_t count, const std::function<void(std::size_t)>& task) {
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < count; ++i) threads.emplace_back(task, i);
        for (std::thread& thread : threads) thread.join();
      };
  const zun_profile::QueryReport parallel =
      zun_profile::query(store, request, 2, on_threads);
  std::printf("on 2 threads: %llu phase cycles\n",
              static_cast<unsigned long long>(parallel.groups[0].phase_cycles));
}
