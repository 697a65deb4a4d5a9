#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "query/result.hpp"
#include "report/profile_report.hpp"

// The rows of individual samples: the longest selected samples, longest
// first.
namespace zun_profile {

// A selected sample that may become a row. Borrows the sample from the
// report, so it lives only during one query.
struct Candidate {
  std::uint32_t tile = 0;      // physical tile holding the sample
  std::uint64_t offset = 0;    // start, cycles from the tile's time zero
  std::uint32_t duration = 0;  // cycles
  const zun_package::CycleSample* sample = nullptr;  // never null in a row
};

// The row for `candidate`: its numbers, and copies of its step's texts and
// metadata, so the row outlives the report.
SampleRecord sample_record(Candidate candidate);

// Keeps the `limit` best of the candidates offered, where better means
// longer, then on a smaller tile, then at a smaller offset, then met earlier.
// The met order makes every key unique, so the rows are exactly those a
// stable sort of all candidates would put first; only `limit` of them are
// ever held.
class TopSamples {
 public:
  explicit TopSamples(std::size_t limit) : limit_(limit) {}

  // Offers the next candidate in the order met.
  void offer(const Candidate& candidate) {
    const Ranked ranked{candidate, offered_++};
    if (kept_.size() < limit_) {
      push(ranked);
    } else if (limit_ > 0 && better(ranked, kept_.front())) {
      replace_worst(ranked);
    }
  }

  // The rows, best first. Leaves the selection empty.
  std::vector<SampleRecord> take_rows();

 private:
  struct Ranked {
    Candidate candidate;
    std::size_t order;  // position among the candidates offered
  };

  static bool better(const Ranked& a, const Ranked& b) noexcept {
    if (a.candidate.duration != b.candidate.duration) {
      return a.candidate.duration > b.candidate.duration;
    }
    if (a.candidate.tile != b.candidate.tile) {
      return a.candidate.tile < b.candidate.tile;
    }
    if (a.candidate.offset != b.candidate.offset) {
      return a.candidate.offset < b.candidate.offset;
    }
    return a.order < b.order;
  }

  void push(const Ranked& ranked);
  void replace_worst(const Ranked& ranked);

  std::size_t limit_;
  std::size_t offered_ = 0;
  std::vector<Ranked> kept_;  // a heap with the worst kept row in front
};

}  // namespace zun_profile
