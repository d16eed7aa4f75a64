// The file helpers where they decide something of their own: which files a read takes on, and
// the standard descriptors at start-up.
#include "files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support.hpp"

namespace tolvern::files {
namespace {

namespace fs = std::filesystem;

TEST(ReadBytes, OnlyRegularFilesAreRead) {
    testing::TempDir dir;
    testing::write_file(dir.path / "file", "bytes");
    fs::create_symlink(dir.path / "file", dir.path / "to-file");
    ASSERT_EQ(::mkfifo((dir.path / "fifo").c_str(), 0600), 0);
    fs::create_symlink(dir.path / "fifo", dir.path / "to-fifo");
    fs::create_symlink("/dev/zero", dir.path / "to-zero");
    struct Case {
        fs::path path;
        std::string read;  // the bytes, or the error's message
    };
    const std::string not_regular = "not a regular file";
    const Case cases[] = {
        {dir.path / "file", "bytes"},
        {dir.path / "to-file", "bytes"},
        {dir.path, std::make_error_code(std::errc::is_a_directory).message()},
        {dir.path / "missing",
         std::make_error_code(std::errc::no_such_file_or_directory).message()},
        // Neither may block nor read without end.
        {dir.path / "fifo", not_regular},
        {dir.path / "to-fifo", not_regular},
        {dir.path / "to-zero", not_regular},
        {"/dev/null", not_regular},
    };
    for (const auto& c : cases) {
        auto bytes = read_bytes(c.path);
        EXPECT_EQ(bytes ? *bytes : bytes.error().message(), c.read) << c.path;
    }
}

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
