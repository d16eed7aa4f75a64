// The misc check: a model's own run.sh, run by bash in a fresh scratch directory with the tool,
// the model directory and the scratch directory in its environment; its exit status decides.
#include "category/misc.hpp"

#include <sys/stat.h>

#include <cerrno>
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

// Removes the scratch tree (a link in its place goes, not what it points to). Anything else of
// that name is not ours to delete: it stays, and creating the scratch directory then fails.
void remove_scratch(const fs::path& dir) {
    std::error_code ignored;
    auto type = fs::symlink_status(dir, ignored).type();
    if (type == fs::file_type::directory || type == fs::file_type::symlink)
        fs::remove_all(dir, ignored);
}

// Makes the scratch directory, and its missing parents. The directory itself must be new: what
// still stands there after the removal (another user's directory in a shared temporary
// directory) is not ours to run a script in.
std::error_code make_scratch(const fs::path& dir) {
    std::error_code error;
    fs::create_directories(dir.parent_path(), error);
    if (!error && ::mkdir(dir.c_str(), 0777) != 0) error = {errno, std::generic_category()};
    return error;
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

    // A scratch directory of the same name left by an interrupted run must not leak into this one.
    auto scratch = files::temp_dir() / ("tolvern_" + model.name);
    remove_scratch(scratch);
    if (auto error = make_scratch(scratch))
        return unmarkable(result(model.name, context.category, Status::Fail,
                                 "mkdir " + text::lossy(scratch) + ": " + error.message(),
                                 Duration{}));

    auto env = isolated_env();
    env.emplace_back("KESTRIN", text::lossy(context.kestrin));
    env.emplace_back("TOLVERN_TMPDIR", text::lossy(scratch));
    env.emplace_back("MODEL_DIR", text::lossy(model_dir));
    auto outcome = runner::run(runner::Invocation{
        .program = "bash",
        .args = {text::lossy(script_arg)},
        .env = std::move(env),
        .cwd = scratch,
        .stdin_bytes = std::nullopt,
        .timeout = context.timeout,
    });
    remove_scratch(scratch);

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
