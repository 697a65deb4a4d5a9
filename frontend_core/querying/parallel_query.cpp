#include "frontend_core/querying/parallel_query.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <thread>
#include <utility>

#include "query/parallel.hpp"
#include "query/partial.hpp"

namespace profile_query {

unsigned default_threads() noexcept {
  return std::max(1u, std::thread::hardware_concurrency());
}

std::vector<const zun_store::ReportStore*> pointers_to(
    std::span<const zun_store::ReportStore> shards) {
  std::vector<const zun_store::ReportStore*> pointers;
  for (const zun_store::ReportStore& shard : shards) pointers.push_back(&shard);
  return pointers;
}

std::vector<TileRange> split_tiles(ShardList shards, unsigned threads) {
  std::size_t total = 0;
  for (const zun_store::ReportStore* shard : shards) {
    total += shard->sample_count();
  }
  std::vector<TileRange> ranges;
  for (std::size_t s = 0; s < shards.size(); ++s) {
    const zun_store::ReportStore& shard = *shards[s];
    const std::size_t tiles = shard.tile_count();
    // This shard's share of the ranges, by its samples; a range never
    // splits a tile.
    const std::size_t share =
        total == 0 ? 1
                   : std::max<std::size_t>(
                         1, (shard.sample_count() * threads + total / 2) / total);
    std::size_t first = 0;
    for (std::size_t r = 1; r <= share && first < tiles; ++r) {
      std::size_t end = tiles;
      if (r < share) {
        // The first tile whose end reaches r / share of the shard's samples.
        const std::size_t goal = shard.sample_count() * r / share;
        std::size_t low = first;
        std::size_t high = tiles;
        while (low < high) {
          const std::size_t middle = low + (high - low) / 2;
          if (shard.tile_end(middle) < goal) {
            low = middle + 1;
          } else {
            high = middle;
          }
        }
        end = std::min(tiles, std::max(first + 1, low + 1));
      }
      ranges.push_back({s, first, end - first});
      first = end;
    }
    if (tiles == 0) ranges.push_back({s, 0, 0});
  }
  return ranges;
}

bool lists_fragmented(ShardList shards) {
  // The first samples of tiles spread evenly over the report: a list's runs
  // join across tiles when tiles share its (phase, epoch), so samples at the
  // same place of different tiles are where sharing shows.
  constexpr std::size_t kTiles = 64;
  constexpr std::size_t kSamplesPerTile = 512;
  std::size_t entries = 0;
  for (const zun_store::ReportStore* shard : shards) {
    entries += shard->tile_count();
  }
  if (entries == 0) return false;
  std::vector<std::uint64_t> pairs;
  pairs.reserve(kTiles * kSamplesPerTile);
  const std::size_t picks = std::min(kTiles, entries);
  std::size_t shard = 0;
  std::size_t shard_first = 0;  // the first entry of `shard`, report-wide
  for (std::size_t k = 0; k < picks; ++k) {
    const std::size_t entry = entries * k / picks;
    while (entry >= shard_first + shards[shard]->tile_count()) {
      shard_first += shards[shard]->tile_count();
      ++shard;
    }
    const zun_store::ReportStore& store = *shards[shard];
    const std::size_t tile = entry - shard_first;
    const std::size_t first = store.tile_begin(tile);
    const std::size_t end =
        std::min(store.tile_end(tile), first + kSamplesPerTile);
    const zun_store::SampleColumns columns = store.samples(first, end - first);
    for (std::size_t i = 0; i < columns.count; ++i) {
      const std::uint32_t d = columns.steps[i];
      pairs.push_back(std::uint64_t{store.step_phases()[d]} << 32 |
                      store.step_epochs()[d]);
    }
  }
  std::sort(pairs.begin(), pairs.end());
  const auto distinct = static_cast<std::size_t>(
      std::unique(pairs.begin(), pairs.end()) - pairs.begin());
  return distinct * 2 > pairs.size();
}

namespace {

// Whether cutting `request` over `shards` into parts can pay: not when
// the answer may have a group or a sample row for every few samples, where
// building its rows (which only the joined answer can do, on one thread)
// is most of the work and joining that many is added on top. Judged before
// the pass, by the most groups the grouping could form.
bool parts_pay(ShardList shards, const zun_profile::Query& request) {
  std::size_t groups = 0;
  std::size_t samples = 0;
  for (const zun_store::ReportStore* pointer : shards) {
    const zun_store::ReportStore& shard = *pointer;
    samples += shard.sample_count();
    switch (request.group_by) {
      case zun_profile::GroupBy::Tile:
        groups += shard.tile_count();
        break;
      case zun_profile::GroupBy::Kernel:
      case zun_profile::GroupBy::Operation:
      case zun_profile::GroupBy::Metadata:
        groups += shard.text_count();
        break;
      case zun_profile::GroupBy::Kind:
      case zun_profile::GroupBy::Phase:
        break;
    }
  }
  // Sample rows likewise: each range's best rows are built in full, and
  // the best of all chosen among them once more.
  const std::size_t rows = std::min(request.sample_limit, samples);
  return groups * 16 <= samples && rows * 16 <= samples;
}

// Whether merging partial answers of `shards` can pay: as parts_pay, and
// not where lists are fragmented (lists_fragmented).
bool partials_pay(ShardList shards, const zun_profile::Query& request) {
  return parts_pay(shards, request) && !lists_fragmented(shards);
}

}  // namespace

zun_profile::QueryPartial merge_in_order(
    std::vector<zun_profile::QueryPartial>&& partials) {
  // Neighbours pairwise, round after round: each partial's pieces are
  // copied about log2(n) times, where merging into the first one by one
  // would copy the growing first n times.
  while (partials.size() > 1) {
    std::vector<zun_profile::QueryPartial> next;
    next.reserve((partials.size() + 1) / 2);
    for (std::size_t i = 0; i < partials.size(); i += 2) {
      if (i + 1 < partials.size()) {
        zun_profile::merge(partials[i], std::move(partials[i + 1]));
      }
      next.push_back(std::move(partials[i]));
    }
    partials = std::move(next);
  }
  return partials.empty() ? zun_profile::QueryPartial()
                          : std::move(partials.front());
}

zun_profile::TaskRunner thread_runner(unsigned threads) {
  // The calling thread and up to threads - 1 helpers take the tasks in
  // turn.
  return [threads](std::size_t count,
                   const std::function<void(std::size_t)>& task) {
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
      for (std::size_t i = next++; i < count; i = next++) task(i);
    };
    const std::size_t helpers =
        std::min<std::size_t>(std::max(threads, 1u), count) - 1;
    std::vector<std::jthread> pool;
    pool.reserve(helpers);
    for (std::size_t t = 0; t < helpers; ++t) pool.emplace_back(work);
    work();
  };
}

