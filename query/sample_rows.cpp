#include "query/sample_rows.hpp"

#include <algorithm>

#include "query/labels.hpp"

namespace zun_profile {

SampleRecord sample_record(Candidate candidate) {
  const zun_package::CycleSample& sample = *candidate.sample;
  SampleRecord row;
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
  return row;
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

}  // namespace zun_profile
