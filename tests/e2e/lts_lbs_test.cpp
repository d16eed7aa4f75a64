// The lts and lbs categories end to end: the built tolvern with the kestrin and ltscompare
// stand-ins on corpora made here.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "outputs.hpp"
#include "support.hpp"

namespace tolvern::testing {
namespace {

const std::string ONLY_B = aut_text(2, {{0, "a", 1}, {1, "b", 0}});
// After "a", either "b" or "c": has every trace and failure of ONLY_B and the trace "a c" too.
const std::string B_OR_C = aut_text(3, {{0, "a", 1}, {0, "a", 2}, {1, "b", 0}, {2, "c", 0}});
const std::string ONLY_D = aut_text(2, {{0, "a", 1}, {1, "d", 0}});

// A one-state loop of "a" reached through a chain of tau steps: `states` states in all, weakly
// equivalent to a plain loop whatever the count.
std::string tau_chain(unsigned states) {
    std::vector<Edge> edges;
    for (unsigned i = 0; i + 1 < states; ++i) edges.push_back({i, "tau", i + 1});
    edges.push_back({states - 1, "a", states - 1});
    return aut_text(states, edges);
}

TEST(LtsCheck, EquivalentOutputPassesWithFullLog) {
    Corpus corpus;
    corpus.model("vend");
    corpus.files("vend", {{"baseline/lts.aut", ONLY_B}});
    auto run = corpus.tolvern(with_comparator({"--category", "lts"}));
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_EQ(verdict_of(run, "lts", "vend"), (Verdict{"PASS", ""}));

    auto dir = out_dir(corpus, "lts", "vend");
    EXPECT_EQ(read_file(dir / "ours.aut"), ONLY_B);
    EXPECT_FALSE(fs::exists(dir / "ours.aut.stderr"));
    EXPECT_EQ(read_file(dir / "ours.normalized.aut"), ONLY_B);
    EXPECT_EQ(read_file(dir / "gold.normalized.aut"), ONLY_B);

    auto lc = fs::canonical(LTSCOMPARE_STANDIN);
    std::string shown = "./build/outputs/tolvern/lts/vend/";
    auto comparator_run = [&](std::string_view n, std::string_view label, std::string_view trc,
                              std::string_view left, std::string_view right) {
        return "## (" + std::string(n) + ") " + std::string(label) + "\n" +
               command_line(lc, {"-pweak-failures", "-c",
                                 "--counter-example-file=" + shown + std::string(trc),
                                 shown + std::string(left), shown + std::string(right)}) +
               "\nexit: 0  (N ms)\nstdout:\n  true\nstderr: (empty)\n\n";
    };
    EXPECT_EQ(masked_log(corpus, "lts", "vend"),
              "== tolvern: vend (lts)  PASS  Nms ==\n\n"
              "[note] ltscompare: " +
                  lc.string() +
                  "\n"
                  "## (1) kestrin lts\n" +
                  command_line(fs::canonical(KESTRIN_STANDIN),
                               {"lts", "--full-lts", "-m", "vend", "test-models/vend/vend.svk"}) +
                  "\nexit: 0  (N ms)\nstdout → ours.aut  (3 lines)\nstderr: (empty)\n\n" +
                  comparator_run("2", "ltscompare ours <= gold", "ltscompare-fwd.trc",
                                 "ours.normalized.aut", "gold.normalized.aut") +
                  comparator_run("3", "ltscompare gold <= ours", "ltscompare-bwd.trc",
                                 "gold.normalized.aut", "ours.normalized.aut"));
}

TEST(LtsCheck, OutcomesOfOneModelEach) {
    Corpus corpus;
    struct Case {
        std::string model;
        std::vector<std::pair<std::string_view, std::string_view>> files;
        Verdict expected;
    };
    const std::string blocking = "x: \"blocking\" feature not supported here\n";
    const std::vector<Case> cases = {
        {"skip_empty",
         {{"baseline/lts.skip", ""}, {"baseline/lts.aut", ONLY_B}},
         {"SKIP", "lts.skip"}},
        {"skip_no_gold",
         {{"baseline/lts.skip", "  waits for queues\r\nmore\n"}},
         {"SKIP", "  waits for queues"}},
        {"skip_blank_first", {{"baseline/lts.skip", "\nreason below\n"}}, {"SKIP", ""}},
        {"no_gold", {}, {"FAIL", "missing golden: no baseline lts (.aut) — regenerate it"}},
        {"no_gold_xfail",
         {{"baseline/lts.xfail", ""}},
         {"XFAIL", "missing golden: no baseline lts (.aut) — regenerate it"}},
        {"empty",
         {{"baseline/lts.aut", ONLY_B},
          {"standin/lts.stdout", ""},
          {"standin/lts.stderr", "loading\n  x.svk:3:1: error: no initial state  \n"}},
         {"FAIL", "empty lts: x.svk:3:1: error: no initial state"}},
        {"blocked",
         {{"baseline/lts.aut", ONLY_B}, {"standin/lts.stderr", blocking}},
         {"SKIP", "blocking"}},
        {"exit_one", {{"baseline/lts.aut", ONLY_B}, {"standin/lts.exit", "1"}}, {"PASS", ""}},
        {"overridden",
         {{"baseline/lts.aut", ONLY_D}, {"baseline/lts.override.aut", ONLY_B}},
         {"PASS", "lts-overridden"}},
        {"fewer",
         {{"baseline/lts.aut", B_OR_C}, {"standin/lts.stdout", ONLY_B}},
         {"FAIL", "lts diverges: ours⊆gold (gold has extra) (see ltscompare-*.trc)"}},
        {"more",
         {{"baseline/lts.aut", ONLY_B}, {"standin/lts.stdout", B_OR_C}},
         {"FAIL", "lts diverges: gold⊆ours (ours has extra) (see ltscompare-*.trc)"}},
        {"other",
         {{"baseline/lts.aut", ONLY_B}, {"standin/lts.stdout", ONLY_D}},
         {"FAIL", "lts diverges: incomparable (see ltscompare-*.trc)"}},
        {"other_xfail",
         {{"baseline/lts.aut", ONLY_B}, {"standin/lts.stdout", ONLY_D}, {"baseline/lts.xfail", ""}},
         {"XFAIL", "lts diverges: incomparable (see ltscompare-*.trc)"}},
        {"bad_gold",
         {{"baseline/lts.aut", "des (0, 1, 2)\n(0,\"\xff\",1)\n"}, {"standin/lts.stdout", ONLY_B}},
         {"FAIL", "ltscompare error"}},
        {"xfail_passes", {{"baseline/lts.aut", ONLY_B}, {"baseline/lts.xfail", ""}}, {"PASS", ""}},
    };
    for (const auto& c : cases) {
        corpus.model(c.model);
        for (auto [file, bytes] : c.files)
            write_file(corpus.root / "test-models" / c.model / file, bytes);
    }
    auto request_log = corpus.root / "requests.jsonl";
    auto run = corpus.tolvern(with_comparator({"--category", "lts"}),
                              {{"KESTRIN_STANDIN_LOG", request_log.string()}});
    EXPECT_EQ(run.code, 1) << run.out << run.err;
    for (const auto& c : cases) EXPECT_EQ(verdict_of(run, "lts", c.model), c.expected) << c.model;

    // kestrin ran for neither a skip nor a missing gold.
    for (const auto& call : standin_argvs(request_log))
        for (std::string_view quiet : {"skip_", "no_gold"})
            EXPECT_EQ(call.back().find(quiet), std::string::npos) << call.back();
    EXPECT_EQ(masked_log(corpus, "lts", "no_gold_xfail"),
              "== tolvern: no_gold_xfail (lts)  XFAIL  Nms ==\n"
              "reason: missing golden: no baseline lts (.aut) — regenerate it\n\n"
              "[note] ltscompare: " +
                  fs::canonical(LTSCOMPARE_STANDIN).string() + "\n");
    EXPECT_EQ(read_file(out_dir(corpus, "lts", "empty") / "ours.aut.stderr"),
              "loading\n  x.svk:3:1: error: no initial state  \n");
    EXPECT_FALSE(fs::exists(out_dir(corpus, "lts", "empty") / "ours.aut"));
    auto bad_gold = masked_log(corpus, "lts", "bad_gold");
    EXPECT_EQ(lines_with(bad_gold, "could not read gold").size(), 1u) << bad_gold;
    EXPECT_EQ(lines_with(bad_gold,
                         "[note] could not read gold "
                         "test-models/bad_gold/baseline/lts.aut: ")
                  .size(),
              1u);
    EXPECT_EQ(lines_with(bad_gold, "## ("), std::vector<std::string>{"## (1) kestrin lts"});
    EXPECT_FALSE(fs::exists(out_dir(corpus, "lts", "bad_gold") / "ours.normalized.aut"));
    // The failed comparison left its counterexample behind.
    EXPECT_TRUE(fs::exists(out_dir(corpus, "lts", "other") / "ltscompare-fwd.trc"));
}

TEST(LtsCheck, StateCountBudget) {
    Corpus corpus;
    struct Case {
        std::string model;
        unsigned gold;
        unsigned ours;
        std::string meta;
        Verdict expected;
    };
    const std::vector<Case> cases = {
        {"at_budget", 10, 200, "", {"PASS", ""}},
        {"over_budget",
         10,
         201,
         "",
         {"FAIL",
          "lts state-count budget exceeded: 201 states > 200 (= 20x golden 10); "
          "weak-failures EQUAL but blown up"}},
        {"factor_at", 3, 5, "(max-state-factor 1.5)\n", {"PASS", ""}},
        {"factor_over",
         3,
         6,
         "(max-state-factor 1.5)\n",
         {"FAIL",
          "lts state-count budget exceeded: 6 states > 5 (= 1.5x golden 3); "
          "weak-failures EQUAL but blown up"}},
    };
    for (const auto& c : cases) {
        corpus.model(c.model);
        corpus.files(c.model, {{"baseline/lts.aut", tau_chain(c.gold)},
                               {"standin/lts.stdout", tau_chain(c.ours)},
                               {"META", c.meta}});
    }

    auto run = corpus.tolvern(with_comparator({"--category", "lts"}));
    for (const auto& c : cases) EXPECT_EQ(verdict_of(run, "lts", c.model), c.expected) << c.model;
}

TEST(LtsCheck, WithoutComparatorKestrinStillRuns) {
    Corpus corpus;
    corpus.model("vend");
    corpus.files("vend", {{"baseline/lts.aut", ONLY_B}});
    auto run = corpus.tolvern({"--category", "lts"}, {empty_path(corpus)});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_EQ(verdict_of(run, "lts", "vend"),
              (Verdict{"SKIP", "ltscompare not found (scripts/build-mcrl2.sh --host-only)"}));
    auto dir = out_dir(corpus, "lts", "vend");
    EXPECT_EQ(read_file(dir / "ours.aut"), ONLY_B);
    EXPECT_FALSE(fs::exists(dir / "ours.normalized.aut"));
    auto log = masked_log(corpus, "lts", "vend");
    EXPECT_EQ(lines_with(log, "[note]"),
              std::vector<std::string>{
                  "[note] ltscompare: NOT FOUND (run scripts/build-mcrl2.sh --host-only)"});
    EXPECT_EQ(lines_with(log, "## ("), std::vector<std::string>{"## (1) kestrin lts"});
}

TEST(LtsCheck, TimeOutNamesLtsForBothCategories) {
    Corpus corpus;
    for (std::string name : {"slow", "lbs_slow"}) {
        corpus.model(name);
        corpus.files(name, {{"baseline/lts.aut", ONLY_B}, {"standin/lts.sleep", "10"}});
    }
    for (std::string category : {"lts", "lbs"}) {
        auto model = category == "lts" ? "slow" : "lbs_slow";
        auto run = corpus.tolvern(with_comparator({"--category", category, "--timeout", "1"}));
        EXPECT_EQ(run.code, 1) << run.out << run.err;
        EXPECT_EQ(verdict_of(run, category, model), (Verdict{"TIMEOUT", "lts"}));
        auto log = masked_log(corpus, category, model);
        EXPECT_EQ(lines_with(log, "exit:"), std::vector<std::string>{"exit: TIMEOUT  (N ms)"});
        EXPECT_FALSE(fs::exists(out_dir(corpus, category, model) / "ours.aut"));
    }
}

TEST(LtsCheck, QueueOptionsWfcSkipAndToolModelName) {
    Corpus corpus;
    corpus.model("lbs_lbs_x");
    corpus.files("lbs_lbs_x", {{"baseline/lts.aut", ONLY_B},
                               {"META", "(skip-wfc)\n(queue-size-external 2)\n(queue-size 7)\n"}});
    auto request_log = corpus.root / "requests.jsonl";
    auto run = corpus.tolvern(with_comparator({"--category", "lbs"}),
                              {{"KESTRIN_STANDIN_LOG", request_log.string()}});
    EXPECT_EQ(verdict_of(run, "lbs", "lbs_lbs_x"), (Verdict{"PASS", ""}));
    auto calls = standin_argvs(request_log);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], (std::vector<std::string>{"-p", "lts", "--full-lts", "-m", "lbs_x", "-q",
                                                  "7", "--queue-size-external", "2",
                                                  "test-models/lbs_lbs_x/lbs_lbs_x.svk"}));
    EXPECT_EQ(calls[1], (std::vector<std::string>{"inspect-ports", "--output", "json", "-m",
                                                  "lbs_x", "test-models/lbs_lbs_x/lbs_lbs_x.svk"}));
    EXPECT_TRUE(fs::exists(out_dir(corpus, "lbs", "lbs_lbs_x") / "log"));
}

