// Tests of session logs: the exact "log" text, shell quoting, stream rendering, and the output
// directory and file operations.
#include "log.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "support.hpp"

namespace tolvern::log {
namespace {

using namespace std::chrono_literals;
using testing::read_file;
using testing::TempDir;

runner::Invocation invocation(std::vector<std::string> args) {
    return runner::Invocation{"/opt/kes trin", std::move(args), {{"A", "1"}}, "/cwd", "input", 5s};
}

TEST(SessionLog, RendersTheHeaderAlone) {
    SessionLog log("m", "lts");
    EXPECT_EQ(log.render("PASS", "", Duration(1'999'900'000)),
              "== tolvern: m (lts)  PASS  1999ms ==\n\n");
}

TEST(SessionLog, RendersNotesAndNumberedCommands) {
    SessionLog log("alpha", "verify");
    log.note("first");
    auto inv = invocation({"-q", "x=1", "a b", "it's"});
    log.cmd("run verify", inv, runner::Exited{"ok\r\nsecond\n", "", 12'345'678ns, 3});
    log.cmd("slow", inv, runner::TimedOut{2'000'999'999ns});
    log.note("between");
    log.cmd("missing", inv, runner::SpawnError{"spawn kes: No such file or directory"});
    log.cmd("kept", inv, runner::Exited{"a\nb", std::string(50, '\n'), 0ns, -1},
            Path("/out/ours.aut"), std::nullopt);

    EXPECT_EQ(log.render("FAIL", "states differ", 7ms),
              "== tolvern: alpha (verify)  FAIL  7ms ==\n"
              "reason: states differ\n"
              "\n"
              "[note] first\n"
              "## (1) run verify\n"
              "$ '/opt/kes trin' -q x=1 'a b' 'it'\\''s'\n"
              "exit: 3  (12 ms)\n"
              "stdout:\n"
              "  ok\n"
              "  second\n"
              "stderr: (empty)\n"
              "\n"
              "## (2) slow\n"
              "$ '/opt/kes trin' -q x=1 'a b' 'it'\\''s'\n"
              "exit: TIMEOUT  (2000 ms)\n"
              "\n"
              "[note] between\n"
              "## (3) missing\n"
              "$ '/opt/kes trin' -q x=1 'a b' 'it'\\''s'\n"
              "exit: SPAWN_ERROR  (spawn kes: No such file or directory)\n"
              "\n"
              "## (4) kept\n"
              "$ '/opt/kes trin' -q x=1 'a b' 'it'\\''s'\n"
              "exit: -1  (0 ms)\n"
              "stdout → /out/ours.aut  (2 lines)\n"
              "stderr: 50 lines (long; use --keep-artefacts to dump)\n"
              "\n");
}

TEST(SessionLog, KeepsItsOwnCopyOfTheCommand) {
    SessionLog log("m", "lts");
    auto inv = invocation({"lts"});
    runner::Outcome outcome = runner::Exited{"out", "err", 1ms, 0};
    log.cmd("step", inv, outcome);
    inv.args[0] = "changed";
    std::get<runner::Exited>(outcome).stdout_text = "changed";
    const auto& cmd = std::get<Cmd>(log.entries.at(0));
    EXPECT_EQ(cmd.program, Path("/opt/kes trin"));
    EXPECT_EQ(cmd.args, std::vector<std::string>{"lts"});
    EXPECT_EQ(std::get<Exited>(cmd.ending).out.text, "out");
}

TEST(ShellEscape, QuotesAllButPlainWords) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-q", "-q"},
        {"x=1", "x=1"},
        {"a/b.svk", "a/b.svk"},
        {"%+,-./:=@_~AZaz09", "%+,-./:=@_~AZaz09"},
        {"", "''"},
        {"a b", "'a b'"},
        {"it's", "'it'\\''s'"},
        {"''", "''\\'''\\'''"},
        {"caf\xc3\xa9", "'caf\xc3\xa9'"},
        {"$HOME", "'$HOME'"},
        {"a\nb", "'a\nb'"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(shell_escape(text), expected) << text;
}

TEST(RenderStream, ListsShortStreamsAndSummarisesLongOnes) {
    std::string twenty, twenty_one;
    for (int i = 0; i < 20; ++i) twenty += std::to_string(i) + "\n";
    twenty_one = twenty + "last";
    std::string listed = "out:\n";
    for (int i = 0; i < 20; ++i) listed += "  " + std::to_string(i) + "\n";
    struct Case {
        std::string text;
        std::optional<Path> artefact;
        std::string expected;
        bool kept;  // whether the log holds the text itself
    };
    const std::vector<Case> cases = {
        {"", std::nullopt, "out: (empty)\n", true},
        {"\n", std::nullopt, "out:\n  \n", true},
        {"a\r\nb\r", std::nullopt, "out:\n  a\n  b\r\n", true},
        {twenty, std::nullopt, listed, true},
        {twenty_one, std::nullopt, "out: 21 lines (long; use --keep-artefacts to dump)\n", false},
        {"", Path("d/ours.txt"), "out → d/ours.txt  (0 lines)\n", false},
        {"x\n\n", Path("d/\xff.txt"), "out → d/\xef\xbf\xbd.txt  (2 lines)\n", false},
    };
    for (const auto& c : cases) {
        auto stream = capture(c.text, c.artefact);
        EXPECT_EQ(stream.text.has_value(), c.kept) << c.text;
        EXPECT_EQ(render_stream("out", stream), c.expected) << c.text;
    }
}

TEST(SessionLog, WritesTheLogFileCreatingItsDirectory) {
    TempDir dir;
    SessionLog log("m", "lts");
    log.note("hello");
    auto target = dir.path / "a" / "b";
    ASSERT_TRUE(log.write_to(target, "SKIP", "").has_value());
    ASSERT_TRUE(log.write_to(target, "PASS", "").has_value());
    auto text = read_file(target / "log");
    EXPECT_TRUE(text.starts_with("== tolvern: m (lts)  PASS  ")) << text;
    EXPECT_TRUE(text.ends_with("ms ==\n\n[note] hello\n")) << text;

    testing::write_file(dir.path / "file", "x");
    auto failed = log.write_to(dir.path / "file" / "sub", "PASS", "");
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error(), std::errc::not_a_directory);
}

TEST(ModelOutDir, CreatesNestedDirectoriesConcurrently) {
    TempDir dir;
    auto base = dir.path / "outputs" / "tolvern";
    std::vector<std::thread> threads;
    std::vector<std::expected<Path, std::string>> made(16);
    for (std::size_t i = 0; i < made.size(); ++i)
        threads.emplace_back([&, i] {
            made[i] = ModelOutDir::create(base, "lts", "model" + std::to_string(i % 4));
        });
    for (auto& thread : threads) thread.join();
    for (std::size_t i = 0; i < made.size(); ++i) {
        ASSERT_TRUE(made[i].has_value()) << made[i].error();
        EXPECT_EQ(*made[i], base / "lts" / ("model" + std::to_string(i % 4)));
        EXPECT_TRUE(std::filesystem::is_directory(*made[i]));
    }
}

// The names in the directory, sorted; hidden ones only when asked for.
std::vector<std::string> names_in(const Path& dir, bool hidden = true) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        auto name = entry.path().filename().string();
        if (hidden || !name.starts_with('.')) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ModelOutDir, WritesAndReplacesFilesWhole) {
    TempDir dir;
    auto first = ModelOutDir::write(dir.path, "ours.aut", "long first content");
    ASSERT_TRUE(first.has_value());
    // A reader of the old file reads it to its end: the new file takes its name rather than
    // writing over its bytes.
    std::ifstream reader(*first, std::ios::binary);
    auto second = ModelOutDir::write(dir.path, "ours.aut", std::string("a\0b", 3));
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*second, dir.path / "ours.aut");
    EXPECT_EQ(read_file(*second), std::string("a\0b", 3));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), "long first content");
    // A shorter file replaces a longer one whole, and a read-only one is replaced as well; every
    // file has the mode of a new one.
    ASSERT_TRUE(ModelOutDir::write(dir.path, "log", "xy").has_value());
    EXPECT_EQ(read_file(dir.path / "log"), "xy");
    std::filesystem::permissions(dir.path / "log", std::filesystem::perms::owner_read);
    ASSERT_TRUE(ModelOutDir::write(dir.path, "log", "z").has_value());
    ASSERT_TRUE(ModelOutDir::write(dir.path, "ours.aut", "w").has_value());
    EXPECT_EQ(read_file(dir.path / "log"), "z");
    EXPECT_EQ(read_file(dir.path / "ours.aut"), "w");
    EXPECT_EQ(names_in(dir.path, false), (std::vector<std::string>{"log", "ours.aut"}));
    // Nothing of a directory's writes is left in another.
    std::filesystem::create_directory(dir.path / "sub");
    ASSERT_TRUE(ModelOutDir::write(dir.path / "sub", "ours.aut", "moved").has_value());
    EXPECT_EQ(read_file(dir.path / "sub" / "ours.aut"), "moved");
    EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"log", "ours.aut", "sub"}));
    EXPECT_EQ(names_in(dir.path / "sub"), std::vector<std::string>{"ours.aut"});
    auto mask = ::umask(0);
    ::umask(mask);
    for (auto name : {"log", "ours.aut"})
        EXPECT_EQ(std::filesystem::status(dir.path / name).permissions(),
                  std::filesystem::perms(0666 & ~mask))
            << name;

    auto missing = ModelOutDir::write(dir.path / "missing", "x", "y");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
}

