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

TEST(StandardDescriptors, AClosedOneGetsTheNullDevice) {
    struct stat null_device {};
    ASSERT_EQ(::stat("/dev/null", &null_device), 0);
    for (int fd : {0, 1, 2}) {
        int saved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        fill_standard_descriptors();
        // Nothing may print while the descriptor is not the test's own.
        struct stat filled {};
        ::fstat(fd, &filled);
        ::dup2(saved, fd);
        ::close(saved);
        EXPECT_EQ(filled.st_rdev, null_device.st_rdev) << fd;
        EXPECT_EQ(filled.st_ino, null_device.st_ino) << fd;
    }
}

}  // namespace
}  // namespace tolvern::files
