#include "selfcheck/runner.hpp"

#include <array>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace selfcheck {
namespace {

void passes() {}
constexpr int kFailsLine = __LINE__ + 1;
void fails() { SELFCHECK_EQ(1 + 1, 3); }
void throws() { throw std::runtime_error("boom"); }
void throws_anything() { throw 42; }

constexpr std::array<ScenarioDescriptor, 6> kTable = {{
    {"demo::passes",
     false,
     "",
     Expectation::Pass,
     ScenarioKind::Unit,
     &passes,
     {"demo.cpp", 10}},
    {"demo::fails",
     false,
     "",
     Expectation::Pass,
     ScenarioKind::Unit,
     &fails,
     {"demo.cpp", 20}},
    {"demo::throws",
     false,
     "",
     Expectation::Pass,
     ScenarioKind::Unit,
     &throws,
     {"demo.cpp", 30}},
    {"demo::skipped",
     true,
     "not on this machine",
     Expectation::Pass,
     ScenarioKind::Unit,
     &fails,
     {"demo.cpp", 40}},
    {"demo::fails_as_expected",
     false,
     "",
     Expectation::Fail,
     ScenarioKind::Unit,
     &fails,
     {"demo.cpp", 50}},
    {"demo::throws_anything",
     false,
     "",
     Expectation::Pass,
     ScenarioKind::Unit,
     &throws_anything,
     {"demo.cpp", 60}},
}};

constexpr std::array<ScenarioDescriptor, 2> kPassingTable = {{
    {"ok::one", false, "", Expectation::Pass, ScenarioKind::Unit, &passes, {}},
    {"ok::two_expected_failure_that_passes",
     false,
     "",
     Expectation::Fail,
     ScenarioKind::Unit,
     &passes,
     {}},
}};

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome run(std::vector<const char*> args,
            std::span<const ScenarioDescriptor> table = kTable) {
  args.insert(args.begin(), "selfcheck");
  std::ostringstream out, err;
  const int status = run_scenarios(static_cast<int>(args.size()), args.data(),
                                   table, out, err);
  return {status, out.str(), err.str()};
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

TEST(RunnerTest, ReportsEveryScenarioInTableOrderOnAnyThreadCount) {
  const Outcome first = run({"--threads", "1"});
  EXPECT_EQ(first.status, kSomeFailed);
  EXPECT_EQ(first.err, "");
  const std::vector<std::string> out = lines(first.out);
  const std::vector<std::string> expected = {
      "PASS demo::passes",
      "FAIL demo::fails",
      "    check failed: 1 + 1",
      "    read:     2",
      "    expected: 3",
      "    at " __FILE__ ":" + std::to_string(kFailsLine),
      "    defined at demo.cpp:20",
      "FAIL demo::throws",
      "    boom",
      "    defined at demo.cpp:30",
      "SKIP demo::skipped (not on this machine)",
      "PASS demo::fails_as_expected",
      "FAIL demo::throws_anything",
      "    unknown exception",
      "    defined at demo.cpp:60",
      "2 passed, 3 failed, 1 skipped",
  };
  EXPECT_EQ(out, expected);
  for (const char* threads : {"2", "4", "64"}) {
    const Outcome again = run({"--threads", threads});
    EXPECT_EQ(again.out, first.out) << threads << " threads";
    EXPECT_EQ(again.status, kSomeFailed);
  }
  EXPECT_EQ(run({}).out, first.out);  // default thread count
}

TEST(RunnerTest, ExitsZeroOnlyWhenEverythingThatRanPassed) {
  Outcome result = run({}, kPassingTable);
  EXPECT_EQ(result.status, kSomeFailed);
  EXPECT_EQ(lines(result.out),
            (std::vector<std::string>{
                "PASS ok::one", "FAIL ok::two_expected_failure_that_passes",
                "    passed, but was expected to fail", "1 passed, 1 failed"}));
  result = run({"one"}, kPassingTable);
  EXPECT_EQ(result.status, kAllPassed);
  EXPECT_EQ(lines(result.out).back(), "1 passed, 0 failed");
  result = run({"nothing matches"}, kPassingTable);
  EXPECT_EQ(result.status, kAllPassed);
  EXPECT_EQ(result.out, "0 passed, 0 failed\n");
}

TEST(RunnerTest, FiltersSelectAndSkip) {
  const struct {
    std::vector<const char*> args;
    std::vector<std::string> listed;
  } cases[] = {
      {{"--list"},
       {"demo::passes", "demo::fails", "demo::throws", "demo::skipped",
        "demo::fails_as_expected", "demo::throws_anything"}},
      {{"--list", "fails"}, {"demo::fails", "demo::fails_as_expected"}},
      {{"--list", "passes", "skipped"}, {"demo::passes", "demo::skipped"}},
      {{"--list", "--exact", "fails"}, {}},
      {{"--list", "--exact", "demo::fails"}, {"demo::fails"}},
      {{"--list", "throws", "--skip", "anything"}, {"demo::throws"}},
      {{
           "--list",
           "--skip=demo",
       },
       {}},
      {{"--list", "--exact", "--skip", "demo::fails", "demo::fails",
        "demo::passes"},
       {"demo::passes"}},
      {{"--list", "--", "--exact"}, {}},
  };
  for (const auto& c : cases) {
    const Outcome result = run(c.args);
    EXPECT_EQ(result.status, kAllPassed);
    EXPECT_EQ(lines(result.out), c.listed) << "case " << c.args.size();
  }
  const Outcome only = run({"--exact", "demo::fails", "demo::passes"});
  EXPECT_EQ(lines(only.out),
            (std::vector<std::string>{
                "PASS demo::passes", "FAIL demo::fails",
                "    check failed: 1 + 1", "    read:     2", "    expected: 3",
                "    at " __FILE__ ":" + std::to_string(kFailsLine),
                "    defined at demo.cpp:20", "1 passed, 1 failed"}));
  EXPECT_EQ(only.status, kSomeFailed);
}

TEST(RunnerTest, UsageErrorsRunNothing) {
  const std::vector<const char*> bad[] = {
      {"--bogus"},         {"--threads"},
      {"--threads", "0"},  {"--threads", "x"},
      {"--threads", "-1"}, {"--threads", "3x"},
      {"--threads="},      {"--skip"},
      {"--list=yes"},      {"--threads", "99999999999999999999999"},
      {"-x", "passes"},
  };
  for (const auto& args : bad) {
    const Outcome result = run(args);
    EXPECT_EQ(result.status, kUsageError) << args[0];
    EXPECT_EQ(result.out, "") << args[0];
    ASSERT_FALSE(result.err.empty());
    EXPECT_EQ(result.err.rfind("selfcheck: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("usage: selfcheck"), std::string::npos);
  }
  const Outcome help = run({"--help"});
  EXPECT_EQ(help.status, kAllPassed);
  EXPECT_EQ(help.out.rfind("usage: selfcheck", 0), 0u);
  EXPECT_EQ(help.err, "");
}

}  // namespace
}  // namespace selfcheck
