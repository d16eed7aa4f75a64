// The comparison of a captured LTS with a gold LTS: what the lts, lbs and vorlan checks make of a
// capture, and the pieces of the weak-failures comparison that the threads check reuses.
#pragma once

#include <array>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "category/check_run.hpp"
#include "category/lts_capture.hpp"
#include "comparator.hpp"

namespace tolvern::category {

// The note naming the comparator: "ltscompare: {path}", else "ltscompare: {missing}".
std::string comparator_note(const std::optional<Path>& ltscompare, std::string_view missing);

// What the lts, lbs and vorlan checks make of a capture: the settled result, or the capture when
// it is weak-failures equivalent to the gold. Without a comparator the result is a skip with
// the reason `no_comparator`.
std::expected<LtsCapture, ModelResult> against_gold(
    const Model& model, Category category, std::expected<LtsCapture, LtsCaptureFailure> capture,
    const Path& gold, const Path& kestrin, const std::optional<Path>& ltscompare, Duration timeout,
    CheckLog& check, std::string_view no_comparator);

// The flush actions of either normalised text.
std::string flush_alphabet(std::string_view first, std::string_view second);

struct NamedText {
    std::string_view name;
    std::string_view text;
};
// Writes the two normalised texts that one comparison reads into the directory, in order, and
// gives their paths. When one cannot be written, the log notes "write {name}: {error}" and the
// previous run's files of that name and of the one after it are removed; nothing is given then.
std::optional<std::array<Path, 2>> write_normalized(log::SessionLog& log, const Path& dir,
                                                    const std::array<NamedText, 2>& files);

// Both comparator runs of two files, recorded under their labels; the combined verdict.
comparator::WeakFailuresVerdict compare_recorded(log::SessionLog& log, const Path& ltscompare,
                                                 const Path& first, const Path& second,
                                                 std::string_view tau, const Path& forward_trc,
                                                 const Path& backward_trc,
                                                 std::string forward_label,
                                                 std::string backward_label, Duration timeout);

}  // namespace tolvern::category
