#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "query/activity.hpp"

// Activity of one shard of a report, on the buckets of the whole report's
// span and in the whole report's series, so that the shards' answers add
// up, bucket by bucket, to `activity` over the whole: the caller first
// learns the span and the series (the first rows of the query's answer)
// from the shards' partial answers. Internal: the Dask path's second round.
namespace zun_profile::detail {

// The activity of `request`'s samples in `shard` over `buckets` buckets of
// [0, span_cycles), one series per name of `series` (a group of the shard
// with another label feeds `other`). Its other_group_count is 0: only the
// whole report knows it.
ActivityReport shard_activity(const zun_store::ReportStore& shard,
                              const Query& request, std::size_t buckets,
                              std::uint64_t span_cycles,
                              std::span<const std::string> series);

}  // namespace zun_profile::detail
