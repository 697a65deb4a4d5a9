#pragma once

// The library is C++20 and is built and tested as such only: say so plainly
// to a build with an older standard rather than fail somewhere inside.
#if defined(__cplusplus) && !defined(_MSVC_LANG) && __cplusplus < 202002L
#error "zun needs C++20 or newer: compile with -std=c++20 (or later)"
#endif

#include <cstdint>
#include <string>
#include <vector>

// The in-memory records of one profiling run of a tiled processor. They are
// plain values with public fields; nothing is validated when they are built.
namespace zun_package {

// What a step does. A value outside the four members (cast from an integer)
// is carried through queries without undefined behaviour.
enum class ProfileStepKind : std::uint32_t {
  Exchange = 0,
  Compute = 1,
  Synchronization = 2,
  Idle = 3,
};

// One descriptive name/value property of a step. Names need not be unique
// within a step.
struct ProfileMetadata {
  std::string name;   // the property's name, compared byte for byte
  std::string value;  // its value, compared byte for byte; may be empty
};

// The step that one sample timed.
struct ProfileStep {
  // An index carried with the step; queries never read it.
  std::uint32_t local_index = 0;

  // Phase number, filtered and grouped on. Together with `epoch` it names
  // the phase interval a sample's run belongs to.
  std::uint32_t phase = 0;

  // Runs of one phase in different epochs are measured as separate phases.
  std::uint32_t epoch = 0;

  std::string operation;  // the operation the step carried out

  ProfileStepKind kind = ProfileStepKind::Exchange;  // what the step does

  // Name of the kernel that ran the step; empty when it belongs to none.
  std::string kernel;

  // Descriptive properties in the order recorded; duplicates allowed.
  std::vector<ProfileMetadata> metadata;
};

// One run of a step on one tile, as raw values of the tile's cycle counter.
struct CycleSample {
  ProfileStep step;  // the step the tile ran

  // Counter value when the step started. The counter is 32 bits wide and
  // wraps, so derive times from differences, never from raw values.
  std::uint32_t start_cycle = 0;

  // Counter value when the step ended; below start_cycle after a wrap.
  std::uint32_t end_cycle = 0;
};

// Everything recorded on one tile.
struct TileProfile {
  // Identifier of the physical tile. Two entries may carry the same number;
  // each keeps its own time base, and they count as one distinct tile.
  std::uint32_t physical_tile = 0;

  // Samples in execution order, earliest first. The first one's start_cycle
  // is the tile's time zero; every offset is measured from it.
  std::vector<CycleSample> samples;
};

// One profiling run: every tile's samples and the clock they were taken at.
struct ProfileReport {
  // Cycle counter frequency in cycles per second; 0 when unknown, which
  // turns every millisecond figure of a query into 0.0.
  std::uint64_t clock_hz = 0;

  // One entry per profiled tile, tiles without samples included.
  std::vector<TileProfile> tiles;
};

}  // namespace zun_package
