#pragma once

#include <cstddef>

#include "query/activity.hpp"
#include "query/query.hpp"

namespace zun_profile::support {

// A deliberately naive answer to `request` over `report`: plain loops, full
// sorts, ordered maps, every rule written out again without sharing a line
// with the engine. Slow on purpose; the engine must match it field for
// field, doubles bit for bit.
QueryReport reference_query(const zun_package::ProfileReport& report,
                            const Query& request);

// The activity per bucket, written as plainly: each selected sample's
// overlap with every bucket in turn, groups named and ordered by
// reference_query.
ActivityReport reference_activity(const zun_package::ProfileReport& report,
                                  const Query& request, std::size_t buckets);

}  // namespace zun_profile::support