zun_profile::QueryReport query_shards(ShardList shards,
                                      const zun_profile::Query& request,
                                      unsigned threads) {
  threads = std::max(threads, 1u);
  // One shard: the query cut into parts, whose runs are swept once, as the
  // single pass's are.
  if (shards.size() == 1) {
    if (threads > 1 && !parts_pay(shards, request)) threads = 1;
    return zun_profile::query(*shards.front(), request, threads,
                              thread_runner(threads));
  }
  // Several shards: a partial answer per range, merged.
  if (threads > 1 && !partials_pay(shards, request)) threads = 1;
  const std::vector<TileRange> ranges = split_tiles(shards, threads);
  std::vector<zun_profile::QueryPartial> partials(ranges.size());
  std::vector<std::exception_ptr> failures(ranges.size());
  thread_runner(threads)(ranges.size(), [&](std::size_t r) {
    try {
      const TileRange& range = ranges[r];
      partials[r] = zun_profile::partial_query(*shards[range.shard], request,
                                               range.first, range.count);
    } catch (...) {
      failures[r] = std::current_exception();
    }
  });
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
  return zun_profile::finish(std::move(partials), request);
}

zun_profile::QueryReport query_shards(
    std::span<const zun_store::ReportStore> shards,
    const zun_profile::Query& request, unsigned threads) {
  return query_shards(pointers_to(shards), request, threads);
}

}  // namespace profile_query
