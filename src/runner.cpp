// The tool runner: one child per call, watched by the event loop on the calling thread, with a
// hard kill at the time limit. Calls share nothing but the process's descriptor table, so every
// descriptor made here is close-on-exec.
#include "runner.hpp"

#include <errno.h>

#include <algorithm>
#include <string_view>

#include "posix.hpp"
#include "supervisor.hpp"
#include "text.hpp"

namespace tolvern::runner {

namespace {

using posix::Clock;
using supervisor::Stop;
using supervisor::Stream;

// The pipes of a child that exited near its deadline are still drained for this long: what a
// tool printed before it exited in time is part of its result.
constexpr Duration DRAIN_GRACE = std::chrono::seconds(1);

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

std::string spawn_message(const Invocation& invocation, int error) {
    return "spawn " + text::lossy(invocation.program) + ": " + posix::error_text(error);
}

}  // namespace

posix::SpawnPlan spawn_plan(const Invocation& invocation) {
    return {.program = invocation.program,
            .search_path = invocation.program.native().find('/') == std::string::npos,
            .args = invocation.args,
            .env = posix::environment_with(invocation.env),
            .cwd = invocation.cwd};
}

Outcome run(const Invocation& invocation) {
    auto start = Clock::now();
    auto deadline = posix::deadline_after(start, invocation.timeout);
    if (holds_nul(invocation)) return SpawnError{spawn_message(invocation, EINVAL)};
    // A spawn, unlike a fork, does not copy this process's page tables: a fork from many threads
    // and much memory costs far more, and every thread writing afterwards pays for it in
    // copy-on-write faults.
    auto launched = supervisor::Supervisor::start({
        .plan = spawn_plan(invocation),
        .with_input = invocation.stdin_bytes.has_value(),
        .deadline = deadline,
    });
    if (!launched) {
        if (launched.error().error == ECANCELED) return SpawnError{supervisor::INTERRUPTED};
        return SpawnError{spawn_message(invocation, launched.error().error)};
    }
    auto& child = *launched;
    if (invocation.stdin_bytes) {
        child.feed(*invocation.stdin_bytes);
        child.close_input();
    }

    auto stop = child.finish(DRAIN_GRACE);
    switch (stop) {
        case Stop::Done:
        case Stop::GaveUp: break;
        case Stop::TimedOut: return TimedOut{posix::since(start)};
        case Stop::OverCap:
        case Stop::Interrupted:
        case Stop::WaitFailed: return SpawnError{child.failure(stop), posix::since(start)};
    }
    Exited exited;
    exited.stdout_text = text::decoded(std::move(child.bytes(Stream::Out)));
    exited.stderr_text = text::decoded(std::move(child.bytes(Stream::Err)));
    exited.elapsed = posix::since(start);
    exited.code = child.exit_code();
    return exited;
}

}  // namespace tolvern::runner
