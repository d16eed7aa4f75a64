// The per-trace records of the simulate-repl passes.
#include "category/repl_records.hpp"

#include "text.hpp"

namespace tolvern::category {

void ReplTally::add(ReplTally other) {
    elapsed += other.elapsed;
    passed += other.passed;
    match_skipped += other.match_skipped;
    blocking += other.blocking;
    star_ok += other.star_ok;
    star_gaps += other.star_gaps;
    timed_out = timed_out || other.timed_out;
    for (auto& entry : other.diverged) diverged.push_back(std::move(entry));
    for (auto& entry : other.expected_gaps) expected_gaps.push_back(std::move(entry));
}

void ReplTraceOut::cmd(std::string label, const runner::Invocation& invocation,
                       const runner::Outcome& outcome, std::optional<std::string> stdout_file,
                       std::optional<std::string> stderr_file) {
    log.emplace_back(ReplTraceLog::Cmd{std::move(label), invocation, outcome,
                                       std::move(stdout_file), std::move(stderr_file)});
}

void ReplTraceOut::note(std::string text) {
    log.emplace_back(ReplTraceLog::Note{std::move(text)});
}

void absorb_trace_outs(std::vector<ReplTraceOut> outs, log::SessionLog& log, ReplTally& tally) {
    for (auto& out : outs) {
        for (auto& record : out.log) {
            if (auto* cmd = std::get_if<ReplTraceLog::Cmd>(&record)) {
                auto as_path = [](std::optional<std::string>& name) -> std::optional<log::Path> {
                    if (!name) return std::nullopt;
                    return log::Path(std::move(*name));
                };
                log.cmd(std::move(cmd->label), cmd->invocation, cmd->outcome,
                        as_path(cmd->stdout_file), as_path(cmd->stderr_file));
            } else {
                log.entries.emplace_back(std::get<ReplTraceLog::Note>(std::move(record)));
            }
        }
        // The log now holds its own copies; dropping ours keeps one copy of each output alive.
        out.log = {};
        tally.add(std::move(out.tally));
    }
}

std::vector<std::string> trace_event_lines(std::string_view text) {
    std::vector<std::string> events;
    for (auto line : text::split_lines(text)) {
        auto event = text::trim(line);
        if (!event.empty()) events.emplace_back(event);
    }
    return events;
}

}  // namespace tolvern::category
