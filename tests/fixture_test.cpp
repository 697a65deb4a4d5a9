#include "selfcheck/fixture.hpp"

#include <gtest/gtest.h>

#include "selfcheck/scenarios.hpp"

namespace tests {
namespace {

TEST(FixtureTest, BuildsTheStepFromThePhase) {
  const zun_package::CycleSample twelve =
      sample(12, zun_package::ProfileStepKind::Idle, "gemm", 3, 9);
  EXPECT_EQ(twelve.step.operation, "operation 12");
  ASSERT_EQ(twelve.step.metadata.size(), 1u);
  EXPECT_EQ(twelve.step.metadata[0].name, "block");
  EXPECT_EQ(twelve.step.metadata[0].value, "12");
  EXPECT_EQ(twelve.step.local_index, 12u);
  EXPECT_EQ(twelve.step.phase, 12u);
  EXPECT_EQ(twelve.step.epoch, 0u);
  EXPECT_EQ(twelve.step.kind, zun_package::ProfileStepKind::Idle);
  EXPECT_EQ(twelve.step.kernel, "gemm");

  const zun_package::CycleSample wrapped =
      sample(0, zun_package::ProfileStepKind::Exchange, "", 4294967291u, 5);
  EXPECT_EQ(wrapped.step.operation, "operation 0");
  EXPECT_EQ(wrapped.step.metadata[0].value, "0");
  EXPECT_EQ(wrapped.step.kernel, "");
  EXPECT_EQ(wrapped.start_cycle, 4294967291u);  // stored, not normalised
  EXPECT_EQ(wrapped.end_cycle, 5u);
}

TEST(FixtureTest, ScenarioTableIsSortedAndEveryScenarioPasses) {
  const auto table = scenario_table();
  ASSERT_EQ(table.size(), 4u);
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].name.rfind("tests::", 0), 0u);
    EXPECT_FALSE(table[i].skip);
    EXPECT_NE(table[i].position.line, 0u);
    if (i > 0) {
      EXPECT_LT(table[i - 1].name, table[i].name);
    }
    EXPECT_NO_THROW(table[i].run()) << table[i].name;
  }
}

}  // namespace
}  // namespace tests
