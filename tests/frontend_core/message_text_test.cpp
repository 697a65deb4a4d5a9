#include "frontend_core/message_text.hpp"

#include <string>

#include <gtest/gtest.h>

namespace profile_query {
namespace {

TEST(MessageText, CutsNeverSplitACharacter) {
  const std::string euro = "\xE2\x82\xAC";       // three bytes
  const std::string emoji = "\xF0\x9F\x98\x80";  // four bytes
  const struct {
    std::string text;
    std::size_t max;
    std::string kept;
  } cases[] = {
      {"abc", 5, "abc"},
      {"abcdef", 3, "abc"},
      {"a" + euro, 1, "a"},
      {"a" + euro, 2, "a"},  // would end after the euro's first byte
      {"a" + euro, 3, "a"},
      {"a" + euro, 4, "a" + euro},
      {emoji + emoji, 7, emoji},
      {emoji, 0, ""},
      {"\x80\x80\x80\x80\x80\x80", 5, "\x80\x80\x80\x80\x80"},  // not UTF-8
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cut_utf8(c.text, c.max), c.kept)
        << "text of " << c.text.size() << " bytes cut to " << c.max;
  }
}

TEST(MessageText, EscapesControlBytesAndCutsLongValues) {
  EXPECT_EQ(escape_control("a\x1b[2Jb\n\x7f"), "a\\x1b[2Jb\\x0a\\x7f");
  EXPECT_EQ(escape_control("caf\xC3\xA9 \"x\" \\"), "caf\xC3\xA9 \"x\" \\");
  EXPECT_EQ(quoted_text("say \"hi\"\\"), "\"say \\\"hi\\\"\\\\\"");

  const std::string digits(1'000'000, '7');
  EXPECT_EQ(shown(digits), std::string(kShownBytes, '7') + "...");
  EXPECT_EQ(shown("12"), "12");
  std::string accents;
  for (int i = 0; i < 40; ++i) accents += "\xC3\xA9";  // 80 bytes
  const std::string cut = quoted_text(accents);
  EXPECT_EQ(cut.size(), 1 + kShownBytes + 3 + 1);  // 30 whole characters
  EXPECT_EQ(cut.substr(cut.size() - 4), "...\"");
}

}  // namespace
}  // namespace profile_query
