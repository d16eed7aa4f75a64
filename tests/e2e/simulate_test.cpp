// The simulate and trace checks end to end through the binary and the kestrin stand-in: which
// goldens become cases and in which order, what kestrin is given, the result reasons, the log
// lines and the artefacts of diverging traces.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "outputs.hpp"
#include "support.hpp"

namespace tolvern::testing {
namespace {

// A simulation text for a model that is unique across a corpus (the stand-in's trace operation
// finds its model by the text it reads).
std::string simulation(std::string_view model, std::string_view x) {
    return "(header " + std::string(model) + ")\n(state s:Idle)\n(eligible go)\nm.go -> Busy\n" +
           "(state s:Busy)\n(trail \"go" + std::string(x) + "\")\n";
}

// Trace X of a model: "trace.X" with its golden "baseline/simulate.X".
void add_trace(Corpus& corpus, std::string_view model, std::string_view x) {
    auto dir = corpus.root / "test-models" / model;
    write_file(dir / ("trace." + std::string(x)), "go" + std::string(x) + "\n");
    write_file(dir / "baseline" / ("simulate." + std::string(x)), simulation(model, x));
}

// The command headers of a log, in order.
Strings commands(const std::string& log) {
    return lines_with(log, "## (");
}

TEST(Simulate, RunsTheCasesInNumericOrderWithTheTraceOnStdin) {
    Corpus corpus;
    corpus.model("door");
    for (auto x : {"10", "2", "1"}) add_trace(corpus, "door", x);
    // Goldens without a trace file, and golden sidecars, are no cases.
    corpus.files("door", {{"baseline/simulate.4", "(trail)\n"},
                          {"baseline/simulate.1.stderr", ""},
                          {"baseline/simulate.2.judge", "shape\n"}});
    corpus.model("lbs_relay");
    add_trace(corpus, "lbs_relay", "0");

    TempDir record;
    auto run = corpus.tolvern({"--category", "simulate", "--output", "json"},
                              {{"KESTRIN_STANDIN_LOG", (record.path / "runs").string()}});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    auto results = reported(run);
    EXPECT_EQ(results["door"], (Verdict{"PASS", ""}));
    EXPECT_EQ(results["lbs_relay"], (Verdict{"PASS", ""}));

    EXPECT_EQ(commands(log_of(corpus, "simulate", "door")),
              (Strings{"## (1) simulate trace.1 → ok", "## (2) simulate trace.2 → ok",
                       "## (3) simulate trace.10 → ok"}));
    EXPECT_TRUE(
        log_of(corpus, "simulate", "door").starts_with("== tolvern: door (simulate)  PASS  "));

    Strings door_inputs;
    for (const auto& r : standin_runs(record.path / "runs")) {
        auto argv = r["argv"].get<Strings>();
        EXPECT_EQ(r["env"]["KES_PANIC_LOG"], "/dev/null");
        EXPECT_EQ(r["env"]["KES_RUN_LOG"], "/dev/null");
        if (argv.back() == "test-models/door/door.svk") {
            EXPECT_EQ(argv, (Strings{"simulate", "-m", "door", "test-models/door/door.svk"}));
            door_inputs.push_back(r["stdin"].get<std::string>());
        } else {
            EXPECT_EQ(argv,
                      (Strings{"simulate", "-m", "relay", "test-models/lbs_relay/lbs_relay.svk"}));
        }
    }
    EXPECT_EQ(door_inputs, (Strings{"go1\n", "go2\n", "go10\n"}));
}

TEST(Simulate, ResultReasons) {
    Corpus corpus;
    auto model = [&](std::string_view name, std::initializer_list<std::string_view> xs) {
        corpus.model(name);
        for (auto x : xs) add_trace(corpus, name, x);
    };
    model("foreign_bridge", {"0"});
    model("no_cases", {});
    corpus.files("no_cases", {{"baseline/simulate.4", "(trail)\n"}});
    model("blocked", {"0", "1"});
    corpus.files("blocked",
                 {{"standin/simulate.stderr", "x: error: \"blocking\" feature not supported\n"}});
    model("overridden", {"0"});
    corpus.files("overridden",
                 {{"standin/simulate.stdout", "(header other)\nm.stop -> Done\n"},
                  {"baseline/simulate.0.override", "(header other)\nm.stop -> Done\n"}});
    model("artifact", {"0"});
    corpus.files("artifact", {{"baseline/simulate.0.judge", "# waived\ngolden_artifact\n"},
                              {"standin/simulate.stdout", "m.other -> Elsewhere\n"},
                              {"standin/simulate.stderr", "warning: noise\n"}});
    // Nine of twelve diverge; entries are listed in case order, eight at most.
    model("many", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"});
    for (auto x : {"10", "1", "2", "3", "4", "5", "6", "7", "8"})
        corpus.files("many",
                     {{"standin/simulate." + std::string(x) + ".stdout", "m.go -> Lost\n"}});
    model("slow", {"0"});
    corpus.files("slow", {{"standin/simulate.sleep", "5"}});
    model("slow_and_wrong", {"0", "1"});
    corpus.files("slow_and_wrong", {{"standin/simulate.0.sleep", "5"},
                                    {"standin/simulate.1.stdout", "m.go -> Lost\n"}});
    model("marked", {"0"});
    corpus.files("marked",
                 {{"standin/simulate.stdout", "m.go -> Lost\n"}, {"baseline/simulate.xfail", ""}});
    model("unreadable", {"0"});
    fs::remove(corpus.root / "test-models/unreadable/trace.0");
    fs::create_directories(corpus.root / "test-models/unreadable/trace.0");

    auto run = corpus.tolvern({"--category", "simulate", "--output", "json", "--timeout", "1"});
    EXPECT_EQ(run.code, 1);
    auto results = reported(run);
    const std::map<std::string, Verdict> expected = {
        {"foreign_bridge", {"SKIP", "foreign (deferred)"}},
        {"no_cases", {"SKIP", "no simulate goldens"}},
        {"blocked", {"SKIP", "all traces blocking"}},
        {"overridden", {"PASS", ""}},
        {"artifact", {"PASS", ""}},
        {"many", {"FAIL", "9/12 trace(s) diverge: 1,2,3,4,5,6,7,8 (+1 more)"}},
        {"slow", {"TIMEOUT", "1/1 trace(s) diverge: 0(timeout)"}},
        {"slow_and_wrong", {"FAIL", "2/2 trace(s) diverge: 0(timeout),1"}},
        {"marked", {"XFAIL", "1/1 trace(s) diverge: 0"}},
        {"unreadable", {"FAIL", "1/1 trace(s) diverge: 0(trace-read)"}},
    };
    EXPECT_EQ(results.size(), expected.size());
    for (const auto& [name, want] : expected) EXPECT_EQ(results[name], want) << name;

    // Early skips leave no trace on disk.
    EXPECT_FALSE(fs::exists(out_dir(corpus, "simulate", "foreign_bridge")));
    EXPECT_FALSE(fs::exists(out_dir(corpus, "simulate", "no_cases")));

    EXPECT_EQ(commands(log_of(corpus, "simulate", "blocked")),
              (Strings{"## (1) simulate trace.0 → blocking (skip)",
                       "## (2) simulate trace.1 → blocking (skip)"}));
    EXPECT_EQ(commands(log_of(corpus, "simulate", "slow_and_wrong")),
              (Strings{"## (1) simulate trace.0 → TIMEOUT", "## (2) simulate trace.1 → DIVERGE"}));
    auto marked = log_of(corpus, "simulate", "marked");
    EXPECT_TRUE(marked.starts_with("== tolvern: marked (simulate)  XFAIL  ")) << marked;
    EXPECT_NE(marked.find("\nreason: 1/1 trace(s) diverge: 0\n"), std::string::npos);
    // Nothing was run for the unreadable trace, but the failure is logged.
    auto unreadable = log_of(corpus, "simulate", "unreadable");
    EXPECT_TRUE(commands(unreadable).empty()) << unreadable;
    EXPECT_NE(unreadable.find("reason: 1/1 trace(s) diverge: 0(trace-read)"), std::string::npos);
}

TEST(Simulate, DivergingTracesKeepTheirStreams) {
    Corpus corpus;
    corpus.model("lamp");
    add_trace(corpus, "lamp", "0");
    add_trace(corpus, "lamp", "1");
    add_trace(corpus, "lamp", "2");
    // 0: stdout diverges, stderr as expected; 1: stdout right, stderr unexpected; 2: passes.
    corpus.files("lamp", {{"standin/simulate.0.stdout", "m.go -> Lost\n"},
                          {"standin/simulate.0.stderr", "warning: dim\n"},
                          {"baseline/simulate.0.stderr", "warning: dim\n"},
                          {"standin/simulate.1.stderr", "warning: flicker\n"}});
    auto run = corpus.tolvern({"--category", "simulate", "--output", "json"});
    EXPECT_EQ(reported(run)["lamp"], (Verdict{"FAIL", "2/3 trace(s) diverge: 0,1"}));

    auto dir = out_dir(corpus, "simulate", "lamp");
    EXPECT_EQ(read_file(dir / "ours.simulate.0"), "m.go -> Lost\n");
    EXPECT_FALSE(fs::exists(dir / "ours.simulate.0.stderr"));
    EXPECT_EQ(read_file(dir / "ours.simulate.1"), simulation("lamp", "1"));
    EXPECT_EQ(read_file(dir / "ours.simulate.1.stderr"), "warning: flicker\n");
    EXPECT_FALSE(fs::exists(dir / "ours.simulate.2"));

    // The log names only the stdout artefact and shows the standard error inline.
    auto log = read_file(dir / "log");
    EXPECT_EQ(commands(log),
              (Strings{"## (1) simulate trace.0 → DIVERGE", "## (2) simulate trace.1 → DIVERGE",
                       "## (3) simulate trace.2 → ok"}));
    auto second = log.substr(log.find("## (2)"));
    EXPECT_NE(second.find("stdout → "), std::string::npos) << log;
    EXPECT_NE(second.find("ours.simulate.1  (6 lines)\n"), std::string::npos) << log;
    EXPECT_NE(second.find("stderr:\n  warning: flicker\n"), std::string::npos) << log;
}

TEST(Simulate, ARunThatCannotStartFailsItsTrace) {
    Corpus corpus;
    corpus.model("door");
    add_trace(corpus, "door", "0");
    auto missing = corpus.root / "no-kestrin";
    auto run = corpus.tolvern_with(missing, {"--category", "simulate", "--output", "json"});
    auto reason = reported(run)["door"];
    EXPECT_EQ(reason.status, "FAIL");
    EXPECT_EQ(reason.reason, "1/1 trace(s) diverge: 0(spawn:spawn " + missing.string() +
                                 ": No such file or directory)");
    auto log = log_of(corpus, "simulate", "door");
    EXPECT_EQ(commands(log), (Strings{"## (1) simulate trace.0 → spawn-error"}));
    EXPECT_NE(log.find("exit: SPAWN_ERROR  (spawn "), std::string::npos) << log;
}

// Trace X of the trace check: "baseline/simulate.X" with its JSON "baseline/simulate-json.X".
void add_json(Corpus& corpus, std::string_view model, std::string_view x) {
    auto baseline = corpus.root / "test-models" / model / "baseline";
    write_file(baseline / ("simulate." + std::string(x)), simulation(model, x));
    write_file(baseline / ("simulate-json." + std::string(x)),
               "{\"model\":\"" + std::string(model) + "\",\"trace\":\"" + std::string(x) + "\"}\n");
}

TEST(Trace, FeedsTheGoldenSimulationAndItsStderrInOrder) {
    Corpus corpus;
    corpus.model("foreign_door");
    for (auto x : {"10", "2", "1"}) add_json(corpus, "foreign_door", x);
    corpus.files("foreign_door", {{"baseline/simulate.2.stderr", "warning: late\n"},
                                  {"baseline/simulate-json.7", "{}\n"}});

    TempDir record;
    auto run = corpus.tolvern({"--category", "trace", "--output", "json"},
                              {{"KESTRIN_STANDIN_LOG", (record.path / "runs").string()}});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_EQ(reported(run)["foreign_door"], (Verdict{"PASS", ""}));
    EXPECT_EQ(commands(log_of(corpus, "trace", "foreign_door")),
              (Strings{"## (1) trace simulate-json.1 → ok", "## (2) trace simulate-json.2 → ok",
                       "## (3) trace simulate-json.10 → ok"}));

    Strings inputs;
    for (const auto& r : standin_runs(record.path / "runs")) {
        EXPECT_EQ(r["argv"].get<Strings>(), (Strings{"trace"}));
        inputs.push_back(r["stdin"].get<std::string>());
    }
    EXPECT_EQ(inputs, (Strings{simulation("foreign_door", "1"),
                               simulation("foreign_door", "2") + "warning: late\n",
                               simulation("foreign_door", "10")}));
}

TEST(Trace, ResultReasonsAndArtefacts) {
    Corpus corpus;
    corpus.model("no_json");
    add_trace(corpus, "no_json", "0");
    // Differs from its golden only by the final line feed; a marker does not excuse it.
    corpus.model("newline");
    add_json(corpus, "newline", "0");
    add_json(corpus, "newline", "1");
    corpus.files("newline", {{"standin/trace.0.stdout", "{\"model\":\"newline\",\"trace\":\"0\"}"},
                             {"baseline/trace.xfail", ""}});
    corpus.model("unreadable");
    add_json(corpus, "unreadable", "0");
    fs::remove(corpus.root / "test-models/unreadable/baseline/simulate.0");
    fs::create_directories(corpus.root / "test-models/unreadable/baseline/simulate.0");
    // A golden that is not UTF-8 counts as empty.
    corpus.model("binary");
    add_json(corpus, "binary", "0");
    corpus.files("binary", {{"baseline/simulate-json.0", "\xff\n"}, {"standin/trace.stdout", ""}});
    corpus.model("slow");
    add_json(corpus, "slow", "0");
    corpus.files("slow", {{"standin/trace.sleep", "5"}});

    auto run = corpus.tolvern({"--category", "trace", "--output", "json", "--timeout", "1"});
    EXPECT_EQ(run.code, 1);
    auto results = reported(run);
    EXPECT_EQ(results["no_json"], (Verdict{"SKIP", "no simulate-json goldens"}));
    EXPECT_EQ(results["newline"], (Verdict{"FAIL", "1/2 trace(s) diverge: 0"}));
    EXPECT_EQ(results["unreadable"], (Verdict{"FAIL", "1/1 trace(s) diverge: 0(sim-read)"}));
    EXPECT_EQ(results["binary"], (Verdict{"PASS", ""}));
    EXPECT_EQ(results["slow"], (Verdict{"TIMEOUT", "1/1 trace(s) diverge: 0(timeout)"}));

    auto dir = out_dir(corpus, "trace", "newline");
    EXPECT_EQ(read_file(dir / "ours.simulate-json.0"), "{\"model\":\"newline\",\"trace\":\"0\"}");
    EXPECT_FALSE(fs::exists(dir / "ours.simulate-json.1"));
    EXPECT_EQ(commands(read_file(dir / "log")), (Strings{"## (1) trace simulate-json.0 → DIVERGE",
                                                         "## (2) trace simulate-json.1 → ok"}));
    EXPECT_EQ(commands(log_of(corpus, "trace", "slow")),
              (Strings{"## (1) trace simulate-json.0 → TIMEOUT"}));
    EXPECT_FALSE(fs::exists(out_dir(corpus, "trace", "no_json")));
}

}  // namespace
}  // namespace tolvern::testing
