// The selfcheck: kestrin generates a model's traces itself, then checks every one of them against
// the model again, in parallel on the session's pool; the model passes when no trace bails.
#include "category/selfcheck.hpp"

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cstdlib>
#include <expected>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "category/check_run.hpp"
#include "category/common.hpp"
#include "category/kestrin_cli.hpp"
#include "category/traces.hpp"
#include "category/xfail_policy.hpp"
#include "files.hpp"
#include "log.hpp"
#include "posix.hpp"
#include "text.hpp"

namespace tolvern::category {

namespace {

constexpr Duration GENERATION_LIMIT = seconds(1800);
constexpr Duration TRACE_CHECK_LIMIT = seconds(300);

EnvPairs generation_env() {
    auto env = isolated_env();
    env.emplace_back("KES_RTCPROD", "1");
    env.emplace_back("KES_RTCPROD_NOREDUCE", "1");
    env.emplace_back("KES_TRACES_NOREDUCE", "1");
    if (const char* max = std::getenv("KES_SELFCHECK_MAX"); max && text::is_valid_utf8(max))
        env.emplace_back("KES_TRACES_MAX", max);
    return env;
}

// The regular files of the directory with trace names, sorted by path.
std::expected<std::vector<Path>, std::error_code> list_traces(const Path& dir) {
    std::error_code error;
    std::filesystem::directory_iterator it(dir, error), end;
    if (error) return std::unexpected(error);
    std::vector<Path> traces;
    for (; !error && it != end; it.increment(error))
        if (is_trace_name(it->path().filename().native()) && files::is_regular_file(it->path()))
            traces.push_back(it->path());
    std::sort(traces.begin(), traces.end());
    return traces;
}

// The sorted file names of the traces whose check did not exit with status 0.
std::vector<std::string> bailed_traces(const CategoryContext& context, const Model& model,
                                       const std::vector<Path>& traces) {
    const auto limit = std::max(context.timeout, TRACE_CHECK_LIMIT);
    std::vector<std::optional<std::string>> bails(traces.size());
    // Isolated, so that this thread waits for its own traces only and does not take up another
    // model's whole check meanwhile.
    tbb::this_task_arena::isolate([&] {
        tbb::parallel_for(std::size_t{0}, traces.size(), [&](std::size_t i) {
            auto outcome = runner::run(kestrin_invocation(
                context.kestrin, model, check_generated_trace_args(model, traces[i]), limit));
            auto* exited = std::get_if<runner::Exited>(&outcome);
            if (!exited || exited->code != 0) bails[i] = text::lossy(traces[i].filename());
        });
    });
    std::vector<std::string> names;
    for (auto& bail : bails)
        if (bail) names.push_back(std::move(*bail));
    std::sort(names.begin(), names.end());
    return names;
}

ModelResult selfcheck_result(const CategoryContext& context, const Model& model) {
    auto done = [&](Status status, std::string reason, Duration elapsed) {
        return result(model.name, Category::Selfcheck, status, std::move(reason), elapsed);
    };
    auto out_dir = log::ModelOutDir::create(context.out_dir, name(Category::Selfcheck), model.name);
    if (!out_dir) return done(Status::Fail, "create out dir: " + out_dir.error(), {});
    const auto traces_dir = files::canonical_or_same(*out_dir) / "traces";

    auto generation = kestrin_invocation(context.kestrin, model, traces_args(model, traces_dir),
                                         std::max(context.timeout, GENERATION_LIMIT));
    generation.env = generation_env();
    const auto start = posix::Clock::now();
    auto since_start = [&] { return posix::since(start); };

    auto outcome = runner::run(generation);
    if (auto unfinished = unfinished_result(outcome, model.name, Category::Selfcheck, "traces gen"))
        return std::move(*unfinished);
    const auto& exited = std::get<runner::Exited>(outcome);
    if (exited.code != 0)
        return done(Status::Fail,
                    "traces gen exit " + std::to_string(exited.code) + ": " +
                        std::string(text::first_line(exited.stderr_text)),
                    exited.elapsed);

    auto traces = list_traces(traces_dir);
    if (!traces)
        return done(Status::Fail, "read traces dir: " + traces.error().message(), since_start());
    if (traces->empty()) return done(Status::Fail, "no traces generated", since_start());

    auto bails = bailed_traces(context, model, *traces);
    const auto n = std::to_string(traces->size());
    if (bails.empty()) return done(Status::Pass, n + "/" + n + " traces", since_start());
    return done(Status::Fail,
                std::to_string(bails.size()) + "/" + n + " traces bailed; first: " + bails.front(),
                since_start());
}

}  // namespace

ModelResult check_selfcheck(const CategoryContext& context, const Model& model) {
    return settle(model, selfcheck_result(context, model));
}

}  // namespace tolvern::category
