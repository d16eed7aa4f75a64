// The threads and vorlan categories end to end: the built tolvern with the kestrin and
// ltscompare stand-ins on corpora made here.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "outputs.hpp"
#include "support.hpp"

namespace tolvern::testing {
namespace {

const std::string ONLY_B = aut_text(2, {{0, "a", 1}, {1, "b", 0}});
// ONLY_B with its transitions listed the other way round: other bytes, the same behaviour.
const std::string ONLY_B_REVERSED = aut_text(2, {{1, "b", 0}, {0, "a", 1}});
const std::string ONLY_D = aut_text(2, {{0, "a", 1}, {1, "d", 0}});

void thread_counts(const Corpus& corpus, std::string_view list) {
    write_file(corpus.root / "tolvern.toml",
               "[parallel]\nthreads_under_test = " + std::string(list) + "\n");
}

std::vector<std::string> notes_of(const Corpus& corpus, std::string_view category,
                                  std::string_view model) {
    return lines_with(masked_log(corpus, category, model), "[note]");
}

TEST(ThreadsCheck, OneThreadCountRunsOnce) {
    Corpus corpus;
    thread_counts(corpus, "[1]");
    corpus.model("m");
    corpus.files("m", {{"baseline/lts.aut", ONLY_B}});
    auto requests = corpus.root / "requests.jsonl";
    auto run =
        corpus.tolvern({"--category", "threads"}, {{"KESTRIN_STANDIN_LOG", requests.string()}});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_EQ(verdict_of(run, "threads", "m"), (Verdict{"PASS", ""}));
    EXPECT_EQ(standin_argvs(requests),
              (std::vector<std::vector<std::string>>{
                  {"--threads=1", "lts", "--full-lts", "-m", "m", "test-models/m/m.svk"}}));
    EXPECT_EQ(read_file(out_dir(corpus, "threads", "m") / "ours.t1.aut"), ONLY_B);
    auto log = masked_log(corpus, "threads", "m");
    EXPECT_EQ(lines_with(log, "## ("), std::vector<std::string>{"## (1) kestrin lts --threads=1"});
    EXPECT_TRUE(lines_with(log, "[note]").empty());
}

TEST(ThreadsCheck, ByteIdenticalNeedsNoComparator) {
    Corpus corpus;
    thread_counts(corpus, "[1, 4]");
    corpus.model("m");
    corpus.files("m", {{"baseline/lts.aut", ONLY_B}});
    auto run = corpus.tolvern({"--category", "threads"}, {empty_path(corpus)});
    EXPECT_EQ(verdict_of(run, "threads", "m"), (Verdict{"PASS", ""}));
    EXPECT_EQ(notes_of(corpus, "threads", "m"),
              std::vector<std::string>{"[note] threads=4: byte-identical to t=1"});
}

TEST(ThreadsCheck, ByteDifferentWithoutComparatorStopsThere) {
    Corpus corpus;
    thread_counts(corpus, "[1, 2, 4]");
    corpus.model("m");
    corpus.files("m", {{"baseline/lts.aut", ONLY_B}, {"standin/lts.t2.stdout", ONLY_B_REVERSED}});
    auto requests = corpus.root / "requests.jsonl";
    std::vector<std::pair<std::string, std::string>> env = {empty_path(corpus)};
    env.emplace_back("KESTRIN_STANDIN_LOG", requests.string());
    auto run = corpus.tolvern({"--category", "threads"}, env);
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_EQ(verdict_of(run, "threads", "m"), (Verdict{"SKIP", "ltscompare missing"}));
    EXPECT_EQ(notes_of(corpus, "threads", "m"),
              std::vector<std::string>{"[note] threads=2: byte-different but ltscompare missing"});
    EXPECT_EQ(standin_argvs(requests).size(), 2u);
    EXPECT_FALSE(fs::exists(out_dir(corpus, "threads", "m") / "ours.t4.aut"));
}

TEST(ThreadsCheck, VerdictsPerModel) {
    Corpus corpus;
    thread_counts(corpus, "[1, 2, 1, 4]");
    const std::string flush_f = aut_text(2, {{0, "f.<flush>", 1}, {1, "a", 0}});
    const std::string flush_g = aut_text(3, {{0, "g.<flush>", 1}, {1, "tag(1,2)", 2}, {2, "a", 0}});
    struct Case {
        std::string model;
        std::vector<std::pair<std::string_view, std::string_view>> files;
        Verdict expected;
    };
    const std::vector<Case> cases = {
        {"late",
         {{"standin/lts.t2.stdout", ONLY_B_REVERSED}, {"standin/lts.t4.stdout", ONLY_D}},
         {"FAIL", "threads-divergent N=[4]"}},
        {"both",
         {{"standin/lts.t2.stdout", ONLY_D}, {"standin/lts.t4.stdout", ONLY_D}},
         {"FAIL", "threads-divergent N=[2, 4]"}},
        {"marked",
         {{"standin/lts.t2.stdout", ONLY_D}, {"baseline/threads.xfail", ""}},
         {"FAIL", "threads-divergent N=[2]"}},
        {"system_f",
         {{"standin/lts.t1.stdout", flush_f}, {"standin/lts.stdout", flush_g}},
         {"PASS", ""}},
        {"plain_f",
         {{"standin/lts.t1.stdout", flush_f}, {"standin/lts.stdout", flush_g}},
         {"FAIL", "threads-divergent N=[2, 4]"}},
        {"t2_empty",
         {{"standin/lts.t2.stdout", ""}, {"standin/lts.t2.stderr", "\n  error: out of memory\n"}},
         {"FAIL", "empty t=2: error: out of memory"}},
        {"t1_empty", {{"standin/lts.t1.stdout", ""}}, {"FAIL", "empty t=1: "}},
        {"t4_blocked",
         {{"standin/lts.t4.stderr", "\"blocking\" feature not supported\n"}},
         {"SKIP", "blocking"}},
    };
    for (const auto& c : cases) {
        corpus.model(c.model);
        write_file(corpus.root / "test-models" / c.model / "baseline/lts.aut", ONLY_B);
        for (auto [file, bytes] : c.files)
            write_file(corpus.root / "test-models" / c.model / file, bytes);
    }
    auto run = corpus.tolvern(with_comparator({"--category", "threads"}));
    EXPECT_EQ(run.code, 1) << run.out << run.err;
    for (const auto& c : cases)
        EXPECT_EQ(verdict_of(run, "threads", c.model), c.expected) << c.model;

    EXPECT_EQ(notes_of(corpus, "threads", "late"),
              (std::vector<std::string>{"[note] threads=2: weak-failures equivalent to t=1",
                                        "[note] threads=4: diverges (incomparable)"}));
    EXPECT_EQ(
        lines_with(masked_log(corpus, "threads", "late"), "## ("),
        (std::vector<std::string>{"## (1) kestrin lts --threads=1",
                                  "## (2) kestrin lts --threads=2", "## (3) ltscompare t1 <= t2",
                                  "## (4) ltscompare t2 <= t1", "## (5) kestrin lts --threads=4",
                                  "## (6) ltscompare t1 <= t4", "## (7) ltscompare t4 <= t1"}));
    auto late = out_dir(corpus, "threads", "late");
    for (std::string file :
         {"ours.t1.aut", "ours.t2.aut", "ours.t4.aut", "ours.t1.normalized.aut",
          "ours.t2.normalized.aut", "ours.t4.normalized.aut", "ltscompare-t1-vs-t4.fwd.trc"})
        EXPECT_TRUE(fs::exists(late / file)) << file;
    EXPECT_EQ(read_file(late / "ours.t2.normalized.aut"), ONLY_B_REVERSED);

    // Only the system_ model hides its flush actions, and names no port events.
    EXPECT_EQ(
        lines_with(masked_log(corpus, "threads", "system_f"), "'--tau=f.<flush>,g.<flush>'").size(),
        4u);
    EXPECT_TRUE(lines_with(masked_log(corpus, "threads", "plain_f"), "--tau=").empty());
    EXPECT_TRUE(lines_with(masked_log(corpus, "threads", "system_f"), "tau alphabet").empty());
}

TEST(ThreadsCheck, TimeOutNamesTheThreadCount) {
    Corpus corpus;
    thread_counts(corpus, "[1, 4]");
    corpus.model("slow4");
    corpus.files("slow4", {{"baseline/lts.aut", ONLY_B}, {"standin/lts.t4.sleep", "10"}});
    corpus.model("slow1");
    corpus.files("slow1", {{"baseline/lts.aut", ONLY_B}, {"standin/lts.t1.sleep", "10"}});
    auto run = corpus.tolvern(with_comparator({"--category", "threads", "--timeout", "1"}));
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(verdict_of(run, "threads", "slow4"), (Verdict{"TIMEOUT", "lts t=4"}));
    EXPECT_EQ(verdict_of(run, "threads", "slow1"), (Verdict{"TIMEOUT", "lts t=1"}));
    EXPECT_EQ(lines_with(masked_log(corpus, "threads", "slow4"), "exit:"),
              (std::vector<std::string>{"exit: 0  (N ms)", "exit: TIMEOUT  (N ms)"}));
}

// A vorlan corpus beside the test-models tree: components listed by absolute source path, gold
// LTSs in one directory.
struct Vorlan {
    Corpus corpus;
    fs::path base = corpus.root / "vorlan";

