// Tests of the tool runner with /bin/sh scripts as children: captured streams, exit codes,
// spawn and time-limit failures, input delivery, and that no descriptor or child is left over.
#include "runner.hpp"

#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <thread>
#include <vector>

#include "support.hpp"

namespace tolvern::runner {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;
using testing::write_file;

Invocation shell(std::string script, Duration timeout = std::chrono::seconds(60)) {
    return Invocation{"/bin/sh", {"-c", std::move(script)}, {}, std::nullopt, std::nullopt,
                      timeout};
}

Exited expect_exited(const Outcome& outcome) {
    if (auto* exited = std::get_if<Exited>(&outcome)) return *exited;
    if (auto* error = std::get_if<SpawnError>(&outcome))
        ADD_FAILURE() << "spawn error: " << error->message;
    else
        ADD_FAILURE() << "timed out";
    return {};
}

std::string expect_spawn_error(const Outcome& outcome) {
    if (auto* error = std::get_if<SpawnError>(&outcome)) return error->message;
    ADD_FAILURE() << "expected a spawn error";
    return {};
}

// Open descriptors of this process; the directory listing's own descriptor is not counted.
std::size_t open_descriptors() {
#ifdef __linux__
    const char* dir_name = "/proc/self/fd";
#else
    const char* dir_name = "/dev/fd";
#endif
    DIR* dir = ::opendir(dir_name);
    std::size_t count = 0;
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
    return count;
}

// Whether this process has any child, running or unreaped.
bool has_children() {
    int status;
    return !(::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD);
}

TEST(Runner, CapturesStreamsAndExitCodes) {
    struct Case {
        std::string script;
        std::string out;
        std::string err;
        int code;
    };
    const std::vector<Case> cases = {
        {"printf a; printf b >&2; exit 3", "a", "b", 3},
        {"printf 'line\\r\\n'", "line\r\n", "", 0},
        {"kill -KILL $$", "", "", -1},
        {"kill -TERM $$", "", "", -1},
        // In a stream that is not valid UTF-8 each invalid sequence becomes U+FFFD; the other
        // stream stays as it is.
        {"printf 'ok\\377'; printf 'fine' >&2", "ok\uFFFD", "fine", 0},
        {"printf '\\377'; printf '\\300\\200x' >&2", "\uFFFD", "\uFFFDx", 0},
        {"printf '\\316\\273'", "\xce\xbb", "", 0},
        // No input given: standard input is the null device, so cat ends at once.
        {"cat; echo end", "end\n", "", 0},
    };
    for (const auto& c : cases) {
        auto exited = expect_exited(run(shell(c.script)));
        EXPECT_EQ(exited.stdout_text, c.out) << c.script;
        EXPECT_EQ(exited.stderr_text, c.err) << c.script;
        EXPECT_EQ(exited.code, c.code) << c.script;
        EXPECT_GE(exited.elapsed.count(), 0);
    }
}

TEST(Runner, ReportsWhatCannotBeStarted) {
    TempDir dir;
    write_file(dir.path / "not-executable", "#!/bin/sh\n");
    auto missing_cwd = shell("true");
    missing_cwd.cwd = dir.path / "missing";
    auto no_exec = shell("true");
    no_exec.program = dir.path / "not-executable";
    auto bare = shell("true");
    bare.program = "tolvern-no-such-program";

    EXPECT_EQ(expect_spawn_error(run(bare)),
              "spawn tolvern-no-such-program: No such file or directory");
    EXPECT_EQ(expect_spawn_error(run(missing_cwd)), "spawn /bin/sh: No such file or directory");
    EXPECT_EQ(expect_spawn_error(run(no_exec)),
              "spawn " + no_exec.program.string() + ": Permission denied");
}

TEST(Runner, FindsBareNamesOnPathAndRunsInTheWorkingDirectory) {
    TempDir dir;
    auto invocation = shell("pwd");
    invocation.program = "sh";
    invocation.cwd = dir.path;
    auto exited = expect_exited(run(invocation));
    EXPECT_EQ(exited.stdout_text, std::filesystem::canonical(dir.path).string() + "\n");
}

TEST(Runner, EnvironmentAdditionsReplaceInheritedValuesForTheChildOnly) {
    ::setenv("TOLVERN_RUNNER_TEST", "outer", 1);
    auto invocation = shell("printf '%s %s' \"$TOLVERN_RUNNER_TEST\" \"$TOLVERN_RUNNER_NEW\"");
    invocation.env = {{"TOLVERN_RUNNER_TEST", "first"},
                      {"TOLVERN_RUNNER_NEW", "new"},
                      {"TOLVERN_RUNNER_TEST", "second"}};
    EXPECT_EQ(expect_exited(run(invocation)).stdout_text, "second new");
    EXPECT_STREQ(::getenv("TOLVERN_RUNNER_TEST"), "outer");
    EXPECT_EQ(::getenv("TOLVERN_RUNNER_NEW"), nullptr);
}

TEST(Runner, ChildrenStartWithDefaultSignalHandling) {
    // This process ignores SIGPIPE and blocks SIGTERM; a shell keeps a signal ignored at entry
    // ignored, so only a child started with the defaults dies of these.
    auto old = ::signal(SIGPIPE, SIG_IGN);
    sigset_t term, old_mask;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &term, &old_mask);
    auto piped = expect_exited(run(shell("kill -PIPE $$; exit 0")));
    auto terminated = expect_exited(run(shell("kill -TERM $$; exit 0")));
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    ::signal(SIGPIPE, old);
    EXPECT_EQ(piped.code, -1);
    EXPECT_EQ(terminated.code, -1);
}

