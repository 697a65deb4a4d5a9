#include "tests/support/oracle.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zun_profile::support {
namespace {

using zun_package::CycleSample;
using zun_package::ProfileReport;

std::string kind_text(zun_package::ProfileStepKind kind) {
  switch (static_cast<std::uint32_t>(kind)) {
    case 0:
      return "exchange";
    case 1:
      return "compute";
    case 2:
      return "synchronization";
    case 3:
      return "idle";
    default:
      return "unknown";
  }
}

bool passes(const Query& q, std::uint32_t tile, const CycleSample& s,
            std::uint64_t offset, std::uint32_t length) {
  if (q.kind.has_value() && static_cast<std::uint32_t>(*q.kind) !=
                                static_cast<std::uint32_t>(s.step.kind)) {
    return false;
  }
  if (q.kernel.has_value() && *q.kernel != s.step.kernel) return false;
  if (q.operation_contains.has_value()) {
    const std::string& hay = s.step.operation;
    const std::string& needle = *q.operation_contains;
    bool found = false;
    for (std::size_t at = 0; at + needle.size() <= hay.size(); ++at) {
      if (hay.compare(at, needle.size(), needle) == 0) {
        found = true;
        break;
      }
    }
    if (!found) return false;
  }
  if (!q.tiles.empty() && q.tiles.count(tile) == 0) return false;
  if (!q.phases.empty() && q.phases.count(s.step.phase) == 0) return false;
  if (q.at_offset.has_value()) {
    std::uint64_t end = offset + length;
    if (end < offset) end = UINT64_MAX;
    if (*q.at_offset < offset || *q.at_offset >= end) return false;
  }
  if (q.window.has_value()) {
    // Written out from the definition: a run of positive length meets the
    // window when it starts before the window ends and ends after it
    // starts; an instant must fall inside it.
    const std::uint64_t from = q.window->from;
    const std::uint64_t to = q.window->to;
    if (from >= to) return false;
    std::uint64_t end = offset + length;
    if (end < offset) end = UINT64_MAX;
    const bool inside = length == 0 ? (from <= offset && offset < to)
                                    : (offset < to && from < end);
    if (!inside) return false;
  }
  for (const MetadataFilter& f : q.metadata) {
    bool met = false;
    for (const auto& m : s.step.metadata) {
      if (m.name == f.name && (!f.value.has_value() || m.value == *f.value)) {
        met = true;
      }
    }
    if (!met) return false;
  }
  return true;
}

std::pair<std::string, std::map<std::string, std::string>> label(
    const Query& q, std::uint32_t tile, const CycleSample& s) {
  std::map<std::string, std::string> dims;
  switch (static_cast<std::uint32_t>(q.group_by)) {
    case 0:
      return {kind_text(s.step.kind), dims};
    case 1:
      return {s.step.kernel.empty() ? "(no kernel)" : s.step.kernel, dims};
    case 2:
      return {s.step.operation, dims};
    case 3:
      dims["phase"] = std::to_string(s.step.phase);
      dims["epoch"] = std::to_string(s.step.epoch);
      return {"phase " + std::to_string(s.step.phase) + "/" +
                  std::to_string(s.step.epoch),
              dims};
    case 4:
      dims["physicalTile"] = std::to_string(tile);
      return {"tile " + std::to_string(tile), dims};
    case 5: {
      const std::string key = q.metadata_key.value_or("");
      std::string value = "(missing)";
      for (std::size_t i = s.step.metadata.size(); i-- > 0;) {
        if (s.step.metadata[i].name == key) value = s.step.metadata[i].value;
      }
      dims["metadataKey"] = key;
      dims["metadataValue"] = value;
      return {value, dims};
    }
    default:
      return {"", dims};
  }
}

struct Totals {
  std::map<std::string, std::string> dims;
  std::vector<std::uint32_t> durations;
  std::set<std::uint32_t> tiles;
  std::map<std::pair<std::uint32_t, std::uint32_t>,
           std::vector<std::pair<std::uint64_t, std::uint64_t>>>
      phases;
  std::uint64_t work = 0;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

std::uint64_t covered(std::vector<std::pair<std::uint64_t, std::uint64_t>> v) {
  std::sort(v.begin(), v.end());
  std::uint64_t total = 0;
  std::uint64_t reach = 0;  // everything below reach is counted
  for (const auto& [start, end] : v) {
    const std::uint64_t from = std::max(start, reach);
    if (end > from) {
      total += end - from;
      reach = end;
    }
  }
  return total;
}

double ms(std::uint64_t cycles, std::uint64_t hz) {
  return hz == 0
             ? 0.0
             : static_cast<double>(cycles) * 1000.0 / static_cast<double>(hz);
}

std::uint32_t pick(const std::vector<std::uint32_t>& sorted,
                   std::size_t percentage) {
  if (sorted.empty()) return 0;
  return sorted[(sorted.size() - 1) * percentage / 100];
}

struct Row {
  std::uint32_t tile;
  std::uint64_t offset;
  std::uint32_t length;
  const CycleSample* sample;
};

}  // namespace

QueryReport reference_query(const ProfileReport& report, const Query& q) {
  QueryReport out;
  out.clock_hz = report.clock_hz;
  out.tile_count = report.tiles.size();
  out.at_offset = q.at_offset;

  std::map<std::string, Totals> groups;
  std::vector<Row> rows;
  for (const auto& tile : report.tiles) {
    if (tile.samples.empty()) continue;
    const std::uint32_t base = tile.samples[0].start_cycle;
    for (const CycleSample& s : tile.samples) {
      ++out.sample_count;
      const std::uint64_t offset =
          static_cast<std::uint32_t>(s.start_cycle - base);
      const std::uint32_t length =
          static_cast<std::uint32_t>(s.end_cycle - s.start_cycle);
      out.profile_span_cycles =
          std::max(out.profile_span_cycles, offset + length);
      if (!passes(q, tile.physical_tile, s, offset, length)) continue;
      ++out.matched_sample_count;
      auto [name, dims] = label(q, tile.physical_tile, s);
      auto found = groups.find(name);
      if (found == groups.end()) {
        found = groups.emplace(name, Totals{}).first;
        found->second.dims = dims;
        found->second.first = offset;
      }
      Totals& t = found->second;
      t.durations.push_back(length);
      t.tiles.insert(tile.physical_tile);
      t.phases[{s.step.phase, s.step.epoch}].push_back(
          {offset, offset + length});
      t.work += length;
      t.first = std::min(t.first, offset);
      t.last = std::max(t.last, offset + length);
      rows.push_back(Row{tile.physical_tile, offset, length, &s});
    }
  }
  out.profile_span_ms = ms(out.profile_span_cycles, report.clock_hz);

  for (auto& [name, t] : groups) {
    GroupSummary g;
    g.name = name;
    g.dimensions = t.dims;
    std::sort(t.durations.begin(), t.durations.end());
    g.sample_count = t.durations.size();
    g.tile_count = t.tiles.size();
    g.phase_count = t.phases.size();
    for (const auto& [key, intervals] : t.phases) {
      g.phase_cycles += covered(intervals);
    }
    g.phase_ms = ms(g.phase_cycles, report.clock_hz);
    g.work_cycles = t.work;
    g.average_active_tiles =
        g.phase_cycles == 0
            ? 0.0
            : static_cast<double>(t.work) / static_cast<double>(g.phase_cycles);
    g.mean_cycles =
        static_cast<double>(t.work) / static_cast<double>(t.durations.size());
    g.p50_cycles = pick(t.durations, 50);
    g.p95_cycles = pick(t.durations, 95);
    g.maximum_cycles = t.durations.back();
    g.first_offset = t.first;
    g.last_offset = t.last;
    out.groups.push_back(g);
  }
  const auto before = [&q](const GroupSummary& a, const GroupSummary& b) {
    switch (static_cast<std::uint32_t>(q.sort_by)) {
      case 0:
        if (a.phase_cycles != b.phase_cycles) {
          return a.phase_cycles > b.phase_cycles;
        }
        break;
      case 1:
        if (a.work_cycles != b.work_cycles)
          return a.work_cycles > b.work_cycles;
        break;
      case 2:
        if (a.maximum_cycles != b.maximum_cycles) {
          return a.maximum_cycles > b.maximum_cycles;
        }
        break;
      case 3:
        if (a.sample_count != b.sample_count) {
          return a.sample_count > b.sample_count;
        }
        break;
      case 4:
        if (a.name != b.name) return a.name < b.name;
        break;
      default:
        break;
    }
    if (a.first_offset != b.first_offset)
      return a.first_offset < b.first_offset;
    return a.name < b.name;
  };
  std::stable_sort(out.groups.begin(), out.groups.end(), before);
  if (q.limit.has_value()) {
    while (out.groups.size() > *q.limit) out.groups.pop_back();
  }

  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    if (a.length != b.length) return a.length > b.length;
    if (a.tile != b.tile) return a.tile < b.tile;
    return a.offset < b.offset;
  });
  for (std::size_t i = 0; i < rows.size() && i < q.sample_limit; ++i) {
    SampleRecord r;
    r.physical_tile = rows[i].tile;
    r.offset = rows[i].offset;
    r.duration = rows[i].length;
    r.phase = rows[i].sample->step.phase;
    r.epoch = rows[i].sample->step.epoch;
    r.kind = kind_text(rows[i].sample->step.kind);
    r.operation = rows[i].sample->step.operation;
    r.kernel = rows[i].sample->step.kernel;
    for (const auto& m : rows[i].sample->step.metadata) {
      r.metadata.push_back(MetadataEntry{m.name, m.value});
    }
    out.samples.push_back(r);
  }
  return out;
}

