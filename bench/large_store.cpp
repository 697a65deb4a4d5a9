// A store far past what records in memory could hold: written tile by tile
// with StoreWriter, opened, and asked the default query. Prints the times,
// the query's time per sample, and the memory the query adds beyond the
// mapped file. Not a Google Benchmark: one run of each step is the point.
//   zun_large_store PATH SAMPLES [TILES [interleaved|program]]
// "program": every tile runs the same 512 steps epoch after epoch, as many
// epochs as SAMPLES allows (tests/support/program_run.hpp); "interleaved",
// the default: each tile's steps alternate between kernels.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "query/query.hpp"
#include "store/report_store.hpp"
#include "tests/support/program_run.hpp"
#include "tests/support/synthetic_report.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Resident memory now, in bytes (Linux: /proc/self/statm).
double resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  double pages = 0;
  double resident = 0;
  statm >> pages >> resident;
  return resident * 4096.0;
}

double peak_resident_bytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) * 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string shape_name = argc > 4 ? argv[4] : "interleaved";
  if (argc < 3 || argc > 5 ||
      (shape_name != "interleaved" && shape_name != "program")) {
    std::fprintf(stderr,
                 "usage: zun_large_store PATH SAMPLES [TILES "
                 "[interleaved|program]]\n");
    return 2;
  }
  const std::filesystem::path path = argv[1];
  const std::size_t samples = std::strtoull(argv[2], nullptr, 10);
  const std::size_t tiles = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1024;
  if (tiles == 0 || samples < tiles) {
    std::fprintf(stderr,
                 "zun_large_store: SAMPLES and TILES must be at least "
                 "1, SAMPLES at least TILES\n");
    return 2;
  }
  const std::size_t per_tile = samples / tiles;

  Clock::time_point start = Clock::now();
  if (shape_name == "program") {
    zun_profile::support::ProgramShape program;
    program.tiles = tiles;
    program.steps_per_epoch = std::min<std::size_t>(512, per_tile);
    program.epochs = per_tile / program.steps_per_epoch;
    std::printf("program: %zu tiles x %zu steps x %zu epochs\n", tiles,
                program.steps_per_epoch, program.epochs);
    zun_profile::support::write_program_store(program, path);
  } else {
    zun_store::StoreWriter writer(path, 1330000000);
    for (std::size_t t = 0; t < tiles; ++t) {
      // Each tile its own: the interleaved shape, one tile at a time.
      auto shape = zun_profile::support::interleaved_shape(1, per_tile);
      shape.seed = t + 1;
      zun_package::ProfileReport one = zun_profile::support::synthetic_report(shape);
      one.tiles[0].physical_tile = static_cast<std::uint32_t>(t);
      writer.add_tile(one.tiles[0]);
    }
    writer.finish();
  }
  const double write_seconds = since(start);
  const double writer_peak = peak_resident_bytes();
  const double file_bytes = static_cast<double>(std::filesystem::file_size(path));

  start = Clock::now();
  const zun_store::ReportStore store = zun_store::ReportStore::open(path);
  const double open_seconds = since(start);
  const double before_query = resident_bytes();

  start = Clock::now();
  const zun_profile::QueryReport result = zun_profile::query(store, {});
  const double query_seconds = since(start);
  const double peak = peak_resident_bytes();
  const double n = static_cast<double>(store.sample_count());
  std::printf(
      "samples %zu in %zu tiles; file %.1f MB (%.2f bytes a sample)\n"
      "written in %.1f s (peak RSS while writing %.0f MB)\n"
      "opened, every check included, in %.3f s\n"
      "default query: %.3f s, %.1f ns a sample, %zu groups, %zu matched\n"
      "peak RSS %.0f MB: %.1f bytes a sample beyond the mapped file\n",
      store.sample_count(), store.tile_count(), file_bytes / 1e6,
      file_bytes / n, write_seconds, writer_peak / 1e6, open_seconds,
      query_seconds, query_seconds / n * 1e9, result.groups.size(),
      result.matched_sample_count, peak / 1e6,
      (peak - before_query) / n);
  return 0;
}
