// The small enumerations every part of tolvern shares: test categories, result statuses and
// output formats, with the one table of names through which they are printed and parsed; and
// the duration and path types of every module.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace tolvern {

// Durations throughout: elapsed times and time limits.
using Duration = std::chrono::nanoseconds;
// Paths throughout: of models, goldens, programs and output directories.
using Path = std::filesystem::path;

enum class Category : std::uint8_t {
    Parsing,
    ParseCompare,
    Wfc,
    Symres,
    Lts,
    Verify,
    Lbs,
    Vorlan,
    Threads,
    Misc,
    Simulate,
    SimulateRepl,
    Trace,
    Selfcheck,
};

enum class Status : std::uint8_t { Pass, Fail, Xfail, Skip, Timeout };

enum class OutputFormat : std::uint8_t { Human, Tap, Json };

// The fourteen category names in value order, then the five status words.
inline constexpr std::array<std::string_view, 19> NAMES = {
    "parsing", "parse-compare", "wfc",   "symres",   "lts",           "verify", "lbs",
    "vorlan",  "threads",       "misc",  "simulate", "simulate-repl", "trace",  "selfcheck",
    "PASS",    "FAIL",          "XFAIL", "SKIP",     "TIMEOUT",
};

constexpr std::string_view name(Category c) {
    return NAMES[static_cast<std::size_t>(c)];
}
constexpr std::string_view word(Status s) {
    return NAMES[14 + static_cast<std::size_t>(s)];
}

// What "all" selects, in run order; selfcheck runs only when named.
inline constexpr std::array<Category, 13> ALL_CATEGORIES = {
    Category::Parsing,  Category::ParseCompare, Category::Wfc,    Category::Symres, Category::Lts,
    Category::Verify,   Category::Threads,      Category::Vorlan, Category::Lbs,    Category::Misc,
    Category::Simulate, Category::SimulateRepl, Category::Trace,
};

// A category by its exact (case-sensitive) name.
constexpr std::optional<Category> parse_category(std::string_view text) {
    for (std::size_t i = 0; i < 14; ++i)
        if (NAMES[i] == text) return static_cast<Category>(i);
    return std::nullopt;
}

// Whole seconds as a duration; a count too large to represent saturates (no practical limit).
constexpr Duration seconds(std::uint64_t secs) {
    constexpr auto max_secs = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(Duration::max()).count());
    if (secs >= max_secs) return Duration::max();
    return std::chrono::seconds(static_cast<std::int64_t>(secs));
}

// Whole milliseconds of a non-negative duration, truncated.
constexpr std::uint64_t millis(Duration d) {
    return d.count() <= 0 ? 0 : static_cast<std::uint64_t>(d.count()) / 1'000'000;
}

}  // namespace tolvern
