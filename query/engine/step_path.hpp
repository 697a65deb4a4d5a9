#pragma once

// The answer of a query that asks nothing of single samples, built from a
// store's step facts. Every filter and group key is then a step's, so a
// group is a set of steps: its phase cycles are the unions of its steps'
// merged intervals per (phase, epoch), which the store holds; one light
// pass over the samples (a step id, a start and an end each, no record
// kept) adds up counts, work, extremes and tiles, and counts durations
// into a table per group from which the percentiles are read exactly. The
// answer equals the one pass's in every field. Internal: not installed.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "query/engine/engine.hpp"
#include "query/engine/store_source.hpp"
#include "query/engine/tile_spans.hpp"

namespace zun_profile::detail {

// Durations the groups' tables may span, summed over the groups, per part
// of the pass, for a slot per duration. Past it (durations spread over
// millions of cycles, or many groups) a slot holds a band of durations,
// kBands a group, and a second pass picks the durations of the bands that
// hold the percentiles (120 MiB of bands a part at most). Past
// kMostBandGroups the one pass answers.
inline constexpr std::uint64_t kMostDurationSlots = std::uint64_t{1} << 22;
inline constexpr std::uint64_t kBands = 240;
inline constexpr std::uint64_t kMostBandGroups = std::uint64_t{1} << 17;

// The band of a duration: itself below 16, then eight bands an octave.
constexpr std::uint32_t duration_band(std::uint32_t length) noexcept {
  if (length < 16) return length;
  const auto octave = static_cast<std::uint32_t>(std::bit_width(length)) - 1;
  return 16 + (octave - 4) * 8 + ((length >> (octave - 3)) & 7);
}
static_assert(duration_band(UINT32_MAX) == kBands - 1);
static_assert(duration_band(15) + 1 == duration_band(16));

// Whether `request` over `source` can take the step path: the store holds
// step facts, and nothing is asked of a sample beyond its step: no tiles,
// no time, no sample rows, and groups that are not tiles.
inline bool takes_step_path(const StoreSource& source, const Query& request) {
  // The tables count a part's durations in 32 bits.
  return source.store().has_step_facts() &&
         source.sample_count() <= UINT32_MAX && request.tiles.empty() &&
         !request.at_offset && !request.window && request.sample_limit == 0 &&
         request.group_by != GroupBy::Tile;
}

// What one part of the pass adds up per group.
struct StepPassGroup {
  std::size_t samples = 0;
  std::uint64_t work = 0;
  std::uint64_t last = 0;
  std::uint32_t first = UINT32_MAX;
  std::uint32_t most = 0;
  std::size_t last_entry = SIZE_MAX;
};

struct StepPass {
  std::vector<StepPassGroup> groups;
  std::vector<TileVisit> visits;
  std::vector<std::uint64_t> tile_bits;  // or, per group, a bit per tile
  std::vector<std::uint32_t> durations;  // per group, its table's slots
  bool contradicted = false;  // a duration outside its step's facts
};

// A percentile sought: its duration, or, until the second pass finds it,
// the band that holds it and its rank among the band's durations.
struct Wanted {
  std::uint32_t value = 0;
  std::size_t rank = 0;
};

// The second pass of banded percentiles: every selected sample whose
// duration lies in a band sought for its group is picked, and each
// percentile is its rank among its band's picks. `wanted[2 g + k]` holds
// band and rank before, the duration after.
template <typename RunParts>
void pick_in_bands(const StoreSource& source,
                   const std::vector<std::uint32_t>& group_of,
                   std::vector<Wanted>& wanted,
                   const std::vector<TileSpan>& spans, RunParts&& run_parts) {
  const std::size_t groups = wanted.size() / 2;
  // Per part, per group, the picks of its p50 band and of its p95 band.
  std::vector<std::vector<std::vector<std::uint32_t>>> picks(spans.size());
  run_parts(spans.size(), [&](std::size_t p) {
    picks[p].resize(2 * groups);
    for (std::size_t entry = spans[p].first; entry < spans[p].end; ++entry) {
      const StoreTile tile = source.tile(entry);
      for (std::size_t i = 0; i < tile.size(); ++i) {
        const std::uint32_t g = group_of[tile.steps[i]];
        if (g == kNoGroup) continue;
        const std::uint32_t length = tile.length(i);
        const std::uint32_t band = duration_band(length);
        for (std::size_t k = 0; k < 2; ++k) {
          if (band == wanted[2 * g + k].value) {
            picks[p][2 * g + k].push_back(length);
          }
        }
      }
    }
  });
  std::vector<std::uint32_t> all;
  for (std::size_t w = 0; w < wanted.size(); ++w) {
    all.clear();
    for (auto& part : picks) {
      all.insert(all.end(), part[w].begin(), part[w].end());
      part[w] = {};
    }
    if (wanted[w].rank >= all.size()) continue;  // cannot happen: counted
    const auto at = all.begin() + static_cast<std::ptrdiff_t>(wanted[w].rank);
    std::nth_element(all.begin(), at, all.end());
    wanted[w].value = *at;
  }
}

// The answer of `request` (which takes_step_path) over `source`, grouped
// by `identity`, its pass cut into `parts` tile ranges that `run_parts(n,
// task)` runs; nothing when the groups' durations spread too wide for
// their tables, or the facts do not fit the samples (a step without any,
// or a duration outside its step's range: a store no writer made), for
// the one pass to answer instead. `most_slots` bounds the slots of tables
// of a slot per duration (tests lower it to reach the banded tables).
// `sink`, if any, hears the order of the groups; `step_groups`, if any,
// receives each step's group id (kNoGroup where the filters drop it).
template <typename Identity, typename RunParts, typename Sink = NoSink>
std::optional<QueryReport> query_by_steps(
    const StoreSource& source, const Query& request, const Identity& identity,
    std::size_t parts, RunParts&& run_parts,
    std::uint64_t most_slots = kMostDurationSlots, Sink* sink = nullptr,
    std::vector<std::uint32_t>* step_groups = nullptr) {
  const zun_store::ReportStore& store = source.store();
  const std::size_t steps = store.step_count();
  const StoreFilter filter = source.filter(request);

  // Each step's group, by its key, and each group's range of durations.
  auto index = identity.make_index();
  std::vector<std::uint32_t> group_of(steps, kNoGroup);
  std::vector<std::uint32_t> least;
  std::vector<std::uint32_t> most;
  for (std::size_t d = 0; d < steps; ++d) {
    const auto step = static_cast<std::uint32_t>(d);
    if (!filter.meets_step(step)) continue;
    const StoreTile one{&step,   nullptr, nullptr, store.step_phases(),
                        store.step_epochs(), 0, 1, 0, 0};
    const auto found = index.find_or_add(identity.key(one, 0));
    if (found.added) {
      least.push_back(UINT32_MAX);
      most.push_back(0);
    }
    group_of[d] = found.id;
    least[found.id] = std::min(least[found.id], store.step_least_duration(d));
    most[found.id] = std::max(most[found.id], store.step_most_duration(d));
  }
  const std::size_t groups = least.size();
  // Where each group's slots start: a slot per duration from its least to
  // its most, or (banded) kBands slots.
  std::vector<std::uint64_t> table_at(groups + 1, 0);
  bool banded = false;
  for (std::size_t g = 0; g < groups && !banded; ++g) {
    const std::uint64_t slots =
        least[g] > most[g] ? 0 : std::uint64_t{most[g]} - least[g] + 1;
    table_at[g + 1] = table_at[g] + slots;
    banded = table_at[g + 1] > most_slots;
  }
  if (banded) {
    if (groups > kMostBandGroups) return std::nullopt;
    for (std::size_t g = 0; g <= groups; ++g) table_at[g] = g * kBands;
  }
  const auto slot_of = [&](std::uint32_t g, std::uint32_t length) {
    return banded ? table_at[g] + duration_band(length)
                  : table_at[g] + (length - least[g]);
  };

  // The pass, a part per task: counts, work, extremes, tiles, durations.
  const std::size_t tiles = source.tile_count();
  const std::vector<TileSpan> spans =
      cut_tiles(source, std::max<std::size_t>(1, std::min(parts, tiles)));
  parts = spans.size();
  // A group's tiles: as visits (group, tile) to count, or, when a bit per
  // group and physical tile takes at most 32 MiB a part, as those bits.
  std::vector<std::uint32_t> physical(tiles);
  for (std::size_t t = 0; t < tiles; ++t) physical[t] = source.physical_tile(t);
  std::vector<std::uint32_t> numbers = physical;
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  const std::size_t words = (numbers.size() + 63) / 64;
  const bool by_bits = groups * words <= (std::size_t{1} << 22);
  std::vector<std::uint32_t> bit_of(tiles);  // each entry's tile's bit
  for (std::size_t t = 0; t < tiles; ++t) {
    bit_of[t] = static_cast<std::uint32_t>(
        std::lower_bound(numbers.begin(), numbers.end(), physical[t]) -
        numbers.begin());
  }
  std::vector<StepPass> passes(parts);
  run_parts(parts, [&](std::size_t p) {
    StepPass& pass = passes[p];
    pass.groups.resize(groups);
    pass.durations.assign(static_cast<std::size_t>(table_at[groups]), 0);
    if (by_bits) pass.tile_bits.assign(groups * words, 0);
    for (std::size_t entry = spans[p].first; entry < spans[p].end; ++entry) {
      const StoreTile tile = source.tile(entry);
      for (std::size_t i = 0; i < tile.size(); ++i) {
        const std::uint32_t g = group_of[tile.steps[i]];
        if (g == kNoGroup) continue;
        const std::uint32_t offset = counter_distance(tile.base, tile.starts[i]);
        const std::uint32_t length = tile.length(i);
        StepPassGroup& group = pass.groups[g];
        ++group.samples;
        group.work += length;
        group.first = std::min(group.first, offset);
        group.last = std::max(group.last, std::uint64_t{offset} + length);
        group.most = std::max(group.most, length);
        // A step's durations lie within its facts' range, and so within
        // its group's table; a damaged fact must not write past it.
        if (length < least[g] || length > most[g]) {
          pass.contradicted = true;
          continue;
        }
        ++pass.durations[static_cast<std::size_t>(slot_of(g, length))];
        if (group.last_entry != entry) {
          group.last_entry = entry;
          if (by_bits) {
            const std::uint32_t bit = bit_of[entry];
            pass.tile_bits[g * words + bit / 64] |= std::uint64_t{1} << (bit % 64);
          } else {
            pass.visits.push_back({g, tile.physical});
          }
        }
      }
    }
  });

  // The parts joined into the first.
  StepPass& joint = passes.front();
  for (std::size_t p = 1; p < parts; ++p) {
    const StepPass& pass = passes[p];
    for (std::size_t g = 0; g < groups; ++g) {
      StepPassGroup& into = joint.groups[g];
      const StepPassGroup& from = pass.groups[g];
      into.samples += from.samples;
      into.work += from.work;
      into.first = std::min(into.first, from.first);
      into.last = std::max(into.last, from.last);
      into.most = std::max(into.most, from.most);
    }
    joint.contradicted = joint.contradicted || pass.contradicted;
    for (std::size_t w = 0; w < joint.tile_bits.size(); ++w) {
      joint.tile_bits[w] |= pass.tile_bits[w];
    }
    joint.visits.insert(joint.visits.end(), pass.visits.begin(),
                        pass.visits.end());
    for (std::size_t s = 0; s < joint.durations.size(); ++s) {
      joint.durations[s] += pass.durations[s];
    }
  }
  if (joint.contradicted) return std::nullopt;
  for (const StepPassGroup& group : joint.groups) {
    if (group.samples == 0) return std::nullopt;
  }

  // Each group's figures: the pass's, percentiles from its table, and its
  // phases and phase cycles from its steps' facts.
  std::vector<GroupFigures> figures(groups);
  std::vector<Wanted> wanted(2 * groups);  // per group, p50 then p95
  std::size_t matched = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    const StepPassGroup& group = joint.groups[g];
    GroupFigures& row = figures[g];
    row.sample_count = group.samples;
    row.work_cycles = group.work;
    row.first_offset = group.first;
    row.last_offset = group.last;
    row.maximum_cycles = group.most;
    matched += group.samples;
    const std::size_t ranks[2] = {percentile_rank(group.samples, 50),
                                  percentile_rank(group.samples, 95)};
    std::size_t below = 0;  // durations in the slots before
    std::size_t next = 0;   // the next rank to find
    for (std::uint64_t s = table_at[g]; s < table_at[g + 1] && next < 2; ++s) {
      const std::size_t before = below;
      below += joint.durations[static_cast<std::size_t>(s)];
      while (next < 2 && ranks[next] < below) {
        // The slot's duration, or (banded) the band and the rank within.
        const auto slot = static_cast<std::uint32_t>(s - table_at[g]);
        wanted[2 * g + next] = {banded ? slot : least[g] + slot,
                                ranks[next] - before};
        ++next;
      }
    }
  }
  if (banded) pick_in_bands(source, group_of, wanted, spans, run_parts);
  for (std::size_t g = 0; g < groups; ++g) {
    figures[g].p50_cycles = wanted[2 * g].value;
    figures[g].p95_cycles = wanted[2 * g + 1].value;
  }
  if (by_bits) {
    for (std::size_t g = 0; g < groups; ++g) {
      std::size_t count = 0;
      for (std::size_t w = 0; w < words; ++w) {
        count += static_cast<std::size_t>(
            std::popcount(joint.tile_bits[g * words + w]));
      }
      figures[g].tile_count = count;
    }
  } else {
    count_tiles(joint.visits, figures);
  }

