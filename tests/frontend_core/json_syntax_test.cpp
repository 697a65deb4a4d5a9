#include "frontend_core/reading/json_syntax.hpp"

#include <cstdint>
#include <random>
#include <simdjson.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/frontend_core/mutation.hpp"

namespace profile_query {
namespace {

std::size_t offset_of_error(const std::string& text) {
  const auto error = find_syntax_error(text);
  return error ? error->offset : std::string::npos;
}

TEST(JsonSyntax, AcceptsWellFormedJson) {
  for (const char* text :
       {"{}", "[]", " 0 ", "-0", "-1.5e+10", "1E-3", "\"\"", "true", "false",
        "null", "[1, [2, {\"a\": [null]}], \"\\u00e9\\ud83d\\ude00\\n\\/\"]",
        "18446744073709551615", "-9223372036854775808",
        "\"caf\xC3\xA9 \xF0\x9F\x98\x80 \xE2\x82\xAC\"", "\t\r\n{}\n"}) {
    EXPECT_FALSE(find_syntax_error(text).has_value()) << text;
  }
  EXPECT_FALSE(find_syntax_error(std::string(kMaxJsonDepth, '[') +
                                 std::string(kMaxJsonDepth, ']')));
}

TEST(JsonSyntax, FindsTheFirstOffendingByte) {
  struct Case {
    std::string text;
    std::size_t offset;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"", 0, "the input holds no JSON value"},
      {"{\"a\" 1}", 5, "expected ':' after the field name"},
      {"{\"a\": 1,}", 8, "expected a field name"},
      {"[1 2]", 3, "expected ',' or ']'"},
      {"{\"a\": 1 \"b\"}", 8, "expected ',' or '}'"},
      {"[1,", 3, "the input ends where a value was expected"},
      {"[1", 2, "the input ends inside an array"},
      {"tru", 0, "expected a value"},
      {"[01]", 1, "a number may not have a leading zero"},
      {"[1.]", 3, "expected a digit after the decimal point"},
      {"[1e]", 3, "expected a digit in the exponent"},
      {"[-]", 2, "expected a digit"},
      {"[18446744073709551616]", 1, "the number is out of range"},
      {"[-9223372036854775809]", 1, "the number is out of range"},
      {"[\"\\x\"]", 3, "unknown escape"},
      {"[\"\\u12G4\"]", 6, "expected a hexadecimal digit in a \\u escape"},
      {"[\"\\udc00\"]", 2, "a low surrogate without a high one"},
      {"[\"\\ud800x\"]", 2, "a high surrogate without a low one"},
      {"[\"\xC0\x80\"]", 2, "invalid UTF-8"},          // overlong
      {"[\"\xED\xA0\x80\"]", 2, "invalid UTF-8"},      // surrogate
      {"[\"\xF4\x90\x80\x80\"]", 2, "invalid UTF-8"},  // above U+10FFFF
      {"[\"\xE2\x82\"]", 2, "invalid UTF-8"},          // cut short
      {"{} {}", 3, "unexpected content after the JSON value"},
      {std::string(kMaxJsonDepth + 1, '['), kMaxJsonDepth,
       "nesting is too deep"},
  };
  for (const Case& c : cases) {
    const auto error = find_syntax_error(c.text);
    ASSERT_TRUE(error.has_value()) << c.text;
    EXPECT_EQ(error->offset, c.offset) << c.text;
    EXPECT_EQ(error->message, c.message) << c.text;
  }
}

TEST(JsonSyntax, CountsLinesAndColumns) {
  const std::string text = "{\n  \"a\":\n\n   x";
  const TextPosition where = position_of(text, offset_of_error(text));
  EXPECT_EQ(where.line, 4u);
  EXPECT_EQ(where.column, 4u);
  EXPECT_EQ(position_of("abc", 0).column, 1u);
}

// The checker only places errors the fast parser reports, so the two must
// agree on which texts are JSON: mutate valid documents at random and
// compare their verdicts.
TEST(JsonSyntax, AgreesWithTheParserOnMutatedDocuments) {
  const std::vector<std::string> seeds = {
      R"({"clock_hz": 1330000000, "tiles": [{"physical_tile": 0, "samples": [{"start_cycle": 4294967295, "end_cycle": 12, "step": {"operation": "a\"b\u00e9", "metadata": [], "x": [true, false, null, -1.5e3]}}]}]})",
      R"([0, -0, 0.25, 1e5, "\ud83d\ude00", {"": {}}, [[]]])",
  };
  std::mt19937_64 random(7);
  simdjson::dom::parser parser;
  for (int round = 0; round < 20000; ++round) {
    std::string text = seeds[random() % seeds.size()];
    const auto edits = 1 + random() % 3;
    for (std::uint64_t e = 0; e < edits; ++e) testing::mutate(text, random);
    const bool parser_accepts = parser.parse(text).error() == simdjson::SUCCESS;
    const bool checker_accepts = !find_syntax_error(text).has_value();
    ASSERT_EQ(checker_accepts, parser_accepts)
        << "round " << round << ": " << text;
  }
}

}  // namespace
}  // namespace profile_query
