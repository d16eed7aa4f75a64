// LTS comparison: the .aut label rewriting and flush alphabet (pure text), and the two runs of
// the outside comparator, started and watched from the calling thread.
#include "comparator.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <set>

#include "files.hpp"
#include "posix.hpp"
#include "supervisor.hpp"
#include "text.hpp"

namespace tolvern::comparator {

namespace {

constexpr char QUOTE = '"';

// tag(N,M) with two decimal numbers, white space allowed around each.
bool is_tag_pair(std::string_view label) {
    constexpr std::string_view prefix = "tag(";
    if (!label.starts_with(prefix)) return false;
    auto close = label.find(')', prefix.size());
    if (close != label.size() - 1) return false;
    auto inner = label.substr(prefix.size(), close - prefix.size());
    auto comma = inner.find(',');
    if (comma == std::string_view::npos) return false;
    auto is_number = [](std::string_view part) {
        part = text::trim(part);
        if (part.empty()) return false;
        for (char c : part)
            if (c < '0' || c > '9') return false;
        return true;
    };
    auto second = inner.substr(comma + 1);
    return second.find(',') == std::string_view::npos && is_number(inner.substr(0, comma)) &&
           is_number(second);
}

// Queue outputs, external ports and state probes are not observable behaviour.
bool is_internal(std::string_view label) {
    if (is_tag_pair(label)) return true;
    if (label.find(".qout.") != std::string_view::npos) return true;
    if (label.ends_with(".<external>")) return true;
    constexpr std::string_view state = ".<state>(";
    auto at = label.find(state);
    return at != std::string_view::npos &&
           label.find(')', at + state.size()) != std::string_view::npos;
}

std::string_view rewrite_label(std::string_view label) {
    if (label == "<declarative-illegal>") return "<illegal>";
    if (is_internal(label)) return "tau";
    return label;
}

void normalize_line(std::string_view line, std::string& out) {
    while (!line.empty()) {
        auto open = line.find(QUOTE);
        auto close = open == std::string_view::npos ? open : line.find(QUOTE, open + 1);
        if (close == std::string_view::npos) break;
        out.append(line.substr(0, open + 1));
        out.append(rewrite_label(line.substr(open + 1, close - open - 1)));
        out.push_back(QUOTE);
        line.remove_prefix(close + 1);
    }
    out.append(line);
}

}  // namespace

std::string tau_normalize(std::string_view aut) {
    std::string out;
    out.reserve(aut.size());
    while (!aut.empty()) {
        auto end = aut.find('\n');
        auto line = aut.substr(0, end);
        if (end == std::string_view::npos) {
            normalize_line(line, out);
            break;
        }
        if (line.ends_with('\r')) line.remove_suffix(1);
        normalize_line(line, out);
        out.push_back('\n');
        aut.remove_prefix(end + 1);
    }
    return out;
}

std::string extract_actions_containing(std::string_view aut) {
    std::set<std::string_view> flushes;
    std::size_t at = 0;
    while (true) {
        auto open = aut.find(QUOTE, at);
        if (open == std::string_view::npos) break;
        auto close = aut.find(QUOTE, open + 1);
        if (close == std::string_view::npos) break;
        auto label = aut.substr(open + 1, close - open - 1);
        if (label.find("<flush>") != std::string_view::npos) flushes.insert(label);
        at = close + 1;
    }
    return text::join(flushes, ",");
}

std::string_view wording(WeakFailuresVerdict verdict) {
    static constexpr std::array<std::string_view, 4> texts = {
        "ours⊆gold (gold has extra)",
        "gold⊆ours (ours has extra)",
        "incomparable",
        "ltscompare error",
    };
    // Equivalent has no wording of its own: each caller says it in its own words.
    if (verdict == WeakFailuresVerdict::Equivalent) return {};
    return texts[static_cast<std::size_t>(verdict) - 1];
}

std::optional<Path> find_ltscompare(const Path& root) {
    auto bundled = root / "dist" / "mcrl2" / "aarch64-apple-darwin" / "bin" / "ltscompare";
    if (files::is_regular_file(bundled)) return bundled;
    const char* search = std::getenv("PATH");
    if (search == nullptr) return std::nullopt;
    for (auto dir : text::split(search, ':')) {
        auto candidate = Path(dir) / "ltscompare";
        if (files::is_regular_file(candidate)) return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> parse_ltscompare(std::string_view text) {
    auto lines = text::split_lines(text);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        auto line = text::trim(*it);
        if (!line.empty()) return std::string(line);
    }
    return std::nullopt;
}

namespace {

using posix::Clock;
using supervisor::Stop;
using supervisor::Stream;

CompareVerdict answer_of(std::string_view stdout_text, std::string_view stderr_text) {
    auto line = parse_ltscompare(stdout_text);
    if (!line) line = parse_ltscompare(stderr_text);
    if (!line) return CompareVerdict::Unknown;
    auto word = text::split_white_space(*line).back();
    if (word == "true") return CompareVerdict::Holds;
    if (word == "false") return CompareVerdict::Fails;
    return CompareVerdict::Unknown;
}

}  // namespace

LtsCompareRun ltscompare_one(const Path& ltscompare, const Path& left, const Path& right,
                             std::string_view tau, const Path& counterexample, Duration limit) {
    LtsCompareRun run;
    run.argv = {"-pweak-failures", "-c", "--counter-example-file=" + text::lossy(counterexample)};
    if (!tau.empty()) run.argv.push_back("--tau=" + std::string(tau));
    run.argv.push_back(text::lossy(left));
    run.argv.push_back(text::lossy(right));

    auto start = Clock::now();
    auto finish = [&](CompareVerdict verdict, RunEnd end, std::string err) {
        run.stderr_text = std::move(err);
        run.elapsed = posix::since(start);
        run.verdict = verdict;
        run.end = end;
        return std::move(run);
    };

    auto deadline = posix::deadline_after(start, limit);
    auto launched = supervisor::Supervisor::start(
        {.plan = {.program = ltscompare, .args = run.argv}, .deadline = deadline});
    if (!launched)
        return finish(CompareVerdict::Error, RunEnd::Unfinished,
                      "spawn: " + posix::error_text(launched.error().error));
    auto& child = *launched;
    // The answer is due by the time limit: no grace after it, even for a comparator that
    // exited just before it.
    auto stop = child.finish(Duration::zero());
    run.stdout_text = text::decoded(std::move(child.bytes(Stream::Out)));
    std::string err = text::decoded(std::move(child.bytes(Stream::Err)));
    switch (stop) {
        case Stop::Done:
        case Stop::GaveUp: break;
        case Stop::TimedOut: return finish(CompareVerdict::Error, RunEnd::TimedOut, std::move(err));
        case Stop::WaitFailed: run.stdout_text.clear(); [[fallthrough]];
        case Stop::OverCap:
        case Stop::Interrupted:
            return finish(CompareVerdict::Error, RunEnd::Unfinished, child.failure(stop));
    }
    run.exit_code = child.exit_code();
    auto verdict = answer_of(run.stdout_text, err);
    return finish(verdict, RunEnd::Exited, std::move(err));
}

WeakFailuresVerdict combine(CompareVerdict forward, CompareVerdict backward) {
    using enum CompareVerdict;
    if (forward == Error || backward == Error) return WeakFailuresVerdict::CompareError;
    if (forward == Holds && backward == Holds) return WeakFailuresVerdict::Equivalent;
    if (forward == Holds && backward == Fails) return WeakFailuresVerdict::OursInGold;
    if (forward == Fails && backward == Holds) return WeakFailuresVerdict::GoldInOurs;
    return WeakFailuresVerdict::Incomparable;
}

WeakFailuresResult compare_weak_failures(const Path& ltscompare, const Path& first,
                                         const Path& second, std::string_view tau,
                                         const Path& forward_counterexample,
                                         const Path& backward_counterexample, Duration limit) {
    WeakFailuresResult result;
    result.forward = ltscompare_one(ltscompare, first, second, tau, forward_counterexample, limit);
    result.backward =
        ltscompare_one(ltscompare, second, first, tau, backward_counterexample, limit);
    result.verdict = combine(result.forward.verdict, result.backward.verdict);
    return result;
}

}  // namespace tolvern::comparator
