// The verify check: kestrin's verification report of a model, standard output then standard
// error, against the model's verify golden after a light whitespace normalisation.
#include "category/verify.hpp"

#include <variant>

#include "category/check_run.hpp"
#include "category/common.hpp"
#include "category/golden.hpp"
#include "category/kestrin_cli.hpp"
#include "files.hpp"

namespace tolvern::category {

namespace {

ModelResult verify_result(const CategoryContext& context, const Model& model, CheckLog& check) {
    auto done = [&](Status status, std::string reason, Duration elapsed) {
        return result(model.name, Category::Verify, status, std::move(reason), elapsed);
    };
    if (auto reason = skip_marker(model.dir, "verify.skip"))
        return done(Status::Skip, std::move(*reason), Duration{});
    if (!model.baselines.verify)
        return done(Status::Fail, "missing golden: no baseline verify — regenerate it", Duration{});

    auto invocation =
        kestrin_invocation(context.kestrin, model, verify_args(model), context.timeout);
    auto outcome = runner::run(invocation);
    auto* exited = std::get_if<runner::Exited>(&outcome);
    // Output of a run that did not finish its work is not worth keeping.
    if (!exited || is_blocking(exited->stderr_text)) {
        check.log.cmd("kestrin verify", invocation, outcome);
        if (auto unfinished = unfinished_result(outcome, model.name, Category::Verify, "verify"))
            return std::move(*unfinished);
        return done(Status::Skip, "blocking", exited->elapsed);
    }
    auto kept = keep_streams(check.dir, *exited, "verify.stdout", "verify.stderr");
    check.log.cmd("kestrin verify", invocation, outcome, std::move(kept.stdout_file),
                  std::move(kept.stderr_file));

    // The exit status is not examined: the report alone decides.
    const Path& golden_path = *model.baselines.verify;
    auto golden = files::read_text(golden_path);
    if (!golden)
        return done(Status::Fail, files::describe(golden_path, golden.error()), exited->elapsed);
    auto ours = combined_text(exited->stdout_text, exited->stderr_text);
    if (normalize_verify(ours) == normalize_verify(*golden))
        return done(Status::Pass, model.baselines.verify_overridden ? "verify-overridden" : "",
                    exited->elapsed);
    return done(Status::Fail, "verify diverges: " + first_diff_line(*golden, ours),
                exited->elapsed);
}

}  // namespace

ModelResult check_verify_inner(const CategoryContext& context, const Model& model) {
    return logged_check(context.out_dir, Category::Verify, model,
                        [&](CheckLog& check) { return verify_result(context, model, check); });
}

}  // namespace tolvern::category
