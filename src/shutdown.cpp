// The signal watcher and the process-wide stop request it sets.
#include "shutdown.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <system_error>
#include <thread>
#include <utility>

#include "posix.hpp"

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

void watch(sigset_t set) {
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (requested() != 0) {
            // The user insists: no more waiting for the runs to end by themselves.
            posix::end_all_children();
            _exit(128 + signal);
        }
        request(signal);
    }
}

}  // namespace

void watch_signals() {
    auto set = stop_signals();
    if (auto pipe = posix::make_pipe()) {
        wake_read = std::exchange(pipe->read.fd, -1);
        wake_write = std::exchange(pipe->write.fd, -1);
    }
    if (is_empty(set)) return;
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
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

int requested() {
    return stop_signal.load(std::memory_order_relaxed);
}

const char* signal_name(int signal) {
    switch (signal) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "a signal";
    }
}

int wake_fd() {
    return wake_read.load(std::memory_order_relaxed);
}

}  // namespace tolvern::shutdown
