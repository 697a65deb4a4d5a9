#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "store/report_store.hpp"

// Writing a report as a JSON report file (docs/report-format.md), which
// profile-query reads back as the same records.
namespace profile_query {

// Why `store` cannot be written as JSON, if it cannot: a text that is not
// UTF-8 or a kind outside the four has no JSON form, and writing it
// otherwise would change the report. Each text is checked once.
std::optional<std::string> json_obstacle(const zun_store::ReportStore& store);

// Writes `store` as JSON, handing the text to `emit` in pieces of about
// `piece` bytes, so that a report of any size is written in bounded
// memory. The store must have no obstacle.
void write_report_json(const zun_store::ReportStore& store,
                       const std::function<void(std::string_view)>& emit,
                       std::size_t piece = std::size_t{1} << 20);

}  // namespace profile_query
