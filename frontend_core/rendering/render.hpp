#pragma once

#include <string>

#include "frontend_core/options/output_format.hpp"
#include "query/activity.hpp"
#include "query/query.hpp"

// Writing a query's answer as text. Each renderer builds the whole output
// before any of it is written, so a failure never leaves half an answer.
namespace profile_query {

// Aligned columns for reading: a header with the report's figures, the
// groups, then the longest samples when there are any. Milliseconds carry
// their unit and read "-" when the report has no clock.
std::string render_table(const zun_profile::QueryReport& result);

// Every field of the answer as one JSON object, keys in the records' field
// order, doubles in their shortest exact form, an absent at_offset as null.
std::string render_json(const zun_profile::QueryReport& result);

// One CSV row per group (RFC 4180 quoting) under a header row: the name, a
// column per dimension key, then the figures.
std::string render_csv(const zun_profile::QueryReport& result);

// An activity answer as one JSON object: the buckets, one series per group
// (name and busy cycles per bucket) and the other groups' sum.
std::string render_activity_json(const zun_profile::ActivityReport& activity);

// The renderer chosen by `format`.
std::string render(const zun_profile::QueryReport& result, OutputFormat format);

}  // namespace profile_query