// Flush labels and provided-port events are hidden in the comparison where the model is a
// system_ model or an lbs model; elsewhere they stay visible.
TEST(LtsCheck, TauAlphabet) {
    Corpus corpus;
    // Ours takes two steps where the gold takes one, through labels only the hiding removes.
    const auto gold = aut_text(2, {{0, "g.<flush>", 1}, {1, "a", 0}});
    const auto ours = aut_text(3, {{0, "p.inevitable", 1}, {1, "q.<flush>", 2}, {2, "a", 0}});
    const std::string ports =
        R"({"ports":[{"name":"p","direction":"provides"},{"name":"r","direction":"requires"},)"
        R"({"name":7,"direction":"provides"},{"direction":"provides"}],"extra":true})";
    for (std::string name : {"system_x", "sys", "lbs_p", "lbs_garbled"}) {
        corpus.model(name);
        corpus.files(name, {{"baseline/lts.aut", gold}, {"standin/lts.stdout", ours}});
    }
    corpus.files("system_x", {{"standin/inspect-ports.stdout", ports}});
    corpus.files("lbs_p", {{"standin/inspect-ports.stdout", ports}});
    corpus.files("lbs_garbled", {{"standin/inspect-ports.stdout", "{\"ports\": [ oops"}});

    auto lts = corpus.tolvern(with_comparator({"--category", "lts"}));
    auto lbs = corpus.tolvern(with_comparator({"--category", "lbs"}));
    EXPECT_EQ(verdict_of(lts, "lts", "system_x"), (Verdict{"PASS", ""}));
    EXPECT_EQ(verdict_of(lbs, "lbs", "lbs_p"), (Verdict{"PASS", ""}));
    EXPECT_EQ(verdict_of(lts, "lts", "sys").status, "FAIL");
    EXPECT_EQ(verdict_of(lbs, "lbs", "lbs_garbled").status, "FAIL");

    auto notes = [&](std::string_view category, std::string_view model) {
        return lines_with(masked_log(corpus, category, model), "tau alphabet");
    };
    const std::vector<std::string> full = {"[note] tau alphabet: g.<flush>,p.inevitable,q.<flush>"};
    EXPECT_EQ(notes("lts", "system_x"), full);
    EXPECT_EQ(notes("lbs", "lbs_p"), full);
    EXPECT_EQ(notes("lbs", "lbs_garbled"),
              std::vector<std::string>{"[note] tau alphabet: g.<flush>,q.<flush>"});
    EXPECT_TRUE(notes("lts", "sys").empty());
    EXPECT_TRUE(lines_with(masked_log(corpus, "lts", "sys"), "--tau=").empty());
    EXPECT_EQ(
        lines_with(masked_log(corpus, "lbs", "lbs_p"), "'--tau=g.<flush>,p.inevitable,q.<flush>'")
            .size(),
        2u);
}

