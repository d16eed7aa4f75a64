// The verdict driver and the repl-verdict pass: kestrin's REPL daemon is fed a trace's events,
// and the pass asks whether it surfaces the verdict that the trace's golden ends in.
#include "category/repl_verdict.hpp"

#include "category/golden.hpp"
#include "category/repl_daemon.hpp"
#include "category/repl_verdict_internal.hpp"
#include "files.hpp"

namespace tolvern::category {

void apply_verdict_reply(std::string_view line, VerdictDrive& drive,
                         std::vector<std::string>& eligible) {
    auto reply = parse_reply(line);
    if (reply.shape != Reply::Shape::Object) return;
    apply_bail(reply, drive.bail);
    if ((reply.status == "verdict" || reply.status == "done") && reply.error)
        drive.verdict = reply.error;
    if (reply.eligible) eligible = std::move(*reply.eligible);
    if (reply.trace_trail) drive.trail = std::move(*reply.trace_trail);
}

std::expected<VerdictDrive, std::string> drive_repl_verdict(const Path& kestrin,
                                                            const model::Model& model,
                                                            const std::vector<std::string>& events,
                                                            Duration timeout, bool only_eligible) {
    VerdictDrive drive;
    std::vector<std::string> eligible;
    auto handle = [&](std::string_view line) { apply_verdict_reply(line, drive, eligible); };
    auto feed = [&](ReplConversation& conversation) {
        std::size_t k = 0;
        for (const auto& event : events) {
            if (drive.bail || drive.verdict) return;
            if (is_verdict_token(event)) continue;
            const std::string* taken = non_marker_at(drive.trail, k++);
            if (taken != nullptr && *taken == event) continue;
            if (only_eligible && !listed(eligible, event)) continue;
            auto reply = send_event(conversation, event);
            if (!reply) return;
            handle(*reply);
        }
    };
    auto ended = converse(kestrin, model, {.flush = false, .timeout = timeout}, handle, feed);
    if (!ended) return std::unexpected(std::move(ended.error()));
    drive.blocking = ended->blocking;
    drive.timed_out = ended->timed_out;
    return drive;
}

ReplTraceOut repl_verdict_pass(const ReplTrace& trace, const ReplRun& repl,
                               const std::set<std::string>& interactive_xfail) {
    ReplTraceOut out;
    const std::string& x = trace.name;
    auto diverge = [&](std::string remark) {
        out.tally.diverged.push_back(x + "(" + remark + ")");
    };

    auto golden = stdout_golden_path(trace.golden);
    if (!baseline_ends_in_verdict(golden) || baseline_ends_in_match(golden)) return out;
    auto text = files::read_text(trace.trace);
    if (!text) {
        diverge("repl-verdict read:" + text.error().message());
        return out;
    }
    auto events = trace_event_lines(*text);
    bool listed_gap = interactive_xfail.contains(x);

    auto first = drive_repl_verdict(repl.kestrin, repl.model, events, repl.timeout, false);
    if (!first) {
        diverge("repl-verdict drive:" + first.error());
        out.note("repl-verdict trace." + x + " drive error: " + first.error());
        return out;
    }
    if (first->timed_out)
        out.note("repl-verdict trace." + x + " first run: " + timed_out_note(repl.timeout));
    if (first->blocking) return out;
    bool surfaced = first->verdict.has_value();
    std::string reason =
        first->bail.value_or("interactive driver did not surface the verdict (choice/async)");
    if (first->bail && first->bail->find("not yet rendered") != std::string::npos) {
        diverge("repl-verdict forward-deduction bail: " + *first->bail);
        out.note("repl-verdict trace." + x + " FORWARD-DEDUCTION BAIL: " + *first->bail);
        return out;
    }
    if (!surfaced) {
        // A second chance: sending only what the daemon offers avoids steps it cannot take.
        auto second = drive_repl_verdict(repl.kestrin, repl.model, events, repl.timeout, true);
        if (second && second->timed_out)
            out.note("repl-verdict trace." + x + " second run: " + timed_out_note(repl.timeout));
        surfaced = second && second->verdict;
        if (second && !surfaced && second->bail) reason = *second->bail;
    }
    if (!surfaced) {
        if (listed_gap) {
            out.tally.expected_gaps.push_back(x);
            out.note("repl-verdict trace." + x + " expected gap: " + reason);
        } else {
            diverge("repl-verdict gap: " + reason);
            out.note("repl-verdict trace." + x + " UNLISTED GAP: " + reason);
        }
    } else if (listed_gap) {
        diverge("repl-verdict XPASS — remove trace." + x + " from simulate-repl.interactive.xfail");
        out.note("repl-verdict trace." + x +
                 " XPASS: now surfaces — remove from simulate-repl.interactive.xfail");
    } else {
        out.tally.passed += 1;
        out.note("repl-verdict trace." + x + " → verdict surfaced");
    }
    return out;
}

}  // namespace tolvern::category
