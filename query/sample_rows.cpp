#include "query/sample_rows.hpp"

#include <algorithm>

#include "query/labels.hpp"

namespace zun_profile {

SampleRecord sample_record(Candidate candidate) {
  SampleRecord row;
  fill_sample_record(candidate, row);
  return row;
}

void fill_sample_record(Candidate candidate, SampleRecord& row) {
  const zun_package::CycleSample& sample = *candidate.sample;
  row.physical_tile = candidate.tile;
  row.offset = candidate.offset;
  row.duration = candidate.duration;
  row.phase = sample.step.phase;
  row.epoch = sample.step.epoch;
  row.kind = kind_name(sample);
  row.operation = sample.step.operation;
  row.kernel = sample.step.kernel;
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
    rows.push_back(sample_record(ranked.candidate));
  }
  kept_.clear();
  return rows;
}

std::vector<SampleRecord> SortedSamples::take_rows() {
  const auto before = [](const Entry& a, const Entry& b) {
    return a.first != b.first ? a.first < b.first : a.second < b.second;
  };
  const std::size_t kept = std::min(limit_, kept_.size());
  if (kept < kept_.size()) {
    std::nth_element(kept_.begin(),
                     kept_.begin() + static_cast<std::ptrdiff_t>(kept),
                     kept_.end(), before);
    kept_.resize(kept);
  }
  std::sort(kept_.begin(), kept_.end(), before);
  // In row order the samples lie all over the report, and each row reads a
  // sample and three or more texts of its own: fetch ahead in two steps, the
  // sample first, then (once it has arrived) what it points to, so that the
  // misses of many rows overlap instead of following one another.
  constexpr std::size_t kSampleAhead = 16;
  constexpr std::size_t kTextAhead = 8;
  std::vector<SampleRecord> rows(kept_.size());
  for (std::size_t i = 0; i < kept_.size(); ++i) {
    if (i + kSampleAhead < kept_.size()) {
      __builtin_prefetch(kept_[i + kSampleAhead].sample);
    }
    if (i + kTextAhead < kept_.size()) {
      const zun_package::ProfileStep& step = kept_[i + kTextAhead].sample->step;
      __builtin_prefetch(step.operation.data());
      __builtin_prefetch(step.kernel.data());
      __builtin_prefetch(step.metadata.data());
    }
    const Entry& entry = kept_[i];
    fill_sample_record(
        Candidate{static_cast<std::uint32_t>(entry.first), entry.second >> 32,
                  ~static_cast<std::uint32_t>(entry.first >> 32), entry.sample},
        rows[i]);
  }
  kept_ = {};
  return rows;
}

}  // namespace zun_profile
