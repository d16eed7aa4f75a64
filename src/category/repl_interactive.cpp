// The interactive REPL driver and the repl-daemon pass: kestrin's daemon is walked through a
// trace step by step, its reply envelopes are checked, and the trail it reconstructs is compared
// with the golden trail and with the batch simulator's rendering of the same steps.
#include "category/repl_interactive.hpp"

#include <algorithm>
#include <ranges>

#include "category/golden.hpp"
#include "category/kestrin_cli.hpp"
#include "category/repl_daemon.hpp"
#include "category/repl_interactive_internal.hpp"
#include "files.hpp"
#include "runner.hpp"
#include "text.hpp"

namespace tolvern::category {

namespace {

// A diagnostic that names its place: "FILE.svk:LINE:COLUMN: error: VERDICT".
bool is_located(std::string_view error) {
    return error.find(".svk:") != std::string_view::npos &&
           error.find(": error: ") != std::string_view::npos;
}

// The reply line goes into a one-line reason, so its line end is left out.
std::string missing_stderr(std::string_view line) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    return "envelope missing `stderr` field: " + std::string(line);
}

bool is_trail_line(std::string_view line) {
    return text::trim_start(line).starts_with("(trail");
}

// Whether a non-marker trail entry at position k or beyond equals the event; one scan, as it
// runs for every event against a trail that grows with the trace.
bool taken_later(const std::vector<std::string>& trail, std::size_t k, std::string_view event) {
    std::size_t position = 0;
    for (const auto& entry : trail) {
        if (is_verdict_token(entry)) continue;
        if (position++ >= k && entry == event) return true;
    }
    return false;
}

}  // namespace

bool apply_interactive_reply(std::string_view line, ReplDrive& drive,
                             std::vector<std::string>& eligible) {
    auto gap = [&](std::string problem) {
        if (!drive.stderr_gap) drive.stderr_gap = std::move(problem);
    };
    auto reply = parse_reply(line);
    switch (reply.shape) {
        case Reply::Shape::NotJson: return false;
        case Reply::Shape::NotObject: gap(missing_stderr(line)); return false;
        case Reply::Shape::Object: break;
    }
    apply_bail(reply, drive.bail);
    if (!reply.stderr_lines) {
        gap(missing_stderr(line));
    } else if (reply.error && is_located(*reply.error)) {
        auto carried = text::join(*reply.stderr_lines, "\n");
        if (carried.find(*reply.error) == std::string::npos)
            gap("`stderr` " + category::quoted(carried) +
                " does not carry located verdict `error` " + category::quoted(*reply.error));
    }
    if (reply.eligible) eligible = std::move(*reply.eligible);
    if (reply.trail) drive.trail = std::move(*reply.trail);
    return reply.ok.value_or(false);
}

std::expected<ReplDrive, std::string> drive_repl_interactive(const Path& kestrin,
                                                             const model::Model& model,
                                                             const std::vector<std::string>& events,
                                                             Duration timeout) {
    ReplDrive drive;
    std::vector<std::string> eligible;
    auto handle = [&](std::string_view line) {
        return apply_interactive_reply(line, drive, eligible);
    };
    auto feed = [&](ReplConversation& conversation) {
        std::size_t k = 0;
        for (const auto& event : events) {
            if (drive.bail) return;
            if (is_verdict_token(event)) continue;
            if (event.starts_with("(state")) {
                auto reply = send_event(conversation, event);
                if (!reply) return;
                if (handle(*reply)) drive.confirmed.push_back(event);
                continue;
            }
            const std::string* taken = non_marker_at(drive.trail, k);
            bool at_pos = taken != nullptr && *taken == event;
            bool later = taken_later(drive.trail, k, event);
            ++k;
            if (at_pos) continue;
            bool offered = listed(eligible, event);
            if (!offered && later) continue;
            auto reply = send_event(conversation, event);
            if (!reply) return;
            handle(*reply);
            if (!offered && !listed(drive.trail, event)) drive.never_offered.push_back(event);
        }
    };
    auto ended =
        converse(kestrin, model, {.flush = model.meta.flush, .timeout = timeout}, handle, feed);
    if (!ended) return std::unexpected(std::move(ended.error()));
    drive.blocking = ended->blocking;
    drive.timed_out = ended->timed_out;
    return drive;
}

std::vector<std::string> trail_without_markers(const std::vector<std::string>& trail) {
    std::vector<std::string> kept;
    std::copy_if(trail.begin(), trail.end(), std::back_inserter(kept),
                 [](const std::string& entry) { return !is_verdict_token(entry); });
    return kept;
}

std::vector<std::string> text_trail_tokens(std::string_view text) {
    auto lines = text::split_lines(text);
    auto line = std::find_if(lines.begin(), lines.end(), is_trail_line);
    if (line == lines.end()) return {};
    std::vector<std::string> tokens;
    for (auto item : text::quoted_items(*line))
        if (!is_verdict_token(item)) tokens.emplace_back(item);
    return tokens;
}

bool golden_has_verdict(const Path& golden) {
    auto text = files::read_text(golden);
    if (!text) return false;
    auto lines = text::split_lines(*text);
    return std::any_of(lines.begin(), lines.end(), [](std::string_view line) {
        return is_trail_line(line) && (holds_quoted_verdict(line) || holds_quoted(line, "<loop>"));
    });
}

