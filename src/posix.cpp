// Small POSIX wrappers: every system call checked, EINTR retried, errors handed back as errno
// values for the caller to word. Several workers start programs at once, so every descriptor
// made here is close-on-exec.
#include "posix.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <atomic>
#include <ctime>
#include <functional>
#include <system_error>

#include "posix_internal.hpp"

extern char** environ;

namespace tolvern::posix {

void Fd::reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::expected<void, int> Fd::close() {
    int closing = std::exchange(fd, -1);
    if (closing >= 0 && ::close(closing) != 0) return std::unexpected(errno);
    return {};
}

std::expected<Pipe, int> make_pipe() {
    int fds[2];
#ifdef __linux__
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(errno);
#else
    // No pipe2 here; a fork on another thread between these calls can still inherit the ends.
    if (::pipe(fds) != 0) return std::unexpected(errno);
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#endif
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

std::string error_text(int error) {
    return std::generic_category().message(error);
}

std::expected<std::size_t, int> read_some(int fd, std::string& into) {
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) < 0 && errno == EINTR) {
    }
    if (n < 0) return std::unexpected(errno);
    auto count = static_cast<std::size_t>(n);
    into.append(buffer, count);
    return count;
}

std::expected<void, int> read_to_end(int fd, std::string& into) {
    for (;;) {
        auto n = read_some(fd, into);
        if (!n) return std::unexpected(n.error());
        if (*n == 0) return {};
    }
}

std::expected<void, int> write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected(errno);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

namespace {

// Runs a write with SIGPIPE blocked on this thread; a SIGPIPE that the write itself raised is
// taken off the pending set, so that it is neither delivered later nor fatal now.
std::expected<std::size_t, int> without_sigpipe(
    const std::function<std::expected<std::size_t, int>()>& write) {
    sigset_t pipe_signal, previous, pending;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    sigpending(&pending);
    bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    auto written = write();
    if (!written && written.error() == EPIPE && !was_pending && sigpending(&pending) == 0 &&
        sigismember(&pending, SIGPIPE) == 1) {
        int signal;
        sigwait(&pipe_signal, &signal);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return written;
}

}  // namespace

std::expected<std::size_t, int> write_some_to_pipe(int fd, std::string_view bytes) {
    return without_sigpipe([&]() -> std::expected<std::size_t, int> {
        ssize_t n;
        while ((n = ::write(fd, bytes.data(), bytes.size())) < 0 && errno == EINTR) {
        }
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return std::unexpected(errno);
    });
}

std::expected<void, int> set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return std::unexpected(errno);
    return {};
}

bool ignores(int signal) {
    struct sigaction action {};
    return ::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
}

std::vector<std::string> environment_with(
    const std::vector<std::pair<std::string, std::string>>& additions) {
    auto added_later = [&](std::string_view name, std::size_t from) {
        for (std::size_t i = from; i < additions.size(); ++i)
            if (additions[i].first == name) return true;
        return false;
    };
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view pair = *entry;
        if (!added_later(pair.substr(0, pair.find('=')), 0)) env.emplace_back(pair);
    }
    for (std::size_t i = 0; i < additions.size(); ++i) {
        const auto& [name, value] = additions[i];
        if (!added_later(name, i + 1)) env.push_back(name + "=" + value);
    }
    return env;
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

namespace {

// The signals a child gets back at their default disposition: every one, but for the stop
// signals that this process was started ignoring.
sigset_t signals_to_default() {
    sigset_t set;
    sigfillset(&set);
    for (int signal : STOP_SIGNALS)
        if (ignores(signal)) sigdelset(&set, signal);
    return set;
}

// The file actions and attributes of one spawn, destroyed with it; each step gives the errno
// of the first call that failed, 0 when all went well.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    int error = 0;

