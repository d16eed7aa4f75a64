// Tests of the POSIX wrappers where they decide something of their own: read deadlines, writes
// into a closed pipe, the child's environment and signals, and saturating deadlines.
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

TEST(PosixRead, GivesUpAtItsDeadlineAndKeepsWhatCame) {
    auto pipe = make_pipe();
    ASSERT_TRUE(pipe);
    ASSERT_TRUE(write_all(pipe->write.fd, "abc"));
    std::string text = ">";
    auto until = Clock::now() + 50ms;
    auto read = read_to_end(pipe->read.fd, text, until);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error(), ETIMEDOUT);
    EXPECT_EQ(text, ">abc");

    pipe->write.reset();
    EXPECT_TRUE(read_to_end(pipe->read.fd, text));
    EXPECT_EQ(read_some(pipe->read.fd, text), 0u);
    EXPECT_EQ(text, ">abc");
}

TEST(PosixWrite, AClosedPipeIsAnErrorNotASignal) {
    // The process-wide disposition is the default one here, so a raised signal would end the test.
    auto previous = ::signal(SIGPIPE, SIG_DFL);
    auto pipe = make_pipe();
    ASSERT_TRUE(pipe);
    pipe->read.reset();
    auto written = write_to_pipe(pipe->write.fd, "lost");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), EPIPE);
    ::signal(SIGPIPE, previous);
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
