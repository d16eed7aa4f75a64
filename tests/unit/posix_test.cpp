// Tests of the POSIX wrappers where they decide something of their own: writes into a full or
// closed pipe, the owned child and the stop that ends them all, the child's environment and
// signals, and saturating deadlines.
#include "posix.hpp"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "posix_internal.hpp"

namespace tolvern::posix {
namespace {

using namespace std::chrono_literals;

TEST(PosixWrite, AFullPipeTakesNothingAndAClosedOneIsAnErrorNotASignal) {
    // The process-wide disposition is the default one here, so a raised signal would end the test.
    auto previous = ::signal(SIGPIPE, SIG_DFL);
    auto pipe = make_pipe();
    ASSERT_TRUE(pipe);
    ASSERT_TRUE(set_nonblocking(pipe->write.fd));
    std::string block(1 << 20, 'x');
    std::size_t taken = 0;
    while (auto written = write_some_to_pipe(pipe->write.fd, block)) {
        if (*written == 0) break;
        taken += *written;
    }
    EXPECT_GT(taken, 0u);
    EXPECT_EQ(write_some_to_pipe(pipe->write.fd, "more"), 0u);
    pipe->read.reset();
    auto written = write_some_to_pipe(pipe->write.fd, "lost");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), EPIPE);
    ::signal(SIGPIPE, previous);
}

// Whether this process has any child, running or unreaped; none is reaped by asking.
bool has_children() {
    siginfo_t info{};
    return !(::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD);
}

TEST(PosixChild, ADroppedChildIsKilledAndReapedAndAnEndedOneKeepsItsStatus) {
    {
        auto child = Child::start({.program = "/bin/sleep", .args = {"30"}});
        ASSERT_TRUE(child);
        EXPECT_TRUE(child->running());
        EXPECT_EQ(child->poll(), false);
        auto moved = std::move(*child);
        EXPECT_FALSE(child->running());
        EXPECT_TRUE(moved.running());
    }
    EXPECT_FALSE(has_children());

    auto child = Child::start({.program = "/bin/sh", .args = {"-c", "exit 7"}});
    ASSERT_TRUE(child);
    while (child->running()) ASSERT_TRUE(child->poll());
    EXPECT_EQ(child->exit_fd(), -1);
    // Seen to exit, it is kept unreaped until it is ended, so its group can still be signalled.
    EXPECT_TRUE(has_children());
    child->end();
    EXPECT_TRUE(WIFEXITED(child->status()) && WEXITSTATUS(child->status()) == 7);
    EXPECT_FALSE(has_children());
}

// Whether the process runs (a zombie does not: it only waits for its parent).
bool running_process(pid_t pid) {
    std::string stat;
    FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (file == nullptr) return ::kill(pid, 0) == 0;
    char buffer[512];
    stat.assign(buffer, std::fread(buffer, 1, sizeof buffer, file));
    std::fclose(file);
    auto state = stat.find(") ");
    return state != std::string::npos && stat[state + 2] != 'Z';
}

TEST(PosixChild, EndingAChildEndsWhatItStartedInItsGroup) {
    // The grandchild keeps no pipe and ignores the signals a shell would send: only the kill of
    // the group reaches it. One child is ended while it runs, one after it has exited.
    for (std::string script :
         {"sleep 30 >/dev/null & echo $!; wait", "sleep 30 >/dev/null & echo $!"}) {
        auto out = make_pipe();
        ASSERT_TRUE(out);
        auto child = Child::start({.program = "/bin/sh",
                                   .args = {"-c", "trap '' INT TERM HUP; " + script},
                                   .standard = {-1, out->write.fd, -1}});
        ASSERT_TRUE(child);
        out->write.reset();
        std::string text;
        while (text.find('\n') == std::string::npos) ASSERT_TRUE(read_some(out->read.fd, text));
        pid_t grandchild = std::stoi(text);
        EXPECT_TRUE(running_process(grandchild)) << script;
        child->end();
        // The kill is sent at once; how soon the grandchild is gone is up to the system.
        for (int i = 0; i < 6'000 && running_process(grandchild); ++i) ::usleep(10'000);
        EXPECT_FALSE(running_process(grandchild)) << script;
    }
}

