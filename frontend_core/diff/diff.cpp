#include "frontend_core/diff/diff.hpp"

#include <algorithm>
#include <fmt/format.h>
#include <unordered_map>

#include "frontend_core/message_text.hpp"

namespace profile_query {
namespace {

std::uint64_t key_of(const zun_profile::GroupSummary& group,
                     zun_profile::SortBy sort_by) {
  switch (sort_by) {
    case zun_profile::SortBy::WorkCycles:
      return group.work_cycles;
    case zun_profile::SortBy::MaximumCycles:
      return group.maximum_cycles;
    case zun_profile::SortBy::Samples:
      return group.sample_count;
    default:
      return group.phase_cycles;
  }
}

DiffSide side_of(const zun_profile::GroupSummary& group,
                 zun_profile::SortBy sort_by) {
  return {key_of(group, sort_by), group.sample_count, group.work_cycles,
          group.p50_cycles,       group.p95_cycles,   group.maximum_cycles};
}

RunFigures figures_of(const zun_profile::QueryReport& result,
                      std::string_view source) {
  return {std::string(source), result.tile_count, result.sample_count,
          result.matched_sample_count, result.profile_span_cycles};
}

// Fills the delta and percentage from the two keys.
void compare(DiffRow& row) {
  const std::uint64_t base = row.base.key;
  const std::uint64_t after = row.after.key;
  row.grew = after > base;
  row.delta = row.grew ? after - base : base - after;
  if (row.delta == 0) {
    row.percent = 0.0;  // unchanged, from nothing or not
  } else if (base != 0) {
    const double share =
        static_cast<double>(row.delta) / static_cast<double>(base) * 100.0;
    row.percent = row.grew ? share : -share;
  }
}

}  // namespace

std::string_view presence_name(Presence presence) {
  switch (presence) {
    case Presence::Added:
      return "added";
    case Presence::Removed:
      return "removed";
    case Presence::Both:
      break;
  }
  return "both";
}

std::string_view key_name(zun_profile::SortBy sort_by) {
  switch (sort_by) {
    case zun_profile::SortBy::WorkCycles:
      return "work_cycles";
    case zun_profile::SortBy::MaximumCycles:
      return "maximum_cycles";
    case zun_profile::SortBy::Samples:
      return "sample_count";
    default:
      return "phase_cycles";
  }
}

zun_profile::Query side_request(const zun_profile::Query& request) {
  zun_profile::Query each = request;
  each.limit.reset();
  each.sample_limit = 0;
  return each;
}

void keep_first(DiffReport& report, std::optional<std::size_t> limit) {
  if (limit && report.rows.size() > *limit) report.rows.resize(*limit);
}

DiffReport diff_results(const zun_profile::QueryReport& base,
                        const zun_profile::QueryReport& after,
                        zun_profile::SortBy sort_by,
                        std::string_view base_source,
                        std::string_view after_source) {
  DiffReport report;
  report.key_name = key_name(sort_by);
  report.base = figures_of(base, base_source);
  report.after = figures_of(after, after_source);

  // Labels are unique within one answer.
  std::unordered_map<std::string_view, std::size_t> row_of;
  row_of.reserve(base.groups.size());
  report.rows.reserve(base.groups.size() + after.groups.size());
  for (const zun_profile::GroupSummary& group : base.groups) {
    row_of.emplace(group.name, report.rows.size());
    report.rows.push_back({group.name,
                           Presence::Removed,
                           side_of(group, sort_by),
                           {},
                           0,
                           false,
                           std::nullopt});
  }
  for (const zun_profile::GroupSummary& group : after.groups) {
    const auto found = row_of.find(group.name);
    if (found != row_of.end()) {
      DiffRow& row = report.rows[found->second];
      row.presence = Presence::Both;
      row.after = side_of(group, sort_by);
    } else {
      report.rows.push_back({group.name,
                             Presence::Added,
                             {},
                             side_of(group, sort_by),
                             0,
                             false,
                             std::nullopt});
    }
  }
  for (DiffRow& row : report.rows) {
    compare(row);
    report.added_count += row.presence == Presence::Added ? 1 : 0;
    report.removed_count += row.presence == Presence::Removed ? 1 : 0;
    const std::uint64_t total = report.base_key_total + row.base.key;
    report.base_key_total = total < row.base.key ? UINT64_MAX : total;
  }
  report.group_count = report.rows.size();
  std::sort(report.rows.begin(), report.rows.end(),
            [](const DiffRow& a, const DiffRow& b) {
              if (a.delta != b.delta) return a.delta > b.delta;
              return a.name < b.name;
            });
  return report;
}

std::optional<GateThreshold> parse_threshold(std::string_view text) {
  constexpr std::uint64_t kMillion = 1'000'000;
  constexpr std::uint64_t kMost = 1'000'000'000;  // percent
  GateThreshold threshold{0, std::string(text)};
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  if (whole.empty() || whole.size() > 10 || fraction.size() > 6 ||
      (dot != std::string_view::npos && fraction.empty())) {
    return std::nullopt;
  }
  std::uint64_t percent = 0;
  for (const char c : whole) {
    if (c < '0' || c > '9') return std::nullopt;
    percent = percent * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (percent > kMost) return std::nullopt;
  std::uint64_t millionths = 0;
  std::uint64_t scale = kMillion;
  for (const char c : fraction) {
    if (c < '0' || c > '9') return std::nullopt;
    scale /= 10;
    millionths += static_cast<std::uint64_t>(c - '0') * scale;
  }
  threshold.millionths = percent * kMillion + millionths;
  if (threshold.millionths > kMost * kMillion) return std::nullopt;
  return threshold;
}

std::vector<bool> regressed_rows(const DiffReport& report,
                                 const GateThreshold& threshold) {
  __extension__ using Wide = unsigned __int128;
  // value > base * percent / 100, as value * 10^8 > base * millionths.
  const auto above = [&](std::uint64_t value, Wide base) {
    return Wide{value} * 100'000'000u > base * threshold.millionths;
  };
  Wide base_total = 0;
  for (const DiffRow& row : report.rows) base_total += row.base.key;
  std::vector<bool> regressed(report.rows.size(), false);
  for (std::size_t i = 0; i < report.rows.size(); ++i) {
    const DiffRow& row = report.rows[i];
    if (!row.grew) continue;
    regressed[i] = row.presence == Presence::Added
                       ? above(row.after.key, base_total)
                       : above(row.delta, row.base.key);
  }
  return regressed;
}

std::vector<std::string> regressions(const DiffReport& report,
                                     const GateThreshold& threshold) {
  const std::vector<bool> regressed = regressed_rows(report, threshold);
  std::vector<std::string> failures;
  for (std::size_t i = 0; i < report.rows.size(); ++i) {
    if (!regressed[i]) continue;
    const DiffRow& row = report.rows[i];
    if (row.presence == Presence::Added) {
      failures.push_back(
          fmt::format("{}: added with {} {}, above {}% of the base's total",
                      quoted_text(row.name), report.key_name, row.after.key,
                      threshold.text));
    } else {
      failures.push_back(fmt::format(
          "{}: {} grew from {} to {} ({}), above {}%", quoted_text(row.name),
          report.key_name, row.base.key, row.after.key,
          row.percent ? fmt::format("+{:.1f}%", *row.percent)
                      : std::string("from nothing"),
          threshold.text));
    }
  }
  return failures;
}

}  // namespace profile_query