ActivityReport reference_activity(const ProfileReport& report, const Query& q,
                                  std::size_t buckets) {
  Query all = q;
  all.limit.reset();
  all.sample_limit = 0;
  const QueryReport every = reference_query(report, all);

  ActivityReport out;
  out.clock_hz = report.clock_hz;
  out.profile_span_cycles = every.profile_span_cycles;
  out.profile_span_ms = every.profile_span_ms;
  const std::uint64_t span = every.profile_span_cycles;
  std::uint64_t count = buckets == 0 ? 1 : buckets;
  if (span > 0 && span < count) count = span;
  out.bucket_count = count;
  out.bucket_cycles = span / count;

  // Rows in the order the whole answer gives; the first `limit` are series.
  std::map<std::string, std::size_t> series;
  const std::size_t shown = q.limit.has_value()
                                ? std::min(*q.limit, every.groups.size())
                                : every.groups.size();
  for (std::size_t i = 0; i < every.groups.size(); ++i) {
    series[every.groups[i].name] = std::min(i, shown);
  }
  std::vector<std::vector<std::uint64_t>> busy(
      shown + 1, std::vector<std::uint64_t>(count, 0));

  for (const auto& tile : report.tiles) {
    if (tile.samples.empty()) continue;
    const std::uint32_t base = tile.samples[0].start_cycle;
    for (const CycleSample& s : tile.samples) {
      const std::uint64_t offset =
          static_cast<std::uint32_t>(s.start_cycle - base);
      const std::uint32_t length =
          static_cast<std::uint32_t>(s.end_cycle - s.start_cycle);
      if (!passes(q, tile.physical_tile, s, offset, length)) continue;
      auto& into = busy[series.at(label(q, tile.physical_tile, s).first)];
      // The overlap with every bucket, one by one.
      for (std::uint64_t b = 0; b < count; ++b) {
        const std::uint64_t low = b * out.bucket_cycles;
        const std::uint64_t high =
            b + 1 == count ? span : low + out.bucket_cycles;
        const std::uint64_t from = std::max(low, offset);
        const std::uint64_t to = std::min<std::uint64_t>(high, offset + length);
        if (to > from) into[b] += to - from;
      }
    }
  }
  for (std::size_t i = 0; i < shown; ++i) {
    out.groups.push_back({every.groups[i].name, busy[i]});
  }
  out.other_cycles = busy[shown];
  out.other_group_count = every.groups.size() - shown;
  return out;
}

}  // namespace zun_profile::support
