// Small POSIX wrappers for the modules that start programs and talk to them: owned descriptors,
// close-on-exec pipes, whole reads and writes, a spawn with default signals, an owned child that
// is never left running or unreaped, and deadlines on the monotonic clock. Errors come back as
// errno values.
#pragma once

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

// This process's environment with the additions applied: an inherited name that is added is
// dropped, and of several additions with one name only the last is kept.
std::vector<std::string> environment_with(
    const std::vector<std::pair<std::string, std::string>>& additions);
// Pointers to the texts followed by a null pointer, as exec and spawn take them.
std::vector<char*> c_strings(std::vector<std::string>& texts);

struct SpawnPlan {
    std::filesystem::path program;  // also argv[0]
    bool search_path = false;       // a name without "/" is looked up on PATH
    std::vector<std::string> args;
    std::optional<std::vector<std::string>> env{};  // absent: this process's environment
    std::array<int, 3> standard{-1, -1, -1};        // for 0, 1, 2; -1 is the null device
    std::optional<std::filesystem::path> cwd{};
};

// Starts the program with default signal dispositions and an empty signal mask, whatever this
// process ignores or this thread blocks. The standard descriptors are placed in order 0, 1, 2,
// so none of them may sit on a lower standard number than its own target.
std::expected<pid_t, int> spawn(SpawnPlan plan);

// A started child, owned: dropped while it runs, it is killed with SIGKILL and reaped, so that no
// way out of a function leaves it running or unreaped. Once it has been waited for it is never
// signalled again, as its pid may already name another process.
class Child {
  public:
    // Starts the program as spawn does. On Linux it also opens a descriptor on the process that
    // turns readable when the child ends, so that a poll can wait for the end with the pipes.
    static std::expected<Child, int> start(SpawnPlan plan);

    Child() = default;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    ~Child() { kill(); }

    bool running() const { return pid_ > 0 && !ended_; }
    // Readable once the child has ended; -1 where the system has no such descriptor, or after
    // the end was seen.
    int exit_fd() const { return exit_fd_.fd; }
    // The wait status, once the child has ended; -1 when its end could not be waited for.
    int status() const { return status_; }

    // Looks once, without blocking, whether the child has ended. A failed wait gives its errno
    // and the child is given up: it counts as ended and is never signalled.
    std::expected<bool, int> poll();
    // Sends SIGKILL to a running child and reaps it.
    void kill();

  private:
    explicit Child(pid_t pid);
    void ended(int status);

    pid_t pid_ = -1;
    bool ended_ = false;
    int status_ = -1;
    Fd exit_fd_;
};

// Waits for the child's end: its wait status, or the errno of a failed wait.
std::expected<int, int> wait_exit(pid_t pid);
// Looks once without blocking: the wait status when the child has ended, nothing while it runs.
std::expected<std::optional<int>, int> poll_exit(pid_t pid);

// `start` plus `length`, saturating at the clock's end; a length that is not positive gives start.
Clock::time_point deadline_after(Clock::time_point start, Duration length);
// The time since `start`.
Duration since(Clock::time_point start);

}  // namespace tolvern::posix
