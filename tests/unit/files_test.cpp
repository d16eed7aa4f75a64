// The file helpers where they decide something of their own: which files a read takes on, the
// standard descriptors at start-up, and the temporary directory with the scratch made in it.
#include "files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <latch>
#include <optional>
#include <string>
#include <thread>
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

const auto READ_ONLY = fs::perms::owner_read | fs::perms::owner_exec;
const char* const OUTSIDE_DIRS[] = {"outside/closed", "outside"};

// What links in a scratch name: read-only directories beside the scratches, and a file. Removing
// a scratch must leave them as they are.
void make_outside(const fs::path& tmp) {
    testing::write_file(tmp / "outside/kept", "x");
    fs::create_directory(tmp / "outside/closed");
    for (const char* dir : OUTSIDE_DIRS) fs::permissions(tmp / dir, READ_ONLY);
}

// That nothing but the outside directories is left, as they were made.
void expect_only_outside(const fs::path& tmp) {
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(tmp))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"outside"});
    for (const char* dir : OUTSIDE_DIRS) EXPECT_EQ(mode_of(tmp / dir), READ_ONLY) << dir;
    EXPECT_EQ(testing::read_file(tmp / "outside/kept"), "x");
}

// Gives the rights back for the test's own clean-up.
void open_outside(const fs::path& tmp) {
    for (const char* dir : OUTSIDE_DIRS) fs::permissions(tmp / dir, fs::perms::owner_all);
}

// Fills a scratch directory with a tree whose owner took away its own rights on parts of it, the
// top included, and a link to the outside directories.
void lock_up(const fs::path& top, const fs::path& tmp) {
    fs::create_directories(top / "sub/closed");
    testing::write_file(top / "sub/f", "");
    fs::create_directory_symlink(tmp / "outside", top / "sub/link");
    fs::permissions(top / "sub/closed", fs::perms::none);
    fs::permissions(top / "sub", READ_ONLY);
    fs::permissions(top, READ_ONLY);
}

TEST(Scratch, EachIsItsRunsOwnAndGoesWithItsOwner) {
    testing::TempDir tmp;
    Tmpdir setting(tmp.path.c_str());
    // What a link in a scratch tree names is not part of it.
    make_outside(tmp.path);
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

        // A run may put a link in its scratch's place: the link goes, never what it names.
        for (const auto& [path, target] : {std::pair{made[2].path, tmp.path / "outside"},
                                           {made[3].path, tmp.path / "outside/kept"}}) {
            fs::remove(path);
            fs::create_symlink(target, path);
        }

        lock_up(made[0].path, tmp.path);
    }
    expect_only_outside(tmp.path);
    open_outside(tmp.path);
}

// The session's hard stop, with threads dropping their own scratch at the same moment: every
// live scratch goes, what a link in one names stays, and none is made after it.
void end_all_scratch_with_others_dropping(const fs::path& tmp) {
    make_outside(tmp);
    std::vector<Scratch> live;
    live.push_back(*make_scratch_dir("tolvern_m_"));
    live.push_back(*make_scratch_file("tolvern_elig_m_", ".trace", "step"));
    lock_up(live[0].path, tmp);

    constexpr int DROPPING = 4;
    std::latch ready(DROPPING), go(1);
    std::vector<std::thread> threads;
    for (int i = 0; i < DROPPING; ++i)
        threads.emplace_back([&] {
            auto own = make_scratch_dir("tolvern_t_");
            fs::create_directories(own->path / "a/b/c");
            testing::write_file(own->path / "a/b/f", "");
            ready.count_down();
            go.wait();
        });
    ready.wait();
    go.count_down();
    end_all_scratch();
    for (auto& thread : threads) thread.join();

    expect_only_outside(tmp);
    auto dir = make_scratch_dir("tolvern_m_");
    auto file = make_scratch_file("tolvern_elig_m_", ".trace", "step");
    ASSERT_FALSE(dir || file);
    EXPECT_EQ(dir.error(), (tmp / "tolvern_m_XXXXXX").string() + ": Operation canceled");
    EXPECT_EQ(file.error(),
              (tmp / "tolvern_elig_m_XXXXXX.trace").string() + ": Operation canceled");
    live.clear();
    expect_only_outside(tmp);
    open_outside(tmp);
}

// A process ends only once, so the end is tried in a child of the test, which prints its own
// failures and exits with whether there were any.
TEST(Scratch, EndAllRemovesTheLiveAndMakesNoMore) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        {
            testing::TempDir tmp;
            Tmpdir setting(tmp.path.c_str());
            end_all_scratch_with_others_dropping(tmp.path);
        }
        std::fflush(stdout);
        std::_Exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

}  // namespace
}  // namespace tolvern::files
