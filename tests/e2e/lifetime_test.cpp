// Nothing of a session outlives it, and nothing reads as success when it was not: time limits
// and signals end what the tools started too, ignored signals stay ignored, a standard output
// that cannot be written ends the session, and a process limit narrows the pool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "outputs.hpp"
#include "posix.hpp"
#include "support.hpp"
#include "text.hpp"

namespace {

using namespace tolvern::testing;
namespace posix = tolvern::posix;

// Gives the stop signals their default disposition in this process, and so in what it starts:
// the tests choose which of them tolvern starts ignoring, whatever the runner of the tests
// ignores.
void default_stop_signals() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(signal, SIG_DFL);
}

// Whether this build reports a fault signal itself: a report fails the sanitizers' run.
constexpr bool SANITIZERS_CATCH_FAULTS =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif

// Whether the process runs (a zombie left to init does not).
bool running(const std::string& pid) {
    return run_program("/bin/sh", {"-c", "ps -o stat= -p " + pid + " | grep -qv Z"}, "/").code == 0;
}

// Runs its arguments as a child, which keeps what the shell gave it (its group, the signals it
// ignores), and notes the child's pid in "pid" and how it ended in "ending": a shell's $? tells
// an exit from an end by a signal no more than it tells a core file.
const std::string REPORT_ENDING =
    "'defined(my $p = fork) or die; if (!$p) { exec @ARGV; exit 127 }\n"
    "open my $f, \">\", \"pid.new\"; print $f $p; close $f; rename \"pid.new\", \"pid\";\n"
    "waitpid $p, 0; open $f, \">\", \"ending\";\n"
    "print $f ($? & 127 ? \"signal \" . ($? & 127) . ($? & 128 ? \" core\" : \"\") : \"exit \" . "
    "($? >> 8))'";

// Three models for each of parsing and misc whose tool starts a program of its own and waits for
// it. Both ignore the stop signals and hold no pipe of tolvern's, so that only the kill of the
// process group ends them; each notes its pid in started/. Temporary files go to tmp/, where the
// misc scripts then leave enough files that removing them takes a while, and a file "ready".
struct StallCorpus : Corpus {
    fs::path started = root / "started";
    fs::path tmp = root / "tmp";

