// The kestrin stand-in run as tolvern runs it, on small corpora: operation defaults, fixtures,
// the lookups by content and name, the REPL daemon and the run record.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support.hpp"
#include "text.hpp"

namespace {

using namespace tolvern::testing;
using Json = nlohmann::json;

const std::string DISPLAY = "test-models/m/m.svk";

// A corpus holding the model m, run with the stand-in in its root.
struct Standin {
    Corpus corpus;
    fs::path dir = corpus.model("m");

    void files(std::initializer_list<std::pair<std::string_view, std::string_view>> files) {
        corpus.files("m", files);
    }
    Run run(std::vector<std::string> args, std::optional<std::string> input = std::nullopt,
            std::vector<std::pair<std::string, std::string>> env = {}) const {
        return run_program(KESTRIN_STANDIN, std::move(args), corpus.root, std::move(env),
                           std::move(input));
    }
    // Through a shell, for what the runner does not hand back: raw bytes and the signal.
    Run shell(const std::string& script) const {
        return run_program("/bin/sh", {"-c", script, KESTRIN_STANDIN.string()}, corpus.root);
    }
    std::vector<Json> replies(std::string_view out) const {
        std::vector<Json> replies;
        for (auto line : tolvern::text::split_lines(out)) replies.push_back(Json::parse(line));
        return replies;
    }
};

struct DefaultCase {
    std::string what;
    std::vector<std::string> args;
    std::vector<std::pair<std::string_view, std::string_view>> files;
    std::string out;
};

TEST(KestrinStandin, DefaultsPerOperation) {
    std::vector<DefaultCase> cases = {
        {"parse golden", {"parse", DISPLAY}, {{"baseline/parse", "P"}}, "P"},
        {"parse override",
         {"parse", DISPLAY},
         {{"baseline/parse", "P"}, {"baseline/parse.override", "PO"}},
         "PO"},
        {"no golden", {"parse", DISPLAY}, {}, ""},
        {"lts gold",
         {"-p", "lts", "--full-lts", "-m", "m", "-q", "3", "--queue-size-defer", "4", DISPLAY},
         {{"baseline/lts.aut", "des (0,0,1)\n"}},
         "des (0,0,1)\n"},
        {"lts override",
         {"--threads=2", "lts", "--full-lts", "-m", "m", DISPLAY},
         {{"baseline/lts.aut", "G"}, {"baseline/lts.override.aut", "O"}},
         "O"},
        {"vorlan imports",
         {"-p", "lts", "--full-lts", "-m", "m", "-I", "a", "-I", "b", DISPLAY},
         {{"baseline/lts.aut", "G"}},
         "G"},
        {"verify",
         {"-v", "verify", "-k", "--full-lts", "-I", "test-models/m", "-m", "m", DISPLAY},
         {{"baseline/verify", "V"}},
         "V"},
        {"verify override",
         {"-v", "verify", "-k", "--full-lts", "-I", "test-models/m", "-m", "m", DISPLAY},
         {{"baseline/verify", "V"}, {"baseline/verify.override", "VO"}},
         "VO"},
        {"ports",
         {"inspect-ports", "--output", "json", "-m", "m", DISPLAY},
         {},
         "{\"ports\":[]}\n"},
        {"unknown flags",
         {"--frobnicate", "parse", "--quiet", DISPLAY},
         {{"baseline/parse", "P"}},
         "P"},
    };
    for (auto& c : cases) {
        Standin standin;
        for (auto& [name, bytes] : c.files) standin.files({{name, bytes}});
        auto run = standin.run(c.args);
        EXPECT_EQ(run.code, 0) << c.what;
        EXPECT_EQ(run.out, c.out) << c.what;
        EXPECT_EQ(run.err, "") << c.what;
    }
}

TEST(KestrinStandin, KeyedFixturesWinFieldByField) {
    Standin standin;
    standin.files({{"baseline/lts.aut", "gold"},
                   {"standin/lts.stdout", "plain"},
                   {"standin/lts.exit", "3\n"},
                   {"standin/lts.t2.stderr", "keyed error"},
                   {"standin/lts.t2.exit", "4"}});
    auto lts = [&](std::string threads) {
        return standin.run({"--threads=" + threads, "lts", "--full-lts", "-m", "m", DISPLAY});
    };
    auto t2 = lts("2");
    EXPECT_EQ(t2.out, "plain");
    EXPECT_EQ(t2.err, "keyed error");
    EXPECT_EQ(t2.code, 4);
    auto t3 = lts("3");
    EXPECT_EQ(t3.out, "plain");
    EXPECT_EQ(t3.err, "");
    EXPECT_EQ(t3.code, 3);
}

TEST(KestrinStandin, SignalEndsTheRunAfterItsOutput) {
    Standin standin;
    standin.files({{"standin/parse.stdout", "said"}, {"standin/parse.signal", "9"}});
    auto run = standin.run({"parse", DISPLAY});
    EXPECT_EQ(run.code, -1);
    EXPECT_EQ(run.out, "said");
    EXPECT_EQ(standin.shell("\"$0\" parse " + DISPLAY + " >/dev/null; echo $?").out, "137\n");
}

TEST(KestrinStandin, SleepHoldsBackTheOutputUntilTheTimeLimit) {
    Standin standin;
    standin.files({{"standin/verify.sleep", "30.5"}, {"standin/verify.stdout", "late"}});
    tolvern::runner::Invocation invocation{
        KESTRIN_STANDIN,        {"-v", "verify", DISPLAY}, {}, standin.corpus.root, {},
        std::chrono::seconds(1)};
    EXPECT_TRUE(
        std::holds_alternative<tolvern::runner::TimedOut>(tolvern::runner::run(invocation)));
}

TEST(KestrinStandin, MalformedNumbersAndCommandLinesExitTwo) {
    Standin standin;
    standin.files({{"standin/parse.exit", "one"}});
    auto bad_fixture = standin.run({"parse", DISPLAY});
    EXPECT_EQ(bad_fixture.code, 2);
    EXPECT_NE(bad_fixture.err.find("parse.exit"), std::string::npos) << bad_fixture.err;
    for (auto args : std::vector<std::vector<std::string>>{
             {}, {"-m", "m", DISPLAY}, {"parse"}, {"lts", "-m"}, {"traces", "-m", "m", DISPLAY}})
        EXPECT_EQ(standin.run(args).code, 2) << testing::PrintToString(args);
}

TEST(KestrinStandin, LargeBinaryOutputIsWrittenExactly) {
    Standin standin;
    std::string bytes;
    for (int i = 0; bytes.size() < 5'000'000; ++i) bytes += static_cast<char>(i * 7 % 256);
    bytes += "\xff\xfe";
    standin.files({{"standin/parse.stdout", bytes}, {"standin/parse.stderr", "\x80"}});
    auto run = standin.shell("\"$0\" parse " + DISPLAY + " >out 2>err");
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(read_file(standin.corpus.root / "out") == bytes);
    EXPECT_EQ(read_file(standin.corpus.root / "err"), "\x80");
}

TEST(KestrinStandin, SimulateAnswersTheTraceItWasGiven) {
    Standin standin;
    standin.files({{"trace.1", "a\n"},
                   {"trace.2", "a\n(state 1)\nb\n"},
                   {"baseline/simulate.1", "(trail \"a\")\n"},
                   {"baseline/simulate.2", "(trail \"a\" \"b\")\n"},
                   {"baseline/simulate.2.stderr", "warning: w\n"},
                   {"standin/simulate.2.exit", "1"}});
    auto simulate = [&](std::string input) {
        return standin.run({"simulate", "-m", "m", DISPLAY}, input);
    };
    auto second = simulate("a\n(state 1)\nb\n");
    EXPECT_EQ(second.out, "(trail \"a\" \"b\")\n");
    EXPECT_EQ(second.err, "warning: w\n");
    EXPECT_EQ(second.code, 1);
    auto first = simulate("a\n");
    EXPECT_EQ(first.out, "(trail \"a\")\n");
    EXPECT_EQ(first.code, 0);
    auto unknown = simulate("(state 0)\n  x \n\ny\n");
    EXPECT_EQ(unknown.out, "(trail \"x\" \"y\")\n");
    EXPECT_EQ(unknown.err, "");
}

TEST(KestrinStandin, CheckTraceKeysByTraceStepOrFileName) {
    Standin standin;
    standin.files({{"baseline/simulate.7", "(trail \"a\")\n"},
                   {"baseline/simulate.7.stderr", "e\n"},
                   {"baseline/eligible.7.2", "two"},
                   {"baseline/eligible.7.4", "four"},
                   {"baseline/eligible.7.3.override", "three"},
                   {"baseline/eligible.7.x", "never"},
                   {"standin/check-trace.7.5.exit", "6"},
                   {"standin/check-trace.t3.exit", "1"}});
    auto check = [&](std::string file, std::vector<std::string> before = {}) {
        std::vector<std::string> args = {"simulate"};
        args.insert(args.end(), before.begin(), before.end());
        args.insert(args.end(), {"--check-trace", file, "-m", "m", DISPLAY});
        return standin.run(args);
    };
    auto whole = check((standin.dir / "trace.7").string());
    EXPECT_EQ(whole.out, "(trail \"a\")\n");
    EXPECT_EQ(whole.err, "e\n");
    struct Step {
        int k;
        std::string out;
        int code;
    };
    for (auto [k, out, code] : std::vector<Step>{
             {1, "", 0}, {2, "two", 0}, {3, "three", 0}, {4, "four", 0}, {5, "four", 6}}) {
        auto run = check("/tmp/tolvern_elig_m_7_" + std::to_string(k) + "_Q7x2zA.trace");
        EXPECT_EQ(run.out, out) << k;
        EXPECT_EQ(run.code, code) << k;
    }
    auto generated = check("out/traces/t3", {"--defer-any-order", "--defer-origin"});
    EXPECT_EQ(generated.out, "");
    EXPECT_EQ(generated.code, 1);
}

TEST(KestrinStandin, TraceFindsTheModelByItsGoldenSimulation) {
    Standin standin;
    standin.corpus.model("z");
    standin.corpus.files("z", {{"baseline/simulate.5", "(trail \"q\")\n"},
                               {"baseline/simulate.5.stderr", "err\n"},
                               {"baseline/simulate-json.5", "{\"z\":5}"},
                               {"baseline/simulate.6", "sim six\n"},
                               {"standin/trace.6.exit", "3"}});
    standin.files({{"baseline/simulate.5", "(trail \"q\")\n"}});
    auto found = standin.run({"trace"}, "(trail \"q\")\nerr\n");
    EXPECT_EQ(found.out, "{\"z\":5}");
    auto without_json = standin.run({"trace"}, "sim six\n");
    EXPECT_EQ(without_json.out, "[\"sim six\"]\n");
    EXPECT_EQ(without_json.code, 3);
    auto unknown = standin.run({"trace"}, "a\nb");
    EXPECT_EQ(unknown.out, "[\"a\",\"b\"]\n");
    EXPECT_EQ(unknown.code, 0);
}

TEST(KestrinStandin, TracesCopiesTheFixtureTraces) {
    Standin standin;
    standin.files({{"standin/traces/t1", "a\n"},
                   {"standin/traces/t2", "b\n"},
                   {"standin/traces/sub/t3", "c\n"}});
    auto run = standin.run({"traces", "-m", "m", "--defer-origin", "-o", "out/tr", DISPLAY});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(read_file(standin.corpus.root / "out/tr/t1"), "a\n");
    EXPECT_EQ(read_file(standin.corpus.root / "out/tr/t2"), "b\n");
    EXPECT_FALSE(fs::exists(standin.corpus.root / "out/tr/sub"));
}

const std::vector<std::string> REPL_ARGS = {"--output", "json", "simulate", "--repl",
                                            "-m",       "m",    DISPLAY};

std::string event(std::string_view name) {
    return Json{{"op", "event"}, {"event", name}}.dump() + "\n";
}
const std::string QUIT = "{\"op\":\"quit\"}\n";

TEST(KestrinStandin, ScriptedReplAnswersFromItsScript) {
    Standin standin;
    standin.files({{"standin/repl.jsonl", "{\"open\":1}\n@stderr to err\nnot json\n[1]\n"},
                   {"standin/repl.stderr", "started\n"}});
    auto run = standin.run(REPL_ARGS, event("a") + event("b") + event("c") + QUIT);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out,
              "{\"open\":1}\nnot json\n[1]\n{\"status\":\"ok\",\"ok\":true,\"stderr\":[]}\n"
              "{\"status\":\"bye\",\"stderr\":[]}\n");
    EXPECT_EQ(run.err, "started\nto err\n");
    auto ended_input = standin.run(REPL_ARGS, event("a"));
    EXPECT_EQ(ended_input.code, 0);
    EXPECT_EQ(ended_input.out, "{\"open\":1}\nnot json\n");
}

