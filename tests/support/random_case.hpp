#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>

#include "query/query.hpp"

// Small random reports and requests that aim at the corners: counter wraps,
// empty and duplicate tiles, one long tile, zero-length and reversed
// samples, durations of 0 and 2^32 - 1, phases one per sample or spread over
// all 32 bits, colliding labels, duplicate metadata names, boundary points
// in time.
namespace zun_profile::support {

// Where the choices come from: a seeded generator, or the bytes of a fuzz
// input (read in order; 0 once they run out).
class Entropy {
 public:
  explicit Entropy(std::uint64_t seed) : random_(seed) {}
  explicit Entropy(std::span<const std::uint8_t> bytes)
      : bytes_(bytes), from_bytes_(true) {}

  // A value in [0, bound); 0 when bound is 0.
  std::uint64_t below(std::uint64_t bound);
  bool chance(std::uint64_t one_in) { return below(one_in) == 0; }

 private:
  std::mt19937_64 random_;
  std::span<const std::uint8_t> bytes_;
  bool from_bytes_ = false;
};

zun_package::ProfileReport random_report(Entropy& entropy);
Query random_query(Entropy& entropy, const zun_package::ProfileReport& report);

// A compact, readable rendering of a case, for a failure message.
std::string describe(const zun_package::ProfileReport& report,
                     const Query& request);

}  // namespace zun_profile::support
