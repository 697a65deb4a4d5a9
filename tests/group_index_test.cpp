#include "query/engine/group_index.hpp"

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace zun_profile::detail {
namespace {

// Each text in a heap block of exactly its size, so that AddressSanitizer
// catches a read past its end.
struct ExactText {
  std::vector<char> bytes;  // built from a range: capacity is the size
  std::string_view view() const { return {bytes.data(), bytes.size()}; }
};
ExactText exact(std::string_view text) {
  return ExactText{std::vector<char>(text.begin(), text.end())};
}

TEST(GroupIndexTest, HashReadsEveryByteAndNoMore) {
  std::set<std::uint64_t> hashes;
  std::size_t texts = 0;
  for (std::size_t size = 0; size <= 100; ++size) {
    std::string text(size, 'a');
    for (std::size_t i = 0; i < size; ++i)
      text[i] = static_cast<char>('a' + i % 26);
    const ExactText base = exact(text);
    EXPECT_EQ(hash_text(base.view()), hash_text(text)) << size;
    hashes.insert(hash_text(base.view()));
    ++texts;
    // A change in any one byte changes the hash, and same_text sees it.
    for (std::size_t at = 0; at < size; ++at) {
      std::string changed = text;
      changed[at] = '#';
      const ExactText other = exact(changed);
      hashes.insert(hash_text(other.view()));
      ++texts;
      EXPECT_FALSE(same_text(base.view(), other.view())) << size << " " << at;
    }
    EXPECT_TRUE(same_text(base.view(), exact(text).view())) << size;
  }
  EXPECT_EQ(hashes.size(), texts);  // no collision among these
  EXPECT_FALSE(same_text("abc", "abcd"));
}

TEST(GroupIndexTest, GivesDenseIdsInOrderOfFirstSight) {
  GroupIndex<std::string_view> index;
  std::vector<std::string> texts;
  for (int i = 0; i < 300000; ++i) {
    std::string text = "layer";
    text += std::to_string(i % 100);
    text += "/op#";
    text += std::to_string(i);
    texts.push_back(std::move(text));
  }
  // Every key twice: the second sight finds the first's id, through every
  // growth of the table and beyond the size where probes are prefetched.
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const auto found = index.find_or_add(texts[i]);
      ASSERT_EQ(found.id, i);
      ASSERT_EQ(found.added, round == 0);
      if (round == 1) index.prefetch(texts[i]);
    }
  }
  EXPECT_TRUE(index.large());
  EXPECT_EQ(index.size(), texts.size());
  EXPECT_EQ(index.key(12345), texts[12345]);

  GroupIndex<std::uint64_t> numbers;
  EXPECT_EQ(numbers.find_or_add(UINT64_MAX).id, 0u);
  EXPECT_EQ(numbers.find_or_add(0).id, 1u);
  EXPECT_FALSE(numbers.find_or_add(UINT64_MAX).added);
}

}  // namespace
}  // namespace zun_profile::detail
