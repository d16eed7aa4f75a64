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
                       const runner::Outcome& outcome, std::optional<Path> stdout_file,
                       std::optional<Path> stderr_file) {
    log.emplace_back(log::record(std::move(label), invocation, outcome, std::move(stdout_file),
                                 std::move(stderr_file)));
}

void ReplTraceOut::note(std::string text) {
    log.emplace_back(log::Note{std::move(text)});
}

void absorb_trace_outs(std::vector<ReplTraceOut> outs, log::SessionLog& log, ReplTally& tally) {
    for (auto& out : outs) {
        for (auto& entry : out.log) log.entries.push_back(std::move(entry));
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
