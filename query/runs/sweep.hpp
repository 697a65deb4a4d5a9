#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "query/order/radix_sort.hpp"
#include "query/runs/group_buckets.hpp"

// The walk over a query's sorted runs, group by group: each (group, phase,
// epoch) list into the union of its intervals, each group's durations (of
// its records not folded, and those kept apart: see kept_apart.hpp) into
// one gathering, both handed to an output (sweep_outputs.hpp).
namespace zun_profile::detail {

// One record of the sorted order, as the sweep reads it.
struct Run {
  std::uint32_t group;
  std::uint64_t list;  // equal for runs of one (group, phase, epoch)
  std::uint32_t start;
  std::uint32_t length;
  bool folded;  // stands for several runs, whose durations are kept apart
  std::uint32_t phase;  // of its list (read only where a partial asks)
  std::uint32_t epoch;
};

// One group's durations as the sweep gathered them: counted into a
// histogram of the range [base, base + its size) (direct), or copied into
// scratch; either way `count` of them, between `least` and `most`, summing
// to `work`. The output that reads them leaves the histogram all zero.
struct GroupDurations {
  bool direct;
  std::vector<std::size_t>& histogram;
  std::uint32_t base;
  std::uint32_t* scratch;
  std::size_t count;
  std::uint32_t least;
  std::uint32_t most;
  std::uint64_t work;
  std::vector<std::size_t>& counts;  // scratch for values_at_ranks
};

// Walks sorted runs group by group: the union of each list's intervals,
// and the durations (those of records not folded, and those kept apart),
// handing each to `Out`. Built once per query and run on each bucket, so
// that its histogram and scratch serve every one.
template <typename Out>
class Sweep {
 public:
  // `largest`: the most runs, folded ones included, that one group holds.
  Sweep(Out& out, const GroupBuckets<std::uint32_t>& folded,
        ValueRange durations, std::size_t samples, std::size_t largest)
      : out_(out), folded_(folded), durations_(durations) {
    const std::uint64_t range =
        std::uint64_t{durations.high} - durations.low + 1;
    // When the durations span a narrow range and the groups are few, each
    // group's are counted straight into one histogram, with no copy;
    // otherwise they are gathered and handed to values_at_ranks.
    direct_ = range <= (std::uint64_t{1} << 16) &&
              range * out.groups() <= 4 * std::uint64_t{samples};
    if (direct_) {
      histogram_.assign(static_cast<std::size_t>(range), 0);
    } else {
      scratch_.reset(new std::uint32_t[largest]);
    }
  }

  // Sweeps `count` runs, read(i) giving run i, sorted by group, list and
  // start.
  template <typename ReadRun>
  void run(std::size_t count, ReadRun read) {
    // The group's durations so far, in locals (members would be reloaded
    // after every store to the histogram, which might alias them).
    const bool direct = direct_;
    const std::uint32_t base = durations_.low;
    std::size_t* const histogram = histogram_.data();
    std::uint32_t* const scratch = scratch_.get();
    std::size_t gathered = 0;
    std::uint32_t least = UINT32_MAX;
    std::uint32_t most = 0;
    std::uint64_t work = 0;
    const auto take = [&](std::uint32_t duration) {
      if (direct) {
        ++histogram[duration - base];
        ++gathered;
      } else {
        scratch[gathered++] = duration;
      }
      least = std::min(least, duration);
      most = std::max(most, duration);
      work += duration;
    };

    std::size_t i = 0;
    while (i < count) {
      const Run first = read(i);
      const std::uint32_t group = first.group;
      // A group of one run that stands for one sample (a group per sample):
      // at once, without the sweep's bookkeeping. A record not folded has
      // no durations kept apart.
      if (!first.folded && (i + 1 == count || read(i + 1).group != group)) {
        out_.single(first);
        ++i;
        continue;
      }
      out_.begin_group(group);
      gathered = 0;
      least = UINT32_MAX;
      most = 0;
      work = 0;
      // The list being swept, and the merged interval at its front.
      bool any = false;
      std::uint64_t list = 0;
      std::uint64_t low = 0;
      std::uint64_t high = 0;
      const std::size_t group_begin = i;
      for (; i < count; ++i) {
        const Run run = read(i);
        if (run.group != group) break;
        const std::uint64_t start = run.start;
        const std::uint64_t end = start + run.length;
        if (!any || run.list != list) {
          if (any) out_.interval(low, high);
          any = true;
          out_.list(run);
          list = run.list;
          low = start;
          high = end;
        } else if (start > high) {
          out_.interval(low, high);
          low = start;
          high = end;
        } else if (end > high) {
          high = end;
        }
      }
      out_.interval(low, high);
      // The durations in a loop of their own: beside the intervals' state,
      // the running least, most and sum would live in memory, each record
      // waiting on the last one's stores.
      for (std::size_t at = group_begin; at < i; ++at) {
        const Run run = read(at);
        if (!run.folded) take(run.length);
      }
      if (!folded_.begin.empty()) {
        for (std::size_t at = folded_.begin[group];
             at < folded_.begin[group + 1]; ++at) {
          take(folded_.values[at]);
        }
      }
      out_.end_group(group, GroupDurations{direct, histogram_, base, scratch,
                                           gathered, least, most, work,
                                           counts_});
    }
  }

 private:
  Out& out_;
  const GroupBuckets<std::uint32_t>& folded_;
  ValueRange durations_;  // every duration lies in it
  bool direct_ = false;
  std::vector<std::size_t> histogram_;        // when direct_
  std::unique_ptr<std::uint32_t[]> scratch_;  // otherwise
  std::vector<std::size_t> counts_;           // values_at_ranks' scratch
};

}  // namespace zun_profile::detail
