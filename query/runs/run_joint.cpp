#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "query/runs/kept_apart.hpp"
#include "query/runs/run_records.hpp"
#include "query/runs/run_sweep.hpp"
#include "query/runs/sweep_outputs.hpp"

namespace zun_profile::detail {
namespace {

ValueRange unite(ValueRange a, ValueRange b) noexcept {
  return {std::min(a.low, b.low), std::max(a.high, b.high)};
}

using PartIds = std::span<const std::vector<std::uint32_t>>;

// Pass 0's ids are the joint ones: its records are read as they are.
const std::uint32_t* ids_of(PartIds ids, std::size_t t) {
  return t == 0 ? nullptr : ids[t].data();
}
std::uint32_t joint_id(PartIds ids, std::size_t t, std::size_t local) {
  return t == 0 ? static_cast<std::uint32_t>(local) : ids[t][local];
}

}  // namespace

RunRecords::Joint::Joint(std::span<RunRecords* const> parts, PartIds ids,
                         std::size_t groups, std::size_t shares) {
  gather_facts(parts, ids, groups);
  plan_items(parts, ids, groups);
  deal_shares(shares);
}

void RunRecords::Joint::gather_facts(std::span<RunRecords* const> parts,
                                     PartIds ids, std::size_t groups) {
  std::vector<FoldedSource<FoldedSegment>> folded;
  for (std::size_t t = 0; t < parts.size(); ++t) {
    const RunRecords& part = *parts[t];
    facts_.samples += part.samples_;
    facts_.phases = unite(facts_.phases, part.phases_);
    facts_.epochs = unite(facts_.epochs, part.epochs_);
    facts_.starts = unite(facts_.starts, part.starts_);
    facts_.durations = unite(facts_.durations, part.durations_);
    folded.push_back({part.folded_, part.folded_groups_, ids_of(ids, t)});
  }
  facts_.folded = gather_folded(
      std::span<const FoldedSource<FoldedSegment>>(folded), groups);
  facts_.most_folded = most_folded(facts_.folded);
  // Gathered: the parts need not hold them as well.
  for (RunRecords* part : parts) {
    part->folded_ = {};
    part->folded_groups_ = {};
  }
}

void RunRecords::Joint::plan_items(std::span<RunRecords* const> parts,
                                   PartIds ids, std::size_t groups) {
  // A group sorts alone, as in one pass, where every part holds it in a
  // bucket of its own (or not at all); the others sort together, the
  // shared buckets of every part with them.
  const std::size_t own = std::min(groups, kBuckets - 1);
  std::vector<std::uint8_t> alone(own, 1);
  for (std::size_t t = 0; t < parts.size(); ++t) {
    for (std::size_t l = kBuckets - 1; l < ids[t].size(); ++l) {
      const std::uint32_t g = joint_id(ids, t, l);
      if (g < own) alone[g] = 0;
    }
  }
  std::vector<std::size_t> item_of(own, SIZE_MAX);
  SortItem together;
  std::uint32_t low = UINT32_MAX;
  std::uint32_t high = 0;
  // `piece`, whose records' joint ids lie in [least, most], sorts with the
  // others.
  const auto join_together = [&](const RunPiece& piece, std::uint32_t least,
                                 std::uint32_t most) {
    together.pieces.push_back(piece);
    together.count += piece.bucket->count;
    low = std::min(low, least);
    high = std::max(high, most);
  };
  for (std::size_t t = 0; t < parts.size(); ++t) {
    const RunRecords& part = *parts[t];
    for (std::size_t at = 0; at < part.buckets_.size(); ++at) {
      const RunBucket& bucket = part.buckets_[at];
      if (bucket.count == 0) continue;
      const RunPiece piece{&bucket, part.layout_of(at),
                           static_cast<std::uint32_t>(at), ids_of(ids, t)};
      if (at + 1 == kBuckets) {  // the part's shared bucket
        std::uint32_t least = UINT32_MAX;
        std::uint32_t most = 0;
        for (std::size_t l = kBuckets - 1; l < ids[t].size(); ++l) {
          least = std::min(least, joint_id(ids, t, l));
          most = std::max(most, joint_id(ids, t, l));
        }
        join_together(piece, least, most);
        continue;
      }
      const std::uint32_t g = joint_id(ids, t, at);
      if (g >= own || alone[g] == 0) {
        join_together(piece, g, g);
        continue;
      }
      if (item_of[g] == SIZE_MAX) {
        item_of[g] = items_.size();
        items_.push_back({{}, 0, g, 0});
      }
      SortItem& item = items_[item_of[g]];
      item.pieces.push_back(piece);
      item.count += bucket.count;
    }
  }
  if (together.count > 0) {
    together.group_low = low;
    together.group_bits = bits_for(high - low);
    items_.push_back(std::move(together));
  }
}

void RunRecords::Joint::deal_shares(std::size_t shares) {
  // The largest items first, each to the share with the fewest records.
  std::vector<const SortItem*> by_size;
  for (const SortItem& item : items_) by_size.push_back(&item);
  std::stable_sort(by_size.begin(), by_size.end(),
                   [](const SortItem* a, const SortItem* b) {
                     return a->count > b->count;
                   });
  shares_.resize(std::min(std::max<std::size_t>(shares, 1), items_.size()));
  std::vector<std::size_t> load(shares_.size(), 0);
  for (const SortItem* item : by_size) {
    const auto least = static_cast<std::size_t>(
        std::min_element(load.begin(), load.end()) - load.begin());
    shares_[least].push_back(item);
    load[least] += item->count;
  }
}

void RunRecords::Joint::summarize(std::size_t share,
                                  std::span<GroupFigures> figures) const {
  FigureOut out(figures);
  sweep_items(std::span<const SortItem* const>(shares_[share]), facts_, out);
}

}  // namespace zun_profile::detail
