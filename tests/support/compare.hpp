#pragma once

#include <string>

#include "query/activity.hpp"
#include "query/query.hpp"

namespace zun_profile::support {

// The first field in which `actual` differs from `expected`, as a readable
// path and both values ("groups[2].phase_cycles: 30 != 20"); empty when they
// are equal in every field. Doubles must match bit for bit.
std::string first_difference(const QueryReport& actual,
                             const QueryReport& expected);
std::string first_difference(const ActivityReport& actual,
                             const ActivityReport& expected);

}  // namespace zun_profile::support