// The log shows how each comparator run ended, as for any command; only its answer, the last word
// it printed, counts.
TEST(LtsCheck, TheLogSaysHowEachComparatorRunEnded) {
    struct Case {
        std::string what;
        std::string body;  // "" for a comparator that cannot be started
        Verdict verdict;
        std::string ending;  // the log line of each comparator run
    } cases[] = {
        {"an exit status", "echo true; exit 3", {"PASS", ""}, "exit: 3  (N ms)"},
        {"a signal", "echo true; kill -SEGV $$", {"PASS", ""}, "exit: -1  (N ms)"},
        {"the time limit",
         "echo true; exec sleep 30",
         {"FAIL", "ltscompare error"},
         "exit: TIMEOUT  (N ms)"},
        {"no start",
         "",
         {"FAIL", "ltscompare error"},
         "exit: SPAWN_ERROR  (spawn: Permission denied)"},
    };
    for (const auto& c : cases) {
        Corpus corpus;
        corpus.model("vend");
        corpus.files("vend", {{"baseline/lts.aut", ONLY_B}});
        auto comparator = corpus.root / "comparator";
        write_file(comparator, "#!/bin/sh\n" + c.body + "\n");
        if (!c.body.empty()) fs::permissions(comparator, fs::perms::owner_all);
        auto run = corpus.tolvern(
            {"--category", "lts", "--timeout", "1", "--ltscompare", comparator.string()});
        EXPECT_EQ(verdict_of(run, "lts", "vend"), c.verdict) << c.what;
        auto log = masked_log(corpus, "lts", "vend");
        EXPECT_EQ(lines_with(log, "exit: "),
                  (std::vector<std::string>{"exit: 0  (N ms)", c.ending, c.ending}))
            << c.what << "\n"
            << log;
    }
}

