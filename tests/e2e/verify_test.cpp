// The verify category end to end: the built tolvern with the kestrin stand-in on corpora made
// here.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "outputs.hpp"
#include "support.hpp"

namespace tolvern::testing {
namespace {

TEST(VerifyCheck, VerdictsPerModel) {
    Corpus corpus;
    struct Case {
        std::string model;
        std::vector<std::pair<std::string_view, std::string_view>> files;
        Verdict expected;
    };
    const std::vector<Case> cases = {
        {"trailing",
         {{"baseline/verify", "line one  \nline two\n\n\n"},
          {"standin/verify.stdout", "line one\nline two"}},
         {"PASS", ""}},
        {"tabbed",
         {{"baseline/verify", "a\nb\n"}, {"standin/verify.stdout", "a\n\tb\n"}},
         {"FAIL", R"(verify diverges: line 2: gold="b" ours="\tb")"}},
        {"exit_one", {{"baseline/verify", "ok\n"}, {"standin/verify.exit", "1"}}, {"PASS", ""}},
        {"joined",
         {{"baseline/verify", "x\ny\n"},
          {"standin/verify.stdout", "x"},
          {"standin/verify.stderr", "y\n"}},
         {"PASS", ""}},
        {"joined_newline",
         {{"baseline/verify", "x\ny\n"},
          {"standin/verify.stdout", "x\n"},
          {"standin/verify.stderr", "y\n"}},
         {"PASS", ""}},
        {"stderr_only",
         {{"baseline/verify", "y"}, {"standin/verify.stdout", ""}, {"standin/verify.stderr", "y"}},
         {"PASS", ""}},
        {"skip_two", {{"baseline/verify.skip", "first line\nsecond\n"}}, {"SKIP", "first line"}},
        {"skip_empty",
         {{"baseline/verify.skip", ""}, {"baseline/verify", "ok\n"}},
         {"SKIP", "verify.skip"}},
        {"binary_skip",
         {{"baseline/verify.skip", "\xff\n"}, {"baseline/verify", "ok\n"}},
         {"PASS", ""}},
        {"no_golden_xfail",
         {{"baseline/verify.xfail", ""}},
         {"XFAIL", "missing golden: no baseline verify — regenerate it"}},
        {"no_golden", {}, {"FAIL", "missing golden: no baseline verify — regenerate it"}},
        {"overridden",
         {{"baseline/verify", "old\n"}, {"baseline/verify.override", "new\n"}},
         {"PASS", "verify-overridden"}},
        {"blocked",
         {{"baseline/verify", "ok\n"},
          {"standin/verify.stdout", "partial\n"},
          {"standin/verify.stderr", "\"blocking\" feature not support"}},
         {"SKIP", "blocking"}},
        {"differs_marked",
         {{"baseline/verify", "a\n"},
          {"standin/verify.stdout", "a\nb\n"},
          {"baseline/verify.xfail", ""}},
         {"XFAIL", "verify diverges: length: gold=1 ours=2"}},
        {"queued", {{"baseline/verify", "ok\n"}, {"META", "(queue-size 3)\n"}}, {"PASS", ""}},
    };
    for (const auto& c : cases) {
        corpus.model(c.model);
        for (auto [file, bytes] : c.files)
            write_file(corpus.root / "test-models" / c.model / file, bytes);
    }
    auto requests = corpus.root / "requests.jsonl";
    auto run =
        corpus.tolvern({"--category", "verify"}, {{"KESTRIN_STANDIN_LOG", requests.string()}});
    EXPECT_EQ(run.code, 1) << run.out << run.err;
    for (const auto& c : cases)
        EXPECT_EQ(verdict_of(run, "verify", c.model), c.expected) << c.model;

    auto calls = standin_argvs(requests);
    EXPECT_EQ(std::count(calls.begin(), calls.end(),
                         std::vector<std::string>{"-v", "verify", "-k", "--full-lts", "-I",
                                                  "test-models/queued", "-m", "queued", "-q", "3",
                                                  "test-models/queued/queued.svk"}),
              1);
    for (const auto& call : calls)
        for (std::string_view quiet : {"skip_", "no_golden"})
            EXPECT_EQ(call.back().find(quiet), std::string::npos) << call.back();

    auto joined = out_dir(corpus, "verify", "joined");
    EXPECT_EQ(read_file(joined / "verify.stdout"), "x");
    EXPECT_EQ(read_file(joined / "verify.stderr"), "y\n");
    EXPECT_FALSE(fs::exists(out_dir(corpus, "verify", "stderr_only") / "verify.stdout"));
    EXPECT_FALSE(fs::exists(out_dir(corpus, "verify", "blocked") / "verify.stdout"));

    EXPECT_EQ(masked_log(corpus, "verify", "skip_two"),
              "== tolvern: skip_two (verify)  SKIP  Nms ==\nreason: first line\n\n");
    EXPECT_EQ(masked_log(corpus, "verify", "stderr_only"),
              "== tolvern: stderr_only (verify)  PASS  Nms ==\n\n"
              "## (1) kestrin verify\n" +
                  command_line(fs::canonical(KESTRIN_STANDIN),
                               {"-v", "verify", "-k", "--full-lts", "-I", "test-models/stderr_only",
                                "-m", "stderr_only", "test-models/stderr_only/stderr_only.svk"}) +
                  "\nexit: 0  (N ms)\nstdout: (empty)\nstderr → verify.stderr  (1 lines)\n\n");
    auto blocked = masked_log(corpus, "verify", "blocked");
    EXPECT_NE(blocked.find("\nstdout:\n  partial\nstderr:\n  \"blocking\" feature not support\n"),
              std::string::npos)
        << blocked;
}

TEST(VerifyCheck, UnreadableGoldenFailsAfterTheRun) {
    Corpus corpus;
    corpus.model("bad_golden");
    corpus.files("bad_golden", {{"baseline/verify", "\xff\xfe"}, {"standin/verify.stdout", "x\n"}});
    auto run = corpus.tolvern({"--category", "verify"});
    auto v = verdict_of(run, "verify", "bad_golden");
    EXPECT_EQ(v.status, "FAIL");
    EXPECT_TRUE(v.reason.starts_with("test-models/bad_golden/baseline/verify: ")) << v.reason;
    EXPECT_EQ(read_file(out_dir(corpus, "verify", "bad_golden") / "verify.stdout"), "x\n");
}

TEST(VerifyCheck, TimeOut) {
    Corpus corpus;
    for (std::string name : {"slow", "slow_marked"}) {
        corpus.model(name);
        corpus.files(name, {{"baseline/verify", "ok\n"}, {"standin/verify.sleep", "10"}});
    }
    corpus.files("slow_marked", {{"baseline/verify.xfail", ""}});
    auto run = corpus.tolvern({"--category", "verify", "--timeout", "1"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(verdict_of(run, "verify", "slow"), (Verdict{"TIMEOUT", "verify"}));
    EXPECT_EQ(verdict_of(run, "verify", "slow_marked"), (Verdict{"XFAIL", "verify"}));
    EXPECT_EQ(lines_with(masked_log(corpus, "verify", "slow"), "exit:"),
              std::vector<std::string>{"exit: TIMEOUT  (N ms)"});
}

}  // namespace
}  // namespace tolvern::testing
