// The front-end checks: each runs kestrin's "parse" once on the model and judges its exit status,
// its diagnostics or its rendering against what the model directory expects.
#include "category/parse_checks.hpp"

#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "category/common.hpp"
#include "category/golden.hpp"
#include "category/kestrin_cli.hpp"
#include "category/xfail_policy.hpp"
#include "files.hpp"
#include "runner.hpp"
#include "text.hpp"

namespace tolvern::category {

namespace {

// Builds the results of one model in the pass's category.
struct ResultOf {
    const CategoryContext& context;
    const Model& model;
    ModelResult operator()(Status status, std::string reason, Duration elapsed) const {
        return result(model.name, context.category, status, std::move(reason), elapsed);
    }
};

// The parse run as it exited, or the result for a run that timed out or could not start.
std::expected<runner::Exited, ModelResult> parse_run(const CategoryContext& context,
                                                     const Model& model) {
    auto outcome = runner::run(
        kestrin_invocation(context.kestrin, model, parse_args(model.display), context.timeout));
    if (auto unfinished = unfinished_result(outcome, model.name, context.category, "parse"))
        return std::unexpected(std::move(*unfinished));
    return std::get<runner::Exited>(std::move(outcome));
}

// The expected-error lines missing from the standard error, joined for a reason; none when all
// are there.
std::optional<std::string> missing_reason(std::string_view expected, std::string_view stderr_text) {
    auto missing = missing_substrings(expected, stderr_text);
    if (missing.empty()) return std::nullopt;
    return "missing: " + text::join(missing, " | ");
}

Verdict parsing_verdict(const CategoryContext& context, const Model& model) {
    ResultOf done{context, model};
    auto run = parse_run(context, model);
    if (!run) return std::move(run.error());
    if (run->code == 0) return done(Status::Pass, {}, run->elapsed);
    // A feature kestrin lacks is no regression of the model, so a marker does not claim it.
    if (is_blocking(run->stderr_text))
        return unmarkable(done(Status::Skip, "blocking", run->elapsed));
    return done(Status::Fail, exit_reason(*run), run->elapsed);
}

// Only the comparison judges the model: without a golden to compare with, or a parse run that
// finished, there is nothing for a marker to claim.
Verdict parse_compare_verdict(const CategoryContext& context, const Model& model) {
    ResultOf done{context, model};
    const auto& golden = model.baselines.parse;
    if (!golden)
        return unmarkable(
            done(Status::Fail, "missing golden: no baseline/parse — regenerate it", Duration{}));
    auto run = parse_run(context, model);
    if (!run) return unmarkable(std::move(run.error()));
    auto produced = combined_text(run->stdout_text, run->stderr_text);
    auto expected = files::read_text(*golden);
    if (!expected)
        return unmarkable(
            done(Status::Fail, files::describe(*golden, expected.error()), run->elapsed));
    if (normalize_verify(produced) == normalize_verify(*expected)) {
        std::string reason = model.baselines.parse_overridden ? "parse-overridden" : "";
        return done(Status::Pass, std::move(reason), run->elapsed);
    }
    return done(Status::Fail, "parse diverges: " + first_diff_line(*expected, produced),
                run->elapsed);
}

Verdict wfc_verdict(const CategoryContext& context, const Model& model) {
    ResultOf done{context, model};
    const auto& baselines = model.baselines;
    bool accept = baselines.wfc_accept.has_value();
    if (!accept && !baselines.wfc)
        return done(Status::Fail,
                    "missing golden: no .wfc (reject model needs expected-error lines) or "
                    ".wfc-accept marker",
                    Duration{});
    std::string expected;
    if (!accept) {
        auto text = files::read_text(*baselines.wfc);
        if (!text) return done(Status::Fail, files::describe(*baselines.wfc, text.error()), {});
        expected = std::move(*text);
    }

    auto run = parse_run(context, model);
    if (!run) return std::move(run.error());
    if (run->code == 0)
        return accept ? done(Status::Pass, {}, run->elapsed)
                      : done(Status::Fail, "expected reject, got accept", run->elapsed);
    if (is_blocking(run->stderr_text)) return done(Status::Skip, "blocking", run->elapsed);
    if (accept)
        return done(Status::Fail,
                    "expected accept (.wfc-accept marker present), got " + exit_reason(*run),
                    run->elapsed);
    if (auto missing = missing_reason(expected, run->stderr_text))
        return done(Status::Fail, std::move(*missing), run->elapsed);
    return done(Status::Pass, {}, run->elapsed);
}

Verdict symres_verdict(const CategoryContext& context, const Model& model) {
    ResultOf done{context, model};
    // The whole file is the mode: a second word or line makes it unknown rather than ignored.
    std::string mode = "accept";
    if (const auto& expect = model.baselines.expect)
        if (auto text = files::read_text(*expect); text && !text::trim(*text).empty())
            mode = text::trim(*text);

    auto run = parse_run(context, model);
    if (!run) return std::move(run.error());
    if (mode == "accept")
        return run->code == 0
                   ? done(Status::Pass, {}, run->elapsed)
                   : done(Status::Fail, "expected accept, " + exit_reason(*run), run->elapsed);
    if (mode != "reject") return done(Status::Fail, "unknown .expect mode: " + mode, run->elapsed);
    if (run->code == 0) return done(Status::Fail, "expected reject, got accept", run->elapsed);
    const auto& wfc = model.baselines.wfc;
    if (!wfc) return done(Status::Fail, "reject mode but no .wfc", run->elapsed);
    auto expected = files::read_text(*wfc);
    if (!expected) return done(Status::Fail, files::describe(*wfc, expected.error()), run->elapsed);
    if (auto missing = missing_reason(*expected, run->stderr_text))
        return done(Status::Fail, std::move(*missing), run->elapsed);
    return done(Status::Pass, {}, run->elapsed);
}

}  // namespace

ModelResult check_parsing(const CategoryContext& context, const Model& model) {
    return settle(model, parsing_verdict(context, model));
}

ModelResult check_parse_compare(const CategoryContext& context, const Model& model) {
    return settle(model, parse_compare_verdict(context, model));
}

ModelResult check_wfc(const CategoryContext& context, const Model& model) {
    return settle(model, wfc_verdict(context, model));
}

ModelResult check_symres(const CategoryContext& context, const Model& model) {
    return settle(model, symres_verdict(context, model));
}

}  // namespace tolvern::category
