// The serving pieces apart from HTTP: query strings, request parameters,
// the API's answers and the overview. The real server is tested over HTTP
// by tests/serve/.
#include <fmt/format.h>
#include <simdjson.h>
#include <string>
#include <variant>

#include <gtest/gtest.h>

#include "cli/serve/api.hpp"
#include "cli/serve/query_string.hpp"
#include "cli/serve/report_overview.hpp"
#include "frontend_core/rendering/json_text.hpp"
#include "frontend_core/rendering/render.hpp"
#include "query/activity.hpp"
#include "tests/support/synthetic_report.hpp"

namespace profile_query {
namespace {

TEST(QueryString, SplitsDecodesAndKeepsOrder) {
  const auto parsed = parse_query_string(
      "metadata=block=attn&tile=3&&kernel=&k%3Dx=a+b%2F&tile=1&flag");
  ASSERT_TRUE(parsed);
  const Parameters expected = {{"metadata", "block=attn"},
                               {"tile", "3"},
                               {"kernel", ""},
                               {"k=x", "a b/"},
                               {"tile", "1"},
                               {"flag", ""}};
  EXPECT_EQ(*parsed, expected);
  EXPECT_EQ(parse_query_string("")->size(), 0u);
  for (const char* bad : {"a=%", "a=%4", "a=%zz", "%g1=2"}) {
    EXPECT_FALSE(parse_query_string(bad)) << bad;
  }
}

class ApiTest : public ::testing::Test {
 protected:
  const zun_package::ProfileReport report_ =
      zun_profile::support::synthetic_report(
          {.tiles = 6, .samples_per_tile = 200, .seed = 3});
  const zun_store::ReportStore store_ =
      zun_store::ReportStore::from_report(report_);
  const Api api_{store_, "r.json"};
};

// /api/query is exactly what --format json prints for the same request.
TEST_F(ApiTest, QueryAnswersAsTheJsonFormat) {
  const Parameters parameters = {
      {"group-by", "phase"}, {"samples", "3"}, {"limit", "5"}};
  const ApiAnswer answer = api_.query(parameters);
  EXPECT_EQ(answer.status, 200);
  zun_profile::Query request;
  request.group_by = zun_profile::GroupBy::Phase;
  request.sample_limit = 3;
  request.limit = 5;
  EXPECT_EQ(answer.body, render_json(zun_profile::query(report_, request)));
}

TEST_F(ApiTest, ActivityDefaultsAndBounds) {
  const ApiAnswer answer = api_.activity({{"kind", "compute"}});
  ASSERT_EQ(answer.status, 200) << answer.body;
  zun_profile::Query request;
  request.kind = zun_profile::StepKind::Compute;
  request.limit = kDefaultActivitySeries;
  EXPECT_EQ(answer.body, render_activity_json(zun_profile::activity(
                             report_, request, kDefaultBuckets)));

  EXPECT_EQ(api_.activity({{"buckets", "10000"}, {"samples", "4"}}).status,
            200);
  for (const char* buckets : {"0", "10001", "x", ""}) {
    const ApiAnswer refused = api_.activity({{"buckets", buckets}});
    EXPECT_EQ(refused.status, 400) << buckets;
    EXPECT_NE(refused.body.find("parameter 'buckets'"), std::string::npos);
  }
  EXPECT_EQ(api_.activity({{"buckets", "3"}, {"buckets", "4"}}).status, 400);
  EXPECT_EQ(api_.activity({{"limit", "101"}}).status, 400);
  EXPECT_EQ(api_.activity({{"phase", "x"}}).status, 400);
}

TEST_F(ApiTest, RefusesOversizedRequests) {
  EXPECT_EQ(api_.query({{"samples", "100000"}}).status, 200);
  EXPECT_EQ(api_.query({{"samples", "100001"}}).status, 400);
  Parameters many(kMaxParameters + 1, {"tile", "1"});
  EXPECT_EQ(api_.query(many).status, 400);
  EXPECT_EQ(api_.query({{"operation-contains",
                         std::string(kMaxParameterBytes + 1, 'a')}})
                .status,
            400);
  EXPECT_EQ(
      api_.query({{"operation-contains", std::string(kMaxParameterBytes, 'a')}})
          .status,
      200);
  const ApiAnswer unknown = api_.query({{"nope\xff", "1"}});
  EXPECT_EQ(unknown.status, 400);
  simdjson::dom::parser parser;
  simdjson::dom::element body;
  ASSERT_EQ(parser.parse(unknown.body).get(body), simdjson::SUCCESS)
      << unknown.body;
  EXPECT_EQ(std::string_view(body["error"]),
            "unknown parameter 'nope\xef\xbf\xbd'");
}

TEST(Overview, ListsValuesWithCountsAndCutsLongLists) {
  zun_package::ProfileReport report;
  report.tiles.resize(2);
  report.tiles[1].samples.resize(100);  // no kernel, no metadata, phase 0
  // Many kernels, more than a list holds; each step names "block" twice.
  for (std::size_t i = 0; i < kOverviewValues + 5; ++i) {
    zun_package::CycleSample sample;
    sample.step.kernel = fmt::format("k{}", i);
    sample.step.metadata = {{"block", "a"}, {"block", "b"}};
    report.tiles[0].samples.push_back(sample);
  }
  const std::string text = render_overview_json(
      zun_store::ReportStore::from_report(report), "x.json");
  simdjson::dom::parser parser;
  simdjson::dom::element overview;
  ASSERT_EQ(parser.parse(text).get(overview), simdjson::SUCCESS) << text;
  EXPECT_EQ(std::string_view(overview["source"]), "x.json");
  EXPECT_EQ(std::uint64_t(overview["sample_count"]), 100 + kOverviewValues + 5);
  const auto kernels = overview["kernels"];
  EXPECT_TRUE(bool(kernels["truncated"]));
  EXPECT_EQ(simdjson::dom::array(kernels["values"]).size(), kOverviewValues);
  EXPECT_GT(std::uint64_t(kernels["distinct"]), kOverviewValues);
  // Most frequent first.
  std::uint64_t previous = UINT64_MAX;
  for (auto value : simdjson::dom::array(kernels["values"])) {
    EXPECT_LE(std::uint64_t(value["samples"]), previous);
    previous = std::uint64_t(value["samples"]);
  }
  std::uint64_t block = 0;
  for (auto value :
       simdjson::dom::array(overview["metadata_names"]["values"])) {
    if (std::string_view(value["name"]) == "block")
      block = std::uint64_t(value["samples"]);
  }
  EXPECT_EQ(block, kOverviewValues + 5);  // once per sample, not per entry
  EXPECT_FALSE(bool(overview["phases"]["truncated"]));
  EXPECT_EQ(std::uint64_t(overview["phases"]["distinct"]), 1u);
}

}  // namespace
}  // namespace profile_query
