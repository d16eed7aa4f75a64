// The selfcheck end to end through the binary and the kestrin stand-in: the generation run and
// its environment, the trace checks nested on the session's pool, and the result reasons.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "files.hpp"
#include "outputs.hpp"
#include "support.hpp"

namespace tolvern::testing {
namespace {

// An lbs model that the selfcheck takes, whose generation yields the given trace files.
void selfcheck_model(Corpus& corpus, std::string_view name, const Strings& traces) {
    corpus.model(name);
    corpus.files(name, {{"baseline/selfcheck", ""}});
    for (const auto& trace : traces)
        write_file(corpus.root / "test-models" / name / "standin/traces" / trace, trace + "\n");
}

// The KES_ variables of a recorded run that the check sets, as NAME=VALUE in name order (the
// stand-in also records what tolvern itself inherited).
Strings set_by_check(const nlohmann::json& run) {
    Strings pairs;
    for (const auto& [name, value] : run["env"].items())
        if (name.starts_with("KES_") && name != "KES_SELFCHECK_MAX")
            pairs.push_back(name + "=" + value.get<std::string>());
    return pairs;
}

Run selfcheck(const Corpus& corpus, std::vector<std::pair<std::string, std::string>> env = {},
              Strings extra = {}) {
    Strings args = {"--category", "selfcheck", "--output", "json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return corpus.tolvern(std::move(args), std::move(env));
}

TEST(Selfcheck, GeneratesThenChecksEveryTrace) {
    Corpus corpus;
    selfcheck_model(corpus, "lbs_ring", {"t2", "t1", "t3"});
    // Not taken: an lbs model without the entry, and an lts model with it.
    corpus.model("lbs_plain");
    corpus.model("ring");
    corpus.files("ring", {{"baseline/selfcheck", ""}});
    // A trace left over from an earlier session is checked too.
    write_file(out_dir(corpus, "selfcheck", "lbs_ring") / "traces/t0", "old\n");

    TempDir record;
    auto run = selfcheck(corpus, {{"KESTRIN_STANDIN_LOG", (record.path / "runs").string()},
                                  {"KES_SELFCHECK_MAX", "50"}});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    auto results = reported(run);
    EXPECT_EQ(results.size(), 1u);
    EXPECT_EQ(results["lbs_ring"], (Verdict{"PASS", "4/4 traces"}));
    // No log is kept.
    EXPECT_FALSE(fs::exists(out_dir(corpus, "selfcheck", "lbs_ring") / "log"));

    auto runs = standin_runs(record.path / "runs");
    ASSERT_EQ(runs.size(), 5u);
    const auto traces =
        files::canonical_or_same(out_dir(corpus, "selfcheck", "lbs_ring")) / "traces";
    const std::string display = "test-models/lbs_ring/lbs_ring.svk";
    EXPECT_EQ(runs[0]["argv"].get<Strings>(),
              (Strings{"traces", "-m", "ring", "--defer-origin", "-o", traces.string(), display}));
    const Strings generation_env = {"KES_PANIC_LOG=/dev/null", "KES_RTCPROD=1",
                                    "KES_RTCPROD_NOREDUCE=1",  "KES_RUN_LOG=/dev/null",
                                    "KES_TRACES_MAX=50",       "KES_TRACES_NOREDUCE=1"};
    EXPECT_EQ(set_by_check(runs[0]), generation_env);

    Strings checked;
    for (std::size_t i = 1; i < runs.size(); ++i) {
        auto argv = runs[i]["argv"].get<Strings>();
        ASSERT_EQ(argv.size(), 8u);
        checked.push_back(argv[6]);
        argv[6] = "TRACE";
        EXPECT_EQ(argv, (Strings{"simulate", "-m", "ring", "--defer-any-order", "--defer-origin",
                                 "--check-trace", "TRACE", display}));
        EXPECT_EQ(set_by_check(runs[i]),
                  (Strings{"KES_PANIC_LOG=/dev/null", "KES_RUN_LOG=/dev/null"}));
    }
    std::sort(checked.begin(), checked.end());
    EXPECT_EQ(checked, (Strings{(traces / "t0").string(), (traces / "t1").string(),
                                (traces / "t2").string(), (traces / "t3").string()}));
}

TEST(Selfcheck, ResultReasons) {
    Corpus corpus;
    selfcheck_model(corpus, "lbs_all_pass", {"a", "b", "c"});
    // Bails are reported sorted by name, whatever their cause.
    selfcheck_model(corpus, "lbs_bails", {"t1", "t2", "t3"});
    corpus.files("lbs_bails", {{"standin/check-trace.t3.exit", "1"},
                               {"standin/check-trace.t2.signal", "9"},
                               {"baseline/selfcheck.xfail", ""}});
    selfcheck_model(corpus, "lbs_gen_fails", {"t1"});
    corpus.files("lbs_gen_fails", {{"standin/traces.exit", "2"},
                                   {"standin/traces.stderr", "no memory left\r\nat step 4\n"}});
    selfcheck_model(corpus, "lbs_gen_quiet", {"t1"});
    corpus.files("lbs_gen_quiet", {{"standin/traces.exit", "3"}});
    // Only a subdirectory is generated.
    selfcheck_model(corpus, "lbs_nothing", {});
    write_file(out_dir(corpus, "selfcheck", "lbs_nothing") / "traces/sub/t1", "x\n");
    // A name that is not UTF-8 names no trace.
    selfcheck_model(corpus, "lbs_not_utf8",
                    {"a\xff"
                     "b"});

    auto run = selfcheck(corpus);
    EXPECT_EQ(run.code, 1);
    auto results = reported(run);
    const std::map<std::string, Verdict> expected = {
        {"lbs_all_pass", {"PASS", "3/3 traces"}},
        {"lbs_bails", {"FAIL", "2/3 traces bailed; first: t2"}},
        {"lbs_gen_fails", {"FAIL", "traces gen exit 2: no memory left"}},
        {"lbs_gen_quiet", {"FAIL", "traces gen exit 3: "}},
        {"lbs_nothing", {"FAIL", "no traces generated"}},
        {"lbs_not_utf8", {"FAIL", "no traces generated"}},
    };
    EXPECT_EQ(results.size(), expected.size());
    for (const auto& [name, want] : expected) EXPECT_EQ(results[name], want) << name;
}

TEST(Selfcheck, NestedTraceChecksShareASmallPool) {
    Corpus corpus;
    const Strings names = {"lbs_a", "lbs_b", "lbs_c", "lbs_d", "lbs_e"};
    Strings traces;
    for (int i = 1; i <= 6; ++i) traces.push_back("t" + std::to_string(i));
    for (const auto& name : names) {
        selfcheck_model(corpus, name, traces);
        corpus.files(name, {{"standin/check-trace.sleep", "0.05"}});
    }
    corpus.files("lbs_c", {{"standin/check-trace.t5.exit", "1"}});

    auto run = selfcheck(corpus, {}, {"-j", "2"});
    EXPECT_EQ(run.code, 1) << run.out << run.err;
    auto results = reported(run);
    for (const auto& name : names) {
        auto want = name == "lbs_c" ? Verdict{"FAIL", "1/6 traces bailed; first: t5"}
                                    : Verdict{"PASS", "6/6 traces"};
        EXPECT_EQ(results[name], want) << name;
    }
}

}  // namespace
}  // namespace tolvern::testing
