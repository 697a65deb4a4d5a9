// Writes a synthetic report file for the tests that need a big one:
//   zun_write_report PATH TILES SAMPLES_PER_TILE
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/report_json.hpp"
#include "tests/support/synthetic_report.hpp"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: zun_write_report PATH TILES SAMPLES\n");
    return 2;
  }
  const std::string text =
      zun_profile::support::report_json(zun_profile::support::synthetic_report(
          {.tiles = std::strtoull(argv[2], nullptr, 10),
           .samples_per_tile = std::strtoull(argv[3], nullptr, 10),
           .seed = 1}));
  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written =
      std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written ? 0 : 1;
}