    SpawnSetup() {
        error = ::posix_spawn_file_actions_init(&actions);
        if (error != 0) return;
        error = ::posix_spawnattr_init(&attr);
        if (error != 0) ::posix_spawn_file_actions_destroy(&actions);
    }
    ~SpawnSetup() {
        if (error != 0) return;
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    int prepare(const SpawnPlan& plan, bool own_group) {
        for (int target = 0; target < 3; ++target) {
            int fd = plan.standard[static_cast<std::size_t>(target)];
            int failed =
                fd < 0 ? ::posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                                            target == 0 ? O_RDONLY : O_WRONLY, 0)
                       : ::posix_spawn_file_actions_adddup2(&actions, fd, target);
            if (failed != 0) return failed;
        }
        if (plan.cwd) {
            if (int failed = ::posix_spawn_file_actions_addchdir_np(&actions, plan.cwd->c_str()))
                return failed;
        }
        sigset_t to_default = signals_to_default(), none;
        sigemptyset(&none);
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        if (own_group) flags |= POSIX_SPAWN_SETPGROUP;
        for (int failed : {::posix_spawnattr_setsigdefault(&attr, &to_default),
                           ::posix_spawnattr_setsigmask(&attr, &none),
                           own_group ? ::posix_spawnattr_setpgroup(&attr, 0) : 0,
                           ::posix_spawnattr_setflags(&attr, flags)})
            if (failed != 0) return failed;
        return 0;
    }
};

}  // namespace

std::expected<pid_t, int> spawn(SpawnPlan plan, bool own_group) {
    plan.args.insert(plan.args.begin(), plan.program.native());
    auto argv = c_strings(plan.args);
    auto envp = plan.env ? c_strings(*plan.env) : std::vector<char*>();

    SpawnSetup setup;
    if (setup.error != 0) return std::unexpected(setup.error);
    if (int failed = setup.prepare(plan, own_group)) return std::unexpected(failed);
    pid_t pid = -1;
    char* const* env = plan.env ? envp.data() : environ;
    int error = plan.search_path
                    ? ::posix_spawnp(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), env)
                    : ::posix_spawn(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), env);
    if (error != 0) return std::unexpected(error);
    return pid;
}

namespace {

// The children of `Child::start` that are not reaped yet, one slot each, kept in a fixed table of
// atomics so that a signal handler may read it: it can neither lock nor allocate. A slot holds
// FREE, STARTING while its start is under way, the child's pid, or KILLING once
// `end_all_children` has signalled it: from then on the child is never reaped, so its pid cannot
// name another process before this one ends.
constexpr pid_t FREE = 0;
constexpr pid_t STARTING = -1;
constexpr pid_t KILLING = -2;
// More than the widest pool ever runs at once.
constexpr std::size_t MAX_LIVE_CHILDREN = 1024;
// How long `end_all_children` waits for a start under way to name its pid. The spawn names it
// only once the child has exec'd, which a loaded machine or a slow file system can hold back for
// seconds; the bound keeps a hung exec from holding the exit forever.
constexpr auto START_WAIT = std::chrono::seconds(5);

std::array<std::atomic<pid_t>, MAX_LIVE_CHILDREN> live_children{};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
// Set once by `end_all_children`: no child starts afterwards.
std::atomic<bool> closing{false};

}  // namespace

std::optional<std::size_t> claim_slot() {
    for (std::size_t slot = 0; slot < live_children.size(); ++slot) {
        pid_t free = FREE;
        if (!live_children[slot].compare_exchange_strong(free, STARTING)) continue;
        // Checked after the claim: a killer that closed before it saw no claim, one that closes
        // after it finds the slot STARTING and waits for its pid.
        if (!closing.load()) return slot;
        live_children[slot].store(FREE);
        return std::nullopt;
    }
    return std::nullopt;
}

void name_pid(std::size_t slot, pid_t pid) {
    live_children[slot].store(pid);
}

