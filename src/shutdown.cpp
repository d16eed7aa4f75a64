// The signal watcher, the process-wide stop request it sets, and the handler of the signals
// that end the process without a stop.
#include "shutdown.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <atomic>
#include <system_error>
#include <thread>
#include <utility>

#include "files.hpp"
#include "posix.hpp"
#include "whole_file.hpp"

namespace tolvern::shutdown {

namespace {

std::atomic<int> stop_signal{0};
// Written once, never read: it only has to turn readable. Its ends are never closed, so that no
// loop and not the watcher can find them gone while the process ends.
std::atomic<int> wake_read{-1};
std::atomic<int> wake_write{-1};

// The stop signals this process was not started ignoring. An ignored one stays ignored: the
// user asked for it (nohup, a shell's background job), for tolvern and for what it runs.
sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : posix::STOP_SIGNALS)
        if (!posix::ignores(signal)) sigaddset(&set, signal);
    return set;
}

bool is_empty(const sigset_t& set) {
    for (int signal : posix::STOP_SIGNALS)
        if (sigismember(&set, signal) == 1) return false;
    return true;
}

// The set of this one signal.
sigset_t only(int signal) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    return set;
}

// Gives the signal this handler (or SIG_DFL), no other signal blocked while it runs.
void set_handler(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

// The signals whose default ends the process and that are no stop signals: faults, an abort
// (a failed allocation ends in one), and those that nothing in a session sends.
constexpr int FATAL_SIGNALS[] = {
    SIGSEGV, SIGBUS,  SIGABRT, SIGFPE,  SIGILL,    SIGSYS,  SIGUSR1,
    SIGUSR2, SIGALRM, SIGXCPU, SIGTRAP, SIGVTALRM, SIGPROF,
#ifdef SIGPWR
    SIGPWR,
#endif
};

// What each fatal signal did before its handler was set, read by the handler: written before
// the handler is set and never again.
struct sigaction previous_actions[NSIG];

// Ends the running children before the signal ends the process: the disposition it had before
// (the default, or a sanitizer's report) is set again, and the signal, blocked while this runs,
// is delivered anew once it returns. Only calls that are safe in a signal handler.
void end_children_then_die(int signal) {
    posix::end_all_children();
    ::sigaction(signal, &previous_actions[signal], nullptr);
    ::raise(signal);
}

void end_children_on_fatal_signals() {
    for (int signal : FATAL_SIGNALS) {
        // One ignored at start stays so: sent, it ends nothing (a fault still ends the process,
        // without this handler).
        if (::sigaction(signal, nullptr, &previous_actions[signal]) != 0 ||
            previous_actions[signal].sa_handler == SIG_IGN)
            continue;
        set_handler(signal, end_children_then_die);
    }
}

void watch(sigset_t set) {
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (requested() != 0) {
            // The user insists: no more waiting for the runs to end by themselves. A closed
            // terminal sends its signal twice at once, before the checks could clean up.
            posix::end_all_children();
            files::end_all_scratch();
            files::end_whole_writes();
            end_by(signal);
            _exit(128 + signal);
        }
        request(signal);
    }
}

// A stop signal sent before tolvern watched for it (a launcher's, or one sent at once) is
// pending now: it is taken here, so that the session starts stopped rather than racing the
// watcher's first turn. The first one only; any other stays for the watcher, as a second.
void take_a_pending_stop(const sigset_t& watched) {
    sigset_t pending;
    if (sigpending(&pending) != 0) return;
    for (int signal : posix::STOP_SIGNALS) {
        if (sigismember(&watched, signal) != 1 || sigismember(&pending, signal) != 1) continue;
        const auto one = only(signal);
        if (int taken = 0; sigwait(&one, &taken) == 0) request(taken);
        return;
    }
}

}  // namespace

void watch_signals() {
    end_children_on_fatal_signals();
    auto set = stop_signals();
    if (auto pipe = posix::make_pipe()) {
        wake_read = std::exchange(pipe->read.fd, -1);
        wake_write = std::exchange(pipe->write.fd, -1);
    }
    if (is_empty(set)) return;
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    take_a_pending_stop(set);
    try {
        std::thread(watch, set).detach();
    } catch (const std::system_error&) {
        // Without a watcher the signals keep their usual effect.
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
}

void request(int signal) {
    int none = 0;
    if (!stop_signal.compare_exchange_strong(none, signal)) return;
    if (int fd = wake_write.load(); fd >= 0) (void)posix::write_all(fd, "x");
}

void end_by(int signal) {
    // A core limit of zero is not enough where cores go to a program (Linux's core_pattern
    // "|..."): a process that cannot be dumped writes none anywhere.
    struct rlimit core {};
    if (::getrlimit(RLIMIT_CORE, &core) == 0) {
        core.rlim_cur = 0;
        ::setrlimit(RLIMIT_CORE, &core);
    }
#ifdef __linux__
    ::prctl(PR_SET_DUMPABLE, 0);
#endif
    set_handler(signal, SIG_DFL);
    const auto unblocked = only(signal);
    pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);
    ::raise(signal);
}

int requested() {
    return stop_signal.load(std::memory_order_relaxed);
}

const char* signal_name(int signal) {
    switch (signal) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        case SIGQUIT: return "SIGQUIT";
        case SIGPIPE: return "SIGPIPE";
        default: return "a signal";
    }
}

int wake_fd() {
    return wake_read.load(std::memory_order_relaxed);
}

}  // namespace tolvern::shutdown
