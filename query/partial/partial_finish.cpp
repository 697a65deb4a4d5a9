// Finishing partial answers: the figures of each group from its pieces in
// one partial or in several partials of consecutive ranges at once. The
// second never builds the merged partial: a group's tiles, lists and
// durations are merged only as far as its figures need, into scratch
// buffers reused from group to group.
#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "query/engine/engine.hpp"
#include "query/engine/group_index.hpp"
#include "query/order/statistics.hpp"
#include "query/partial.hpp"
#include "query/partial/partial_parts.hpp"
#include "query/runs/group_buckets.hpp"

namespace zun_profile {

// The internals this file's public calls are assembled from.
using namespace detail;
namespace {

using detail::DurationCount;
using detail::GroupPieces;
using detail::PartialAccess;
using detail::PartialData;
using detail::PartialList;
using detail::PartialRun;

// One group of the answer: where it is in each partial that has it, in
// partial order.
struct Member {
  PartialData* data = nullptr;
  std::size_t group = 0;
};

// Merges the consecutive sorted stretches of `values` (their ends in
// `ends`) into one sorted sequence, stably, pairwise round after round
// through `buffer`; `ends` is left with one end.
template <typename Value, typename Less>
void merge_segments(std::vector<Value>& values, std::vector<Value>& buffer,
                    std::vector<std::size_t>& ends, Less less) {
  std::vector<std::size_t> merged;
  while (ends.size() > 1) {
    buffer.resize(values.size());
    merged.clear();
    std::size_t begin = 0;
    const auto at = [&](std::size_t i) {
      return values.begin() + static_cast<std::ptrdiff_t>(i);
    };
    for (std::size_t i = 0; i < ends.size(); i += 2) {
      const std::size_t end = i + 1 < ends.size() ? ends[i + 1] : ends[i];
      std::merge(at(begin), at(ends[i]), at(ends[i]), at(end),
                 buffer.begin() + static_cast<std::ptrdiff_t>(begin), less);
      merged.push_back(end);
      begin = end;
    }
    values.swap(buffer);
    ends.swap(merged);
  }
}

// What a group's figures need of its durations: count, sum, the largest
// and the two percentiles, from ascending (value, count) pairs.
void add_durations(std::span<const DurationCount> durations,
                   GroupFigures& figures) {
  for (const DurationCount& d : durations) {
    figures.sample_count += d.count;
    figures.work_cycles += d.cycles * d.count;
  }
  if (!durations.empty()) figures.maximum_cycles = durations.back().cycles;
  const std::size_t low_rank = percentile_rank(figures.sample_count, 50);
  const std::size_t high_rank = percentile_rank(figures.sample_count, 95);
  std::size_t seen = 0;
  bool low_found = false;
  for (const DurationCount& d : durations) {
    seen += d.count;
    if (!low_found && seen > low_rank) {
      figures.p50_cycles = d.cycles;
      low_found = true;
    }
    if (seen > high_rank) {
      figures.p95_cycles = d.cycles;
      break;
    }
  }
}

// A group's intervals as its figures need them: their length, the
// earliest start and the latest end.
struct Coverage {
  std::uint64_t covered = 0;
  std::uint64_t earliest = UINT64_MAX;
  std::uint64_t latest = 0;

  void add(const PartialRun& run) {
    covered += run.end - run.start;
    earliest = std::min(earliest, run.start);
    latest = std::max(latest, run.end);
  }
  // One list's intervals, ascending and apart from each other.
  void add_apart(std::span<const PartialRun> runs) {
    for (const PartialRun& run : runs) add(run);
  }
  // The union of two lists' intervals, each ascending and apart.
  void add_union(std::span<const PartialRun> a, std::span<const PartialRun> b) {
    detail::RunJoiner joiner([this](const PartialRun& run) { add(run); });
    detail::in_start_order(a, b, [&](const PartialRun& run) { joiner.take(run); });
    joiner.finish();
  }
  // Ascending by start, possibly overlapping: joined as the engine joins.
  void add_sorted(std::span<const PartialRun> runs) {
    detail::RunJoiner joiner([this](const PartialRun& run) { add(run); });
    for (const PartialRun& run : runs) joiner.take(run);
    joiner.finish();
  }
};

// The figures of groups found in one or several partials, with scratch
// buffers kept from one group to the next.
class FigureMaker {
 public:
  GroupFigures figures(std::span<const Member> members) {
    GroupFigures figures;
    Coverage coverage;
    if (members.size() == 1) {
      const PartialData& data = *members.front().data;
      const GroupPieces pieces = detail::pieces_of(data, members.front().group);
      figures.tile_count = pieces.tiles.size();
      figures.phase_count = pieces.lists.size();
      for (const PartialList& list : pieces.lists) {
        coverage.add_apart(detail::runs_of(data, &list));
      }
      add_durations(pieces.durations, figures);
    } else {
      figures.tile_count = distinct_tiles(members);
      figures.phase_count = sweep_lists(members, coverage);
      add_durations(merged_durations(members), figures);
    }
    figures.phase_cycles = coverage.covered;
    figures.first_offset = coverage.earliest == UINT64_MAX
                               ? 0
                               : static_cast<std::uint32_t>(coverage.earliest);
    figures.last_offset = coverage.latest;
    return figures;
  }

