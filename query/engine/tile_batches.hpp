#pragma once

// Grouping by tile, where no two tile entries share a physical tile number,
// each group's samples are one entry's: the pass and the sweep can then go a
// batch of entries at a time. A batch's records stay within the caches and
// are freed before the next batch, where the one pass would write the whole
// report's records through main memory (1.5 GB at 10^8 samples) before
// sorting them. Each group's figures come from its own records either way,
// so the answer is the same, byte for byte. Internal: not installed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "query/engine/engine.hpp"
#include "query/engine/tile_spans.hpp"

namespace zun_profile::detail {

// Samples a batch holds at least, but for a part's last: its records, 12 to
// 24 bytes each, stay within the larger caches, and a report of a million
// small tiles is not cut into a million batches.
inline constexpr std::size_t kTileBatchSamples = std::size_t{1} << 17;

// Whether `request` groups `source` by tile, and every entry has a physical
// tile number of its own.
template <typename Source>
bool takes_tile_batches(const Source& source, const Query& request) {
  if (request.group_by != GroupBy::Tile) return false;
  std::vector<std::uint32_t> physical(source.tile_count());
  for (std::size_t t = 0; t < physical.size(); ++t) {
    physical[t] = source.physical_tile(t);
  }
  std::sort(physical.begin(), physical.end());
  return std::adjacent_find(physical.begin(), physical.end()) ==
         physical.end();
}

// What the batches of one range of entries give: their groups' keys and
// figures in order of first sample, and the range's best sample rows.
template <typename Identity>
struct TileBatchesOut {
  std::vector<typename Identity::Key> keys;
  std::vector<GroupFigures> figures;
  std::vector<SampleRecord> rows;
  std::uint64_t span = 0;
  std::size_t matched = 0;
};

// The batches of entries [first, end), one after another, into `out`.
template <typename Source, typename Identity>
void collect_tile_batches(const Source& source, const Query& request,
                          const Identity& identity, std::size_t first,
                          std::size_t end, std::size_t batch_samples,
                          TileBatchesOut<Identity>& out) {
  NoSink sink;
  std::size_t batch_first = first;
  while (batch_first < end) {
    std::size_t batch_end = batch_first;
    std::size_t samples = 0;
    while (batch_end < end && samples < batch_samples) {
      samples += source.tile_size(batch_end++);
    }
    Collected<Identity> pass(identity, samples, request.sample_limit,
                             source.steps());
    collect(source, request, identity, sink, batch_first, batch_end, pass);
    out.span = std::max(out.span, pass.span);
    out.matched += pass.runs.size();
    const std::size_t before = out.figures.size();
    out.figures.resize(before + pass.groups.size());
    const std::span<GroupFigures> figures(out.figures.data() + before,
                                          pass.groups.size());
    pass.runs.summarize(figures);
    count_tiles(pass.visits, figures);
    for (std::size_t g = 0; g < pass.groups.size(); ++g) {
      out.keys.push_back(pass.index.key(static_cast<std::uint32_t>(g)));
    }
    if (request.sample_limit > 0) {
      std::vector<SampleRecord> rows = pass.rows.take_rows();
      std::vector<SampleRecord>* both[] = {&out.rows, &rows};
      out.rows = best_rows(both, request.sample_limit);
    }
    batch_first = batch_end;
  }
}

// The answer of `request` (see takes_tile_batches) over `source`, its
// entries cut into `parts` ranges, each run as a task by
// `run_parts(count, task)`, which calls task(p) for every p below count.
// Tests ask for smaller batches than the caches call for.
template <typename Source, typename Identity, typename RunParts>
QueryReport query_by_tile_batches(
    const Source& source, const Query& request, const Identity& identity,
    std::size_t parts, RunParts&& run_parts,
    std::size_t batch_samples = kTileBatchSamples) {
  QueryReport result = report_header(source, request);
  parts = std::clamp<std::size_t>(parts, 1, std::max<std::size_t>(
                                                 source.tile_count(), 1));
  const std::vector<TileSpan> spans = cut_tiles(source, parts);
  std::vector<TileBatchesOut<Identity>> outs(spans.size());
  run_parts(spans.size(), [&](std::size_t p) {
    collect_tile_batches(source, request, identity, spans[p].first,
                         spans[p].end, batch_samples, outs[p]);
  });

  // The parts' groups, in order of first sample over the report.
  auto index = identity.make_index();
  std::vector<GroupFigures> figures;
  std::vector<std::vector<SampleRecord>*> rows;
  std::uint64_t span = 0;
  std::size_t matched = 0;
  for (TileBatchesOut<Identity>& out : outs) {
    for (const auto& key : out.keys) index.find_or_add(key);
    figures.insert(figures.end(), out.figures.begin(), out.figures.end());
    out.keys = {};
    out.figures = {};
    rows.push_back(&out.rows);
    span = std::max(span, out.span);
    matched += out.matched;
  }
  result.matched_sample_count = matched;
  result.profile_span_cycles = span;
  result.profile_span_ms = cycles_to_ms(span, result.clock_hz);
  NoSink sink;
  fill_groups(figures, index, identity, request, sink, result);
  result.samples = best_rows(rows, request.sample_limit);
  return result;
}

}  // namespace zun_profile::detail
