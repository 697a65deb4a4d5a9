// Writes a store of SAMPLES samples with StoreWriter, in tiles of at most
// 65536 samples, a tile's worth of memory at a time: big stores for the
// tool's tests.
//   zun_write_store PATH SAMPLES
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "store/report_store.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zun_write_store PATH SAMPLES\n");
    return 2;
  }
  constexpr std::size_t kTileSamples = 65536;
  std::size_t left = std::strtoull(argv[2], nullptr, 10);
  zun_store::StoreWriter writer(argv[1], 1000000000);
  for (std::uint32_t physical = 0; left > 0; ++physical) {
    zun_package::TileProfile tile;
    tile.physical_tile = physical;
    tile.samples.resize(std::min(left, kTileSamples));
    left -= tile.samples.size();
    for (std::size_t i = 0; i < tile.samples.size(); ++i) {
      zun_package::CycleSample& sample = tile.samples[i];
      sample.start_cycle = static_cast<std::uint32_t>(10 * i);
      sample.end_cycle = static_cast<std::uint32_t>(10 * i + 7);
      sample.step.kernel = i % 2 == 0 ? "compute_kernel" : "exchange_kernel";
      sample.step.operation = "step";
    }
    writer.add_tile(tile);
  }
  writer.finish();
  return 0;
}