 private:
  std::size_t distinct_tiles(std::span<const Member> members) {
    tiles_.clear();
    ends_.clear();
    for (const Member& m : members) {
      const auto tiles = detail::pieces_of(*m.data, m.group).tiles;
      tiles_.insert(tiles_.end(), tiles.begin(), tiles.end());
      ends_.push_back(tiles_.size());
    }
    merge_segments(tiles_, tile_buffer_, ends_, std::less<>());
    return static_cast<std::size_t>(
        std::unique(tiles_.begin(), tiles_.end()) - tiles_.begin());
  }

  std::span<const DurationCount> merged_durations(
      std::span<const Member> members) {
    durations_.clear();
    ends_.clear();
    for (const Member& m : members) {
      const auto durations = detail::pieces_of(*m.data, m.group).durations;
      durations_.insert(durations_.end(), durations.begin(), durations.end());
      ends_.push_back(durations_.size());
    }
    merge_segments(durations_, duration_buffer_, ends_,
                   [](const DurationCount& a, const DurationCount& b) {
                     return a.cycles < b.cycles;
                   });
    // Equal values of different partials as one pair.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < durations_.size(); ++i) {
      if (kept > 0 && durations_[kept - 1].cycles == durations_[i].cycles) {
        durations_[kept - 1].count += durations_[i].count;
      } else {
        durations_[kept++] = durations_[i];
      }
    }
    return std::span(durations_.data(), kept);
  }

  // The (phase, epoch) lists of all members in key order; those of one key
  // in several members swept together. Returns the number of keys.
  std::size_t sweep_lists(std::span<const Member> members, Coverage& coverage) {
    if (members.size() == 2) return sweep_two(members[0], members[1], coverage);
    lists_.clear();
    ends_.clear();
    for (const Member& m : members) {
      for (const PartialList& list : detail::pieces_of(*m.data, m.group).lists) {
        lists_.push_back({&list, m.data});
      }
      ends_.push_back(lists_.size());
    }
    const auto key = [](const ListRef& ref) {
      return std::pair{ref.list->phase, ref.list->epoch};
    };
    merge_segments(lists_, list_buffer_, ends_,
                   [&](const ListRef& a, const ListRef& b) {
      return key(a) < key(b);
    });
    std::size_t keys = 0;
    for (std::size_t i = 0; i < lists_.size();) {
      std::size_t j = i + 1;
      while (j < lists_.size() && key(lists_[j]) == key(lists_[i])) ++j;
      ++keys;
      if (j == i + 1) {
        coverage.add_apart(detail::runs_of(*lists_[i].data, lists_[i].list));
      } else if (j == i + 2) {
        coverage.add_union(detail::runs_of(*lists_[i].data, lists_[i].list),
                           detail::runs_of(*lists_[i + 1].data, lists_[i + 1].list));
      } else {
        runs_.clear();
        run_ends_.clear();
        for (std::size_t k = i; k < j; ++k) {
          const auto runs = detail::runs_of(*lists_[k].data, lists_[k].list);
          runs_.insert(runs_.end(), runs.begin(), runs.end());
          run_ends_.push_back(runs_.size());
        }
        merge_segments(runs_, run_buffer_, run_ends_,
                       [](const PartialRun& a, const PartialRun& b) {
                         return a.start < b.start;
                       });
        coverage.add_sorted(runs_);
      }
      i = j;
    }
    return keys;
  }

  // The same for two members, the common case (two threads), walking their
  // lists side by side without gathering them.
  static std::size_t sweep_two(const Member& a, const Member& b,
                               Coverage& coverage) {
    const auto x = detail::pieces_of(*a.data, a.group).lists;
    const auto y = detail::pieces_of(*b.data, b.group).lists;
    const auto key = [](const PartialList& list) {
      return std::pair{list.phase, list.epoch};
    };
    std::size_t i = 0;
    std::size_t j = 0;
    std::size_t keys = 0;
    while (i < x.size() || j < y.size()) {
      ++keys;
      if (j == y.size() || (i < x.size() && key(x[i]) < key(y[j]))) {
        coverage.add_apart(detail::runs_of(*a.data, &x[i++]));
      } else if (i == x.size() || key(y[j]) < key(x[i])) {
        coverage.add_apart(detail::runs_of(*b.data, &y[j++]));
      } else {
        coverage.add_union(detail::runs_of(*a.data, &x[i++]),
                           detail::runs_of(*b.data, &y[j++]));
      }
    }
    return keys;
  }

  struct ListRef {
    const PartialList* list;
    const PartialData* data;
  };

