#include "query/parallel.hpp"

#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "query/engine/engine.hpp"
#include "query/engine/record_source.hpp"
#include "query/engine/step_path.hpp"
#include "query/engine/store_source.hpp"
#include "query/engine/tasks.hpp"
#include "query/engine/tile_batches.hpp"
#include "query/engine/tile_spans.hpp"

namespace zun_profile {

// The internals this file's public calls are assembled from.
using namespace detail;
namespace {

using detail::Collected;
using detail::GroupState;

// Joins pass `from`'s tile bookkeeping of its group into `into`, the joint
// group's: the visits the two need so that the distinct tiles come out as
// one pass over both would count them (a pass records no visit for a group
// it met on one tile only).
void join_state(GroupState& into, const GroupState& from, std::uint32_t id,
                std::vector<TileVisit>& visits) {
  if (!into.many_tiles && !from.many_tiles) {
    if (into.first_tile == from.first_tile) return;
    visits.push_back({id, into.first_tile});
    visits.push_back({id, from.first_tile});
  } else if (!into.many_tiles) {
    visits.push_back({id, into.first_tile});
  } else if (!from.many_tiles) {
    visits.push_back({id, from.first_tile});
  }
  into.many_tiles = true;
}

template <typename Source, typename Identity>
QueryReport execute_in_parts(const Source& source, const Query& request,
                             const Identity& identity,
                             std::span<const TileSpan> spans,
                             std::size_t shares, const TaskRunner& run) {
  QueryReport result = detail::report_header(source, request);
  const std::size_t parts = spans.size();

  // The pass, a range per task, each with groups of its own.
  std::vector<std::unique_ptr<Collected<Identity>>> passes(parts);
  std::vector<std::vector<SampleRecord>> rows(parts);
  run_tasks(run, parts, [&](std::size_t t) {
    detail::NoSink sink;
    passes[t] = std::make_unique<Collected<Identity>>(
        identity, spans[t].samples, request.sample_limit, source.steps());
    detail::collect(source, request, identity, sink, spans[t].first,
                    spans[t].end, *passes[t]);
    rows[t] = passes[t]->rows.take_rows();
  });

  // The groups joined into those of the first range, in order of first
  // sample over the report, as one pass numbers them.
  Collected<Identity>& joint = *passes.front();
  std::vector<std::vector<std::uint32_t>> ids(parts);
  ids[0].resize(joint.groups.size());
  for (std::size_t g = 0; g < ids[0].size(); ++g) {
    ids[0][g] = static_cast<std::uint32_t>(g);
  }
  std::uint64_t span = joint.span;
  std::size_t matched = joint.runs.size();
  for (std::size_t t = 1; t < parts; ++t) {
    Collected<Identity>& pass = *passes[t];
    span = std::max(span, pass.span);
    matched += pass.runs.size();
    ids[t].resize(pass.groups.size());
    for (std::size_t l = 0; l < pass.groups.size(); ++l) {
      const auto found =
          joint.index.find_or_add(pass.index.key(static_cast<std::uint32_t>(l)));
      ids[t][l] = found.id;
      if (found.added) {
        joint.groups.push_back(pass.groups[l]);
      } else {
        join_state(joint.groups[found.id], pass.groups[l], found.id,
                   joint.visits);
      }
    }
    for (const TileVisit& visit : pass.visits) {
      joint.visits.push_back({ids[t][visit.group], visit.tile});
    }
    pass.visits = {};
  }
  result.matched_sample_count = matched;
  result.profile_span_cycles = span;
  result.profile_span_ms = cycles_to_ms(span, result.clock_hz);

  // The runs of every range swept as one, a share of the groups per task.
  const std::size_t groups = joint.groups.size();
  std::vector<GroupFigures> figures(groups);
  {
    std::vector<RunRecords*> runs;
    for (const auto& pass : passes) runs.push_back(&pass->runs);
    const RunRecords::Joint sweep(runs, ids, groups, shares);
    run_tasks(run, sweep.shares(),
              [&](std::size_t share) { sweep.summarize(share, figures); });
  }
  for (std::size_t t = 1; t < parts; ++t) passes[t].reset();
  joint.runs = RunRecords(0);
  count_tiles(joint.visits, figures);
  joint.visits = {};

  detail::NoSink sink;
  detail::fill_groups(figures, joint.index, identity, request, sink, result);
  std::vector<std::vector<SampleRecord>*> best;
  for (auto& part : rows) best.push_back(&part);
  result.samples = detail::best_rows(best, request.sample_limit);
  return result;
}

// Tasks per thread, for the pass and for the sweep. Measured on 2 threads:
// with a task per thread one of them often took 1.5 times as long as the
// other over the same work, and the pass ended with it; with four each,
// the pass took about half of one thread's time.
constexpr std::size_t kTasksPerThread = 4;

template <typename Source>
QueryReport query_in_parts(const Source& source, const Query& request,
                           std::size_t threads, const TaskRunner& run) {
  const std::size_t tasks = threads > SIZE_MAX / kTasksPerThread
                                ? SIZE_MAX
                                : threads * kTasksPerThread;
  const std::size_t parts =
      threads <= 1 ? 1 : std::min(source.tile_count(), tasks);
  return detail::with_identity(source, request, [&](auto identity) {
    if constexpr (std::is_same_v<Source, StoreSource>) {
      // A part per thread: each holds tables of the groups' durations.
      if (takes_step_path(source, request)) {
        auto answer = query_by_steps(
            source, request, identity, std::max<std::size_t>(threads, 1),
            [&](std::size_t count, const auto& task) {
              run_tasks(run, count, task);
            });
        if (answer) return std::move(*answer);
      }
    }
    if (takes_tile_batches(source, request)) {
      return query_by_tile_batches(
          source, request, identity, parts,
          [&](std::size_t count, const auto& task) {
            run_tasks(run, count, task);
          });
    }
    detail::NoSink sink;
    if (parts <= 1) {
      return detail::execute(source, request, std::move(identity), sink);
    }
    const std::vector<TileSpan> spans = cut_tiles(source, parts);
    return execute_in_parts(source, request, identity, spans, tasks, run);
  });
}

}  // namespace

QueryReport query(const zun_store::ReportStore& store, const Query& request,
                  std::size_t threads, const TaskRunner& run) {
  return query_in_parts(detail::StoreSource(store), request, threads, run);
}

QueryReport query(const zun_package::ProfileReport& report,
                  const Query& request, std::size_t threads,
                  const TaskRunner& run) {
  return query_in_parts(detail::RecordSource(report), request, threads, run);
}

}  // namespace zun_profile
