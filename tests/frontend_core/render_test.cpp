#include "frontend_core/rendering/render.hpp"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "frontend_core/rendering/json_text.hpp"

namespace profile_query {
namespace {

zun_profile::QueryReport awkward_names() {
  zun_profile::QueryReport result;
  result.clock_hz = 1000;
  zun_profile::GroupSummary group;
  group.name = "a,\"b\"\nc\x01";
  group.dimensions = {{"metadataKey", "k,1"}, {"metadataValue", "v"}};
  group.sample_count = 1;
  group.mean_cycles = 0.1;
  group.phase_ms = 1.0 / 3.0;
  result.groups.push_back(group);
  zun_profile::SampleRecord sample;
  sample.kind = "compute";
  sample.operation = "tab\there";
  sample.metadata = {{"n", "v"}};
  result.samples.push_back(sample);
  return result;
}

TEST(Render, CsvQuotesFieldsThatNeedIt) {
  const std::string csv = render_csv(awkward_names());
  EXPECT_EQ(csv,
            "name,metadataKey,metadataValue,sample_count,tile_count,phase_"
            "count,phase_cycles,"
            "phase_ms,work_cycles,average_active_tiles,mean_cycles,p50_cycles,"
            "p95_cycles,"
            "maximum_cycles,first_offset,last_offset\n"
            "\"a,\"\"b\"\"\nc\x01\",\"k,1\",v,1,0,0,0,0.3333333333333333,0,0,0."
            "1,0,0,0,0,0\n");
  EXPECT_EQ(render_csv(zun_profile::QueryReport{}).find('\n') + 1,
            render_csv(zun_profile::QueryReport{}).size());  // a header only
}

TEST(Render, JsonEscapesTextsAndWritesAbsentOffsetAsNull) {
  const std::string json = render_json(awkward_names());
  EXPECT_NE(json.find(R"("name": "a,\"b\"\nc\u0001")"), std::string::npos)
      << json;
  EXPECT_NE(json.find(R"("operation": "tab\there")"), std::string::npos);
  EXPECT_NE(json.find(R"("at_offset": null)"), std::string::npos);
  EXPECT_NE(json.find(R"("phase_ms": 0.3333333333333333)"), std::string::npos);
  zun_profile::QueryReport empty;
  empty.at_offset = 18446744073709551615ull;
  EXPECT_EQ(
      render_json(empty),
      "{\n  \"clock_hz\": 0,\n  \"tile_count\": 0,\n  \"sample_count\": 0,\n"
      "  \"matched_sample_count\": 0,\n  \"profile_span_cycles\": 0,\n"
      "  \"profile_span_ms\": 0,\n  \"at_offset\": 18446744073709551615,\n"
      "  \"groups\": [],\n  \"samples\": []\n}\n");
}

TEST(Render, TableKeepsEachRowOnOneLine) {
  const std::string table = render_table(awkward_names());
  EXPECT_NE(table.find("a,\"b\"\\nc\\x01"), std::string::npos) << table;
  EXPECT_NE(table.find("tab\\there"), std::string::npos) << table;
  EXPECT_NE(table.find("0.3333 ms"), std::string::npos) << table;
  // Two report lines, a blank, the group titles and row, a blank, then the
  // samples' heading, titles and row.
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 9);

  zun_profile::QueryReport no_clock;
  no_clock.groups.push_back({});
  const std::string unclocked = render_table(no_clock);
  EXPECT_NE(unclocked.find("(no clock)"), std::string::npos) << unclocked;
  EXPECT_EQ(unclocked.find(" ms"), std::string::npos) << unclocked;
  EXPECT_NE(render_table(zun_profile::QueryReport{}).find("no groups"),
            std::string::npos);
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

}  // namespace
}  // namespace profile_query
