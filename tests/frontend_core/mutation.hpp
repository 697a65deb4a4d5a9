#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <string_view>

// Random small edits of a text, for tests that check how broken JSON is met.
namespace profile_query::testing {

// Bytes that matter to JSON: structure, escapes, number and literal parts,
// control bytes and bytes that are not UTF-8 on their own.
inline constexpr std::string_view kJsonBytes =
    "{}[]:,\"\\ -+.eE0123456789tfnulrsaxu\t\n\x01\x7F\xC3\xA9\xFF";

// Replaces, inserts or erases one byte at a random place; an empty text
// stays empty.
inline void mutate(std::string& text, std::mt19937_64& random) {
  if (text.empty()) return;
  const std::size_t at = random() % text.size();
  const char c = kJsonBytes[random() % kJsonBytes.size()];
  switch (random() % 3) {
    case 0:
      text[at] = c;
      break;
    case 1:
      text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c);
      break;
    default:
      text.erase(at, 1);
      break;
  }
}

}  // namespace profile_query::testing
