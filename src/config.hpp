// The optional configuration file "tolvern.toml": four tables with built-in defaults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kinds.hpp"

namespace tolvern::config {

struct ParallelConfig {
    std::optional<std::size_t> jobs;
    std::vector<std::uint32_t> threads_under_test;

    // `jobs` when set (0 stays 0), else the number of online processors (at least 1).
    std::size_t jobs_resolved() const;
};

struct TimeoutConfig {
    std::uint64_t default_secs = 30;
    std::uint64_t vorlan_secs = 60;
    std::uint64_t lbs_secs = 60;
};

struct OutputConfig {
    Path dir = "build/outputs/tolvern";
};

struct VorlanConfig {
    Path path;
    Path complist;
    std::string goldens_subdir;
    std::vector<Path> import_dirs;
    std::uint32_t queue_size_external = 2;

    // The computed defaults (VORLAN, else HOME/src/vorlan, and the 16 import directories).
    static VorlanConfig defaults();
};

struct Config {
    ParallelConfig parallel;
    TimeoutConfig timeout;
    OutputConfig output;
    VorlanConfig vorlan = VorlanConfig::defaults();

    // Reads the file: defaults when it does not exist; otherwise the typed tables, or the one
    // error message "{path}: {error}" to print.
    static std::expected<Config, std::string> load(const Path& path);
    // Types a TOML text; the error is the message without the path.
    static std::expected<Config, std::string> parse(std::string_view text);
};

}  // namespace tolvern::config
