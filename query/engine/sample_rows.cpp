#include "query/engine/sample_rows.hpp"

#include <algorithm>
#include <string>

#include "query/engine/labels.hpp"
#include "query/order/radix_sort.hpp"

namespace zun_profile::detail {
namespace {

// Asks for every cache line of `row`, which is written out of order.
// Always inlined: GCC drops calls to a function that only prefetches.
[[gnu::always_inline]] inline void prefetch_row(
    const SampleRecord& row) noexcept {
  const char* const bytes = reinterpret_cast<const char*>(&row);
  for (std::size_t at = 0; at < sizeof(SampleRecord); at += 64) {
    __builtin_prefetch(bytes + at, 1);
  }
  __builtin_prefetch(bytes + sizeof(SampleRecord) - 1, 1);
}

}  // namespace

SampleRecord sample_record(Candidate candidate, const StepSource& steps) {
  SampleRecord row;
  fill_sample_record(candidate, row, steps);
  return row;
}

void fill_sample_record(Candidate candidate, SampleRecord& row,
                        const StepSource& steps) {
  row.physical_tile = candidate.tile;
  row.offset = candidate.offset;
  row.duration = candidate.duration;
  steps.fill(candidate.sample, row);
}

void RecordSteps::fill(SampleRef sample, SampleRecord& row) const {
  fill_step_fields(*record_of(sample), row);
}

void fill_step_fields(const zun_package::CycleSample& sample,
                      SampleRecord& row) {
  row.phase = sample.step.phase;
  row.epoch = sample.step.epoch;
  // Texts built at their exact size and moved in: assigned into an empty
  // string, a text just past the inline room gets twice that room (a
  // 25-byte kernel name took a 48-byte block, not 32).
  row.kind = kind_name(sample);
  row.operation = std::string(sample.step.operation);
  row.kernel = std::string(sample.step.kernel);
  row.metadata.reserve(sample.step.metadata.size());
  for (const zun_package::ProfileMetadata& entry : sample.step.metadata) {
    row.metadata.push_back(MetadataEntry{entry.name, entry.value});
  }
}

void TopSamples::push(const Ranked& ranked) {
  kept_.push_back(ranked);
  std::push_heap(kept_.begin(), kept_.end(), better);
}

void TopSamples::replace_worst(const Ranked& ranked) {
  std::pop_heap(kept_.begin(), kept_.end(), better);
  kept_.back() = ranked;
  std::push_heap(kept_.begin(), kept_.end(), better);
}

std::vector<SampleRecord> TopSamples::take_rows() {
  std::sort_heap(kept_.begin(), kept_.end(), better);
  std::vector<SampleRecord> rows;
  rows.reserve(kept_.size());
  for (const Ranked& ranked : kept_) {
    rows.push_back(sample_record(ranked.candidate, *steps_));
  }
  kept_.clear();
  return rows;
}

SortedSamples::SortedSamples(std::size_t limit, std::size_t samples,
                             const StepSource& steps)
    : limit_(limit),
      steps_(&steps),
      records_(new std::uint32_t[kWords * samples]),
      samples_(new SampleRef[samples]) {}

std::vector<SampleRecord> SortedSamples::take_rows() {
  const std::size_t count = count_;
  const std::size_t kept = std::min(limit_, count);
  if (kept == 0) return {};
  std::vector<RadixDigit> digits;
  append_digits(digits, 0, offsets_.bits(), offsets_.low);
  append_digits(digits, 1, tiles_.bits(), tiles_.low);
  append_digits(digits, 2, durations_.bits(), ~durations_.high);
  std::unique_ptr<std::uint32_t[]> buffer(new std::uint32_t[kWords * count]);
  const std::uint32_t* sorted =
      radix_sort<kWords>(records_.get(), buffer.get(), count, digits);

  // The rows' numbers in row order, and each candidate's row (UINT32_MAX
  // past the limit) by met order, in the block the sort left free.
  std::uint32_t* row_of =
      sorted == records_.get() ? buffer.get() : records_.get();
  std::vector<SampleRecord> rows(kept);
  for (std::size_t p = 0; p < count; ++p) {
    const std::uint32_t* record = sorted + kWords * p;
    if (p < kept) {
      SampleRecord& row = rows[p];
      row.offset = record[0];
      row.physical_tile = record[1];
      row.duration = ~record[2];
      row_of[record[3]] = static_cast<std::uint32_t>(p);
    } else {
      row_of[record[3]] = UINT32_MAX;
    }
  }

  // The sorted records are read: give their memory back before the texts
  // take theirs.
  if (sorted == records_.get()) {
    records_.reset();
  } else {
    buffer.reset();
  }

  // The texts in met order, each written to its row; ask for a row a few
  // candidates ahead, so that the misses of several rows overlap.
  constexpr std::size_t kRowAhead = 8;
  for (std::size_t m = 0; m < count; ++m) {
    if (m + kRowAhead < count && row_of[m + kRowAhead] != UINT32_MAX) {
      prefetch_row(rows[row_of[m + kRowAhead]]);
    }
    if (row_of[m] != UINT32_MAX) {
      steps_->fill(samples_[m], rows[row_of[m]]);
    }
  }
  records_.reset();
  samples_.reset();
  count_ = 0;
  return rows;
}

std::vector<SampleRecord> best_rows(
    std::span<std::vector<SampleRecord>* const> parts, std::size_t limit) {
  // Each part's rows are best first, and a stable sort keeps the parts in
  // order where rows tie on every key.
  std::vector<SampleRecord> rows;
  if (parts.size() == 1) {
    rows = std::move(*parts.front());
  } else {
    for (std::vector<SampleRecord>* part : parts) {
      for (SampleRecord& row : *part) rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(), better_row);
  }
  if (rows.size() > limit) rows.resize(limit);
  return rows;
}


}  // namespace zun_profile::detail
