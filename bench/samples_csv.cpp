// Writes the shape benchmark's interleaved report (1024 tiles x 2048
// samples) as a CSV table of its samples, for comparing with what a user
// would pick instead of this library (bench/duckdb/):
//   zun_samples_csv OUT.csv
// Columns: tile (physical), offset (cycles from the tile's first start, as
// the engine counts it), duration, kernel, phase, epoch.
#include <cstdio>
#include <string>

#include "query/engine/selection.hpp"
#include "tests/support/synthetic_report.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zun_samples_csv OUT.csv\n");
    return 2;
  }
  const zun_package::ProfileReport report =
      zun_profile::support::synthetic_report(
          zun_profile::support::interleaved_shape(1024, 2048));
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
