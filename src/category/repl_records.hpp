// The per-trace records of the simulate-repl passes: each task returns a ReplTraceOut, and the
// check folds them, in trace order, into its session log and tally between passes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kinds.hpp"
#include "log.hpp"
#include "model.hpp"
#include "runner.hpp"

namespace tolvern::category {

// One trace of the model: name X, the trace file "trace.{X}" and the golden
// "baseline/simulate.{X}".
struct ReplTrace {
    std::string name;
    Path trace;
    Path golden;
};

// What every per-trace pass runs against: the tool, the model and the time limit of each run.
struct ReplRun {
    const Path& kestrin;
    const model::Model& model;
    Duration timeout;
};

struct ReplTally {
    std::vector<std::string> diverged;
    std::vector<std::string> expected_gaps;
    Duration elapsed{};
    std::size_t passed = 0;
    std::size_t match_skipped = 0;
    std::size_t blocking = 0;
    std::size_t star_ok = 0;
    std::size_t star_gaps = 0;
    bool timed_out = false;

    // Adds another tally: times and counts summed, lists appended, timed_out or-ed.
    void add(ReplTally other);
};

// A trace's tally and its log entries, recorded as the session log keeps them.
struct ReplTraceOut {
    ReplTally tally;
    std::vector<log::Entry> log;

    void cmd(std::string label, const runner::Invocation& invocation,
             const runner::Outcome& outcome, std::optional<Path> stdout_file = std::nullopt,
             std::optional<Path> stderr_file = std::nullopt);
    void note(std::string text);
};

// Replays every record's log into the session log and adds its tally, in list order.
void absorb_trace_outs(std::vector<ReplTraceOut> outs, log::SessionLog& log, ReplTally& tally);

// The events of a trace text: its lines trimmed, empty ones dropped, in order.
std::vector<std::string> trace_event_lines(std::string_view text);

}  // namespace tolvern::category
