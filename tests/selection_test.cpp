#include "query/engine/selection.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/builders.hpp"

namespace zun_profile::detail {
namespace {

using support::run;
using zun_package::CycleSample;
using zun_package::ProfileMetadata;
using zun_package::ProfileStepKind;

constexpr std::uint32_t kMinus5 = 4294967291u;  // 2^32 - 5

// Runs matches_query the way the engine does: offset against the time base
// of the sample's tile, duration from the sample.
bool selects(const Query& query, const CycleSample& sample,
             std::uint32_t base = 0, std::uint32_t tile = 0) {
  return matches_query(query, tile, sample, sample_offset(sample, base),
                       duration(sample));
}

TEST(SelectionTest, DurationsAndOffsetsSurviveTheCounterWrap) {
  EXPECT_EQ(duration(run(kMinus5, 5)), 10u);
  EXPECT_EQ(duration(run(10, 5)), 4294967291u);
  EXPECT_EQ(duration(run(7, 7)), 0u);
  EXPECT_EQ(duration(run(0, UINT32_MAX)), UINT32_MAX);

  EXPECT_EQ(sample_offset(run(5, 15), kMinus5), 10u);
  EXPECT_EQ(sample_offset(run(3, 4), kMinus5), 8u);
  // A sample that started before its tile's first one reads as one wrap on.
  EXPECT_EQ(sample_offset(run(900, 950), 1000), 4294967296u - 100u);
  EXPECT_EQ(sample_offset(run(kMinus5, 5), kMinus5), 0u);
}

TEST(SelectionTest, TimeBaseIsTheFirstSampleInListOrder) {
  zun_package::TileProfile t = support::tile(1, {run(500, 510), run(20, 30)});
  EXPECT_EQ(time_base(t), 500u);  // not the smallest start
  EXPECT_EQ(sample_offset(t.samples[1], time_base(t)), 4294967296u - 480u);
  EXPECT_EQ(time_base(support::tile(1, {})), 0u);
}

TEST(SelectionTest, KindOfKeepsEveryValue) {
  CycleSample sample = run(0, 1);
  for (std::uint32_t value : {0u, 1u, 2u, 3u, 4u, 77u, UINT32_MAX}) {
    sample.step.kind = static_cast<ProfileStepKind>(value);
    EXPECT_EQ(static_cast<std::uint32_t>(kind_of(sample)), value);
  }
  sample.step.kind = ProfileStepKind::Idle;
  EXPECT_EQ(kind_of(sample), StepKind::Idle);
}

TEST(SelectionTest, DefaultRequestSelectsEverything) {
  const Query query;
  EXPECT_TRUE(selects(query, run(0, 0, "")));
  EXPECT_TRUE(selects(query, run(kMinus5, 5)));
  EXPECT_TRUE(selects(query, run(10, 5)));
}

TEST(SelectionTest, KindFilter) {
  Query query;
  query.kind = StepKind::Idle;
  CycleSample sample = run(0, 1);
  const struct {
    ProfileStepKind kind;
    bool selected;
  } cases[] = {{ProfileStepKind::Idle, true},
               {ProfileStepKind::Exchange, false},
               {ProfileStepKind::Compute, false},
               {ProfileStepKind::Synchronization, false},
               {static_cast<ProfileStepKind>(7), false}};
  for (const auto& c : cases) {
    sample.step.kind = c.kind;
    EXPECT_EQ(selects(query, sample), c.selected)
        << "kind " << static_cast<std::uint32_t>(c.kind);
  }
  query.kind = static_cast<StepKind>(7);
  EXPECT_TRUE(selects(query, sample));
}

TEST(SelectionTest, KernelFilterIsExactAndCaseSensitive) {
  const struct {
    const char* wanted;
    const char* kernel;
    bool selected;
  } cases[] = {{"add", "add", true},   {"add", "Add", false},
               {"add", "add ", false}, {"add", "fused_add", false},
               {"", "", true},         {"", "add", false},
               {"add", "", false}};
  for (const auto& c : cases) {
    Query query;
    query.kernel = c.wanted;
    EXPECT_EQ(selects(query, run(0, 1, c.kernel)), c.selected)
        << "wanted '" << c.wanted << "' kernel '" << c.kernel << "'";
  }
}

TEST(SelectionTest, OperationFilterIsCaseSensitiveSubstring) {
  const struct {
    const char* needle;
    const char* operation;
    bool selected;
  } cases[] = {{"add", "add_rows", true},
               {"add", "fused_add", true},
               {"add", "x_add_y", true},
               {"add", "ADD", false},
               {"add", "ad", false},
               {"add", "a d d", false},
               {"", "", true},
               {"", "anything", true},
               {"add", "", false}};
  for (const auto& c : cases) {
    Query query;
    query.operation_contains = c.needle;
    CycleSample sample = run(0, 1);
    sample.step.operation = c.operation;
    EXPECT_EQ(selects(query, sample), c.selected)
        << "needle '" << c.needle << "' operation '" << c.operation << "'";
  }
}

TEST(SelectionTest, TileAndPhaseSets) {
  CycleSample sample = support::in_phase(run(0, 1), 3, 1);
  Query query;
  query.tiles = {4, 9};
  EXPECT_TRUE(selects(query, sample, 0, 9));
  EXPECT_FALSE(selects(query, sample, 0, 5));
  query.tiles = {};
  query.phases = {3};
  EXPECT_TRUE(selects(query, sample));  // any epoch
  sample.step.epoch = 0;
  EXPECT_TRUE(selects(query, sample));
  query.phases = {2, 4};
  EXPECT_FALSE(selects(query, sample));
  query.phases = {3};
  query.tiles = {100};
  EXPECT_FALSE(selects(query, sample, 0, 0));
}

TEST(SelectionTest, PointInTimeIsTheHalfOpenRunInterval) {
  // First sample wraps: offsets 0..10; second runs at offsets 10..20.
  const CycleSample first = run(kMinus5, 5);
  const CycleSample second = run(5, 15);
  const struct {
    std::uint64_t at;
    bool first_selected;
    bool second_selected;
  } cases[] = {{0, true, false},          {9, true, false},  {10, false, true},
               {12, false, true},         {19, false, true}, {20, false, false},
               {UINT64_MAX, false, false}};
  for (const auto& c : cases) {
    Query query;
    query.at_offset = c.at;
    EXPECT_EQ(selects(query, first, kMinus5), c.first_selected) << c.at;
    EXPECT_EQ(selects(query, second, kMinus5), c.second_selected) << c.at;
  }

  Query query;
  query.at_offset = 7;
  EXPECT_FALSE(selects(query, run(7, 7)));  // zero length: never running
  query.at_offset = 0;
  EXPECT_FALSE(selects(query, run(900, 950), 1000));  // before the base

  // A caller's own huge offset: the end saturates instead of wrapping.
  query.at_offset = UINT64_MAX - 1;
  EXPECT_TRUE(matches_query(query, 0, run(0, 10), UINT64_MAX - 5, 10));
  query.at_offset = UINT64_MAX;
  EXPECT_FALSE(matches_query(query, 0, run(0, 10), UINT64_MAX - 5, 10));
}

TEST(SelectionTest, WindowKeepsRunsThatMeetItAndInstantsInsideIt) {
  // Runs at offsets 10..20 (wrapping from before the counter's zero) and an
  // instant at offset 20.
  const CycleSample span = run(kMinus5 + 10, 15);
  const CycleSample instant = run(15, 15);
  const struct {
    std::uint64_t from, to;
    bool span_selected;
    bool instant_selected;
  } cases[] = {{0, 10, false, false},   {0, 11, true, false},
               {19, 20, true, false},   {20, 21, false, true},
               {20, 20, false, false},  {15, 15, false, false},
               {21, 10, false, false},  {0, UINT64_MAX, true, true},
               {21, UINT64_MAX, false, false}};
  for (const auto& c : cases) {
    Query query;
    query.window = TimeWindow{c.from, c.to};
    EXPECT_EQ(selects(query, span, kMinus5), c.span_selected)
        << c.from << ".." << c.to;
    EXPECT_EQ(selects(query, instant, kMinus5), c.instant_selected)
        << c.from << ".." << c.to;
  }

  // The end saturates instead of wrapping, and the window combines with the
  // other filters.
  Query query;
  query.window = TimeWindow{UINT64_MAX - 1, UINT64_MAX};
  EXPECT_TRUE(matches_query(query, 0, run(0, 10), UINT64_MAX - 5, 10));
  query.tiles = {3};
  EXPECT_FALSE(matches_query(query, 0, run(0, 10), UINT64_MAX - 5, 10));
}

TEST(SelectionTest, MetadataFiltersMatchNameAndValueOnOneEntry) {
  CycleSample sample = run(0, 1);
  sample.step.metadata = {ProfileMetadata{"block", "0"},
                          ProfileMetadata{"block", "1"},
                          ProfileMetadata{"tag", ""}};
  const auto filter = [](std::string name, std::optional<std::string> value) {
    MetadataFilter f;
    f.name = std::move(name);
    f.value = std::move(value);
    return f;
  };
  const struct {
    const char* label;
    std::vector<MetadataFilter> filters;
    bool selected;
  } cases[] = {
      {"later duplicate", {filter("block", "1")}, true},
      {"first duplicate", {filter("block", "0")}, true},
      {"name only", {filter("block", std::nullopt)}, true},
      {"empty value", {filter("tag", "")}, true},
      {"name only, empty value", {filter("tag", std::nullopt)}, true},
      {"case differs", {filter("Block", std::nullopt)}, false},
      {"value absent", {filter("block", "2")}, false},
      {"value of another name", {filter("tag", "1")}, false},
      {"both values", {filter("block", "0"), filter("block", "1")}, true},
      {"one unmet",
       {filter("block", "1"), filter("nope", std::nullopt)},
       false},
      {"no filters", {}, true},
  };
  for (const auto& c : cases) {
    Query query;
    query.metadata = c.filters;
    EXPECT_EQ(selects(query, sample), c.selected) << c.label;
  }

  Query query;
  query.metadata = {filter("block", std::nullopt)};
  EXPECT_FALSE(selects(query, run(0, 1)));  // no metadata at all
  query.metadata = {filter("", std::nullopt)};
  EXPECT_FALSE(selects(query, run(0, 1)));
}

TEST(SelectionTest, FiltersCombine) {
  CycleSample sample = support::in_phase(run(100, 130, "gemm"), 2);
  sample.step.operation = "matmul 2";
  sample.step.metadata = {ProfileMetadata{"block", "7"}};
  Query query;
  query.kind = StepKind::Compute;
  query.kernel = "gemm";
  query.operation_contains = "mul";
  query.tiles = {3};
  query.phases = {2};
  query.at_offset = 29;
  query.metadata = {MetadataFilter{"block", "7"}};
  EXPECT_TRUE(selects(query, sample, 100, 3));

  // Each filter on its own turns the answer around.
  Query other = query;
  other.kind = StepKind::Exchange;
  EXPECT_FALSE(selects(other, sample, 100, 3));
  other = query;
  other.kernel = "gem";
  EXPECT_FALSE(selects(other, sample, 100, 3));
  other = query;
  other.operation_contains = "Mul";
  EXPECT_FALSE(selects(other, sample, 100, 3));
  EXPECT_FALSE(selects(query, sample, 100, 4));
  other = query;
  other.phases = {1};
  EXPECT_FALSE(selects(other, sample, 100, 3));
  other = query;
  other.at_offset = 30;
  EXPECT_FALSE(selects(other, sample, 100, 3));
  other = query;
  other.metadata[0].value = "8";
  EXPECT_FALSE(selects(other, sample, 100, 3));
}

}  // namespace
}  // namespace zun_profile::detail
