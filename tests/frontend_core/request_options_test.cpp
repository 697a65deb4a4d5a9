// The request options by name, as the server, the Python package and the
// command line take them.
#include "frontend_core/options/request_options.hpp"

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

namespace profile_query {
namespace {

using Parameters = std::vector<std::pair<std::string, std::string>>;

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
  EXPECT_FALSE(none.kernel || none.limit || none.kind || none.window);
}

TEST(RequestParameters, TilesComeSingleOrAsRangesWithinABound) {
  EXPECT_EQ(parsed_request({{"tile", "7"}, {"tile", "2-4"}, {"tile", "4-4"}})
                .tiles,
            (std::set<std::uint32_t>{2, 3, 4, 7}));
  EXPECT_EQ(parsed_request({{"tile", "4294967295-4294967295"}}).tiles,
            (std::set<std::uint32_t>{4294967295u}));
  EXPECT_EQ(parsed_request({{"tile", "0-65535"}}).tiles.size(), 65536u);
  const std::string range_message =
      "expected FIRST-LAST, two whole numbers from 0 to 4294967295 with "
      "FIRST <= LAST, got '";
  for (const char* bad : {"5-3", "1-", "1-x", "1-2-3", "0-4294967296"}) {
    EXPECT_EQ(refusal({{"tile", bad}}),
              "parameter 'tile': " + range_message + bad + "'");
  }
  EXPECT_EQ(refusal({{"tile", "-1"}}),
            "parameter 'tile': expected a whole number from 0 to 4294967295, "
            "got '-1'");
  // A range of every tile would be 2^32 entries: refused before any is made.
  EXPECT_EQ(refusal({{"tile", "0-4294967295"}}),
            "parameter 'tile': at most 65536 tiles in all");
  EXPECT_EQ(refusal({{"tile", "0-65534"}, {"tile", "7"}, {"tile", "9"}}),
            "parameter 'tile': at most 65536 tiles in all");
  EXPECT_EQ(refusal({{"tile", "1-\x1b"}}),
            "parameter 'tile': " + range_message + "1-\\x1b'");
}

TEST(RequestParameters, FromAndToMakeOneWindowOpenAtAMissingEnd) {
  const auto window = [](Parameters parameters) {
    return parsed_request(parameters).window.value();
  };
  EXPECT_EQ(window({{"from", "5"}, {"to", "9"}}).from, 5u);
  EXPECT_EQ(window({{"to", "9"}, {"from", "5"}}).to, 9u);
  EXPECT_EQ(window({{"from", "5"}}).to, UINT64_MAX);
  EXPECT_EQ(window({{"to", "1"}}).from, 0u);
  EXPECT_EQ(refusal({{"from", "5"}, {"to", "5"}}),
            "parameter 'to': must be past 'from'");
  EXPECT_EQ(refusal({{"to", "0"}}), "parameter 'to': must be past 'from'");
  EXPECT_EQ(refusal({{"from", "18446744073709551615"}}),
            "parameter 'from': must be below 18446744073709551615");
  EXPECT_EQ(refusal({{"from", "1"}, {"from", "2"}}),
            "parameter 'from' is given more than once");
  EXPECT_EQ(refusal({{"to", "-1"}}),
            "parameter 'to': expected a whole number from 0 to "
            "18446744073709551615, got '-1'");
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

// The messages are those of profile-query's own options, word for word.
TEST(RequestParameters, MessagesMatchTheCommandLine) {
  const struct {
    Parameters parameters;
    const char* message;
  } cases[] = {
      {{{"group-by", "nope"}},
       "parameter 'group-by': nope not in "
       "{kind,kernel,operation,phase,tile,metadata}"},
      {{{"sort-by", ""}},
       "parameter 'sort-by':  not in "
       "{phase-cycles,work-cycles,maximum-cycles,samples,name}"},
      {{{"kind", "Compute"}},
       "parameter 'kind': Compute not in "
       "{exchange,compute,synchronization,idle}"},
      {{{"at", "18446744073709551616"}},
       "parameter 'at': expected a whole number from 0 to "
       "18446744073709551615, got '18446744073709551616'"},
      {{{"samples", "+1"}},
       "parameter 'samples': expected a whole number from 0 to "
       "18446744073709551615, got '+1'"},
      {{{"phase", " 1"}},
       "parameter 'phase': expected a whole number from 0 to 4294967295, "
       "got ' 1'"},
      // The first offending pair is named, whatever follows it.
      {{{"tile", "x"}, {"nope", "1"}},
       "parameter 'tile': expected a whole number from 0 to 4294967295, "
       "got 'x'"},
      {{{"nope\n", "1"}, {"tile", "x"}}, "unknown parameter 'nope\\x0a'"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(refusal(c.parameters), c.message) << c.message;
  }
}

}  // namespace
}  // namespace profile_query
