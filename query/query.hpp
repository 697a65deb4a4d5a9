#pragma once

// Everything a user of the query engine needs: the report records, the
// request and result records, and `query` itself.
#include "query/request.hpp"
#include "query/result.hpp"
#include "report/profile_report.hpp"
#include "store/report_store.hpp"

namespace zun_profile {

// Answers `request` over `report`, reading both only during the call; the
// result owns all it holds. Never fails: every report and request give an
// answer. Keeps no state, so it is thread-safe on reports nobody changes.
QueryReport query(const zun_package::ProfileReport& report,
                  const Query& request);

// The same answer over a store of the same report, field for field and bit
// for bit. Same guarantees: any number of threads may query one store.
// Throws std::bad_alloc only, as the records' query may.
QueryReport query(const zun_store::ReportStore& store, const Query& request);

}  // namespace zun_profile
