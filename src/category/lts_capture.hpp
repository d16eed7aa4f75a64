// kestrin's LTS of a model, captured: the run goes into the check's log with its output kept as
// an artefact, and a failed capture becomes the check's result. The lts, lbs, threads and vorlan
// checks all capture this way.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "category/check_run.hpp"

namespace tolvern::category {

struct LtsCaptureFailure {
    enum class Kind : std::uint8_t { Blocking, Empty, TimedOut, SpawnError };
    Kind kind;
    std::string detail;  // Empty: the first diagnostic line; SpawnError: the runner's message
    Duration elapsed{};  // SpawnError: zero when the tool never started
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

}  // namespace tolvern::category
