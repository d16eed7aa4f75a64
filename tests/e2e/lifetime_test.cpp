// Nothing of a session outlives it, and nothing reads as success when it was not: time limits
// and signals end what the tools started too, ignored signals stay ignored, a standard output
// that cannot be written ends the session, and a process limit narrows the pool.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "support.hpp"

namespace {

using namespace tolvern::testing;

// Gives the stop signals their default disposition in this process, and so in what it starts:
// the tests choose which of them tolvern starts ignoring, whatever the runner of the tests
// ignores.
void default_stop_signals() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_DFL);
}

// Whether the process runs (a zombie left to init does not).
bool running(const std::string& pid) {
    return run_program("/bin/sh", {"-c", "ps -o stat= -p " + pid + " | grep -qv Z"}, "/").code == 0;
}

// Three models for each of parsing and misc whose tool starts a program of its own and waits for
// it. Both ignore the stop signals and hold no pipe of tolvern's, so that only the kill of the
// process group ends them; each notes its pid in started/. Temporary files go to tmp/.
struct StallCorpus : Corpus {
    fs::path started = root / "started";
    fs::path tmp = root / "tmp";

    StallCorpus() {
        fs::create_directories(started);
        fs::create_directories(tmp);
        auto stall = "trap '' INT TERM HUP; sleep 60 </dev/null >/dev/null 2>&1 & echo $! > " +
                     started.string() + "/$!; echo $$ > " + started.string() + "/$$; wait\n";
        write_file(root / "slow", "#!/bin/sh\n" + stall);
        fs::permissions(root / "slow", fs::perms::owner_all);
        for (std::string name : {"a", "b", "c"}) {
            model(name, false);
            files(name, {{name + ".svk", ""}, {"baseline/lts.aut", "des (0,0,1)\n"}});
        }
        for (auto name : {"misc_a", "misc_b", "misc_c"}) {
            model(name, false);
            files(name, {{"run.sh", stall}});
        }
    }

    // Runs a bash script that starts tolvern as `launch` describes it, in the background as
    // $pid, and once two tools and their programs run, goes on with `then`; its output is
    // tolvern's exit status.
    Run session(const std::string& launch, const std::string& args, const std::string& then) {
        auto script = launch + TOLVERN_BIN.string() + " --kestrin ./slow -j 2 " + args +
                      " >out 2>err & pid=$!\n"
                      "while [ $(ls started | wc -l) -lt 4 ]; do sleep 0.01; done\n" +
                      then + "\nwait $pid; echo $?\n";
        return run_program("/bin/bash", {"-c", script}, root,
                           {{"NO_COLOR", "1"}, {"TMPDIR", tmp.string()}});
    }

    std::vector<std::string> left_running() const {
        std::vector<std::string> pids;
        for (const auto& entry : fs::directory_iterator(started))
            if (running(entry.path().filename().string()))
                pids.push_back(entry.path().filename().string());
        return pids;
    }
};

TEST(Lifetime, TimeLimitsAndSignalsEndEveryProgramOfTheToolsAndTheReportSaysWhatHappened) {
    const std::string job_control = "set -m\n";
    struct Case {
        std::string what;
        std::string launch;
        std::string args;
        std::string then;
        int code;
        std::string out_end;  // how standard output ends
        std::string err;      // standard error; "-" where it is not asked
        bool cleaned = true;  // whether the checks cut short could remove their temporary files
    } cases[] = {
        {"SIGINT", job_control, "--category parsing", "kill -INT $pid", 130,
         "\n=== summary ===\ncategory         PASS   FAIL  XFAIL   SKIP\n",
         "interrupted by SIGINT: 3 model checks not finished\n"},
        {"SIGTERM in checks that keep a log", job_control, "--category lts", "kill -TERM $pid", 143,
         "\n=== summary ===\ncategory         PASS   FAIL  XFAIL   SKIP\n",
         "interrupted by SIGTERM: 3 model checks not finished\n"},
        {"SIGTERM, TAP", job_control, "--category misc --output tap", "kill -TERM $pid", 143,
         "Bail out! interrupted by SIGTERM\n",
         "interrupted by SIGTERM: 3 model checks not finished\n"},
        {"SIGHUP, JSON", job_control, "--category parsing --output json", "kill -HUP $pid", 129,
         R"({"summary":{},"unexpected_passes":[],"interrupted":"SIGHUP"})"
         "\n",
         "interrupted by SIGHUP: 3 model checks not finished\n"},
        // The second signal ends the process at once, before any cleanup.
        {"two quick SIGINTs", job_control, "--category misc", "kill -INT $pid; kill -INT $pid", 130,
         "", "-", false},
        {"a time limit", job_control, "--category misc --timeout 1", "", 1,
         "misc                0      3      0      0\n", ""},
        {"SIGHUP under nohup", job_control + "nohup ", "--category parsing --timeout 1",
         "kill -HUP $pid", 1, "parsing             0      3      0      0\n", "-"},
        {"SIGINT to a background job", "", "--category misc --timeout 1", "kill -INT $pid", 1,
         "misc                0      3      0      0\n", ""},
    };
    default_stop_signals();
    for (const auto& c : cases) {
        StallCorpus corpus;
        auto run = corpus.session(c.launch, c.args, c.then);
        EXPECT_EQ(run.out, std::to_string(c.code) + "\n") << c.what;
        auto out = read_file(corpus.root / "out");
        EXPECT_TRUE(out.ends_with(c.out_end)) << c.what << "\n" << out;
        if (c.err != "-") {
            EXPECT_EQ(read_file(corpus.root / "err"), c.err) << c.what;
        }
        EXPECT_EQ(corpus.left_running(), std::vector<std::string>()) << c.what;
        // A check cut short says so in its session log, rather than read as its result.
        for (const auto& entry : fs::recursive_directory_iterator(corpus.root / "build"))
            if (entry.path().filename() == "log") {
                EXPECT_TRUE(read_file(entry.path()).contains("\nreason: interrupted by SIG"))
                    << c.what << ": " << entry.path();
            }
        // The misc checks' scratch directories went with them.
        if (c.cleaned) {
            EXPECT_TRUE(fs::is_empty(corpus.tmp)) << c.what;
        }
    }
}

