// Per-model META settings: queue sizes, the state-count budget factor and two flags, read from a
// small parenthesised line format in the model directory.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "kinds.hpp"

namespace tolvern::meta {

struct MetaConfig {
    std::optional<std::uint32_t> queue_size;
    std::optional<std::uint32_t> queue_size_defer;
    std::optional<std::uint32_t> queue_size_external;
    std::optional<double> max_state_factor;
    bool skip_wfc = false;
    bool flush = false;

    // Reads "META" at the path: defaults when it does not exist, "{path}: {error}" when it
    // cannot be read.
    static std::expected<MetaConfig, std::string> from_file(const Path& path);
    // The settings of a META text.
    static MetaConfig parse(std::string_view text);

    bool operator==(const MetaConfig&) const = default;
};

// The trimmed value of "({key} value)" in the line, or nothing.
std::optional<std::string_view> find_pair(std::string_view key, std::string_view line);
// Whether the line holds "({key})" or "({key} #t)".
bool find_flag(std::string_view key, std::string_view line);

}  // namespace tolvern::meta
