// The pool width under this process's open-file limit, its room for more threads and its free
// address space.
#include "pool_width.hpp"

#include <limits.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <vector>

#include "posix.hpp"

namespace tolvern {

std::size_t pool_width(std::size_t requested, std::uint64_t open_file_limit) {
    const std::uint64_t room =
        open_file_limit > DESCRIPTORS_RESERVED
            ? (open_file_limit - DESCRIPTORS_RESERVED) / DESCRIPTORS_PER_WORKER
            : 0;
    const auto cap = static_cast<std::size_t>(std::min<std::uint64_t>(MAX_JOBS, room));
    return std::clamp<std::size_t>(requested, 1, std::max<std::size_t>(cap, 1));
}

std::size_t pool_width(std::size_t requested) {
    struct rlimit limit {};
    // Without an answer (or without a limit) only the fixed cap applies.
    std::uint64_t open_files = std::numeric_limits<std::uint64_t>::max();
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        open_files = static_cast<std::uint64_t>(limit.rlim_cur);
    return pool_width(requested, open_files);
}

std::size_t width_within(std::size_t width, std::size_t available, std::size_t processes) {
    return std::min(width, (available + 1) / (processes + 1));
}

namespace {

// A trial thread: it only waits for the end of the pipe that releases it.
void* wait_for_release(void* release) {
    char byte;
    while (::read(*static_cast<int*>(release), &byte, 1) < 0 && errno == EINTR) {
    }
    return nullptr;
}

// 0 when `bytes` of address space are free now, else why not: they are reserved without being
// touched and given back at once.
int reserve_error(std::uint64_t bytes) {
    const auto size = static_cast<std::size_t>(bytes);
    void* start = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANON | MAP_NORESERVE, -1, 0);
    if (start == MAP_FAILED) return errno;
    ::munmap(start, size);
    return 0;
}

}  // namespace

Room thread_room(std::size_t wanted) {
    Room room;
    auto release = posix::make_pipe();
    if (!release) return {0, release.error()};
    pthread_attr_t attr;
    if (int error = ::pthread_attr_init(&attr)) return {0, error};
    // Small stacks: the trial counts threads, it should not reserve their memory.
    (void)::pthread_attr_setstacksize(&attr, std::max<std::size_t>(PTHREAD_STACK_MIN, 64 << 10));
    std::vector<pthread_t> threads;
    while (threads.size() < wanted) {
        pthread_t thread;
        room.error = ::pthread_create(&thread, &attr, wait_for_release, &release->read.fd);
        if (room.error != 0) break;
        threads.push_back(thread);
    }
    ::pthread_attr_destroy(&attr);
    release->write.reset();
    for (auto thread : threads) ::pthread_join(thread, nullptr);
    room.count = threads.size();
    return room;
}

Room address_space_room(std::size_t width, std::uint64_t per_thread) {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return {width, 0};
    // Bisection: a pool of room.count workers fits, one of `over` does not.
    Room room;
    std::size_t over = width + 1;
    while (over - room.count > 1) {
        const auto middle = room.count + (over - room.count) / 2;
        if (int error = reserve_error(ADDRESS_SPACE_RESERVED + (middle - 1) * per_thread)) {
            over = middle;
            room.error = error;
        } else {
            room.count = middle;
        }
    }
    return room;
}

}  // namespace tolvern
