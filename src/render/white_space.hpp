// Unicode White_Space on UTF-8 text: trimming and splitting that treat the non-ASCII spaces
// (no-break space, ideographic space, line separator ...) like blanks, as the judge needs.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace kestrin::render {

// Byte length of the White_Space character that starts the text, 0 when there is none.
std::size_t white_space_prefix(std::string_view text);
// Byte length of the White_Space character that ends the text, 0 when there is none.
std::size_t white_space_suffix(std::string_view text);

std::string_view trim_start(std::string_view text);
std::string_view trim_end(std::string_view text);
std::string_view trim(std::string_view text);

// The non-empty pieces between runs of White_Space.
std::vector<std::string_view> split_white_space(std::string_view text);

}  // namespace kestrin::render
