// The output root's lock is a lock on the directory itself, so that nothing is left behind, and
// the system drops it when the process ends however it ends.
#include "output_lock.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>

#include <cerrno>
#include <system_error>

#include "output.hpp"
#include "shutdown.hpp"
#include "text.hpp"

namespace tolvern {

namespace {

// Takes the lock if it is free; false, with errno telling why, when it is not taken.
bool take(int fd) {
    int result;
    while ((result = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    return result == 0;
}

// Waits for the lock, trying again every 50 ms, until it is taken or the session is stopped: a
// blocking flock would hold the session past the signal that asks it to stop.
bool wait_for(int fd) {
    for (;;) {
        if (take(fd)) return true;
        if (errno != EWOULDBLOCK || shutdown::requested() != 0) return false;
        pollfd wake{shutdown::wake_fd(), POLLIN, 0};
        ::poll(&wake, wake.fd >= 0 ? 1 : 0, 50);
    }
}

}  // namespace

std::optional<posix::Fd> lock_output_root(const Path& root) {
    std::error_code error;
    std::filesystem::create_directories(root, error);
    if (error) return std::nullopt;
    posix::Fd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.fd < 0) return std::nullopt;
    if (take(fd.fd)) return fd;
    if (errno != EWOULDBLOCK) return std::nullopt;
    output::put(output::Target::Err, "waiting for another session to finish with the output root " +
                                         text::lossy(root) + "\n");
    if (!wait_for(fd.fd)) return std::nullopt;
    return fd;
}

}  // namespace tolvern
