// One child process watched from start to reaping by a single event loop on the calling thread:
// it feeds the child's standard input, drains both of its outputs, notices its end, kills it at
// its deadline or when an output passes its cap, and ends it at once when the session stops.
// However a run ends, whatever the child started in its process group ends with it.
// The tool runner, the comparator run and the REPL daemon conversation are built on it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "posix.hpp"

namespace tolvern::supervisor {

using posix::Clock;

// How much of one output stream is kept. A child that writes more is killed: one endless output
// must not take the whole session's memory with it. The caps are powers of two, so that a
// buffer grown by doubling stops exactly at its cap.
inline constexpr std::size_t STREAM_CAP = std::size_t{256} << 20;

// The reason of a run that the session's stop ended, or kept from starting.
inline constexpr char INTERRUPTED[] = "interrupted";

enum class Stream : std::uint8_t { Out, Err };

// "standard output" or "standard error".
std::string_view stream_name(Stream stream);
// "{stream} passed its cap of {N} MiB": the reason of a run ended at a cap.
std::string over_cap_message(std::string_view stream, std::size_t cap);

// Why `pump` returned.
enum class Stop : std::uint8_t {
    Done,         // the caller's condition holds, or nothing is left to wait for
    TimedOut,     // the child was still running at its deadline: it was ended
    GaveUp,       // `until` passed while its pipes were still held open
    OverCap,      // an output passed its cap: the child was ended
    Interrupted,  // the session is stopping: the child was ended
    WaitFailed,   // the child could not be waited for; it is given up, never signalled
};

struct Launch {
    posix::SpawnPlan plan;    // its standard descriptors are filled in here
    bool with_input = false;  // standard input from a pipe, else from the null device
    Clock::time_point deadline = Clock::time_point::max();    // the child is killed at it
    std::array<std::size_t, 2> caps{STREAM_CAP, STREAM_CAP};  // standard output, error
};

// Why a child could not be started: the pipe that could not be made, or the start itself, with
// the errno. Once the session stops nothing new starts: the start then fails with ECANCELED.
struct LaunchError {
    enum class Step : std::uint8_t { Input, Output, Error, Start };
    Step step;
    int error;
};

class Supervisor {
  public:
    static std::expected<Supervisor, LaunchError> start(Launch launch);

    // Queues bytes for the child's standard input.
    void feed(std::string_view bytes) { pending_.append(bytes); }
    // Closes standard input once what is queued has been written: at once when nothing is.
    void close_input();
    // Whether queued input still waits for the child; false once its input is closed.
    bool feeding() const { return input_.fd >= 0 && written_ < pending_.size(); }
    // Whether the child's input is still open: not closed by us, not refused by the child.
    bool input_open() const { return input_.fd >= 0; }

    // Runs the loop until `done` holds or nothing is left to wait for, or until the deadline,
    // a cap, a stop of the session or `until` intervenes. `done` is asked before every wait.
    // At `until` the run is ended as at the deadline, but counts as given up, not timed out.
    Stop pump(Clock::time_point until, const std::function<bool()>& done);
    // Runs the loop until the child has ended and every pipe is closed.
    Stop pump_to_end(Clock::time_point until);
    // Runs the child to the end of the run: until it exits (or the deadline, a cap or a stop
    // ends it), then until its pipes close. A process it left behind may hold them open long
    // after: reading stops at the deadline, or `grace` after the exit when that is later, the
    // group is ended, and what was read by then counts (Stop::Done).
    Stop finish(Duration grace);

    bool running() const { return child_.running(); }
    // The wait status once the child has ended.
    int status() const { return child_.status(); }
    // Its exit status once it has ended, -1 when a signal ended it.
    std::int32_t exit_code() const;
    // Why the run was ended, after Stop::OverCap, Stop::Interrupted or Stop::WaitFailed: the
    // cap's message, INTERRUPTED or "wait: {error}".
    std::string failure(Stop stop) const;

    // What came out of a stream so far; the caller may take bytes off its front.
    std::string& bytes(Stream stream) { return captures_[index(stream)].bytes; }
    bool open(Stream stream) const { return captures_[index(stream)].fd.fd >= 0; }

    // Ends the child and what is left of its process group (SIGKILL), reaps it, takes what its
    // pipes hold already, and closes them.
    void end();
    // Closes the reading end of one stream, which a child still writing to it sees as EPIPE.
    void close(Stream stream) { captures_[index(stream)].fd.reset(); }

  private:
    struct Capture {
        posix::Fd fd;
        std::string bytes;
        std::size_t cap = STREAM_CAP;
    };
    enum class Read : std::uint8_t { Some, Nothing, Ended, OverCap };

    Supervisor() = default;
    static std::size_t index(Stream stream) { return static_cast<std::size_t>(stream); }
    bool waiting() const;
    int wait_ms(Clock::time_point now, Clock::time_point until) const;
    void write_input();
    static Read read(Capture& capture);
    void read_held();

    posix::Child child_;
    Clock::time_point deadline_ = Clock::time_point::max();
    posix::Fd input_;
    std::string pending_;
    std::size_t written_ = 0;
    bool close_when_fed_ = false;
    std::array<Capture, 2> captures_;
    Stream over_cap_ = Stream::Out;
    int wait_error_ = 0;
};

}  // namespace tolvern::supervisor
