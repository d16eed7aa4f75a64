// The file helpers where they decide something of their own: which files a read takes on, the
// standard descriptors at start-up, and the temporary directory with the scratch made in it.
#include "files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// TMPDIR set (or unset, for no value) for one scope.
struct Tmpdir {
    std::optional<std::string> saved;
    explicit Tmpdir(const char* value) {
        if (const char* old = std::getenv("TMPDIR")) saved = old;
        value ? ::setenv("TMPDIR", value, 1) : ::unsetenv("TMPDIR");
    }
    ~Tmpdir() { saved ? ::setenv("TMPDIR", saved->c_str(), 1) : ::unsetenv("TMPDIR"); }
};

TEST(TempDir, IsTmpdirMadeAbsolute) {
    const std::pair<const char*, fs::path> cases[] = {
        {nullptr, "/tmp"},
        {"", "/tmp"},
        {"/var/x", "/var/x"},
        {"rel/x", fs::current_path() / "rel/x"},
    };
    for (const auto& [tmpdir, dir] : cases) {
        Tmpdir setting(tmpdir);
        EXPECT_EQ(temp_dir(), dir) << (tmpdir ? tmpdir : "unset");
    }
}

fs::perms mode_of(const fs::path& path) {
    return fs::symlink_status(path).permissions();
}

TEST(Scratch, EachIsItsRunsOwnAndGoesWithItsOwner) {
    testing::TempDir tmp;
    Tmpdir setting(tmp.path.c_str());
    // What a link in a scratch tree names is not part of it.
    testing::write_file(tmp.path / "outside/kept", "x");
    fs::permissions(tmp.path / "outside", fs::perms::owner_read | fs::perms::owner_exec);
    {
        std::vector<Scratch> made;
        std::vector<std::string> names;
        for (int i = 0; i < 2; ++i) {
            auto dir = make_scratch_dir("tolvern_m_");
            auto file = make_scratch_file("tolvern_elig_m_", ".trace", "step " + std::to_string(i));
            ASSERT_TRUE(dir && file);
            EXPECT_EQ(mode_of(dir->path), fs::perms::owner_all);
            EXPECT_EQ(mode_of(file->path), fs::perms::owner_read | fs::perms::owner_write);
            EXPECT_EQ(testing::read_file(file->path), "step " + std::to_string(i));
            for (const auto& path : {dir->path, file->path}) {
                EXPECT_EQ(path.parent_path(), tmp.path);
                names.push_back(path.filename().string());
            }
            made.push_back(std::move(*dir));
            made.push_back(std::move(*file));
        }
        EXPECT_TRUE(names[0].starts_with("tolvern_m_") && names[0].size() == 16) << names[0];
        EXPECT_TRUE(names[1].starts_with("tolvern_elig_m_") && names[1].ends_with(".trace") &&
                    names[1].size() == 27)
            << names[1];
        EXPECT_NE(names[0], names[2]);
        EXPECT_NE(names[1], names[3]);

        // A tree whose owner took away its own rights on parts of it, the top included.
        auto top = made[0].path;
        fs::create_directories(top / "sub/closed");
        testing::write_file(top / "sub/f", "");
        fs::create_directory_symlink(tmp.path / "outside", top / "sub/link");
        fs::permissions(top / "sub/closed", fs::perms::none);
        fs::permissions(top / "sub", fs::perms::owner_read | fs::perms::owner_exec);
        fs::permissions(top, fs::perms::owner_read | fs::perms::owner_exec);
    }
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(tmp.path))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"outside"});
    EXPECT_EQ(mode_of(tmp.path / "outside"), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(testing::read_file(tmp.path / "outside/kept"), "x");
}

}  // namespace
}  // namespace tolvern::files
