// The lts and lbs checks: kestrin's LTS of a model against its gold LTS, weak-failures equivalent
// and within a state-count budget; with the capture, queue and state-count pieces that the
// threads and vorlan checks reuse.
#include "category/lts.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>
#include <variant>

#include "category/checks.hpp"
#include "category/common.hpp"
#include "files.hpp"
#include "text.hpp"

namespace tolvern::category {

using comparator::WeakFailuresVerdict;

void push_queue_args(std::vector<std::string>& args, const meta::MetaConfig& meta) {
    auto push = [&](std::string_view option, const std::optional<std::uint32_t>& value) {
        if (!value) return;
        args.emplace_back(option);
        args.push_back(std::to_string(*value));
    };
    push("-q", meta.queue_size);
    push("--queue-size-defer", meta.queue_size_defer);
    push("--queue-size-external", meta.queue_size_external);
}

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
        return std::unexpected(LtsCaptureFailure{Kind::SpawnError, error->message, Duration{}});
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
    std::vector<std::string> args;
    std::string label = "kestrin lts";
    if (threads) {
        args.push_back("--threads=" + std::to_string(*threads));
        label += " --threads=" + std::to_string(*threads);
    }
    if (model.meta.skip_wfc) args.emplace_back("-p");
    args.insert(args.end(), {"lts", "--full-lts", "-m", std::string(tool_model_name(model.name))});
    push_queue_args(args, model.meta);
    args.push_back(model.display);
    return capture_lts(model, kestrin, std::move(args), timeout, log, dir, file_name,
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
            return result(model.name, category, Status::Fail, failure.detail, Duration{});
    }
    std::unreachable();
}

std::optional<std::uint64_t> aut_states(std::string_view aut) {
    auto header = text::trim(text::first_line(aut));
    if (!header.starts_with("des")) return std::nullopt;
    auto triple = text::trim(header.substr(3));
    while (triple.starts_with('(')) triple.remove_prefix(1);
    while (triple.ends_with(')')) triple.remove_suffix(1);
    auto pieces = text::split(triple, ',');
    if (pieces.size() < 3) return std::nullopt;
    return text::parse_u64(text::trim(pieces[2]));
}

std::uint64_t state_budget(double factor, std::uint64_t gold) {
    double budget = std::ceil(factor * static_cast<double>(gold));
    if (!(budget > 0)) return 0;  // negative, zero or not a number
    // 2^64 is the first double beyond the range; the cast of anything at or above it is undefined.
    if (budget >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    // A double holds counts beyond 2^53 only to their leading digits: a factor of one or more
    // must still allow the golden's own count.
    auto whole = static_cast<std::uint64_t>(budget);
    return factor >= 1 && whole < gold ? gold : whole;
}

namespace {

// The shortest decimal that reads back as the same double: 20 for 20.0, 1.5 for 1.5, and
// 100000 rather than 1e+05. The buffer holds the longest fixed form of any double.
std::string shortest(double value) {
    char buffer[400];
    auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, end);
}

constexpr double DEFAULT_STATE_FACTOR = 20.0;

}  // namespace

std::optional<std::string> budget_excess(std::string_view ours, std::string_view gold,
                                         std::optional<double> factor) {
    auto ours_states = aut_states(ours);
    auto gold_states = aut_states(gold);
    if (!ours_states || !gold_states || *gold_states == 0) return std::nullopt;
    double f = factor.value_or(DEFAULT_STATE_FACTOR);
    auto budget = state_budget(f, *gold_states);
    if (*ours_states <= budget) return std::nullopt;
    return "lts state-count budget exceeded: " + std::to_string(*ours_states) + " states > " +
           std::to_string(budget) + " (= " + shortest(f) + "x golden " +
           std::to_string(*gold_states) + "); weak-failures EQUAL but blown up";
}

std::optional<std::string> divergence_reason(WeakFailuresVerdict verdict) {
    switch (verdict) {
        case WeakFailuresVerdict::Equivalent: return std::nullopt;
        case WeakFailuresVerdict::CompareError: return "ltscompare error";
        case WeakFailuresVerdict::OursInGold:
        case WeakFailuresVerdict::GoldInOurs:
        case WeakFailuresVerdict::Incomparable: break;
    }
    return "lts diverges: " + std::string(comparator::wording(verdict)) + " (see ltscompare-*.trc)";
}

std::string comparator_note(const std::optional<Path>& ltscompare, std::string_view missing) {
    return "ltscompare: " + (ltscompare ? text::lossy(*ltscompare) : std::string(missing));
}

std::expected<LtsCapture, ModelResult> against_gold(
    const Model& model, Category category, std::expected<LtsCapture, LtsCaptureFailure> capture,
    const Path& gold, const Path& kestrin, const std::optional<Path>& ltscompare, Duration timeout,
    CheckLog& check, std::string_view no_comparator) {
    if (!capture)
        return std::unexpected(
            capture_failure_result(model, category, capture.error(), std::nullopt, Duration{}));
    // The comparison's own time is not the tool's: every verdict carries the kestrin run's.
    auto settled = [&](Status status, std::string reason) {
        return std::unexpected(
            result(model.name, category, status, std::move(reason), capture->elapsed));
    };
    if (!ltscompare) return settled(Status::Skip, std::string(no_comparator));
    auto verdict = compare_lts_to_gold(capture->aut, gold, *ltscompare, model, kestrin, check.dir,
                                       timeout, check.log);
    if (auto reason = divergence_reason(verdict)) return settled(Status::Fail, std::move(*reason));
    return std::move(*capture);
}

namespace {

// Steps after the log is open: the skip marker, the gold, the capture, the comparison and the
// budget.
ModelResult lts_result(const Model& model, const Path& kestrin,
                       const std::optional<Path>& ltscompare, Duration timeout, Category category,
                       CheckLog& check) {
    auto done = [&](Status status, std::string reason, Duration elapsed) {
        return result(model.name, category, status, std::move(reason), elapsed);
    };
    check.log.note(
        comparator_note(ltscompare, "NOT FOUND (run scripts/build-mcrl2.sh --host-only)"));
    if (auto reason = skip_marker(model.dir, "lts.skip"))
        return done(Status::Skip, std::move(*reason), Duration{});
    if (!model.baselines.lts)
        return done(Status::Fail, "missing golden: no baseline lts (.aut) — regenerate it",
                    Duration{});
    const Path& gold = *model.baselines.lts;

    auto settled = against_gold(
        model, category,
        run_lts_capture(model, kestrin, std::nullopt, timeout, check.log, check.dir, "ours.aut"),
        gold, kestrin, ltscompare, timeout, check,
        "ltscompare not found (scripts/build-mcrl2.sh --host-only)");
    if (!settled) return std::move(settled.error());

    // Equivalent: the LTS must also not have grown far beyond the gold.
    if (auto gold_text = files::read_text(gold))
        if (auto excess = budget_excess(settled->aut, *gold_text, model.meta.max_state_factor))
            return done(Status::Fail, std::move(*excess), settled->elapsed);
    return done(Status::Pass, model.baselines.lts_overridden ? "lts-overridden" : "",
                settled->elapsed);
}

}  // namespace

ModelResult check_lts_as(const Model& model, const Path& kestrin,
                         const std::optional<Path>& ltscompare, const Path& out_dir,
                         Duration timeout, Category category) {
    auto check = open_check(out_dir, category, model);
    if (!check) return std::move(check.error());
    return close_check(
        *check, apply_xfail_marker(
                    model.dir, lts_result(model, kestrin, ltscompare, timeout, category, *check)));
}

}  // namespace tolvern::category