  std::vector<std::uint32_t> tiles_, tile_buffer_;
  std::vector<DurationCount> durations_, duration_buffer_;
  std::vector<ListRef> lists_, list_buffer_;
  std::vector<PartialRun> runs_, run_buffer_;
  std::vector<std::size_t> ends_;
  std::vector<std::size_t> run_ends_;
};

// Checks that `data` may be finished with the others and `request`.
void check_belongs(const PartialData& data, const PartialData* first,
                   std::uint64_t key) {
  if (data.request_key != key) {
    throw std::invalid_argument(
        "finish: the partial answer is of another request");
  }
  if (first != nullptr && data.clock_hz != first->clock_hz) {
    throw std::invalid_argument(
        "finish: the partial answers are of reports with different clocks, " +
        std::to_string(first->clock_hz) + " Hz and " +
        std::to_string(data.clock_hz) + " Hz");
  }
}

}  // namespace

QueryReport finish(std::vector<QueryPartial>&& partials, const Query& request) {
  const std::uint64_t key = detail::request_key(request);
  std::vector<PartialData*> parts;
  for (QueryPartial& partial : partials) {
    PartialData& data = PartialAccess::data(partial);
    if (data.blank) continue;
    check_belongs(data, parts.empty() ? nullptr : parts.front(), key);
    parts.push_back(&data);
  }

  QueryReport result;
  result.at_offset = request.at_offset;
  for (const PartialData* data : parts) {
    result.clock_hz = data->clock_hz;
    result.tile_count += data->tile_count;
    result.sample_count += data->sample_count;
    result.matched_sample_count += data->matched_sample_count;
    result.profile_span_cycles =
        std::max(result.profile_span_cycles, data->profile_span_cycles);
  }
  result.profile_span_ms =
      cycles_to_ms(result.profile_span_cycles, result.clock_hz);

  // Each group's members, found by label and kept in partial order:
  // members.values[members.begin[u], members.begin[u + 1]).
  GroupBuckets<Member> members;
  std::size_t groups = 0;
  if (parts.size() == 1) {
    // One partial's groups are distinct: each is its own member.
    groups = parts.front()->groups.size();
    members.begin.resize(groups + 1);
    for (std::size_t g = 0; g <= groups; ++g) members.begin[g] = g;
    members.values.reserve(groups);
    for (std::size_t g = 0; g < groups; ++g) {
      members.values.push_back({parts.front(), g});
    }
  } else {
    GroupIndex<std::string_view> index;
    std::vector<std::pair<std::uint32_t, Member>> found;
    for (PartialData* data : parts) {
      for (std::size_t g = 0; g < data->groups.size(); ++g) {
        found.push_back({index.find_or_add(data->groups[g].name).id, {data, g}});
      }
    }
    groups = index.size();
    members = bucket_by_group<Member>(
        found.size(), groups, [&](std::size_t i) { return found[i]; });
  }
  const auto members_of = [&](std::size_t u) {
    return std::span(members.values.data() + members.begin[u],
                     members.begin[u + 1] - members.begin[u]);
  };

  std::vector<GroupFigures> figures(groups);
  FigureMaker maker;
  for (std::size_t u = 0; u < groups; ++u) figures[u] = maker.figures(members_of(u));
  // A group's label and dimensions are those of its first partial: the one
  // holding the sample that opened it.
  const auto first_of = [&](std::size_t u) -> detail::PartialGroup& {
    const Member& m = members.values[members.begin[u]];
    return m.data->groups[m.group];
  };
  const std::vector<std::uint32_t> order = order_groups(
      figures, request.sort_by, request.limit,
      [&](std::uint32_t u, LabelBuffer&) -> std::string_view {
        return first_of(u).name;
      });
  result.groups.reserve(order.size());
  for (const std::uint32_t u : order) {
    const Member& m = members.values[members.begin[u]];
    PartialData& data = *m.data;
    GroupKey group_key;
    group_key.label = std::move(data.groups[m.group].name);
    const detail::GroupBegins begin = detail::begins_of(data, m.group);
    for (std::size_t d = begin.dimensions; d < data.groups[m.group].dimensions_end;
         ++d) {
      group_key.dimensions.emplace(std::move(data.dimensions[d].first),
                                   std::move(data.dimensions[d].second));
    }
    detail::fill_group_row(std::move(group_key), figures[u], result.clock_hz,
                           result.groups.emplace_back());
  }

  std::vector<std::vector<SampleRecord>*> rows;
  for (PartialData* data : parts) rows.push_back(&data->samples);
  result.samples = detail::best_rows(rows, request.sample_limit);
  for (QueryPartial& partial : partials) partial = QueryPartial();
  return result;
}

QueryReport finish(QueryPartial&& partial, const Query& request) {
  std::vector<QueryPartial> one;
  one.push_back(std::move(partial));
  return finish(std::move(one), request);
}

}  // namespace zun_profile
