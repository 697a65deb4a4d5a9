// Writes the shape benchmark's interleaved report (1024 tiles x 2048
// samples), or the report of a store, as a CSV table of its samples, for
// comparing with what a user would pick instead of this library
// (bench/duckdb/):
//   zun_samples_csv OUT.csv [STORE]
// Columns: tile (physical), offset (cycles from the tile's first start, as
// the engine counts it), duration, kernel, phase, epoch.
#include <cstdio>
#include <exception>
#include <string>

#include "query/engine/selection.hpp"
#include "store/report_store.hpp"
#include "tests/support/synthetic_report.hpp"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: zun_samples_csv OUT.csv [STORE]\n");
    return 2;
  }
  zun_package::ProfileReport report;
  try {
    report = argc == 3 ? zun_store::ReportStore::open(argv[2]).to_report()
                       : zun_profile::support::synthetic_report(
                             zun_profile::support::interleaved_shape(1024, 2048));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zun_samples_csv: %s\n", error.what());
    return 1;
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fputs("tile,offset,duration,kernel,phase,epoch\n", out);
  for (const zun_package::TileProfile& tile : report.tiles) {
    const std::uint32_t base = zun_profile::detail::time_base(tile);
    for (const zun_package::CycleSample& sample : tile.samples) {
      // Kernel names hold no comma or quote.
      std::fprintf(out, "%u,%llu,%u,%s,%u,%u\n", tile.physical_tile,
                   static_cast<unsigned long long>(
                       zun_profile::detail::sample_offset(sample, base)),
                   zun_profile::detail::duration(sample), sample.step.kernel.c_str(),
                   sample.step.phase, sample.step.epoch);
    }
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
