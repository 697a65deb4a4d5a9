#include "query/engine/labels.hpp"

#include <cstdint>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "query/engine/engine.hpp"
#include "query/engine/record_source.hpp"
#include "query/engine/store_source.hpp"
#include "tests/support/builders.hpp"

namespace zun_profile::detail {
namespace {

using Dimensions = std::map<std::string, std::string>;
using support::run;
using zun_package::CycleSample;
using zun_package::ProfileMetadata;
using zun_package::ProfileStepKind;

// The group the engine puts `source`'s one sample in under `query`: its
// grouping's key, then the label and dimensions built from it.
template <typename Source>
GroupKey group_of(const Source& source, const Query& query) {
  return detail::with_identity(source, query, [&](auto identity) {
    return identity.group_key(identity.key(source.tile(0), 0));
  });
}

// The group of `sample` (on physical tile `tile`), from the records and
// from a store of them, which must agree.
GroupKey group_key(const Query& query, std::uint32_t tile,
                   const CycleSample& sample) {
  zun_package::ProfileReport report;
  report.tiles.push_back({tile, {sample}});
  GroupKey from_records = group_of(detail::RecordSource(report), query);
  const auto store = zun_store::ReportStore::from_report(report);
  const GroupKey from_store = group_of(detail::StoreSource(store), query);
  EXPECT_EQ(from_store.label, from_records.label);
  EXPECT_EQ(from_store.dimensions, from_records.dimensions);
  return from_records;
}

GroupKey key_of(GroupBy group_by, const CycleSample& sample,
                std::uint32_t tile = 0) {
  Query query;
  query.group_by = group_by;
  return group_key(query, tile, sample);
}

TEST(LabelsTest, KindNamesAreFixedWords) {
  const struct {
    ProfileStepKind kind;
    const char* name;
  } cases[] = {{ProfileStepKind::Exchange, "exchange"},
               {ProfileStepKind::Compute, "compute"},
               {ProfileStepKind::Synchronization, "synchronization"},
               {ProfileStepKind::Idle, "idle"},
               {static_cast<ProfileStepKind>(4), "unknown"},
               {static_cast<ProfileStepKind>(UINT32_MAX), "unknown"}};
  CycleSample sample = run(0, 1);
  for (const auto& c : cases) {
    sample.step.kind = c.kind;
    EXPECT_EQ(kind_name(sample), c.name);
    const GroupKey key = key_of(GroupBy::Kind, sample);
    EXPECT_EQ(key.label, c.name);
    EXPECT_TRUE(key.dimensions.empty());
  }
}

TEST(LabelsTest, KernelAndOperationLabels) {
  CycleSample sample = run(0, 1, "");
  EXPECT_EQ(key_of(GroupBy::Kernel, sample).label, "(no kernel)");
  sample.step.kernel = "(no kernel)";  // intended collision with the above
  EXPECT_EQ(key_of(GroupBy::Kernel, sample).label, "(no kernel)");
  sample.step.kernel = "Fused_Add ";
  const GroupKey kernel = key_of(GroupBy::Kernel, sample);
  EXPECT_EQ(kernel.label, "Fused_Add ");
  EXPECT_TRUE(kernel.dimensions.empty());

  sample.step.operation = "";
  EXPECT_EQ(key_of(GroupBy::Operation, sample).label, "");
  sample.step.operation = "Matmul 3";
  const GroupKey operation = key_of(GroupBy::Operation, sample);
  EXPECT_EQ(operation.label, "Matmul 3");
  EXPECT_TRUE(operation.dimensions.empty());
}

TEST(LabelsTest, PhaseAndTileLabelsWriteNumbersInPlainDecimal) {
  const struct {
    std::uint32_t phase;
    std::uint32_t epoch;
    const char* label;
  } phases[] = {{3, 0, "phase 3/0"},
                {3, 1, "phase 3/1"},
                {0, 10, "phase 0/10"},
                {UINT32_MAX, 7, "phase 4294967295/7"}};
  for (const auto& c : phases) {
    const GroupKey key =
        key_of(GroupBy::Phase, support::in_phase(run(0, 1), c.phase, c.epoch));
    EXPECT_EQ(key.label, c.label);
    EXPECT_EQ(key.dimensions, (Dimensions{{"epoch", std::to_string(c.epoch)},
                                          {"phase", std::to_string(c.phase)}}));
  }

  const struct {
    std::uint32_t tile;
    const char* label;
    const char* number;
  } tiles[] = {{0, "tile 0", "0"},
               {1200, "tile 1200", "1200"},
               {UINT32_MAX, "tile 4294967295", "4294967295"}};
  for (const auto& c : tiles) {
    const GroupKey key = key_of(GroupBy::Tile, run(0, 1), c.tile);
    EXPECT_EQ(key.label, c.label);
    EXPECT_EQ(key.dimensions, (Dimensions{{"physicalTile", c.number}}));
  }
}

TEST(LabelsTest, MetadataLabelIsTheFirstEntrysBareValue) {
  CycleSample sample = run(0, 1);
  sample.step.metadata = {
      ProfileMetadata{"other", "x"}, ProfileMetadata{"block", "1"},
      ProfileMetadata{"block", "2"}, ProfileMetadata{"", "anonymous"}};
  Query query;
  query.group_by = GroupBy::Metadata;
  query.metadata_key = "block";
  GroupKey key = group_key(query, 0, sample);
  EXPECT_EQ(key.label, "1");
  EXPECT_EQ(key.dimensions,
            (Dimensions{{"metadataKey", "block"}, {"metadataValue", "1"}}));

  query.metadata_key = "Block";  // names compare case-sensitively
  key = group_key(query, 0, sample);
  EXPECT_EQ(key.label, "(missing)");
  EXPECT_EQ(key.dimensions, (Dimensions{{"metadataKey", "Block"},
                                        {"metadataValue", "(missing)"}}));

  // An absent key looks for the entry with the empty name.
  query.metadata_key.reset();
  key = group_key(query, 0, sample);
  EXPECT_EQ(key.label, "anonymous");
  EXPECT_EQ(key.dimensions,
            (Dimensions{{"metadataKey", ""}, {"metadataValue", "anonymous"}}));
  key = group_key(query, 0, run(0, 1));
  EXPECT_EQ(key.label, "(missing)");
  EXPECT_EQ(key.dimensions.at("metadataKey"), "");

  // A value that is literally "(missing)" meets the steps lacking the entry.
  query.metadata_key = "block";
  sample.step.metadata = {ProfileMetadata{"block", "(missing)"}};
  EXPECT_EQ(group_key(query, 0, sample).label, "(missing)");
  sample.step.metadata = {ProfileMetadata{"block", ""}};
  EXPECT_EQ(group_key(query, 0, sample).label, "");

  // Other groupings ignore the key.
  query.group_by = GroupBy::Kernel;
  EXPECT_EQ(group_key(query, 0, sample).label, "k");
}

}  // namespace
}  // namespace zun_profile::detail