TEST(KestrinStandin, ScriptedReplExitsOrHangsWhereItsScriptSays) {
    Standin standin;
    standin.files({{"standin/repl.jsonl", "{}\n{}\n@exit 3\n"}});
    auto exited = standin.run(REPL_ARGS, event("a") + event("b") + event("c"));
    EXPECT_EQ(exited.code, 3);
    EXPECT_EQ(exited.out, "{}\n{}\n");

    standin.files({{"standin/repl.jsonl", "{}\n@hang\n"}});
    tolvern::runner::Invocation invocation{
        KESTRIN_STANDIN,     REPL_ARGS,         {},
        standin.corpus.root, event("a") + QUIT, std::chrono::seconds(1)};
    EXPECT_TRUE(
        std::holds_alternative<tolvern::runner::TimedOut>(tolvern::runner::run(invocation)));
}

TEST(KestrinStandin, DefaultReplWalksTheRecordedTraces) {
    Standin standin;
    standin.files({{"trace.1", "a\n(state 1)\nb\n<deadlock>\n"},
                   {"baseline/simulate.1", "(trail \"a\" \"b\" \"<deadlock>\")\n"},
                   {"trace.2", "a\nc\n"},
                   {"baseline/simulate.2", "(trail \"a\" \"c\")\n"},
                   {"trace.3", "d\n"},
                   {"baseline/simulate.3", "(trail \"d\")\n"},
                   {"baseline/simulate.3.override", "(trail \"d\" \"<livelock>\")\n"}});
    auto run = standin.run(
        REPL_ARGS, event("a") + event("(state 1)") + event("b") + "[2]\n" + event("x") + QUIT);
    EXPECT_EQ(run.code, 0);
    auto replies = standin.replies(run.out);
    ASSERT_EQ(replies.size(), 7u) << run.out;
    EXPECT_EQ(replies[0], Json::parse(R"({"status":"ok","ok":true,"eligible":["a","b","c","d"],
        "trail":[],"trace":{"trail":[]},"stderr":[]})"));
    EXPECT_EQ(replies[1]["trail"], Json::parse(R"(["a"])"));
    EXPECT_EQ(replies[2]["status"], "ok");
    EXPECT_EQ(replies[2]["trail"], Json::parse(R"(["a"])"));
    std::string error = DISPLAY + ":1:1: error: <deadlock>";
    EXPECT_EQ(replies[3]["status"], "verdict");
    EXPECT_EQ(replies[3]["error"], error);
    EXPECT_EQ(replies[3]["stderr"], Json::array({error}));
    EXPECT_EQ(replies[3]["trace"]["trail"], Json::parse(R"(["a","b","<deadlock>"])"));
    EXPECT_EQ(replies[4]["status"], "error");
    EXPECT_EQ(replies[4]["ok"], false);
    EXPECT_EQ(replies[5]["trail"], Json::parse(R"(["a","b","<deadlock>","x"])"));
    EXPECT_EQ(replies[6]["status"], "bye");

    auto no_verdict = standin.replies(standin.run(REPL_ARGS, event("a") + event("c")).out);
    EXPECT_EQ(no_verdict.back()["status"], "ok");
    auto from_override = standin.replies(standin.run(REPL_ARGS, event("d")).out);
    EXPECT_EQ(from_override.back()["error"], DISPLAY + ":1:1: error: <livelock>");
}

