// LTS comparison: the .aut label rewriting and flush alphabet (pure text), and the two runs of
// the outside comparator, started and watched from the calling thread.
#include "comparator.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <expected>
#include <set>
#include <system_error>

#include "files.hpp"
#include "text.hpp"

extern char** environ;

namespace tolvern::comparator {

namespace {

constexpr char QUOTE = '"';

// tag(N,M) with two decimal numbers, blanks allowed around each.
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
    std::string joined;
    for (auto label : flushes) {
        if (!joined.empty()) joined.push_back(',');
        joined.append(label);
    }
    return joined;
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

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds POLL_INTERVAL(50);

// A descriptor closed with its owner, so that no path through a run leaks one.
struct Fd {
    int fd = -1;
    Fd() = default;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

std::string os_error(int error) {
    return std::system_category().message(error);
}

CompareVerdict answer_of(std::string_view stdout_text, std::string_view stderr_text) {
    auto line = parse_ltscompare(stdout_text);
    if (!line) line = parse_ltscompare(stderr_text);
    if (!line) return CompareVerdict::Unknown;
    std::string_view words = *line;
    std::size_t start = words.size();
    while (start > 0 && !text::is_space(words[start - 1])) --start;
    auto word = words.substr(start);
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
        char buffer[65536];
        ssize_t n = ::read(pipes[i].fd, buffer, sizeof buffer);
        if (n > 0)
            texts[i].append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            pipes[i].reset();
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

// Starts the program with stdin on the null device and stdout/stderr on the two pipes.
std::expected<pid_t, int> spawn(const Path& program, const std::vector<std::string>& args,
                                std::array<Fd, 2>& child_ends) {
    std::vector<char*> argv;
    std::string program_text = program.string();
    argv.push_back(program_text.data());
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attr);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, child_ends[0].fd, STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, child_ends[1].fd, STDERR_FILENO);
    // The runner ignores SIGPIPE and threads may block signals; the comparator gets defaults.
    sigset_t all, none;
    ::sigfillset(&all);
    ::sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(&attr, &all);
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    int error = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    if (error != 0) return std::unexpected(error);
    return pid;
}

// Blocking wait that outlasts signals; false when the wait itself fails.
bool reap(pid_t pid, int& error) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = errno;
            return false;
        }
    }
    return true;
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
        run.elapsed = Clock::now() - start;
        run.verdict = verdict;
        return std::move(run);
    };

    // Close-on-exec everywhere: other workers spawn at the same time and must not inherit these.
    Streams streams;
    std::array<Fd, 2> child_ends;
    for (std::size_t i = 0; i < 2; ++i) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return finish(CompareVerdict::Error, "spawn: " + os_error(errno));
        streams.pipes[i].fd = ends[0];
        child_ends[i].fd = ends[1];
    }
    auto pid = spawn(ltscompare, run.argv, child_ends);
    for (auto& end : child_ends) end.reset();
    if (!pid) return finish(CompareVerdict::Error, "spawn: " + os_error(pid.error()));

    // A deadline past the clock's range means no practical limit.
    auto deadline =
        limit >= Clock::time_point::max() - start ? Clock::time_point::max() : start + limit;
    bool timed_out = false;
    while (true) {
        int status = 0;
        pid_t ended = ::waitpid(*pid, &status, WNOHANG);
        if (ended < 0 && errno == EINTR) continue;
        if (ended < 0) return finish(CompareVerdict::Error, "wait: " + os_error(errno));
        if (ended == *pid) break;
        if (Clock::now() >= deadline) {
            ::kill(*pid, SIGKILL);
            int error = 0;
            if (!reap(*pid, error))
                return finish(CompareVerdict::Error, "wait: " + os_error(error));
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
