// Writes a synthetic report file for the tests that need a big one, as
// JSON, or as a store where PATH ends in ".zun":
//   zun_write_report PATH TILES SAMPLES_PER_TILE [interleaved]
// "interleaved": each tile's steps alternate between kernels, as a tiled
// processor's do, instead of running 16 of one kernel at a time.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/report_store.hpp"
#include "tests/support/report_json.hpp"
#include "tests/support/synthetic_report.hpp"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: zun_write_report PATH TILES SAMPLES [interleaved]\n");
    return 2;
  }
  zun_profile::support::SyntheticShape shape;
  shape.tiles = std::strtoull(argv[2], nullptr, 10);
  shape.samples_per_tile = std::strtoull(argv[3], nullptr, 10);
  if (argc == 5 && std::string(argv[4]) == "interleaved") {
    shape.kernels = zun_profile::support::KernelOrder::Interleaved;
    shape.random_epochs = true;
  }
  const zun_package::ProfileReport report =
      zun_profile::support::synthetic_report(shape);
  if (std::string_view(argv[1]).ends_with(".zun")) {
    zun_store::StoreWriter writer(argv[1], report.clock_hz);
    for (const zun_package::TileProfile& tile : report.tiles) {
      writer.add_tile(tile);
    }
    writer.finish();
    return 0;
  }
  const std::string text = zun_profile::support::report_json(report);
  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written =
      std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written ? 0 : 1;
}
