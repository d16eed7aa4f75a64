// Tests of the POSIX wrappers where they decide something of their own: writes into a full or
// closed pipe, the owned child, the child's environment and signals, and saturating deadlines.
#include "posix.hpp"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <string>
#include <vector>

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

// Whether this process has any child, running or unreaped.
bool has_children() {
    int status;
    return !(::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD);
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
    EXPECT_TRUE(WIFEXITED(child->status()) && WEXITSTATUS(child->status()) == 7);
    EXPECT_EQ(child->exit_fd(), -1);
    EXPECT_FALSE(has_children());
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

TEST(PosixSpawn, ChildGetsDefaultSignalsAndItsDescriptors) {
    auto previous = ::signal(SIGTERM, SIG_IGN);
    auto out = make_pipe();
    ASSERT_TRUE(out);
    // An ignored SIGTERM would be inherited; the child must die of it all the same.
    auto pid = spawn({.program = "sh",
                      .search_path = true,
                      .args = {"-c", "pwd; read line || echo eof; kill -TERM $$; echo survived"},
                      .env = environment_with({}),
                      .standard = {-1, out->write.fd, out->write.fd},
                      .cwd = "/"});
    ::signal(SIGTERM, previous);
    ASSERT_TRUE(pid) << error_text(pid.error());
    out->write.reset();
    std::string text;
    EXPECT_TRUE(read_to_end(out->read.fd, text));
    auto status = wait_exit(*pid);
    ASSERT_TRUE(status);
    EXPECT_EQ(text, "/\neof\n");
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
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
