#include "tests/support/partial_cuts.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "query/parallel.hpp"
#include "query/partial.hpp"
#include "tests/support/compare.hpp"
#include "tests/support/oracle.hpp"

namespace zun_profile::support {

std::string first_difference_of_partials(
    const zun_package::ProfileReport& report,
    const zun_store::ReportStore& store, const Query& request,
    Entropy& entropy) {
  const std::size_t tiles = report.tiles.size();
  const std::size_t ranges = 1 + entropy.below(8);
  std::vector<std::size_t> cuts{0, tiles};
  for (std::size_t i = 1; i < ranges; ++i) cuts.push_back(entropy.below(tiles + 1));
  std::sort(cuts.begin(), cuts.end());
  const bool shards = entropy.chance(2);
  const bool through_bytes = entropy.chance(2);
  // 0: merged one after another; 1: pairwise as a tree; 2: finished all
  // at once.
  const std::uint64_t joining = entropy.below(3);

  std::vector<QueryPartial> partials;
  for (std::size_t r = 0; r + 1 < cuts.size(); ++r) {
    const std::size_t first = cuts[r];
    const std::size_t count = cuts[r + 1] - first;
    QueryPartial partial;
    if (shards) {
      zun_package::ProfileReport shard;
      shard.clock_hz = report.clock_hz;
      shard.tiles.assign(report.tiles.begin() + static_cast<std::ptrdiff_t>(first),
                         report.tiles.begin() +
                             static_cast<std::ptrdiff_t>(first + count));
      const auto shard_store = zun_store::ReportStore::from_report(
          shard, static_cast<zun_store::StoreVersion>(store.version()));
      partial = partial_query(shard_store, request, 0, count);
    } else {
      partial = partial_query(store, request, first, count);
    }
    if (through_bytes) partial = partial_from_bytes(to_bytes(partial));
    partials.push_back(std::move(partial));
  }
  // Merged in order: one after another, or neighbours pairwise until one
  // is left; or finished together.
  QueryReport answer;
  if (joining == 2) {
    answer = finish(std::move(partials), request);
  } else {
    if (joining == 1) {
      while (partials.size() > 1) {
        std::vector<QueryPartial> next;
        for (std::size_t i = 0; i < partials.size(); i += 2) {
          if (i + 1 < partials.size()) merge(partials[i], std::move(partials[i + 1]));
          next.push_back(std::move(partials[i]));
        }
        partials = std::move(next);
      }
    } else {
      for (std::size_t i = 1; i < partials.size(); ++i) {
        merge(partials[0], std::move(partials[i]));
      }
    }
    answer = finish(std::move(partials[0]), request);
  }
  const std::string difference =
      first_difference(answer, reference_query(report, request));
  if (difference.empty()) return {};
  std::string how = "partials of ";
  how.append(std::to_string(ranges)).append(" ranges at");
  for (const std::size_t cut : cuts) how.append(" ").append(std::to_string(cut));
  how.append(shards ? ", shards" : ", one store");
  if (through_bytes) how.append(", through bytes");
  how.append(joining == 2   ? ", finished together: "
             : joining == 1 ? ", merged as a tree: "
                            : ", merged in a row: ");
  how.append(difference);
  return how;
}

std::string first_difference_in_parts(const zun_package::ProfileReport& report,
                                      const zun_store::ReportStore& store,
                                      const Query& request, Entropy& entropy) {
  const std::size_t threads = 2 + entropy.below(7);
  const bool records = entropy.chance(2);
  // 0: in order; 1: in reverse; 2: each on a thread of its own (rarely: a
  // thread costs more than a small case).
  const std::uint64_t running = entropy.chance(16) ? 2 : entropy.below(2);
  const TaskRunner run = [running](std::size_t count,
                                   const std::function<void(std::size_t)>& task) {
    if (running == 2) {
      std::vector<std::jthread> threads;
      for (std::size_t i = 0; i < count; ++i) threads.emplace_back(task, i);
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      task(running == 0 ? i : count - 1 - i);
    }
  };
  const QueryReport answer = records ? query(report, request, threads, run)
                                     : query(store, request, threads, run);
  const std::string difference =
      first_difference(answer, reference_query(report, request));
  if (difference.empty()) return {};
  std::string how = "query for ";
  how.append(std::to_string(threads)).append(" threads over ");
  how.append(records ? "the records" : "the store");
  how.append(running == 2   ? ", on threads: "
             : running == 1 ? ", in reverse: "
                            : ", in order: ");
  how.append(difference);
  return how;
}

std::string first_difference_of_cuts(const zun_package::ProfileReport& report,
                                     const zun_store::ReportStore& store,
                                     const Query& request, Entropy& entropy) {
  std::string difference =
      first_difference_of_partials(report, store, request, entropy);
  if (difference.empty()) {
    difference = first_difference_in_parts(report, store, request, entropy);
  }
  return difference;
}

}  // namespace zun_profile::support
