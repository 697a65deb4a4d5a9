#include "query/engine/labels.hpp"

#include <charconv>
#include <cstring>

#include "query/engine/selection.hpp"

namespace zun_profile::detail {
namespace {

// Appends the decimal digits of `value` at `at`; returns the end.
char* append_number(char* at, char* end, std::uint32_t value) noexcept {
  return std::to_chars(at, end, value).ptr;
}

char* append_text(char* at, std::string_view text) noexcept {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

}  // namespace

std::string_view phase_label(std::uint32_t phase, std::uint32_t epoch,
                             char (&buffer)[32]) noexcept {
  char* const end = buffer + sizeof(buffer);
  char* at = append_text(buffer, "phase ");
  at = append_number(at, end, phase);
  at = append_text(at, "/");
  at = append_number(at, end, epoch);
  return {buffer, static_cast<std::size_t>(at - buffer)};
}

std::string_view tile_label(std::uint32_t tile, char (&buffer)[32]) noexcept {
  char* at = append_text(buffer, "tile ");
  at = append_number(at, buffer + sizeof(buffer), tile);
  return {buffer, static_cast<std::size_t>(at - buffer)};
}

std::string_view kind_name(const zun_package::CycleSample& sample) noexcept {
  return kind_name(sample.step.kind);
}

std::string_view kind_name(zun_package::ProfileStepKind kind) noexcept {
  switch (static_cast<StepKind>(static_cast<std::uint32_t>(kind))) {
    case StepKind::Exchange:
      return "exchange";
    case StepKind::Compute:
      return "compute";
    case StepKind::Synchronization:
      return "synchronization";
    case StepKind::Idle:
      return "idle";
  }
  return kUnknownKindLabel;
}

std::string_view metadata_label(const zun_package::ProfileStep& step,
                                std::string_view key) noexcept {
  for (const zun_package::ProfileMetadata& entry : step.metadata) {
    if (entry.name == key) return entry.value;
  }
  return kMissingLabel;
}

GroupKey phase_group(std::uint32_t phase, std::uint32_t epoch) {
  char buffer[32];
  GroupKey key = label_group(phase_label(phase, epoch, buffer));
  key.dimensions.emplace("epoch", std::to_string(epoch));
  key.dimensions.emplace("phase", std::to_string(phase));
  return key;
}

GroupKey tile_group(std::uint32_t tile) {
  char buffer[32];
  GroupKey key = label_group(tile_label(tile, buffer));
  key.dimensions.emplace("physicalTile", std::to_string(tile));
  return key;
}

GroupKey metadata_group(std::string_view name, std::string_view value) {
  GroupKey key = label_group(value);
  key.dimensions.emplace("metadataKey", name);
  key.dimensions.emplace("metadataValue", value);
  return key;
}

GroupKey label_group(std::string_view label) {
  GroupKey key;
  key.label = std::string(label);  // exact size: see fill_step_fields
  return key;
}

}  // namespace zun_profile::detail
