// How deep a TOML text nests, found before the TOML library sees the text: the library descends
// one level of its own stack per key part, so a key of tens of thousands of parts overflows it.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tolvern::config {

// The deepest level a key part or an array element may lie at. Each part of a table header or of
// a dotted key, each key of an inline table and each array holding the value is one level.
inline constexpr std::size_t MAX_NESTING = 100;

// The byte offset of the first key part or array that goes deeper than MAX_NESTING, if any. A
// text that is no valid TOML is scanned as far as it can be; the library reports its fault.
std::optional<std::size_t> too_deep(std::string_view text);

}  // namespace tolvern::config
