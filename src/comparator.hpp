// LTS comparison: label normalisation of .aut texts, the flush-action alphabet, and the
// two-way weak-failures comparison through the outside `ltscompare` program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kinds.hpp"

namespace tolvern::comparator {

// Rewrites the labels that must not count as visible actions to "tau".
std::string tau_normalize(std::string_view aut);
// The distinct labels containing "<flush>", sorted and joined by ",".
std::string extract_actions_containing(std::string_view aut);

enum class CompareVerdict : std::uint8_t { Holds, Fails, Error, Unknown };

// How a run ended, which a log shows as for any command; its answer is in its output all the
// same.
enum class RunEnd : std::uint8_t {
    Exited,      // by itself: `exit_code` is its status, -1 when a signal ended it
    TimedOut,    // killed at its time limit
    Unfinished,  // never started, could not be waited for, passed an output cap, or the session
                 // stopped it: `stderr_text` says which
};

struct LtsCompareRun {
    std::vector<std::string> argv;  // without the program path
    std::string stdout_text;
    std::string stderr_text;
    Duration elapsed{};
    CompareVerdict verdict = CompareVerdict::Unknown;
    RunEnd end = RunEnd::Exited;
    std::int32_t exit_code = 0;
};

enum class WeakFailuresVerdict : std::uint8_t {
    Equivalent,
    OursInGold,
    GoldInOurs,
    Incomparable,
    CompareError,
};

// The printed wording of a verdict other than Equivalent.
std::string_view wording(WeakFailuresVerdict verdict);

struct WeakFailuresResult {
    LtsCompareRun forward;
    LtsCompareRun backward;
    WeakFailuresVerdict verdict = WeakFailuresVerdict::CompareError;
};

// The comparator under root/dist/mcrl2/aarch64-apple-darwin/bin, else on PATH.
std::optional<Path> find_ltscompare(const Path& root);

// One run checking left <= right in the weak-failures preorder.
LtsCompareRun ltscompare_one(const Path& ltscompare, const Path& left, const Path& right,
                             std::string_view tau, const Path& counterexample, Duration limit);

// The last line of the text that is non-empty after trimming, trimmed.
std::optional<std::string> parse_ltscompare(std::string_view text);

// The combined answer of the two directions.
WeakFailuresVerdict combine(CompareVerdict forward, CompareVerdict backward);

WeakFailuresResult compare_weak_failures(const Path& ltscompare, const Path& first,
                                         const Path& second, std::string_view tau,
                                         const Path& forward_counterexample,
                                         const Path& backward_counterexample, Duration limit);

}  // namespace tolvern::comparator
