#pragma once

#include <cstdint>
#include <string_view>

#include "report/profile_report.hpp"

namespace tests {

// One sample for the scenarios' reports: operation "operation <phase>", the
// given kernel (copied; may be empty), one metadata entry "block" =
// "<phase>", local index `phase`, epoch 0, and the raw counter values `start`
// and `end` stored unchanged (an `end` below `start` is a wrap, read later by
// the engine).
zun_package::CycleSample sample(std::uint32_t phase,
                                zun_package::ProfileStepKind kind,
                                std::string_view kernel, std::uint32_t start,
                                std::uint32_t end);

}  // namespace tests