TEST(Runner, DeliversInputCompletely) {
    std::string big(5'000'000, 'x');
    for (std::size_t i = 0; i < big.size(); i += 1000) big[i] = '\n';
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"hello\n", "hello\n"},
        {"", ""},
        {big, big},
        {std::string("\xff\x00z", 3), std::string("\uFFFD\0z", 5)}};
    for (const auto& [input, expected] : cases) {
        auto invocation = shell("cat; echo done >&2");
        invocation.stdin_bytes = input;
        auto exited = expect_exited(run(invocation));
        EXPECT_EQ(exited.stdout_text.size(), expected.size());
        EXPECT_TRUE(exited.stdout_text == expected);
        EXPECT_EQ(exited.stderr_text, "done\n");
    }
}

TEST(Runner, ChildClosingItsInputEarlyDoesNotHurtTheRunner) {
    // SIGPIPE keeps its default disposition here: the writer must not raise it.
    auto old = ::signal(SIGPIPE, SIG_DFL);
    auto invocation = shell("exec 0<&-; echo closed");
    invocation.stdin_bytes = std::string(20'000'000, 'i');
    auto exited = expect_exited(run(invocation));
    ::signal(SIGPIPE, old);
    EXPECT_EQ(exited.stdout_text, "closed\n");
    EXPECT_EQ(exited.code, 0);
}

// The text `yes line | head -c size` writes.
std::string repeated(std::string_view line, std::size_t size) {
    std::string text;
    while (text.size() < size) text.append(line).push_back('\n');
    text.resize(size);
    return text;
}

TEST(Runner, CapturesTensOfMegabytesOnBothStreams) {
    auto exited =
        expect_exited(run(shell("yes 0123456789abcdef | head -c 30000000 >&2 & "
                                "yes fedcba9876543210 | head -c 30000000; wait")));
    EXPECT_TRUE(exited.stdout_text == repeated("fedcba9876543210", 30'000'000));
    EXPECT_TRUE(exited.stderr_text == repeated("0123456789abcdef", 30'000'000));
}

