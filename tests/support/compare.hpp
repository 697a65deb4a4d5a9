#pragma once

#include <string>

#include "query/activity.hpp"
#include "query/query.hpp"
#include "store/report_store.hpp"

namespace zun_profile::support {

// The first field in which `actual` differs from `expected`, as a readable
// path and both values ("groups[2].phase_cycles: 30 != 20"); empty when they
// are equal in every field. Doubles must match bit for bit.
std::string first_difference(const QueryReport& actual,
                             const QueryReport& expected);
std::string first_difference(const ActivityReport& actual,
                             const ActivityReport& expected);

// The same for two reports, every field of every sample.
std::string first_difference(const zun_package::ProfileReport& actual,
                             const zun_package::ProfileReport& expected);

// The first difference of the records' answer, then of the store's, from
// the reference's for `request`; `store` holds the same report. Prefixed
// "records: " or "store: "; empty when both agree in every field. The
// batches of tiles are asked too, in batches smaller than the engine's.
std::string first_difference_of_sources(
    const zun_package::ProfileReport& report,
    const zun_store::ReportStore& store, const Query& request);
std::string first_activity_difference_of_sources(
    const zun_package::ProfileReport& report,
    const zun_store::ReportStore& store, const Query& request,
    std::size_t buckets);

}  // namespace zun_profile::support
