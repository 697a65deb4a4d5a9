#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Making text from outside (file names, values from a report) fit a one-line
// message: nothing that moves the cursor or rings the bell, nothing huge, and
// never half a UTF-8 character.
namespace profile_query {

// The longest piece of an outside value a message shows, in bytes.
inline constexpr std::size_t kShownBytes = 60;

// `text` with control bytes (below 0x20, and 0x7F) written as \xHH; other
// bytes unchanged.
std::string escape_control(std::string_view text);

// The first at most `max_bytes` bytes of `text`, shortened further so as not
// to end inside a UTF-8 sequence.
std::string_view cut_utf8(std::string_view text, std::size_t max_bytes);

// `text` cut to kShownBytes (with "..." when cut) and its control bytes
// escaped, for showing a value, such as a number, as it stands.
std::string shown(std::string_view text);

// `text` as a double-quoted string: as shown(), with '"' and '\' escaped.
std::string quoted_text(std::string_view text);

}  // namespace profile_query
