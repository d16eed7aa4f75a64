// Unicode White_Space on UTF-8 text. The set is small and fixed, so it is matched as byte
// sequences rather than by decoding: a lead byte never occurs inside another character.
#include "render/white_space.hpp"

#include <array>

namespace kestrin::render {

namespace {

// The White_Space characters above ASCII, encoded.
constexpr std::array<std::string_view, 19> WIDE_SPACES = {
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
    "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A",
    "\u2028", "\u2029", "\u202F", "\u205F", "\u3000",
};

bool is_ascii_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

template <typename Matches>
std::size_t wide_space(Matches matches) {
    for (auto space : WIDE_SPACES)
        if (matches(space)) return space.size();
    return 0;
}

}  // namespace

std::size_t white_space_prefix(std::string_view text) {
    if (text.empty()) return 0;
    if (is_ascii_space(text.front())) return 1;
    if (static_cast<unsigned char>(text.front()) < 0xC2) return 0;
    return wide_space([&](std::string_view s) { return text.starts_with(s); });
}

std::size_t white_space_suffix(std::string_view text) {
    if (text.empty()) return 0;
    if (is_ascii_space(text.back())) return 1;
    // Every wide space ends in a continuation byte.
    if ((static_cast<unsigned char>(text.back()) & 0xC0) != 0x80) return 0;
    return wide_space([&](std::string_view s) { return text.ends_with(s); });
}

std::string_view trim_start(std::string_view text) {
    while (auto n = white_space_prefix(text)) text.remove_prefix(n);
    return text;
}

std::string_view trim_end(std::string_view text) {
    while (auto n = white_space_suffix(text)) text.remove_suffix(n);
    return text;
}

std::string_view trim(std::string_view text) {
    return trim_end(trim_start(text));
}

std::vector<std::string_view> split_white_space(std::string_view text) {
    std::vector<std::string_view> pieces;
    text = trim_start(text);
    while (!text.empty()) {
        std::size_t end = 0;
        while (end < text.size() && white_space_prefix(text.substr(end)) == 0) ++end;
        pieces.push_back(text.substr(0, end));
        text = trim_start(text.substr(end));
    }
    return pieces;
}

}  // namespace kestrin::render
