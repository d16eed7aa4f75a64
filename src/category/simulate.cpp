// The simulate and trace checks: every recorded trace of a model is fed to kestrin, one after the
// other, and what kestrin prints is judged against the golden kept in the model's baseline. Both
// share the case list, the case loop with its log lines, and the rule that turns the tally into
// one result.
#include "category/simulate.hpp"

#include <string>
#include <variant>
#include <vector>

#include "category/check_run.hpp"
#include "category/common.hpp"
#include "category/golden.hpp"
#include "category/kestrin_cli.hpp"
#include "category/traces.hpp"
#include "files.hpp"

namespace tolvern::category {

namespace {

namespace judge = kestrin::render::judge;

// X, what kestrin reads on standard input, and the golden.
using TraceCase = TraceInput;

// What one trace's run came to; a blocking run is not judged and counts for neither side.
enum class TraceVerdict { Ok, Diverge, Blocking };

struct Judged {
    TraceVerdict verdict = TraceVerdict::Ok;
    std::optional<Path> stdout_file;  // the artefact of a diverging run, when it was written
};

using Judge = Judged (*)(const TraceCase& trace, const runner::Exited& run, const Path& out_dir);

// What tells the two checks apart; everything else they do alike.
struct TraceKind {
    Category category;
    std::string_view golden_prefix;  // of a golden's file name; "ours.{prefix}{X}" is its artefact
    std::string_view input_prefix;   // of the input's file name
    bool input_in_baseline;          // else the input sits in the model directory itself
    bool input_takes_stderr;         // the input's ".stderr" sibling follows it on stdin
    std::string_view step;           // log label before X
    std::string_view unreadable;     // marks an unreadable input's entry
    std::string_view no_cases;       // SKIP reason of a model without cases
    Judge judge;
};

struct Tally {
    std::vector<std::string> diverged;
    std::size_t ran = 0;  // runs whose output was judged
    Duration elapsed{};
    bool timed_out = false;
};

Judged judge_simulation(const TraceCase& trace, const runner::Exited& run, const Path& out_dir) {
    if (is_blocking(run.stderr_text)) return {TraceVerdict::Blocking, std::nullopt};
    auto cls = judge_class(trace.golden);
    bool stdout_ok = stdout_judge_pass(trace.golden, run.stdout_text, cls);
    bool stderr_ok = cls == judge::Classification::GoldenArtifact ||
                     stderr_gate_ok(trace.golden, run.stderr_text);
    if (stdout_ok && stderr_ok) return {TraceVerdict::Ok, std::nullopt};
    // A failed write leaves the artefact out of the log.
    return {TraceVerdict::Diverge,
            keep_divergence(out_dir, "ours.simulate." + trace.name, run, !stderr_ok)};
}

Judged judge_json(const TraceCase& trace, const runner::Exited& run, const Path& out_dir) {
    auto golden = files::read_text(trace.golden);
    if (run.stdout_text == golden.value_or(std::string())) return {TraceVerdict::Ok, std::nullopt};
    return {TraceVerdict::Diverge,
            keep_divergence(out_dir, "ours.simulate-json." + trace.name, run, false)};
}

constexpr TraceKind SIMULATE = {
    .category = Category::Simulate,
    .golden_prefix = "simulate.",
    .input_prefix = "trace.",
    .input_in_baseline = false,
    .input_takes_stderr = false,
    .step = "simulate trace.",
    .unreadable = "trace-read",
    .no_cases = "no simulate goldens",
    .judge = judge_simulation,
};

constexpr TraceKind TRACE = {
    .category = Category::Trace,
    .golden_prefix = "simulate-json.",
    .input_prefix = "simulate.",
    .input_in_baseline = true,
    .input_takes_stderr = true,
    .step = "trace simulate-json.",
    .unreadable = "sim-read",
    .no_cases = "no simulate-json goldens",
    .judge = judge_json,
};

std::vector<TraceCase> trace_cases(const Model& model, const TraceKind& kind) {
    const Path input_dir = kind.input_in_baseline ? model.dir / "baseline" : model.dir;
    return traces_with_input(model.dir, kind.golden_prefix, input_dir, kind.input_prefix);
}

std::optional<std::string> input_bytes(const TraceKind& kind, const TraceCase& trace) {
    auto bytes = files::read_bytes(trace.input);
    if (!bytes) return std::nullopt;
    if (kind.input_takes_stderr) {
        auto stderr_path = trace.input;
        stderr_path += ".stderr";
        if (auto tail = files::read_bytes(stderr_path)) *bytes += *tail;
    }
    return std::move(*bytes);
}

void run_case(const TraceKind& kind, const TraceCase& trace, runner::Invocation& invocation,
              CheckLog& check, Tally& tally) {
    auto input = input_bytes(kind, trace);
    if (!input) {
        tally.diverged.push_back(trace.name + "(" + std::string(kind.unreadable) + ")");
        return;
    }
    invocation.stdin_bytes = std::move(*input);
    auto outcome = runner::run(invocation);
    auto label = [&](std::string_view word) {
        return std::string(kind.step) + trace.name + " → " + std::string(word);
    };

    if (auto* exited = std::get_if<runner::Exited>(&outcome)) {
        tally.elapsed += exited->elapsed;
        auto judged = kind.judge(trace, *exited, check.dir);
        switch (judged.verdict) {
            case TraceVerdict::Blocking:
                check.log.cmd(label("blocking (skip)"), invocation, outcome);
                return;
            case TraceVerdict::Ok:
                ++tally.ran;
                check.log.cmd(label("ok"), invocation, outcome);
                return;
            case TraceVerdict::Diverge:
                ++tally.ran;
                tally.diverged.push_back(trace.name);
                check.log.cmd(label("DIVERGE"), invocation, outcome, std::move(judged.stdout_file));
                return;
        }
    } else if (auto* timed_out = std::get_if<runner::TimedOut>(&outcome)) {
        tally.elapsed += timed_out->elapsed;
        tally.timed_out = true;
        tally.diverged.push_back(trace.name + "(timeout)");
        check.log.cmd(label("TIMEOUT"), invocation, outcome);
    } else {
        const auto& error = std::get<runner::SpawnError>(outcome);
        tally.elapsed += error.elapsed;
        tally.diverged.push_back(trace.name + "(spawn:" + error.message + ")");
        check.log.cmd(label("spawn-error"), invocation, outcome);
    }
}

ModelResult tally_result(const Model& model, Category category, const Tally& tally,
                         std::size_t cases) {
    if (!tally.diverged.empty()) {
        auto failed = divergence(tally.diverged, cases, tally.timed_out);
        return result(model.name, category, failed.status, std::move(failed.reason), tally.elapsed);
    }
    if (tally.ran > 0) return result(model.name, category, Status::Pass, "", tally.elapsed);
    return result(model.name, category, Status::Skip, "all traces blocking", tally.elapsed);
}

// Every case run in turn with one invocation, and the tally as the result.
ModelResult cases_result(const CategoryContext& context, const Model& model, const TraceKind& kind,
                         const std::vector<TraceCase>& cases, std::vector<std::string> args,
                         CheckLog& check) {
    auto invocation = kestrin_invocation(context.kestrin, model, std::move(args), context.timeout);
    Tally tally;
    for (const auto& trace : cases) run_case(kind, trace, invocation, check, tally);
    return tally_result(model, kind.category, tally, cases.size());
}

ModelResult check_trace_cases(const CategoryContext& context, const Model& model,
                              const TraceKind& kind, std::vector<std::string> args) {
    auto cases = trace_cases(model, kind);
    if (cases.empty())
        return result(model.name, kind.category, Status::Skip, std::string(kind.no_cases),
                      Duration{});
    return logged_check(context.out_dir, kind.category, model, [&](CheckLog& check) {
        return cases_result(context, model, kind, cases, std::move(args), check);
    });
}

}  // namespace

ModelResult check_simulate(const CategoryContext& context, const Model& model) {
    // Models with foreign components wait for kestrin to simulate them.
    if (model.name.find("foreign") != std::string::npos)
        return result(model.name, Category::Simulate, Status::Skip, "foreign (deferred)",
                      Duration{});
    return check_trace_cases(context, model, SIMULATE, simulate_args(model));
}

ModelResult check_trace(const CategoryContext& context, const Model& model) {
    return check_trace_cases(context, model, TRACE, trace_args());
}

}  // namespace tolvern::category
