// libFuzzer target: decodes its input into a report and a request, runs the
// engine (the query, its partials merged, and the activity over a decoded
// number of buckets), and
// checks it against the naive reference and against invariants that hold
// for every answer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "query/activity.hpp"
#include "query/query.hpp"
#include "tests/support/compare.hpp"
#include "tests/support/oracle.hpp"
#include "tests/support/partial_cuts.hpp"
#include "tests/support/random_case.hpp"

namespace {

[[noreturn]] void fail(const std::string& what,
                       const zun_package::ProfileReport& report,
                       const zun_profile::Query& request) {
  std::fprintf(stderr, "%s\n%s", what.c_str(),
               zun_profile::support::describe(report, request).c_str());
  std::abort();
}

void check_invariants(const zun_profile::QueryReport& result,
                      const zun_package::ProfileReport& report,
                      const zun_profile::Query& request) {
  if (result.matched_sample_count > result.sample_count) {
    fail("matched more than the report holds", report, request);
  }
  std::size_t grouped = 0;
  for (const zun_profile::GroupSummary& group : result.groups) {
    grouped += group.sample_count;
    if (group.first_offset > group.last_offset ||
        group.last_offset > result.profile_span_cycles) {
      fail("offsets out of order: " + group.name, report, request);
    }
    if (group.p50_cycles > group.p95_cycles ||
        group.p95_cycles > group.maximum_cycles) {
      fail("percentiles out of order: " + group.name, report, request);
    }
    if (group.sample_count == 0 || group.tile_count == 0 ||
        group.phase_count == 0) {
      fail("empty group: " + group.name, report, request);
    }
  }
  if (!request.limit && grouped != result.matched_sample_count) {
    fail("group sample counts do not add up to the matched count", report,
         request);
  }
  if (request.limit && result.groups.size() > *request.limit) {
    fail("more groups than the limit", report, request);
  }
  if (result.samples.size() > request.sample_limit ||
      result.samples.size() > result.matched_sample_count) {
    fail("more sample rows than allowed", report, request);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  zun_profile::support::Entropy entropy(std::span(data, size));
  const zun_package::ProfileReport report =
      zun_profile::support::random_report(entropy);
  const zun_profile::Query request =
      zun_profile::support::random_query(entropy, report);
  const zun_profile::QueryReport result = zun_profile::query(report, request);
  check_invariants(result, report, request);
  const std::string difference = zun_profile::support::first_difference(
      result, zun_profile::support::reference_query(report, request));
  if (!difference.empty()) fail(difference, report, request);

  // The same report as a store: its answers, and the records it gives back.
  const auto store = zun_store::ReportStore::from_report(report);
  const std::string store_difference =
      zun_profile::support::first_difference_of_sources(report, store, request);
  if (!store_difference.empty()) fail(store_difference, report, request);
  const std::string round_trip =
      zun_profile::support::first_difference(store.to_report(), report);
  if (!round_trip.empty()) fail("round trip: " + round_trip, report, request);

  // Cut into ranges, answered as partials (of the store or of shards,
  // through bytes or not) and merged; and by the query cut into parts.
  const std::string partial_difference =
      zun_profile::support::first_difference_of_cuts(report, store, request,
                                                     entropy);
  if (!partial_difference.empty()) fail(partial_difference, report, request);

  const std::size_t buckets = static_cast<std::size_t>(entropy.below(65));
  const std::string activity_difference =
      zun_profile::support::first_activity_difference_of_sources(
          report, store, request, buckets);
  if (!activity_difference.empty()) {
    fail("activity over " + std::to_string(buckets) +
             " buckets: " + activity_difference,
         report, request);
  }
  return 0;
}
