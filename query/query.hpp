#pragma once

// Everything a user of the query engine needs: the report records, the
// request and result records, and `query` itself.
#include "query/request.hpp"
#include "query/result.hpp"
#include "report/profile_report.hpp"

namespace zun_profile {

// Answers `request` over `report`, reading both only during the call; the
// result owns all it holds. Never fails: every report and request give an
// answer. Keeps no state, so it is thread-safe on reports nobody changes.
QueryReport query(const zun_package::ProfileReport& report,
                  const Query& request);

}  // namespace zun_profile