// A check that a stop cuts short while the comparator runs has already replaced its LTS: its log
// says it was interrupted and describes that LTS, not the previous run's.
TEST(LtsCheck, ACheckCutShortLogsThatItWasInterrupted) {
    // tolvern stops on SIGINT only when it is not started ignoring it.
    std::signal(SIGINT, SIG_DFL);
    Corpus corpus;
    corpus.model("vend");
    corpus.files("vend", {{"baseline/lts.aut", ONLY_B}});
    ASSERT_EQ(corpus.tolvern(with_comparator({"--category", "lts"})).code, 0);

    corpus.files("vend", {{"standin/lts.stdout", B_OR_C}});
    auto slow = corpus.root / "slow";
    write_file(slow, "#!/bin/sh\ntouch started\nexec sleep 30\n");
    fs::permissions(slow, fs::perms::owner_all);
    auto script = "set -m\n" + TOLVERN_BIN.string() + " --kestrin " + KESTRIN_STANDIN.string() +
                  " --ltscompare " + slow.string() +
                  " --category lts >/dev/null 2>&1 & pid=$!\n"
                  "while [ ! -e started ]; do sleep 0.01; done\n"
                  "kill -INT $pid; wait $pid; echo $?\n";
    EXPECT_EQ(run_program("/bin/bash", {"-c", script}, corpus.root).out, "130\n");

    EXPECT_EQ(read_file(out_dir(corpus, "lts", "vend") / "ours.aut"), B_OR_C);
    auto log = masked_log(corpus, "lts", "vend");
    EXPECT_TRUE(
        log.starts_with("== tolvern: vend (lts)  FAIL  Nms ==\n"
                        "reason: interrupted by SIGINT\n\n"))
        << log;
    EXPECT_EQ(lines_with(log, "stdout → "),
              std::vector<std::string>{"stdout → ours.aut  (5 lines)"});
    // Nothing of the replacements is left beside the files.
    for (const auto& entry : fs::recursive_directory_iterator(corpus.root / "build"))
        EXPECT_FALSE(entry.path().filename().string().starts_with('.')) << entry.path();
}

TEST(LtsCheck, OutputDirectoryFailureSkipsMarkerAndLog) {
    Corpus corpus;
    corpus.model("vend");
    corpus.files("vend", {{"baseline/lts.aut", ONLY_B}, {"baseline/lts.xfail", ""}});
    write_file(corpus.root / "build" / "outputs" / "tolvern" / "lts", "a file, not a directory");
    auto run = corpus.tolvern(with_comparator({"--category", "lts"}));
    auto v = verdict_of(run, "lts", "vend");
    EXPECT_EQ(v.status, "FAIL");
    EXPECT_TRUE(v.reason.starts_with("output dir: ")) << v.reason;
    EXPECT_GT(v.reason.size(), std::string("output dir: ").size());
}

}  // namespace
}  // namespace tolvern::testing
