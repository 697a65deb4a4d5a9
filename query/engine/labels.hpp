#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "report/profile_report.hpp"

// Group labels: the text that names the group a selected sample belongs to,
// and the dimensions that label stands for.
namespace zun_profile::detail {

// The label of steps without kernel under GroupBy::Kernel. A kernel literally
// named so shares their group: groups are told apart by label alone.
inline constexpr std::string_view kNoKernelLabel = "(no kernel)";

// The label of steps that lack the requested entry under GroupBy::Metadata.
// A value literally "(missing)" shares their group.
inline constexpr std::string_view kMissingLabel = "(missing)";

// The label of a kind outside the four ProfileStepKind members, which only a
// cast from an integer produces. All such values share it.
inline constexpr std::string_view kUnknownKindLabel = "unknown";

// A group's identity and what it stands for.
struct GroupKey {
  std::string label;  // samples with byte-equal labels form one group

  // Named properties behind the label, keys ordered byte-wise: "phase" and
  // "epoch", "physicalTile", or "metadataKey" and "metadataValue". Empty for
  // the groupings by kind, kernel and operation.
  std::map<std::string, std::string> dimensions;
};

// Lower-case word for the step's kind: "exchange", "compute",
// "synchronization" or "idle"; kUnknownKindLabel for any other value. Refers
// to static text; never allocates.
std::string_view kind_name(const zun_package::CycleSample& sample) noexcept;

// The same word for a kind itself.
std::string_view kind_name(zun_package::ProfileStepKind kind) noexcept;

// The kernel label: the step's kernel, or kNoKernelLabel when it is empty.
// Borrows from `step`.
inline std::string_view kernel_label(
    const zun_package::ProfileStep& step) noexcept {
  return step.kernel.empty() ? kNoKernelLabel : std::string_view(step.kernel);
}

// The value of the step's first metadata entry named `key`, or kMissingLabel
// when none is. Borrows from `step`.
std::string_view metadata_label(const zun_package::ProfileStep& step,
                                std::string_view key) noexcept;

// The label of phase `phase` in epoch `epoch`, "phase 3/0", written into
// `buffer` (32 bytes is room for any) and viewed there.
std::string_view phase_label(std::uint32_t phase, std::uint32_t epoch,
                             char (&buffer)[32]) noexcept;

// The label of physical tile `tile`, "tile 12", written into `buffer`.
std::string_view tile_label(std::uint32_t tile, char (&buffer)[32]) noexcept;

// The group of a grouping by phase, by tile or by metadata, from the values
// its label is written from; and of any other grouping, from its label.
GroupKey phase_group(std::uint32_t phase, std::uint32_t epoch);
GroupKey tile_group(std::uint32_t tile);
GroupKey metadata_group(std::string_view name, std::string_view value);
GroupKey label_group(std::string_view label);

}  // namespace zun_profile::detail
