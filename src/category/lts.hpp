// The LTS machinery that the lts, lbs, threads and vorlan checks share: the LTS capture, queue
// options, state counts and budget, and the weak-failures comparison against a gold LTS.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "category/check_run.hpp"
#include "comparator.hpp"
#include "meta.hpp"

namespace tolvern::category {

// Appends "-q", "--queue-size-defer" and "--queue-size-external" with the set META values.
void push_queue_args(std::vector<std::string>& args, const meta::MetaConfig& meta);

struct LtsCaptureFailure {
    enum class Kind : std::uint8_t { Blocking, Empty, TimedOut, SpawnError };
    Kind kind;
    std::string detail;  // Empty: the first diagnostic line; SpawnError: the runner's message
    Duration elapsed{};  // zero for SpawnError
};

struct LtsCapture {
    std::string aut;
    Duration elapsed{};
};

// kestrin's "lts" of the model, with "--threads=N" when a count is given; the output is kept as
// `file_name` (and its standard error beside it) and the run recorded in the log.
std::expected<LtsCapture, LtsCaptureFailure> run_lts_capture(
    const Model& model, const Path& kestrin, std::optional<std::uint32_t> threads, Duration timeout,
    log::SessionLog& log, const Path& dir, std::string_view file_name);

// The same with an argument list of the caller's and its own log label.
std::expected<LtsCapture, LtsCaptureFailure> capture_lts(
    const Model& model, const Path& kestrin, std::vector<std::string> args, Duration timeout,
    log::SessionLog& log, const Path& dir, std::string_view file_name, std::string label);

// The result of a failed capture. With a thread count the reasons name it ("lts t=N",
// "empty t=N: ..."); `before` is the time of the check's earlier runs.
ModelResult capture_failure_result(const Model& model, Category category,
                                   const LtsCaptureFailure& failure,
                                   std::optional<std::uint32_t> threads, Duration before);

// The state count in the header of an .aut text.
std::optional<std::uint64_t> aut_states(std::string_view aut);
// The factor times the gold count, rounded up; 0 for a negative or NaN product, saturated.
std::uint64_t state_budget(double factor, std::uint64_t gold);
// The budget failure reason when ours has more states than the budget allows; nothing when it
// has not or when either count is missing or the gold count is 0.
std::optional<std::string> budget_excess(std::string_view ours, std::string_view gold,
                                         std::optional<double> factor);

// The reason of a comparison verdict other than Equivalent; nothing for Equivalent.
std::optional<std::string> divergence_reason(comparator::WeakFailuresVerdict verdict);

// The note naming the comparator: "ltscompare: {path}", else "ltscompare: {missing}".
std::string comparator_note(const std::optional<Path>& ltscompare, std::string_view missing);

// What the lts, lbs and vorlan checks make of a capture: the settled result, or the capture when
// it is weak-failures equivalent to the gold. Without a comparator the result is a skip with
// the reason `no_comparator`.
std::expected<LtsCapture, ModelResult> against_gold(
    const Model& model, Category category, std::expected<LtsCapture, LtsCaptureFailure> capture,
    const Path& gold, const Path& kestrin, const std::optional<Path>& ltscompare, Duration timeout,
    CheckLog& check, std::string_view no_comparator);

// Normalises both LTSs, keeps the normalised files, works out the tau alphabet and compares
// ours with the gold both ways, recording the two comparator runs.
comparator::WeakFailuresVerdict compare_lts_to_gold(std::string_view ours, const Path& gold,
                                                    const Path& ltscompare, const Model& model,
                                                    const Path& kestrin, const Path& dir,
                                                    Duration timeout, log::SessionLog& log);

// One comparator run as a command of the log, with exit 0 and both streams inline.
void record_ltscompare(log::SessionLog& log, const Path& ltscompare, std::string label,
                       const comparator::LtsCompareRun& run);

// The two comma-separated lists as one: sorted, without duplicates or empty pieces.
std::string merge_csv(std::string_view a, std::string_view b);

// The flush actions of either normalised text.
std::string flush_alphabet(std::string_view first, std::string_view second);

// Writes a normalised text into the directory; a failure is noted in the log as
// "write {name}: {error}" and gives nothing.
std::optional<Path> write_noted(log::SessionLog& log, const Path& dir, std::string_view name,
                                std::string_view text);

// Both comparator runs of two files, recorded under their labels; the combined verdict.
comparator::WeakFailuresVerdict compare_recorded(log::SessionLog& log, const Path& ltscompare,
                                                 const Path& first, const Path& second,
                                                 std::string_view tau, const Path& forward_trc,
                                                 const Path& backward_trc,
                                                 std::string forward_label,
                                                 std::string backward_label, Duration timeout);

}  // namespace tolvern::category
