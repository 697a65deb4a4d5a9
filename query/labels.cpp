#include "query/labels.hpp"

#include <charconv>
#include <cstring>

#include "query/selection.hpp"

namespace zun_profile {
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

GroupKey group_key(const Query& query, std::uint32_t tile,
                   const zun_package::CycleSample& sample) {
  const zun_package::ProfileStep& step = sample.step;
  GroupKey key;
  switch (query.group_by) {
    case GroupBy::Kind:
      key.label = kind_name(sample);
      break;
    case GroupBy::Kernel:
      key.label = kernel_label(step);
      break;
    case GroupBy::Operation:
      key.label = step.operation;
      break;
    case GroupBy::Phase: {
      char buffer[32];
      key.label = phase_label(step.phase, step.epoch, buffer);
      key.dimensions.emplace("epoch", std::to_string(step.epoch));
      key.dimensions.emplace("phase", std::to_string(step.phase));
      break;
    }
    case GroupBy::Tile: {
      char buffer[32];
      key.label = tile_label(tile, buffer);
      key.dimensions.emplace("physicalTile", std::to_string(tile));
      break;
    }
    case GroupBy::Metadata: {
      const std::string_view name =
          query.metadata_key ? std::string_view(*query.metadata_key) : "";
      key.label = metadata_label(step, name);
      key.dimensions.emplace("metadataKey", name);
      key.dimensions.emplace("metadataValue", key.label);
      break;
    }
  }
  return key;
}

}  // namespace zun_profile
