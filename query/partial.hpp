#pragma once

// Partial answers: the answer over a contiguous range of a store's tiles,
// carried as exact integers so that the partials of consecutive ranges (of
// one store, or of stores that are shards of one run, in shard order)
// merge into the answer over all their tiles: `finish` of the merged
// partials equals `query` over the whole report in every field, doubles bit
// for bit. A caller spreads the ranges over threads, processes or machines;
// the library itself works on the calling thread.
//
// What a partial carries, per group: its label and dimensions, the merged
// run intervals of each (phase, epoch) list, its durations as (value,
// count) pairs, its distinct physical tiles; besides, the report's counts
// and span, and the best `sample_limit` sample rows of its range. Doubles
// are computed only by `finish`.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "query/request.hpp"
#include "query/result.hpp"
#include "store/report_store.hpp"

namespace zun_profile {

namespace detail {
struct PartialData;
struct PartialAccess;
}  // namespace detail

// The exact answer over some tiles, waiting to be merged and finished.
// Movable and copyable; a default partial stands for no tiles at all and
// merges as nothing.
class QueryPartial {
 public:
  QueryPartial();
  QueryPartial(const QueryPartial& other);
  QueryPartial(QueryPartial&& other) noexcept;
  QueryPartial& operator=(const QueryPartial& other);
  QueryPartial& operator=(QueryPartial&& other) noexcept;
  ~QueryPartial();

  std::uint64_t clock_hz() const noexcept;     // of the report; 0 without
  std::size_t tile_count() const noexcept;     // tile entries covered
  std::size_t sample_count() const noexcept;   // their samples, unfiltered
  std::size_t matched_sample_count() const noexcept;  // selected samples
  std::uint64_t profile_span_cycles() const noexcept;  // largest end offset
  std::size_t group_count() const noexcept;    // groups, before any limit

 private:
  friend struct detail::PartialAccess;
  std::unique_ptr<detail::PartialData> data_;
};

// The partial answer of `request` over the tile entries [first_tile,
// first_tile + tile_count) of `store`. Throws std::invalid_argument when the
// range is not within the store's tiles.
QueryPartial partial_query(const zun_store::ReportStore& store,
                           const Query& request, std::size_t first_tile,
                           std::size_t tile_count);

// Joins into `into` the partial of the tiles that follow its own (the next
// range of the same store, or the next shard). Order matters only where
// sample rows tie on every key: those of `into` come first, as in report
// order. Throws std::invalid_argument when the two are answers to different
// requests or of reports with different clocks; `into` is then unchanged.
void merge(QueryPartial& into, QueryPartial&& from);

// The answer: the groups ordered and cut to `request`'s limit, the sample
// rows, the milliseconds and quotients. `request` must be the one the
// partial answers (its order and limit may differ); otherwise throws
// std::invalid_argument.
QueryReport finish(QueryPartial&& partial, const Query& request);

// The answer of the partials of consecutive ranges, given in order: what
// merging them one after another and finishing gives, field for field,
// without building the merged partial (a group's pieces are merged only as
// far as its figures need). Blank partials count as nothing. Throws
// std::invalid_argument as merge and finish do. Consumes the partials.
QueryReport finish(std::vector<QueryPartial>&& partials, const Query& request);

// A partial as bytes, to travel between processes and machines: versioned,
// with its length and a checksum; integers in a portable form.
std::vector<std::byte> to_bytes(const QueryPartial& partial);

// The partial `to_bytes` gave. Every length, id, order and count is
// checked: damaged or forged bytes throw std::invalid_argument saying
// what is wrong, never read past `bytes`.
QueryPartial partial_from_bytes(std::span<const std::byte> bytes);

}  // namespace zun_profile
