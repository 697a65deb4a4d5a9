#include "query/labels.hpp"

#include "query/selection.hpp"

namespace zun_profile {

std::string_view kind_name(const zun_package::CycleSample& sample) noexcept {
  switch (kind_of(sample)) {
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
      std::string phase = std::to_string(step.phase);
      std::string epoch = std::to_string(step.epoch);
      key.label = "phase " + phase + "/" + epoch;
      key.dimensions.emplace("epoch", std::move(epoch));
      key.dimensions.emplace("phase", std::move(phase));
      break;
    }
    case GroupBy::Tile: {
      std::string number = std::to_string(tile);
      key.label = "tile " + number;
      key.dimensions.emplace("physicalTile", std::move(number));
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
