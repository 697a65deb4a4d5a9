#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

// The checksum of a store's header and of each of its sections (partial
// answers use it for their bodies too): a 64-bit hash of the bytes read as
// little-endian 64-bit words, a last partial word padded with zero bytes.
// Four lanes take the words in turn (lane i % 4 takes word i), each step
// `lane = xorshift((lane + word) * K)`; each lane is then finalized and
// folded in, in order, after the length. Every step is a bijection of its
// lane, so a change confined to one word (a flipped bit or byte) always
// changes the checksum; other damage passes only by a 64-bit coincidence.
// It catches accidents, not tampering: it is not cryptographic, and anyone
// who changes the bytes can recompute it. Streams: the bytes may arrive in
// pieces of any size, with the same result.
namespace zun_store {

class Checksum {
 public:
  // Adds `bytes`, which follow the bytes added before.
  void add(std::span<const std::byte> bytes) noexcept {
    if (bytes.empty()) return;  // its data() may be null
    const std::byte* at = bytes.data();
    std::size_t left = bytes.size();
    length_ += left;
    if (held_ > 0) {  // complete the word begun by the last piece
      const std::size_t take = std::min(left, sizeof(pending_) - held_);
      std::memcpy(pending_ + held_, at, take);
      held_ += take;
      at += take;
      left -= take;
      if (held_ < sizeof(pending_)) return;
      step(load(pending_));
      held_ = 0;
    }
    // Whole groups of four words, one per lane, while there are any.
    while (left >= 32 && next_ == 0) {
      lanes_[0] = mix(lanes_[0], load(at));
      lanes_[1] = mix(lanes_[1], load(at + 8));
      lanes_[2] = mix(lanes_[2], load(at + 16));
      lanes_[3] = mix(lanes_[3], load(at + 24));
      at += 32;
      left -= 32;
    }
    while (left >= 8) {
      step(load(at));
      at += 8;
      left -= 8;
    }
    std::memcpy(pending_, at, left);
    held_ = left;
  }

  // The checksum of the bytes added so far; more may follow.
  std::uint64_t value() const noexcept {
    Checksum copy = *this;
    if (copy.held_ > 0) {
      std::memset(copy.pending_ + copy.held_, 0,
                  sizeof(pending_) - copy.held_);
      copy.step(load(copy.pending_));
    }
    std::uint64_t sum = length_ * kMultiplier;
    for (const std::uint64_t lane : copy.lanes_) {
      sum = mix(sum, finalize(lane));
    }
    return sum;
  }

 private:
  static constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;

  static std::uint64_t load(const std::byte* bytes) noexcept {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof(word));  // the store is little-endian
    return word;
  }
  static std::uint64_t mix(std::uint64_t lane, std::uint64_t word) noexcept {
    lane = (lane + word) * kMultiplier;
    return lane ^ (lane >> 29);
  }
  static std::uint64_t finalize(std::uint64_t lane) noexcept {
    lane ^= lane >> 31;
    lane *= 0xBF58476D1CE4E5B9ull;
    return lane ^ (lane >> 27);
  }
  void step(std::uint64_t word) noexcept {
    lanes_[next_] = mix(lanes_[next_], word);
    next_ = (next_ + 1) & 3;
  }

  std::uint64_t lanes_[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull,
                             0xA4093822299F31D0ull, 0x082EFA98EC4E6C89ull};
  std::size_t next_ = 0;  // the lane of the next word
  std::uint64_t length_ = 0;
  std::byte pending_[8] = {};  // a word begun but not complete
  std::size_t held_ = 0;       // its bytes so far
};

// The checksum of `bytes` in one piece.
inline std::uint64_t checksum(std::span<const std::byte> bytes) noexcept {
  Checksum sum;
  sum.add(bytes);
  return sum.value();
}

}  // namespace zun_store
