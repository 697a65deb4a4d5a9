#include "query/runs/run_records.hpp"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

#include "query/runs/kept_apart.hpp"
#include "query/runs/run_sweep.hpp"
#include "query/runs/sweep_outputs.hpp"

namespace zun_profile::detail {

template <typename Record>
void RunRecords::fold(std::uint32_t* record, std::uint32_t group,
                      std::uint32_t duration, std::uint32_t length) {
  if (folded_.empty() || folded_groups_.back().group != group) {
    folded_groups_.push_back({group, folded_.size()});
  }
  if (!Record::folded(record)) {
    folded_.push_back(Record::length(std::as_const(record)));
    Record::mark_folded(record);
  }
  folded_.push_back(duration);
  Record::length(record) =
      std::max(Record::length(std::as_const(record)), length);
}

template void RunRecords::fold<OwnRecord>(std::uint32_t*,
                                                      std::uint32_t,
                                                      std::uint32_t,
                                                      std::uint32_t);
template void RunRecords::fold<CompactRecord>(std::uint32_t*,
                                                          std::uint32_t,
                                                          std::uint32_t,
                                                          std::uint32_t);
template void RunRecords::fold<WideRecord>(std::uint32_t*,
                                                       std::uint32_t,
                                                       std::uint32_t,
                                                       std::uint32_t);

void RunRecords::add_chunk(RunBucket& bucket, std::size_t words) {
  const std::size_t capacity =
      bucket.chunks.empty()
          ? std::min(kFirstChunk, std::max<std::size_t>(capacity_, 1))
          : std::min(2 * bucket.chunks.back().capacity, kLargestChunk);
  bucket.chunks.push_back(
      {std::unique_ptr<std::uint32_t[]>(new std::uint32_t[words * capacity]),
       capacity});
  bucket.next = bucket.chunks.back().words.get();
  bucket.end = bucket.next + words * capacity;
}

template <typename Record>
void RunRecords::widen_bucket(RunBucket& bucket, std::uint32_t implied) {
  const std::size_t used_in_last =
      static_cast<std::size_t>(bucket.next - bucket.chunks.back().words.get()) /
      Record::kWords;
  for (std::size_t c = 0; c < bucket.chunks.size(); ++c) {
    Chunk& chunk = bucket.chunks[c];
    const std::size_t used =
        c + 1 < bucket.chunks.size() ? chunk.capacity : used_in_last;
    std::unique_ptr<std::uint32_t[]> wide(
        new std::uint32_t[WideRecord::kWords * chunk.capacity]);
    for (std::size_t i = 0; i < used; ++i) {
      const std::uint32_t* from = chunk.words.get() + Record::kWords * i;
      std::uint32_t* to = wide.get() + WideRecord::kWords * i;
      WideRecord::write(to, Record::group(from, implied), Record::phase(from),
                        Record::epoch(from), Record::start(from),
                        Record::length(from));
      if (Record::folded(from)) WideRecord::mark_folded(to);
    }
    chunk.words = std::move(wide);
  }
  // The last chunk's places, and the record written last: a chunk is added
  // only to take a record, so the last one holds at least one.
  std::uint32_t* const words = bucket.chunks.back().words.get();
  bucket.next = words + WideRecord::kWords * used_in_last;
  bucket.end = words + WideRecord::kWords * bucket.chunks.back().capacity;
  bucket.last = bucket.next - WideRecord::kWords;
}

void RunRecords::widen() {
  for (std::size_t at = 0; at < buckets_.size(); ++at) {
    if (buckets_[at].chunks.empty()) continue;
    if (at + 1 < kBuckets) {
      widen_bucket<OwnRecord>(buckets_[at], static_cast<std::uint32_t>(at));
    } else {
      widen_bucket<CompactRecord>(buckets_[at], 0);
    }
  }
  compact_ = false;
}

void RunRecords::summarize(std::span<GroupFigures> rows) {
  FigureOut out(rows);
  sweep_all(out);
}

void RunRecords::runs_by_group(std::size_t groups, detail::GroupRuns& runs) {
  std::size_t records = 0;
  for (const RunBucket& bucket : buckets_) records += bucket.count;
  PartialOut out(groups, records, runs);
  sweep_all(out);
}

template <typename Out>
void RunRecords::sweep_all(Out& out) {
  if (samples_ == 0) return;  // no run was added
  const std::size_t groups = out.groups();
  const FoldedSource<FoldedSegment> own_folded{folded_,
                                                          folded_groups_};
  SweepFacts facts{phases_, epochs_, starts_, durations_,
                   gather_folded(std::span(&own_folded, 1), groups),
                   0, samples_};
  facts.most_folded = most_folded(facts.folded);
  folded_groups_ = {};
  folded_ = {};
  // A sort per bucket; the last one holds groups kBuckets - 1 on, the
  // others one group.
  std::vector<SortItem> items;
  for (std::size_t at = 0; at < buckets_.size(); ++at) {
    const RunBucket& bucket = buckets_[at];
    if (bucket.count == 0) continue;
    const auto group = static_cast<std::uint32_t>(at);
    items.push_back(
        {{RunPiece{&bucket, layout_of(at), group, nullptr}},
         bucket.count,
         group,
         at + 1 < kBuckets ? 0 : bits_for(groups - 1 - at)});
  }
  std::vector<const SortItem*> order;
  for (const SortItem& item : items) order.push_back(&item);
  sweep_items(std::span<const SortItem* const>(order), facts, out);
  buckets_ = std::vector<RunBucket>();
}

}  // namespace zun_profile::detail