// Ignores SIGXFSZ and caps the size of the files this process writes while it lives, so that a
// write past the cap fails with EFBIG; both restored as it goes.
struct FileSizeCap {
    struct rlimit before {};
    struct sigaction disposition {};

    explicit FileSizeCap(rlim_t bytes) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, &disposition);
        ::getrlimit(RLIMIT_FSIZE, &before);
        struct rlimit cap = before;
        cap.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &cap);
    }
    ~FileSizeCap() {
        ::setrlimit(RLIMIT_FSIZE, &before);
        ::sigaction(SIGXFSZ, &disposition, nullptr);
    }
};

TEST(ModelOutDir, AFailedWriteLeavesTheOldFileWholeAndNothingOfTheNew) {
    const std::string old_bytes(256, 'o');
    struct Case {
        std::string what;
        std::string old_file;  // where the old bytes are, under the directory
        rlim_t cap;
        std::errc error;
    } cases[] = {
        {"halfway, past the file-size limit", "ours.aut", 64, std::errc::file_too_large},
        {"over a directory", "ours.aut/kept", RLIM_INFINITY, std::errc::is_a_directory},
    };
    for (const auto& c : cases) {
        TempDir dir;
        testing::write_file(dir.path / c.old_file, old_bytes);
        std::expected<Path, std::error_code> written;
        {
            FileSizeCap cap(c.cap);
            written = ModelOutDir::write(dir.path, "ours.aut", std::string(1024, 'n'));
        }
        ASSERT_FALSE(written.has_value()) << c.what;
        EXPECT_EQ(written.error(), c.error) << c.what;
        EXPECT_EQ(read_file(dir.path / c.old_file), old_bytes) << c.what;
        EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"ours.aut"}) << c.what;
    }
}

}  // namespace
}  // namespace tolvern::log
