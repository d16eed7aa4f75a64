// The tool runner: starts one external program with arguments, environment additions, working
// directory and optional input, captures both output streams, and kills it at its time limit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kinds.hpp"
#include "posix.hpp"

namespace tolvern::runner {

struct Invocation {
    Path program;  // a bare name is looked up on PATH
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;  // added; a later pair wins
    std::optional<Path> cwd;
    std::optional<std::string> stdin_bytes;  // absent: the null device
    Duration timeout{};
};

// The child ended by itself; code is its exit status, or -1 when a signal ended it. In a stream
// that is not valid UTF-8 every invalid sequence is captured as U+FFFD.
struct Exited {
    std::string stdout_text;
    std::string stderr_text;
    Duration elapsed{};
    std::int32_t code = 0;
};

// The child outlived its time limit and was killed; its output is dropped.
struct TimedOut {
    Duration elapsed{};
};

// The run did not come to an end of its own: "spawn {program}: {error}", "wait: {error}", a
// stream that passed its cap ("standard output passed its cap of 256 MiB", the child killed), or
// "interrupted" when the session stopped (the child killed, or never started).
struct SpawnError {
    std::string message;
    Duration elapsed{};  // how long the child ran until it was ended; zero when it never started
};

using Outcome = std::variant<Exited, TimedOut, SpawnError>;

Outcome run(const Invocation& invocation);

// How the invocation's program starts, for a caller that talks to it rather than runs it (the
// REPL daemon): a bare name looked up on PATH, this environment with the additions, the
// working directory. Input and the time limit are the caller's.
posix::SpawnPlan spawn_plan(const Invocation& invocation);

}  // namespace tolvern::runner
