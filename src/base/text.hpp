// Small helpers for the text of messages and input lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gw {

// Longest piece of input text (an identifier, a field, a value) quoted in a
// message.
inline constexpr std::size_t kMaxShown = 60;

// A blank of the input files: space or tab.
inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// `s` as shown in a message, cut short after kMaxShown bytes when longer
// (never inside a UTF-8 sequence), with "..." for what is cut.
std::string shown(std::string_view s);

// The same in double quotes.
std::string quoted(std::string_view s);

// The line of `text` that starts at `pos`, without its line end (LF or CR
// LF); `pos` moves to the start of the next line.
std::string_view next_line(std::string_view text, std::size_t& pos);

// "1 animal", "2 animals": a count and its noun for messages.
inline std::string plural(long long count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace gw
