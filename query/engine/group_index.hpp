#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

// Finding a sample's group by a cheap identity (a view of the label text, or
// the numbers a label is written from) in an open-addressing table: one hash
// and, mostly, one probe of an 8-byte slot. A node-based map costs an
// allocation per group and a pointer chase per lookup, which is what made
// queries with millions of groups slow and large.
namespace zun_profile::detail {

// A well-mixed 64-bit hash of a number (the splitmix64 finaliser).
constexpr std::uint64_t mix_hash(std::uint64_t value) noexcept {
  value ^= value >> 30;
  value *= 0xBF58476D1CE4E5B9ull;
  value ^= value >> 27;
  value *= 0x94D049BB133111EBull;
  return value ^ (value >> 31);
}

// The 128-bit product of `a` and `b`, folded to 64 bits: one multiply that
// mixes every bit of both into the result.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
  __extension__ using Wide = unsigned __int128;  // g++ and clang alike
  const Wide product = static_cast<Wide>(a) * static_cast<Wide>(b);
  return static_cast<std::uint64_t>(product) ^
         static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t load64(const char* bytes) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, bytes, 8);
  return word;
}

// A hash of every byte of `text`. Labels are mostly short (kernel names,
// metadata values): up to 32 bytes take two to four overlapping loads and
// two independent multiplies, with no loop. Not for hostile input: a table
// of it degrades to slow, never to wrong.
[[gnu::always_inline]] inline std::uint64_t hash_text(
    std::string_view text) noexcept {
  constexpr std::uint64_t kSeed0 = 0xA0761D6478BD642Full;
  constexpr std::uint64_t kSeed1 = 0xE7037ED1A0B428DBull;
  constexpr std::uint64_t kSeed2 = 0x8EBC6AF09C88C6E3ull;
  constexpr std::uint64_t kSeed3 = 0x589965CC75374CC3ull;
  const char* bytes = text.data();
  const std::size_t size = text.size();
  if (size <= 16) {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (size >= 8) {
      a = load64(bytes);
      b = load64(bytes + size - 8);
    } else if (size >= 4) {  // two overlapping 4-byte reads cover 4 to 7
      std::uint32_t low = 0;
      std::uint32_t high = 0;
      std::memcpy(&low, bytes, 4);
      std::memcpy(&high, bytes + size - 4, 4);
      a = low;
      b = high;
    } else if (size > 0) {  // first, middle and last byte cover 1 to 3
      a = static_cast<unsigned char>(bytes[0]) |
          std::uint64_t{static_cast<unsigned char>(bytes[size / 2])} << 8 |
          std::uint64_t{static_cast<unsigned char>(bytes[size - 1])} << 16;
    }
    return fold_multiply(a ^ kSeed0, b ^ kSeed1 ^ size);
  }
  std::uint64_t seed = kSeed0 ^ size;
  const char* const end = bytes + size;
  while (end - bytes > 32) {
    seed =
        fold_multiply(load64(bytes) ^ kSeed1, load64(bytes + 8) ^ seed) ^
        fold_multiply(load64(bytes + 16) ^ kSeed2, load64(bytes + 24) ^ seed);
    bytes += 32;
  }
  // The last 17 to 32 bytes as four words, overlapping where they are fewer
  // than 32 (before them lie bytes of the text already hashed, or none).
  const char* const tail = size > 32 ? end - 32 : bytes;
  const char* const second = size > 32 ? end - 24 : bytes + 8;
  const std::uint64_t low =
      fold_multiply(load64(tail) ^ kSeed1, load64(second) ^ seed);
  const std::uint64_t high =
      fold_multiply(load64(end - 16) ^ kSeed2, load64(end - 8) ^ kSeed3 ^ size);
  return fold_multiply(low ^ kSeed3, high ^ kSeed0);
}

