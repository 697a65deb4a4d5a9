#pragma once

// Cutting a source's tile entries into consecutive ranges of about equal
// samples, for passes that run a range per task. Internal: not installed.
#include <cstddef>
#include <vector>

namespace zun_profile::detail {

// Tile entries [first, end), holding `samples` samples.
struct TileSpan {
  std::size_t first;
  std::size_t end;
  std::size_t samples;
};

// `parts` consecutive ranges of about equal samples, each of one tile at
// least (parts is at most the tile entries).
template <typename Source>
std::vector<TileSpan> cut_tiles(const Source& source, std::size_t parts) {
  const std::size_t tiles = source.tile_count();
  const std::size_t total = source.sample_count();
  std::vector<TileSpan> spans;
  std::size_t first = 0;
  std::size_t before = 0;  // samples of the ranges so far
  for (std::size_t r = 1; r <= parts; ++r) {
    const std::size_t goal = total / parts * r + total % parts * r / parts;
    const std::size_t last_end = tiles - (parts - r);  // room for the rest
    std::size_t end = first;
    std::size_t samples = 0;
    while (end < last_end) {
      const std::size_t size = source.tile_size(end);
      if (end > first && r < parts && before + samples + size > goal) break;
      samples += size;
      ++end;
    }
    spans.push_back({first, end, samples});
    before += samples;
    first = end;
  }
  return spans;
}

}  // namespace zun_profile::detail
