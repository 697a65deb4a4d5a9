#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "query/parallel.hpp"
#include "query/query.hpp"

// Activity over time: when in the run each group was busy. The profile span
// is cut into equal buckets, and each group gets, per bucket, the cycles of
// its samples' run intervals that fall inside it. Overlapping samples add
// up, so busy cycles / bucket width is the average number of the group's
// samples in progress over the bucket.
namespace zun_profile {

// One series: a group's busy cycles per bucket.
struct ActivitySeries {
  std::string name;  // the group's label, as `query` names its row

  // Cycles of the group's run intervals inside each bucket; they sum to the
  // group's work_cycles.
  std::vector<std::uint64_t> busy_cycles;
};

// The buckets and one series per group.
struct ActivityReport {
  std::uint64_t clock_hz = 0;             // copied from the report
  std::uint64_t profile_span_cycles = 0;  // as QueryReport: [0, span)
  double profile_span_ms = 0.0;           // the span in milliseconds

  // Width of every bucket but the last, which ends at the span and so takes
  // the remainder: bucket i starts at i * bucket_cycles.
  std::uint64_t bucket_cycles = 0;
  std::size_t bucket_count = 0;  // buckets in every series

  // One series per group row `query` gives for the same request, in its
  // order and cut to its limit.
  std::vector<ActivitySeries> groups;

  // The groups past the limit, summed bucket by bucket (zeros when none).
  std::vector<std::uint64_t> other_cycles;
  std::size_t other_group_count = 0;  // how many groups `other_cycles` sums
};

// The activity of the samples `request` selects, grouped and ordered as
// `query` would group and order them (its sample_limit is ignored), over
// `buckets` buckets of the profile span. Bucket counts are kept sensible:
// 0 counts as 1, and a span shorter than `buckets` cycles gets one bucket
// per cycle. Same guarantees as `query`: the arguments are only read, the
// result owns all it holds, no state is kept. Costs one pass over the
// report plus O(bucket_count x rows); a sample spanning many buckets costs
// no more than one inside a single bucket. Holds (rows + 1) x bucket_count
// counters, so a caller serving many groups should set a limit; throws
// std::bad_alloc when they do not fit in memory.
ActivityReport activity(const zun_package::ProfileReport& report,
                        const Query& request, std::size_t buckets);

// The same activity over a store of the same report, bit for bit.
ActivityReport activity(const zun_store::ReportStore& store,
                        const Query& request, std::size_t buckets);

// The same, its passes cut into tasks for `threads` threads and handed to
// `run`, as the parallel `query` does (where the store's step facts
// answer; otherwise the single pass on the calling thread). The answer is
// the same, bit for bit.
ActivityReport activity(const zun_store::ReportStore& store,
                        const Query& request, std::size_t buckets,
                        std::size_t threads, const TaskRunner& run);

}  // namespace zun_profile