TEST(Lifetime, AStopEndsTheSessionWhenNobodyReadsItsOutput) {
    default_stop_signals();
    Corpus corpus;
    // Long names fill the pipe's buffer long before the last result.
    for (int i = 0; i < 300; ++i) corpus.model("m" + std::to_string(i) + std::string(200, 'x'));
    auto script = "mkfifo fifo; (exec 3<fifo; sleep 30) >/dev/null & reader=$!\n" +
                  TOLVERN_BIN.string() + " --kestrin " + KESTRIN_STANDIN.string() +
                  " --category parsing >fifo 2>err & pid=$!\n"
                  "(sleep 20; kill -KILL $pid) >/dev/null 2>&1 & watchdog=$!\n"
                  "sleep 1; kill -TERM $pid; wait $pid; echo $?; kill $reader $watchdog\n";
    auto run = run_program("/bin/bash", {"-c", script}, corpus.root);
    EXPECT_EQ(run.out, "143\n");
}

TEST(Lifetime, AStandardOutputThatCannotBeWrittenEndsTheSessionAndItsStatusSaysSo) {
    struct Case {
        std::string output;
        int code;
        std::string err;
    } cases[] = {
        {"> /dev/full", 74, "error: standard output: No space left on device\n"},
        // The reader takes one line and goes: the next result cannot be written.
        {"| head -1 >/dev/null", 141, ""},
    };
    for (const auto& c : cases) {
        Corpus corpus;
        auto started = corpus.root / "started";
        fs::create_directories(started);
        for (auto name : {"misc_1", "misc_2", "misc_3", "misc_4"}) {
            corpus.model(name, false);
            corpus.files(name, {{"run.sh", "echo $$ > " + started.string() + "/$$; sleep 1\n"}});
        }
        auto script = TOLVERN_BIN.string() + " -j 1 --category misc 2>err " + c.output +
                      "; echo ${PIPESTATUS[0]}";
        auto run = run_program("/bin/bash", {"-c", script}, corpus.root);
        EXPECT_EQ(run.out, std::to_string(c.code) + "\n") << c.output;
        EXPECT_EQ(read_file(corpus.root / "err"), c.err) << c.output;
        // Nothing new starts once the write failed.
        auto runs = std::distance(fs::directory_iterator(started), fs::directory_iterator());
        EXPECT_LT(runs, 4) << c.output;
    }
}

TEST(Lifetime, AProcessLimitNarrowsThePoolOrStopsTheStart) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the leak check at exit needs a thread of its own, which the limit refuses";
#endif
    // The limit counts every process of the user: one that runs nothing else is needed.
    auto unprivileged = unprivileged_prefix(64'977);
    if (!unprivileged || unprivileged->empty())
        GTEST_SKIP() << "needs root, to meet a process limit as a user who runs nothing else";
    Corpus corpus;
    for (int i = 0; i < 20; ++i) corpus.model("m" + std::to_string(i));
    fs::permissions(corpus.root, fs::perms::all);
    struct Case {
        int limit;
        int code;
        std::string out_end;
        std::string err;
    } cases[] = {
        // Room for the threads tolvern needs and a narrower pool: every result is reported.
        {5, 0, "parsing            20      0      0      0\n", ""},
        // No room for a single tool.
        {3, 2, "", "error: cannot start a thread: Resource temporarily unavailable\n"},
    };
    for (const auto& c : cases) {
        auto script = *unprivileged + "bash -c 'ulimit -u " + std::to_string(c.limit) + "; exec " +
                      TOLVERN_BIN.string() + " --kestrin " + KESTRIN_STANDIN.string() +
                      " -j 8 --category parsing'";
        auto run = run_program("/bin/sh", {"-c", script}, corpus.root, {{"NO_COLOR", "1"}});
        EXPECT_EQ(run.code, c.code) << c.limit << "\n" << run.err;
        EXPECT_TRUE(run.out.ends_with(c.out_end)) << c.limit << "\n" << run.out;
        EXPECT_EQ(run.err, c.err) << c.limit;
    }
}

}  // namespace
