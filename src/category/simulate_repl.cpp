// The simulate-repl check: a model's recorded traces go through the per-trace passes, each a
// parallel loop on the process-wide pool, and the records of every pass are folded in trace
// order into one session log and one tally, from which the model's result follows.
#include "category/simulate_repl.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <string>
#include <utility>
#include <vector>

#include "category/check_run.hpp"
#include "category/common.hpp"
#include "category/eligible.hpp"
#include "category/oneshot.hpp"
#include "category/repl_interactive.hpp"
#include "category/repl_verdict.hpp"
#include "category/simulate_repl_internal.hpp"
#include "category/traces.hpp"
#include "files.hpp"
#include "text.hpp"

namespace tolvern::category {

namespace {

constexpr Category CATEGORY = Category::SimulateRepl;

// The traces of the model: every golden "simulate.{X}" whose "trace.{X}" exists, by name.
std::vector<ReplTrace> repl_traces(const Model& model) {
    std::vector<ReplTrace> traces;
    for (auto& found : traces_with_input(model.dir, "simulate.", model.dir, "trace."))
        traces.push_back({std::move(found.name), std::move(found.input), std::move(found.golden)});
    return traces;
}

// Where the records of a complete pass go; only the check's own thread touches them.
struct PassSink {
    log::SessionLog& log;
    ReplTally& tally;
};

// One pass: every trace a task of its own on the pool, the records kept in trace order whatever
// order the tasks finish in, then absorbed.
template <typename Body, typename... Shared>
void run_pass(const std::vector<ReplTrace>& traces, const PassSink& sink, Body body,
              const Shared&... shared) {
    std::vector<ReplTraceOut> outs(traces.size());
    // Isolated, so that this thread waits for its own traces only and does not take up another
    // model's whole check meanwhile (nesting checks on one stack and holding this one back).
    tbb::this_task_arena::isolate([&] {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, traces.size(), 1),
            [&](const tbb::blocked_range<std::size_t>& range) {
                for (auto i = range.begin(); i != range.end(); ++i)
                    outs[i] = body(traces[i], shared...);
            },
            tbb::simple_partitioner());
    });
    absorb_trace_outs(std::move(outs), sink.log, sink.tally);
}

}  // namespace

TraceList parse_trace_list(std::string_view text, TraceListKind kind) {
    TraceList list;
    for (auto raw : text::split_lines(text)) {
        auto line = text::trim(raw);
        if (line.empty() || line.starts_with('#')) continue;
        auto entry = text::trim(line.substr(0, line.find(':')));
        if (kind == TraceListKind::Daemon && (entry == "*" || entry == "trace.*"))
            list.all = true;
        else if (entry.starts_with("trace."))
            list.names.emplace(text::trim(entry.substr(6)));
    }
    return list;
}

TraceList read_trace_list(const Path& path, TraceListKind kind) {
    auto text = files::read_text(path);
    if (!text) return {};
    return parse_trace_list(*text, kind);
}

ReplStatus repl_status(const ReplTally& tally, std::size_t traces) {
    if (!tally.diverged.empty()) {
        auto failed = divergence(tally.diverged, traces, tally.timed_out);
        return {failed.status, std::move(failed.reason)};
    }
    if (!tally.expected_gaps.empty()) {
        const std::set<std::string> gaps(tally.expected_gaps.begin(), tally.expected_gaps.end());
        return {Status::Xfail,
                "interactive-render gap (expected): trace." + text::join(gaps, ", trace.")};
    }
    if (tally.passed > 0) return {Status::Pass, ""};
    const auto blocking = std::to_string(tally.blocking);
    const auto matches = std::to_string(tally.match_skipped);
    if (tally.blocking > 0 && tally.match_skipped == 0)
        return {Status::Skip, "all " + blocking + " trace(s) blocking"};
    if (tally.match_skipped > 0 && tally.blocking == 0)
        return {Status::Skip,
                "all " + matches + " trace(s) <match> (interactive driver can't deduce)"};
    return {Status::Skip, blocking + " blocking + " + matches + " <match> trace(s) skipped"};
}

namespace {

// The four passes over the traces, in order, folded into one log and one tally, and the result
// that the tally gives.
ModelResult passes_result(const Model& model, const Path& kestrin, Duration timeout,
                          const std::vector<ReplTrace>& traces, CheckLog& check) {
    ReplTally tally;
    const PassSink sink{check.log, tally};
    const auto baseline = model.dir / "baseline";
    const auto interactive =
        read_trace_list(baseline / "simulate-repl.interactive.xfail", TraceListKind::Interactive);

    const ReplRun repl{kestrin, model, timeout};
    run_pass(traces, sink, oneshot_trace_pass, repl, interactive.names, check.dir);
    run_pass(traces, sink, repl_verdict_pass, repl, interactive.names);
    const auto daemon = read_trace_list(baseline / "repl-daemon.xfail", TraceListKind::Daemon);
    run_pass(traces, sink, repl_daemon_pass, repl, daemon.all, daemon.names);
    if (daemon.all && tally.star_gaps == 0 && tally.star_ok > 0) {
        tally.diverged.emplace_back(
            "repl-daemon XPASS — all traces reconstruct, remove the `*` in repl-daemon.xfail");
        check.log.note("repl-daemon XPASS: `*` marker is stale (all traces reconstruct)");
    }
    run_pass(traces, sink, check_eligible_steps, repl, baseline);

    auto status = repl_status(tally, traces.size());
    return result(model.name, CATEGORY, status.status, std::move(status.reason), tally.elapsed);
}

}  // namespace

ModelResult check_simulate_repl(const Model& model, const Path& kestrin, const Path& out_dir,
                                Duration timeout) {
    // Models with foreign components wait until kestrin can simulate them.
    if (model.name.find("foreign") != std::string::npos)
        return result(model.name, CATEGORY, Status::Skip, "foreign (deferred)", Duration{});
    const auto traces = repl_traces(model);
    if (traces.empty())
        return result(model.name, CATEGORY, Status::Skip, "no simulate goldens", Duration{});
    return logged_check(out_dir, CATEGORY, model, [&](CheckLog& check) {
        return passes_result(model, kestrin, timeout, traces, check);
    });
}

}  // namespace tolvern::category