  // Per group, its steps by (phase, epoch): the pairs are its phases, and
  // each pair's union of its steps' intervals adds to its phase cycles.
  {
    struct Member {
      std::uint32_t group;
      std::uint64_t pair;
      std::uint32_t step;
    };
    std::vector<Member> members;
    for (std::size_t d = 0; d < steps; ++d) {
      if (group_of[d] == kNoGroup) continue;
      members.push_back({group_of[d],
                         std::uint64_t{store.step_phases()[d]} << 32 |
                             store.step_epochs()[d],
                         static_cast<std::uint32_t>(d)});
    }
    std::sort(members.begin(), members.end(),
              [](const Member& a, const Member& b) {
                return a.group != b.group ? a.group < b.group : a.pair < b.pair;
              });
    std::vector<Interval> runs;
    for (std::size_t m = 0; m < members.size();) {
      std::size_t end = m + 1;
      while (end < members.size() && members[end].group == members[m].group &&
             members[end].pair == members[m].pair) {
        ++end;
      }
      runs.clear();
      for (std::size_t k = m; k < end; ++k) {
        for (const zun_store::StepInterval& run :
             store.step_intervals(members[k].step)) {
          runs.emplace_back(run.start, run.end);
        }
      }
      GroupFigures& row = figures[members[m].group];
      ++row.phase_count;
      row.phase_cycles += union_length(runs);
      m = end;
    }
  }

  QueryReport result = report_header(source, request);
  std::uint64_t span = 0;
  for (std::size_t t = 0; t < tiles; ++t) {
    span = std::max(span, source.tile_span(t));
  }
  result.matched_sample_count = matched;
  result.profile_span_cycles = span;
  result.profile_span_ms = cycles_to_ms(span, result.clock_hz);
  if (sink != nullptr) {
    fill_groups(figures, index, identity, request, *sink, result);
  } else {
    NoSink none;
    fill_groups(figures, index, identity, request, none, result);
  }
  if (step_groups != nullptr) *step_groups = std::move(group_of);
  return result;
}

}  // namespace zun_profile::detail
