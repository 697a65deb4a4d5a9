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

// The same, written into `row` (a default row), which saves moving it.
void fill_sample_record(Candidate candidate, SampleRecord& row);

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

// The same choice for a limit that takes a large share of the samples, up
// to all of them: a bounded heap would pay log(limit) for most candidates,
// so every candidate is kept in 24 bytes, in the order met, and sorted once.
// Needs fewer than 2^32 candidates (the met order is kept in 32 bits).
class SortedSamples {
 public:
  explicit SortedSamples(std::size_t limit) : limit_(limit) {}

  void offer(const Candidate& candidate) {
    // Ascending (first, second) is the row order: longer first (the
    // duration complemented), then smaller tile, offset and met order.
    // Offsets are below 2^32, like every difference of counter values.
    kept_.push_back(
        {std::uint64_t{~candidate.duration} << 32 | candidate.tile,
         candidate.offset << 32 | static_cast<std::uint32_t>(kept_.size()),
         candidate.sample});
  }

  std::vector<SampleRecord> take_rows();

 private:
  struct Entry {
    std::uint64_t first;
    std::uint64_t second;
    const zun_package::CycleSample* sample;
  };

  std::size_t limit_;
  std::vector<Entry> kept_;
};

// The longest selected samples, by whichever of the two choosers suits the
// limit against the number of samples there are.
class SampleRows {
 public:
  SampleRows(std::size_t limit, std::size_t samples)
      : sorting_(limit > 0 && limit >= samples / 8 &&
                 samples < (std::size_t{1} << 32)),
        heap_(sorting_ ? 0 : limit),
        sorted_(limit) {}

  void offer(const Candidate& candidate) {
    if (sorting_) {
      sorted_.offer(candidate);
    } else {
      heap_.offer(candidate);
    }
  }

  std::vector<SampleRecord> take_rows() {
    return sorting_ ? sorted_.take_rows() : heap_.take_rows();
  }

 private:
  bool sorting_;
  TopSamples heap_;
  SortedSamples sorted_;
};

}  // namespace zun_profile
