// The file helpers where they decide something of their own: the standard descriptors at start-up.
#include "files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvern::files {
namespace {

// Whether the descriptor is open on the file that the path names.
bool open_on(int fd, const char* path) {
    struct stat open_file {};
    struct stat named {};
    return ::fstat(fd, &open_file) == 0 && ::stat(path, &named) == 0 &&
           open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

TEST(StandardDescriptors, AClosedOneGetsTheNullDeviceAndAnOpenOneStays) {
    for (int fd : {0, 1, 2}) {
        SCOPED_TRACE(fd);
        int saved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ASSERT_GE(saved, 3);
        ::close(fd);
        fill_standard_descriptors();
        // Nothing may print while the descriptor is not the test's own.
        bool null_device = open_on(fd, "/dev/null");
        ::dup2(saved, fd);
        ::close(saved);
        EXPECT_TRUE(null_device);
    }

    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    int saved = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    ::dup2(pipe_ends[0], 0);
    fill_standard_descriptors();
    struct stat pipe_end {};
    struct stat standard_input {};
    ::fstat(pipe_ends[0], &pipe_end);
    ::fstat(0, &standard_input);
    ::dup2(saved, 0);
    for (int fd : {saved, pipe_ends[0], pipe_ends[1]}) ::close(fd);
    EXPECT_EQ(standard_input.st_ino, pipe_end.st_ino);
}

}  // namespace
}  // namespace tolvern::files
