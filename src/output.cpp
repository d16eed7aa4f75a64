// The writer of standard output and standard error: a queue of texts in the order they were
// put, written by one detached thread in batches of one target each, in pieces of whole lines.
#include "output.hpp"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "output_internal.hpp"
#include "posix.hpp"
#include "shutdown.hpp"
#include "text.hpp"

namespace tolvern::output {

std::size_t piece_length(std::string_view text) {
    if (text.size() <= PIECE) return text.size();
    if (auto last = text.substr(0, PIECE).rfind('\n'); last != std::string_view::npos)
        return last + 1;
    auto end = text.find('\n');
    return end == std::string_view::npos ? text.size() : end + 1;
}

namespace {

// How long a stopping session still waits for a reader to take what is queued.
constexpr auto STOP_GRACE = std::chrono::seconds(1);

struct Queued {
    Target target;
    std::string text;
};

// Never destroyed: the writer may still sit in a write while the process ends.
struct Writer {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Queued> queue;
    bool running = false;
    bool writing = false;
    int failed = 0;
    // The line feeds put for standard output and neither written nor dropped yet.
    std::atomic<std::size_t> out_lines{0};
    // Set once a stop gave up waiting for standard output: what is left there is dropped, so
    // that the count said for it stays true while the process ends.
    std::atomic<bool> gave_up{false};
};

Writer& writer() {
    static auto* state = new Writer;
    return *state;
}

int descriptor(Target target) {
    return target == Target::Out ? STDOUT_FILENO : STDERR_FILENO;
}

std::size_t line_feeds(std::string_view text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

void note_failure(Writer& state, int error) {
    {
        std::lock_guard lock(state.mutex);
        if (state.failed == 0) state.failed = error;
    }
    shutdown::request(SIGPIPE);
}

// Writes one text piece by piece and notes a failure of standard output; standard error's
// failures have no one left to tell. A descriptor that another program made non-blocking
// answers EAGAIN when its reader lags: that means wait until it takes more, unless `wait` is
// false, when the rest is left unwritten.
void write_out(Writer& state, Target target, std::string_view text, bool wait = true) {
    const int fd = descriptor(target);
    // What is left of the piece being written: the rest of a long line, or of a piece that a
    // file or terminal took in part.
    std::size_t piece = 0;
    while (!text.empty() && !(target == Target::Out && state.gave_up)) {
        if (piece == 0) piece = piece_length(text);
        ssize_t n = ::write(fd, text.data(), std::min(piece, PIECE));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait) return;
            pollfd ready{fd, POLLOUT, 0};
            ::poll(&ready, 1, -1);
            continue;
        }
        if (n < 0) {
            if (target == Target::Out) note_failure(state, errno);
            return;
        }
        auto written = text.substr(0, static_cast<std::size_t>(n));
        if (target == Target::Out) state.out_lines -= line_feeds(written);
        text.remove_prefix(written.size());
        piece -= written.size();
    }
}

// The texts at the front of the queue that go to one target, joined, and taken off the queue;
// those for a standard output that failed are dropped.
std::optional<Queued> next_batch(Writer& state) {
    while (!state.queue.empty()) {
        Queued batch = std::move(state.queue.front());
        state.queue.pop_front();
        while (!state.queue.empty() && state.queue.front().target == batch.target) {
            batch.text += state.queue.front().text;
            state.queue.pop_front();
        }
        if (batch.target == Target::Err || state.failed == 0) return batch;
        state.out_lines -= line_feeds(batch.text);
    }
    return std::nullopt;
}

void write_queued(Writer& state) {
    std::unique_lock lock(state.mutex);
    for (;;) {
        state.changed.wait(lock, [&] { return !state.queue.empty(); });
        state.writing = true;
        while (auto batch = next_batch(state)) {
            lock.unlock();
            write_out(state, batch->target, batch->text);
            lock.lock();
        }
        state.writing = false;
        state.changed.notify_all();
    }
}

}  // namespace

void start() {
    auto& state = writer();
    std::lock_guard lock(state.mutex);
    if (state.running) return;
    try {
        std::thread(write_queued, std::ref(state)).detach();
        state.running = true;
    } catch (const std::system_error&) {
        // Without a thread, each text is written by whoever puts it.
    }
}

void put(Target target, std::string text) {
    auto& state = writer();
    std::unique_lock lock(state.mutex);
    if (target == Target::Out && state.failed != 0) return;
    if (target == Target::Out) state.out_lines += line_feeds(text);
    if (!state.running) {
        lock.unlock();
        write_out(state, target, text);
        return;
    }
    state.queue.push_back({target, std::move(text)});
    state.changed.notify_all();
}

namespace {

// Takes the texts queued for standard error off the queue and writes what standard error takes
// without waiting: it may still be read when standard output is not. A stop that drops results
// says so there.
void write_errors_now(Writer& state, std::unique_lock<std::mutex>& lock) {
    std::string errors;
    std::erase_if(state.queue, [&](Queued& queued) {
        if (queued.target != Target::Err) return false;
        errors += queued.text;
        return true;
    });
    state.gave_up = true;
    if (auto lost = state.out_lines.load(); lost > 0 && state.failed == 0)
        errors += text::concat({"interrupted by ", shutdown::signal_name(shutdown::requested()),
                                ": ", std::to_string(lost), lost == 1 ? " line" : " lines",
                                " not written to standard output\n"});
    lock.unlock();
    pollfd ready{STDERR_FILENO, POLLOUT, 0};
    if (!errors.empty() && ::poll(&ready, 1, 0) == 1 && ready.revents == POLLOUT)
        write_out(state, Target::Err, errors, false);
}

}  // namespace

bool flush() {
    auto& state = writer();
    std::unique_lock lock(state.mutex);
    std::optional<posix::Clock::time_point> limit;
    while (!state.queue.empty() || state.writing) {
        // A stop may come while we wait: from then on the wait is bounded.
        if (!limit && shutdown::requested() != 0) limit = posix::Clock::now() + STOP_GRACE;
        if (limit && posix::Clock::now() >= *limit) {
            write_errors_now(state, lock);
            return false;
        }
        state.changed.wait_for(lock, std::chrono::milliseconds(20));
    }
    return true;
}

int failure() {
    auto& state = writer();
    std::lock_guard lock(state.mutex);
    return state.failed;
}

int failure_status(int error) {
    if (error == EPIPE) return 128 + SIGPIPE;
    write_out(writer(), Target::Err, "error: standard output: " + posix::error_text(error) + "\n");
    return EX_IOERR;
}

}  // namespace tolvern::output
