// The signal watcher and the process-wide stop request it sets.
#include "shutdown.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "posix.hpp"

namespace tolvern::shutdown {

namespace {

std::atomic<int> stop_signal{0};
// Written once, never read: it only has to turn readable. Its ends live as long as the process.
posix::Pipe wake;

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal);
    return set;
}

void watch(sigset_t set) {
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (requested() != 0) _exit(128 + signal);
        request(signal);
    }
}

}  // namespace

void watch_signals() {
    auto set = stop_signals();
    if (auto pipe = posix::make_pipe()) wake = std::move(*pipe);
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
    if (wake.write.fd >= 0) (void)posix::write_all(wake.write.fd, "x");
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
    return wake.read.fd;
}

}  // namespace tolvern::shutdown
