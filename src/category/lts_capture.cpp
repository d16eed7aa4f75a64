// kestrin's LTS of a model, captured into the check's log, and what a failed capture makes of the
// check's result.
#include "category/lts_capture.hpp"

#include <utility>
#include <variant>

#include "category/common.hpp"
#include "category/kestrin_cli.hpp"

namespace tolvern::category {

std::expected<LtsCapture, LtsCaptureFailure> capture_lts(
    const Model& model, const Path& kestrin, std::vector<std::string> args, Duration timeout,
    log::SessionLog& log, const Path& dir, std::string_view file_name, std::string label) {
    using Kind = LtsCaptureFailure::Kind;
    auto invocation = kestrin_invocation(kestrin, model, std::move(args), timeout);
    auto outcome = runner::run(invocation);
    auto* exited = std::get_if<runner::Exited>(&outcome);
    Artefacts kept;
    if (exited) kept = keep_streams(dir, *exited, file_name, std::string(file_name) + ".stderr");
    log.cmd(std::move(label), invocation, outcome, std::move(kept.stdout_file),
            std::move(kept.stderr_file));

    if (auto* timed_out = std::get_if<runner::TimedOut>(&outcome))
        return std::unexpected(LtsCaptureFailure{Kind::TimedOut, {}, timed_out->elapsed});
    if (auto* error = std::get_if<runner::SpawnError>(&outcome))
        return std::unexpected(LtsCaptureFailure{Kind::SpawnError, error->message, error->elapsed});
    // An LTS printed by a run that then failed still counts: the exit status is not examined.
    if (is_blocking(exited->stderr_text))
        return std::unexpected(LtsCaptureFailure{Kind::Blocking, {}, exited->elapsed});
    if (exited->stdout_text.empty())
        return std::unexpected(LtsCaptureFailure{
            Kind::Empty, first_diagnostic_line(exited->stderr_text), exited->elapsed});
    return LtsCapture{std::move(exited->stdout_text), exited->elapsed};
}

std::expected<LtsCapture, LtsCaptureFailure> run_lts_capture(
    const Model& model, const Path& kestrin, std::optional<std::uint32_t> threads, Duration timeout,
    log::SessionLog& log, const Path& dir, std::string_view file_name) {
    std::string label = "kestrin lts";
    if (threads) label += " --threads=" + std::to_string(*threads);
    return capture_lts(model, kestrin, lts_args(model, threads), timeout, log, dir, file_name,
                       std::move(label));
}

ModelResult capture_failure_result(const Model& model, Category category,
                                   const LtsCaptureFailure& failure,
                                   std::optional<std::uint32_t> threads, Duration before) {
    using Kind = LtsCaptureFailure::Kind;
    auto elapsed = before + failure.elapsed;
    auto tag = threads ? "t=" + std::to_string(*threads) : std::string("lts");
    switch (failure.kind) {
        case Kind::Blocking: return result(model.name, category, Status::Skip, "blocking", elapsed);
        case Kind::TimedOut:
            return result(model.name, category, Status::Timeout, threads ? "lts " + tag : tag,
                          elapsed);
        case Kind::Empty:
            return result(model.name, category, Status::Fail,
                          "empty " + tag + ": " + failure.detail, elapsed);
        case Kind::SpawnError:
            // A tool that never started took no time; one ended at a cap ran like any other.
            return result(model.name, category, Status::Fail, failure.detail,
                          failure.elapsed == Duration{} ? Duration{} : elapsed);
    }
    std::unreachable();
}

}  // namespace tolvern::category
