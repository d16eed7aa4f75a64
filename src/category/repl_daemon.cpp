// The REPL daemon conversation that both drivers share (child process, pipes, watchdog, reply
// lines and requests), and the verdict driver with its repl-verdict pass. Several conversations
// run at once on the worker pool, so every descriptor made here is close-on-exec.
#include "category/repl_daemon.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

#include "category/common.hpp"
#include "category/golden.hpp"
#include "files.hpp"
#include "text.hpp"

extern char** environ;

namespace tolvern::category {

namespace {

using Clock = std::chrono::steady_clock;
using Path = std::filesystem::path;

constexpr std::size_t READ_CHUNK = 8192;
constexpr auto WATCH_INTERVAL = std::chrono::milliseconds(100);
// The watchdog kills the daemon at the deadline, which ends its output. Reads give up this long
// after the deadline all the same, in case a process the daemon started still holds its pipes.
constexpr auto READ_GRACE = std::chrono::seconds(1);
constexpr std::string_view QUIT_REQUEST = "{\"op\":\"quit\"}\n";

// One owned descriptor, closed when dropped.
struct Fd {
    int fd = -1;

    Fd() = default;
    explicit Fd(int fd) : fd(fd) {}
    Fd(Fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

struct Pipe {
    Fd read;
    Fd write;
};

std::optional<Pipe> make_pipe() {
    int fds[2];
#ifdef __linux__
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
#else
    // No pipe2 here; a spawn on another thread between these calls can inherit the ends.
    if (::pipe(fds) != 0) return std::nullopt;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#endif
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

Clock::time_point saturating_add(Clock::time_point at, Duration length) {
    auto step = std::chrono::duration_cast<Clock::duration>(length);
    if (step <= Clock::duration::zero()) return at;
    if (step >= Clock::time_point::max() - at) return Clock::time_point::max();
    return at + step;
}

// Waits until the descriptor has something to tell (data, end of file or an error); false when
// `until` passes first.
bool wait_readable(int fd, Clock::time_point until) {
    for (;;) {
        int wait_ms = -1;
        if (until != Clock::time_point::max()) {
            auto left = until - Clock::now();
            if (left <= Clock::duration::zero()) return false;
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            wait_ms = static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
        }
        pollfd entry{fd, POLLIN, 0};
        int ready = ::poll(&entry, 1, wait_ms);
        if (ready > 0 || (ready < 0 && errno != EINTR)) return true;
    }
}

// Bytes read into the buffer; 0 at end of file, -1 on a read error or when `until` passed.
ssize_t read_chunk(int fd, std::array<char, READ_CHUNK>& buffer, Clock::time_point until) {
    if (!wait_readable(fd, until)) return -1;
    ssize_t n;
    while ((n = ::read(fd, buffer.data(), buffer.size())) < 0 && errno == EINTR) {
    }
    return n;
}

// The daemon's whole standard error as text; empty when it is not valid UTF-8. A read error ends
// the drain and keeps what was read.
std::string drain(Fd fd, Clock::time_point until) {
    std::string text;
    std::array<char, READ_CHUNK> buffer;
    for (ssize_t n; (n = read_chunk(fd.fd, buffer, until)) > 0;)
        text.append(buffer.data(), static_cast<std::size_t>(n));
    if (!text::is_valid_utf8(text)) text.clear();
    return text;
}

// Writes all bytes. A closed pipe comes back as EPIPE, never as a signal, whatever SIGPIPE's
// disposition: the signal is blocked on this thread and, when the write raised it, consumed.
std::expected<void, std::error_code> write_all(int fd, std::string_view bytes) {
    sigset_t pipe_signal, previous, pending;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    sigpending(&pending);
    bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    int error = 0;
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            break;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (error == EPIPE && !was_pending && sigpending(&pending) == 0 &&
        sigismember(&pending, SIGPIPE) == 1) {
        int signal;
        sigwait(&pipe_signal, &signal);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0) return std::unexpected(std::error_code(error, std::generic_category()));
    return {};
}

// The daemon's process as its driver and its watchdog share it. Once `waited` is set the child
// has been reaped and its pid may already name another process: it is never signalled again.
struct ChildWatch {
    std::mutex mutex;
    pid_t pid;
    bool waited = false;

    explicit ChildWatch(pid_t pid) : pid(pid) {}

    // One look without blocking; the caller holds the lock. A child that cannot be waited for
    // counts as reaped.
    bool reaped() {
        if (waited) return true;
        int status;
        pid_t result;
        while ((result = ::waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
        }
        if (result == pid || result < 0) waited = true;
        return waited;
    }
};

// Never joined: it ends by itself once the child is reaped (by it or by the driver) or killed.
void watchdog(std::shared_ptr<ChildWatch> watch, Clock::time_point deadline) {
    for (;;) {
        std::this_thread::sleep_for(WATCH_INTERVAL);
        std::lock_guard lock(watch->mutex);
        if (watch->reaped()) return;
        if (Clock::now() >= deadline) {
            ::kill(watch->pid, SIGKILL);
            return;
        }
    }
}

// Waits for the child by polling, so that the watchdog can still take the lock and kill it at
// the deadline.
void reap(ChildWatch& watch) {
    constexpr auto longest_pause = std::chrono::milliseconds(10);
    std::chrono::microseconds pause(50);
    for (;;) {
        {
            std::lock_guard lock(watch.mutex);
            if (watch.reaped()) return;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, longest_pause);
    }
}

void kill_and_reap(ChildWatch& watch) {
    {
        std::lock_guard lock(watch.mutex);
        if (!watch.waited) ::kill(watch.pid, SIGKILL);
    }
    reap(watch);
}

// Reply lines of the daemon's standard output: each up to and including its "\n"; a last line
// without one is still a reply.
struct LineReader {
    Fd fd;
    Clock::time_point until;
    std::string pending{};
    std::size_t start = 0;    // where the next line begins in `pending`
    std::size_t scanned = 0;  // `pending` holds no "\n" in [start, scanned)
    bool ended = false;

    std::optional<std::string> next() {
        for (;;) {
            auto end = pending.find('\n', scanned);
            if (end != std::string::npos) {
                std::string line = pending.substr(start, end + 1 - start);
                start = scanned = end + 1;
                return line;
            }
            scanned = pending.size();
            if (ended) {
                if (start == pending.size()) return std::nullopt;
                std::string line = pending.substr(start);
                start = scanned = pending.size();
                return line;
            }
            pending.erase(0, start);
            scanned -= start;
            start = 0;
            std::array<char, READ_CHUNK> buffer;
            ssize_t n = read_chunk(fd.fd, buffer, until);
            if (n <= 0)
                ended = true;
            else
                pending.append(buffer.data(), static_cast<std::size_t>(n));
        }
    }
};

// The inherited environment with the isolated pairs in place of inherited ones of their names.
std::vector<std::string> daemon_environment() {
    auto added = isolated_env();
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view pair = *entry;
        auto name = pair.substr(0, pair.find('='));
        if (std::none_of(added.begin(), added.end(),
                         [&](const auto& addition) { return addition.first == name; }))
            env.emplace_back(pair);
    }
    for (const auto& [name, value] : added) env.push_back(name + "=" + value);
    return env;
}

// Starts the program on the three child ends, in the working directory, with default signal
// dispositions and an empty signal mask. Returns the pid or the error number.
std::expected<pid_t, int> spawn(const Path& program, std::vector<std::string> args,
                                const Path& workdir, const std::array<int, 3>& child_ends) {
    std::vector<std::string> env = daemon_environment();
    args.insert(args.begin(), program.native());
    std::vector<char*> argv, envp;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (auto& pair : env) envp.push_back(pair.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attr);
    // The ends were made in the order 0, 1, 2, so none is a standard number below its own
    // target and placing them in order clobbers none.
    for (int target = 0; target < 3; ++target)
        ::posix_spawn_file_actions_adddup2(&actions, child_ends[target], target);
    ::posix_spawn_file_actions_addchdir_np(&actions, workdir.c_str());
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(&attr, &all);
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    int error = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    if (error != 0) return std::unexpected(error);
    return pid;
}

std::vector<std::string> string_elements(const nlohmann::json& array) {
    std::vector<std::string> items;
    for (const auto& item : array)
        if (item.is_string()) items.push_back(item.get<std::string>());
    return items;
}

std::optional<std::vector<std::string>> string_array(const nlohmann::json& object,
                                                     std::string_view key) {
    auto found = object.find(key);
    if (found == object.end() || !found->is_array()) return std::nullopt;
    return string_elements(*found);
}

bool listed(const std::vector<std::string>& items, std::string_view item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

}  // namespace

struct ReplConversation {
    Fd input;
    LineReader replies;
};

Reply parse_reply(std::string_view line) {
    nlohmann::json value;
    try {
        value = nlohmann::json::parse(line);
    } catch (const nlohmann::json::exception&) {
        return {};
    }
    Reply reply;
    if (!value.is_object()) {
        reply.shape = Reply::Shape::NotObject;
        return reply;
    }
    reply.shape = Reply::Shape::Object;
    if (auto status = value.find("status"); status != value.end() && status->is_string())
        reply.status = status->get<std::string>();
    if (auto error = value.find("error"); error != value.end() && error->is_string())
        reply.error = error->get<std::string>();
    if (auto ok = value.find("ok"); ok != value.end() && ok->is_boolean())
        reply.ok = ok->get<bool>();
    reply.eligible = string_array(value, "eligible");
    reply.trail = string_array(value, "trail");
    if (auto trace = value.find("trace"); trace != value.end() && trace->is_object())
        reply.trace_trail = string_array(*trace, "trail");
    reply.stderr_lines = string_array(value, "stderr");
    return reply;
}

void apply_bail(const Reply& reply, std::optional<std::string>& bail) {
    bool bails = reply.status == "error" ||
                 (reply.error && reply.error->find("render bailed") != std::string::npos);
    if (bails && !bail) bail = reply.error.value_or("error");
}

const std::string* non_marker_at(const std::vector<std::string>& trail, std::size_t k) {
    for (const auto& entry : trail) {
        if (is_verdict_token(entry)) continue;
        if (k == 0) return &entry;
        --k;
    }
    return nullptr;
}

std::expected<void, std::error_code> write_event_request(int input_fd, std::string_view event) {
    std::string line = R"({"op":"event","event":)";
    line += nlohmann::json(std::string(event))
                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line += "}\n";
    return write_all(input_fd, line);
}

std::optional<std::string> send_event(ReplConversation& conversation, std::string_view event) {
    if (!write_event_request(conversation.input.fd, event)) return std::nullopt;
    return conversation.replies.next();
}

std::expected<bool, std::string> converse(const Path& kestrin, const model::Model& model,
                                          const ReplSetup& setup,
                                          const std::function<void(std::string_view)>& handle,
                                          const std::function<void(ReplConversation&)>& feed) {
    auto in = make_pipe();
    if (!in) return std::unexpected("no stdin");
    auto out = make_pipe();
    if (!out) return std::unexpected("no stdout");
    auto err = make_pipe();
    if (!err) return std::unexpected("no stderr");

    std::vector<std::string> args = {"--output", "json", "simulate", "--repl"};
    if (setup.flush) args.emplace_back("--flush");
    args.emplace_back("-m");
    args.emplace_back(tool_model_name(model.name));
    args.push_back(model.display);

    auto deadline = saturating_add(Clock::now(), setup.timeout);
    auto give_up = saturating_add(deadline, READ_GRACE);
    auto pid =
        spawn(kestrin, std::move(args), model.workdir, {in->read.fd, out->write.fd, err->write.fd});
    if (!pid) return std::unexpected("spawn: " + std::generic_category().message(pid.error()));
    in->read = Fd();
    out->write = Fd();
    err->write = Fd();

    auto watch = std::make_shared<ChildWatch>(*pid);
    std::string stderr_text;
    std::thread drainer;
    try {
        drainer = std::thread([&stderr_text, fd = std::move(err->read), give_up]() mutable {
            stderr_text = drain(std::move(fd), give_up);
        });
        std::thread(watchdog, watch, deadline).detach();
    } catch (const std::system_error& error) {
        kill_and_reap(*watch);
        if (drainer.joinable()) drainer.join();
        return std::unexpected("spawn: " + error.code().message());
    }

    ReplConversation conversation{std::move(in->write), LineReader{std::move(out->read), give_up}};
    if (auto opening = conversation.replies.next()) handle(*opening);
    feed(conversation);
    (void)write_all(conversation.input.fd, QUIT_REQUEST);
    if (auto last = conversation.replies.next()) handle(*last);
    // Closing standard output too: a daemon still writing after its last reply gets EPIPE
    // instead of blocking on a full pipe until the deadline.
    conversation.input = Fd();
    conversation.replies.fd = Fd();
    reap(*watch);
    drainer.join();
    return is_blocking(stderr_text);
}

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
    auto blocking = converse(kestrin, model, {.flush = false, .timeout = timeout}, handle, feed);
    if (!blocking) return std::unexpected(std::move(blocking.error()));
    drive.blocking = *blocking;
    return drive;
}

ReplTraceOut repl_verdict_pass(const ReplTrace& trace,
                               const std::set<std::string>& interactive_xfail, const Path& kestrin,
                               const model::Model& model, Duration timeout) {
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

    auto first = drive_repl_verdict(kestrin, model, events, timeout, false);
    if (!first) {
        diverge("repl-verdict drive:" + first.error());
        out.note("repl-verdict trace." + x + " drive error: " + first.error());
        return out;
    }
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
        auto second = drive_repl_verdict(kestrin, model, events, timeout, true);
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