namespace {

// Gives up the slot before its child is reaped. Where `end_all_children` has claimed it, the
// child must stay unreaped: this thread waits for the process to end.
void release_slot(std::size_t slot, pid_t pid) {
    if (live_children[slot].compare_exchange_strong(pid, FREE)) return;
    for (;;) ::pause();
}

// SIGKILL to the child and to its group. The pid is not reaped yet, so neither can name
// another process; a child that left its group is reached by the first.
void kill_with_group(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::kill(-pid, SIGKILL);
}

// The monotonic clock through the call that a signal handler may make.
std::chrono::nanoseconds monotonic_now() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

void end_all_children() {
    closing.store(true);
    // Only calls that are safe in a signal handler from here on.
    const auto give_up = monotonic_now() + START_WAIT;
    for (auto& slot : live_children) {
        pid_t pid = slot.load();
        while (pid == STARTING && monotonic_now() < give_up) {
            // poll, unlike nanosleep, is safe in a signal handler.
            ::poll(nullptr, 0, 1);
            pid = slot.load();
        }
        if (pid > 0 && slot.compare_exchange_strong(pid, KILLING)) kill_with_group(pid);
    }
}

Child::Child(pid_t pid, std::size_t slot) : pid_(pid), slot_(slot) {
#ifdef __linux__
    // pidfd_open gives a close-on-exec descriptor; without one the exit is seen by polling.
    exit_fd_ = Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#endif
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      slot_(other.slot_),
      exited_(other.exited_),
      reaped_(other.reaped_),
      status_(other.status_),
      exit_fd_(std::move(other.exit_fd_)) {}

Child& Child::operator=(Child&& other) noexcept {
    end();
    pid_ = std::exchange(other.pid_, -1);
    slot_ = other.slot_;
    exited_ = other.exited_;
    reaped_ = other.reaped_;
    status_ = other.status_;
    exit_fd_ = std::move(other.exit_fd_);
    return *this;
}

std::expected<Child, int> Child::start(SpawnPlan plan) {
    auto slot = claim_slot();
    if (!slot) return std::unexpected(closing.load() ? ECANCELED : EAGAIN);
    auto pid = spawn(std::move(plan), true);
    if (!pid) {
        live_children[*slot].store(FREE);
        return std::unexpected(pid.error());
    }
    name_pid(*slot, *pid);
    // A killer that gave up waiting for this start has missed it.
    if (closing.load()) kill_with_group(*pid);
    return Child(*pid, *slot);
}

void Child::reaped(int status) {
    exited_ = true;
    reaped_ = true;
    status_ = status;
    exit_fd_.reset();
}

std::expected<bool, int> Child::poll() {
    if (!running()) return true;
    siginfo_t info{};
    // WNOWAIT leaves the child a zombie, so that its group can still be signalled safely.
    int result;
    while ((result = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT)) <
               0 &&
           errno == EINTR) {
    }
    if (result < 0) {
        int error = errno;
        release_slot(slot_, pid_);
        reaped(-1);
        return std::unexpected(error);
    }
    if (info.si_pid == pid_) {
        exited_ = true;
        exit_fd_.reset();
    }
    return !running();
}

void Child::end() {
    if (pid_ <= 0 || reaped_) return;
    kill_with_group(pid_);
    // Released before it is reaped: `end_all_children` must never signal a reaped pid.
    release_slot(slot_, pid_);
    auto status = wait_exit(pid_);
    reaped(status ? *status : -1);
}

std::expected<int, int> wait_exit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return std::unexpected(errno);
    return status;
}

std::expected<std::optional<int>, int> poll_exit(pid_t pid) {
    int status = 0;
    pid_t ended;
    while ((ended = ::waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (ended < 0) return std::unexpected(errno);
    if (ended == pid) return status;
    return std::nullopt;
}

Clock::time_point deadline_after(Clock::time_point start, Duration length) {
    auto step = std::chrono::duration_cast<Clock::duration>(length);
    if (step <= Clock::duration::zero()) return start;
    if (step >= Clock::time_point::max() - start) return Clock::time_point::max();
    return start + step;
}

Duration since(Clock::time_point start) {
    return std::max(Duration::zero(), std::chrono::duration_cast<Duration>(Clock::now() - start));
}

}  // namespace tolvern::posix
