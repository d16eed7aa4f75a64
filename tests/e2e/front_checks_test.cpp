// The four front-end checks (parsing, parse-compare, wfc, symres) end to end: the built tolvern
// against the kestrin stand-in, one corpus per category holding one model per row of its table.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "outputs.hpp"
#include "support.hpp"

namespace tolvern::testing {
namespace {

using nlohmann::json;
using Files = std::vector<std::pair<std::string, std::string>>;

// How a row's elapsed time is checked: zero when no tool ran or it could not start; at least the
// stand-in's sleep fixture when it ran; at least the time limit when it timed out.
enum class Elapsed { Zero, Slept, TimedOut };

constexpr std::string_view SLEEP = "0.2";  // seconds; rows with Elapsed::Slept get it
constexpr std::uint64_t SLEPT_MS = 200;
constexpr std::string_view BLOCKING = "m.svk:1:1: error: \"blocking\" feature not supported\n";

struct Row {
    std::string name;
    Files files;
    std::string status;
    std::string reason;
    Elapsed elapsed = Elapsed::Slept;
    bool runs = true;  // whether kestrin is run for the model
};

std::string illegal_sequence() {
    return std::generic_category().message(EILSEQ);
}

// The model directory for a row: test/parse models for parse-compare, test-models otherwise.
fs::path model_dir(const Corpus& corpus, std::string_view category, std::string_view name) {
    return category == "parse-compare" ? corpus.root / "test/parse" / name
                                       : corpus.root / "test-models" / name;
}

void make_model(const Corpus& corpus, std::string_view category, const Row& row) {
    auto dir = model_dir(corpus, category, row.name);
    write_file(dir / (row.name + ".svk"), "component M {}\n");
    fs::create_directories(dir / "baseline");
    for (const auto& [file, bytes] : row.files) write_file(dir / file, bytes);
    if (row.elapsed == Elapsed::Slept) write_file(dir / "standin/parse.sleep", SLEEP);
}

struct Session {
    Run run;
    Progress progress;
    std::vector<json> kestrin_runs;  // what the stand-in was asked, in any order
};

Session run_session(const Corpus& corpus, std::vector<std::string> args) {
    auto log = corpus.root / "standin.log";
    args.insert(args.end(), {"--output", "json"});
    Session session;
    session.run = corpus.tolvern(args, {{"KESTRIN_STANDIN_LOG", log.string()}});
    session.progress = progress_of(session.run);
    session.kestrin_runs = standin_runs(log);
    return session;
}

// Runs the rows' models in one session of the category and checks every progress line and what
// kestrin was asked.
Session check_rows(std::string_view category, const std::vector<Row>& rows,
                   std::vector<std::string> extra_args = {}) {
    Corpus corpus;
    fs::create_directories(corpus.root / "test-models");
    for (const auto& row : rows) make_model(corpus, category, row);
    extra_args.insert(extra_args.end(), {"--category", std::string(category)});
    auto session = run_session(corpus, extra_args);
    EXPECT_EQ(session.progress.lines.size(), rows.size()) << session.run.out << session.run.err;

    auto root = fs::canonical(corpus.root).string();
    auto prefix = category == "parse-compare" ? "test/parse/" : "test-models/";
    std::set<std::string> ran;
    for (const auto& entry : session.kestrin_runs) {
        auto display = entry["argv"].back().get<std::string>();
        auto name = fs::path(display).parent_path().filename().string();
        ran.insert(name);
        EXPECT_EQ(entry["argv"], json({"parse", prefix + name + "/" + name + ".svk"}));
        EXPECT_EQ(entry["cwd"], root);
        EXPECT_EQ(entry["env"]["KES_PANIC_LOG"], "/dev/null");
        EXPECT_EQ(entry["env"]["KES_RUN_LOG"], "/dev/null");
    }

    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto found = session.progress.lines.find(row.name);
        if (found == session.progress.lines.end()) {
            ADD_FAILURE() << "no progress line";
            continue;
        }
        const auto& line = found->second;
        EXPECT_EQ(line["status"], row.status);
        EXPECT_EQ(line["category"], category);
        EXPECT_EQ(line["reason"], row.reason);
        auto ms = line["elapsed_ms"].get<std::uint64_t>();
        switch (row.elapsed) {
            case Elapsed::Zero: EXPECT_EQ(ms, 0u); break;
            case Elapsed::Slept: EXPECT_GE(ms, SLEPT_MS); break;
            case Elapsed::TimedOut: EXPECT_GE(ms, 1000u); break;
        }
        EXPECT_EQ(ran.contains(row.name), row.runs);
        // These checks keep no log and make no output directory.
        EXPECT_FALSE(fs::exists(corpus.root / "build/outputs/tolvern" / category / row.name));
    }
    return session;
}

std::vector<std::string> unexpected_passes(const Session& session) {
    std::vector<std::string> names;
    for (const auto& entry : session.progress.summary["unexpected_passes"])
        names.push_back(entry["category"].get<std::string>() + "/" +
                        entry["name"].get<std::string>());
    return names;
}

TEST(Parsing, EveryOutcomeRow) {
    const Files marker = {{"baseline/parsing.xfail", ""}};
    auto with = [](Files files, const Files& more) {
        files.insert(files.end(), more.begin(), more.end());
        return files;
    };
    const Files rejected = {
        {"standin/parse.exit", "1"},
        {"standin/parse.stderr", "plain one\nplain two\n  m.svk:3:1: error: bad  \n"}};
    const Files blocking = {{"standin/parse.exit", "1"},
                            {"standin/parse.stderr", std::string(BLOCKING)}};
    const Files hangs = {{"standin/parse.sleep", "5"}};
    std::vector<Row> rows = {
        {"p_accept",
         {{"standin/parse.stderr", "m.svk:1:1: error: ignored on exit 0\n"}},
         "PASS",
         ""},
        {"p_reject", rejected, "FAIL", "exit=1 m.svk:3:1: error: bad"},
        {"p_reject_silent", {{"standin/parse.exit", "1"}}, "FAIL", "exit=1 "},
        {"p_reject_marked", with(rejected, marker), "XFAIL", "exit=1 m.svk:3:1: error: bad"},
        {"p_accept_marked", marker, "PASS", ""},
        {"p_blocking_marked", with(blocking, marker), "SKIP", "blocking"},
        {"p_blocking_exit0", {{"standin/parse.stderr", std::string(BLOCKING)}}, "PASS", ""},
        {"p_blocking_stdout",
         {{"standin/parse.exit", "2"}, {"standin/parse.stdout", std::string(BLOCKING)}},
         "FAIL",
         "exit=2 "},
        {"p_signal", {{"standin/parse.signal", "9"}}, "FAIL", "exit=-1 "},
        {"p_timeout", hangs, "TIMEOUT", "parse", Elapsed::TimedOut},
        {"p_timeout_marked", with(hangs, marker), "XFAIL", "parse", Elapsed::TimedOut},
        {"lbs_p_named", {}, "PASS", ""},
    };
    auto session = check_rows("parsing", rows, {"--timeout", "1"});
    EXPECT_EQ(unexpected_passes(session), std::vector<std::string>{"parsing/p_accept_marked"});
}

TEST(ParseCompare, EveryOutcomeRow) {
    const std::string golden = "component M\n  port p\n";
    const Files marker = {{"baseline/parse-compare.xfail", ""}};
    auto golden_and = [&](Files files) {
        files.emplace_back("baseline/parse", golden);
        return files;
    };
    std::vector<Row> rows = {
        {"c_missing", marker, "FAIL", "missing golden: no baseline/parse — regenerate it",
         Elapsed::Zero, false},
        {"c_equal", golden_and({}), "PASS", ""},
        {"c_equal_nonzero_exit", golden_and({{"standin/parse.exit", "3"}}), "PASS", ""},
        {"c_overridden",
         {{"baseline/parse", "old\n"},
          {"baseline/parse.override", golden},
          {"standin/parse.stdout", golden}},
         "PASS",
         "parse-overridden"},
        {"c_joined",
         {{"baseline/parse", "out\nerr\n"},
          {"standin/parse.stdout", "out"},
          {"standin/parse.stderr", "err\n"}},
         "PASS",
         ""},
        {"c_stderr_alone",
         {{"baseline/parse", "err\n"},
          {"standin/parse.stdout", ""},
          {"standin/parse.stderr", "err\n"}},
         "PASS",
         ""},
        {"c_trailing_space",
         {{"baseline/parse", golden}, {"standin/parse.stdout", "component M  \n  port p\t\n\n\n"}},
         "PASS",
         ""},
        {"c_diverges",
         {{"baseline/parse", golden}, {"standin/parse.stdout", "component M\n  port q\n"}},
         "FAIL",
         "parse diverges: line 2: gold=\"  port p\" ours=\"  port q\""},
        {"c_diverges_marked",
         {{"baseline/parse", golden},
          {"standin/parse.stdout", "component M\n"},
          {"baseline/parse-compare.xfail", ""}},
         "XFAIL",
         "parse diverges: length: gold=2 ours=1"},
        {"c_timeout_marked", golden_and({{"standin/parse.sleep", "5"}, marker[0]}), "TIMEOUT",
         "parse", Elapsed::TimedOut},
        {"c_unreadable_marked",
         {{"baseline/parse", "bad \xff byte\n"}, {"standin/parse.stdout", "x\n"}, marker[0]},
         "FAIL",
         "test/parse/c_unreadable_marked/baseline/parse: " + illegal_sequence()},
    };
    auto session = check_rows("parse-compare", rows, {"--timeout", "1"});
    EXPECT_TRUE(unexpected_passes(session).empty());
}

TEST(Wfc, EveryOutcomeRowAndNoMarker) {
    const Files marker = {{"baseline/wfc.xfail", ""}};
    auto model_file = [](std::string_view name, std::string_view ext) {
        return std::string(name) + std::string(ext);
    };
    auto accepting = [&](std::string_view name, Files files) {
        files.emplace_back(model_file(name, ".wfc-accept"), "");
        return files;
    };
    auto rejecting = [&](std::string_view name, std::string_view expected, Files files) {
        files.emplace_back(model_file(name, ".wfc"), std::string(expected));
        files.emplace_back("standin/parse.exit", "1");
        return files;
    };
    const std::string diagnostics = "m.svk:2:4: error: second reply\nm.svk:3:1: warning: unused\n";
    std::vector<Row> rows = {
        {"wf_none", marker, "FAIL",
         "missing golden: no .wfc (reject model needs expected-error lines) or .wfc-accept marker",
         Elapsed::Zero, false},
        {"wf_acc", accepting("wf_acc", {}), "PASS", ""},
        // The accept marker wins, and the unreadable .wfc is never read.
        {"wf_acc_both", accepting("wf_acc_both", {{"wf_acc_both.wfc", "\xff"}}), "PASS", ""},
        {"wf_acc_blocking",
         accepting("wf_acc_blocking",
                   {{"standin/parse.exit", "1"}, {"standin/parse.stderr", std::string(BLOCKING)}}),
         "SKIP", "blocking"},
        {"wf_acc_rejected",
         accepting("wf_acc_rejected", {{"standin/parse.exit", "2"},
                                       {"standin/parse.stderr", "x\n m.svk:1:1: warning: w\n"},
                                       marker[0]}),
         "FAIL", "expected accept (.wfc-accept marker present), got exit=2 m.svk:1:1: warning: w"},
        {"wf_rej_accepted",
         {{"wf_rej_accepted.wfc", "error: x\n"}},
         "FAIL",
         "expected reject, got accept"},
        {"wf_rej_blocking",
         rejecting("wf_rej_blocking", "error: never printed\n",
                   {{"standin/parse.stderr", std::string(BLOCKING)}}),
         "SKIP", "blocking"},
        {"wf_rej_ok",
         rejecting("wf_rej_ok", "# expected\n\nerror: second reply\nwarning: unused\n",
                   {{"standin/parse.stderr", diagnostics}}),
         "PASS", ""},
        {"wf_rej_empty", rejecting("wf_rej_empty", "# only a comment\n\n", {}), "PASS", ""},
        {"wf_rej_missing",
         rejecting("wf_rej_missing", "error: second reply\nerror: a\n  warning: unused\n",
                   {{"standin/parse.stderr", diagnostics}, marker[0]}),
         "FAIL", "missing: error: a |   warning: unused"},
        {"wf_rej_stdout_only",
         rejecting("wf_rej_stdout_only", "error: second reply\n",
                   {{"standin/parse.stdout", diagnostics}}),
         "FAIL", "missing: error: second reply"},
        {"wf_rej_signal",
         {{"wf_rej_signal.wfc", "error: second reply\n"},
          {"standin/parse.stderr", diagnostics},
          {"standin/parse.signal", "9"}},
         "PASS",
         ""},
        {"wf_rej_unreadable",
         {{"wf_rej_unreadable.wfc", "\xfe\n"}},
         "FAIL",
         "test-models/wf_rej_unreadable/wf_rej_unreadable.wfc: " + illegal_sequence(),
         Elapsed::Zero,
         false},
        {"wf_timeout", accepting("wf_timeout", {{"standin/parse.sleep", "5"}, marker[0]}),
         "TIMEOUT", "parse", Elapsed::TimedOut},
    };
    check_rows("wfc", rows, {"--timeout", "1"});
}

TEST(Symres, EveryOutcomeRowAndNoMarker) {
    const Files marker = {{"baseline/symres.xfail", ""}};
    const std::string diagnostics = "m.svk:2:4: error: undeclared `y`\n";
    auto expect = [](std::string_view name, std::string_view mode, Files files) {
        files.emplace_back(std::string(name) + ".expect", std::string(mode));
        return files;
    };
    auto rejected = [&](Files files) {
        files.emplace_back("standin/parse.exit", "1");
        files.emplace_back("standin/parse.stderr", diagnostics);
        return files;
    };
    std::vector<Row> rows = {
        {"symres_plain", {}, "PASS", ""},
        {"symres_empty", expect("symres_empty", " \n", {}), "PASS", ""},
        {"symres_unreadable_accepts", expect("symres_unreadable_accepts", "reject\xff", {}), "PASS",
         ""},
        {"symres_acc_rejected",
         expect("symres_acc_rejected", "accept",
                {{"standin/parse.exit", "1"},
                 {"standin/parse.stderr", std::string(BLOCKING)},
                 marker[0]}),
         "FAIL", "expected accept, exit=1 m.svk:1:1: error: \"blocking\" feature not supported"},
        {"symres_rej_accepted", expect("symres_rej_accepted", "reject", {}), "FAIL",
         "expected reject, got accept"},
        {"symres_rej_ok",
         expect("symres_rej_ok", "  reject \n",
                rejected({{"symres_rej_ok.wfc", "error: undeclared `y`\n"}})),
         "PASS", ""},
        {"symres_rej_no_wfc", expect("symres_rej_no_wfc", "reject", rejected({})), "FAIL",
         "reject mode but no .wfc"},
        {"symres_rej_unreadable",
         expect("symres_rej_unreadable", "reject",
                rejected({{"symres_rej_unreadable.wfc", "\xff"}})),
         "FAIL",
         "test-models/symres_rej_unreadable/symres_rej_unreadable.wfc: " + illegal_sequence()},
        {"symres_rej_missing",
         expect("symres_rej_missing", "reject",
                rejected({{"symres_rej_missing.wfc", "error: undeclared `y`\nerror: z\nerror: w\n"},
                          marker[0]})),
         "FAIL", "missing: error: z | error: w"},
        {"symres_rej_signal",
         expect("symres_rej_signal", "reject",
                {{"symres_rej_signal.wfc", ""}, {"standin/parse.signal", "9"}}),
         "PASS", ""},
        {"symres_two_lines", expect("symres_two_lines", " reject\nmore \n", {}), "FAIL",
         "unknown .expect mode: reject\nmore"},
        {"symres_unknown_timeout",
         expect("symres_unknown_timeout", "maybe", {{"standin/parse.sleep", "5"}, marker[0]}),
         "TIMEOUT", "parse", Elapsed::TimedOut},
    };
    check_rows("symres", rows, {"--timeout", "1"});
}

// A tool that cannot be started fails every front-end check with the runner's message and no
// elapsed time, and one whose output passes its cap with the cap's message and the time it ran;
// only the parsing check lets its marker claim either.
TEST(FrontChecks, ToolThatCannotStartOrPassesItsOutputCap) {
    Corpus corpus;
    auto missing = (corpus.root / "no-such-kestrin").string();
    auto flooding = corpus.root / "flooding-kestrin";
    write_file(flooding, "#!/bin/sh\nsleep 1\nexec yes\n");
    fs::permissions(flooding, fs::perms::owner_all);
    struct Tool {
        std::string path, reason;
        std::uint64_t least_ms;  // 0: exactly zero
    } tools[] = {
        {missing, "spawn " + missing + ": No such file or directory", 0},
        {flooding.string(), "standard output passed its cap of 256 MiB", 1000},
    };
    struct Case {
        std::string category, name, status;
        Files files;
    };
    std::vector<Case> cases = {
        {"parsing", "s_parse", "XFAIL", {{"baseline/parsing.xfail", ""}}},
        {"parse-compare",
         "s_compare",
         "FAIL",
         {{"baseline/parse", "x\n"}, {"baseline/parse-compare.xfail", ""}}},
        {"wfc", "wf_s", "FAIL", {{"wf_s.wfc-accept", ""}, {"baseline/wfc.xfail", ""}}},
        {"symres", "symres_s", "FAIL", {{"baseline/symres.xfail", ""}}},
    };
    for (const auto& c : cases)
        make_model(corpus, c.category, Row{c.name, c.files, "", "", Elapsed::Zero});
    for (const auto& tool : tools) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.category + " with " + tool.path);
            auto run =
                corpus.tolvern_with(tool.path, {"--category", c.category, "--output", "json"});
            auto lines = json_lines(run.out);
            ASSERT_EQ(lines.size(), 2u) << run.out << run.err;
            EXPECT_EQ(lines[0]["name"], c.name);
            EXPECT_EQ(lines[0]["status"], c.status);
            EXPECT_EQ(lines[0]["reason"], tool.reason);
            if (tool.least_ms == 0)
                EXPECT_EQ(lines[0]["elapsed_ms"], 0);
            else
                EXPECT_GE(lines[0]["elapsed_ms"].get<std::uint64_t>(), tool.least_ms);
        }
    }
}

}  // namespace
}  // namespace tolvern::testing
