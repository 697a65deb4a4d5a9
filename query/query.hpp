#pragma once

// Everything a user of the query engine needs: the report records, the
// request and the result records, and `query` itself.
#include "query/request.hpp"
#include "report/profile_report.hpp"