    Vorlan() {
        fs::create_directories(corpus.root / "test-models");
        write_file(corpus.root / "tolvern.toml",
                   "[vorlan]\n"
                   "path = \"" +
                       base.string() +
                       "\"\n"
                       "complist = \"components.txt\"\n"
                       "goldens_subdir = \"goldens\"\n"
                       "import_dirs = [\"inc/a\", \"inc b\", \"/abs/c\"]\n"
                       "queue_size_external = 3\n");
    }
    fs::path source(std::string_view name) const {
        return base / name / (std::string(name) + ".svk");
    }
    void component(std::string_view name, std::optional<std::string_view> gold,
                   std::vector<std::pair<std::string_view, std::string_view>> files) {
        write_file(source(name), "component\n");
        if (gold) write_file(base / "goldens" / (std::string(name) + ".aut"), *gold);
        for (auto [file, bytes] : files) write_file(base / name / file, bytes);
        std::ofstream(corpus.root / "components.txt", std::ios::app)
            << source(name).string() << " " << name << "\n";
    }
};

TEST(VorlanCheck, VerdictsPerComponent) {
    Vorlan vorlan;
    struct Case {
        std::string name;
        std::optional<std::string_view> gold;
        std::vector<std::pair<std::string_view, std::string_view>> files;
        Verdict expected;
    };
    const std::vector<Case> cases = {
        {"v_ok", ONLY_B, {{"standin/lts.stdout", ONLY_B_REVERSED}}, {"PASS", ""}},
        {"v_exit",
         ONLY_B,
         {{"standin/lts.stdout", ONLY_B}, {"standin/lts.exit", "3"}},
         {"PASS", ""}},
        {"v_div",
         ONLY_B,
         {{"standin/lts.stdout", ONLY_D}},
         {"FAIL", "lts diverges: incomparable (see ltscompare-*.trc)"}},
        {"v_marked",
         ONLY_B,
         {{"standin/lts.stdout", ONLY_D}, {"baseline/vorlan.xfail", ""}},
         {"FAIL", "lts diverges: incomparable (see ltscompare-*.trc)"}},
        {"v_nogold",
         std::nullopt,
         {{"standin/lts.stdout", ONLY_B}},
         {"FAIL", "missing golden — run scripts/gen-vorlan-goldens.sh"}},
        {"v_empty",
         ONLY_B,
         {{"standin/lts.stderr", "error: import signals not found\n"}},
         {"FAIL", "empty lts: error: import signals not found"}},
        {"v_blocked",
         ONLY_B,
         {{"standin/lts.stdout", ONLY_B},
          {"standin/lts.stderr", "\"blocking\" feature not support"}},
         {"SKIP", "blocking"}},
    };
    for (const auto& c : cases) vorlan.component(c.name, c.gold, c.files);
    auto requests = vorlan.corpus.root / "requests.jsonl";
    auto run = vorlan.corpus.tolvern(with_comparator({"--category", "vorlan"}),
                                     {{"KESTRIN_STANDIN_LOG", requests.string()}});
    EXPECT_EQ(run.code, 1) << run.out << run.err;
    for (const auto& c : cases) EXPECT_EQ(verdict_of(run, "vorlan", c.name), c.expected) << c.name;

    // Every component that has a gold ran once, with the corpus's import directories.
    auto calls = standin_argvs(requests);
    EXPECT_EQ(calls.size(), cases.size() - 1);
    for (const auto& call : calls) EXPECT_NE(call.back(), vorlan.source("v_nogold").string());
    // Relative import directories are made absolute from tolvern's working directory.
    auto root = vorlan.corpus.root;
    std::vector<std::string> ok_args = {"-p",
                                        "lts",
                                        "--full-lts",
                                        "-m",
                                        "v_ok",
                                        "-I",
                                        (root / "inc/a").string(),
                                        "-I",
                                        (root / "inc b").string(),
                                        "-I",
                                        "/abs/c",
                                        "--queue-size-external",
                                        "3",
                                        vorlan.source("v_ok").string()};
    EXPECT_EQ(std::count(calls.begin(), calls.end(), ok_args), 1);

    EXPECT_EQ(masked_log(vorlan.corpus, "vorlan", "v_nogold"),
              "== tolvern: v_nogold (vorlan)  FAIL  Nms ==\n"
              "reason: missing golden — run scripts/gen-vorlan-goldens.sh\n\n");
    auto ok_log = masked_log(vorlan.corpus, "vorlan", "v_ok");
    EXPECT_EQ(
        lines_with(ok_log, "## ("),
        (std::vector<std::string>{"## (1) kestrin lts (vorlan)", "## (2) ltscompare ours <= gold",
                                  "## (3) ltscompare gold <= ours"}));
    EXPECT_EQ(lines_with(ok_log, "stdout → ours.aut"),
              std::vector<std::string>{"stdout → ours.aut  (3 lines)"});
    EXPECT_EQ(read_file(out_dir(vorlan.corpus, "vorlan", "v_empty") / "ours.aut.stderr"),
              "error: import signals not found\n");
}

TEST(VorlanCheck, WithoutComparatorSkips) {
    Vorlan vorlan;
    vorlan.component("v_ok", ONLY_B, {{"standin/lts.stdout", ONLY_B}});
    auto run = vorlan.corpus.tolvern({"--category", "vorlan"}, {empty_path(vorlan.corpus)});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_EQ(verdict_of(run, "vorlan", "v_ok"), (Verdict{"SKIP", "ltscompare missing"}));
    EXPECT_EQ(notes_of(vorlan.corpus, "vorlan", "v_ok"),
              std::vector<std::string>{"[note] ltscompare: NOT FOUND"});
    EXPECT_EQ(read_file(out_dir(vorlan.corpus, "vorlan", "v_ok") / "ours.aut"), ONLY_B);
}

}  // namespace
}  // namespace tolvern::testing
