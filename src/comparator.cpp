// LTS comparison: the .aut label rewriting and flush alphabet (pure text), and the two runs of
// the outside comparator, started and watched from the calling thread.
#include "comparator.hpp"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <set>

#include "files.hpp"
#include "posix.hpp"
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
    static constexpr std::array<std::string_view, 4> WORDING = {
        "ours⊆gold (gold has extra)",
        "gold⊆ours (ours has extra)",
        "incomparable",
        "ltscompare error",
    };
    // Equivalent has no wording of its own: each caller says it in its own words.
    if (verdict == WeakFailuresVerdict::Equivalent) return {};
    return WORDING[static_cast<std::size_t>(verdict) - 1];
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
using posix::Fd;

constexpr std::chrono::milliseconds POLL_INTERVAL(50);

CompareVerdict answer_of(std::string_view stdout_text, std::string_view stderr_text) {
    auto line = parse_ltscompare(stdout_text);
    if (!line) line = parse_ltscompare(stderr_text);
    if (!line) return CompareVerdict::Unknown;
    auto word = text::split_white_space(*line).back();
    if (word == "true") return CompareVerdict::Holds;
    if (word == "false") return CompareVerdict::Fails;
    return CompareVerdict::Unknown;
}

// The child's two output pipes and what has come out of them so far.
struct Streams {
    std::array<Fd, 2> pipes;
    std::array<std::string, 2> texts;

    bool open() const { return pipes[0].fd >= 0 || pipes[1].fd >= 0; }

    // Waits up to `wait` for output and takes what is there; a pipe at its end is closed. With
    // both pipes closed this is a plain sleep. False when nothing was ready.
    bool drain(std::chrono::milliseconds wait) {
        std::array<pollfd, 2> fds{};
        for (std::size_t i = 0; i < 2; ++i) fds[i] = {pipes[i].fd, POLLIN, 0};
        int ready = ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
        if (ready <= 0) return false;  // nothing yet, or a signal: the caller polls again
        for (std::size_t i = 0; i < 2; ++i)
            if (fds[i].revents != 0) read_some(i);
        return true;
    }

    void read_some(std::size_t i) {
        auto n = posix::read_some(pipes[i].fd, texts[i]);
        if (!n || *n == 0) pipes[i].reset();
    }
};

// Takes what the pipes still hold. After the child's end its writers are usually gone and both
// pipes reach their end at once; a descendant that kept them open is not waited for past
// `deadline`, but what is already buffered is always taken.
void drain_rest(Streams& streams, Clock::time_point deadline) {
    while (streams.open()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        auto wait = std::clamp(left, std::chrono::milliseconds(0), POLL_INTERVAL);
        if (!streams.drain(wait) && left.count() <= 0) return;
    }
}

std::string checked_text(std::string text) {
    if (!text::is_valid_utf8(text)) return {};
    return text;
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
    auto finish = [&](CompareVerdict verdict, std::string err) {
        run.stderr_text = std::move(err);
        run.elapsed = posix::since(start);
        run.verdict = verdict;
        return std::move(run);
    };

    Streams streams;
    std::array<Fd, 2> child_ends;
    for (std::size_t i = 0; i < 2; ++i) {
        auto pipe = posix::make_pipe();
        if (!pipe)
            return finish(CompareVerdict::Error, "spawn: " + posix::error_text(pipe.error()));
        streams.pipes[i] = std::move(pipe->read);
        child_ends[i] = std::move(pipe->write);
    }
    auto pid = posix::spawn({.program = ltscompare,
                             .args = run.argv,
                             .standard = {-1, child_ends[0].fd, child_ends[1].fd}});
    for (auto& end : child_ends) end.reset();
    if (!pid) return finish(CompareVerdict::Error, "spawn: " + posix::error_text(pid.error()));

    auto deadline = posix::deadline_after(start, limit);
    bool timed_out = false;
    while (true) {
        auto ended = posix::poll_exit(*pid);
        if (!ended)
            return finish(CompareVerdict::Error, "wait: " + posix::error_text(ended.error()));
        if (*ended) break;
        if (Clock::now() >= deadline) {
            ::kill(*pid, SIGKILL);
            if (auto waited = posix::wait_exit(*pid); !waited)
                return finish(CompareVerdict::Error, "wait: " + posix::error_text(waited.error()));
            timed_out = true;
            break;
        }
        // Draining while waiting keeps a talkative comparator from blocking on a full pipe.
        streams.drain(POLL_INTERVAL);
    }
    // After a kill only what is already buffered is taken; otherwise the rest up to the limit.
    drain_rest(streams, timed_out ? Clock::now() : deadline);

    run.stdout_text = checked_text(std::move(streams.texts[0]));
    std::string err = checked_text(std::move(streams.texts[1]));
    if (timed_out) return finish(CompareVerdict::Error, std::move(err));
    auto verdict = answer_of(run.stdout_text, err);
    return finish(verdict, std::move(err));
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
