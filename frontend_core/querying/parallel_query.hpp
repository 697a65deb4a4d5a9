#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "query/parallel.hpp"
#include "query/partial.hpp"
#include "query/query.hpp"
#include "store/report_store.hpp"

// Answers over several cores and several shards: the tiles are cut into
// ranges, each answered on a thread of its own (within one shard, as parts
// of one query; across shards, as partials merged in order). The answer is
// `query`'s over the report made of every shard's tiles, in every field.
namespace profile_query {

// The threads a query uses unless told: the machine's cores (1 when the
// system does not say).
unsigned default_threads() noexcept;

// The shards, in order, each one somewhere of its own.
using ShardList = std::span<const zun_store::ReportStore* const>;

// One range of tiles: [first, first + count) of shard `shard`.
struct TileRange {
  std::size_t shard;
  std::size_t first;
  std::size_t count;
};

// The ranges that `threads` threads share `shards` in: at least one per
// shard (even an empty one, which still counts its tiles), in order, the
// samples spread about evenly among them.
std::vector<TileRange> split_tiles(ShardList shards, unsigned threads);

// Whether the (phase, epoch) lists of `shards` look fragmented: more than
// half of the samples looked at (the first few hundred of 64 tiles spread
// over the report) have a pair of their own. There a list's runs barely
// join, so a partial carries about an interval per sample and finishing
// sweeps them again, which costs what a second core saves. Reads a few
// hundred KiB, whatever the report's size.
bool lists_fragmented(ShardList shards);

// Pointers to each of `shards`.
std::vector<const zun_store::ReportStore*> pointers_to(
    std::span<const zun_store::ReportStore> shards);

// The partials of consecutive ranges, merged into one, in order.
zun_profile::QueryPartial merge_in_order(
    std::vector<zun_profile::QueryPartial>&& partials);

// A task runner that runs each call's tasks on up to `threads` threads,
// the calling one among them, started for the call and joined before it
// returns.
zun_profile::TaskRunner thread_runner(unsigned threads);

// `request` over the shards' tiles, one after another, on up to `threads`
// threads (at least 1). One shard is `query` cut into parts, one per
// thread (zun_profile's parallel query); several are answered as partials
// of tile ranges, merged in order. One thread is the single pass of
// `query` itself, and so is a grouping that may give a group per few
// samples (by tile over tiles of few samples, by a text column of nearly
// as many texts as samples), or a request for a sample row per few
// samples: there the answer's rows, built on one thread, are most of the
// work. Several shards whose lists look fragmented (lists_fragmented)
// keep to one thread too.
// Throws std::bad_alloc as `query` does.
zun_profile::QueryReport query_shards(ShardList shards,
                                      const zun_profile::Query& request,
                                      unsigned threads);
zun_profile::QueryReport query_shards(
    std::span<const zun_store::ReportStore> shards,
    const zun_profile::Query& request, unsigned threads);

}  // namespace profile_query