// Byte equality of two texts, inlined for the lengths labels mostly have:
// 8 to 64 bytes take two to eight overlapping 8-byte comparisons, words
// from the front and from the back that together cover every byte (a call
// to memcmp costs more than the comparison itself at these lengths).
[[gnu::always_inline]] inline bool same_text(std::string_view left,
                                             std::string_view right) noexcept {
  const std::size_t size = left.size();
  if (size != right.size()) return false;
  if (size < 8 || size > 64) return left == right;
  const char* a = left.data();
  const char* b = right.data();
  const char* a_end = a + size - 8;
  const char* b_end = b + size - 8;
  std::uint64_t differ =
      (load64(a) ^ load64(b)) | (load64(a_end) ^ load64(b_end));
  if (size > 16) {
    differ |= (load64(a + 8) ^ load64(b + 8)) |
              (load64(a_end - 8) ^ load64(b_end - 8));
  }
  if (size > 32) {
    differ |= (load64(a + 16) ^ load64(b + 16)) |
              (load64(a + 24) ^ load64(b + 24)) |
              (load64(a_end - 16) ^ load64(b_end - 16)) |
              (load64(a_end - 24) ^ load64(b_end - 24));
  }
  return differ == 0;
}

[[gnu::always_inline]] inline std::uint64_t hash_key(
    std::string_view key) noexcept {
  return hash_text(key);
}
[[gnu::always_inline]] inline std::uint64_t hash_key(
    std::uint64_t key) noexcept {
  return mix_hash(key);
}

[[gnu::always_inline]] inline bool same_key(std::string_view a,
                                            std::string_view b) noexcept {
  return same_text(a, b);
}
inline bool same_key(std::uint64_t a, std::uint64_t b) noexcept {
  return a == b;
}

// Gives each distinct key a dense id, 0, 1, 2, ... in order of first sight.
// Memory: the keys, plus 8 to 16 bytes of table per key (kept at most half
// full). Keys that are views must outlive the index. Ids are 32-bit: a
// report with 2^32 groups would need hundreds of GiB of samples in memory.
template <typename Key>
class GroupIndex {
 public:
  // The id of `key`, and whether it was new.
  struct Found {
    std::uint32_t id;
    bool added;
  };

  // Inlined into the pass, which calls it for most samples.
  [[gnu::always_inline]] Found find_or_add(const Key& key) {
    if (2 * (keys_.size() + 1) > slots_.size()) grow();
    const std::uint32_t tag = static_cast<std::uint32_t>(hash_key(key) >> 32);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = tag & mask;; at = (at + 1) & mask) {
      const std::uint64_t slot = slots_[at];
      if (slot == 0) {
        const auto id = static_cast<std::uint32_t>(keys_.size());
        slots_[at] = std::uint64_t{tag} << 32 | (std::uint64_t{id} + 1);
        keys_.push_back(key);
        return {id, true};
      }
      if (static_cast<std::uint32_t>(slot >> 32) == tag) {
        const auto id = static_cast<std::uint32_t>(slot) - 1;
        if (same_key(keys_[id], key)) return {id, false};
      }
    }
  }

  std::size_t size() const noexcept { return keys_.size(); }

  // Whether the table has outgrown the caches, so that a lookup's probe is
  // a miss worth asking for ahead of time.
  bool large() const noexcept { return slots_.size() >= kLargeSlots; }

  // Asks for the slot where `key` would be probed first. Always inlined: a
  // call to a function that only prefetches has no effect the compiler
  // must keep, and GCC drops it.
  [[gnu::always_inline]] void prefetch(const Key& key) const noexcept {
    const std::uint32_t tag = static_cast<std::uint32_t>(hash_key(key) >> 32);
    __builtin_prefetch(&slots_[tag & (slots_.size() - 1)]);
  }

  // The key of id `id` (below size()).
  const Key& key(std::uint32_t id) const noexcept { return keys_[id]; }

 private:
  // Slots hold (tag << 32 | id + 1), 0 when empty; the tag (the hash's high
  // half) both places a key and rules out most unequal ones unread.
  void grow() {
    std::vector<std::uint64_t> old(
        std::max<std::size_t>(kLeastSlots, 2 * slots_.size()), 0);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const std::uint64_t slot : old) {
      if (slot == 0) continue;
      std::size_t at = static_cast<std::uint32_t>(slot >> 32) & mask;
      while (slots_[at] != 0) at = (at + 1) & mask;
      slots_[at] = slot;
    }
  }

  static constexpr std::size_t kLargeSlots = std::size_t{1} << 17;  // 1 MiB
  // A table starts this large (8 KiB): with a few dozen keys nearly every
  // lookup then ends at its first slot, a branch that predicts well.
  static constexpr std::size_t kLeastSlots = 1024;

  std::vector<std::uint64_t> slots_;
  std::vector<Key> keys_;  // by id
};

}  // namespace zun_profile::detail