std::string debug_list(const std::vector<std::string>& items) {
    std::string list = "[";
    list += text::join(items | std::views::transform(quoted), ", ");
    return list += "]";
}

std::optional<std::string> repl_quit_parity(const Path& kestrin, const model::Model& model,
                                            const std::vector<std::string>& confirmed,
                                            const std::vector<std::string>& trail,
                                            Duration timeout) {
    std::vector<std::string> steps = confirmed;
    steps.insert(steps.end(), trail.begin(), trail.end());
    auto invocation = kestrin_invocation(kestrin, model, simulate_args(model), timeout);
    invocation.stdin_bytes = text::join(steps, "\n") + "\n";
    auto outcome = runner::run(invocation);
    auto* exited = std::get_if<runner::Exited>(&outcome);
    if (exited == nullptr) return "batch render of the repl trail timed out";
    if (exited->code != 0)
        return "batch render of the repl trail failed (exit " + std::to_string(exited->code) +
               "): " + std::string(text::first_line(exited->stderr_text));
    auto batch = text_trail_tokens(exited->stdout_text);
    if (batch == trail) return std::nullopt;
    return "batch trail " + debug_list(batch) + " != repl trail " + debug_list(trail);
}

ReplTraceOut repl_daemon_pass(const ReplTrace& trace, const ReplRun& repl, bool daemon_xfail_all,
                              const std::set<std::string>& daemon_xfail) {
    ReplTraceOut out;
    const std::string& x = trace.name;
    auto diverge = [&](std::string remark) {
        out.tally.diverged.push_back(x + "(" + remark + ")");
    };
    auto note = [&](std::string_view text) {
        out.note("repl-daemon trace." + x + std::string(text));
    };

    auto golden = stdout_golden_path(trace.golden);
    if (baseline_ends_in_match(golden)) return out;
    auto cls = judge_class(golden);
    if (cls == kestrin::render::judge::Classification::GoldenArtifact ||
        cls == kestrin::render::judge::Classification::Nondet) {
        out.tally.passed += 1;
        note(" → excused (golden artifact / nondet)");
        return out;
    }
    auto golden_text = files::read_text(golden);
    if (!golden_text) return out;
    auto golden_trail = text_trail_tokens(*golden_text);
    if (golden_trail.empty()) return out;
    auto trace_text = files::read_text(trace.trace);
    if (!trace_text) {
        diverge("repl-daemon read:" + trace_text.error().message());
        return out;
    }
    auto events = trace_event_lines(*trace_text);
    bool marked = daemon_xfail_all || daemon_xfail.contains(x);

    auto drive = drive_repl_interactive(repl.kestrin, repl.model, events, repl.timeout);
    if (!drive) {
        diverge("repl-daemon drive:" + drive.error());
        note(" drive error: " + drive.error());
        return out;
    }
    if (drive->timed_out) note(" " + timed_out_note(repl.timeout));
    if (drive->blocking) return out;
    if (drive->bail && drive->bail->find("not yet rendered") != std::string::npos) {
        diverge("repl-daemon forward-deduction bail: " + *drive->bail);
        note(" FORWARD-DEDUCTION BAIL: " + *drive->bail);
        return out;
    }
    if (drive->stderr_gap) {
        diverge("repl-daemon stderr-field: " + *drive->stderr_gap);
        note(" STDERR-FIELD GAP: " + *drive->stderr_gap);
        return out;
    }

    auto ours = trail_without_markers(drive->trail);
    std::optional<std::string> gap;
    if (drive->bail)
        gap = "bail: " + *drive->bail;
    else if (ours != golden_trail && !drive->never_offered.empty())
        gap = "eligible gap: " + debug_list(drive->never_offered) + " never offered/produced";
    else if (ours != golden_trail)
        gap = "trail " + debug_list(ours) + " != golden " + debug_list(golden_trail);
    if (gap && marked) {
        out.tally.expected_gaps.push_back(x);
        if (daemon_xfail_all) out.tally.star_gaps += 1;
        note(" expected gap: " + *gap);
        return out;
    }
    if (gap) {
        diverge("repl-daemon " + *gap);
        note(" GAP: " + *gap);
        return out;
    }

    // The batch simulator is not asked to reproduce a verdict from plain steps: a golden that
    // holds one is judged on the daemon's trail alone.
    if (!golden_has_verdict(golden)) {
        if (auto difference =
                repl_quit_parity(repl.kestrin, repl.model, drive->confirmed, ours, repl.timeout)) {
            diverge("repl-quit-parity " + *difference);
            out.note("repl-quit-parity trace." + x + " DIVERGE: " + *difference);
            return out;
        }
    }
    if (daemon_xfail_all) {
        out.tally.star_ok += 1;
        out.tally.passed += 1;
        note(" → ok (under * marker)");
    } else if (daemon_xfail.contains(x)) {
        diverge("repl-daemon XPASS — remove trace." + x + " from repl-daemon.xfail");
        note(" XPASS: now reconstructs — remove from repl-daemon.xfail");
    } else {
        out.tally.passed += 1;
        note(" → ok");
    }
    return out;
}

}  // namespace tolvern::category
