// Small text helpers shared by the modules: line splitting, trimming, quoted items, joining, UTF-8
// checks and strict decimal parsing. All are pure and take views.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kinds.hpp"

namespace tolvern::text {

// The sixteen digits of hexadecimal numbers, lower case.
inline constexpr std::string_view HEX_DIGITS = "0123456789abcdef";

// Lines split at "\n", a "\r" just before the "\n" dropped; a final "\n" starts no empty last
// line, and an empty text has no lines.
std::vector<std::string_view> split_lines(std::string_view text);

// The first line (up to the first "\n", a "\r" just before it dropped).
std::string_view first_line(std::string_view text);

// Trimming and splitting at Unicode White_Space (the ASCII blanks and controls as well as the
// no-break, ideographic and other wide spaces), as the golden judge sees white space.
std::string_view trim(std::string_view text);
std::string_view trim_start(std::string_view text);
std::string_view trim_end(std::string_view text);
// The non-empty pieces between runs of White_Space.
std::vector<std::string_view> split_white_space(std::string_view text);

bool is_valid_utf8(std::string_view bytes);
// The bytes with every invalid UTF-8 sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);
// Captured bytes as text: the bytes themselves, without a copy, when they are valid UTF-8, else
// their lossy form.
std::string decoded(std::string bytes);
// A path as text, invalid UTF-8 replaced.
std::string lossy(const Path& path);
// The text with every control character (C0, DEL and C1) written as an escape: "\n", "\r", "\t",
// else "\u{1b}" and the like. Such a text stays on its line and cannot steer a terminal.
std::string escape_controls(std::string_view text);

// An unsigned decimal: one optional leading "+", then digits only, no overflow.
std::optional<std::uint64_t> parse_u64(std::string_view text);
std::optional<std::uint32_t> parse_u32(std::string_view text);

// The text padded with blanks to at least `width` characters (code points), left-aligned
// (pad_right) or right-aligned (pad_left); a longer text is returned whole.
std::string pad_right(std::string_view text, std::size_t width);
std::string pad_left(std::string_view text, std::size_t width);

// The pieces of text between "sep"s (empty pieces kept).
std::vector<std::string_view> split(std::string_view text, char sep);

// The texts between the first and second double quote of the line, the third and fourth, and so
// on; a last quote without its partner opens one more text, to the end of the line.
std::vector<std::string_view> quoted_items(std::string_view line);

// The pieces one after another.
std::string concat(std::initializer_list<std::string_view> pieces);

// The pieces (texts) in order with the separator between each two.
template <typename Range>
std::string join(const Range& pieces, std::string_view separator) {
    std::string joined;
    bool first = true;
    for (const auto& piece : pieces) {
        if (!first) joined += separator;
        joined += piece;
        first = false;
    }
    return joined;
}

}  // namespace tolvern::text