// Runs `end_all_children` on a thread of its own while a child's start is under way, and names
// the child's pid in its slot before that or `named_after` it began: 0 when the child then died
// of its SIGKILL, 1 when it was missed, 2 when nothing could be set up.
int end_of_a_start_under_way(std::optional<std::chrono::milliseconds> named_after) {
    auto slot = claim_slot();
    auto pid = spawn({.program = "/bin/sleep", .args = {"30"}}, true);
    if (!slot || !pid) return 2;
    if (!named_after) name_pid(*slot, *pid);
    std::atomic<bool> stopping{false};
    std::thread stop([&] {
        stopping = true;
        end_all_children();
    });
    if (named_after) {
        while (!stopping) std::this_thread::yield();
        std::this_thread::sleep_for(*named_after);
        name_pid(*slot, *pid);
    }
    stop.join();
    // A child that the stop missed ends here, of another signal.
    ::kill(*pid, SIGTERM);
    auto status = wait_exit(*pid);
    if (!status) return 2;
    std::fprintf(stderr, "wait status %d\n", *status);
    return WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL ? 0 : 1;
}

TEST(PosixChild, AStopKillsAStartUnderWayOnceItHasItsPid) {
    // A spawn has its pid only once the child has exec'd, which a loaded machine or a slow file
    // system can hold back for seconds. `end_all_children` closes the table for good, so each
    // case runs in a process of its own.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        std::string what;
        std::optional<std::chrono::milliseconds> named_after;
    } cases[] = {
        {"named before the stop", std::nullopt},
        {"named while the stop waits", 500ms},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(std::_Exit(end_of_a_start_under_way(c.named_after)),
                    ::testing::ExitedWithCode(0), "")
            << c.what;
    }
}

TEST(PosixEnvironment, AdditionsReplaceInheritedNamesAndTheLastOneWins) {
    ::setenv("TOLVERN_POSIX_TEST", "inherited", 1);
    auto env = environment_with({{"TOLVERN_POSIX_TEST", "first"},
                                 {"TOLVERN_POSIX_OTHER", "x"},
                                 {"TOLVERN_POSIX_TEST", "last"}});
    ::unsetenv("TOLVERN_POSIX_TEST");
    std::vector<std::string> ours;
    for (const auto& pair : env)
        if (pair.starts_with("TOLVERN_POSIX_")) ours.push_back(pair);
    EXPECT_EQ(ours, (std::vector<std::string>{"TOLVERN_POSIX_OTHER=x", "TOLVERN_POSIX_TEST=last"}));
}

TEST(PosixSpawn, ChildGetsDefaultSignalsButTheStopSignalsItWasStartedIgnoringAndItsDescriptors) {
    // An ignored signal would be inherited. The child must die of SIGUSR1 all the same, but keep
    // ignoring SIGTERM, which a user ignores for the whole session (nohup, a background job).
    auto previous_usr1 = ::signal(SIGUSR1, SIG_IGN);
    auto previous_term = ::signal(SIGTERM, SIG_IGN);
    auto out = make_pipe();
    ASSERT_TRUE(out);
    auto pid = spawn({.program = "sh",
                      .search_path = true,
                      .args = {"-c",
                               "pwd; read line || echo eof; kill -TERM $$; echo ignored; "
                               "kill -USR1 $$; echo survived"},
                      .env = environment_with({}),
                      .standard = {-1, out->write.fd, out->write.fd},
                      .cwd = "/"});
    ::signal(SIGTERM, previous_term);
    ::signal(SIGUSR1, previous_usr1);
    ASSERT_TRUE(pid) << error_text(pid.error());
    out->write.reset();
    std::string text;
    EXPECT_TRUE(read_to_end(out->read.fd, text));
    auto status = wait_exit(*pid);
    ASSERT_TRUE(status);
    EXPECT_EQ(text, "/\neof\nignored\n");
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGUSR1);
    EXPECT_FALSE(poll_exit(*pid));
}

TEST(PosixSpawn, ABareNameIsLookedUpOnlyWhenAsked) {
    auto pid = spawn({.program = "sh", .args = {"-c", "exit 0"}});
    ASSERT_FALSE(pid);
    EXPECT_EQ(pid.error(), ENOENT);
}

TEST(PosixDeadline, SaturatesAndNeverLiesBeforeItsStart) {
    auto start = Clock::now();
    EXPECT_EQ(deadline_after(start, Duration::max()), Clock::time_point::max());
    EXPECT_EQ(deadline_after(start, -5s), start);
    EXPECT_EQ(deadline_after(start, 3s), start + 3s);
    EXPECT_GE(since(start), Duration::zero());
}

}  // namespace
}  // namespace tolvern::posix
