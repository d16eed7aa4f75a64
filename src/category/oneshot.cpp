// The one-shot pass of the simulate-repl check: kestrin replays one trace file in a single run,
// and its two streams are judged against the trace's golden and the REPL overrides.
#include "category/oneshot.hpp"

#include <string>
#include <variant>

#include "category/check_run.hpp"
#include "category/common.hpp"
#include "category/golden.hpp"
#include "category/kestrin_cli.hpp"
#include "files.hpp"

namespace tolvern::category {

namespace {

namespace judge = kestrin::render::judge;

bool contains(std::string_view text, std::string_view needle) {
    return text.find(needle) != std::string_view::npos;
}

std::string label(const ReplTrace& trace, std::string_view outcome_word) {
    return "repl trace." + trace.name + " → " + std::string(outcome_word);
}

bool stdout_accepted(const Path& golden, const Path& repl_override, std::string_view ours,
                     judge::Classification cls) {
    return stdout_judge_pass(golden, ours, cls) ||
           (files::exists(repl_override) && l4_judge_pass(repl_override, ours, cls));
}

bool repl_stderr_override_matches(const Path& repl_override, std::string_view ours) {
    auto expected = files::read_text(repl_override);
    return expected && equal_but_trailing_newlines(*expected, ours);
}

bool stderr_accepted(const Path& golden, const Path& repl_override, std::string_view ours,
                     judge::Classification cls) {
    return cls == judge::Classification::GoldenArtifact || stderr_gate_ok(golden, ours) ||
           repl_stderr_override_matches(repl_override, ours);
}

// Records an exited run: the tests on standard error first, then the judgement of both streams.
void record_exited(ReplTraceOut& out, const ReplTrace& trace, const runner::Invocation& invocation,
                   const runner::Outcome& outcome, const runner::Exited& run,
                   const std::set<std::string>& interactive_xfail, const Path& out_dir) {
    out.tally.elapsed += run.elapsed;
    const std::string_view err = run.stderr_text;

    if (is_blocking(err)) {
        out.tally.blocking = 1;
        out.cmd(label(trace, "blocking (skip)"), invocation, outcome);
    } else if (contains(err, "[verdict-not-concluded]")) {
        if (interactive_xfail.contains(trace.name)) {
            out.tally.expected_gaps.push_back(trace.name);
            out.cmd(label(trace, "verdict-not-concluded (expected XFAIL)"), invocation, outcome);
        } else {
            out.tally.diverged.push_back(trace.name + "(verdict-not-concluded)");
            out.cmd(label(trace, "verdict-not-concluded (FAIL)"), invocation, outcome);
        }
    } else if (contains(err, "not yet supported") || contains(err, "render bailed")) {
        out.tally.diverged.push_back(trace.name + "(unsupported)");
        out.cmd(label(trace, "unsupported (FAIL)"), invocation, outcome);
    } else {
        const auto cls = judge_class(trace.golden);
        const auto [repl_stdout, repl_stderr] = repl_override_paths(trace.golden);
        const bool stdout_ok = stdout_accepted(trace.golden, repl_stdout, run.stdout_text, cls);
        const bool stderr_ok = stderr_accepted(trace.golden, repl_stderr, err, cls);
        out.tally.passed = 1;
        if (stdout_ok && stderr_ok) {
            out.cmd(label(trace, "ok"), invocation, outcome);
            return;
        }
        out.tally.diverged.push_back(trace.name);
        const std::string stdout_name = "ours.repl." + trace.name;
        std::optional<std::string> stdout_file;
        if (keep_divergence(out_dir, stdout_name, run, !stderr_ok)) stdout_file = stdout_name;
        out.cmd(label(trace, "DIVERGE"), invocation, outcome, std::move(stdout_file));
    }
}

}  // namespace

ReplTraceOut oneshot_trace_pass(const ReplTrace& trace, const ReplRun& repl,
                                const std::set<std::string>& interactive_xfail,
                                const Path& out_dir) {
    ReplTraceOut out;
    // The one-shot replay cannot deduce a "<match>" verdict, so such traces are only counted.
    if (baseline_ends_in_match(trace.golden)) {
        out.tally.match_skipped = 1;
        return out;
    }
    const auto invocation =
        check_trace_invocation(repl.kestrin, repl.model, trace.trace, repl.timeout);
    const auto outcome = runner::run(invocation);
    if (const auto* run = std::get_if<runner::Exited>(&outcome)) {
        record_exited(out, trace, invocation, outcome, *run, interactive_xfail, out_dir);
    } else if (const auto* timed_out = std::get_if<runner::TimedOut>(&outcome)) {
        out.tally.elapsed += timed_out->elapsed;
        out.tally.timed_out = true;
        out.tally.diverged.push_back(trace.name + "(timeout)");
        out.cmd(label(trace, "TIMEOUT"), invocation, outcome);
    } else {
        const auto& error = std::get<runner::SpawnError>(outcome);
        out.tally.elapsed += error.elapsed;
        out.tally.diverged.push_back(trace.name + "(spawn:" + error.message + ")");
        out.cmd(label(trace, "spawn-error"), invocation, outcome);
    }
    return out;
}

}  // namespace tolvern::category
