#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The answer to a query. Every record owns its texts, maps and lists: nothing
// refers back into the report or the request, so a result outlives both.
namespace zun_profile {

// The result-side copy of one metadata pair of a step.
struct MetadataEntry {
  std::string name;   // the metadata name
  std::string value;  // its value
};

// The figures of one group of selected samples. Offsets are cycles from the
// time zero of each sample's own tile; milliseconds use the report's clock.
struct GroupSummary {
  std::string name;  // the group label; unique within one result

  // What the label stands for ("phase"/"epoch", "physicalTile",
  // "metadataKey"/"metadataValue"); empty for kind, kernel and operation.
  std::map<std::string, std::string> dimensions;

  std::size_t sample_count = 0;  // selected samples in the group
  std::size_t tile_count = 0;    // distinct physical tile numbers among them
  std::size_t phase_count = 0;   // distinct (phase, epoch) pairs among them

  // Cycles covered: per (phase, epoch) the length of the union of its
  // samples' run intervals, summed over the pairs. Parallel runs count once.
  std::uint64_t phase_cycles = 0;
  double phase_ms = 0.0;  // phase_cycles in milliseconds; 0.0 without clock

  std::uint64_t work_cycles = 0;  // sum of the samples' durations

  // work_cycles / phase_cycles: how many of the group's samples ran at once
  // on average; 0.0 when phase_cycles is 0.
  double average_active_tiles = 0.0;

  double mean_cycles = 0.0;  // work_cycles / sample_count

  // Percentiles of the durations: always one of them, the lower one where
  // the rank falls between two.
  std::uint32_t p50_cycles = 0;
  std::uint32_t p95_cycles = 0;
  std::uint32_t maximum_cycles = 0;  // the longest duration

  std::uint64_t first_offset = 0;  // earliest start offset
  std::uint64_t last_offset = 0;   // latest end offset (offset + duration)
};

// One selected sample, as a row of the longest samples.
struct SampleRecord {
  std::uint32_t physical_tile = 0;  // the tile that ran it
  std::uint64_t offset = 0;         // start, cycles from its tile's time zero
  std::uint32_t duration = 0;       // cycles
  std::uint32_t phase = 0;          // the step's phase
  std::uint32_t epoch = 0;          // the step's epoch

  // "exchange", "compute", "synchronization" or "idle" ("unknown" for a
  // kind outside those four).
  std::string kind;
  std::string operation;  // the step's operation text
  std::string kernel;     // the step's kernel, empty when it has none
  std::vector<MetadataEntry> metadata;  // the step's metadata, in order
};

// Whole-report figures, the groups and the longest selected samples.
struct QueryReport {
  std::uint64_t clock_hz = 0;  // copied from the report

  std::size_t tile_count = 0;            // tile entries, empty ones included
  std::size_t sample_count = 0;          // every sample, before any filter
  std::size_t matched_sample_count = 0;  // samples the filters selected

  // Largest end offset over every sample, selected or not; 0 without
  // samples.
  std::uint64_t profile_span_cycles = 0;
  double profile_span_ms = 0.0;  // the span in milliseconds

  std::optional<std::uint64_t> at_offset;  // the request's point in time

  // One row per group in the requested order, cut to the request's limit.
  std::vector<GroupSummary> groups;

  // The longest selected samples, longest first, at most sample_limit; ties
  // by tile, then offset, then the order met in the report.
  std::vector<SampleRecord> samples;
};

}  // namespace zun_profile
