#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "query/query.hpp"

// Comparing two runs: the same request answered on a base report and a new
// one, groups matched by label.
namespace profile_query {

// Where a group was found.
enum class Presence {
  Both,     // in the base and the new report
  Added,    // in the new report only
  Removed,  // in the base report only
};

// "both", "added" or "removed".
std::string_view presence_name(Presence presence);

// One report's figures of a group; all 0 where the group is absent.
struct DiffSide {
  std::uint64_t key = 0;         // the compared figure (see DiffReport)
  std::size_t sample_count = 0;  // the group's samples
  std::uint64_t work_cycles = 0;
  std::uint32_t p50_cycles = 0;
  std::uint32_t p95_cycles = 0;
  std::uint32_t maximum_cycles = 0;
};

// One group of either report.
struct DiffRow {
  std::string name;  // the group label
  Presence presence = Presence::Both;
  DiffSide base;   // figures in the base report
  DiffSide after;  // figures in the new report

  // |after.key - base.key|, and whether the key grew (after > base). Kept
  // apart so that no difference of two 64-bit figures can overflow.
  std::uint64_t delta = 0;
  bool grew = false;

  // delta as a signed percentage of base.key; absent when base.key is 0 and
  // after.key is not (no percentage of nothing). 0 when both are 0.
  std::optional<double> percent;
};

// The whole-report figures of one run.
struct RunFigures {
  std::string source;  // the report's name, for showing
  std::size_t tile_count = 0;
  std::size_t sample_count = 0;
  std::size_t matched_sample_count = 0;
  std::uint64_t profile_span_cycles = 0;
};

struct DiffReport {
  // The compared figure's field name: "phase_cycles", "work_cycles",
  // "maximum_cycles" or "sample_count", following the request's sort_by
  // (phase cycles for SortBy::Name, whose rows still come by delta).
  std::string_view key_name;
  RunFigures base;
  RunFigures after;
  // Every group of both runs: the largest delta of the key first, ties by
  // name, byte-wise. (A caller may cut it to a limit; the counts below stay.)
  std::vector<DiffRow> rows;
  std::size_t group_count = 0;    // groups of both runs together
  std::size_t added_count = 0;    // of which only in the new run
  std::size_t removed_count = 0;  // of which only in the base run
  // The key summed over every group of the base run, saturating (a gate
  // measures an added group against it, whatever rows a limit keeps).
  std::uint64_t base_key_total = 0;
};

// The key field's name for an order (see DiffReport::key_name).
std::string_view key_name(zun_profile::SortBy sort_by);

// Renderings of a diff, built whole before any of it is written. The table
// has a header line comparing the runs' figures; a percentage of a zero
// base reads "new" there, and null in JSON.
std::string render_diff_table(const DiffReport& report);
std::string render_diff_json(const DiffReport& report);
std::string render_diff_csv(const DiffReport& report);

// The request each run answers for a diff of `request`: every group (the
// limit cuts the diff's order, not each run's) and no sample rows.
zun_profile::Query side_request(const zun_profile::Query& request);

// Keeps the first `limit` rows of the diff's order, if there is a limit;
// the counts of groups stay those of every row.
void keep_first(DiffReport& report, std::optional<std::size_t> limit);

// Matches the groups of two answers to the same request (made without a
// limit) and orders them by the change of the key.
DiffReport diff_results(const zun_profile::QueryReport& base,
                        const zun_profile::QueryReport& after,
                        zun_profile::SortBy sort_by,
                        std::string_view base_source,
                        std::string_view after_source);

// A regression gate's percentage, exactly: millionths of a percent.
struct GateThreshold {
  std::uint64_t millionths = 0;  // 12.5% is 12500000
  std::string text;              // as given, for messages
};

// Reads a percentage such as "10" or "2.5" (at most six decimals, at most
// 10^9); nothing when the text is not one.
std::optional<GateThreshold> parse_threshold(std::string_view text);

// The rows that fail a regression gate: a group whose key grew by more than
// the threshold's percentage of its base (any growth from a base of 0), or
// an added group whose key exceeds that percentage of the base's total of
// the key. Compared exactly, in integers. Each as one line saying which and
// by how much.
std::vector<std::string> regressions(const DiffReport& report,
                                     const GateThreshold& threshold);

// Whether each row of `report` fails the gate, as `regressions` decides it.
std::vector<bool> regressed_rows(const DiffReport& report,
                                 const GateThreshold& threshold);

}  // namespace profile_query
