#include "cli/command_line/command_line.hpp"
#include "cli/convert/convert_command_line.hpp"
#include "cli/diff/diff_command_line.hpp"
#include "cli/serve/serve_command_line.hpp"

#include <initializer_list>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace profile_query {
namespace {

struct Outcome {
  std::variant<Options, ExitStatus> parsed;
  std::string out;
  std::string err;
};

Outcome parse(std::initializer_list<const char*> arguments) {
  std::vector<const char*> argv = {"profile-query"};
  argv.insert(argv.end(), arguments);
  std::ostringstream out;
  std::ostringstream err;
  auto parsed =
      parse_command_line(static_cast<int>(argv.size()), argv.data(), out, err);
  return {std::move(parsed), out.str(), err.str()};
}

TEST(CommandLine, DefaultsMatchTheDefaultRequest) {
  const Outcome outcome = parse({"report.json"});
  ASSERT_TRUE(std::holds_alternative<Options>(outcome.parsed)) << outcome.err;
  const Options& options = std::get<Options>(outcome.parsed);
  const zun_profile::Query defaults;
  EXPECT_EQ(options.inputs, std::vector<std::string>{"report.json"});
  EXPECT_EQ(options.threads, 0u);  // the machine's cores
  EXPECT_EQ(options.format, OutputFormat::Table);
  EXPECT_EQ(options.query.group_by, defaults.group_by);
  EXPECT_EQ(options.query.sort_by, defaults.sort_by);
  EXPECT_FALSE(options.query.kind || options.query.kernel ||
               options.query.operation_contains || options.query.metadata_key ||
               options.query.at_offset || options.query.limit);
  EXPECT_TRUE(options.query.tiles.empty() && options.query.phases.empty() &&
              options.query.metadata.empty());
  EXPECT_EQ(options.query.sample_limit, 0u);
}

TEST(CommandLine, EveryOptionReachesItsRequestField) {
  const Outcome outcome = parse({"--group-by",
                                 "metadata",
                                 "--sort-by",
                                 "maximum-cycles",
                                 "--kind",
                                 "synchronization",
                                 "--kernel",
                                 "",
                                 "--operation-contains",
                                 "attention",
                                 "--tile",
                                 "3",
                                 "--tile",
                                 "4294967295",
                                 "--tile",
                                 "9-11",
                                 "--phase",
                                 "0",
                                 "--metadata",
                                 "block=ffn",
                                 "--metadata",
                                 "layer",
                                 "--metadata",
                                 "eq=a=b",
                                 "--metadata-key",
                                 "block",
                                 "--at",
                                 "18446744073709551615",
                                 "--from",
                                 "7",
                                 "--to",
                                 "18446744073709551615",
                                 "--limit",
                                 "0",
                                 "--samples",
                                 "18446744073709551615",
                                 "--format",
                                 "csv",
                                 "-"});
  ASSERT_TRUE(std::holds_alternative<Options>(outcome.parsed)) << outcome.err;
  const Options& options = std::get<Options>(outcome.parsed);
  const zun_profile::Query& query = options.query;
  EXPECT_EQ(options.inputs, std::vector<std::string>{"-"});
  EXPECT_EQ(options.format, OutputFormat::Csv);
  EXPECT_EQ(query.group_by, zun_profile::GroupBy::Metadata);
  EXPECT_EQ(query.sort_by, zun_profile::SortBy::MaximumCycles);
  EXPECT_EQ(query.kind, zun_profile::StepKind::Synchronization);
  EXPECT_EQ(query.kernel,
            std::string());  // present and empty: steps without kernel
  EXPECT_EQ(query.operation_contains, "attention");
  EXPECT_EQ(query.tiles, (std::set<std::uint32_t>{3, 9, 10, 11, 4294967295u}));
  EXPECT_EQ(query.phases, (std::set<std::uint32_t>{0}));
  ASSERT_EQ(query.metadata.size(), 3u);
  EXPECT_EQ(query.metadata[0].name, "block");
  EXPECT_EQ(query.metadata[0].value, "ffn");
  EXPECT_EQ(query.metadata[1].name, "layer");
  EXPECT_FALSE(query.metadata[1].value.has_value());
  EXPECT_EQ(query.metadata[2].name, "eq");
  EXPECT_EQ(query.metadata[2].value, "a=b");
  EXPECT_EQ(query.metadata_key, "block");
  EXPECT_EQ(query.at_offset, std::numeric_limits<std::uint64_t>::max());
  ASSERT_TRUE(query.window.has_value());
  EXPECT_EQ(query.window->from, 7u);
  EXPECT_EQ(query.window->to, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(query.limit, 0u);
  EXPECT_EQ(query.sample_limit, std::numeric_limits<std::size_t>::max());

  const char* orders[] = {"phase-cycles", "work-cycles", "maximum-cycles",
                          "samples", "name"};
  for (std::uint32_t i = 0; i < 5; ++i) {
    const Outcome each = parse({"r.json", "--sort-by", orders[i]});
    EXPECT_EQ(std::get<Options>(each.parsed).query.sort_by,
              static_cast<zun_profile::SortBy>(i));
  }
  const char* groupings[] = {"kind",  "kernel", "operation",
                             "phase", "tile",   "metadata"};
  for (std::uint32_t i = 0; i < 6; ++i) {
    const Outcome each = parse({"r.json", "--group-by", groupings[i]});
    EXPECT_EQ(std::get<Options>(each.parsed).query.group_by,
              static_cast<zun_profile::GroupBy>(i));
  }
  EXPECT_EQ(
      std::get<Options>(parse({"r.json", "--format", "json"}).parsed).format,
      OutputFormat::Json);
}

TEST(CommandLine, UsageErrorsExitWithTwoAndSayWhy) {
  const std::vector<std::vector<const char*>> bad = {
      {},                                  // no report
      {"r.json", "--bogus"},               // unknown option
      {"r.json", "--group-by", "colour"},  // unknown grouping
      {"r.json", "--kind", "busy"},
      {"r.json", "--tile", "-1"},          // negative
      {"r.json", "--tile", "4294967296"},  // beyond 32 bits
      {"r.json", "--tile", "0x10"},        // not decimal
      {"r.json", "--tile", " 1"},
      {"r.json", "--at", "18446744073709551616"},
      {"r.json", "--from", "5", "--to", "5"},  // an empty window
      {"r.json", "--to", "0"},
      {"r.json", "--from", "-1"},
      {"r.json", "--tile", "5-3"},             // a range backwards
      {"r.json", "--from", "18446744073709551615"},  // nothing after it
      {"r.json", "--tile", "0-4294967295"},    // past the bound of tiles
      {"r.json", "--limit", "ten"},
      {"r.json", "--samples"},         // value missing
      {"-", "-"},                      // standard input twice
      {"r.json", "--threads", "0"},
      {"r.json", "--threads", "1025"},
  };
  for (const auto& arguments : bad) {
    std::vector<const char*> argv = {"profile-query"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::ostringstream out;
    std::ostringstream err;
    const auto parsed = parse_command_line(static_cast<int>(argv.size()),
                                           argv.data(), out, err);
    ASSERT_TRUE(std::holds_alternative<ExitStatus>(parsed)) << argv.size();
    EXPECT_EQ(std::get<ExitStatus>(parsed), kUsageError);
    EXPECT_TRUE(out.str().empty());
    // One line, like every other error, with the hint at its end.
    const std::string message = err.str();
    EXPECT_EQ(message.rfind("profile-query: ", 0), 0u) << message;
    EXPECT_EQ(message.find('\n'), message.size() - 1) << message;
    EXPECT_NE(message.find("(see profile-query --help)\n"), std::string::npos)
        << message;
  }
}

TEST(CommandLine, HelpAndVersionGoToStandardOutput) {
  const Outcome help = parse({"--help"});
  ASSERT_TRUE(std::holds_alternative<ExitStatus>(help.parsed));
  EXPECT_EQ(std::get<ExitStatus>(help.parsed), 0);
  EXPECT_NE(help.out.find("profile-query report.json --group-by phase"),
            std::string::npos);
  EXPECT_NE(help.out.find("--metadata NAME[=VALUE]"), std::string::npos);
  EXPECT_TRUE(help.err.empty());

  const Outcome version = parse({"--version"});
  EXPECT_EQ(std::get<ExitStatus>(version.parsed), 0);
  EXPECT_EQ(version.out.rfind("profile-query ", 0), 0u);
}

}  // namespace
}  // namespace profile_query

namespace profile_query {
namespace {

// Several reports are shards of one, in the order given; a diff takes each
// side's shards as repeated --base and --new.
TEST(CommandLine, SeveralReportsAreShardsOfOne) {
  const char* query[] = {"profile-query", "a.zun", "b.json", "-", "--threads", "3"};
  std::ostringstream out;
  std::ostringstream err;
  const auto parsed = parse_command_line(6, query, out, err);
  ASSERT_TRUE(std::holds_alternative<Options>(parsed)) << err.str();
  EXPECT_EQ(std::get<Options>(parsed).inputs,
            (std::vector<std::string>{"a.zun", "b.json", "-"}));
  EXPECT_EQ(std::get<Options>(parsed).threads, 3u);

  const char* diff[] = {"diff", "--base", "a0.zun", "--new", "b.zun",
                        "--base", "a1.zun"};
  const auto compared = parse_diff_command_line(7, diff, out, err);
  ASSERT_TRUE(std::holds_alternative<DiffOptions>(compared)) << err.str();
  EXPECT_EQ(std::get<DiffOptions>(compared).base,
            (std::vector<std::string>{"a0.zun", "a1.zun"}));
  EXPECT_EQ(std::get<DiffOptions>(compared).after,
            (std::vector<std::string>{"b.zun"}));

  for (const std::vector<const char*>& bad :
       {std::vector<const char*>{"diff", "a.zun"},
        std::vector<const char*>{"diff", "--base", "a.zun"},
        std::vector<const char*>{"diff", "a.zun", "b.zun", "--new", "c.zun"},
        std::vector<const char*>{"diff", "--base", "-", "--new", "-"}}) {
    std::ostringstream quiet;
    const auto refused = parse_diff_command_line(
        static_cast<int>(bad.size()), bad.data(), quiet, quiet);
    ASSERT_TRUE(std::holds_alternative<ExitStatus>(refused)) << bad.size();
    EXPECT_EQ(std::get<ExitStatus>(refused), kUsageError);
  }
}

}  // namespace
}  // namespace profile_query
