// The output root's lock is a lock on the directory itself, so that nothing is left behind, and
// the system drops it when the process ends however it ends.
#include "output_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "text.hpp"

namespace tolvern {

namespace {

// Takes the lock, waiting when `wait`; false when it is not taken.
bool take(int fd, bool wait) {
    int result;
    while ((result = ::flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    return result == 0;
}

}  // namespace

std::optional<posix::Fd> lock_output_root(const std::filesystem::path& root) {
    std::error_code error;
    std::filesystem::create_directories(root, error);
    if (error) return std::nullopt;
    posix::Fd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.fd < 0) return std::nullopt;
    if (take(fd.fd, false)) return fd;
    if (errno != EWOULDBLOCK) return std::nullopt;
    std::fprintf(stderr, "waiting for another session to finish with the output root %s\n",
                 text::lossy(root).c_str());
    std::fflush(stderr);
    if (!take(fd.fd, true)) return std::nullopt;
    return fd;
}

}  // namespace tolvern
