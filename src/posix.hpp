// Small POSIX wrappers for the modules that start programs and talk to them: owned descriptors,
// close-on-exec pipes, whole reads and writes, a spawn with default signals, an owned child that
// is never left running or unreaped, and deadlines on the monotonic clock. Errors come back as
// errno values.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kinds.hpp"

namespace tolvern::posix {

using Clock = std::chrono::steady_clock;

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
    ~Fd() { reset(); }
    // Closes the descriptor now.
    void reset();
    // Closes the descriptor now and says whether that went well: a written file's last error
    // (a full disk, say) may show only here.
    std::expected<void, int> close();
};

struct Pipe {
    Fd read;
    Fd write;
};

// Both ends close-on-exec, so that a child started concurrently by another thread never keeps
// them open (a kept write end would hold back end of file from our reader).
std::expected<Pipe, int> make_pipe();

// The system's text for an errno value.
std::string error_text(int error);

// One read of what is there (64 KiB at most) appended to `into`: the count read, 0 at end of
// file, or the errno.
std::expected<std::size_t, int> read_some(int fd, std::string& into);
// Appends everything up to end of file; on an error what was read stays appended.
std::expected<void, int> read_to_end(int fd, std::string& into);

// Writes all bytes.
std::expected<void, int> write_all(int fd, std::string_view bytes);
// One write of what a non-blocking pipe takes now: the count written (0 when the pipe is full),
// or the errno. A closed pipe comes back as EPIPE, never as a signal, whatever SIGPIPE's
// disposition: the signal is blocked on this thread and, when the write raised it, consumed.
std::expected<std::size_t, int> write_some_to_pipe(int fd, std::string_view bytes);
// Makes reads and writes of this descriptor return at once instead of waiting.
std::expected<void, int> set_nonblocking(int fd);

// The signals that stop a session. One that this process ignores was ignored when it started
// (nothing here sets that disposition): the user meant it for every program of the session.
inline constexpr std::array<int, 4> STOP_SIGNALS{SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// Whether this process ignores the signal.
bool ignores(int signal);

// This process's environment with the additions applied: an inherited name that is added is
// dropped, and of several additions with one name only the last is kept.
std::vector<std::string> environment_with(
    const std::vector<std::pair<std::string, std::string>>& additions);
// Pointers to the texts followed by a null pointer, as exec and spawn take them.
std::vector<char*> c_strings(std::vector<std::string>& texts);

struct SpawnPlan {
    Path program;              // also argv[0]
    bool search_path = false;  // a name without "/" is looked up on PATH
    std::vector<std::string> args;
    std::optional<std::vector<std::string>> env{};  // absent: this process's environment
    std::array<int, 3> standard{-1, -1, -1};        // for 0, 1, 2; -1 is the null device
    std::optional<Path> cwd{};
};

// Starts the program with default signal dispositions and an empty signal mask, whatever this
// thread blocks, except that the stop signals stay ignored when this process ignores
// them: that ignore is the one it was started under (nohup, a shell's background job), and it
// is meant for every program of the session. The standard descriptors are placed in order 0, 1,
// 2, so none of them may sit on a lower standard number than its own target. With `own_group`
// the child leads a new process group, whose number is its pid.
std::expected<pid_t, int> spawn(SpawnPlan plan, bool own_group = false);

// A started child, owned together with the process group it leads: whatever the child starts
// stays in that group unless it leaves it (setsid, setpgid), so ending the group ends them too.
// Ended, or dropped, the child and everything left in its group get SIGKILL and the child is
// reaped, so that no way out of a function leaves a process of it running or unreaped. The child
// is reaped only after its group was signalled: until then its pid, and so the group's number,
// cannot name another process. Once reaped it is never signalled again.
class Child {
  public:
    // Starts the program as spawn does, in a group of its own, and notes it among the children
    // that `end_all_children` ends: ECANCELED once that has run, EAGAIN when more children than
    // any pool runs are alive already. On Linux it also opens a process file descriptor (pidfd)
    // that turns readable when the child exits, so that a poll can wait for it with the pipes.
    static std::expected<Child, int> start(SpawnPlan plan);

    Child() = default;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    ~Child() { end(); }

    bool running() const { return pid_ > 0 && !exited_; }
    // Readable once the child has exited; -1 where the system has no such descriptor, or after
    // the exit was seen.
    int exit_fd() const { return exit_fd_.fd; }
    // The wait status, once the child has been reaped; -1 when it could not be waited for.
    int status() const { return status_; }

    // Looks once, without blocking or reaping, whether the child has exited. A failed wait
    // gives its errno and the child is given up: it counts as ended and is never signalled.
    std::expected<bool, int> poll();
    // Sends SIGKILL to the child while it runs and to every process left in its group, then
    // reaps the child.
    void end();

  private:
    Child(pid_t pid, std::size_t slot);
    void reaped(int status);

    pid_t pid_ = -1;
    std::size_t slot_ = 0;  // where `end_all_children` finds it
    bool exited_ = false;
    bool reaped_ = false;
    int status_ = -1;
    Fd exit_fd_;
};

// Kills every child that `Child::start` started and that is not reaped yet, with its group, and
// keeps any other from starting: for a process that is about to exit at once. A start under way
// is waited for until its child has a pid, for 5 seconds at most. Safe in a signal handler. A
// thread that would reap one of these children waits instead for the process to end.
void end_all_children();

// Waits for the child's end: its wait status, or the errno of a failed wait.
std::expected<int, int> wait_exit(pid_t pid);
// Looks once without blocking: the wait status when the child has ended, nothing while it runs.
std::expected<std::optional<int>, int> poll_exit(pid_t pid);

// `start` plus `length`, saturating at the clock's end; a length that is not positive gives start.
Clock::time_point deadline_after(Clock::time_point start, Duration length);
// The time since `start`.
Duration since(Clock::time_point start);

}  // namespace tolvern::posix