TEST(Runner, KillsAndReapsAtTheTimeLimit) {
    const std::vector<std::pair<std::string, Duration>> cases = {
        {"echo started; exec sleep 30", Duration::zero()},
        {"echo started; exec sleep 30", 1s},
        {"trap '' TERM INT HUP; echo started; sleep 30; exit 0", 1s},
        // A flood on both streams does not hold back the deadline.
        {"yes | head -c 100000000 >&2 & yes | head -c 100000000; exec sleep 30", 1s},
    };
    for (const auto& [script, limit] : cases) {
        auto outcome = run(shell(script, limit));
        auto* timed_out = std::get_if<TimedOut>(&outcome);
        ASSERT_NE(timed_out, nullptr) << script << " " << limit.count();
        EXPECT_GE(timed_out->elapsed, limit);
        EXPECT_FALSE(has_children());
    }
}

std::size_t thread_count() {
    std::error_code error;
    auto tasks = std::filesystem::directory_iterator("/proc/self/task", error);
    return error ? 0
                 : static_cast<std::size_t>(
                       std::distance(tasks, std::filesystem::directory_iterator()));
}

TEST(Runner, NothingOfATimedOutRunOutlivesIt) {
    // The shell's own child keeps both output pipes open after the shell is killed.
    // A sanitizer may start a helper thread of its own with the first thread; let it do so now.
    std::thread([] {}).join();
    auto descriptors = open_descriptors();
    auto threads = thread_count();
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t) {
        workers.emplace_back([] {
            for (int i = 0; i < 25; ++i)
                EXPECT_TRUE(
                    std::holds_alternative<TimedOut>(run(shell("sleep 3 & exec sleep 30", 50ms))));
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(thread_count(), threads);
    EXPECT_FALSE(has_children());
}

TEST(Runner, EndsARunWhoseOutputPassesItsCap) {
    struct Case {
        std::string script, message;
        Duration ran_at_least;
    } cases[] = {
        {"exec yes", "standard output passed its cap of 256 MiB", {}},
        {"exec yes >&2", "standard error passed its cap of 256 MiB", {}},
        {"sleep 30 & exec yes", "standard output passed its cap of 256 MiB", {}},
        {"sleep 1; exec yes", "standard output passed its cap of 256 MiB", 1s},
    };
    for (const auto& c : cases) {
        auto outcome = run(shell(c.script));
        EXPECT_EQ(expect_spawn_error(outcome), c.message) << c.script;
        if (auto* error = std::get_if<SpawnError>(&outcome)) {
            EXPECT_GE(error->elapsed, c.ran_at_least) << c.script;
            EXPECT_GT(error->elapsed, Duration::zero()) << c.script;
        }
        EXPECT_FALSE(has_children());
    }
}

TEST(Runner, UnlimitedTimeLimitRunsToTheEnd) {
    auto exited = expect_exited(run(shell("echo ok", Duration::max())));
    EXPECT_EQ(exited.stdout_text, "ok\n");
}

TEST(Runner, LeavesNoDescriptorOrChildBehind) {
    auto descriptors = open_descriptors();
    ASSERT_FALSE(has_children());
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 125; ++i) {
                auto invocation = shell(i % 2 ? "cat; echo err >&2" : "echo out");
                if (i % 2) invocation.stdin_bytes = "in";
                if (i % 25 == 0) invocation.program = "tolvern-no-such-program";
                auto outcome = run(invocation);
                if (i % 25 == 0)
                    EXPECT_TRUE(std::holds_alternative<SpawnError>(outcome)) << t;
                else
                    EXPECT_EQ(expect_exited(outcome).code, 0) << t;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_FALSE(has_children());
}

TEST(Runner, AProcessHoldingThePipesAfterTheChildExitsDoesNotHangTheRun) {
    // The background sleep keeps standard output open; the run returns at its deadline with
    // what was read, and closes its end of the pipes.
    auto exited = expect_exited(run(shell("sleep 30 & echo $!", 1s)));
    EXPECT_EQ(exited.code, 0);
    ASSERT_FALSE(exited.stdout_text.empty());
    ::kill(std::stoi(exited.stdout_text), SIGKILL);
}

}  // namespace
}  // namespace tolvern::runner
