// The whole session through the binary: start-up failures, the catalogue, the three output
// formats, colour and the exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "support.hpp"
#include "text.hpp"

namespace {

using namespace tolvern::testing;

// A corpus with three lts-kind models for the parsing category: one passing, one failing, one
// failing under its xfail marker, and a wfc model that parsing does not accept.
struct SessionCorpus : Corpus {
    SessionCorpus() {
        model("good");
        model("bad");
        files("bad", {{"standin/parse.exit", "1"},
                      {"standin/parse.stderr", "note\nbad.svk:1:1: error: broken\n"}});
        model("known");
        files("known", {{"standin/parse.exit", "1"}, {"baseline/parsing.xfail", ""}});
        model("wf_other");
    }
};

TEST(Session, HelpListsTheOptionsInOrderAndExitsZero) {
    Corpus corpus;
    auto run = run_program(TOLVERN_BIN, {"--category", "nope", "--help"}, corpus.root);
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(run.err.empty());
    EXPECT_NE(run.out.find("Sorvek test-corpus runner (replaces run_*.sh / gen_*.sh)."),
              std::string::npos);
    std::size_t at = 0;
    for (std::string option :
         {"--category", "--filter", "--jobs", "--timeout", "--output", "--keep-going", "--list",
          "--config", "--kestrin", "--ltscompare", "--root", "--help"}) {
        auto found = run.out.find(option, at);
        ASSERT_NE(found, std::string::npos) << option << " after " << at << "\n" << run.out;
        at = found;
    }
    EXPECT_NE(run.out.find("<CAT>"), std::string::npos);
    EXPECT_NE(run.out.find("target/release/kestrin"), std::string::npos);
    EXPECT_NE(run.out.find("Capped at 256"), std::string::npos);
}

TEST(Session, UsageErrorsExitTwoWithUsageAndHint) {
    Corpus corpus;
    for (auto args : std::vector<std::vector<std::string>>{
             {"extra"}, {"--bogus"}, {"-j", "x"}, {"--timeout"}, {"--root="}}) {
        auto run = run_program(TOLVERN_BIN, args, corpus.root);
        EXPECT_EQ(run.code, 2) << args[0];
        EXPECT_TRUE(run.out.empty()) << args[0];
        EXPECT_NE(run.err.find("Usage:"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
    }
}

TEST(Session, StartUpFailuresPrintOneLineAndExitTwo) {
    SessionCorpus corpus;
    write_file(corpus.root / "broken.toml", "[timeout]\ndefault_secs = 5\n");
    fs::create_directories(corpus.root / "adir");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--output", "XML", "--category", "bad"}, "error: --output must be human|tap|json\n"},
        {{"--category", "LTS"}, "error: unknown --category: LTS\n"},
        {{"--category", "lts,parsing"}, "error: unknown --category: lts,parsing\n"},
        {{"--category", ""}, "error: unknown --category: \n"},
        {{"--config", "broken.toml"}, "broken.toml: missing field `vorlan_secs`\n"},
        {{"--config", "/dev/null"}, "/dev/null: not a regular file\n"},
        {{"--ltscompare", "adir"}, "error: --ltscompare adir does not exist\n"},
        {{"--ltscompare", "missing"}, "error: --ltscompare missing does not exist\n"},
        {{"--root", "nowhere"}, "nowhere/test-models: test-models/ directory not found\n"},
    };
    for (const auto& c : cases) {
        auto run = corpus.tolvern(c.args);
        EXPECT_EQ(run.code, 2) << c.args[0];
        // Configuration errors go on with the place of the fault; the first line is the message.
        EXPECT_TRUE(run.err.starts_with(c.err)) << c.args[0] << ": " << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    EXPECT_FALSE(fs::exists(corpus.root / "build"));
}

TEST(Session, ListPrintsTheCatalogueWithoutRunning) {
    SessionCorpus corpus;
    corpus.model("line\nbreak");
    auto run = corpus.tolvern({"--list", "--ltscompare", "missing"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out,
              "lts          bad\nlts          good\nlts          known\n"
              "lts          line\\nbreak\nwfc          wf_other\n");
    auto filtered = corpus.tolvern({"--list", "--filter", "nothing*"});
    EXPECT_EQ(filtered.code, 0);
    EXPECT_EQ(filtered.out, "");
    EXPECT_FALSE(fs::exists(corpus.root / "build"));
}

TEST(Session, HumanReportAndExitStatus) {
    SessionCorpus corpus;
    auto run = corpus.tolvern({"--category", "parsing", "-j", "2"});
    EXPECT_EQ(run.code, 1) << run.err;
    auto lines = tolvern::text::split_lines(run.out);
    ASSERT_EQ(lines.size(), 3u + 4u) << run.out;
    std::vector<std::string> progress(lines.begin(), lines.begin() + 3);
    std::sort(progress.begin(), progress.end());
    EXPECT_TRUE(progress[0].starts_with("FAIL     parsing      bad ")) << progress[0];
    EXPECT_TRUE(progress[0].ends_with("ms  [exit=1 bad.svk:1:1: error: broken]")) << progress[0];
    EXPECT_TRUE(progress[1].starts_with("PASS     parsing      good ")) << progress[1];
    EXPECT_TRUE(progress[2].starts_with("XFAIL    parsing      known ")) << progress[2];
    EXPECT_EQ(std::string(lines[3]), "");
    EXPECT_EQ(std::string(lines[4]), "=== summary ===");
    EXPECT_EQ(std::string(lines[6]), "parsing             1      1      1      0");
    EXPECT_EQ(run.out.find("\x1b["), std::string::npos);

    auto passing = corpus.tolvern({"--category", "parsing", "--filter", "*o*"});
    EXPECT_EQ(passing.code, 0) << passing.out;
}

TEST(Session, AnyWorkerCountRunsToTheSummary) {
    Corpus corpus;
    for (int i = 0; i < 6; ++i) {
        auto name = "m" + std::to_string(i);
        corpus.model(name);
        corpus.files(name, {{"baseline/lts.aut", aut_text(2, {{0, "a", 1}, {1, "b", 0}})}});
    }
    for (std::string jobs : {"100000", "1000000"}) {
        auto run = corpus.tolvern(with_comparator({"--category", "lts", "-j", jobs}));
        EXPECT_EQ(run.code, 0) << jobs << ": " << run.err;
        EXPECT_TRUE(run.out.ends_with("lts                 6      0      0      0\n"))
            << jobs << ": " << run.out;
    }
}

TEST(Session, ASecondSessionWaitsForTheOutputRoot) {
    SessionCorpus corpus;
    auto root = corpus.root / "build/outputs/tolvern";
    fs::create_directories(root);
    int held = ::open(root.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    // Its standard error comes through the pipe, its progress goes to a file.
    auto command = "cd '" + corpus.root.string() + "' && '" + TOLVERN_BIN.string() +
                   "' --kestrin '" + KESTRIN_STANDIN.string() +
                   "' --category parsing --filter good 2>&1 >out.txt";
    FILE* waiting = ::popen(command.c_str(), "r");
    char line[200] = "";
    EXPECT_NE(std::fgets(line, sizeof line, waiting), nullptr);
    EXPECT_STREQ(line,
                 "waiting for another session to finish with the output root "
                 "./build/outputs/tolvern\n");
    // The catalogue writes nothing there, so it does not wait.
    EXPECT_EQ(corpus.tolvern({"--list", "--filter", "good"}).out, "lts          good\n");
    ::close(held);
    EXPECT_EQ(::pclose(waiting), 0);
    EXPECT_TRUE(read_file(corpus.root / "out.txt").starts_with("PASS     parsing      good "));
}

TEST(Session, JsonLinesParseBack) {
    SessionCorpus corpus;
    auto run = corpus.tolvern({"--category", "all", "--output", "json"});
    auto lines = tolvern::text::split_lines(run.out);
    ASSERT_FALSE(lines.empty());
    for (auto line : lines) EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    auto summary = nlohmann::json::parse(lines.back());
    EXPECT_EQ(summary["summary"]["parsing"]["fail"], 1);
    EXPECT_EQ(summary["unexpected_passes"], nlohmann::json::array());
}

// The demo with arguments prints tolvern's output alone on standard output, whatever the
// bootstrap and the build say, so that it can be piped into a JSON reader.
TEST(Session, TheDemoPrintsTolvernsOutputAlone) {
    // The demo builds into the directory it is given, with the type it is given: these binaries'
    // own, so that the build has nothing to do.
    if (BUILD_TYPE.empty()) GTEST_SKIP() << "this build has no build type for the demo to keep";
    const auto build = fs::relative(TOLVERN_BIN.parent_path(), SOURCE_DIR);
    auto run = run_program(SOURCE_DIR / "scripts/demo", {"--output", "json"}, SOURCE_DIR,
                           {{"BUILD_DIR", build.string()}, {"BUILD_TYPE", BUILD_TYPE}});
    // The example corpus has a FAIL and a TIMEOUT.
    EXPECT_EQ(run.code, 1) << run.err;
    auto lines = tolvern::text::split_lines(run.out);
    ASSERT_FALSE(lines.empty()) << run.err;
    for (auto line : lines) EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    EXPECT_TRUE(nlohmann::json::parse(lines.back()).contains("summary")) << lines.back();
}

TEST(Session, TapIsReadByATapConsumer) {
    SessionCorpus corpus;
    // Names that would make a failure a todo, or split their line.
    corpus.model("hash # TODO");
    corpus.files("hash # TODO", {{"standin/parse.exit", "1"}});
    corpus.model("line\nbreak");
    auto run = corpus.tolvern({"--category", "parsing", "--output", "tap"});
    EXPECT_TRUE(run.out.ends_with("1..5\n")) << run.out;
    write_file(corpus.root / "out.tap", run.out);
    // TAP::Parser reads the stream; failed counts the FAIL line, todo the XFAIL line.
    auto parsed = run_program(
        "perl",
        {"-MTAP::Parser", "-e",
         "my $p = TAP::Parser->new({source => 'out.tap'}); while (my $r = $p->next) {} "
         "printf \"%d %d %d %d %s\\n\", scalar($p->tests_run), scalar($p->passed), "
         "scalar($p->failed), scalar($p->todo), $p->parse_errors ? 'errors' : 'clean';"},
        corpus.root);
    EXPECT_EQ(parsed.out, "5 3 2 1 clean\n") << run.out;
}

TEST(Session, ColourOnlyOnATerminalWithoutNoColor) {
    SessionCorpus corpus;
    auto command = TOLVERN_BIN.string() + " --kestrin " + KESTRIN_STANDIN.string() +
                   " --category parsing --filter good";
    auto on_tty =
        run_program("script", {"-qec", "env -u NO_COLOR " + command, "/dev/null"}, corpus.root);
    EXPECT_NE(on_tty.out.find("\x1b[1;32mPASS"), std::string::npos) << on_tty.out;
    auto no_color =
        run_program("script", {"-qec", "env NO_COLOR= " + command, "/dev/null"}, corpus.root);
    EXPECT_EQ(no_color.out.find("\x1b["), std::string::npos) << no_color.out;
}

}  // namespace
