// The pure parts of the simulate-repl check: eligible sets, xfail lists, the status rule, and
// how the per-trace records are folded into the log and the tally.
#include "category/simulate_repl.hpp"

#include <gtest/gtest.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <atomic>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "category/eligible_internal.hpp"
#include "category/repl_records.hpp"
#include "category/simulate_repl_internal.hpp"
#include "support.hpp"

namespace tolvern::category {
namespace {

using Set = std::set<std::string>;

TEST(EligibleSetOf, ReadsTheLastEligibleLine) {
    struct Case {
        std::string text;
        Set want;
    };
    const std::vector<Case> cases = {
        {"(eligible \"b\" \"a\" \"<defer>\")\n", {"a", "b"}},
        {"(state x)\n(eligible \"a\" \"b\")", {"a", "b"}},
        {"  (eligible)\n", {}},
        {"\t(eligible \"a\")\r\n", {"a"}},
        {"eligible (\"a\")\n", {}},
        {"(state x)\n", {}},
        {"", {}},
        // Only the last eligible line counts, even when an earlier one says more.
        {"(eligible \"a\" \"b\")\nm.a -> B\n(eligible \"c\")\n(trail \"a\")\n", {"c"}},
        // Duplicates merge; an unmatched quote takes the rest of the line.
        {"(eligible \"a\" \"a\" \"b c)", {"a", "b c)"}},
        {"(eligible \"\" \"x y\")", {"", "x y"}},
    };
    for (const auto& c : cases) EXPECT_EQ(eligible_set_of(c.text), c.want) << c.text;
}

TEST(TraceList, ParsesEntriesByKind) {
    const std::string text =
        "# comment\n"
        "\n"
        "trace.3: renders late\r\n"
        "  trace. 4 :: reason: more\n"
        "trace.*: all of them\n"
        "*\n"
        "other.5\n"
        "#trace.6\n"
        "trace.7\n"
        "trace.8 # not a comment\n"
        "\u3000trace.\u00A09\u3000: wide spaces\n"
        "\u00A0# wide-indented comment\n";
    auto interactive = parse_trace_list(text, TraceListKind::Interactive);
    EXPECT_EQ(interactive.names, (Set{"3", "4", "*", "7", "8 # not a comment", "9"}));
    EXPECT_FALSE(interactive.all);

    auto daemon = parse_trace_list(text, TraceListKind::Daemon);
    EXPECT_EQ(daemon.names, (Set{"3", "4", "7", "8 # not a comment", "9"}));
    EXPECT_TRUE(daemon.all);

    for (auto line : {"*\n", " trace.* : comment\n", "*: comment", "\u00A0*\u3000\n"})
        EXPECT_TRUE(parse_trace_list(line, TraceListKind::Daemon).all) << line;
    EXPECT_FALSE(parse_trace_list("trace.3\n", TraceListKind::Daemon).all);
    EXPECT_TRUE(parse_trace_list("*\n", TraceListKind::Interactive).names.empty());
}

TEST(TraceList, UnreadableFilesListNothing) {
    testing::TempDir dir;
    testing::write_file(dir.path / "good", "*\ntrace.1\n");
    testing::write_file(dir.path / "latin1", "*\ntrace.\xe9\n");
    std::filesystem::create_directory(dir.path / "directory");

    auto good = read_trace_list(dir.path / "good", TraceListKind::Daemon);
    EXPECT_EQ(good.names, Set{"1"});
    EXPECT_TRUE(good.all);
    for (auto name : {"latin1", "directory", "missing"}) {
        auto list = read_trace_list(dir.path / name, TraceListKind::Daemon);
        EXPECT_TRUE(list.names.empty()) << name;
        EXPECT_FALSE(list.all) << name;
    }
}

ReplTally tally_of(std::vector<std::string> diverged, std::vector<std::string> gaps,
                   std::size_t passed, std::size_t blocking, std::size_t matches,
                   bool timed_out = false) {
    ReplTally tally;
    tally.diverged = std::move(diverged);
    tally.expected_gaps = std::move(gaps);
    tally.passed = passed;
    tally.blocking = blocking;
    tally.match_skipped = matches;
    tally.timed_out = timed_out;
    return tally;
}

TEST(ReplStatus, FirstApplicableRowDecides) {
    struct Case {
        ReplTally tally;
        std::size_t traces;
        Status status;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {tally_of({"2(timeout)"}, {"1"}, 3, 0, 0, true), 3, Status::Timeout,
         "1/3 trace(s) diverge: 2(timeout)"},
        {tally_of({"2(timeout)", "2-elig:1"}, {}, 3, 0, 0, true), 3, Status::Fail,
         "2/3 trace(s) diverge: 2(timeout),2-elig:1"},
        // A lone entry without a time-out of its pass, e.g. an eligible step that timed out.
        {tally_of({"7-elig:2(timeout)"}, {}, 1, 0, 0), 1, Status::Fail,
         "1/1 trace(s) diverge: 7-elig:2(timeout)"},
        {tally_of({"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}, {}, 5, 0, 0), 5, Status::Fail,
         "10/5 trace(s) diverge: 0,1,2,3,4,5,6,7 (+2 more)"},
        {tally_of({"0", "1", "2", "3", "4", "5", "6", "7"}, {}, 8, 0, 0), 8, Status::Fail,
         "8/8 trace(s) diverge: 0,1,2,3,4,5,6,7"},
        {tally_of({}, {"7", "3", "7"}, 2, 1, 1), 3, Status::Xfail,
         "interactive-render gap (expected): trace.3, trace.7"},
        {tally_of({}, {"b"}, 0, 0, 0), 1, Status::Xfail,
         "interactive-render gap (expected): trace.b"},
        {tally_of({}, {}, 1, 2, 3), 6, Status::Pass, ""},
        {tally_of({}, {}, 0, 2, 0), 2, Status::Skip, "all 2 trace(s) blocking"},
        {tally_of({}, {}, 0, 0, 3), 3, Status::Skip,
         "all 3 trace(s) <match> (interactive driver can't deduce)"},
        {tally_of({}, {}, 0, 1, 2), 3, Status::Skip, "1 blocking + 2 <match> trace(s) skipped"},
        {tally_of({}, {}, 0, 0, 0), 1, Status::Skip, "0 blocking + 0 <match> trace(s) skipped"},
    };
    for (const auto& c : cases) {
        auto got = repl_status(c.tally, c.traces);
        EXPECT_EQ(got.status, c.status) << c.reason;
        EXPECT_EQ(got.reason, c.reason);
    }
}

TEST(AbsorbTraceOuts, ReplaysRecordsInListOrderAndSumsTallies) {
    runner::Invocation invocation{"kestrin", {"simulate"}, {}, std::nullopt, std::nullopt, {}};
    std::vector<ReplTraceOut> outs(2);
    outs[0].cmd("repl trace.1 → DIVERGE", invocation, runner::Exited{"out", "err", {}, 0},
                "ours.repl.1");
    outs[0].note("first");
    outs[0].tally = tally_of({"1"}, {}, 1, 0, 0);
    outs[0].tally.elapsed = std::chrono::milliseconds(5);
    outs[1].note("second");
    outs[1].tally = tally_of({"2(timeout)"}, {"2"}, 0, 1, 1, true);
    outs[1].tally.elapsed = std::chrono::milliseconds(7);
    outs[1].tally.star_ok = 2;
    outs[1].tally.star_gaps = 3;

    log::SessionLog log("m", "simulate-repl");
    log.note("before");
    ReplTally tally = tally_of({"0"}, {}, 1, 0, 0);
    absorb_trace_outs(std::move(outs), log, tally);

    ASSERT_EQ(log.entries.size(), 4u);
    EXPECT_EQ(std::get<log::Note>(log.entries[0]).text, "before");
    const auto& cmd = std::get<log::Cmd>(log.entries[1]);
    EXPECT_EQ(cmd.label, "repl trace.1 → DIVERGE");
    EXPECT_EQ(cmd.args, std::vector<std::string>{"simulate"});
    const auto& exited = std::get<log::Exited>(cmd.ending);
    EXPECT_EQ(exited.out.artefact, Path("ours.repl.1"));
    EXPECT_EQ(exited.out.lines, 1u);
    EXPECT_FALSE(exited.err.artefact);
    EXPECT_EQ(exited.err.text, "err");
    EXPECT_EQ(std::get<log::Note>(log.entries[2]).text, "first");
    EXPECT_EQ(std::get<log::Note>(log.entries[3]).text, "second");

    EXPECT_EQ(tally.diverged, (std::vector<std::string>{"0", "1", "2(timeout)"}));
    EXPECT_EQ(tally.expected_gaps, std::vector<std::string>{"2"});
    EXPECT_EQ(tally.elapsed, std::chrono::milliseconds(12));
    EXPECT_EQ(tally.passed, 2u);
    EXPECT_EQ(tally.blocking, 1u);
    EXPECT_EQ(tally.match_skipped, 1u);
    EXPECT_EQ(tally.star_ok, 2u);
    EXPECT_EQ(tally.star_gaps, 3u);
    EXPECT_TRUE(tally.timed_out);
}

TEST(CheckSimulateRepl, APassWaitsForItsOwnTracesOnly) {
    // Models checked in parallel, each pass with one slow trace: a worker waiting for its pass
    // must not take up another model's whole check meanwhile.
    testing::Corpus corpus;
    std::vector<model::Model> models;
    for (int i = 0; i < 24; ++i) {
        auto name = "m" + std::to_string(i);
        model::Model model;
        model.name = name;
        model.dir = corpus.model(name);
        model.display = "test-models/" + name + "/" + name + ".svk";
        model.workdir = corpus.root;
        for (std::string x : {"1", "2", "3"})
            corpus.files(name,
                         {{"trace." + x, "a\n"}, {"baseline/simulate." + x, "(trail \"a\")\n"}});
        auto slow = "standin/check-trace." + std::to_string(i % 3 + 1) + ".sleep";
        corpus.files(name, {{slow, "0.1"}});
        models.push_back(std::move(model));
    }
    std::atomic<int> deepest = 0;
    tbb::task_arena arena(8);
    for (int round = 0; round < 3; ++round) {
        arena.execute([&] {
            tbb::parallel_for(std::size_t{0}, models.size(), [&](std::size_t i) {
                static thread_local int depth = 0;
                ++depth;
                for (int seen = deepest.load();
                     depth > seen && !deepest.compare_exchange_weak(seen, depth);) {
                }
                auto got = check_simulate_repl(models[i], testing::KESTRIN_STANDIN,
                                               corpus.root / "out", std::chrono::seconds(30));
                EXPECT_EQ(got.status, Status::Pass) << got.reason;
                --depth;
            });
        });
    }
    EXPECT_EQ(deepest.load(), 1);
}

}  // namespace
}  // namespace tolvern::category
