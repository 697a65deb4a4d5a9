#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "query/engine/step_path.hpp"
#include "query/engine/tile_batches.hpp"
#include "query/query.hpp"
#include "tests/support/compare.hpp"
#include "tests/support/oracle.hpp"
#include "tests/support/partial_cuts.hpp"
#include "tests/support/program_run.hpp"
#include "tests/support/random_case.hpp"
#include "tests/support/synthetic_report.hpp"

namespace zun_profile {
namespace {

// The store layout a case is checked through: version 1 and 2 in turn.
zun_store::StoreVersion version_of_case(std::uint64_t n) {
  return n % 2 == 0 ? zun_store::StoreVersion::v2 : zun_store::StoreVersion::v1;
}

// Where `request` takes the step path over `store`, that path's own answer
// against the reference, on one part and on three (query() falls back to
// the one pass when the path declines, which would hide it); "" where it
// does not apply. Counts in `taken` the requests it answered.
std::string step_path_difference(const zun_package::ProfileReport& report,
                                 const zun_store::ReportStore& store,
                                 const Query& request, std::size_t& taken) {
  const detail::StoreSource source(store);
  if (!detail::takes_step_path(source, request)) return "";
  const QueryReport expected = support::reference_query(report, request);
  // One part and three; a table slot per duration, and bands of them.
  for (const std::size_t parts : {std::size_t{1}, std::size_t{3}}) {
    for (const std::uint64_t slots : {detail::kMostDurationSlots, std::uint64_t{0}}) {
      const auto answer = detail::with_identity(source, request, [&](auto identity) {
        return detail::query_by_steps(
            source, request, identity, parts,
            [](std::size_t count, const auto& task) {
              for (std::size_t p = 0; p < count; ++p) task(p);
            },
            slots);
      });
      if (!answer) return "";  // declined: too wide a spread of durations
      std::string difference = support::first_difference(*answer, expected);
      if (!difference.empty()) {
        return "step path on " + std::to_string(parts) + " parts" +
               (slots == 0 ? ", banded: " : ": ") + difference;
      }
    }
  }
  ++taken;
  return "";
}

// The engine against the naive reference on thousands of small random
// cases; a mismatch names its seed and the case.
TEST(DifferentialTest, EngineMatchesTheReferenceOnRandomCases) {
  constexpr std::uint64_t kCases = 20000;
  std::uint64_t failures = 0;
  std::size_t by_steps = 0;  // requests the step path answered
  std::size_t by_batches = 0;  // and the batches of tiles
  for (std::uint64_t seed = 1; seed <= kCases && failures < 3; ++seed) {
    support::Entropy entropy(seed);
    const zun_package::ProfileReport report = support::random_report(entropy);
    // Both store layouts, in turn.
    const auto store =
        zun_store::ReportStore::from_report(report, version_of_case(seed));
    // Several requests per report, so that each report is asked many ways.
    for (int r = 0; r < 4; ++r) {
      const Query request = support::random_query(entropy, report);
      std::string difference =
          support::first_difference_of_sources(report, store, request);
      if (difference.empty()) {
        difference = step_path_difference(report, store, request, by_steps);
      }
      // first_difference_of_sources asked the batches of tiles too.
      if (detail::takes_tile_batches(detail::StoreSource(store), request)) {
        ++by_batches;
      }
      if (difference.empty()) {
        difference = support::first_difference_of_cuts(report, store,
                                                       request, entropy);
      }
      if (!difference.empty()) {
        ++failures;
        ADD_FAILURE() << "seed " << seed << " request " << r << ": "
                      << difference << "\n"
                      << support::describe(report, request);
        break;
      }
    }
  }
  // A fair share of the cases reach the step path (version 2 stores with
  // step facts, requests that ask nothing of single samples).
  EXPECT_GT(by_steps, kCases / 20);
  // Grouped by tile, with no physical tile number twice.
  EXPECT_GT(by_batches, kCases / 100);
}

// Larger reports drive the engine's size-dependent paths well past their
// small-case sizes: run-record chunks that grow, groups past the buckets of
// their own into the shared bucket, folded records and their durations kept
// apart, radix sorts of several digits, and durations gathered into scratch
// rather than counted into one histogram.
TEST(DifferentialTest, EngineMatchesTheReferenceOnLargerReports) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    support::Entropy entropy(seed * 7919);
    zun_package::ProfileReport report;
    for (int part = 0; part < 60; ++part) {
      zun_package::ProfileReport piece = support::random_report(entropy);
      for (auto& tile : piece.tiles) {
        if (!report.tiles.empty() && entropy.chance(2)) {
          auto& into = report.tiles.back().samples;
          into.insert(into.end(), tile.samples.begin(), tile.samples.end());
        } else {
          report.tiles.push_back(std::move(tile));
        }
      }
      report.clock_hz = piece.clock_hz;
    }
    const auto store =
        zun_store::ReportStore::from_report(report, version_of_case(seed));
    for (int r = 0; r < 6; ++r) {
      const Query request = support::random_query(entropy, report);
      const std::string difference =
          support::first_difference_of_sources(report, store, request);
      ASSERT_EQ(difference, "") << "seed " << seed << " request " << r;
      ASSERT_EQ(support::first_difference_of_cuts(report, store, request,
                                                  entropy),
                "")
          << "seed " << seed << " request " << r;
    }
  }
}

