// The tool runner: one child per call, its output drained on reader threads while the calling
// thread polls for its end, and a hard kill at the time limit. Calls share nothing but the
// process's descriptor table, so every descriptor made here is close-on-exec.
#include "runner.hpp"

#include <errno.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "posix.hpp"
#include "text.hpp"

namespace tolvern::runner {

namespace {

using posix::Clock;
using posix::error_text;
using posix::Fd;
using posix::make_pipe;

// One captured output stream. bytes[0, size) is what was read; the rest of `bytes` is room that
// the reader fills without the lock. Only the reader resizes `bytes`, and only under the lock,
// so the caller may copy [0, size) under the lock while the reader is still running.
struct Stream {
    std::string bytes;
    std::size_t size = 0;
    bool done = false;
};

// What the helper threads share with the caller. Held through shared_ptr so that threads left
// detached at the time limit never outlive the memory they write to.
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    Stream out;
    Stream err;
    bool writer_done = true;

    bool readers_done() const { return out.done && err.done; }
    bool all_done() const { return writer_done && readers_done(); }
};

void finish(Shared& shared, bool& flag) {
    {
        std::lock_guard lock(shared.mutex);
        flag = true;
    }
    shared.changed.notify_all();
}

// Reads until end of file straight into the stream's room; large reads keep a big output cheap.
void read_stream(std::shared_ptr<Shared> shared, Stream& stream, Fd fd) {
    constexpr std::size_t min_room = 4096;
    constexpr std::size_t first_size = 16 * 1024;
    std::array<char, 64 * 1024> probe;
    for (;;) {
        std::size_t room = stream.bytes.size() - stream.size;
        // Without room, read into a side buffer first, so that a stream ending exactly at the
        // capacity is not doubled just to read its end of file.
        char* target = room < min_room ? probe.data() : stream.bytes.data() + stream.size;
        std::size_t length = room < min_room ? probe.size() : room;
        ssize_t n = ::read(fd.fd, target, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        auto count = static_cast<std::size_t>(n);
        std::lock_guard lock(shared->mutex);
        if (target == probe.data()) {
            stream.bytes.resize(std::max({stream.size * 2, stream.size + count, first_size}));
            std::memcpy(stream.bytes.data() + stream.size, probe.data(), count);
        }
        stream.size += count;
    }
    fd.reset();
    finish(*shared, stream.done);
}

// Writes the whole input, then closes the pipe so that the child sees end of input. A child
// that stops reading early makes the write fail, which ends the writer quietly.
void write_input(std::shared_ptr<Shared> shared, Fd fd, std::string bytes) {
    (void)posix::write_to_pipe(fd.fd, bytes);
    fd.reset();
    finish(*shared, shared->writer_done);
}

// What the captured bytes become: the text if all of it is valid UTF-8, else the empty text.
// The caller holds the lock; a stream still being read is copied, a finished one taken over.
std::string take_text(Stream& stream) {
    std::string bytes;
    if (stream.done) {
        stream.bytes.resize(stream.size);
        bytes = std::move(stream.bytes);
    } else {
        bytes = stream.bytes.substr(0, stream.size);
    }
    if (!text::is_valid_utf8(bytes)) bytes.clear();
    return bytes;
}

bool has_nul(std::string_view text) {
    return text.find('\0') != std::string_view::npos;
}

// A text with a NUL byte would reach the program cut short.
bool holds_nul(const Invocation& invocation) {
    return has_nul(invocation.program.native()) ||
           std::any_of(invocation.args.begin(), invocation.args.end(), has_nul) ||
           std::any_of(
               invocation.env.begin(), invocation.env.end(),
               [](const auto& pair) { return has_nul(pair.first) || has_nul(pair.second); }) ||
           (invocation.cwd && has_nul(invocation.cwd->native()));
}

// The parent's side of a started child.
struct Child {
    pid_t pid = -1;
    Fd input;  // write end of standard input, when input is given
    Fd out;
    Fd err;
};

void reap(pid_t pid) {
    (void)posix::wait_exit(pid);
}

std::expected<Child, int> spawn(const Invocation& invocation) {
    if (holds_nul(invocation)) return std::unexpected(EINVAL);
    Child child;
    Fd child_in;
    if (invocation.stdin_bytes) {
        auto pipe = make_pipe();
        if (!pipe) return std::unexpected(pipe.error());
        child_in = std::move(pipe->read);
        child.input = std::move(pipe->write);
    }
    auto out = make_pipe();
    if (!out) return std::unexpected(out.error());
    auto err = make_pipe();
    if (!err) return std::unexpected(err.error());
    // A spawn, unlike a fork, does not copy this process's page tables: a fork from many threads
    // and much memory costs far more, and every thread writing afterwards pays for it in
    // copy-on-write faults. The pipes were made in the order of their targets, each end on the
    // lowest free number, so none sits on a standard number that an earlier placement replaces.
    auto pid = posix::spawn({
        .program = invocation.program,
        .search_path = invocation.program.native().find('/') == std::string::npos,
        .args = invocation.args,
        .env = posix::environment_with(invocation.env),
        .standard = {child_in.fd, out->write.fd, err->write.fd},
        .cwd = invocation.cwd,
    });
    if (!pid) return std::unexpected(pid.error());
    child.pid = *pid;
    child.out = std::move(out->read);
    child.err = std::move(err->read);
    return child;
}

// The helper threads of one run, and the state they share with it.
struct Helpers {
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::thread writer;
    std::thread out_reader;
    std::thread err_reader;

    // Writer first, then the readers. Fails only when a thread cannot be created.
    std::expected<void, int> start(Child& child, const Invocation& invocation) {
        try {
            if (invocation.stdin_bytes) {
                shared->writer_done = false;
                writer = std::thread(write_input, shared, std::move(child.input),
                                     *invocation.stdin_bytes);
            }
            out_reader =
                std::thread(read_stream, shared, std::ref(shared->out), std::move(child.out));
            err_reader =
                std::thread(read_stream, shared, std::ref(shared->err), std::move(child.err));
        } catch (const std::system_error& error) {
            return std::unexpected(error.code().value());
        }
        return {};
    }

    // Threads not joined are left to end by themselves once every holder of their pipes is
    // gone; they own their share of the state.
    ~Helpers() {
        for (auto* thread : {&out_reader, &err_reader, &writer})
            if (thread->joinable()) thread->detach();
    }

    void join() {
        for (auto* thread : {&writer, &out_reader, &err_reader})
            if (thread->joinable()) thread->join();
    }
};

void pause_for(Duration length) {
    timespec rest{static_cast<time_t>(length.count() / 1'000'000'000),
                  static_cast<long>(length.count() % 1'000'000'000)};
    while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

enum class Ending : std::uint8_t { Exited, TimedOut, WaitFailed };

struct Waited {
    Ending ending;
    int value;  // the wait status when exited, the errno when the wait failed
};

// Polls the child every millisecond until it ends or the deadline passes. The readers reach end
// of file as the child exits, so their finishing wakes the poll early; the child becomes
// waitable a few microseconds later, a moment that is yielded through rather than slept through
// (a short sleep overshoots by the timer slack) before the plain poll resumes.
Waited wait_for_child(pid_t pid, Shared& shared, Clock::time_point deadline) {
    constexpr Duration interval = std::chrono::milliseconds(1);
    constexpr Duration exit_moment = std::chrono::microseconds(200);
    std::optional<Clock::time_point> streams_closed;
    for (;;) {
        auto ended = posix::poll_exit(pid);
        if (!ended) return {Ending::WaitFailed, ended.error()};
        if (*ended) return {Ending::Exited, **ended};
        auto now = Clock::now();
        if (now >= deadline) return {Ending::TimedOut, 0};
        if (!streams_closed) {
            std::unique_lock lock(shared.mutex);
            if (shared.readers_done()) {
                streams_closed = now;
            } else {
                auto until = deadline - now > interval ? now + interval : deadline;
                shared.changed.wait_until(lock, until, [&] { return shared.readers_done(); });
                continue;
            }
        }
        if (now - *streams_closed < exit_moment)
            std::this_thread::yield();
        else
            pause_for(std::min<Duration>(interval, deadline - now));
    }
}

std::string spawn_message(const Invocation& invocation, int error) {
    return "spawn " + text::lossy(invocation.program) + ": " + error_text(error);
}

}  // namespace

Outcome run(const Invocation& invocation) {
    auto start = Clock::now();
    auto deadline = posix::deadline_after(start, invocation.timeout);
    auto child = spawn(invocation);
    if (!child) return SpawnError{spawn_message(invocation, child.error())};

    Helpers helpers;
    if (auto started = helpers.start(*child, invocation); !started) {
        // The run cannot be watched without its threads: end it rather than leave it unread.
        ::kill(child->pid, SIGKILL);
        reap(child->pid);
        return SpawnError{spawn_message(invocation, started.error())};
    }

    auto waited = wait_for_child(child->pid, *helpers.shared, deadline);
    switch (waited.ending) {
        case Ending::Exited: break;
        case Ending::TimedOut:
            ::kill(child->pid, SIGKILL);
            reap(child->pid);
            return TimedOut{posix::since(start)};
        case Ending::WaitFailed: return SpawnError{"wait: " + error_text(waited.value)};
    }

    // A process the child left behind may hold its pipes open long after the child exited.
    // Waiting for them is bounded by the deadline, though never cut shorter than a grace period
    // in which pipes of a child that exited near its deadline are surely drained; what was read
    // by then is kept.
    constexpr Duration drain_grace = std::chrono::seconds(1);
    auto drain_deadline = std::max(deadline, Clock::now() + drain_grace);
    Exited exited;
    auto& shared = *helpers.shared;
    std::unique_lock lock(shared.mutex);
    bool complete =
        shared.changed.wait_until(lock, drain_deadline, [&] { return shared.all_done(); });
    exited.stdout_text = take_text(shared.out);
    exited.stderr_text = take_text(shared.err);
    lock.unlock();
    if (complete) helpers.join();
    exited.elapsed = posix::since(start);
    exited.code = WIFEXITED(waited.value) ? WEXITSTATUS(waited.value) : -1;
    return exited;
}

}  // namespace tolvern::runner