    StallCorpus() {
        fs::create_directories(started);
        fs::create_directories(tmp);
        auto stall =
            "trap '' INT TERM HUP QUIT\n"
            "sleep 60 </dev/null >/dev/null 2>&1 & echo $! > " +
            started.string() + "/$!; echo $$ > " + started.string() +
            "/$$\n"
            "[ -z \"$TOLVERN_TMPDIR\" ] || { for i in $(seq 2000); do : > f$i; done; : > ready; }\n"
            "wait\n";
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
    // $pid, and once two tools and their programs run, goes on with `then`. Its output is how
    // tolvern ended, as its parent saw it: "exit N", or "signal N" (with " core" when a core
    // file was written).
    Run session(const std::string& launch, const std::string& args, const std::string& then) {
        auto script = launch + "perl -e " + REPORT_ENDING + " " + TOLVERN_BIN.string() +
                      " --kestrin ./slow -j 2 " + args +
                      " >out 2>err & waiter=$!\n"
                      "until [ -s pid ]; do sleep 0.01; done; pid=$(cat pid)\n"
                      "while [ $(ls started | wc -l) -lt 4 ]; do sleep 0.01; done\n" +
                      then + "\nwait $waiter; cat ending\n";
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
    // No core file unless a case asks for one (a crash, say, would write one anywhere).
    const std::string job_control = "ulimit -S -c 0; set -m\n";
    const std::string may_dump_core = "ulimit -S -c $(ulimit -H -c)\n";
    // Waits until both running misc scripts have filled their scratch directories.
    const std::string scratch_filled =
        "until [ $(ls tmp/*/ready 2>/dev/null | wc -l) -ge 2 ]; do sleep 0.01; done\n";
    struct Case {
        std::string what;
        std::string launch;
        std::string args;
        std::string then;
        std::string ending;   // how tolvern ended
        std::string out_end;  // how standard output ends
        std::string err;      // standard error; "-" where it is not asked
        bool cleaned = true;  // whether the checks cut short could remove their temporary files
        bool fault = false;   // a signal that the sanitizers would report
    } cases[] = {
        {"SIGINT", job_control, "--category parsing", "kill -INT $pid", "signal 2",
         "\n=== summary ===\ncategory         PASS   FAIL  XFAIL   SKIP\n",
         "interrupted by SIGINT: 3 model checks not finished\n"},
        {"SIGTERM in checks that keep a log", job_control, "--category lts", "kill -TERM $pid",
         "signal 15", "\n=== summary ===\ncategory         PASS   FAIL  XFAIL   SKIP\n",
         "interrupted by SIGTERM: 3 model checks not finished\n"},
        {"SIGTERM, TAP", job_control, "--category misc --output tap", "kill -TERM $pid",
         "signal 15", "Bail out! interrupted by SIGTERM\n",
         "interrupted by SIGTERM: 3 model checks not finished\n"},
        {"SIGHUP, JSON", job_control, "--category parsing --output json", "kill -HUP $pid",
         "signal 1",
         R"({"summary":{},"unexpected_passes":[],"interrupted":"SIGHUP"})"
         "\n",
         "interrupted by SIGHUP: 3 model checks not finished\n"},
        {"SIGQUIT, JSON, where a core file could be written", job_control + may_dump_core,
         "--category misc --output json", "kill -QUIT $pid", "signal 3",
         R"({"summary":{},"unexpected_passes":[],"interrupted":"SIGQUIT"})"
         "\n",
         "interrupted by SIGQUIT: 3 model checks not finished\n"},
        // The second signal ends the process at once, but not before its temporary files went.
        {"two quick SIGINTs", job_control, "--category misc", "kill -INT $pid; kill -INT $pid",
         "signal 2", "", "-"},
        {"two SIGHUPs as a closed terminal sends them", job_control, "--category misc",
         scratch_filled + "kill -HUP $pid; sleep 0.002; kill -HUP $pid", "signal 1", "", "-"},
        // A crash ends tolvern by its signal, but not before what it started.
        {"SIGSEGV", job_control, "--category misc", "kill -SEGV $pid",
         "signal " + std::to_string(SIGSEGV), "", "", false, true},
        {"SIGABRT", job_control, "--category parsing", "kill -ABRT $pid",
         "signal " + std::to_string(SIGABRT), "", "", false, true},
        {"SIGUSR1", job_control, "--category misc", "kill -USR1 $pid",
         "signal " + std::to_string(SIGUSR1), "", "", false},
        {"a time limit", job_control, "--category misc --timeout 1", "", "exit 1",
         "misc                0      3      0      0\n", ""},
        {"SIGHUP under nohup", job_control + "nohup ", "--category parsing --timeout 1",
         "kill -HUP $pid", "exit 1", "parsing             0      3      0      0\n", "-"},
        {"SIGINT to a background job", "", "--category misc --timeout 1", "kill -INT $pid",
         "exit 1", "misc                0      3      0      0\n", ""},
    };
    default_stop_signals();
    for (const auto& c : cases) {
        if (c.fault && SANITIZERS_CATCH_FAULTS) continue;
        StallCorpus corpus;
        auto run = corpus.session(c.launch, c.args, c.then);
        EXPECT_EQ(run.out, c.ending) << c.what;
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

// Ctrl-C at a terminal signals the whole foreground group: the script that runs tolvern stops
// there, as it would around any other program, since tolvern ends by the signal once it has
// cleaned up. A shell goes on with its script when its program exited instead.
TEST(Lifetime, AStopSignalToTheGroupOfAScriptStopsTheScript) {
    default_stop_signals();
    Corpus corpus;
    corpus.model("m");
    corpus.files("m", {{"standin/parse.sleep", "600"}});
    const auto record = corpus.root / "runs";
    const auto loop = "for i in 1 2 3; do " + TOLVERN_BIN.string() + " --kestrin " +
                      KESTRIN_STANDIN.string() + " --category parsing; done";
    auto pid =
        posix::spawn({.program = "/bin/bash",
                      .args = {"-c", loop},
                      .env = posix::environment_with({{"KESTRIN_STANDIN_LOG", record.string()}}),
                      .cwd = corpus.root},
                     /*own_group=*/true);
    ASSERT_TRUE(pid);
    auto runs = [&] {
        auto text = read_file(record);
        return std::count(text.begin(), text.end(), '\n');
    };
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (runs() == 0 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(-*pid, SIGINT);
    // Until the loop ends, or a run of its second session shows that it went on.
    std::optional<int> status;
    while (!status && runs() < 2 && std::chrono::steady_clock::now() < give_up) {
        status = posix::poll_exit(*pid).value_or(std::nullopt);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!status) {
        // The shell goes first, so that stopping its session ends the loop.
        ::kill(*pid, SIGKILL);
        ::kill(-*pid, SIGTERM);
        status = posix::wait_exit(*pid).value_or(-1);
    }
    EXPECT_EQ(runs(), 1);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << *status;
}

TEST(Lifetime, AStopEndsTheSessionWhenNobodyReadsItsOutputAndSaysWhatWasNotWritten) {
    default_stop_signals();
    Corpus corpus;
    // Long names fill the pipe's buffer long before the last result, even when the stop finds
    // a check of every worker still running.
    constexpr int MODELS = 600;
    for (int i = 0; i < MODELS; ++i) corpus.model("m" + std::to_string(i) + std::string(200, 'x'));
    const auto session = TOLVERN_BIN.string() + " --kestrin " + KESTRIN_STANDIN.string() +
                         " -j 8 --category parsing";
    // The reader takes what the pipe holds only once tolvern has given up on it and ended. The
    // stop comes once every check has started, however slow the build.
    auto script =
        "mkfifo fifo; (exec 3<fifo; until [ -e ended ]; do sleep 0.05; done; "
        "cat <&3 >got) & reader=$!\n" +
        session +
        " >fifo 2>err & pid=$!\n"
        "(sleep 60; kill -KILL $pid) >/dev/null 2>&1 & watchdog=$!\n"
        "until [ \"$(wc -l < runs 2>/dev/null)\" -ge " +
        std::to_string(MODELS) +
        " ] || ! kill -0 $pid; do sleep 0.05; done\n"
        "kill -TERM $pid; wait $pid; echo $?; touch ended; wait $reader; kill $watchdog\n";
    auto run = run_program("/bin/bash", {"-c", script}, corpus.root,
                           {{"KESTRIN_STANDIN_LOG", (corpus.root / "runs").string()}});
    EXPECT_EQ(run.out, "143\n");

    // Every line of a session read to its end was either read from the pipe, or said not
    // written, or is the result of a check that the stop cut short: the stop may come before
    // the last checks ended, or after, while the session waited on the reader alone.
    auto whole = run_program("/bin/sh", {"-c", session + " | wc -l"}, corpus.root);
    auto err = read_file(corpus.root / "err");
    auto count_in = [&](std::string_view needle) -> std::size_t {
        auto lines = lines_with(err, needle);
        const std::string prefix = "interrupted by SIGTERM: ";
        EXPECT_LE(lines.size(), 1u) << err;
        if (lines.empty() || !lines[0].starts_with(prefix)) return 0;
        return std::stoul(lines[0].substr(prefix.size()));
    };
    auto lost = count_in("not written to standard output");
    auto unfinished = count_in("not finished");
    auto got_text = read_file(corpus.root / "got");
    auto got = static_cast<std::size_t>(std::count(got_text.begin(), got_text.end(), '\n'));
    EXPECT_EQ(got + lost + unfinished, std::stoul(whole.out));
    EXPECT_GT(got, 0u);
    EXPECT_GT(lost, 0u);
}

// What a launcher sets for tolvern changes no result: an ignored SIGCHLD, with which the system
// would reap the tools before they are waited for, and a file-size limit, which fails a write
// that passes it rather than the session (an artefact it keeps from is said), though the tools
// still meet it as its signal.
TEST(Lifetime, WhatALauncherSetsChangesNoOtherResult) {
    Corpus corpus;
    for (auto name : {"a", "b"})
        corpus.files(corpus.model(name).filename().string(),
                     {{"baseline/lts.aut", aut_text(2, {{0, "x", 1}})}});
    corpus.model("big");
    std::vector<Edge> edges;
    for (unsigned i = 0; i < 4000; ++i) edges.push_back({i, "a_label_long_enough", i + 1});
    corpus.files("big", {{"baseline/lts.aut", aut_text(4001, edges)}});
    corpus.model("misc_big", false);
    corpus.files("misc_big", {{"run.sh",
                               "head -c 200000 /dev/zero > big\n"
                               "echo \"error: head ended with $?\" >&2; exit 1\n"}});
    struct Case {
        std::string what;
        std::string launch;
        std::string category;
        std::map<std::string, Verdict> verdicts;
        std::string err;
    } cases[] = {
        {"SIGCHLD ignored",
         "exec perl -e '$SIG{CHLD} = \"IGNORE\"; exec @ARGV' ",
         "parsing",
         {{"a", {"PASS", ""}}, {"b", {"PASS", ""}}, {"big", {"PASS", ""}}},
         ""},
        {"a file-size limit",
         "ulimit -f 32; exec ",
         "lts",
         {{"a", {"PASS", ""}}, {"b", {"PASS", ""}}, {"big", {"FAIL", "ltscompare error"}}},
         "warning: lts/big: ours.aut not written: File too large\n"},
        {"a file-size limit on a script",
         "ulimit -f 32; exec ",
         "misc",
         {{"misc_big", {"FAIL", "exit=1 error: head ended with 153"}}},
         ""},
    };
    for (const auto& c : cases) {
        auto command = c.launch + TOLVERN_BIN.string() + " --kestrin " + KESTRIN_STANDIN.string() +
                       " --ltscompare " + LTSCOMPARE_STANDIN.string() + " --output json" +
                       " --category " + c.category;
        auto run = run_program("/bin/bash", {"-c", command}, corpus.root);
        EXPECT_EQ(reported(run), c.verdicts) << c.what << "\n" << run.err;
        EXPECT_EQ(run.err, c.err) << c.what;
    }
}

TEST(Lifetime, AStandardOutputThatCannotBeWrittenEndsTheSessionAndItsStatusSaysSo) {
    struct Case {
        std::string output;
        int code;
        std::string err;
        long most_runs = 3;
    } cases[] = {
        {"> /dev/full", 74, "error: standard output: No space left on device\n"},
        // The reader takes one line and goes: the next result cannot be written.
        {"| { head -1 >/dev/null; touch gone; }", 141, ""},
        // Results written nowhere: nothing runs.
        {">&-", 74, "error: standard output: Bad file descriptor\n", 0},
    };
    for (const auto& c : cases) {
        Corpus corpus;
        auto started = corpus.root / "started";
        auto gone = corpus.root / "gone";
        fs::create_directories(started);
        // The first script's result is written, or fails to be. The second's comes once there
        // is no reader left; the others run until the stop for the failed write ends them, so
        // that a fourth can start only when no stop came.
        const std::string waits[] = {
            "",
            "until [ -e " + gone.string() + " ]; do sleep 0.01; done\n",
            "sleep 30\n",
            "sleep 30\n",
        };
        for (int i = 0; i < 4; ++i) {
            auto name = "misc_" + std::to_string(i + 1);
            corpus.model(name, false);
            corpus.files(name, {{"run.sh", "echo $$ > " + started.string() + "/$$\n" + waits[i]}});
        }
        if (!c.output.starts_with("|")) write_file(gone, "");
        auto script = TOLVERN_BIN.string() + " -j 1 --category misc 2>err " + c.output +
                      "; echo ${PIPESTATUS[0]}";
        auto run = run_program("/bin/bash", {"-c", script}, corpus.root);
        EXPECT_EQ(run.out, std::to_string(c.code) + "\n") << c.output;
        EXPECT_EQ(read_file(corpus.root / "err"), c.err) << c.output;
        // Nothing new starts once the write failed.
        auto runs = std::distance(fs::directory_iterator(started), fs::directory_iterator());
        EXPECT_LE(runs, c.most_runs) << c.output;
    }
}

// What parsing sessions wrote into one pipe for standard output and one for standard error, and
// their wait statuses.
struct SharedPipes {
    std::string out;
    std::string err;
    std::vector<int> statuses;
};

// Waits until the stand-in has recorded a run of every model of the corpus, a minute at most.
void wait_for_every_run(const Corpus& corpus, const fs::path& record) {
    const auto models = static_cast<std::size_t>(std::distance(
        fs::directory_iterator(corpus.root / "test-models"), fs::directory_iterator()));
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < give_up) {
        auto text = read_file(record);
        if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= models) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "not every model of " << corpus.root << " was run";
}

// Runs a parsing session in each corpus at once, all writing into one pipe of a page (so that
// they take turns at it often), non-blocking when asked, whose reader comes only once every
// check has started.
SharedPipes parse_into_one_pipe(const std::vector<const Corpus*>& corpora, bool nonblocking) {
    SharedPipes shared;
    auto out = posix::make_pipe();
    auto err = posix::make_pipe();
    if (!out || !err) return shared;
#ifdef F_SETPIPE_SZ
    ::fcntl(out->write.fd, F_SETPIPE_SZ, 4096);
#endif
    EXPECT_TRUE(!nonblocking || posix::set_nonblocking(out->write.fd));
    std::vector<pid_t> pids;
    for (const auto* corpus : corpora) {
        fs::remove(corpus->root / "runs");
        auto pid = posix::spawn(
            {.program = TOLVERN_BIN,
             .args = {"--kestrin", KESTRIN_STANDIN.string(), "--category", "parsing"},
             .env = posix::environment_with(
                 {{"NO_COLOR", "1"}, {"KESTRIN_STANDIN_LOG", (corpus->root / "runs").string()}}),
             .standard = {-1, out->write.fd, err->write.fd},
             .cwd = corpus->root});
        EXPECT_TRUE(pid);
        if (pid) pids.push_back(*pid);
    }
    out->write.reset();
    err->write.reset();
    for (const auto* corpus : corpora) wait_for_every_run(*corpus, corpus->root / "runs");
    EXPECT_TRUE(posix::read_to_end(out->read.fd, shared.out));
    EXPECT_TRUE(posix::read_to_end(err->read.fd, shared.err));
    for (auto pid : pids) shared.statuses.push_back(posix::wait_exit(pid).value_or(-1));
    return shared;
}

// A standard output that another program made non-blocking answers "try again" while its reader
// lags: every result is written all the same, once the reader comes.
TEST(Lifetime, ANonBlockingStandardOutputIsWaitedFor) {
    Corpus corpus;
    constexpr int MODELS = 200;
    for (int i = 0; i < MODELS; ++i) corpus.model("m" + std::to_string(i) + std::string(100, 'x'));
    auto shared = parse_into_one_pipe({&corpus}, true);
    EXPECT_EQ(shared.statuses, std::vector<int>{0}) << shared.err;
    EXPECT_EQ(shared.err, "");
    EXPECT_EQ(lines_with(shared.out, "PASS     parsing").size(), static_cast<std::size_t>(MODELS));
    EXPECT_TRUE(shared.out.ends_with("parsing           200      0      0      0\n")) << shared.out;
}

// Two sessions that write into one pipe, as two runs under `make -j` do, while its reader lags:
// neither cuts a line of the other, whether the pipe blocks or answers "try again".
TEST(Lifetime, TwoSessionsOnOnePipeKeepTheirLinesWhole) {
    constexpr int MODELS = 1000;
    Corpus corpora[2];
    std::set<std::string> names;
    for (int i = 0; i < MODELS; ++i)
        for (auto [corpus, prefix] : {std::pair{&corpora[0], "a"}, {&corpora[1], "b"}}) {
            auto name = prefix + std::to_string(i) + std::string(200, 'x');
            corpus->model(name);
            names.insert(name);
        }
    std::multiset<std::string_view> summaries;
    for (int session = 0; session < 2; ++session)
        summaries.insert({"", "=== summary ===", "category         PASS   FAIL  XFAIL   SKIP",
                          "parsing          1000      0      0      0"});
    for (bool nonblocking : {false, true}) {
        auto shared = parse_into_one_pipe({&corpora[0], &corpora[1]}, nonblocking);
        EXPECT_EQ(shared.statuses, (std::vector<int>{0, 0})) << shared.err;
        EXPECT_EQ(shared.err, "");
        // Each model's line, whole, once; a line cut by the other session is left among others.
        auto missing = names;
        std::multiset<std::string_view> others;
        for (auto line : tolvern::text::split_lines(shared.out)) {
            auto words = tolvern::text::split_white_space(line);
            if (words.size() != 4 || !line.starts_with("PASS     parsing      ") ||
                !words[3].ends_with("ms") || missing.erase(std::string(words[2])) == 0)
                others.insert(line);
        }
        EXPECT_EQ(missing.size(), 0u) << "non-blocking: " << nonblocking;
        EXPECT_EQ(others, summaries) << "non-blocking: " << nonblocking;
    }
}

// A stop that comes while the corpus is being discovered for --list leaves the list unprinted.
TEST(Lifetime, AStopDuringDiscoveryEndsTheList) {
    default_stop_signals();
    Corpus corpus;
    for (int i = 0; i < 100; ++i) corpus.model("m" + std::to_string(i));
    // The signal is blocked and pending when tolvern starts, so that on any machine it comes
    // before discovery ends; tolvern takes it once it watches for stops.
    auto script = "exec perl -e " + REPORT_ENDING +
                  " perl -MPOSIX -e 'sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGINT)); "
                  "kill INT => $$; exec @ARGV' " +
                  TOLVERN_BIN.string() + " --list";
    auto run = run_program("/bin/sh", {"-c", script}, corpus.root);
    EXPECT_EQ(read_file(corpus.root / "ending"), "signal 2");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "interrupted by SIGINT\n");
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
    // Each script runs the tool: bash and the tool at once.
    for (int i = 0; i < 6; ++i) {
        auto name = "misc_" + std::to_string(i);
        corpus.model(name);
        corpus.files(name, {{"run.sh", "\"$KESTRIN\" parse \"$MODEL_DIR/" + name + ".svk\"\n"}});
    }
    fs::permissions(corpus.root, fs::perms::all);
    struct Case {
        int limit;
        std::string args;
        int code;
        std::string out_end;
        std::string err;
    } cases[] = {
        // Room for the threads tolvern needs and a narrower pool: every result is reported.
        {5, "--category parsing", 0, "parsing            20      0      0      0\n", ""},
        // No room for a single tool.
        {3, "--category parsing", 2, "",
         "error: cannot start a thread: Resource temporarily unavailable\n"},
        // Room for one worker's script and its tool, none for a second worker's.
        {6, "--category misc --timeout 2", 0, "misc                6      0      0      0\n", ""},
    };
    for (const auto& c : cases) {
        auto script = *unprivileged + "bash -c 'ulimit -u " + std::to_string(c.limit) + "; exec " +
                      TOLVERN_BIN.string() + " --kestrin " + KESTRIN_STANDIN.string() + " -j 8 " +
                      c.args + "'";
        auto run = run_program("/bin/sh", {"-c", script}, corpus.root, {{"NO_COLOR", "1"}});
        EXPECT_EQ(run.code, c.code) << c.limit << "\n" << run.err;
        EXPECT_TRUE(run.out.ends_with(c.out_end)) << c.limit << "\n" << run.out;
        EXPECT_EQ(run.err, c.err) << c.limit;
    }
}

TEST(Lifetime, AnAddressSpaceLimitNarrowsThePoolOrStopsTheStart) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve terabytes of shadow memory, beyond any such limit";
#endif
    Corpus corpus;
    for (int i = 0; i < 300; ++i) corpus.model("m" + std::to_string(i));
    struct Case {
        int limit_kib;
        int jobs;
        int code;
        std::string out_end;
        std::string err;
    } cases[] = {
        // Far less room than the asked workers' stacks and heaps: a narrower pool.
        {1'500'000, 64, 0, "parsing           300      0      0      0\n", ""},
        {3'000'000, 256, 0, "parsing           300      0      0      0\n", ""},
        // Room for the program, none to spare for a worker.
        {120'000, 1, 2, "", "error: cannot start a thread: Cannot allocate memory\n"},
    };
    for (const auto& c : cases) {
        auto script = "ulimit -v " + std::to_string(c.limit_kib) + "; exec " +
                      TOLVERN_BIN.string() + " --kestrin " + KESTRIN_STANDIN.string() + " -j " +
                      std::to_string(c.jobs) + " --category parsing";
        auto run = run_program("/bin/sh", {"-c", script}, corpus.root, {{"NO_COLOR", "1"}});
        EXPECT_EQ(run.code, c.code) << c.limit_kib << "\n" << run.err;
        EXPECT_TRUE(run.out.ends_with(c.out_end)) << c.limit_kib << "\n" << run.out;
        EXPECT_EQ(run.err, c.err) << c.limit_kib;
    }
}

}  // namespace
