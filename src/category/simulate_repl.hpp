// The parts of the simulate-repl check: its xfail lists, the rule that turns the summed tally
// into a status, and the bodies of the one-shot and per-step eligible passes that the check maps
// over a model's traces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include "category/repl_records.hpp"
#include "kinds.hpp"
#include "model.hpp"
#include "runner.hpp"

namespace tolvern::category {

using Path = std::filesystem::path;

// The two xfail lists differ only in what "*" and "trace.*" mean.
enum class TraceListKind : std::uint8_t {
    Interactive,  // "simulate-repl.interactive.xfail": "trace.*" names a trace called "*"
    Daemon,       // "repl-daemon.xfail": "*" and "trace.*" mark every trace
};

struct TraceList {
    std::set<std::string> names;
    bool all = false;  // only a Daemon list sets it
};

// The trace names listed by an xfail list's text ("trace.{X}: comment" lines).
TraceList parse_trace_list(std::string_view text, TraceListKind kind);
// The list in a file; a missing, unreadable or non-UTF-8 file lists nothing.
TraceList read_trace_list(const Path& path, TraceListKind kind);

struct ReplStatus {
    Status status = Status::Skip;
    std::string reason;
};

// The model's status and reason from the tally of all passes over `traces` traces.
ReplStatus repl_status(const ReplTally& tally, std::size_t traces);

// `kestrin simulate --check-trace FILE -m NAME DISPLAY`, as both the one-shot and the per-step
// eligible passes run it.
runner::Invocation check_trace_invocation(const Path& kestrin, const model::Model& model,
                                          const Path& trace_file, Duration timeout);

// The one-shot pass: the trace replayed in one run and judged against its golden; artefacts of a
// diverging trace go to `out_dir`.
ReplTraceOut oneshot_trace_pass(const ReplTrace& trace, const Path& kestrin,
                                const model::Model& model, Duration timeout,
                                const std::set<std::string>& interactive_xfail,
                                const Path& out_dir);

// The per-step eligible pass: every proper prefix of the trace against the golden eligible set
// of its step ("eligible.{X}.{K}" in `baseline_dir`).
ReplTraceOut check_eligible_steps(const ReplTrace& trace, const model::Model& model,
                                  const Path& kestrin, Duration timeout, const Path& baseline_dir);

// The quoted items of the text's last "(eligible" line, "<defer>" left out.
std::set<std::string> eligible_set_of(std::string_view text);

}  // namespace tolvern::category
