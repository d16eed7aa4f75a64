// The misc check: a model's own run.sh, run by bash in a fresh scratch directory with the tool,
// the model directory and the scratch directory in its environment; its exit status decides.
#include "category/misc.hpp"

#include <expected>
#include <filesystem>
#include <string>
#include <system_error>

#include "category/common.hpp"
#include "category/xfail_policy.hpp"
#include "files.hpp"
#include "runner.hpp"
#include "text.hpp"

namespace tolvern::category {

using model::Model;

namespace {

namespace fs = std::filesystem;

// The run's own scratch directory, under a name that no other run, in this session or another,
// can have, so that two sessions with a model of this name never share one. Missing parents
// are made first, as a fresh $TMPDIR may not exist yet.
std::expected<files::Scratch, std::string> make_scratch(const Model& model) {
    std::error_code ignored;
    fs::create_directories(files::temp_dir(), ignored);
    return files::make_scratch_dir("tolvern_" + model.name + "_");
}

// What the script's run says of the model; without a script, or a scratch directory to run it
// in, nothing was run for a marker to claim.
Verdict misc_verdict(const CategoryContext& context, const Model& model) {
    auto script = model.dir / "run.sh";
    if (!files::exists(script))
        return unmarkable(
            result(model.name, context.category, Status::Skip, "no run.sh", Duration{}));
    auto script_arg = files::canonical_or_same(script);
    auto model_dir = files::canonical_or_same(model.dir);

    // Removed on every way out of this function, a run cut short by a stop included.
    auto scratch = make_scratch(model);
    if (!scratch)
        return unmarkable(result(model.name, context.category, Status::Fail,
                                 "mkdir " + scratch.error(), Duration{}));

    auto env = isolated_env();
    env.emplace_back("KESTRIN", text::lossy(context.kestrin));
    env.emplace_back("TOLVERN_TMPDIR", text::lossy(scratch->path));
    env.emplace_back("MODEL_DIR", text::lossy(model_dir));
    auto outcome = runner::run(runner::Invocation{
        .program = "bash",
        .args = {text::lossy(script_arg)},
        .env = std::move(env),
        .cwd = scratch->path,
        .stdin_bytes = std::nullopt,
        .timeout = context.timeout,
    });

    auto finished = unfinished_result(outcome, model.name, context.category, "run.sh");
    if (!finished) {
        const auto& run = std::get<runner::Exited>(outcome);
        finished =
            run.code == 0
                ? result(model.name, context.category, Status::Pass, {}, run.elapsed)
                : result(model.name, context.category, Status::Fail, exit_reason(run), run.elapsed);
    }
    return std::move(*finished);
}

}  // namespace

ModelResult check_misc(const CategoryContext& context, const Model& model) {
    return settle(model, misc_verdict(context, model));
}

}  // namespace tolvern::category
