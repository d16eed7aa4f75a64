// The event loop: one poll over the child's input, its two outputs, its end (a process
// descriptor where the system has one, else a poll every millisecond) and the session's stop.
#include "supervisor.hpp"

#include <errno.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>

#include "shutdown.hpp"

namespace tolvern::supervisor {

namespace {

// The first buffer of a stream, and the least room a read is given before the buffer doubles.
constexpr std::size_t FIRST_ROOM = 16 << 10;
constexpr std::size_t LEAST_ROOM = 4 << 10;
// After a kill, what the pipes hold already is read, but no more than this many reads of each:
// a process the child left behind may go on writing.
constexpr int HELD_READS = 64;

static_assert((STREAM_CAP & (STREAM_CAP - 1)) == 0 && STREAM_CAP % FIRST_ROOM == 0);

ssize_t read_retrying(int fd, char* into, std::size_t size) {
    ssize_t n;
    while ((n = ::read(fd, into, size)) < 0 && errno == EINTR) {
    }
    return n;
}

}  // namespace

std::string_view stream_name(Stream stream) {
    return stream == Stream::Out ? "standard output" : "standard error";
}

std::string over_cap_message(std::string_view stream, std::size_t cap) {
    return std::string(stream) + " passed its cap of " + std::to_string(cap >> 20) + " MiB";
}

std::expected<Supervisor, LaunchError> Supervisor::start(Launch launch) {
    using Step = LaunchError::Step;
    if (shutdown::requested() != 0) return std::unexpected(LaunchError{Step::Start, ECANCELED});
    Supervisor supervisor;
    // Made in the order of their targets, each end on the lowest free number, so that none sits
    // on a standard number that an earlier placement in the child replaces.
    posix::Fd child_input;
    if (launch.with_input) {
        auto pipe = posix::make_pipe();
        if (!pipe) return std::unexpected(LaunchError{Step::Input, pipe.error()});
        // O_NONBLOCK is set on our end's open file description only; the child's end has its own.
        if (auto set = posix::set_nonblocking(pipe->write.fd); !set)
            return std::unexpected(LaunchError{Step::Input, set.error()});
        child_input = std::move(pipe->read);
        supervisor.input_ = std::move(pipe->write);
    }
    auto out = posix::make_pipe();
    if (!out) return std::unexpected(LaunchError{Step::Output, out.error()});
    auto err = posix::make_pipe();
    if (!err) return std::unexpected(LaunchError{Step::Error, err.error()});

    launch.plan.standard = {child_input.fd, out->write.fd, err->write.fd};
    auto child = posix::Child::start(std::move(launch.plan));
    if (!child) return std::unexpected(LaunchError{Step::Start, child.error()});
    supervisor.child_ = std::move(*child);
    supervisor.deadline_ = launch.deadline;
    supervisor.captures_[0].fd = std::move(out->read);
    supervisor.captures_[1].fd = std::move(err->read);
    supervisor.captures_[0].cap = launch.caps[0];
    supervisor.captures_[1].cap = launch.caps[1];
    return supervisor;
}

Stop Supervisor::pump(Clock::time_point until, const std::function<bool()>& done) {
    auto wait_failed = [&](int error) {
        wait_error_ = error;
        end();
        return Stop::WaitFailed;
    };
    bool exit_seen = false;
    for (;;) {
        if (running() && (exit_seen || child_.exit_fd() < 0)) {
            if (auto ended = child_.poll(); !ended) return wait_failed(ended.error());
        }
        if (done()) return Stop::Done;
        if (shutdown::requested() != 0) {
            end();
            return Stop::Interrupted;
        }
        auto now = Clock::now();
        if (running() && now >= deadline_) {
            // A child that has ended by now counts as ended, even if its end is not yet seen.
            auto ended = child_.poll();
            if (!ended) return wait_failed(ended.error());
            if (*ended) continue;
            end();
            return Stop::TimedOut;
        }
        if (!waiting()) {
            // Nothing of the run is left to read: what its group still holds goes with it.
            child_.end();
            return Stop::Done;
        }
        if (now >= until) {
            end();
            return Stop::GaveUp;
        }

        std::array<pollfd, 5> fds{};
        std::size_t count = 0;
        auto watch = [&](int fd, short events) { fds[count++] = {fd, events, 0}; };
        if (feeding()) watch(input_.fd, POLLOUT);
        for (const auto& capture : captures_)
            if (capture.fd.fd >= 0) watch(capture.fd.fd, POLLIN);
        if (running() && child_.exit_fd() >= 0) watch(child_.exit_fd(), POLLIN);
        if (shutdown::wake_fd() >= 0) watch(shutdown::wake_fd(), POLLIN);

        int ready = ::poll(fds.data(), count, wait_ms(now, until));
        if (ready < 0 && errno != EINTR) return wait_failed(errno);
        exit_seen = false;
        for (std::size_t i = 0; ready > 0 && i < count; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == input_.fd) {
                write_input();
            } else if (fds[i].fd == child_.exit_fd()) {
                exit_seen = true;
            } else {
                for (std::size_t s = 0; s < captures_.size(); ++s) {
                    auto& capture = captures_[s];
                    if (fds[i].fd != capture.fd.fd) continue;
                    switch (read(capture)) {
                        case Read::Some:
                        case Read::Nothing: break;
                        case Read::Ended: capture.fd.reset(); break;
                        case Read::OverCap:
                            over_cap_ = static_cast<Stream>(s);
                            end();
                            return Stop::OverCap;
                    }
                }
            }
        }
    }
}

