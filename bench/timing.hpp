#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

// Wall-clock timing shared by the benchmarks that time cases side by side
// themselves (alternating rounds, medians), rather than through the
// benchmark library's own loop.
namespace zun_bench {

// How long `body` takes, in seconds.
template <typename Body>
double seconds_of(Body&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

// The median of `values` (the upper one of an even count); 0 when empty.
inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

}  // namespace zun_bench