// Tens of thousands of groups: the group table grows past the caches (and
// its probes are fetched ahead), most groups share the last bucket of run
// records, and orders of many groups tie.
TEST(DifferentialTest, EngineMatchesTheReferenceWithManyGroups) {
  support::SyntheticShape unique;
  unique.tiles = 48;
  unique.samples_per_tile = 1500;
  unique.kernels = support::KernelOrder::Interleaved;
  unique.unique_operations = true;
  support::SyntheticShape tiles = unique;
  tiles.tiles = 70000;
  tiles.samples_per_tile = 1;
  tiles.unique_operations = false;
  // Phases drawn from 2^20 values: a group per (phase, epoch), most of them
  // in the shared bucket, whose records widen once a phase reaches 2^19.
  support::SyntheticShape phases = unique;
  phases.unique_operations = false;
  phases.phases = support::PhaseOrder::Wide;
  phases.durations = support::Durations::LogUniform;
  const struct {
    const char* shape;
    support::SyntheticShape report;
    GroupBy group_by;
  } cases[] = {
      {"a group per sample", unique, GroupBy::Operation},
      {"a group per tile", tiles, GroupBy::Tile},
      {"a group per phase", phases, GroupBy::Phase},
  };
  support::Entropy cuts(17);
  for (std::size_t k = 0; k < std::size(cases); ++k) {
    const auto& c = cases[k];
    const zun_package::ProfileReport report =
        support::synthetic_report(c.report);
    const auto store =
        zun_store::ReportStore::from_report(report, version_of_case(k));
    for (const SortBy sort_by : {SortBy::PhaseCycles, SortBy::Name}) {
      Query request;
      request.group_by = c.group_by;
      request.sort_by = sort_by;
      request.sample_limit = sort_by == SortBy::Name ? 10 : SIZE_MAX;
      ASSERT_EQ(support::first_difference_of_sources(report, store, request),
                "")
          << c.shape << ", sort_by " << static_cast<int>(sort_by);
      ASSERT_EQ(support::first_difference_of_cuts(report, store, request,
                                                  cuts),
                "")
          << c.shape << ", sort_by " << static_cast<int>(sort_by);
    }
  }
}

