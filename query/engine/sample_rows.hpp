#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "query/order/radix_sort.hpp"
#include "query/result.hpp"
#include "report/profile_report.hpp"

// The rows of individual samples: the longest selected samples, longest
// first.
namespace zun_profile::detail {

// Where a candidate's step comes from, told by a reference the source
// gives: the records (a sample's address) or a store (a sample's index).
using SampleRef = std::uint64_t;

// Writes into `row` (a default row) what it takes from a sample's step:
// phase, epoch, kind and the copied texts and metadata.
class StepSource {
 public:
  virtual void fill(SampleRef sample, SampleRecord& row) const = 0;

 protected:
  ~StepSource() = default;
};

// The steps of in-memory records: a reference is the sample's address.
class RecordSteps final : public StepSource {
 public:
  void fill(SampleRef sample, SampleRecord& row) const override;
};
inline constexpr RecordSteps kRecordSteps;

inline SampleRef record_ref(const zun_package::CycleSample* sample) noexcept {
  return reinterpret_cast<std::uintptr_t>(sample);
}
inline const zun_package::CycleSample* record_of(SampleRef sample) noexcept {
  return reinterpret_cast<const zun_package::CycleSample*>(
      static_cast<std::uintptr_t>(sample));
}

// A selected sample that may become a row. Refers to the sample in its
// source, so it lives only during one query.
struct Candidate {
  std::uint32_t tile = 0;      // physical tile holding the sample
  std::uint64_t offset = 0;    // start, cycles from the tile's time zero
  std::uint32_t duration = 0;  // cycles
  SampleRef sample = 0;        // the sample, as its source refers to it
};

// The row for `candidate`: its numbers, and copies of its step's texts and
// metadata from `steps`, so the row outlives the source.
SampleRecord sample_record(Candidate candidate,
                           const StepSource& steps = kRecordSteps);

// The same, written into `row` (a default row), which saves moving it.
void fill_sample_record(Candidate candidate, SampleRecord& row,
                        const StepSource& steps = kRecordSteps);

// What RecordSteps writes for a sample of the records.
void fill_step_fields(const zun_package::CycleSample& sample,
                      SampleRecord& row);

// Keeps the `limit` best of the candidates offered, where better means
// longer, then on a smaller tile, then at a smaller offset, then met earlier.
// The met order makes every key unique, so the rows are exactly those a
// stable sort of all candidates would put first; only `limit` of them are
// ever held.
class TopSamples {
 public:
  explicit TopSamples(std::size_t limit,
                      const StepSource& steps = kRecordSteps)
      : limit_(limit), steps_(&steps) {}

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
  const StepSource* steps_;
  std::size_t offered_ = 0;
  std::vector<Ranked> kept_;  // a heap with the worst kept row in front
};

// The same choice for a limit that takes a large share of the samples, up
// to all of them. A bounded heap would pay log(limit) for most candidates;
// here every candidate is kept in the order met and sorted once by a radix
// sort (offset, then tile, then duration: stable, so ties stay in the order
// met). The rows are then filled in two walks: their numbers in row order,
// and their texts in the order met, each written to its row's place. The
// report is thus read in order; reading it in row order, all over its
// memory, cost two to three times as much on 2M rows.
// Memory: 24 bytes per candidate as offered (16 of sort record, 8 of the
// sample), 16 more while sorting. Needs fewer than 2^32 candidates.
class SortedSamples {
 public:
  // Room for `samples` candidates, at most as many as may be offered; pages
  // are touched only as they arrive.
  SortedSamples(std::size_t limit, std::size_t samples,
                const StepSource& steps = kRecordSteps);

  void offer(const Candidate& candidate) {
    const auto offset = static_cast<std::uint32_t>(candidate.offset);
    std::uint32_t* record = records_.get() + kWords * count_;
    record[0] = offset;
    record[1] = candidate.tile;
    record[2] = ~candidate.duration;  // ascending: the longest first
    record[3] = static_cast<std::uint32_t>(count_);
    samples_[count_++] = candidate.sample;
    offsets_.add(offset);
    tiles_.add(candidate.tile);
    durations_.add(candidate.duration);
  }

  std::vector<SampleRecord> take_rows();

 private:
  // A record: offset, tile, complemented duration, and the met order.
  static constexpr std::size_t kWords = 4;

  std::size_t limit_;
  const StepSource* steps_;
  std::size_t count_ = 0;
  std::unique_ptr<std::uint32_t[]> records_;
  std::unique_ptr<SampleRef[]> samples_;  // met order
  ValueRange offsets_;
  ValueRange tiles_;
  ValueRange durations_;
};

// The longest selected samples, by whichever of the two choosers suits the
// limit against the number of samples there are.
class SampleRows {
 public:
  SampleRows(std::size_t limit, std::size_t samples,
             const StepSource& steps = kRecordSteps)
      : sorting_(limit > 0 && limit >= samples / 8 &&
                 samples < (std::size_t{1} << 32)),
        heap_(sorting_ ? 0 : limit, steps),
        sorted_(sorting_ ? limit : 0, sorting_ ? samples : 0, steps) {}

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

// Whether sample row `a` goes before `b` in the answer (longer, then on a
// smaller tile, then earlier), or neither: then report order decides.
inline bool better_row(const SampleRecord& a, const SampleRecord& b) noexcept {
  if (a.duration != b.duration) return a.duration > b.duration;
  if (a.physical_tile != b.physical_tile) {
    return a.physical_tile < b.physical_tile;
  }
  return a.offset < b.offset;
}

// The best `limit` of the rows of consecutive ranges, each range's best
// first, given in report order. Moves the rows out.
std::vector<SampleRecord> best_rows(
    std::span<std::vector<SampleRecord>* const> parts, std::size_t limit);

}  // namespace zun_profile::detail
