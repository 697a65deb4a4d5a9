#pragma once

#include <compare>

#include "query/request.hpp"
#include "query/result.hpp"

namespace zun_profile::detail {

// Where `left` goes relative to `right` in the group rows: less puts it
// first. The key `sort_by` names comes first (larger first, or names
// ascending byte-wise), then the smaller first_offset, then the byte-wise
// smaller name. Names are unique within a result, so the order is total. A
// `sort_by` outside its members skips straight to the tie-breaks.
std::strong_ordering compare_groups(SortBy sort_by, const GroupSummary& left,
                                    const GroupSummary& right) noexcept;

}  // namespace zun_profile::detail