// Every shape the benchmarks measure, small, grouped every way: kernels in
// runs (folded records) or interleaved, one timeline, wide durations, many
// tiles or one, a phase per sample or phases past the small record layout,
// and the program every tile runs, its steps meeting across tiles.
TEST(DifferentialTest, EngineMatchesTheReferenceOnEveryBenchmarkShape) {
  const support::SyntheticShape interleaved =
      support::interleaved_shape(24, 400);
  std::vector<std::pair<const char*, support::SyntheticShape>> shapes;
  shapes.emplace_back("interleaved", interleaved);
  support::SyntheticShape shape = interleaved;
  shape.kernels = support::KernelOrder::Runs;
  shape.random_epochs = false;
  shapes.emplace_back("kernels in runs", shape);
  shape = interleaved;
  shape.one_timeline = true;
  shapes.emplace_back("one timeline", shape);
  shape = interleaved;
  shape.durations = support::Durations::LogUniform;
  shapes.emplace_back("wide durations", shape);
  shape = interleaved;
  shape.phases = support::PhaseOrder::PerSample;
  shapes.emplace_back("a phase per sample", shape);
  shape = interleaved;
  shape.phases = support::PhaseOrder::Wide;
  shapes.emplace_back("phases from 2^20", shape);
  shape = interleaved;
  shape.tiles = 1;
  shape.samples_per_tile = 9600;
  shapes.emplace_back("one tile", shape);
  shape = interleaved;
  shape.tiles = 4800;
  shape.samples_per_tile = 2;
  shapes.emplace_back("tiles of two samples", shape);
  // The program-shaped run: skipping steps, a phase per step; and with no
  // jitter, every tile's runs of a step nearly alike, phases of four steps.
  support::ProgramShape program;
  program.tiles = 24;
  program.steps_per_epoch = 32;
  program.epochs = 12;
  program.layers = 2;
  program.skip = 0.05;
  std::vector<std::pair<const char*, support::ProgramShape>> programs;
  programs.emplace_back("program", program);
  program.skip = 0.0;
  program.jitter = 0.0;
  program.steps_per_phase = 4;
  programs.emplace_back("program without jitter", program);

  support::Entropy cuts(29);
  std::uint64_t checked = 0;
  const auto check = [&cuts, &checked](const char* name,
                                       const zun_package::ProfileReport& report) {
    const auto store =
        zun_store::ReportStore::from_report(report, version_of_case(checked++));
    for (int by = 0; by < 6; ++by) {
      for (const SortBy sort_by : {SortBy::PhaseCycles, SortBy::Name}) {
        Query request;
        request.group_by = static_cast<GroupBy>(by);
        if (request.group_by == GroupBy::Metadata)
          request.metadata_key = "layer";
        request.sort_by = sort_by;
        request.sample_limit = sort_by == SortBy::Name ? 5 : SIZE_MAX;
        ASSERT_EQ(
            support::first_difference_of_sources(report, store, request), "")
            << name << ", group_by " << by << ", sort_by "
            << static_cast<int>(sort_by);
        std::size_t taken = 0;
        ASSERT_EQ(step_path_difference(report, store, request, taken), "")
            << name << ", group_by " << by << ", sort_by "
            << static_cast<int>(sort_by);
        ASSERT_EQ(support::first_difference_of_cuts(report, store,
                                                    request, cuts),
                  "")
            << name << ", group_by " << by << ", sort_by "
            << static_cast<int>(sort_by);
      }
    }
  };
  for (const auto& [name, report_shape] : shapes) {
    check(name, support::synthetic_report(report_shape));
    if (HasFatalFailure()) return;
  }
  for (const auto& [name, program_shape] : programs) {
    check(name, support::program_report(program_shape));
    if (HasFatalFailure()) return;
  }
}

// Groups of tens of thousands of runs: by kind, 45,000 compute runs with
// 26-bit keys sort in two passes of wide digits, not three narrow ones.
TEST(DifferentialTest, EngineMatchesTheReferenceOnGroupsOfManyRuns) {
  const zun_package::ProfileReport report =
      support::synthetic_report(support::interleaved_shape(32, 2048));
  const auto store =
      zun_store::ReportStore::from_report(report, zun_store::StoreVersion::v2);
  support::Entropy cuts(31);
  for (const GroupBy group_by : {GroupBy::Kind, GroupBy::Phase}) {
    Query request;
    request.group_by = group_by;
    request.sample_limit = 3;
    ASSERT_EQ(support::first_difference_of_sources(report, store, request), "")
        << "group_by " << static_cast<int>(group_by);
    ASSERT_EQ(support::first_difference_of_cuts(report, store, request, cuts),
              "")
        << "group_by " << static_cast<int>(group_by);
  }
}

}  // namespace
}  // namespace zun_profile
