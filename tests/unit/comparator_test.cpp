// Tests of the comparator module: .aut label rewriting, the flush alphabet, reading a
// comparator's answer, and whole comparisons against the stand-in and small scripted fakes.
#include "comparator.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "support.hpp"

namespace tolvern::comparator {
namespace {

using testing::TempDir;
using testing::write_file;
namespace fs = std::filesystem;

struct TextCase {
    std::string input;
    std::string expected;
};

TEST(TauNormalize, RewritesLabelsAndKeepsEverythingElse) {
    const std::vector<TextCase> cases = {
        {"", ""},
        {"des (0, 1, 2)\n(0, \"a\", 1)", "des (0, 1, 2)\n(0, \"a\", 1)"},
        {"des (0, 1, 2)\r\n(0, \"p.qout.x\", 1)\r\n", "des (0, 1, 2)\n(0, \"tau\", 1)\n"},
        {"(0, \"tag(3,14)\", 1)\n", "(0, \"tau\", 1)\n"},
        {"(0, \"tag( 3 , 14 )\", 1)\n", "(0, \"tau\", 1)\n"},
        {"(0, \"tag(\u00A03\u3000,\u30001 \u00A0)\", 1)\n", "(0, \"tau\", 1)\n"},
        {"\"tag(\u00A0,1)\" \"tag(1\u00A02,3)\"", "\"tag(\u00A0,1)\" \"tag(1\u00A02,3)\""},
        {"\"tag(3,14,15)\" \"tag(3)\" \"tag(x,1)\" \"tag(1,2))\" \"tag(,2)\" \"tag(1,2)x\"",
         "\"tag(3,14,15)\" \"tag(3)\" \"tag(x,1)\" \"tag(1,2))\" \"tag(,2)\" \"tag(1,2)x\""},
        {"\"<declarative-illegal>\" \"<illegal>\" \"<explicit-illegal>\"",
         "\"<illegal>\" \"<illegal>\" \"<explicit-illegal>\""},
        {"\".qout.\" \"a.b.qout.c\"", "\"tau\" \"tau\""},
        {"\"p.<external>\" \"p.<external>.x\"", "\"tau\" \"p.<external>.x\""},
        {"\"p.<state>(x)\" \"p.<state>(x\" \")p.<state>(\"",
         "\"tau\" \"p.<state>(x\" \")p.<state>(\""},
        // Quotes pair within a line only: the first line keeps its open quote's rest as it is.
        {"x \"p.qout.\nq\" \"r.qout.\" y\n", "x \"p.qout.\nq\" \"r.qout.\" y\n"},
        {"(0, 1)\"\n(0, \"p.qout., 1)\n", "(0, 1)\"\n(0, \"p.qout., 1)\n"},
        {"(0, \"ä.qout.\", 1) é\n", "(0, \"tau\", 1) é\n"},
        {"a\rb\r\n\r\n", "a\rb\n\n"},
        {"\"\"\"tag(1,2)\"", "\"\"\"tau\""},
    };
    for (const auto& c : cases) EXPECT_EQ(tau_normalize(c.input), c.expected) << c.input;
}

TEST(ExtractActionsContaining, CollectsDistinctFlushLabelsInByteOrder) {
    const std::vector<TextCase> cases = {
        {"", ""},
        {"(0, \"x\", 1)\n", ""},
        {"(0, \"b.<flush>\", 1)\n(1, \"a.<flush>\", 2)\n(2, \"b.<flush>\", 3)\n(3, \"x\", 0)\n",
         "a.<flush>,b.<flush>"},
        {"\"<flush>\" \"B.<flush>\"", "<flush>,B.<flush>"},
        // Quotes pair across lines here, and a last quote without a partner ends the scan.
        {"(0, \"x\n<flush>\", 1)\n", "x\n<flush>"},
        {"\"a.<flush>\" \"b.<flush>", "a.<flush>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(extract_actions_containing(c.input), c.expected) << c.input;
}

TEST(ParseLtscompare, TakesTheLastNonBlankLineTrimmed) {
    EXPECT_EQ(parse_ltscompare("x\ntrue\n\n  \t\n"), "true");
    EXPECT_EQ(parse_ltscompare("  is it: false \r\n"), "is it: false");
    EXPECT_EQ(parse_ltscompare(" \n\n"), std::nullopt);
    EXPECT_EQ(parse_ltscompare("\u3000true\u00A0\n\u00A0\n\u3000\n"), "true");
    EXPECT_EQ(parse_ltscompare(""), std::nullopt);
}

TEST(Combine, FollowsTheFiveWayTable) {
    using enum CompareVerdict;
    using V = WeakFailuresVerdict;
    const CompareVerdict answers[] = {Holds, Fails, Error, Unknown};
    const V table[4][4] = {
        {V::Equivalent, V::OursInGold, V::CompareError, V::Incomparable},
        {V::GoldInOurs, V::Incomparable, V::CompareError, V::Incomparable},
        {V::CompareError, V::CompareError, V::CompareError, V::CompareError},
        {V::Incomparable, V::Incomparable, V::CompareError, V::Incomparable},
    };
    for (int f = 0; f < 4; ++f)
        for (int b = 0; b < 4; ++b)
            EXPECT_EQ(combine(answers[f], answers[b]), table[f][b]) << f << "," << b;
    EXPECT_EQ(wording(V::OursInGold), "ours⊆gold (gold has extra)");
    EXPECT_EQ(wording(V::GoldInOurs), "gold⊆ours (ours has extra)");
    EXPECT_EQ(wording(V::Incomparable), "incomparable");
    EXPECT_EQ(wording(V::CompareError), "ltscompare error");
}

// PATH replaced for one test and restored afterwards.
struct PathVariable {
    std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
    explicit PathVariable(const std::string& value) { ::setenv("PATH", value.c_str(), 1); }
    ~PathVariable() { ::setenv("PATH", saved.c_str(), 1); }
};

TEST(FindLtscompare, PrefersTheBundledCopyThenSearchesPath) {
    TempDir dir;
    auto root = dir.path / "root";
    auto first = dir.path / "first", second = dir.path / "second";
    fs::create_directories(first / "ltscompare");  // a directory is no candidate
    write_file(second / "ltscompare", "");
    {
        PathVariable path(first.string() + ":" + (dir.path / "none").string());
        EXPECT_EQ(find_ltscompare(root), std::nullopt);
    }
    PathVariable path(first.string() + "::" + second.string());
    EXPECT_EQ(find_ltscompare(root), second / "ltscompare");
    auto bundled = root / "dist" / "mcrl2" / "aarch64-apple-darwin" / "bin" / "ltscompare";
    write_file(bundled, "");
    EXPECT_EQ(find_ltscompare(root), bundled);
}

// A scripted comparator in a temporary directory.
struct Fake {
    TempDir dir;
    fs::path program = dir.path / "fake";
    explicit Fake(std::string_view body) {
        write_file(program, "#!/bin/sh\n" + std::string(body) + "\n");
        fs::permissions(program, fs::perms::owner_all);
    }
    LtsCompareRun run(std::string_view tau = "", Duration limit = seconds(60)) const {
        return ltscompare_one(program, dir.path / "l.aut", dir.path / "r.aut", tau, dir.path / "ce",
                              limit);
    }
};

TEST(LtscompareOne, ReadsTheAnswerWord) {
    struct Case {
        std::string body;
        CompareVerdict verdict;
        std::int32_t exit_code = 0;
    };
    using enum CompareVerdict;
    const std::vector<Case> cases = {
        {"echo true; echo; echo '  '", Holds},
        {"echo 'weak-failures: true'", Holds},
        {"printf 'weak-failures:\\343\\200\\200false\\302\\240\\n\\343\\200\\200\\n'", Fails},
        {"echo false >&2", Fails},
        {"echo true; exit 3", Holds, 3},
        {"echo true; kill -9 $$", Holds, -1},
        {"echo TRUE", Unknown},
        {"echo False", Unknown},
        {"echo truely", Unknown},
        {":", Unknown},
        // A non-empty stdout line decides, even when stderr holds an answer.
        {"echo hello; echo true >&2", Unknown},
        // Stdout that is not UTF-8 is read lossily: its last line is a replacement character.
        {"printf 'false\\n\\377\\n'; echo true >&2", Unknown},
        {"printf 'true \\377\\n'; echo false >&2", Unknown},
        {"printf '\\377 true\\n'", Holds},
        // Standard input is the null device, never the caller's.
        {"if read line; then echo false; else echo true; fi", Holds},
    };
    for (const auto& c : cases) {
        Fake fake(c.body);
        auto run = fake.run();
        EXPECT_EQ(run.verdict, c.verdict) << c.body;
        EXPECT_EQ(run.end, RunEnd::Exited) << c.body;
        EXPECT_EQ(run.exit_code, c.exit_code) << c.body;
    }
}

TEST(LtscompareOne, PassesTheArgumentsInOrder) {
    Fake fake("printf '%s\\n' \"$@\"; echo true");
    auto d = fake.dir.path.string();
    for (std::string tau : {"", "a.<flush>,b.<flush>"}) {
        auto run = fake.run(tau);
        std::vector<std::string> expected = {"-pweak-failures", "-c",
                                             "--counter-example-file=" + d + "/ce"};
        if (!tau.empty()) expected.push_back("--tau=" + tau);
        expected.push_back(d + "/l.aut");
        expected.push_back(d + "/r.aut");
        EXPECT_EQ(run.argv, expected);
        std::string printed;
        for (const auto& arg : expected) printed += arg + "\n";
        EXPECT_EQ(run.stdout_text, printed + "true\n");
        EXPECT_EQ(run.verdict, CompareVerdict::Holds);
    }
}

TEST(LtscompareOne, KillsAtTheLimitWhateverWasPrinted) {
    for (std::string body : {"echo true; exec sleep 5", "echo true; sleep 5"}) {
        Fake fake(body);
        auto run = fake.run("", seconds(1));
        EXPECT_EQ(run.verdict, CompareVerdict::Error) << body;
        EXPECT_EQ(run.end, RunEnd::TimedOut) << body;
        EXPECT_GE(run.elapsed, seconds(1));
    }
}

TEST(LtscompareOne, DrainsLongOutputWhileRunning) {
    // Far more than a pipe holds: without draining the fake blocks until the limit.
    Fake fake(
        "head -c 1000000 /dev/zero | tr '\\0' x; head -c 1000000 /dev/zero >&2; echo; "
        "echo true");
    auto run = fake.run("", seconds(60));
    EXPECT_EQ(run.verdict, CompareVerdict::Holds);
    EXPECT_EQ(run.stdout_text.size(), 1000006u);
    EXPECT_EQ(run.stderr_text.size(), 1000000u);
}

TEST(LtscompareOne, ReportsAProgramThatCannotStart) {
    TempDir dir;
    auto missing = ltscompare_one(dir.path / "missing", "l", "r", "", "ce", seconds(5));
    EXPECT_EQ(missing.verdict, CompareVerdict::Error);
    EXPECT_EQ(missing.stderr_text, "spawn: No such file or directory");
    EXPECT_EQ(missing.end, RunEnd::Unfinished);
    EXPECT_EQ(missing.stdout_text, "");
    write_file(dir.path / "plain", "echo true\n");
    auto plain = ltscompare_one(dir.path / "plain", "l", "r", "", "ce", seconds(5));
    EXPECT_EQ(plain.stderr_text, "spawn: Permission denied");
    EXPECT_EQ(plain.verdict, CompareVerdict::Error);
}

std::size_t open_descriptors() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST(LtscompareOne, LeavesNoDescriptorsOrChildrenBehind) {
    Fake fake("echo true; echo note >&2");
    auto before = open_descriptors();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(fake.run().verdict, CompareVerdict::Holds);
        EXPECT_EQ(ltscompare_one(fake.dir.path / "missing", "l", "r", "", "ce", seconds(5)).verdict,
                  CompareVerdict::Error);
    }
    EXPECT_EQ(open_descriptors(), before);
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(CompareWeakFailures, RunsBothDirectionsEvenAfterAnError) {
    // The fake hangs only when asked about first <= second.
    Fake fake(
        "echo \"$4\" >> \"$(dirname \"$0\")/calls\"\n"
        "case \"$4\" in *first.aut) exec sleep 5;; esac\necho true");
    auto d = fake.dir.path;
    auto result = compare_weak_failures(fake.program, d / "first.aut", d / "second.aut", "",
                                        d / "f.ce", d / "b.ce", seconds(1));
    EXPECT_EQ(result.forward.verdict, CompareVerdict::Error);
    EXPECT_EQ(result.backward.verdict, CompareVerdict::Holds);
    EXPECT_EQ(result.backward.argv[2], "--counter-example-file=" + (d / "b.ce").string());
    EXPECT_EQ(result.verdict, WeakFailuresVerdict::CompareError);
    EXPECT_EQ(testing::read_file(d / "calls"),
              (d / "first.aut").string() + "\n" + (d / "second.aut").string() + "\n");

    auto missing = compare_weak_failures(d / "missing", d / "first.aut", d / "second.aut", "",
                                         d / "f.ce", d / "b.ce", seconds(1));
    EXPECT_EQ(missing.forward.stderr_text, "spawn: No such file or directory");
    EXPECT_EQ(missing.backward.stderr_text, "spawn: No such file or directory");
    EXPECT_EQ(missing.verdict, WeakFailuresVerdict::CompareError);
}

TEST(CompareWeakFailures, AgainstTheStandIn) {
    struct Case {
        std::string name, first, second;
        WeakFailuresVerdict verdict;
        std::string forward_ce, backward_ce;  // counterexample files, "<missing>" when none
    };
    const std::string a_b_or_c = "des (0, 3, 4)\n(0, \"a\", 1)\n(1, \"b\", 2)\n(1, \"c\", 3)\n";
    const std::string a_b_or_a_c =
        "des (0, 4, 5)\n(0, \"a\", 1)\n(1, \"b\", 2)\n(0, \"a\", 3)\n(3, \"c\", 4)\n";
    using V = WeakFailuresVerdict;
    const std::string none = "<missing>";
    const std::vector<Case> cases = {
        {"renumbered", "des (0, 2, 3)\n(0, \"a\", 1)\n(1, \"b\", 2)\n",
         "des (2, 2, 3)\n(0, \"b\", 1)\n(2, \"a\", 0)\n", V::Equivalent, none, none},
        {"ours in gold", a_b_or_c, a_b_or_a_c, V::OursInGold, none, "\"a\"\n"},
        {"gold in ours", a_b_or_a_c, a_b_or_c, V::GoldInOurs, "\"a\"\n", none},
        {"incomparable", "des (0, 1, 2)\n(0, \"a\", 1)\n",
         "des (0, 2, 3)\n(0, \"a\", 1)\n(1, \"b\", 2)\n", V::Incomparable, "\"a\"\n",
         "\"a\"\n\"b\"\n"},
        // The flush action is hidden only when the tau list names it.
        {"hidden flush", "des (0, 3, 4)\n(0, \"a\", 1)\n(1, \"p.<flush>\", 2)\n(2, \"b\", 3)\n",
         "des (0, 2, 3)\n(0, \"a\", 1)\n(1, \"b\", 2)\n", V::Equivalent, none, none},
    };
    for (const auto& c : cases) {
        TempDir dir;
        auto first = dir.path / "first.aut", second = dir.path / "second.aut";
        write_file(first, tau_normalize(c.first));
        write_file(second, tau_normalize(c.second));
        auto tau = extract_actions_containing(c.first);
        auto result = compare_weak_failures(testing::LTSCOMPARE_STANDIN, first, second, tau,
                                            dir.path / "f.ce", dir.path / "b.ce", seconds(60));
        EXPECT_EQ(result.verdict, c.verdict) << c.name << "\n" << result.forward.stderr_text;
        EXPECT_EQ(testing::read_file(dir.path / "f.ce"), c.forward_ce) << c.name;
        EXPECT_EQ(testing::read_file(dir.path / "b.ce"), c.backward_ce) << c.name;
        if (!tau.empty()) {
            auto shown = compare_weak_failures(testing::LTSCOMPARE_STANDIN, first, second, "",
                                               dir.path / "f.ce", dir.path / "b.ce", seconds(60));
            EXPECT_EQ(shown.verdict, V::Incomparable) << c.name;
        }
    }
}

}  // namespace
}  // namespace tolvern::comparator
