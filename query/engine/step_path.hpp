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
// up to kBands a group, and a second pass picks the durations of the bands
// that hold the percentiles (8 MiB of bands a part at most). Past
// kMostBandGroups the one pass answers.
inline constexpr std::uint64_t kMostDurationSlots = std::uint64_t{1} << 22;
inline constexpr std::uint64_t kBands = 240;
inline constexpr std::uint64_t kMostBandGroups = std::uint64_t{1} << 17;

// A group's bands: kBands of about equal width across its range of
// durations, so that the band holding a percentile holds about 1/kBands of
// the range, and the second pass picks few durations (bands of equal
// shares of the logarithm picked up to half a group's samples where a
// group's durations lie close together, as one step's do). Any function
// that never decreases would do: both passes use the same one.
struct GroupBands {
  std::uint32_t least;  // the group's least duration
  std::uint64_t scale;  // count * 2^32 / (its range + 1), rounded down

  // `count` bands, at most kBands.
  GroupBands(std::uint32_t least_duration, std::uint32_t most_duration,
             std::uint64_t count)
      : least(least_duration),
        scale((count << 32) /
              (std::uint64_t{most_duration - least_duration} + 1)) {}

  // The band of `length`, from least to most: below the count. A length
  // out of the range gives some other number, which no band sought equals.
  std::uint64_t of(std::uint32_t length) const noexcept {
    // (length - least) * scale < count * 2^32: no overflow in range.
    return (std::uint64_t{length - least} * scale) >> 32;
  }
};

// Bands a group has: kBands, and fewer where the groups are many, so that
// a part's tables stay within kMostBandSlots (4 MiB), which the caches can
// mostly hold: the pass counts every sample into them, and a miss costs
// more than the second pass's picks from wider bands. At least 16 (a cache
// line a group).
inline constexpr std::uint64_t kMostBandSlots = std::uint64_t{1} << 20;
inline std::uint64_t bands_per_group(std::size_t groups) noexcept {
  const std::uint64_t fit =
      groups == 0 ? kBands : kMostBandSlots / std::uint64_t{groups};
  return std::clamp<std::uint64_t>(fit, 16, kBands);
}

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
                   const std::vector<GroupBands>& bands,
                   std::vector<Wanted>& wanted, std::size_t expected,
                   const std::vector<TileSpan>& spans, RunParts&& run_parts) {
  // Per part, the picks as (percentile sought, duration): 2 g + k for
  // group g's p50 (k = 0) or p95 (k = 1); where both lie in one band, its
  // picks are taken once, as the p50's.
  struct Pick {
    std::uint32_t sought;
    std::uint32_t length;
  };
  std::vector<std::vector<Pick>> picks(spans.size());
  run_parts(spans.size(), [&](std::size_t p) {
    // Room for every pick the tables counted, so that none is moved: only
    // the pages written are touched.
    picks[p].reserve(expected);
    for (std::size_t entry = spans[p].first; entry < spans[p].end; ++entry) {
      const StoreTile tile = source.tile(entry);
      for (std::size_t i = 0; i < tile.size(); ++i) {
        const std::uint32_t g = group_of[tile.steps[i]];
        if (g == kNoGroup) continue;
        const std::uint32_t length = tile.length(i);
        const std::uint64_t band = bands[g].of(length);
        if (band == wanted[2 * g].value) {
          picks[p].push_back({2 * g, length});
        } else if (band == wanted[2 * g + 1].value) {
          picks[p].push_back({2 * g + 1, length});
        }
      }
    }
  });
  // The picks of each percentile sought side by side (a counting sort),
  // then each one's duration at its rank.
  std::vector<std::size_t> begin(wanted.size() + 1, 0);
  for (const auto& part : picks) {
    for (const Pick& pick : part) ++begin[pick.sought + 1];
  }
  for (std::size_t w = 0; w < wanted.size(); ++w) begin[w + 1] += begin[w];
  std::vector<std::uint32_t> all(begin.back());
  {
    std::vector<std::size_t> next(begin.begin(), begin.end() - 1);
    for (auto& part : picks) {
      for (const Pick& pick : part) all[next[pick.sought]++] = pick.length;
      part = {};
    }
  }
  // A p95 in its p50's band is among the p50's picks (told apart before
  // the p50's band becomes its duration).
  std::vector<std::uint8_t> shared(wanted.size() / 2);
  for (std::size_t g = 0; g < shared.size(); ++g) {
    shared[g] = wanted[2 * g].value == wanted[2 * g + 1].value;
  }
  for (std::size_t w = 0; w < wanted.size(); ++w) {
    const std::size_t from = w % 2 == 1 && shared[w / 2] != 0 ? w - 1 : w;
    const auto first = all.begin() + static_cast<std::ptrdiff_t>(begin[from]);
    const auto last =
        all.begin() + static_cast<std::ptrdiff_t>(begin[from + 1]);
    if (wanted[w].rank >= begin[from + 1] - begin[from]) continue;  // counted
    const auto at = first + static_cast<std::ptrdiff_t>(wanted[w].rank);
    std::nth_element(first, at, last);
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
  std::vector<GroupBands> bands;
  if (banded) {
    if (groups > kMostBandGroups) return std::nullopt;
    const std::uint64_t count = bands_per_group(groups);
    for (std::size_t g = 0; g <= groups; ++g) table_at[g] = g * count;
    for (std::size_t g = 0; g < groups; ++g) {
      bands.emplace_back(least[g], most[g], count);
    }
  }
  const auto slot_of = [&](std::uint32_t g, std::uint32_t length) {
    return banded ? table_at[g] + bands[g].of(length)
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
  if (banded) {
    // The picks to come: the samples of the bands sought, counted.
    std::size_t expected = 0;
    for (std::size_t g = 0; g < groups; ++g) {
      for (std::size_t k = 0; k < 2; ++k) {
        if (k == 1 && wanted[2 * g + 1].value == wanted[2 * g].value) break;
        expected += joint.durations[static_cast<std::size_t>(
            table_at[g] + wanted[2 * g + k].value)];
      }
    }
    pick_in_bands(source, group_of, bands, wanted, expected, spans,
                  run_parts);
  }
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
