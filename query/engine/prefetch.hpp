#pragma once

#include <string_view>

// Asking for memory ahead of its use. Always inlined: GCC finds a function
// that only prefetches free of effects and drops calls to it.
namespace zun_profile::detail {

// Asks for both ends of `object`, which may straddle two cache lines.
template <typename T>
[[gnu::always_inline]] inline void prefetch_object(const T& object) noexcept {
  __builtin_prefetch(&object);
  __builtin_prefetch(reinterpret_cast<const char*>(&object) + sizeof(T) - 1);
}

// Asks for both ends of a text, which may straddle two cache lines.
[[gnu::always_inline]] inline void prefetch_text(std::string_view text) {
  __builtin_prefetch(text.data());
  __builtin_prefetch(text.data() + text.size());
}

}  // namespace zun_profile::detail
