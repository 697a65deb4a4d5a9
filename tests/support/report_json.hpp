#pragma once

#include <string>

#include "report/profile_report.hpp"

// Writes a report in profile-query's JSON file format, for round-trip tests
// and the loading benchmark. Kinds outside the four are written as "unknown"
// (which the reader refuses).
namespace zun_profile::support {

std::string report_json(const zun_package::ProfileReport& report);

}  // namespace zun_profile::support
