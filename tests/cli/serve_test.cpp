// The serving pieces apart from HTTP: query strings, request parameters,
// the API's answers and the overview. The real server is tested over HTTP
// by tests/serve/.
#include <fmt/format.h>
#include <simdjson.h>
#include <string>
#include <variant>

#include <gtest/gtest.h>

#include "cli/options/command_line.hpp"
#include "cli/rendering/json_text.hpp"
#include "cli/rendering/render.hpp"
#include "cli/serve/api.hpp"
#include "cli/serve/query_string.hpp"
#include "cli/serve/report_overview.hpp"
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

zun_profile::Query parsed_request(const Parameters& parameters) {
  auto parsed = parse_request_options(parameters);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    ADD_FAILURE() << *error;
    return {};
  }
  return std::get<zun_profile::Query>(parsed);
}

std::string refusal(const Parameters& parameters) {
  auto parsed = parse_request_options(parameters);
  auto* error = std::get_if<std::string>(&parsed);
  return error != nullptr ? *error : "(accepted)";
}

// The parameters mean what the options mean, including the values that
// are awkward to pass: empty, starting with '-', holding '='.
TEST(RequestParameters, ReadLikeTheCommandLine) {
  const zun_profile::Query request =
      parsed_request({{"group-by", "metadata"},
                      {"metadata-key", "block"},
                      {"sort-by", "samples"},
                      {"kind", "compute"},
                      {"kernel", ""},
                      {"operation-contains", "-x"},
                      {"tile", "4"},
                      {"tile", "2"},
                      {"phase", "7"},
                      {"metadata", "a=b=c"},
                      {"metadata", "flag"},
                      {"at", "18446744073709551615"},
                      {"limit", "0"},
                      {"samples", "9"}});
  EXPECT_EQ(request.group_by, zun_profile::GroupBy::Metadata);
  EXPECT_EQ(request.metadata_key, "block");
  EXPECT_EQ(request.sort_by, zun_profile::SortBy::Samples);
  EXPECT_EQ(request.kind, zun_profile::StepKind::Compute);
  EXPECT_EQ(request.kernel, "");
  EXPECT_EQ(request.operation_contains, "-x");
  EXPECT_EQ(request.tiles, (std::set<std::uint32_t>{2, 4}));
  EXPECT_EQ(request.phases, (std::set<std::uint32_t>{7}));
  ASSERT_EQ(request.metadata.size(), 2u);
  EXPECT_EQ(request.metadata[0].name, "a");
  EXPECT_EQ(request.metadata[0].value, "b=c");
  EXPECT_EQ(request.metadata[1].value, std::nullopt);
  EXPECT_EQ(request.at_offset, UINT64_MAX);
  EXPECT_EQ(request.limit, 0u);
  EXPECT_EQ(request.sample_limit, 9u);

  const zun_profile::Query none = parsed_request({});
  EXPECT_FALSE(none.kernel || none.limit || none.kind);
}

TEST(RequestParameters, RefusalsNameTheParameter) {
  EXPECT_EQ(refusal({{"group-by", "nope"}}).rfind("parameter 'group-by': ", 0),
            0u);
  EXPECT_EQ(refusal({{"tile", "1"}, {"tile", "4294967296"}}),
            "parameter 'tile': expected a whole number from 0 to 4294967295, "
            "got '4294967296'");
  EXPECT_EQ(refusal({{"limit", "1"}, {"limit", "2"}}),
            "parameter 'limit' is given more than once");
  EXPECT_EQ(refusal({{"format", "csv"}}), "unknown parameter 'format'");
  EXPECT_EQ(refusal({{"--kind", "idle"}}), "unknown parameter '--kind'");
  EXPECT_EQ(refusal({{"", "1"}}), "unknown parameter ''");
  EXPECT_EQ(refusal({{"help", ""}}), "unknown parameter 'help'");
  EXPECT_EQ(refusal({{"samples", "-1"}}).rfind("parameter 'samples': ", 0), 0u);
}

TEST(JsonText, MendsBytesThatAreNotUtf8) {
  std::string out;
  append_string(
      out, "a\xff\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xc3\x28\xed\xa0\x80\n");
  EXPECT_EQ(
      out,
      "\"a\\ufffd\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\\ufffd(\\ufffd\\ufffd"
      "\\ufffd\\n\"");
  out.clear();
  append_string(out, "\xe2\x82");  // cut short
  EXPECT_EQ(out, "\"\\ufffd\\ufffd\"");
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
  EXPECT_EQ(answer.body, render_json(zun_profile::query(
                             report_, parsed_request(parameters))));
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