std::int32_t Supervisor::exit_code() const {
    return WIFEXITED(status()) ? WEXITSTATUS(status()) : -1;
}

std::string Supervisor::failure(Stop stop) const {
    switch (stop) {
        case Stop::OverCap:
            return over_cap_message(stream_name(over_cap_), captures_[index(over_cap_)].cap);
        case Stop::Interrupted: return INTERRUPTED;
        case Stop::WaitFailed: return "wait: " + posix::error_text(wait_error_);
        case Stop::Done:
        case Stop::TimedOut:
        case Stop::GaveUp: break;
    }
    return {};
}

Stop Supervisor::pump_to_end(Clock::time_point until) {
    return pump(until, [] { return false; });
}

Stop Supervisor::finish(Duration grace) {
    auto stop = pump(Clock::time_point::max(), [&] { return !running(); });
    if (stop != Stop::Done) return stop;
    stop = pump_to_end(std::max(deadline_, posix::deadline_after(Clock::now(), grace)));
    return stop == Stop::GaveUp ? Stop::Done : stop;
}

bool Supervisor::waiting() const {
    return running() || feeding() ||
           std::any_of(captures_.begin(), captures_.end(),
                       [](const Capture& capture) { return capture.fd.fd >= 0; });
}

int Supervisor::wait_ms(Clock::time_point now, Clock::time_point until) const {
    auto target = running() ? std::min(until, deadline_) : until;
    int ms = -1;
    if (target != Clock::time_point::max()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(target - now).count();
        ms = static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
    }
    // Without a descriptor for the child's end, its end is looked for every millisecond.
    if (running() && child_.exit_fd() < 0 && (ms < 0 || ms > 1)) ms = 1;
    return ms;
}

void Supervisor::close_input() {
    close_when_fed_ = true;
    if (!feeding()) input_.reset();
}

void Supervisor::write_input() {
    auto written =
        posix::write_some_to_pipe(input_.fd, std::string_view(pending_).substr(written_));
    if (written) written_ += *written;
    // A failed write means the child no longer reads: the rest of the input is dropped.
    if (!written || written_ == pending_.size()) {
        pending_.clear();
        written_ = 0;
        if (!written || close_when_fed_) input_.reset();
    }
}

Supervisor::Read Supervisor::read(Capture& capture) {
    auto& bytes = capture.bytes;
    std::size_t size = bytes.size();
    if (bytes.capacity() - size < LEAST_ROOM && bytes.capacity() < capture.cap)
        bytes.reserve(std::min(std::max(2 * bytes.capacity(), FIRST_ROOM), capture.cap));
    std::size_t room = bytes.capacity() - size;
    ssize_t n = 0;
    int error = 0;
    if (room == 0) {
        // Full to the cap: only the end of the stream may still come.
        char probe;
        n = read_retrying(capture.fd.fd, &probe, 1);
        error = errno;
        if (n > 0) return Read::OverCap;
    } else {
        bytes.resize_and_overwrite(size + room, [&](char* data, std::size_t) {
            n = read_retrying(capture.fd.fd, data + size, room);
            error = errno;
            return size + static_cast<std::size_t>(std::max<ssize_t>(n, 0));
        });
        if (n > 0) return Read::Some;
    }
    // A read error other than an empty non-blocking pipe ends the stream; what came stays.
    if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) return Read::Nothing;
    return Read::Ended;
}

void Supervisor::read_held() {
    for (auto& capture : captures_) {
        if (capture.fd.fd < 0 || !posix::set_nonblocking(capture.fd.fd)) continue;
        for (int i = 0; i < HELD_READS && read(capture) == Read::Some; ++i) {
        }
    }
}

void Supervisor::end() {
    child_.end();
    input_.reset();
    read_held();
    for (auto& capture : captures_) capture.fd.reset();
}

}  // namespace tolvern::supervisor
