#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The query request: which samples take part, how they are grouped and
// ordered, and how many rows come back. A default-constructed request groups
// by kernel, orders by phase cycles, filters nothing, returns every group and
// no sample rows.
namespace zun_profile {

// The request-side copy of zun_package::ProfileStepKind: same members, same
// values. Two kinds are equal exactly when their values are.
enum class StepKind : std::uint32_t {
  Exchange = 0,
  Compute = 1,
  Synchronization = 2,
  Idle = 3,
};

// Which property of a sample forms its group label.
enum class GroupBy : std::uint32_t {
  Kind = 0,       // "exchange", "compute", "synchronization" or "idle"
  Kernel = 1,     // the kernel name; "(no kernel)" for the empty one
  Operation = 2,  // the operation text, unchanged
  Phase = 3,      // "phase <phase>/<epoch>"
  Tile = 4,       // "tile <physical tile>"
  Metadata = 5,   // the value under Query::metadata_key; "(missing)" if none
};

// The primary order of the group rows. Ties fall to the earlier first offset,
// then to the byte-wise smaller name.
enum class SortBy : std::uint32_t {
  PhaseCycles = 0,    // phase_cycles, largest first
  WorkCycles = 1,     // work_cycles, largest first
  MaximumCycles = 2,  // maximum_cycles, largest first
  Samples = 3,        // sample_count, largest first
  Name = 4,           // name, ascending byte-wise
};

// Asks that the step carry a metadata entry named `name` and, when `value` is
// present, with exactly that value; both must hold on one and the same entry.
struct MetadataFilter {
  std::string name;                  // compared byte for byte
  std::optional<std::string> value;  // absent: any value, the empty included
};

// A span of time in cycles from each tile's own time zero: from included, to
// excluded. A window with to <= from holds no time.
struct TimeWindow {
  std::uint64_t from = 0;
  std::uint64_t to = 0;
};

// One question asked of a profile report. Every combination of values is
// accepted; nothing is validated against the report.
struct Query {
  GroupBy group_by = GroupBy::Kernel;    // what names a group
  SortBy sort_by = SortBy::PhaseCycles;  // the order of the group rows

  std::optional<StepKind> kind;  // present: only steps of this kind

  // Present: only steps whose kernel equals it byte for byte. An empty text
  // selects the steps without kernel.
  std::optional<std::string> kernel;

  // Present: only steps whose operation holds it as a contiguous,
  // case-sensitive run of bytes. An empty text is held by every operation.
  std::optional<std::string> operation_contains;

  std::set<std::uint32_t> tiles;   // physical tiles to keep; empty keeps all
  std::set<std::uint32_t> phases;  // step phases to keep, any epoch; empty
                                   // keeps all

  std::vector<MetadataFilter> metadata;  // every filter must be met

  // The metadata name whose value labels a group under GroupBy::Metadata;
  // absent counts as the empty name. Ignored by the other groupings.
  std::optional<std::string> metadata_key;

  // Present: only samples running at this point, in cycles from their own
  // tile's time zero (start included, end excluded). Echoed in the result.
  std::optional<std::uint64_t> at_offset;

  // Present: at most this many group rows, the first after ordering; 0 gives
  // none. Absent: every group.
  std::optional<std::size_t> limit;

  // At most this many individual sample rows, longest first; 0 gives none.
  std::size_t sample_limit = 0;

  // Present: only samples running within the window: those whose run
  // [offset, offset + duration) meets [from, to), and those of duration 0
  // with from <= offset < to. The figures stay those of whole samples.
  std::optional<TimeWindow> window;
};

}  // namespace zun_profile