TEST(KestrinStandin, RecordsEveryRunInTheLog) {
    Standin standin;
    standin.files({{"standin/repl.jsonl", "{}\n"}});
    auto log = standin.corpus.root / "calls.log";
    std::vector<std::pair<std::string, std::string>> env = {
        {"KESTRIN_STANDIN_LOG", log.string()}, {"KES_RUN_LOG", "/dev/null"}, {"OTHER", "x"}};
    standin.run({"simulate", "-m", "m", DISPLAY}, "a\n", env);
    standin.run({"parse", DISPLAY}, std::nullopt, env);
    standin.run(REPL_ARGS, event("a") + QUIT, env);
    auto text = read_file(log);
    auto lines = tolvern::text::split_lines(text);
    ASSERT_EQ(lines.size(), 3u);
    auto simulate = Json::parse(lines[0]);
    EXPECT_EQ(simulate["argv"], Json::parse(R"(["simulate","-m","m","test-models/m/m.svk"])"));
    EXPECT_EQ(simulate["stdin"], "a\n");
    EXPECT_TRUE(fs::equivalent(simulate["cwd"].get<std::string>(), standin.corpus.root));
    EXPECT_EQ(simulate["env"]["KESTRIN_STANDIN_LOG"], log.string());
    EXPECT_EQ(simulate["env"]["KES_RUN_LOG"], "/dev/null");
    EXPECT_FALSE(simulate["env"].contains("OTHER"));
    EXPECT_TRUE(Json::parse(lines[1])["stdin"].is_null());
    EXPECT_EQ(Json::parse(lines[2])["stdin"], event("a") + QUIT);
}

}  // namespace
