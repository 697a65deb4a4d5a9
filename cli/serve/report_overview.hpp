#pragma once

#include <string>
#include <string_view>

#include "frontend_core/rendering/json_text.hpp"
#include "store/report_store.hpp"

// What the explorer page shows before any question: the report's figures
// and the values its controls offer.
namespace profile_query {

// The most values one list of the overview holds; a list with more keeps
// the most frequent and says so.
inline constexpr std::size_t kOverviewValues = 1000;

// The overview as a JSON object: the source's name, clock, tile and sample
// counts, profile span, and for kinds, kernels, phases and metadata names
// the values present with their sample counts (most frequent first, then by
// name), each list with its number of distinct values and whether it was
// cut to kOverviewValues. It reads every sample's step, on up to `threads`
// threads.
std::string render_overview_json(const zun_store::ReportStore& report,
                                 std::string_view source,
                                 unsigned threads = 1);

// The overview's fields, written into the object `json` has open.
void write_overview_fields(Writer& json, const zun_store::ReportStore& report,
                           std::string_view source, unsigned threads = 1);

}  // namespace profile_query
