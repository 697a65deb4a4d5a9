#pragma once

#include <string>

#include "query/query.hpp"
#include "store/report_store.hpp"
#include "tests/support/random_case.hpp"

namespace zun_profile::support {

// Cuts `report` into 1 to 8 consecutive tile ranges drawn from `entropy`
// (empty ranges included), answers each as a partial (of `store`, or of a
// store of its own tiles: a shard), sometimes through bytes, merges them in
// order (one by one, or pairwise in a tree) and finishes. The first field
// in which that differs from the reference's answer, with how it was cut;
// empty when equal in every field.
std::string first_difference_of_partials(
    const zun_package::ProfileReport& report,
    const zun_store::ReportStore& store, const Query& request,
    Entropy& entropy);

// Answers `request` by `query` cut into tasks for 2 to 8 threads (over
// `store` or the records), its tasks run in order, in reverse or on threads
// of their own, all drawn from `entropy`. The first field in which that differs from the
// reference's answer, with how it was run; empty when equal in every field.
std::string first_difference_in_parts(const zun_package::ProfileReport& report,
                                      const zun_store::ReportStore& store,
                                      const Query& request, Entropy& entropy);

// Both of the above, the partials first.
std::string first_difference_of_cuts(const zun_package::ProfileReport& report,
                                     const zun_store::ReportStore& store,
                                     const Query& request, Entropy& entropy);

}  // namespace zun_profile::support
