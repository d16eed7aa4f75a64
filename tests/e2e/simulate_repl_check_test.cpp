// The simulate-repl check end to end through the binary and the kestrin stand-in: which traces
// are checked and in which order, what kestrin is asked, the reasons of the status rule, the log
// and artefacts of the one-shot pass, and the entries of the per-step eligible pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "category/repl_records.hpp"
#include "outputs.hpp"
#include "support.hpp"
#include "text.hpp"

namespace tolvern::testing {
namespace {

constexpr std::string_view CHECK = "simulate-repl";

// A golden simulation whose trail quotes the events of the trace text.
std::string simulation(std::string_view trace) {
    std::string trail = "(trail";
    for (const auto& event : category::trace_event_lines(trace)) trail += " \"" + event + "\"";
    return "(state s:Idle)\n(eligible \"go\")\nm.go -> Busy\n(state s:Busy)\n" + trail + ")\n";
}

// Trace X of a model: "trace.X" with its golden "baseline/simulate.X".
void add_trace(Corpus& corpus, std::string_view model, std::string_view x,
               std::string_view events = "") {
    auto dir = corpus.root / "test-models" / model;
    auto trace = events.empty() ? "go" + std::string(x) + "\n" : std::string(events);
    write_file(dir / ("trace." + std::string(x)), trace);
    write_file(dir / "baseline" / ("simulate." + std::string(x)), simulation(trace));
}

void add_model(Corpus& corpus, std::string_view name, std::initializer_list<std::string_view> xs) {
    corpus.model(name);
    for (auto x : xs) add_trace(corpus, name, x);
}

// The command headers and notes of a log, in order.
Strings records(const std::string& log) {
    Strings found;
    for (auto line : text::split_lines(log))
        if (line.starts_with("## (") || line.starts_with("[note] ")) found.emplace_back(line);
    return found;
}

// The names of the directory's entries that start with "tolvern_elig_".
Strings prefix_files(const fs::path& dir) {
    Strings found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        auto name = entry.path().filename().string();
        if (name.starts_with("tolvern_elig_")) found.push_back(name);
    }
    return found;
}

// A prefix file's path without the tag that makes it its run's own ("_" and six letters or
// digits before ".trace"); other paths unchanged.
std::string untagged(std::string path) {
    constexpr std::string_view suffix = ".trace";
    if (!path.ends_with(suffix) || path.size() < suffix.size() + 7) return path;
    auto tag = path.begin() + static_cast<std::ptrdiff_t>(path.size() - suffix.size() - 7);
    if (*tag != '_' ||
        !std::all_of(tag + 1, tag + 7, [](unsigned char c) { return std::isalnum(c); }))
        return path;
    path.erase(tag, tag + 7);
    return path;
}

// A model whose trace X is the events and one line more, with the golden of each proper prefix
// calling its last event eligible.
void eligible_model(Corpus& corpus, std::string_view model, std::string_view x,
                    const Strings& events) {
    corpus.model(model);
    std::string trace;
    for (std::size_t k = 1; k <= events.size(); ++k) {
        trace += events[k - 1] + "\n";
        write_file(corpus.root / "test-models" / model / "baseline" /
                       ("eligible." + std::string(x) + "." + std::to_string(k)),
                   "(eligible \"" + events[k - 1] + "\")\n");
    }
    add_trace(corpus, model, x, trace + "end\n");
}

// A kestrin that answers a prefix file itself: it notes the model and the file in $PREFIX_LOG,
// meets the other session when there is one, and then calls the last line it reads in the file
// eligible. Every other run goes to the stand-in.
fs::path prefix_reading_kestrin(const fs::path& dir) {
    auto kestrin = dir / "kestrin";
    write_file(kestrin,
               "#!/bin/sh\ncase \"$3\" in\n*/tolvern_elig_*)\n"
               "  echo \"$5 $3\" >> \"$PREFIX_LOG\"\n"
               "  if [ -n \"$MEET_DIR\" ]; then\n" +
                   std::string(MEET) +
                   "  fi\n"
                   "  echo \"(eligible \\\"$(tail -n 1 \"$3\")\\\")\"\n  ;;\n"
                   "*) exec \"$KESTRIN_REAL\" \"$@\" ;;\nesac\n");
    fs::permissions(kestrin, fs::perms::owner_all);
    return kestrin;
}

std::vector<std::pair<std::string, std::string>> prefix_reading_env(const fs::path& dir) {
    return {{"TMPDIR", dir.string()},
            {"PREFIX_LOG", (dir / "prefixes").string()},
            {"KESTRIN_REAL", KESTRIN_STANDIN.string()}};
}

// A simulation of trace 0 that the judge fails against its golden.
constexpr std::string_view WRONG = "m.stop -> Lost\n(trail \"go0\")\n";

TEST(SimulateRepl, TracesRunInNameOrderWhateverOrderTheyFinish) {
    Corpus corpus;
    add_model(corpus, "door", {"10", "2", "1"});
    // Trace 1 finishes last in both passes; its eligible step and trace 10's fail.
    corpus.files("door", {{"baseline/simulate.4", "(trail)\n"},
                          {"baseline/simulate.1.stderr", ""},
                          {"standin/check-trace.1.sleep", "0.5"},
                          {"standin/check-trace.1.1.sleep", "0.5"},
                          {"standin/check-trace.1.1.stdout", "(eligible \"x\")\n"},
                          {"standin/check-trace.10.1.stdout", "(eligible \"y\")\n"}});
    for (auto x : {"1", "2", "10"}) {
        add_trace(corpus, "door", x, "go\nstop\n");
        corpus.files("door", {{"baseline/eligible." + std::string(x) + ".1", "(eligible \"go\")"}});
    }
    add_model(corpus, "lbs_relay", {"0"});
    TempDir scratch;
    auto run = corpus.tolvern({"--category", "simulate-repl", "--output", "json", "-j", "4"},
                              {{"KESTRIN_STANDIN_LOG", (scratch.path / "runs").string()},
                               {"TMPDIR", scratch.path.string()}});
    EXPECT_EQ(run.code, 1) << run.out << run.err;
    auto results = reported(run);
    EXPECT_EQ(results["door"], (Verdict{"FAIL", "2/3 trace(s) diverge: 1-elig:1,10-elig:1"}));
    EXPECT_EQ(results["lbs_relay"], (Verdict{"PASS", ""}));

    auto log = log_of(corpus, CHECK, "door");
    EXPECT_TRUE(log.starts_with("== tolvern: door (simulate-repl)  FAIL  ")) << log;
    EXPECT_EQ(records(log),
              (Strings{"## (1) repl trace.1 → ok", "## (2) repl trace.2 → ok",
                       "## (3) repl trace.10 → ok", "[note] repl-daemon trace.1 → ok",
                       "[note] repl-daemon trace.2 → ok", "[note] repl-daemon trace.10 → ok",
                       "[note] per-step eligible DIVERGE: 1-elig:1",
                       "[note] per-step eligible DIVERGE: 10-elig:1"}));
    EXPECT_EQ(prefix_files(scratch.path), Strings{});

    // The trace checks; the daemon conversations are their passes' own business.
    Strings door_runs, relay_runs;
    for (auto& argv : standin_argvs(scratch.path / "runs")) {
        if (argv.size() != 6 || argv[1] != "--check-trace") continue;
        auto& runs = argv.back() == "test-models/door/door.svk" ? door_runs : relay_runs;
        runs.push_back(argv[0] + " " + argv[1] + " " + untagged(argv[2]) + " " + argv[3] + " " +
                       argv[4]);
    }
    std::sort(door_runs.begin(), door_runs.end());
    const auto tmp = scratch.path.string() + "/tolvern_elig_door_";
    EXPECT_EQ(door_runs, (Strings{
                             "simulate --check-trace " + tmp + "10_1.trace -m door",
                             "simulate --check-trace " + tmp + "1_1.trace -m door",
                             "simulate --check-trace " + tmp + "2_1.trace -m door",
                             "simulate --check-trace test-models/door/trace.1 -m door",
                             "simulate --check-trace test-models/door/trace.10 -m door",
                             "simulate --check-trace test-models/door/trace.2 -m door",
                         }));
    EXPECT_EQ(relay_runs, Strings{"simulate --check-trace test-models/lbs_relay/trace.0 -m relay"});
}

TEST(SimulateRepl, StatusReasons) {
    Corpus corpus;
    add_model(corpus, "foreign_bridge", {"0"});
    add_model(corpus, "no_traces", {});
    corpus.files("no_traces", {{"baseline/simulate.0", simulation("go0\n")}});
    add_model(corpus, "blocked", {"0", "1"});
    // The daemon meets the blocking feature too, or its pass would count the traces.
    corpus.files("blocked", {{"standin/check-trace.stderr",
                              "e: \"blocking\" feature not supported\n[verdict-not-concluded]"},
                             {"standin/repl.stderr", "\"blocking\" feature not support\n"}});
    add_model(corpus, "matched", {"0"});
    corpus.files("matched", {{"baseline/simulate.0", "(trail \"go\" \"<match>\")\n"}});
    add_model(corpus, "mixed", {"0", "1"});
    corpus.files("mixed", {{"baseline/simulate.0", "(trail \"go\" \"<match>\")\n"},
                           {"standin/check-trace.1.stderr", "\"blocking\" feature not support"},
                           {"standin/repl.stderr", "\"blocking\" feature not support\n"}});
    add_model(corpus, "gaps", {"3", "7", "9"});
    corpus.files("gaps", {{"standin/check-trace.3.stderr", "[verdict-not-concluded]\n"},
                          {"standin/check-trace.7.stderr", "x [verdict-not-concluded] y\n"},
                          {"baseline/simulate-repl.interactive.xfail",
                           "# known\ntrace.7: renders late\ntrace.3\ntrace.*\n"}});
    add_model(corpus, "unlisted", {"0"});
    corpus.files("unlisted", {{"standin/check-trace.stderr", "[verdict-not-concluded]\n"},
                              {"baseline/simulate-repl.interactive.xfail", "*\n"}});
    add_model(corpus, "unsupported", {"0", "1"});
    corpus.files("unsupported", {{"standin/check-trace.0.stderr", "x not yet supported\n"},
                                 {"standin/check-trace.1.stderr", "render bailed\n"}});
    add_model(corpus, "slow", {"0"});
    corpus.files("slow", {{"standin/check-trace.sleep", "5"}});
    add_model(corpus, "slow_and_wrong", {"0", "1"});
    corpus.files("slow_and_wrong", {{"standin/check-trace.0.sleep", "5"},
                                    {"standin/check-trace.1.stdout", std::string(WRONG)}});
    add_model(corpus, "marked", {"0"});
    corpus.files("marked", {{"standin/check-trace.stdout", std::string(WRONG)},
                            {"baseline/simulate-repl.xfail", ""}});
    add_model(corpus, "exit_three", {"0"});
    corpus.files("exit_three", {{"standin/check-trace.exit", "3"}});

    auto run =
        corpus.tolvern({"--category", "simulate-repl", "--output", "json", "--timeout", "1"});
    EXPECT_EQ(run.code, 1);
    const std::map<std::string, Verdict> expected = {
        {"foreign_bridge", {"SKIP", "foreign (deferred)"}},
        {"no_traces", {"SKIP", "no simulate goldens"}},
        {"blocked", {"SKIP", "all 2 trace(s) blocking"}},
        {"matched", {"SKIP", "all 1 trace(s) <match> (interactive driver can't deduce)"}},
        {"mixed", {"SKIP", "1 blocking + 1 <match> trace(s) skipped"}},
        {"gaps", {"XFAIL", "interactive-render gap (expected): trace.3, trace.7"}},
        {"unlisted", {"FAIL", "1/1 trace(s) diverge: 0(verdict-not-concluded)"}},
        {"unsupported", {"FAIL", "2/2 trace(s) diverge: 0(unsupported),1(unsupported)"}},
        {"slow", {"TIMEOUT", "1/1 trace(s) diverge: 0(timeout)"}},
        {"slow_and_wrong", {"FAIL", "2/2 trace(s) diverge: 0(timeout),1"}},
        {"marked", {"XFAIL", "1/1 trace(s) diverge: 0"}},
        {"exit_three", {"PASS", ""}},
    };
    auto results = reported(run);
    EXPECT_EQ(results.size(), expected.size());
    for (const auto& [name, want] : expected) EXPECT_EQ(results[name], want) << name;

    // The early results leave nothing behind; the marker shows in the log header.
    EXPECT_FALSE(fs::exists(out_dir(corpus, CHECK, "foreign_bridge")));
    EXPECT_FALSE(fs::exists(out_dir(corpus, CHECK, "no_traces")));
    EXPECT_TRUE(
        log_of(corpus, CHECK, "marked").starts_with("== tolvern: marked (simulate-repl)  XFAIL  "));
    EXPECT_EQ(records(log_of(corpus, CHECK, "matched")), Strings{});
    EXPECT_EQ(records(log_of(corpus, CHECK, "gaps")),
              (Strings{"## (1) repl trace.3 → verdict-not-concluded (expected XFAIL)",
                       "## (2) repl trace.7 → verdict-not-concluded (expected XFAIL)",
                       "## (3) repl trace.9 → ok", "[note] repl-daemon trace.3 → ok",
                       "[note] repl-daemon trace.7 → ok", "[note] repl-daemon trace.9 → ok"}));
    EXPECT_EQ(records(log_of(corpus, CHECK, "unsupported")),
              (Strings{"## (1) repl trace.0 → unsupported (FAIL)",
                       "## (2) repl trace.1 → unsupported (FAIL)",
                       "[note] repl-daemon trace.0 → ok", "[note] repl-daemon trace.1 → ok"}));
    EXPECT_EQ(records(log_of(corpus, CHECK, "slow_and_wrong")),
              (Strings{"## (1) repl trace.0 → TIMEOUT", "## (2) repl trace.1 → DIVERGE",
                       "[note] repl-daemon trace.0 → ok", "[note] repl-daemon trace.1 → ok"}));
    EXPECT_EQ(lines_with(log_of(corpus, CHECK, "blocked"), "## ("),
              (Strings{"## (1) repl trace.0 → blocking (skip)",
                       "## (2) repl trace.1 → blocking (skip)"}));
    EXPECT_EQ(lines_with(log_of(corpus, CHECK, "unlisted"), "## ("),
              Strings{"## (1) repl trace.0 → verdict-not-concluded (FAIL)"});
}

TEST(SimulateRepl, AStarMarkerWithEveryTraceReconstructingIsStale) {
    Corpus corpus;
    add_model(corpus, "starred", {"0", "1"});
    add_trace(corpus, "starred", "1", "go\nstop\n");
    corpus.files("starred", {{"baseline/repl-daemon.xfail", "trace.*: renders late\n"},
                             {"baseline/eligible.1.1", "(eligible \"stop\")\n"},
                             {"standin/check-trace.1.1.stdout", "(eligible \"go\")\n"}});
    // One trace that does not reconstruct keeps the marker in use.
    add_model(corpus, "starred_gap", {"0", "1"});
    corpus.files("starred_gap", {{"baseline/repl-daemon.xfail", "*\n"},
                                 {"baseline/simulate.1", simulation("go1\nlater\n")},
                                 {"standin/check-trace.1.stdout", simulation("go1\nlater\n")}});
    auto run = corpus.tolvern({"--category", "simulate-repl", "--output", "json"});
    auto results = reported(run);
    const std::string stale =
        "repl-daemon XPASS — all traces reconstruct, remove the `*` in repl-daemon.xfail";
    EXPECT_EQ(results["starred"],
              (Verdict{"FAIL", "2/2 trace(s) diverge: " + stale + ",1-elig:1"}));
    EXPECT_EQ(results["starred_gap"],
              (Verdict{"XFAIL", "interactive-render gap (expected): trace.1"}));
    EXPECT_EQ(records(log_of(corpus, CHECK, "starred")),
              (Strings{"## (1) repl trace.0 → ok", "## (2) repl trace.1 → ok",
                       "[note] repl-daemon trace.0 → ok (under * marker)",
                       "[note] repl-daemon trace.1 → ok (under * marker)",
                       "[note] repl-daemon XPASS: `*` marker is stale (all traces reconstruct)",
                       "[note] per-step eligible DIVERGE: 1-elig:1"}));
}

TEST(SimulateRepl, StreamsAreJudgedAgainstGoldenAndOverrides) {
    Corpus corpus;
    // Each model's run is accepted only through the alternative its name says.
    add_model(corpus, "stdout_override", {"0"});
    corpus.files("stdout_override", {{"standin/check-trace.stdout", std::string(WRONG)},
                                     {"baseline/simulate.0.override", std::string(WRONG)}});
    add_model(corpus, "repl_override", {"0"});
    corpus.files("repl_override", {{"standin/check-trace.stdout", std::string(WRONG)},
                                   {"baseline/simulate.0.repl.override", std::string(WRONG)}});
    add_model(corpus, "stderr_golden", {"0"});
    corpus.files("stderr_golden", {{"standin/check-trace.stderr", "warning: w\n"},
                                   {"baseline/simulate.0.stderr", "warning: w"}});
    add_model(corpus, "repl_stderr_override", {"0"});
    corpus.files("repl_stderr_override",
                 {{"standin/check-trace.stderr", "warning: w"},
                  {"baseline/simulate.0.repl.override.stderr", "warning: w\n\n"}});
    add_model(corpus, "artifact", {"0"});
    corpus.files("artifact", {{"standin/check-trace.stderr", "warning: noise\n"},
                              {"baseline/simulate.0.judge", "golden_artifact\n"}});
    // Standard output matches, standard error does not.
    add_model(corpus, "stderr_only", {"0"});
    corpus.files("stderr_only", {{"standin/check-trace.stderr", "warning: new\n"}});
    add_model(corpus, "both_wrong", {"0"});
    corpus.files("both_wrong", {{"standin/check-trace.stdout", std::string(WRONG)},
                                {"standin/check-trace.stderr", "warning: new\n"},
                                {"baseline/simulate.0.repl.override.stderr", "warning: old\n"}});
    add_model(corpus, "stdout_only", {"0"});
    corpus.files("stdout_only", {{"standin/check-trace.stdout", std::string(WRONG)}});

    auto run = corpus.tolvern({"--category", "simulate-repl", "--output", "json"});
    auto results = reported(run);
    for (auto name :
         {"stdout_override", "repl_override", "stderr_golden", "repl_stderr_override", "artifact"})
        EXPECT_EQ(results[name], (Verdict{"PASS", ""})) << name;
    for (auto name : {"stderr_only", "both_wrong", "stdout_only"})
        EXPECT_EQ(results[name], (Verdict{"FAIL", "1/1 trace(s) diverge: 0"})) << name;

    // A diverging trace keeps its standard output, and its standard error when that was wrong;
    // the log names only the standard-output artefact and shows standard error inline.
    auto stderr_only = log_of(corpus, CHECK, "stderr_only");
    EXPECT_NE(stderr_only.find("## (1) repl trace.0 → DIVERGE\n"), std::string::npos);
    EXPECT_NE(stderr_only.find("\nstdout → ours.repl.0  (5 lines)\nstderr:\n  warning: new\n"),
              std::string::npos)
        << stderr_only;
    EXPECT_EQ(read_file(out_dir(corpus, CHECK, "stderr_only") / "ours.repl.0"),
              simulation("go0\n"));
    EXPECT_EQ(read_file(out_dir(corpus, CHECK, "stderr_only") / "ours.repl.0.stderr"),
              "warning: new\n");
    EXPECT_EQ(read_file(out_dir(corpus, CHECK, "both_wrong") / "ours.repl.0"), WRONG);
    EXPECT_EQ(read_file(out_dir(corpus, CHECK, "both_wrong") / "ours.repl.0.stderr"),
              "warning: new\n");
    EXPECT_EQ(read_file(out_dir(corpus, CHECK, "stdout_only") / "ours.repl.0"), WRONG);
    EXPECT_FALSE(fs::exists(out_dir(corpus, CHECK, "stdout_only") / "ours.repl.0.stderr"));
    EXPECT_FALSE(fs::exists(out_dir(corpus, CHECK, "artifact") / "ours.repl.0"));
}

TEST(SimulateRepl, SpawnFailuresAreDivergences) {
    Corpus corpus;
    add_model(corpus, "door", {"0"});
    add_trace(corpus, "door", "0", "go\nstop\n");
    corpus.files("door", {{"baseline/eligible.0.1", "(eligible \"stop\")\n"}});
    auto missing = corpus.root / "no-kestrin";
    auto run = corpus.tolvern_with(missing, {"--category", "simulate-repl", "--output", "json"});
    const auto spawn = "spawn " + missing.string() + ": No such file or directory";
    const std::string drive = "spawn: No such file or directory";
    EXPECT_EQ(reported(run)["door"], (Verdict{"FAIL", "3/1 trace(s) diverge: 0(spawn:" + spawn +
                                                          "),0(repl-daemon drive:" + drive +
                                                          "),0-elig:1(spawn:" + spawn + ")"}));
    EXPECT_EQ(records(log_of(corpus, CHECK, "door")),
              (Strings{"## (1) repl trace.0 → spawn-error",
                       "[note] repl-daemon trace.0 drive error: " + drive,
                       "[note] per-step eligible DIVERGE: 0-elig:1(spawn:" + spawn + ")"}));
}

TEST(SimulateRepl, EligibleStepsTakeTheGoldenAtOrBelowTheStep) {
    Corpus corpus;
    TempDir tmp;
    // Five lines, goldens for steps 2 and 4: step 1 has none, 2 and 3 use step 2's.
    add_model(corpus, "door", {"7"});
    add_trace(corpus, "door", "7", "a\nb\nc\nd\ne\n");
    corpus.files("door",
                 {{"baseline/eligible.7.2", "(eligible \"b\" \"a\" \"<defer>\")\n"},
                  {"baseline/eligible.7.+4", "(eligible \"d\")\n"},
                  {"standin/check-trace.7.2.stdout", "(eligible \"a\")\n(eligible \"a\" \"b\")\n"},
                  {"standin/check-trace.7.3.stdout", "(eligible \"a\" \"b\")\n"},
                  {"standin/check-trace.7.4.stdout", "(eligible \"d\")\n"}});
    // The override of step 3 wins over step 2's golden; the stand-in answers with it.
    add_model(corpus, "overridden", {"7"});
    add_trace(corpus, "overridden", "7", "a\nb\nc\nd\n");
    corpus.files("overridden", {{"baseline/eligible.7.1", "(eligible \"a\")\n"},
                                {"baseline/eligible.7.3.override", "(eligible \"z\")\n"}});
    // Three failing steps, the second timed out: FAIL, not TIMEOUT.
    add_model(corpus, "three", {"7"});
    add_trace(corpus, "three", "7", "a\nb\nc\nd\n");
    corpus.files("three", {{"baseline/eligible.7.1", "(eligible \"a\")\n"},
                           {"standin/check-trace.7.1.stdout", "(eligible \"q\")\n"},
                           {"standin/check-trace.7.2.sleep", "5"},
                           {"standin/check-trace.7.3.stdout", "(eligible)\n"}});
    // Blocking and "render bailed" steps are skipped, even without a golden.
    add_model(corpus, "bailing", {"7"});
    add_trace(corpus, "bailing", "7", "a\nb\nc\n");
    corpus.files("bailing",
                 {{"baseline/eligible.7.2", "(eligible)\n"},
                  {"standin/check-trace.7.1.stderr", "\"blocking\" feature not support\n"},
                  {"standin/check-trace.7.2.stderr", "render bailed\n"},
                  {"standin/check-trace.7.2.stdout", "(eligible \"no\")\n"}});
    // Files that name no step: the trace is not examined.
    add_model(corpus, "no_steps", {"7"});
    add_trace(corpus, "no_steps", "7", "a\nb\nc\n");
    corpus.files("no_steps", {{"baseline/eligible.7.x", "(eligible \"x\")\n"},
                              {"baseline/eligible.7.3.stderr", ""},
                              {"baseline/eligible.7.3.override", "(eligible \"x\")\n"},
                              {"baseline/eligible.77.1", "(eligible \"x\")\n"}});
    add_model(corpus, "unreadable", {"7"});
    fs::remove(corpus.root / "test-models/unreadable/trace.7");
    fs::create_directories(corpus.root / "test-models/unreadable/trace.7");
    corpus.files("unreadable", {{"baseline/eligible.7.1", ""}});

    auto run = corpus.tolvern(
        {"--category", "simulate-repl", "--output", "json", "--timeout", "1"},
        {{"TMPDIR", tmp.path.string()}, {"KESTRIN_STANDIN_LOG", (tmp.path / "runs").string()}});
    const std::map<std::string, Verdict> expected = {
        {"door", {"FAIL", "1/1 trace(s) diverge: 7-elig:1(missing)"}},
        {"overridden", {"PASS", ""}},
        {"three", {"FAIL", "3/1 trace(s) diverge: 7-elig:1,7-elig:2(timeout),7-elig:3"}},
        {"bailing", {"PASS", ""}},
        {"no_steps", {"PASS", ""}},
        {"unreadable",
         {"FAIL", "2/1 trace(s) diverge: 7(repl-daemon read:Is a directory),7-elig:(trace-read)"}},
    };
    auto results = reported(run);
    EXPECT_EQ(results.size(), expected.size());
    for (const auto& [name, want] : expected) EXPECT_EQ(results[name], want) << name;
    EXPECT_EQ(lines_with(log_of(corpus, CHECK, "three"), "[note] per-step"),
              Strings{"[note] per-step eligible DIVERGE: 7-elig:1,7-elig:2(timeout),7-elig:3"});
    EXPECT_EQ(prefix_files(tmp.path), Strings{});

    std::map<std::string, std::size_t> prefix_runs;
    for (auto& argv : standin_argvs(tmp.path / "runs"))
        if (argv[2].find("tolvern_elig_") != std::string::npos) ++prefix_runs[argv.back()];
    EXPECT_EQ(prefix_runs, (std::map<std::string, std::size_t>{
                               {"test-models/bailing/bailing.svk", 2},
                               {"test-models/door/door.svk", 4},
                               {"test-models/overridden/overridden.svk", 3},
                               {"test-models/three/three.svk", 3},
                           }));
}

TEST(SimulateRepl, PrefixFilesHoldTheFirstLinesOfTheTrace) {
    Corpus corpus;
    TempDir tmp;
    add_model(corpus, "door", {"7"});
    add_trace(corpus, "door", "7", "a\r\n  b \n\nc");
    corpus.files("door", {{"baseline/eligible.7.1", ""}});
    // The stand-in behind a script that keeps a copy of every trace file it is asked to check.
    auto kestrin = tmp.path / "kestrin";
    write_file(kestrin,
               "#!/bin/sh\nif [ \"$2\" = --check-trace ]; then\n"
               "  cat \"$3\" >> \"$KESTRIN_COPIES\"; echo '|' >> \"$KESTRIN_COPIES\"\nfi\n"
               "exec \"$KESTRIN_REAL\" \"$@\"\n");
    fs::permissions(kestrin, fs::perms::owner_all);
    auto run = corpus.tolvern_with(kestrin, {"--category", "simulate-repl", "--output", "json"},
                                   {{"TMPDIR", tmp.path.string()},
                                    {"KESTRIN_COPIES", (tmp.path / "copies").string()},
                                    {"KESTRIN_REAL", KESTRIN_STANDIN.string()}});
    EXPECT_EQ(reported(run)["door"], (Verdict{"PASS", ""}));
    EXPECT_EQ(read_file(tmp.path / "copies"), "a\r\n  b \n\nc|\na\n|\na\n  b \n|\na\n  b \n\n|\n");
}

TEST(SimulateRepl, PrefixFilesAreNeverWrittenThroughALink) {
    Corpus corpus;
    TempDir tmp;
    add_model(corpus, "door", {"7"});
    add_trace(corpus, "door", "7", "a\nb\n");
    corpus.files("door", {{"baseline/eligible.7.1", "(eligible)\n"}});
    write_file(tmp.path / "victim", "keep\n");
    fs::create_symlink(tmp.path / "victim", tmp.path / "tolvern_elig_door_7_1.trace");
    auto run = corpus.tolvern({"--category", "simulate-repl", "--output", "json"},
                              {{"TMPDIR", tmp.path.string()}});
    EXPECT_EQ(reported(run)["door"], (Verdict{"PASS", ""}));
    EXPECT_EQ(read_file(tmp.path / "victim"), "keep\n");
    EXPECT_EQ(prefix_files(tmp.path), Strings{"tolvern_elig_door_7_1.trace"});
}

// Model e_1 with trace 2 and model e with trace 1_2 in one session: their prefix files' names
// run together up to the tag, and each run still reads its own.
TEST(SimulateRepl, PrefixFilesOfModelsWhoseNamesRunTogether) {
    Corpus corpus;
    TempDir tmp;
    eligible_model(corpus, "e", "1_2", {"p", "q"});
    eligible_model(corpus, "e_1", "2", {"r", "s"});
    auto run = corpus.tolvern_with(prefix_reading_kestrin(tmp.path),
                                   {"--category", "simulate-repl", "--output", "json", "-j", "4"},
                                   prefix_reading_env(tmp.path));
    EXPECT_EQ(reported(run),
              (std::map<std::string, Verdict>{{"e", {"PASS", ""}}, {"e_1", {"PASS", ""}}}));

    std::set<std::string> files;
    std::map<std::string, Strings> untagged_files;
    const auto prefix_runs = read_file(tmp.path / "prefixes");
    for (auto line : text::split_lines(prefix_runs)) {
        auto fields = text::split_white_space(line);
        ASSERT_EQ(fields.size(), 2u) << line;
        files.emplace(fields[1]);
        untagged_files[std::string(fields[0])].push_back(untagged(std::string(fields[1])));
    }
    EXPECT_EQ(files.size(), 4u);
    const auto head = (tmp.path / "tolvern_elig_e_1_2_").string();
    const Strings same_names = {head + "1.trace", head + "2.trace"};
    EXPECT_EQ(untagged_files,
              (std::map<std::string, Strings>{{"e", same_names}, {"e_1", same_names}}));
    EXPECT_EQ(prefix_files(tmp.path), Strings{});
}

// Two checkouts tested at once on one machine with a model of the same name and different
// traces, each kestrin reading its prefix while the other session is at the same step.
TEST(SimulateRepl, TwoSessionsWithAModelOfTheSameNameAtOnce) {
    Corpus first, second;
    TempDir tmp, meet;
    eligible_model(first, "same", "7", {"a1", "a2"});
    eligible_model(second, "same", "7", {"b1", "b2"});
    auto [first_run, second_run] = run_together(first, second, prefix_reading_kestrin(tmp.path),
                                                {"--category", "simulate-repl", "--output", "json"},
                                                prefix_reading_env(tmp.path), meet.path);
    for (const auto* run : {&first_run, &second_run})
        EXPECT_EQ(reported(*run)["same"], (Verdict{"PASS", ""})) << run->out;
    EXPECT_EQ(prefix_files(tmp.path), Strings{});
}

TEST(SimulateRepl, UnwritablePrefixFilesAreEntries) {
    Corpus corpus;
    add_model(corpus, "door", {"7"});
    add_trace(corpus, "door", "7", "a\nb\nc\n");
    corpus.files("door", {{"baseline/eligible.7.1", "(eligible)\n"}});
    auto run = corpus.tolvern({"--category", "simulate-repl", "--output", "json"},
                              {{"TMPDIR", (corpus.root / "missing").string()}});
    EXPECT_EQ(
        reported(run)["door"],
        (Verdict{"FAIL", "2/1 trace(s) diverge: 7-elig:1(prefix-write),7-elig:2(prefix-write)"}));
}

}  // namespace
}  // namespace tolvern::testing
