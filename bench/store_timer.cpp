// The library's own times on one store, for comparisons made from outside
// (the Python package's benchmark): opening it, and the default query.
// Prints medians of REPEATS runs as one JSON object.
//   zun_store_timer STORE [REPEATS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/timing.hpp"
#include "query/query.hpp"
#include "store/report_store.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using zun_bench::median;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: zun_store_timer STORE [REPEATS]\n");
    return 2;
  }
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::vector<double> opened;
  std::vector<double> queried;
  for (int i = 0; i < repeats; ++i) {
    Clock::time_point start = Clock::now();
    const zun_store::ReportStore store = zun_store::ReportStore::open(argv[1]);
    opened.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    start = Clock::now();
    const zun_profile::QueryReport answer = zun_profile::query(store, {});
    queried.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    if (answer.groups.empty() && store.sample_count() > 0) return 1;
  }
  std::printf("{\"open_s\": %.6f, \"query_s\": %.6f}\n", median(opened),
              median(queried));
  return 0;
}
