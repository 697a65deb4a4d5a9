#include "selfcheck/scenarios.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

#include "query/query.hpp"
#include "selfcheck/fixture.hpp"

namespace tests {
namespace {

using zun_package::ProfileReport;
using zun_package::ProfileStepKind;
using zun_package::TileProfile;
using zun_profile::Query;
using zun_profile::QueryReport;

// A checked entry of a result list: reading one that does not exist fails
// the check instead of reading out of bounds.
template <typename List>
const typename List::value_type& entry(const List& list, std::size_t index) {
  if (index >= list.size()) {
    throw selfcheck::CheckFailure("check failed: entry " +
                                  std::to_string(index) + " of a list of " +
                                  std::to_string(list.size()));
  }
  return list[index];
}

}  // namespace

SELFCHECK_SCENARIO(
    filters_by_normalized_time_and_metadata_across_counter_wrap) {
  ProfileReport report;
  report.clock_hz = 1500000000;
  report.tiles.push_back(
      TileProfile{9,
                  {sample(0, ProfileStepKind::Exchange, "", 4294967291u, 5),
                   sample(1, ProfileStepKind::Compute, "add", 5, 15)}});
  Query request;
  request.at_offset = 12;
  request.metadata = {zun_profile::MetadataFilter{"block", "1"}};
  request.sample_limit = 1;
  const QueryReport result = zun_profile::query(report, request);
  SELFCHECK_EQ(result.matched_sample_count, std::size_t{1});
  SELFCHECK_EQ(entry(result.samples, 0).phase, std::uint32_t{1});
  SELFCHECK_EQ(entry(result.samples, 0).offset, std::uint64_t{10});
}

SELFCHECK_SCENARIO(groups_by_semantic_metadata_value) {
  ProfileReport report;
  report.clock_hz = 1000000000;
  report.tiles.push_back(
      TileProfile{1,
                  {sample(0, ProfileStepKind::Compute, "add", 0, 10),
                   sample(1, ProfileStepKind::Compute, "add", 10, 30)}});
  Query request;
  request.group_by = zun_profile::GroupBy::Metadata;
  request.metadata_key = "block";
  const QueryReport result = zun_profile::query(report, request);
  SELFCHECK_EQ(result.groups.size(), std::size_t{2});
  SELFCHECK_EQ(entry(result.groups, 0).name, "1");
  SELFCHECK_EQ(entry(result.groups, 1).name, "0");
}

SELFCHECK_SCENARIO(groups_parallel_samples_by_kernel) {
  ProfileReport report;
  report.clock_hz = 1000000000;
  report.tiles.push_back(
      TileProfile{2, {sample(0, ProfileStepKind::Compute, "add", 100, 120)}});
  report.tiles.push_back(
      TileProfile{3, {sample(0, ProfileStepKind::Compute, "add", 200, 230)}});
  const QueryReport result = zun_profile::query(report, Query{});
  SELFCHECK_EQ(result.groups.size(), std::size_t{1});
  SELFCHECK_EQ(entry(result.groups, 0).phase_cycles, std::uint64_t{30});
  SELFCHECK_EQ(entry(result.groups, 0).work_cycles, std::uint64_t{50});
  SELFCHECK_EQ(entry(result.groups, 0).average_active_tiles, 50.0 / 30.0);
  SELFCHECK_EQ(result.profile_span_cycles, std::uint64_t{30});
}

SELFCHECK_SCENARIO(phase_cycles_include_sequential_repeated_operations) {
  ProfileReport report;
  report.clock_hz = 1000000000;
  report.tiles.push_back(
      TileProfile{2,
                  {sample(0, ProfileStepKind::Compute, "gemm", 100, 110),
                   sample(0, ProfileStepKind::Compute, "gemm", 110, 120)}});
  report.tiles.push_back(
      TileProfile{3,
                  {sample(0, ProfileStepKind::Compute, "gemm", 200, 208),
                   sample(0, ProfileStepKind::Compute, "gemm", 208, 216)}});
  const QueryReport result = zun_profile::query(report, Query{});
  SELFCHECK_EQ(entry(result.groups, 0).phase_cycles, std::uint64_t{20});
  SELFCHECK_EQ(entry(result.groups, 0).work_cycles, std::uint64_t{36});
  SELFCHECK_EQ(entry(result.groups, 0).average_active_tiles, 36.0 / 20.0);
}

std::span<const selfcheck::ScenarioDescriptor> scenario_table() {
  using selfcheck::Expectation;
  using selfcheck::ScenarioKind;
  static constexpr std::array<selfcheck::ScenarioDescriptor, 4> kTable = {{
      {"tests::filters_by_normalized_time_and_metadata_across_counter_wrap",
       false, "", Expectation::Pass, ScenarioKind::Unit,
       &filters_by_normalized_time_and_metadata_across_counter_wrap,
       filters_by_normalized_time_and_metadata_across_counter_wrap_position},
      {"tests::groups_by_semantic_metadata_value", false, "", Expectation::Pass,
       ScenarioKind::Unit, &groups_by_semantic_metadata_value,
       groups_by_semantic_metadata_value_position},
      {"tests::groups_parallel_samples_by_kernel", false, "", Expectation::Pass,
       ScenarioKind::Unit, &groups_parallel_samples_by_kernel,
       groups_parallel_samples_by_kernel_position},
      {"tests::phase_cycles_include_sequential_repeated_operations", false, "",
       Expectation::Pass, ScenarioKind::Unit,
       &phase_cycles_include_sequential_repeated_operations,
       phase_cycles_include_sequential_repeated_operations_position},
  }};
  return kTable;
}

}  // namespace tests
