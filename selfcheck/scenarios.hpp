#pragma once

#include <span>

#include "selfcheck/runner.hpp"

// The built-in scenarios. Each builds its own report, runs one query and
// checks fields of the answer exactly; a failing check throws
// selfcheck::CheckFailure.
namespace tests {

// The point in time and the metadata value select across a counter wrap.
void filters_by_normalized_time_and_metadata_across_counter_wrap();

// Grouping by a metadata key names each group by the bare value.
void groups_by_semantic_metadata_value();

// Parallel tiles share one phase interval: union, not sum.
void groups_parallel_samples_by_kernel();

// Back-to-back repeats of one operation all count towards the phase.
void phase_cycles_include_sequential_repeated_operations();

// The four scenarios in byte-wise name order, for the runner.
std::span<const selfcheck::ScenarioDescriptor> scenario_table();

}  // namespace tests
